// Mask points and the depth cut-out on inputs the fuzz harness flagged:
// configured erosion sizes whose kernel size overflowed int, and depths of
// +-Inf or near the float limit that made non-finite points.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "depth_image.hpp"
#include "moorwick_arm_trash_detect/core/mask_points.hpp"
#include "moorwick_arm_trash_detect/core/trash_cloud.hpp"

namespace {

constexpr int kIntMax = std::numeric_limits<int>::max();

// A 40x40 mask with a 30x30 block (900 pixels: eroded) and one lone pixel.
cv::Mat BlockMask() {
  cv::Mat mask(40, 40, CV_8UC1, cv::Scalar(0));
  mask(cv::Rect(5, 5, 30, 30)).setTo(255);
  mask.at<std::uint8_t>(38, 38) = 255;
  return mask;
}
const cv::Rect_<float> kBox(11.0F, 11.0F, 29.0F, 29.0F);  // past 10 px from left and top

TEST(MaskCloudFuzzFindings, HugeErosionEmptiesTheMaskLikeAnyWholeImageKernel) {
  // Any kernel at least twice the image wide leaves no pixel standing; the
  // huge configured sizes must give that same answer rather than overflow.
  cv::Mat reference = BlockMask();
  const auto expected = moorwick::getMaskPoints(reference, kBox, 40);
  EXPECT_TRUE(expected.empty());
  for (const int size : {41, 100000, kIntMax / 2, kIntMax - 1, kIntMax}) {
    cv::Mat mask = BlockMask();
    std::vector<cv::Point> points;
    ASSERT_NO_THROW(points = moorwick::getMaskPoints(mask, kBox, size)) << size;
    EXPECT_EQ(points, expected) << size;
    EXPECT_EQ(cv::countNonZero(mask), cv::countNonZero(reference)) << size;
  }
}

TEST(MaskCloudFuzzFindings, NonFiniteOrOverflowingDepthCountsAsMissing) {
  const float kInf = std::numeric_limits<float>::infinity();
  const float kMax = std::numeric_limits<float>::max();
  const moorwick::CameraParams intrinsics{300.0F, 300.0F, 2.0F, 2.0F};
  // Never transparent: only the points matter here.
  const moorwick::TrashCloudParams params{0, 2.0F};

  for (const float bad : {kInf, -kInf, kMax, std::nanf("")}) {
    // (7, 1) is five columns right of cx.
    const auto depth = moorwick::test::DepthImage::Metres32(
        8, 4, [bad](int u, int v) { return u == 7 && v == 1 ? bad : 1.5F; });
    ai_moor::model::SegObject obj;
    obj.rect = cv::Rect_<float>(0.0F, 0.0F, 8.0F, 4.0F);
    obj.mask = cv::Mat(4, 8, CV_8UC1, cv::Scalar(255));
    pcl::PointCloud<pcl::PointXYZ>::Ptr cloud(new pcl::PointCloud<pcl::PointXYZ>);
    bool transparent = false;
    ASSERT_EQ(moorwick::GetTrashCloud(depth.View(), intrinsics, params, obj, cloud, transparent),
              moorwick::TrashCloudStatus::kOk);
    EXPECT_EQ(cloud->size(), 31U) << bad;
    for (const auto& p : cloud->points) {
      EXPECT_TRUE(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z)) << bad;
      EXPECT_FLOAT_EQ(p.z, 1.5F);
    }
  }
}

}  // namespace
