// Mask points with the erosion rule.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <cmath>
#include <limits>

#include "moorwick_arm_trash_detect/core/mask_points.hpp"
#include "moorwick_test/log_capture.hpp"

namespace moorwick {
namespace {

using moorwick_test::LogCapture;

cv::Mat EmptyMask() {
  return cv::Mat::zeros(48, 64, CV_8UC1);
}

TEST(TruncToInt, TruncatesTowardZeroAndSaturates) {
  EXPECT_EQ(TruncToInt(4.9F), 4);
  EXPECT_EQ(TruncToInt(-4.9F), -4);
  EXPECT_EQ(TruncToInt(-0.5F), 0);
  EXPECT_EQ(TruncToInt(std::numeric_limits<float>::quiet_NaN()), 0);
  EXPECT_EQ(TruncToInt(1e20F), std::numeric_limits<int>::max());
  EXPECT_EQ(TruncToInt(-1e20F), std::numeric_limits<int>::min());
}

TEST(GetMaskPoints, ReturnsBoxRelativePointsInRowMajorOrder) {
  cv::Mat mask = EmptyMask();
  mask.at<std::uint8_t>(7, 12) = 255;
  mask.at<std::uint8_t>(8, 10) = 255;
  mask.at<std::uint8_t>(8, 15) = 1;  // any non-zero value counts
  // Outside the box (10..15, 7..9): ignored.
  mask.at<std::uint8_t>(7, 9) = 255;
  mask.at<std::uint8_t>(8, 16) = 255;
  mask.at<std::uint8_t>(10, 10) = 255;
  const std::vector<cv::Point> expected{{2, 0}, {0, 1}, {5, 1}};
  EXPECT_EQ(getMaskPoints(mask, cv::Rect_<float>(10.0F, 7.0F, 6.0F, 3.0F), 1), expected);
  // Fractions are truncated: the same box.
  EXPECT_EQ(getMaskPoints(mask, cv::Rect_<float>(10.9F, 7.9F, 6.9F, 3.9F), 1), expected);
}

// A 25 x 20 block (500 pixels) at (x, y) plus `extra` isolated pixels inside the box.
struct ErosionCase {
  const char* what;
  float rect_x, rect_y;
  int extra;
  int erosion_size;
  std::size_t expected_points;
  bool eroded;
};

class ErosionRule : public ::testing::TestWithParam<ErosionCase> {};

TEST_P(ErosionRule, ErodesOnlyLargeMasksAwayFromTheLeftAndTopBorder) {
  const ErosionCase& c = GetParam();
  cv::Mat mask = EmptyMask();
  const int x0 = static_cast<int>(c.rect_x);
  const int y0 = static_cast<int>(c.rect_y);
  mask(cv::Rect(x0, y0, 25, 20)).setTo(255);
  for (int i = 0; i < c.extra; ++i) {
    mask.at<std::uint8_t>(y0 + 22, x0 + 2 * i) = 255;
  }
  const cv::Rect_<float> rect(c.rect_x, c.rect_y, 30.0F, 25.0F);
  LogCapture log;
  EXPECT_EQ(getMaskPoints(mask, rect, c.erosion_size).size(), c.expected_points) << c.what;
  EXPECT_EQ(log.Count("Erode mask ! erosion_size: " + std::to_string(c.erosion_size)),
            c.eroded ? 1U : 0U)
      << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ErosionRule,
    ::testing::Values(
        // A 3 x 3 element takes one pixel off each side; isolated pixels vanish.
        ErosionCase{"501 pixels, x 10.5, y 20", 10.5F, 20.0F, 1, 1, 23 * 18, true},
        ErosionCase{"exactly 500 pixels", 10.5F, 20.0F, 0, 1, 500, false},
        ErosionCase{"x 10.0 is not beyond 10", 10.0F, 20.0F, 5, 1, 505, false},
        ErosionCase{"y 10.0 is not beyond 10", 20.0F, 10.0F, 5, 1, 505, false},
        ErosionCase{"y 10.5", 20.0F, 10.5F, 5, 1, 23 * 18, true},
        // Size 2: a 5 x 5 element takes two pixels off each side.
        ErosionCase{"erosion size 2", 20.0F, 12.0F, 3, 2, 21 * 16, true},
        // Sizes whose element (2 * size + 1) overflowed int, a fuzz finding:
        // they erode like any element wider than the block.
        ErosionCase{"erosion size 100000", 20.0F, 12.0F, 3, 100000, 0, true},
        ErosionCase{"erosion size 2^30", 20.0F, 12.0F, 3, 1 << 30, 0, true},
        ErosionCase{"erosion size INT_MAX", 20.0F, 12.0F, 3, std::numeric_limits<int>::max(), 0,
                    true}));

TEST(GetMaskPoints, CountsOnlyPixelsInsideTheBoxButErodesTheWholeMask) {
  cv::Mat mask = EmptyMask();
  mask(cv::Rect(15, 15, 20, 20)).setTo(255);  // 400 inside the box
  mask(cv::Rect(40, 15, 20, 20)).setTo(255);  // 400 outside it
  const cv::Rect_<float> box(15.0F, 15.0F, 20.0F, 20.0F);
  EXPECT_EQ(getMaskPoints(mask, box, 1).size(), 400U) << "800 pixels in the mask, 400 in the box";
  EXPECT_EQ(cv::countNonZero(mask), 800);

  mask(cv::Rect(15, 35, 20, 6)).setTo(255);  // box now holds 520
  const cv::Rect_<float> taller(15.0F, 15.0F, 20.0F, 26.0F);
  EXPECT_EQ(getMaskPoints(mask, taller, 1).size(), 18U * 24U);
  EXPECT_EQ(cv::countNonZero(mask(cv::Rect(40, 15, 20, 20))), 18 * 18)
      << "the block outside the box is eroded too";
}

TEST(GetMaskPoints, BoxesBeyondTheMaskAreClipped) {
  cv::Mat mask = EmptyMask();
  mask.setTo(255);
  struct Case {
    const char* what;
    cv::Rect_<float> rect;
    std::size_t points;
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const Case cases[] = {
      {"left and top", {-5.0F, -3.0F, 10.0F, 10.0F}, 5U * 7U},
      {"right and bottom", {60.0F, 45.0F, 10.0F, 10.0F}, 4U * 3U},
      {"wholly outside", {100.0F, 100.0F, 10.0F, 10.0F}, 0U},
      {"negative size", {20.0F, 20.0F, -10.0F, 10.0F}, 0U},
      {"huge", {-1e30F, -1e30F, 1e30F, 1e30F}, 0U},
      {"not a number", {nan, 5.0F, 3.0F, nan}, 0U},
  };
  for (const auto& c : cases) {
    const auto points = getMaskPoints(mask, c.rect, 0);
    EXPECT_EQ(points.size(), c.points) << c.what;
  }
  const auto left_top = getMaskPoints(mask, cv::Rect_<float>(-5.0F, -3.0F, 10.0F, 10.0F), 0);
  ASSERT_FALSE(left_top.empty());
  EXPECT_EQ(left_top.front(), cv::Point(5, 3)) << "offsets stay relative to the box corner";
}

// Eroding the box alone must give exactly the points, and the box pixels, of
// eroding the whole mask: blobs crossing the box's edges and the image's edges,
// several erosion sizes, boxes clipped by the image.
TEST(GetMaskPoints, ErodingTheBoxAloneMatchesErodingTheWholeMask) {
  cv::RNG rng(20240607);
  const cv::Rect image(0, 0, 160, 120);
  struct Case {
    cv::Rect_<float> rect;
    int erosion_size;
  };
  const Case cases[] = {
      {{12.5F, 11.0F, 60.0F, 50.0F}, 1},    {{11.0F, 12.0F, 90.0F, 80.0F}, 2},
      {{40.0F, 25.0F, 50.0F, 45.0F}, 3},    {{110.7F, 70.2F, 60.0F, 60.0F}, 1},
      {{15.0F, 11.5F, 140.0F, 30.0F}, 0},   {{60.0F, 40.0F, 44.0F, 38.0F}, 5},
      {{11.0F, 11.0F, 149.0F, 109.0F}, 70},
  };
  int changed_by_erosion = 0;
  int compared = 0;
  for (int round = 0; round < 20; ++round) {
    cv::Mat mask = cv::Mat::zeros(image.size(), CV_8UC1);
    for (int blob = 0; blob < 25; ++blob) {
      const cv::Rect r(rng.uniform(-10, image.width), rng.uniform(-10, image.height),
                       rng.uniform(3, 45), rng.uniform(3, 35));
      mask(r & image).setTo(255);
    }
    for (const auto& c : cases) {
      SCOPED_TRACE(::testing::Message()
                   << "round " << round << " rect " << c.rect << " erosion " << c.erosion_size);
      cv::Mat whole = mask.clone();
      cv::Mat box_only = mask.clone();
      cv::Mat untouched = mask.clone();
      const auto expected = getMaskPoints(whole, c.rect, c.erosion_size);
      const auto got = getMaskPoints(box_only, c.rect, c.erosion_size, true);
      EXPECT_EQ(got, expected);
      const cv::Rect box = cv::Rect(c.rect) & image;
      EXPECT_EQ(cv::norm(box_only(box), whole(box), cv::NORM_INF), 0.0);
      ++compared;
      if (getMaskPoints(untouched, c.rect, 0).size() != expected.size()) {
        ++changed_by_erosion;
      }
    }
  }
  // Most comparisons must have had an erosion that mattered.
  EXPECT_GT(changed_by_erosion, compared / 2);
}

}  // namespace
}  // namespace moorwick
