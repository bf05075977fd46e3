// Cutting a piece's points out of the depth image: scaling, missing depth,
// transparency, clipping and the byte layout of the depth message.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <cmath>
#include <limits>

#include "depth_image.hpp"
#include "moorwick_arm_trash_detect/core/trash_cloud.hpp"
#include "moorwick_test/log_capture.hpp"

namespace moorwick {
namespace {

using ai_moor::model::SegObject;
using Cloud = pcl::PointCloud<pcl::PointXYZ>;
using moorwick_test::LogCapture;
using test::DepthImage;

constexpr std::uint32_t kWidth = 64;
constexpr std::uint32_t kHeight = 48;

class TrashCloudTest : public ::testing::Test {
protected:
  // A detection box whose mask is set on `filled` only.
  static SegObject Piece(float x, float y, float w, float h, const cv::Rect& filled = {}) {
    SegObject obj{{x, y, w, h}, 0, 0.0F, cv::Mat::zeros(kHeight, kWidth, CV_8UC1)};
    obj.mask(filled).setTo(255);
    return obj;
  }

  static DepthImage Flat(std::uint16_t millimetres) {
    return DepthImage::Mm16(kWidth, kHeight, [=](int, int) { return millimetres; });
  }

  TrashCloudStatus Run(const DepthImage& depth, SegObject& obj) {
    return GetTrashCloud(depth.View(), intrinsics_, params_, obj, cloud_, transparent_);
  }

  CameraParams intrinsics_{500.0F, 400.0F, 32.0F, 24.0F, kWidth, kHeight};
  TrashCloudParams params_{1, 0.3F, 1.2F};  // erosion size, null ratio, height/width ratio
  Cloud::Ptr cloud_ = std::make_shared<Cloud>();
  bool transparent_ = false;
  LogCapture log_;
};

TEST_F(TrashCloudTest, SixteenBitMillimetresBecomeMetresAndZeroIsMissing) {
  SegObject obj = Piece(38.0F, 28.0F, 6.0F, 6.0F);
  obj.mask.at<std::uint8_t>(30, 40) = 255;
  obj.mask.at<std::uint8_t>(30, 41) = 255;
  obj.mask.at<std::uint8_t>(31, 40) = 255;
  const auto depth = DepthImage::Mm16(kWidth, kHeight, [](int u, int v) -> std::uint16_t {
    if (u == 40 && v == 30)
      return 1234;
    if (u == 40 && v == 31)
      return 2000;
    return 0;
  });
  ASSERT_EQ(Run(depth, obj), TrashCloudStatus::kOk);

  ASSERT_EQ(cloud_->size(), 2U);
  EXPECT_EQ(cloud_->width, 2U);
  EXPECT_EQ(cloud_->height, 1U);
  EXPECT_FLOAT_EQ(cloud_->points[0].z, 1.234F);
  EXPECT_NEAR(cloud_->points[0].x, 8 * 1.234 / 500.0, 1e-7);
  EXPECT_NEAR(cloud_->points[0].y, 6 * 1.234 / 400.0, 1e-7);
  EXPECT_FLOAT_EQ(cloud_->points[1].z, 2.0F);
  EXPECT_NEAR(cloud_->points[1].y, 7 * 2.0 / 400.0, 1e-7);
}

// Also what the fuzz harness found: infinite depths, and finite ones so large
// that x overflows (fx 0.5 here), made non-finite points.
TEST_F(TrashCloudTest, FloatMetresKeepPositiveDepthWithFinitePointsOnly) {
  using Limits = std::numeric_limits<float>;
  SegObject obj = Piece(30.0F, 20.0F, 7.0F, 1.0F);
  const float samples[] = {0.75F, Limits::max(),      Limits::quiet_NaN(), -1.0F,
                           0.0F,  Limits::infinity(), -Limits::infinity()};
  for (int c = 0; c < 7; ++c) {
    obj.mask.at<std::uint8_t>(20, 30 + c) = 255;
  }
  const auto depth = DepthImage::Metres32(kWidth, kHeight, [&](int u, int v) {
    return v == 20 && u >= 30 && u < 37 ? samples[u - 30] : 1.0F;
  });
  intrinsics_.fx = 0.5F;
  ASSERT_EQ(Run(depth, obj), TrashCloudStatus::kOk);
  ASSERT_EQ(cloud_->size(), 1U);
  EXPECT_EQ(cloud_->points[0].z, 0.75F);
  EXPECT_NEAR(cloud_->points[0].x, (30 - 32) * 0.75 / 0.5, 1e-6);
}

TEST_F(TrashCloudTest, TransparencyNeedsBothRatiosStrictlyAbove) {
  struct Case {
    const char* what;
    int nulls;  // of 100 mask pixels
    float height;
    bool transparent;
  };
  const Case cases[] = {
      {"0.31 and 1.21", 31, 12.1F, true},
      {"hw ratio exactly 1.2", 31, 12.0F, false},
      {"null ratio exactly 0.3", 30, 13.0F, false},
      {"all missing, upright", 100, 20.0F, true},
      {"few missing", 5, 20.0F, false},
  };
  for (const auto& c : cases) {
    // 10 x 10 mask pixels at (12..21, 12..21), the first `nulls` of them without depth.
    SegObject obj = Piece(12.0F, 12.0F, 10.0F, c.height, {12, 12, 10, 10});
    const auto depth = DepthImage::Mm16(kWidth, kHeight, [&](int u, int v) -> std::uint16_t {
      const int index = (v - 12) * 10 + (u - 12);
      return index >= 0 && index < c.nulls ? 0 : 900;
    });
    transparent_ = !c.transparent;  // the verdict has to be written either way
    ASSERT_EQ(Run(depth, obj), TrashCloudStatus::kOk) << c.what;
    EXPECT_EQ(transparent_, c.transparent) << c.what;
    EXPECT_EQ(cloud_->size(), static_cast<std::size_t>(100 - c.nulls)) << c.what;
  }
  EXPECT_EQ(
      log_.Count("is_transparent: true, null_ratio_threshold_: 0.3, hw_ratio_threshold_: 1.2"), 2U);
}

TEST_F(TrashCloudTest, UnsupportedEncodingLogsAndLeavesEverythingElse) {
  SegObject obj = Piece(20.0F, 20.0F, 30.0F, 25.0F, {20, 20, 30, 25});  // large enough to erode
  const cv::Mat before = obj.mask.clone();
  cloud_->push_back(pcl::PointXYZ(1.0F, 2.0F, 3.0F));
  transparent_ = true;
  DepthImageView view = Flat(500).View();
  view.encoding = "mono16";
  // The view's bytes are gone with the temporary image: nothing may read them.
  view.data = nullptr;

  EXPECT_EQ(GetTrashCloud(view, intrinsics_, params_, obj, cloud_, transparent_),
            TrashCloudStatus::kUnsupportedEncoding);
  EXPECT_TRUE(cloud_->empty());
  EXPECT_EQ(cloud_->width, 0U);
  EXPECT_EQ(cloud_->height, 0U);
  EXPECT_TRUE(transparent_);
  EXPECT_EQ(cv::countNonZero(obj.mask != before), 0) << "mask must not be eroded";
  EXPECT_EQ(log_.Count("Input depth image encoding: mono16 is not fit yet"), 1U);
}

TEST_F(TrashCloudTest, LargeMaskIsErodedInPlaceForEveryHolder) {
  SegObject obj = Piece(20.5F, 12.0F, 30.0F, 30.0F, {20, 12, 30, 30});  // 3 x 3 erosion
  const cv::Mat shared = obj.mask;  // as a filtered copy of the detection holds it
  ASSERT_EQ(Run(Flat(800), obj), TrashCloudStatus::kOk);
  EXPECT_EQ(cloud_->size(), 28U * 28U);
  EXPECT_EQ(cv::countNonZero(shared), 28 * 28);
}

// Clipping itself is getMaskPoints's; here the offsets of a clipped box's
// points map back to the right depth pixels.
TEST_F(TrashCloudTest, BoxReachingPastTheImageReadsTheRightPixels) {
  const auto depth = DepthImage::Mm16(
      kWidth, kHeight, [](int u, int v) { return static_cast<std::uint16_t>(1000 + u + 100 * v); });
  SegObject obj = Piece(-5.0F, -3.0F, 20.0F, 10.0F, {0, 0, 15, 7});
  ASSERT_EQ(Run(depth, obj), TrashCloudStatus::kOk);
  ASSERT_EQ(cloud_->size(), 15U * 7U);
  // First point is pixel (0, 0): depth 1.000 m, x = (0 - 32) / 500.
  EXPECT_FLOAT_EQ(cloud_->points[0].z, 1.0F);
  EXPECT_NEAR(cloud_->points[0].x, -32.0 / 500.0, 1e-7);
  EXPECT_FLOAT_EQ(cloud_->points.back().z, (1000 + 14 + 600) / 1000.0F);
}

// The same scene as packed little-endian 16-bit, padded, big-endian and
// float images must give the same cloud.
TEST_F(TrashCloudTest, RowStepAndByteOrderAreHonoured) {
  const auto millimetres = [](int u, int v) {
    return static_cast<std::uint16_t>(700 + 3 * u + 7 * v);
  };
  const auto metres = [&](int u, int v) { return static_cast<float>(millimetres(u, v) / 1000.0); };
  const DepthImage images[] = {
      DepthImage::Mm16(kWidth, kHeight, millimetres),
      DepthImage::Mm16(kWidth, kHeight, millimetres, 6),
      DepthImage::Mm16(kWidth, kHeight, millimetres, 0, true),
      DepthImage::Mm16(kWidth, kHeight, millimetres, 10, true),
      DepthImage::Metres32(kWidth, kHeight, metres),
      DepthImage::Metres32(kWidth, kHeight, metres, 12),
      DepthImage::Metres32(kWidth, kHeight, metres, 4, true),
  };
  std::vector<Cloud> clouds;
  for (const auto& image : images) {
    SegObject obj = Piece(5.0F, 30.0F, 40.0F, 15.0F, {8, 31, 30, 12});
    ASSERT_EQ(Run(image, obj), TrashCloudStatus::kOk);
    clouds.push_back(*cloud_);
  }
  ASSERT_EQ(clouds[0].size(), 30U * 12U);
  // Spot check of the reference: pixel (8, 31) holds 700 + 24 + 217 mm.
  EXPECT_FLOAT_EQ(clouds[0].points[0].z, 0.941F);
  for (std::size_t i = 1; i < clouds.size(); ++i) {
    ASSERT_EQ(clouds[i].size(), clouds[0].size()) << "image " << i;
    for (std::size_t p = 0; p < clouds[0].size(); ++p) {
      ASSERT_EQ(clouds[i].points[p].getVector3fMap(), clouds[0].points[p].getVector3fMap())
          << "image " << i << " point " << p;
    }
  }
}

TEST_F(TrashCloudTest, MaskOfAnotherSizeIsRefusedWithoutReading) {
  const auto depth = Flat(800);
  const cv::Mat wrong_masks[] = {cv::Mat(kHeight / 2, kWidth / 2, CV_8UC1, cv::Scalar(255)),
                                 cv::Mat(kHeight, kWidth, CV_32FC1, cv::Scalar(1.0)), cv::Mat()};
  for (const auto& mask : wrong_masks) {
    SegObject obj = Piece(20.0F, 20.0F, 10.0F, 10.0F);
    obj.mask = mask;
    cloud_->push_back(pcl::PointXYZ(1.0F, 1.0F, 1.0F));
    transparent_ = true;
    EXPECT_EQ(Run(depth, obj), TrashCloudStatus::kMaskSizeMismatch);
    EXPECT_TRUE(cloud_->empty());
    EXPECT_TRUE(transparent_);
  }
  EXPECT_STRNE(DescribeTrashCloudStatus(TrashCloudStatus::kMaskSizeMismatch), "ok");
}

TEST_F(TrashCloudTest, ShortOrMissingDepthBufferIsRefused) {
  const auto depth = Flat(800);
  DepthImageView short_buffer = depth.View();
  short_buffer.size_bytes -= 1;
  DepthImageView short_step = depth.View();
  short_step.step = kWidth * 2 - 1;
  DepthImageView no_data = depth.View();
  no_data.data = nullptr;
  DepthImageView float_claim = depth.View();  // 16-bit bytes read as 32-bit would overrun
  float_claim.encoding = "32FC1";
  for (const auto& view : {short_buffer, short_step, no_data, float_claim}) {
    SegObject obj = Piece(20.0F, 20.0F, 10.0F, 10.0F, {0, 0, kWidth, kHeight});
    EXPECT_EQ(GetTrashCloud(view, intrinsics_, params_, obj, cloud_, transparent_),
              TrashCloudStatus::kBadDepthBuffer);
    EXPECT_TRUE(cloud_->empty());
  }

  SegObject obj = Piece(20.0F, 20.0F, 10.0F, 10.0F);
  EXPECT_EQ(GetTrashCloud(depth.View(), intrinsics_, params_, obj, Cloud::Ptr(), transparent_),
            TrashCloudStatus::kNoCloud);
}

}  // namespace
}  // namespace moorwick
