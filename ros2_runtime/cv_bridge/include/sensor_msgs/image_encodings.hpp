// Image encoding names and their channel counts and bit depths, as sensor_msgs defines them.
#pragma once

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace sensor_msgs {
namespace image_encodings {

const char RGB8[] = "rgb8";
const char RGBA8[] = "rgba8";
const char RGB16[] = "rgb16";
const char RGBA16[] = "rgba16";
const char BGR8[] = "bgr8";
const char BGRA8[] = "bgra8";
const char BGR16[] = "bgr16";
const char BGRA16[] = "bgra16";
const char MONO8[] = "mono8";
const char MONO16[] = "mono16";

const char BAYER_RGGB8[] = "bayer_rggb8";
const char BAYER_BGGR8[] = "bayer_bggr8";
const char BAYER_GBRG8[] = "bayer_gbrg8";
const char BAYER_GRBG8[] = "bayer_grbg8";
const char BAYER_RGGB16[] = "bayer_rggb16";
const char BAYER_BGGR16[] = "bayer_bggr16";
const char BAYER_GBRG16[] = "bayer_gbrg16";
const char BAYER_GRBG16[] = "bayer_grbg16";

// 4:2:2 with 8-bit depth: UYVY and YUYV byte orders.
const char YUV422[] = "yuv422";
const char YUV422_YUY2[] = "yuv422_yuy2";

const char TYPE_8UC1[] = "8UC1";
const char TYPE_8UC2[] = "8UC2";
const char TYPE_8UC3[] = "8UC3";
const char TYPE_8UC4[] = "8UC4";
const char TYPE_8SC1[] = "8SC1";
const char TYPE_16UC1[] = "16UC1";
const char TYPE_16UC3[] = "16UC3";
const char TYPE_16SC1[] = "16SC1";
const char TYPE_32SC1[] = "32SC1";
const char TYPE_32FC1[] = "32FC1";
const char TYPE_32FC3[] = "32FC3";
const char TYPE_64FC1[] = "64FC1";

namespace detail {

// "<bits><U|S|F>C<channels>", channels optional (then 1). Returns false for other names.
inline bool parseCvName(const std::string& e, int& bits, char& kind, int& channels) {
  std::size_t i = 0;
  while (i < e.size() && e[i] >= '0' && e[i] <= '9') {
    ++i;
  }
  if (i == 0 || i + 2 > e.size() || e[i + 1] != 'C') {
    return false;
  }
  bits = std::atoi(e.substr(0, i).c_str());
  kind = e[i];
  if ((kind != 'U' && kind != 'S' && kind != 'F') ||
      (bits != 8 && bits != 16 && bits != 32 && bits != 64)) {
    return false;
  }
  const std::string rest = e.substr(i + 2);
  if (rest.empty()) {
    channels = 1;
    return true;
  }
  for (char c : rest) {
    if (c < '0' || c > '9') {
      return false;
    }
  }
  channels = std::atoi(rest.c_str());
  return channels >= 1 && channels <= 4;
}

}  // namespace detail

inline bool isColor(const std::string& e) {
  return e == RGB8 || e == BGR8 || e == RGBA8 || e == BGRA8 || e == RGB16 || e == BGR16 ||
         e == RGBA16 || e == BGRA16;
}

inline bool isMono(const std::string& e) {
  return e == MONO8 || e == MONO16;
}

inline bool isBayer(const std::string& e) {
  return e == BAYER_RGGB8 || e == BAYER_BGGR8 || e == BAYER_GBRG8 || e == BAYER_GRBG8 ||
         e == BAYER_RGGB16 || e == BAYER_BGGR16 || e == BAYER_GBRG16 || e == BAYER_GRBG16;
}

inline bool isYuv422(const std::string& e) {
  return e == YUV422 || e == YUV422_YUY2;
}

inline bool hasAlpha(const std::string& e) {
  return e == RGBA8 || e == BGRA8 || e == RGBA16 || e == BGRA16;
}

inline int numChannels(const std::string& e) {
  if (isMono(e) || isBayer(e))
    return 1;
  if (isYuv422(e))
    return 2;
  if (e == RGB8 || e == BGR8 || e == RGB16 || e == BGR16)
    return 3;
  if (hasAlpha(e))
    return 4;
  int bits = 0, channels = 0;
  char kind = 0;
  if (detail::parseCvName(e, bits, kind, channels))
    return channels;
  throw std::runtime_error("Unknown encoding " + e);
}

inline int bitDepth(const std::string& e) {
  if (e == MONO16 || e == RGB16 || e == BGR16 || e == RGBA16 || e == BGRA16 || e == BAYER_RGGB16 ||
      e == BAYER_BGGR16 || e == BAYER_GBRG16 || e == BAYER_GRBG16)
    return 16;
  if (isMono(e) || isColor(e) || isBayer(e) || isYuv422(e))
    return 8;
  int bits = 0, channels = 0;
  char kind = 0;
  if (detail::parseCvName(e, bits, kind, channels))
    return bits;
  throw std::runtime_error("Unknown encoding " + e);
}

}  // namespace image_encodings
}  // namespace sensor_msgs
