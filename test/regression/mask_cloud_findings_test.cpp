// Mask points and the depth cut-out on inputs the fuzz harness flagged:
// configured erosion sizes whose kernel size overflowed int, and depths of
// +-Inf or near the float limit that made non-finite points.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

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

TEST(MaskCloudFuzzFindings, ModestErosionStillErodes) {
  cv::Mat mask = BlockMask();
  const auto points = moorwick::getMaskPoints(mask, kBox, 2);
  // The block shrinks to 26x26 at rows/columns 7..32; the box starts at 11.
  EXPECT_EQ(points.size(), 22U * 22U);
  EXPECT_EQ(cv::countNonZero(mask), 26 * 26);
}

// A 32FC1 depth image of one value but for the pixel at (col, row).
struct Depth32 {
  std::vector<float> pixels;
  moorwick::DepthImageView view;
  Depth32(int cols, int rows, float fill) : pixels(static_cast<std::size_t>(cols * rows), fill) {
    view.data = reinterpret_cast<const std::uint8_t*>(pixels.data());
    view.size_bytes = pixels.size() * sizeof(float);
    view.width = static_cast<std::uint32_t>(cols);
    view.height = static_cast<std::uint32_t>(rows);
    view.step = static_cast<std::uint32_t>(cols * sizeof(float));
    view.encoding = "32FC1";
  }
};

TEST(MaskCloudFuzzFindings, NonFiniteOrOverflowingDepthCountsAsMissing) {
  const float kInf = std::numeric_limits<float>::infinity();
  const float kMax = std::numeric_limits<float>::max();
  moorwick::CameraParams intrinsics;
  intrinsics.fx = 300.0F;
  intrinsics.fy = 300.0F;
  intrinsics.cx = 2.0F;
  intrinsics.cy = 2.0F;
  moorwick::TrashCloudParams params;
  params.null_ratio_threshold = 2.0F;  // never transparent: only the points matter here

  for (const float bad : {kInf, -kInf, kMax, std::nanf("")}) {
    Depth32 depth(8, 4, 1.5F);
    depth.pixels[1 * 8 + 7] = bad;  // (7, 1), five columns right of cx
    ai_moor::model::SegObject obj;
    obj.rect = cv::Rect_<float>(0.0F, 0.0F, 8.0F, 4.0F);
    obj.mask = cv::Mat(4, 8, CV_8UC1, cv::Scalar(255));
    pcl::PointCloud<pcl::PointXYZ>::Ptr cloud(new pcl::PointCloud<pcl::PointXYZ>);
    bool transparent = false;
    ASSERT_EQ(moorwick::GetTrashCloud(depth.view, intrinsics, params, obj, cloud, transparent),
              moorwick::TrashCloudStatus::kOk);
    EXPECT_EQ(cloud->size(), 31U) << bad;
    for (const auto& p : cloud->points) {
      EXPECT_TRUE(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z)) << bad;
      EXPECT_FLOAT_EQ(p.z, 1.5F);
    }
  }
}

}  // namespace
