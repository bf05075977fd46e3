#include "cv_bridge/cv_bridge.h"

#include <cstring>
#include <map>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>
#include <utility>
#include <vector>

namespace enc = sensor_msgs::image_encodings;

namespace cv_bridge {
namespace {

// A depth change between 8 and 16 bits (or any other) within the same channel layout.
constexpr int kSameFormat = -1;

enum class Family {
  kInvalid,
  kGray,
  kRgb,
  kBgr,
  kRgba,
  kBgra,
  kYuv422,
  kYuv422Yuy2,
  kBayerRggb,
  kBayerBggr,
  kBayerGbrg,
  kBayerGrbg
};

Family familyOf(const std::string& e) {
  if (e == enc::MONO8 || e == enc::MONO16)
    return Family::kGray;
  if (e == enc::RGB8 || e == enc::RGB16)
    return Family::kRgb;
  if (e == enc::BGR8 || e == enc::BGR16)
    return Family::kBgr;
  if (e == enc::RGBA8 || e == enc::RGBA16)
    return Family::kRgba;
  if (e == enc::BGRA8 || e == enc::BGRA16)
    return Family::kBgra;
  if (e == enc::YUV422)
    return Family::kYuv422;
  if (e == enc::YUV422_YUY2)
    return Family::kYuv422Yuy2;
  if (e == enc::BAYER_RGGB8 || e == enc::BAYER_RGGB16)
    return Family::kBayerRggb;
  if (e == enc::BAYER_BGGR8 || e == enc::BAYER_BGGR16)
    return Family::kBayerBggr;
  if (e == enc::BAYER_GBRG8 || e == enc::BAYER_GBRG16)
    return Family::kBayerGbrg;
  if (e == enc::BAYER_GRBG8 || e == enc::BAYER_GRBG16)
    return Family::kBayerGrbg;
  return Family::kInvalid;
}

const std::map<std::pair<Family, Family>, std::vector<int>>& conversionCodes() {
  static const std::map<std::pair<Family, Family>, std::vector<int>> codes = {
      {{Family::kGray, Family::kGray}, {kSameFormat}},
      {{Family::kGray, Family::kRgb}, {cv::COLOR_GRAY2RGB}},
      {{Family::kGray, Family::kBgr}, {cv::COLOR_GRAY2BGR}},
      {{Family::kGray, Family::kRgba}, {cv::COLOR_GRAY2RGBA}},
      {{Family::kGray, Family::kBgra}, {cv::COLOR_GRAY2BGRA}},
      {{Family::kRgb, Family::kGray}, {cv::COLOR_RGB2GRAY}},
      {{Family::kRgb, Family::kRgb}, {kSameFormat}},
      {{Family::kRgb, Family::kBgr}, {cv::COLOR_RGB2BGR}},
      {{Family::kRgb, Family::kRgba}, {cv::COLOR_RGB2RGBA}},
      {{Family::kRgb, Family::kBgra}, {cv::COLOR_RGB2BGRA}},
      {{Family::kBgr, Family::kGray}, {cv::COLOR_BGR2GRAY}},
      {{Family::kBgr, Family::kRgb}, {cv::COLOR_BGR2RGB}},
      {{Family::kBgr, Family::kBgr}, {kSameFormat}},
      {{Family::kBgr, Family::kRgba}, {cv::COLOR_BGR2RGBA}},
      {{Family::kBgr, Family::kBgra}, {cv::COLOR_BGR2BGRA}},
      {{Family::kRgba, Family::kGray}, {cv::COLOR_RGBA2GRAY}},
      {{Family::kRgba, Family::kRgb}, {cv::COLOR_RGBA2RGB}},
      {{Family::kRgba, Family::kBgr}, {cv::COLOR_RGBA2BGR}},
      {{Family::kRgba, Family::kRgba}, {kSameFormat}},
      {{Family::kRgba, Family::kBgra}, {cv::COLOR_RGBA2BGRA}},
      {{Family::kBgra, Family::kGray}, {cv::COLOR_BGRA2GRAY}},
      {{Family::kBgra, Family::kRgb}, {cv::COLOR_BGRA2RGB}},
      {{Family::kBgra, Family::kBgr}, {cv::COLOR_BGRA2BGR}},
      {{Family::kBgra, Family::kRgba}, {cv::COLOR_BGRA2RGBA}},
      {{Family::kBgra, Family::kBgra}, {kSameFormat}},
      // Sources only, as in cv_bridge. OpenCV's Bayer names are shifted
      // against ROS's: RGGB is its BayerBG.
      {{Family::kYuv422, Family::kGray}, {cv::COLOR_YUV2GRAY_UYVY}},
      {{Family::kYuv422, Family::kRgb}, {cv::COLOR_YUV2RGB_UYVY}},
      {{Family::kYuv422, Family::kBgr}, {cv::COLOR_YUV2BGR_UYVY}},
      {{Family::kYuv422, Family::kRgba}, {cv::COLOR_YUV2RGBA_UYVY}},
      {{Family::kYuv422, Family::kBgra}, {cv::COLOR_YUV2BGRA_UYVY}},
      {{Family::kYuv422Yuy2, Family::kGray}, {cv::COLOR_YUV2GRAY_YUY2}},
      {{Family::kYuv422Yuy2, Family::kRgb}, {cv::COLOR_YUV2RGB_YUY2}},
      {{Family::kYuv422Yuy2, Family::kBgr}, {cv::COLOR_YUV2BGR_YUY2}},
      {{Family::kYuv422Yuy2, Family::kRgba}, {cv::COLOR_YUV2RGBA_YUY2}},
      {{Family::kYuv422Yuy2, Family::kBgra}, {cv::COLOR_YUV2BGRA_YUY2}},
      {{Family::kBayerRggb, Family::kGray}, {cv::COLOR_BayerBG2GRAY}},
      {{Family::kBayerRggb, Family::kRgb}, {cv::COLOR_BayerBG2RGB}},
      {{Family::kBayerRggb, Family::kBgr}, {cv::COLOR_BayerBG2BGR}},
      {{Family::kBayerBggr, Family::kGray}, {cv::COLOR_BayerRG2GRAY}},
      {{Family::kBayerBggr, Family::kRgb}, {cv::COLOR_BayerRG2RGB}},
      {{Family::kBayerBggr, Family::kBgr}, {cv::COLOR_BayerRG2BGR}},
      {{Family::kBayerGbrg, Family::kGray}, {cv::COLOR_BayerGR2GRAY}},
      {{Family::kBayerGbrg, Family::kRgb}, {cv::COLOR_BayerGR2RGB}},
      {{Family::kBayerGbrg, Family::kBgr}, {cv::COLOR_BayerGR2BGR}},
      {{Family::kBayerGrbg, Family::kGray}, {cv::COLOR_BayerGB2GRAY}},
      {{Family::kBayerGrbg, Family::kRgb}, {cv::COLOR_BayerGB2RGB}},
      {{Family::kBayerGrbg, Family::kBgr}, {cv::COLOR_BayerGB2BGR}},
  };
  return codes;
}

bool isColourFormat(const std::string& e) {
  return enc::isColor(e) || enc::isMono(e) || enc::isBayer(e) || enc::isYuv422(e);
}

// The steps from one encoding to another; throws for conversions that make no sense.
std::vector<int> getConversionCode(const std::string& src, const std::string& dst) {
  const bool src_colour = isColourFormat(src);
  const bool dst_colour = isColourFormat(dst);
  const bool same_channels = enc::numChannels(src) == enc::numChannels(dst);
  if (!src_colour) {
    if (dst_colour) {
      throw Exception("[" + src + "] is not a color format. but [" + dst +
                      "] is. The conversion does not make sense");
    }
    if (!same_channels) {
      throw Exception("[" + src + "] and [" + dst + "] do not have the same number of channel");
    }
    return {kSameFormat};
  }
  if (!dst_colour) {
    if (!same_channels) {
      throw Exception("[" + src + "] is a color format but [" + dst +
                      "] is not so they must have the same OpenCV type, CV_8UC3, CV16UC1 ....");
    }
    return {kSameFormat};
  }
  const auto it = conversionCodes().find({familyOf(src), familyOf(dst)});
  if (it == conversionCodes().end()) {
    throw Exception("Unsupported conversion from [" + src + "] to [" + dst + "]");
  }
  std::vector<int> steps = it->second;
  if (enc::bitDepth(src) != enc::bitDepth(dst) && familyOf(src) != familyOf(dst)) {
    steps.push_back(kSameFormat);
  }
  return steps;
}

bool hostIsBigEndian() {
  const std::uint16_t probe = 1;
  std::uint8_t first;
  std::memcpy(&first, &probe, 1);
  return first == 0;
}

// The message's pixels as a Mat in host byte order. Shares the message memory when it can.
cv::Mat matFromImage(const sensor_msgs::msg::Image& source) {
  const int source_type = getCvType(source.encoding);
  const int byte_depth = enc::bitDepth(source.encoding) / 8;
  const int num_channels = enc::numChannels(source.encoding);
  const std::uint64_t min_step = static_cast<std::uint64_t>(source.width) *
                                 static_cast<std::uint64_t>(byte_depth) *
                                 static_cast<std::uint64_t>(num_channels);
  if (source.step < min_step) {
    std::ostringstream ss;
    ss << "Image is wrongly formed: step < width * byte_depth * num_channels  or  " << source.step
       << " < " << source.width << " * " << byte_depth << " * " << num_channels;
    throw Exception(ss.str());
  }
  const std::uint64_t expected =
      static_cast<std::uint64_t>(source.height) * static_cast<std::uint64_t>(source.step);
  if (expected != source.data.size()) {
    std::ostringstream ss;
    ss << "Image is wrongly formed: height * step != size  or  " << source.height << " * "
       << source.step << " != " << source.data.size();
    throw Exception(ss.str());
  }
  if (source.height == 0 || source.width == 0) {
    return cv::Mat(static_cast<int>(source.height), static_cast<int>(source.width), source_type);
  }
  cv::Mat mat(static_cast<int>(source.height), static_cast<int>(source.width), source_type,
              const_cast<std::uint8_t*>(source.data.data()), source.step);
  if (byte_depth == 1 || (source.is_bigendian != 0) == hostIsBigEndian()) {
    return mat;
  }
  // Foreign byte order: reverse the bytes of every channel value.
  cv::Mat bytes(mat.rows, mat.cols, CV_MAKETYPE(CV_8U, num_channels * byte_depth),
                const_cast<std::uint8_t*>(source.data.data()), source.step);
  cv::Mat swapped(mat.rows, mat.cols, bytes.type());
  std::vector<int> from_to;
  for (int i = 0; i < num_channels; ++i) {
    for (int j = 0; j < byte_depth; ++j) {
      from_to.push_back(byte_depth * i + j);
      from_to.push_back(byte_depth * i + byte_depth - 1 - j);
    }
  }
  cv::mixChannels(&bytes, 1, &swapped, 1, from_to.data(), from_to.size() / 2);
  return cv::Mat(swapped.rows, swapped.cols, source_type, swapped.data, swapped.step).clone();
}

cv::Mat convertTo(const cv::Mat& image, const std::string& src, const std::string& dst) {
  if (src == dst) {
    return image.clone();
  }
  const std::vector<int> steps = getConversionCode(src, dst);
  cv::Mat current = image;
  for (int code : steps) {
    cv::Mat next;
    if (code == kSameFormat) {
      const int src_depth = enc::bitDepth(src);
      const int dst_depth = enc::bitDepth(dst);
      const int type = CV_MAKETYPE(CV_MAT_DEPTH(getCvType(dst)), current.channels());
      // 8 <-> 16 bit intensities are rescaled to keep white white; others keep their values.
      if (src_depth == 8 && dst_depth == 16) {
        current.convertTo(next, type, 65535. / 255.);
      } else if (src_depth == 16 && dst_depth == 8) {
        current.convertTo(next, type, 255. / 65535.);
      } else {
        current.convertTo(next, type);
      }
    } else {
      try {
        cv::cvtColor(current, next, code);
      } catch (const cv::Exception& ex) {
        std::string what = "Colour conversion from [" + src;
        what.append("] to [").append(dst).append("] failed: ").append(ex.what());
        throw Exception(what);
      }
    }
    current = next;
  }
  if (current.data == image.data) {
    current = current.clone();
  }
  return current;
}

}  // namespace

int getCvType(const std::string& encoding) {
  if (enc::isBayer(encoding))
    return enc::bitDepth(encoding) == 16 ? CV_16UC1 : CV_8UC1;
  if (enc::isYuv422(encoding))
    return CV_8UC2;
  if (encoding == enc::BGR8 || encoding == enc::RGB8)
    return CV_8UC3;
  if (encoding == enc::MONO8)
    return CV_8UC1;
  if (encoding == enc::RGBA8 || encoding == enc::BGRA8)
    return CV_8UC4;
  if (encoding == enc::BGR16 || encoding == enc::RGB16)
    return CV_16UC3;
  if (encoding == enc::MONO16)
    return CV_16UC1;
  if (encoding == enc::RGBA16 || encoding == enc::BGRA16)
    return CV_16UC4;
  int bits = 0, channels = 0;
  char kind = 0;
  if (enc::detail::parseCvName(encoding, bits, kind, channels)) {
    int depth = -1;
    if (bits == 8)
      depth = kind == 'U' ? CV_8U : (kind == 'S' ? CV_8S : -1);
    if (bits == 16)
      depth = kind == 'U' ? CV_16U : (kind == 'S' ? CV_16S : -1);
    if (bits == 32)
      depth = kind == 'S' ? CV_32S : (kind == 'F' ? CV_32F : -1);
    if (bits == 64 && kind == 'F')
      depth = CV_64F;
    if (depth >= 0) {
      return CV_MAKETYPE(depth, channels);
    }
  }
  throw Exception("Unrecognized image encoding [" + encoding + "]");
}

sensor_msgs::msg::Image::SharedPtr CvImage::toImageMsg() const {
  auto msg = std::make_shared<sensor_msgs::msg::Image>();
  toImageMsg(*msg);
  return msg;
}

void CvImage::toImageMsg(sensor_msgs::msg::Image& ros_image) const {
  ros_image.header = header;
  ros_image.height = static_cast<std::uint32_t>(image.rows);
  ros_image.width = static_cast<std::uint32_t>(image.cols);
  ros_image.encoding = encoding;
  ros_image.is_bigendian = hostIsBigEndian() ? 1 : 0;
  ros_image.step = static_cast<std::uint32_t>(image.cols * image.elemSize());
  const std::size_t size = static_cast<std::size_t>(ros_image.step) * image.rows;
  ros_image.data.resize(size);
  if (size == 0) {
    return;
  }
  if (image.isContinuous()) {
    std::memcpy(ros_image.data.data(), image.data, size);
  } else {
    for (int r = 0; r < image.rows; ++r) {
      std::memcpy(ros_image.data.data() + static_cast<std::size_t>(r) * ros_image.step,
                  image.ptr(r), ros_image.step);
    }
  }
}

CvImagePtr toCvCopy(const sensor_msgs::msg::Image& source, const std::string& encoding) {
  auto out = std::make_shared<CvImage>();
  out->header = source.header;
  const cv::Mat mat = matFromImage(source);
  const std::string target = encoding.empty() ? source.encoding : encoding;
  if (target != source.encoding) {
    getCvType(target);  // an unknown target name is refused before any work
  }
  out->image = convertTo(mat, source.encoding, target);
  out->encoding = target;
  return out;
}

CvImagePtr toCvCopy(const std::shared_ptr<const sensor_msgs::msg::Image>& source,
                    const std::string& encoding) {
  if (!source) {
    throw Exception("toCvCopy: null image message");
  }
  return toCvCopy(*source, encoding);
}

CvImageConstPtr toCvShare(const sensor_msgs::msg::Image& source,
                          const std::shared_ptr<void const>& tracked_object,
                          const std::string& encoding) {
  getCvType(source.encoding);  // refuses an unknown encoding with a cv_bridge::Exception
  const bool same = encoding.empty() || encoding == source.encoding;
  const bool native =
      enc::bitDepth(source.encoding) == 8 || (source.is_bigendian != 0) == hostIsBigEndian();
  if (!same || !native) {
    return toCvCopy(source, encoding);
  }
  auto out = std::make_shared<CvImage>();
  out->header = source.header;
  out->encoding = source.encoding;
  out->image = matFromImage(source);
  out->tracked_object_ = tracked_object;
  return out;
}

CvImageConstPtr toCvShare(const std::shared_ptr<const sensor_msgs::msg::Image>& source,
                          const std::string& encoding) {
  if (!source) {
    throw Exception("toCvShare: null image message");
  }
  return toCvShare(*source, source, encoding);
}

CvImagePtr cvtColor(const CvImageConstPtr& source, const std::string& encoding) {
  auto out = std::make_shared<CvImage>();
  out->header = source->header;
  out->encoding = encoding;
  out->image = convertTo(source->image, source->encoding, encoding);
  return out;
}

}  // namespace cv_bridge
