// Inputs of the model post-processing found by fuzzing: class counts and grid
// sizes whose sums overflowed int, and stock boxes whose corner overflowed.
#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "ai_moor/model/yolov8_postprocess.hpp"

namespace post = ai_moor::model::post;

namespace {

constexpr int kIntMax = std::numeric_limits<int>::max();
constexpr float kFloatMax = std::numeric_limits<float>::max();

// Stock output with one class: rows cx, cy, w, h, score; one column per anchor.
cv::Mat StockDet(const std::vector<std::array<float, 5>>& anchors) {
  cv::Mat det(5, static_cast<int>(anchors.size()), CV_32FC1);
  for (int a = 0; a < det.cols; ++a) {
    for (int r = 0; r < 5; ++r) {
      det.at<float>(r, a) = anchors[static_cast<std::size_t>(a)][static_cast<std::size_t>(r)];
    }
  }
  return det;
}

TEST(PostprocessFuzzFindings, StockBoxWhoseCornerOverflowsIsDropped) {
  const cv::Mat det = StockDet({{-kFloatMax, 0.0F, kFloatMax, 2.0F, 0.9F},
                                {0.0F, kFloatMax, 2.0F, -kFloatMax, 0.9F},
                                {20.0F, 30.0F, 8.0F, 6.0F, 0.8F}});
  const auto out = post::decode_stock(det, 1, 0.5F);
  ASSERT_EQ(out.size(), 1U);
  EXPECT_EQ(out[0].anchor, 2);
  EXPECT_FLOAT_EQ(out[0].box.x, 16.0F);
  EXPECT_FLOAT_EQ(out[0].box.y, 27.0F);
}

// One cut-head level of a 1x1 grid and one class whose logit passes.
post::Level OneCellLevel(int stride) {
  post::Level lv;
  lv.data = cv::Mat(4 * post::kRegMax + 1, 1, CV_32FC1, cv::Scalar(0.0F));
  lv.data.at<float>(4 * post::kRegMax, 0) = 5.0F;
  lv.grid_w = 1;
  lv.grid_h = 1;
  lv.stride = stride;
  return lv;
}

TEST(PostprocessFuzzFindings, HugeClassCountFindsNothingInEitherForm) {
  const cv::Mat det = StockDet({{10.0F, 10.0F, 4.0F, 4.0F, 0.9F}});
  for (const int classes : {kIntMax, kIntMax - 3}) {
    EXPECT_TRUE(post::decode_stock(det, classes, 0.5F).empty()) << classes;
    EXPECT_TRUE(post::decode_levels({OneCellLevel(8)}, classes, 0.5F).empty()) << classes;
  }
  // The same tensors with their true class count still decode.
  EXPECT_EQ(post::decode_stock(det, 1, 0.5F).size(), 1U);
  EXPECT_EQ(post::decode_levels({OneCellLevel(8)}, 1, 0.5F).size(), 1U);
}

TEST(PostprocessFuzzFindings, LevelWithOverflowingGridIsSkipped) {
  struct Grid {
    int w;
    int h;
  };
  for (const Grid g :
       {Grid{kIntMax, kIntMax}, Grid{kIntMax, 2}, Grid{-65536, -65536}, Grid{0, 5}, Grid{-1, 1}}) {
    post::Level bogus = OneCellLevel(8);
    bogus.grid_w = g.w;
    bogus.grid_h = g.h;
    const auto out = post::decode_levels({bogus, OneCellLevel(16)}, 1, 0.5F);
    ASSERT_EQ(out.size(), 1U) << g.w << "x" << g.h;
    // Only the usable level yields a candidate, from its own single cell.
    EXPECT_EQ(out[0].anchor, 0) << g.w << "x" << g.h;
    EXPECT_FLOAT_EQ(out[0].box.x + 0.5F * out[0].box.width, 8.0F);  // cell centre x stride 16
  }
}

}  // namespace
