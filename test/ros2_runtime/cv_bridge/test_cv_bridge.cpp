// cv_bridge conversions against pixel values worked out by hand.
#include <gtest/gtest.h>

#include <cstring>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "cv_bridge/cv_bridge.h"

namespace {

sensor_msgs::msg::Image MakeImage(const std::string& encoding, std::uint32_t w, std::uint32_t h,
                                  std::uint32_t step, std::vector<std::uint8_t> data) {
  sensor_msgs::msg::Image m;
  m.header.frame_id = "cam";
  m.header.stamp.sec = 7;
  m.height = h;
  m.width = w;
  m.encoding = encoding;
  m.step = step;
  m.data = std::move(data);
  return m;
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

struct ColourCase {
  const char* from;
  const char* to;
  std::vector<std::uint8_t> expected;
};

TEST(CvBridgeColour, ChannelOrdersConvertLikeCvBridge) {
  const std::vector<ColourCase> cases = {
      {"rgb8", "rgb8", {255, 0, 0, 10, 20, 30}},
      {"rgb8", "bgr8", {0, 0, 255, 30, 20, 10}},
      {"bgr8", "rgb8", {255, 0, 0, 10, 20, 30}},
      {"rgba8", "rgb8", {255, 0, 0, 10, 20, 30}},
      {"bgra8", "rgb8", {255, 0, 0, 10, 20, 30}},
      {"rgba8", "bgr8", {0, 0, 255, 30, 20, 10}},
      {"bgra8", "rgba8", {255, 0, 0, 99, 10, 20, 30, 98}},
      // Adding alpha makes it opaque.
      {"rgb8", "bgra8", {0, 0, 255, 255, 30, 20, 10, 255}},
      // Grey = (4899 R + 9617 G + 1868 B + 8192) >> 14: red 76; (10, 20, 30) -> 18.
      {"rgb8", "mono8", {76, 18}},
      {"bgr8", "mono8", {76, 18}},
      {"bgra8", "mono8", {76, 18}},
  };
  for (const auto& c : cases) {
    const auto msg = TwoPixels(c.from);
    const auto out = cv_bridge::toCvCopy(msg, c.to);
    EXPECT_EQ(out->encoding, c.to) << c.from << " -> " << c.to;
    EXPECT_EQ(Bytes(out->image), c.expected) << c.from << " -> " << c.to;
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
  auto m = MakeImage("bayer_" + pattern + std::to_string(bits), n, n,
                     n * static_cast<std::uint32_t>(bytes), std::move(data));
  m.is_bigendian = 0;
  return m;
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

TEST(CvBridgeDepth, BitDepthsScaleOrKeepValues) {
  // mono16 -> mono8 scales by 255/65535: 65535 -> 255, 25700 -> 100, 0 -> 0.
  std::vector<std::uint8_t> d16(6);
  const std::uint16_t v16[3] = {65535, 25700, 0};
  std::memcpy(d16.data(), v16, 6);
  auto mono16 = MakeImage("mono16", 3, 1, 6, d16);
  EXPECT_EQ(Bytes(cv_bridge::toCvCopy(mono16, "mono8")->image),
            (std::vector<std::uint8_t>{255, 100, 0}));
  // mono8 -> mono16 scales by 65535/255 = 257.
  auto mono8 = MakeImage("mono8", 2, 1, 2, {255, 1});
  const cv::Mat up = cv_bridge::toCvCopy(mono8, "mono16")->image;
  ASSERT_EQ(up.type(), CV_16UC1);
  EXPECT_EQ(up.at<std::uint16_t>(0, 0), 65535);
  EXPECT_EQ(up.at<std::uint16_t>(0, 1), 257);
  // 16UC1 -> 32FC1 keeps the numbers (millimetres stay 1234).
  std::vector<std::uint8_t> raw(2);
  const std::uint16_t mm = 1234;
  std::memcpy(raw.data(), &mm, 2);
  const cv::Mat f = cv_bridge::toCvCopy(MakeImage("16UC1", 1, 1, 2, raw), "32FC1")->image;
  ASSERT_EQ(f.type(), CV_32FC1);
  EXPECT_FLOAT_EQ(f.at<float>(0, 0), 1234.0f);
  // mono16 -> 16UC1 is the same layout: same values.
  EXPECT_EQ(cv_bridge::toCvCopy(mono16, "16UC1")->image.at<std::uint16_t>(0, 1), 25700);
  // An empty target keeps the message's encoding.
  const auto same = cv_bridge::toCvCopy(MakeImage("32FC1", 1, 1, 4, {0, 0, 128, 63}));
  EXPECT_EQ(same->encoding, "32FC1");
  EXPECT_FLOAT_EQ(same->image.at<float>(0, 0), 1.0f);
}

TEST(CvBridgeLayout, StepPaddingAndByteOrderAreHonoured) {
  // rgb8 2x2 with 2 padding bytes per row (step 8).
  auto padded =
      MakeImage("rgb8", 2, 2, 8, {1, 2, 3, 4, 5, 6, 0xEE, 0xEE, 7, 8, 9, 10, 11, 12, 0xEE, 0xEE});
  const auto out = cv_bridge::toCvCopy(padded, "bgr8");
  EXPECT_EQ(Bytes(out->image), (std::vector<std::uint8_t>{3, 2, 1, 6, 5, 4, 9, 8, 7, 12, 11, 10}));
  // Big-endian mono16: bytes 01 02 mean 0x0102 = 258.
  auto be = MakeImage("mono16", 1, 1, 2, {0x01, 0x02});
  be.is_bigendian = 1;
  EXPECT_EQ(cv_bridge::toCvCopy(be)->image.at<std::uint16_t>(0, 0), 258);
  // Big-endian 32FC1: 3F 80 00 00 is 1.0f.
  auto bef = MakeImage("32FC1", 1, 1, 4, {0x3F, 0x80, 0x00, 0x00});
  bef.is_bigendian = 1;
  EXPECT_FLOAT_EQ(cv_bridge::toCvCopy(bef, "32FC1")->image.at<float>(0, 0), 1.0f);
  // The copy owns its pixels.
  auto msg = TwoPixels("rgb8");
  auto copy = cv_bridge::toCvCopy(msg, "rgb8");
  copy->image.at<cv::Vec3b>(0, 0)[0] = 1;
  EXPECT_EQ(msg.data[0], 255);
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
      {"data long", MakeImage("mono8", 2, 2, 2, std::vector<std::uint8_t>(5)), "mono8",
       "2 * 2 != 5"},
      {"unknown source", MakeImage("yuv9", 1, 1, 1, {0}), "rgb8", "[yuv9]"},
      {"unknown target", TwoPixels("rgb8"), "hsv8", "[hsv8]"},
      {"depth to colour", MakeImage("16UC1", 1, 1, 2, {0, 0}), "mono8",
       "[16UC1] is not a color format"},
      {"depth to mono16", MakeImage("16UC1", 1, 1, 2, {0, 0}), "mono16",
       "[16UC1] is not a color format"},
      {"colour to float", TwoPixels("rgb8"), "32FC1", "[rgb8] is a color format but [32FC1]"},
      {"channel count", MakeImage("8UC3", 1, 1, 3, {0, 0, 0}), "8UC1",
       "do not have the same number of channel"},
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

TEST(CvBridgeMessage, ToImageMsgRoundTrips) {
  cv::Mat bgr(2, 3, CV_8UC3);
  for (int i = 0; i < 18; ++i) {
    bgr.data[i] = static_cast<std::uint8_t>(i * 7);
  }
  std_msgs::msg::Header header;
  header.frame_id = "camera_color_optical_frame";
  header.stamp.sec = 12;
  header.stamp.nanosec = 34;
  // A view into a wider image is not continuous: rows must still come out packed.
  cv::Mat wide(2, 5, CV_8UC3, cv::Scalar(1, 1, 1));
  bgr.copyTo(wide(cv::Rect(1, 0, 3, 2)));
  const auto msg = cv_bridge::CvImage(header, "bgr8", wide(cv::Rect(1, 0, 3, 2))).toImageMsg();
  EXPECT_EQ(msg->height, 2u);
  EXPECT_EQ(msg->width, 3u);
  EXPECT_EQ(msg->step, 9u);
  EXPECT_EQ(msg->encoding, "bgr8");
  EXPECT_EQ(msg->header.frame_id, "camera_color_optical_frame");
  EXPECT_EQ(msg->header.stamp.nanosec, 34u);
  EXPECT_EQ(msg->data, Bytes(bgr));
  // An empty image gives an empty message, not a failure.
  const auto empty = cv_bridge::CvImage(header, "rgb8", cv::Mat()).toImageMsg();
  EXPECT_EQ(empty->width, 0u);
  EXPECT_TRUE(empty->data.empty());
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
