// Post-processing on synthetic tensors; every expectation below is worked
// out by hand in the comment next to it. Arbitrary and malformed tensors are
// the fuzz harness's (fuzz_postprocess) and the regression suite's ground.
#include "ai_moor/model/yolov8_postprocess.hpp"
#include "model_test_support.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace post = ai_moor::model::post;

namespace {

float sigmoid(float x) {
  return 1.0F / (1.0F + std::exp(-x));
}

// --- letterbox ------------------------------------------------------------

struct LetterboxCase {
  cv::Size image, input;
  float scale;
  cv::Size scaled;
  int pad_left, pad_top;
};

class LetterboxGeometry : public ::testing::TestWithParam<LetterboxCase> {};

TEST_P(LetterboxGeometry, ScaleSizeAndPadding) {
  const LetterboxCase& c = GetParam();
  const post::Letterbox lb = post::make_letterbox(c.image, c.input);
  EXPECT_NEAR(lb.scale, c.scale, 1e-4F);
  EXPECT_EQ(lb.scaled, c.scaled);
  EXPECT_EQ(lb.pad_left, c.pad_left);
  EXPECT_EQ(lb.pad_top, c.pad_top);
}

INSTANTIATE_TEST_SUITE_P(
    HandWorked, LetterboxGeometry,
    ::testing::Values(
        // 64/128 = 0.5 < 64/96: 64x48, (64-48)/2 = 8 rows on top.
        LetterboxCase{{128, 96}, {64, 64}, 0.5F, {64, 48}, 0, 8},
        // Portrait: 640/640 = 1 < 640/480, 80 columns on the left.
        LetterboxCase{{480, 640}, {640, 640}, 1.0F, {480, 640}, 80, 0},
        // 0.5: 640x360, (640-360)/2 = 140.
        LetterboxCase{{1280, 720}, {640, 640}, 0.5F, {640, 360}, 0, 140},
        // min(64/33, 32/17) = 32/17 = 1.88235; 33 * 1.88235 = 62.1 -> 62; (64-62)/2 = 1.
        LetterboxCase{{33, 17}, {64, 32}, 32.0F / 17.0F, {62, 32}, 1, 0}));

TEST(LetterboxMapping, BoxBackToImageIsClipped) {
  // 128x96 into 64x64: scale 0.5, 8 rows on top; 1280x720 into 640x640: 0.5, 140 rows.
  const post::Letterbox small = post::make_letterbox({128, 96}, {64, 64});
  const post::Letterbox wide = post::make_letterbox({1280, 720}, {640, 640});
  const struct {
    const post::Letterbox& lb;
    cv::Rect2f in, want;
  } cases[] = {
      // x: 24 / 0.5 = 48; y: (16 - 8) / 0.5 = 16; sizes doubled.
      {small, {24, 16, 8, 8}, {48, 16, 16, 16}},
      // Clipped: x1 = -20 -> 0, y1 = (130 - 140) * 2 = -20 -> 0, x2 = 80, y2 = 20.
      {wide, {-10, 130, 50, 20}, {0, 0, 80, 20}},
      // x2 = 700 * 2 = 1400 -> 1280, y2 = (520 - 140) * 2 = 760 -> 720.
      {wide, {600, 480, 100, 40}, {1200, 680, 80, 40}},
      // Entirely in the top padding: no height left.
      {wide, {10, 0, 20, 100}, {20, 0, 40, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    model_test::expect_rect_near(post::to_image(c.in, c.lb), c.want);
  }
}

// --- decoding: cut head against stock form ---------------------------------

constexpr int kClasses = 3;
constexpr int kMasks = 32;
constexpr float kQuiet = -10.0F;  // class logit of an empty cell

// Per-level tensors at 640x640 with every class logit quiet and every
// distribution flat.
std::vector<post::Level> quiet_levels() {
  std::vector<post::Level> levels;
  for (int s : post::kStrides) {
    const int g = 640 / s;
    post::Level lv{cv::Mat(4 * post::kRegMax + kClasses, g * g, CV_32F, cv::Scalar(0)), g, g, s};
    lv.data.rowRange(4 * post::kRegMax, 4 * post::kRegMax + kClasses).setTo(kQuiet);
    levels.push_back(lv);
  }
  return levels;
}

// Distances in strides; x.5 values use two equal bins.
void set_side(post::Level& lv, int cell, int side, float distance) {
  const int lo = static_cast<int>(std::floor(distance));
  lv.data.at<float>(side * post::kRegMax + lo, cell) = 30.0F;
  if (distance != static_cast<float>(lo)) {
    lv.data.at<float>(side * post::kRegMax + lo + 1, cell) = 30.0F;
  }
}

struct Planted {
  int level, row, col, label;
  float logit;
  float l, t, r, b;
  int anchor;      // by hand: cells of earlier levels + row * grid + col
  cv::Rect2f box;  // by hand: ((col + 0.5 - l) * s, (row + 0.5 - t) * s, (l + r) * s, (t + b) * s)
};

// Listed in anchor order.
const std::vector<Planted>& planted() {
  static const std::vector<Planted> p{
      // s8, anchor (79.5, 0.5) * 8: x1 = 78.5*8 = 628, y1 = 4, x2 = 636, y2 = 2.5*8 = 20.
      {0, 0, 79, 0, 0.0F, 1.0F, 0.0F, 0.0F, 2.0F, 79, {628, 4, 8, 16}},
      // s16, anchor (5.5, 3.5) * 16 = (88, 56): x1 = 3.5*16 = 56, y1 = 2.5*16 = 40,
      // x2 = 8.5*16 = 136, y2 = 4*16 = 64. Anchor 6400 + 3*40 + 5 = 6525.
      {1, 3, 5, 2, 2.0F, 2.0F, 1.0F, 3.0F, 0.5F, 6525, {56, 40, 80, 24}},
      // s32, anchor (0.5, 19.5) * 32: x1 = 0, y1 = 19*32 = 608, x2 = 15.5*32 = 496,
      // y2 = 640. Anchor 6400 + 1600 + 19*20 = 8380.
      {2, 19, 0, 1, 4.0F, 0.5F, 0.5F, 15.0F, 0.5F, 8380, {0, 608, 496, 32}},
  };
  return p;
}

// Below a 0.25 threshold: sigmoid(-1.5) = 0.18, class 1 at s8 cell (10, 10).
constexpr int kWeakAnchor = 10 * 80 + 10;

std::vector<post::Level> levels_with_planted() {
  std::vector<post::Level> levels = quiet_levels();
  for (const Planted& p : planted()) {
    post::Level& lv = levels[static_cast<size_t>(p.level)];
    const int cell = p.row * lv.grid_w + p.col;
    lv.data.at<float>(4 * post::kRegMax + p.label, cell) = p.logit;
    set_side(lv, cell, 0, p.l);
    set_side(lv, cell, 1, p.t);
    set_side(lv, cell, 2, p.r);
    set_side(lv, cell, 3, p.b);
  }
  levels[0].data.at<float>(4 * post::kRegMax + 1, kWeakAnchor) = -1.5F;
  return levels;
}

// The stock export's output for the same logits, written from the hand
// boxes: centre and size in input pixels, class probabilities.
cv::Mat stock_with_planted() {
  cv::Mat det(4 + kClasses + kMasks, 8400, CV_32F, cv::Scalar(0));
  det.rowRange(4, 4 + kClasses).setTo(sigmoid(kQuiet));
  for (const Planted& p : planted()) {
    det.at<float>(0, p.anchor) = p.box.x + p.box.width / 2;
    det.at<float>(1, p.anchor) = p.box.y + p.box.height / 2;
    det.at<float>(2, p.anchor) = p.box.width;
    det.at<float>(3, p.anchor) = p.box.height;
    det.at<float>(4 + p.label, p.anchor) = sigmoid(p.logit);
  }
  det.at<float>(4 + 1, kWeakAnchor) = sigmoid(-1.5F);
  return det;
}

TEST(Decode, CutHeadAndStockFormGiveTheHandWorkedBoxes) {
  for (const bool stock : {false, true}) {
    SCOPED_TRACE(stock ? "stock" : "cut head");
    std::vector<post::Candidate> got =
        stock ? post::decode_stock(stock_with_planted(), kClasses, 0.25F)
              : post::decode_levels(levels_with_planted(), kClasses, 0.25F);
    std::sort(got.begin(), got.end(), [](const post::Candidate& a, const post::Candidate& b) {
      return a.anchor < b.anchor;
    });
    ASSERT_EQ(got.size(), planted().size());
    for (size_t i = 0; i < got.size(); ++i) {
      const Planted& want = planted()[i];
      EXPECT_EQ(got[i].anchor, want.anchor);
      EXPECT_EQ(got[i].label, want.label);
      EXPECT_NEAR(got[i].score, sigmoid(want.logit), 1e-5F);
      model_test::expect_rect_near(got[i].box, want.box);
    }
  }
}

TEST(Decode, ThresholdIsStrict) {
  // sigmoid(0) = 0.5 exactly: the s8 candidate goes at threshold 0.5.
  const auto cut = post::decode_levels(levels_with_planted(), kClasses, 0.5F);
  EXPECT_EQ(post::decode_stock(stock_with_planted(), kClasses, 0.5F).size(), 2U);
  ASSERT_EQ(cut.size(), 2U);
  EXPECT_NE(cut[0].anchor, 79);
  EXPECT_NE(cut[1].anchor, 79);
  // A low threshold lets the 0.18 cell in as well, with its class.
  const auto low = post::decode_levels(levels_with_planted(), kClasses, 0.1F);
  ASSERT_EQ(low.size(), 4U);
  EXPECT_TRUE(std::any_of(low.begin(), low.end(), [](const post::Candidate& c) {
    return c.anchor == kWeakAnchor && c.label == 1;
  }));
}

// --- NMS ------------------------------------------------------------------

struct NmsCase {
  const char* name;
  float iou_threshold;
  int max_detections;
  std::vector<int> kept_anchors;  // in output order
};

class NmsKeeps : public ::testing::TestWithParam<NmsCase> {};

TEST_P(NmsKeeps, RightBoxes) {
  // A and B overlap with IoU 8*10 / (100 + 100 - 80) = 0.667 and share label
  // 0; C has B's box with label 1; D stands alone but for E, its equal with a
  // higher anchor. Given out of score order.
  const std::vector<post::Candidate> in{
      {{20, 20, 5, 5}, 0, 0.30F, 5},  // E
      {{20, 20, 5, 5}, 0, 0.30F, 3},  // D
      {{2, 0, 10, 10}, 0, 0.80F, 1},  // B
      {{0, 0, 10, 10}, 0, 0.90F, 0},  // A
      {{2, 0, 10, 10}, 1, 0.85F, 2},  // C
  };
  std::vector<int> anchors;
  for (const auto& k : post::nms(in, GetParam().iou_threshold, GetParam().max_detections)) {
    anchors.push_back(k.anchor);
  }
  EXPECT_EQ(anchors, GetParam().kept_anchors);
}

INSTANTIATE_TEST_SUITE_P(HandWorked, NmsKeeps,
                         ::testing::Values(NmsCase{"B_suppressed_by_A", 0.45F, 100, {0, 2, 3}},
                                           NmsCase{"B_survives_loose_iou", 0.7F, 100, {0, 2, 1, 3}},
                                           NmsCase{"capped_at_two", 0.45F, 2, {0, 2}}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- masks ----------------------------------------------------------------

class MaskCrop : public ::testing::Test {
protected:
  // 128x96 image into a 64x64 input: scale 0.5, 8 rows on top; 16x16 prototypes.
  const post::Letterbox lb = post::make_letterbox({128, 96}, {64, 64});

  static int count(const cv::Mat& m) { return cv::countNonZero(m); }
  static void expect_binary(const cv::Mat& m) {
    ASSERT_EQ(m.type(), CV_8UC1);
    ASSERT_EQ(m.size(), cv::Size(128, 96));
    EXPECT_EQ(count(m > 1), 0);
  }
};

TEST_F(MaskCrop, CertainPrototypeKeepsThePixelsWhoseCentreIsInTheBox) {
  const cv::Mat prob(16, 16, CV_32F, cv::Scalar(0.99F));
  const struct {
    cv::Rect2f box;
    cv::Rect want;
  } cases[] = {
      {{48, 16, 16, 16}, {48, 16, 16, 16}},
      // x in [10.4, 15.4): centres 10.5..14.5 -> columns 10..14;
      // y in [20.6, 23.6): centres 21.5..23.5 -> rows 21..23.
      {{10.4F, 20.6F, 5.0F, 3.0F}, {10, 21, 5, 3}},
      // Degenerate or outside: nothing.
      {{200, 10, 10, 10}, {}},
      {{10, 10, 0, 5}, {}},
      {{-30, -30, 10, 10}, {}},
      {{std::numeric_limits<float>::quiet_NaN(), 0, 10, 10}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.box);
    const cv::Mat m = post::instance_mask(prob, c.box, lb, 0.5F);
    expect_binary(m);
    EXPECT_EQ(count(m), c.want.area());
    EXPECT_EQ(count(m(c.want)), c.want.area());
  }
}

TEST_F(MaskCrop, ThresholdOnTheInterpolatedEdge) {
  // Prototype columns 0..7 certain, 8..15 empty. Image column u samples
  // prototype x = ((u + 0.5) * 0.5) / 4 - 0.5: u = 63 -> 7.4375 (p = 0.5625),
  // u = 62 -> 7.3125 (0.6875), u = 61 -> 7.1875 (0.8125), u = 64 -> 7.5625 (0.4375).
  cv::Mat prob(16, 16, CV_32F, cv::Scalar(0.0F));
  prob.colRange(0, 8).setTo(1.0F);
  const cv::Mat half = post::instance_mask(prob, {0, 0, 128, 96}, lb, 0.5F);
  expect_binary(half);
  EXPECT_EQ(count(half), 64 * 96);
  EXPECT_EQ(count(half.col(63)), 96);
  EXPECT_EQ(count(half.col(64)), 0);

  const cv::Mat strict = post::instance_mask(prob, {0, 0, 128, 96}, lb, 0.7F);
  EXPECT_EQ(count(strict), 62 * 96);
  EXPECT_EQ(count(strict.col(61)), 96);
  EXPECT_EQ(count(strict.col(62)), 0);

  // The box still crops: rows 10..19, columns 60..69 -> columns 60..63 survive.
  const cv::Mat cropped = post::instance_mask(prob, {60, 10, 10, 10}, lb, 0.5F);
  EXPECT_EQ(count(cropped), 4 * 10);
  EXPECT_EQ(count(cropped(cv::Rect(60, 10, 4, 10))), 40);
}

TEST_F(MaskCrop, CoefficientsThroughToTheImageMask) {
  // One prototype channel +10 on prototype rows 2..5 (input rows 8..23, image
  // rows 0..31 after removing the 8-row pad), -10 elsewhere; coefficient 1.
  cv::Mat protos(1, 256, CV_32F, cv::Scalar(-10.0F));
  protos.reshape(1, 16).rowRange(2, 6).setTo(10.0F);
  const cv::Mat coeffs(1, 1, CV_32F, cv::Scalar(1.0F));
  const cv::Mat prob = post::mask_probabilities(coeffs, 0, protos, {16, 16});
  const cv::Mat m = post::instance_mask(prob, {0, 0, 128, 96}, lb, 0.5F);
  expect_binary(m);
  // Row v samples prototype y = ((v + 0.5) * 0.5 + 8) / 4 - 0.5; the edge
  // between rows 5 and 6 lies at y = 5.5, i.e. v = 31.5: rows 0..31 set.
  EXPECT_EQ(count(m), 32 * 128);
  EXPECT_EQ(count(m.rowRange(0, 32)), 32 * 128);
}

// The windowed computation used per detection must give exactly the mask of
// the full prototype map, wherever the box lies.
TEST(MaskWindow, SameMaskAsTheFullPrototypeMap) {
  cv::RNG rng(42);
  cv::Mat protos(32, 160 * 160, CV_32F);
  rng.fill(protos, cv::RNG::NORMAL, 0.0, 3.0);
  cv::Mat coeffs(32, 50, CV_32F);
  rng.fill(coeffs, cv::RNG::NORMAL, 0.0, 1.0);
  for (const cv::Size image : {cv::Size(640, 480), cv::Size(1280, 720), cv::Size(300, 500)}) {
    const post::Letterbox lb = post::make_letterbox(image, {640, 640});
    for (int i = 0; i < 50; ++i) {
      // Boxes from tiny to full size, some hanging over the image edges.
      const float w = rng.uniform(1.0F, static_cast<float>(image.width));
      const float h = rng.uniform(1.0F, static_cast<float>(image.height));
      const cv::Rect2f box(rng.uniform(-0.2F * w, image.width - 0.8F * w),
                           rng.uniform(-0.2F * h, image.height - 0.8F * h), w, h);
      const cv::Mat full = post::instance_mask(
          post::mask_probabilities(coeffs, i, protos, {160, 160}), box, lb, 0.5F);
      const cv::Mat windowed = post::instance_mask(coeffs, i, protos, {160, 160}, box, lb, 0.5F);
      ASSERT_EQ(windowed.size(), image);
      EXPECT_GT(cv::countNonZero(full), 0) << box;
      EXPECT_EQ(cv::countNonZero(full != windowed), 0) << image << " " << box;
    }
  }
  // Bad anchors and mismatched tensors give an empty mask.
  const post::Letterbox lb = post::make_letterbox({640, 480}, {640, 640});
  for (const auto& [anchor, grid] : {std::pair<int, int>{50, 160}, {0, 80}}) {
    EXPECT_EQ(cv::countNonZero(post::instance_mask(coeffs, anchor, protos, {grid, grid},
                                                   {0, 0, 99, 99}, lb, 0.5F)),
              0);
  }
}

}  // namespace
