// cv_bridge conversions against pixel values worked out by hand.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "cv_bridge/cv_bridge.h"

namespace {

sensor_msgs::msg::Image MakeImage(const std::string& encoding, std::uint32_t w, std::uint32_t h,
                                  std::uint32_t step, std::vector<std::uint8_t> data) {
  return {{{7, 0}, "cam"}, h, w, encoding, 0, step, std::move(data)};
}

// 2x1 image: a red pixel and a (10, 20, 30) pixel, in the channel order of `encoding`.
sensor_msgs::msg::Image TwoPixels(const std::string& encoding) {
  if (encoding == "rgb8")
    return MakeImage(encoding, 2, 1, 6, {255, 0, 0, 10, 20, 30});
  if (encoding == "bgr8")
    return MakeImage(encoding, 2, 1, 6, {0, 0, 255, 30, 20, 10});
  if (encoding == "rgba8")
    return MakeImage(encoding, 2, 1, 8, {255, 0, 0, 99, 10, 20, 30, 98});
  if (encoding == "bgra8")
    return MakeImage(encoding, 2, 1, 8, {0, 0, 255, 99, 30, 20, 10, 98});
  return {};
}

std::vector<std::uint8_t> Bytes(const cv::Mat& m) {
  std::vector<std::uint8_t> out;
  for (int r = 0; r < m.rows; ++r) {
    const auto* row = m.ptr<std::uint8_t>(r);
    out.insert(out.end(), row, row + m.cols * m.elemSize());
  }
  return out;
}

// The node converts whatever the camera sends to rgb8.
TEST(CvBridgeColour, ChannelOrdersConvertToRgb8) {
  for (const char* from : {"rgb8", "bgr8", "rgba8", "bgra8"}) {
    const auto out = cv_bridge::toCvCopy(TwoPixels(from), "rgb8");
    EXPECT_EQ(out->encoding, "rgb8") << from;
    EXPECT_EQ(Bytes(out->image), (std::vector<std::uint8_t>{255, 0, 0, 10, 20, 30})) << from;
    EXPECT_EQ(out->header.frame_id, "cam");
    EXPECT_EQ(out->header.stamp.sec, 7);
  }
}

// A uniform 8x8 field of colour (r, g, b) behind a 2x2 Bayer pattern (e.g. "rggb":
// top-left red, top-right green, ...); 16-bit patterns carry value * 257.
sensor_msgs::msg::Image BayerField(const std::string& pattern, int bits, int r, int g, int b) {
  const int scale = bits == 16 ? 257 : 1;
  const int bytes = bits / 8;
  const std::uint32_t n = 8;
  std::vector<std::uint8_t> data;
  for (std::uint32_t y = 0; y < n; ++y) {
    for (std::uint32_t x = 0; x < n; ++x) {
      const char c = pattern[(y % 2) * 2 + (x % 2)];
      const int v = (c == 'r' ? r : (c == 'g' ? g : b)) * scale;
      data.push_back(static_cast<std::uint8_t>(v & 0xff));  // little endian
      if (bytes == 2)
        data.push_back(static_cast<std::uint8_t>(v >> 8));
    }
  }
  return MakeImage("bayer_" + pattern + std::to_string(bits), n, n,
                   n * static_cast<std::uint32_t>(bytes), std::move(data));
}

// Demosaicing a uniform field gives the field's colour back away from the
// border; a pattern mapped to the wrong OpenCV code swaps or mixes channels.
TEST(CvBridgeColour, BayerPatternsDemosaicToColour) {
  for (const char* pattern : {"rggb", "bggr", "gbrg", "grbg"}) {
    for (int bits : {8, 16}) {
      const auto msg = BayerField(pattern, bits, 200, 100, 50);
      const auto rgb = cv_bridge::toCvCopy(msg, "rgb8");
      const auto bgr = cv_bridge::toCvCopy(msg, "bgr8");
      ASSERT_EQ(rgb->image.type(), CV_8UC3) << pattern << bits;
      EXPECT_EQ(rgb->image.at<cv::Vec3b>(4, 4), cv::Vec3b(200, 100, 50)) << pattern << bits;
      EXPECT_EQ(bgr->image.at<cv::Vec3b>(3, 3), cv::Vec3b(50, 100, 200)) << pattern << bits;
    }
  }
}

// 4:2:2 pairs of pixels; BT.601 red is Y 81, U 90, V 240. yuv422 orders the
// bytes U Y V Y, yuv422_yuy2 Y U Y V.
TEST(CvBridgeColour, Yuv422LayoutsConvertToColour) {
  const std::vector<std::pair<const char*, std::vector<std::uint8_t>>> cases = {
      {"yuv422", {90, 81, 240, 81}},
      {"yuv422_yuy2", {81, 90, 81, 240}},
  };
  for (const auto& [encoding, bytes] : cases) {
    const auto msg = MakeImage(encoding, 2, 1, 4, bytes);
    const auto rgb = cv_bridge::toCvCopy(msg, "rgb8");
    const auto bgr = cv_bridge::toCvCopy(msg, "bgr8");
    ASSERT_EQ(rgb->image.type(), CV_8UC3) << encoding;
    for (int x = 0; x < 2; ++x) {
      const cv::Vec3b p = rgb->image.at<cv::Vec3b>(0, x);
      EXPECT_GE(p[0], 250) << encoding;
      EXPECT_LE(p[1], 3) << encoding;
      EXPECT_LE(p[2], 3) << encoding;
      EXPECT_EQ(bgr->image.at<cv::Vec3b>(0, x), cv::Vec3b(p[2], p[1], p[0])) << encoding;
    }
  }
}

TEST(CvBridgeLayout, StepPaddingIsSkipped) {
  // rgb8 2x2 with 2 padding bytes per row (step 8).
  auto padded =
      MakeImage("rgb8", 2, 2, 8, {1, 2, 3, 4, 5, 6, 0xEE, 0xEE, 7, 8, 9, 10, 11, 12, 0xEE, 0xEE});
  const auto out = cv_bridge::toCvCopy(padded, "bgr8");
  EXPECT_EQ(Bytes(out->image), (std::vector<std::uint8_t>{3, 2, 1, 6, 5, 4, 9, 8, 7, 12, 11, 10}));
}

struct BadCase {
  const char* name;
  sensor_msgs::msg::Image msg;
  const char* to;
  const char* text;  // part of the expected message
};

TEST(CvBridgeErrors, ImpossibleConversionsAndMalformedMessagesThrow) {
  const std::vector<BadCase> cases = {
      {"step too small", MakeImage("rgb8", 2, 1, 5, {1, 2, 3, 4, 5}), "rgb8",
       "step < width * byte_depth * num_channels  or  5 < 2 * 1 * 3"},
      {"data short", MakeImage("rgb8", 2, 2, 6, std::vector<std::uint8_t>(11)), "rgb8",
       "height * step != size  or  2 * 6 != 11"},
      {"unknown source", MakeImage("yuv9", 1, 1, 1, {0}), "rgb8", "[yuv9]"},
      {"depth to colour", MakeImage("16UC1", 1, 1, 2, {0, 0}), "rgb8",
       "[16UC1] is not a color format"},
  };
  for (const auto& c : cases) {
    try {
      cv_bridge::toCvCopy(c.msg, c.to);
      ADD_FAILURE() << c.name << ": no exception";
    } catch (const cv_bridge::Exception& ex) {
      EXPECT_NE(std::string(ex.what()).find(c.text), std::string::npos)
          << c.name << ": " << ex.what();
    }
  }
}

TEST(CvBridgeMessage, ShareAvoidsCopiesOnlyWhenNothingChanges) {
  auto msg = std::make_shared<sensor_msgs::msg::Image>(TwoPixels("rgb8"));
  const auto shared = cv_bridge::toCvShare(msg);
  EXPECT_EQ(shared->image.data, msg->data.data());
  const auto converted = cv_bridge::toCvShare(msg, "bgr8");
  EXPECT_NE(converted->image.data, msg->data.data());
  EXPECT_EQ(converted->image.at<cv::Vec3b>(0, 0), cv::Vec3b(0, 0, 255));
}

}  // namespace
