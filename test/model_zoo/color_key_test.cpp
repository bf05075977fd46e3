// The color_key model on rendered floor scenes, directly and through
// YOLOv8Seg with a configuration file.
#include "ai_moor/model/color_key.hpp"
#include "ai_moor/model/yolov8_seg.hpp"
#include "model_test_support.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <stdexcept>

using ai_moor::model::ColorKeyClass;
using ai_moor::model::SegObject;
using ai_moor::model::YOLOv8Seg;

namespace {

const cv::Scalar kFloor(90, 90, 90);  // saturation 0: matches no class

// Hue 170..179 and 0..10 (wrapping), 120.. saturation, 80.. value.
const char* kConfig = R"(backend: color_key
num_classes: 23
classes:
  - label: 0
    name: paper
    hsv_min: [170, 120, 80]
    hsv_max: [10, 255, 255]
    min_area: 20
    score: 0.9
  - label: 4
    name: bottle
    hsv_min: [100, 120, 80]
    hsv_max: [130, 255, 255]
    min_area: 20
    score: 0.8
)";

class ColorKey : public model_test::ScratchDir {
protected:
  void SetUp() override {
    ScratchDir::SetUp();
    model_ = std::make_unique<YOLOv8Seg>(write("color_key.yaml", kConfig));
  }
  std::vector<SegObject> detect(const cv::Mat& img) {
    std::vector<SegObject> objs;
    const int n = model_->detect(img, objs);
    EXPECT_EQ(n, static_cast<int>(objs.size()));
    return objs;
  }
  static cv::Mat floor() { return cv::Mat(120, 160, CV_8UC3, kFloor); }

  std::unique_ptr<YOLOv8Seg> model_;
};

struct Paint {
  cv::Rect rect;
  cv::Scalar rgb;
};
struct Found {
  int label;
  cv::Rect rect;
  int pixels;  // of the mask, all inside rect
};
struct KeyCase {
  const char* name;
  std::vector<Paint> paint;
  std::vector<Found> want;  // in output order
};

const cv::Scalar kRed(255, 0, 0);
const cv::Scalar kBlue(0, 0, 255);

// clang-format off
const KeyCase kKeyCases[] = {
  {"two_colours_classes_in_file_order",
   {{{90, 70, 40, 20}, {20, 40, 200}}, {{20, 30, 30, 30}, {220, 30, 20}}},
   {{0, {20, 30, 30, 30}, 900}, {4, {90, 70, 40, 20}, 800}}},
  {"touching_colours_stay_separate",
   {{{10, 10, 20, 20}, kRed}, {{30, 10, 20, 20}, kBlue}},
   {{0, {10, 10, 20, 20}, 400}, {4, {30, 10, 20, 20}, 400}}},
  // RGB (255, 0, 40): hue 360 - 60 * 40/255 = 350.6 deg -> 175; (255, 40, 0):
  // 4.7 -> 2; (255, 120, 0): 28 deg -> 14, orange, no class.
  {"hue_range_wraps_through_zero",
   {{{10, 10, 10, 10}, {255, 0, 40}}, {{100, 10, 10, 10}, {255, 40, 0}},
    {{10, 80, 10, 10}, {255, 120, 0}}},
   {{0, {10, 10, 10, 10}, 100}, {0, {100, 10, 10, 10}, 100}}},
  {"minimum_area_is_inclusive",  // 16 px dropped, 20 px kept
   {{{10, 10, 4, 4}, kRed}, {{50, 50, 5, 4}, kRed}},
   {{0, {50, 50, 5, 4}, 20}}},
  // Raster order; two squares meeting at one corner pixel are one 8-connected region.
  {"raster_order_and_corners_connect",
   {{{100, 60, 10, 10}, kRed}, {{10, 10, 10, 10}, kRed}, {{40, 80, 10, 10}, kRed},
    {{50, 90, 10, 10}, kRed}},
   {{0, {10, 10, 10, 10}, 100}, {0, {100, 60, 10, 10}, 100}, {0, {40, 80, 20, 20}, 200}}},
  {"bare_floor", {}, {}},
};
// clang-format on

TEST_F(ColorKey, PaintedScenes) {
  for (const KeyCase& c : kKeyCases) {
    SCOPED_TRACE(c.name);
    cv::Mat img = floor();
    for (const Paint& p : c.paint) {
      img(p.rect).setTo(p.rgb);
    }
    const auto objs = detect(img);
    ASSERT_EQ(objs.size(), c.want.size());
    for (size_t i = 0; i < objs.size(); ++i) {
      const Found& w = c.want[i];
      EXPECT_EQ(objs[i].label, w.label);
      EXPECT_FLOAT_EQ(objs[i].prob, w.label == 0 ? 0.9F : 0.8F);
      EXPECT_EQ(objs[i].rect, cv::Rect_<float>(w.rect));
      ASSERT_EQ(objs[i].mask.type(), CV_8UC1);
      EXPECT_EQ(cv::countNonZero(objs[i].mask), w.pixels);
      EXPECT_EQ(cv::countNonZero(objs[i].mask(w.rect) == 1), w.pixels);
    }
  }
}

TEST_F(ColorKey, ShadedRoundPieceMaskMatchesItsPixels) {
  // A disc shaded from bright to dark blue (value 255 down to ~100) is one piece.
  cv::Mat img = floor();
  cv::Mat disc = cv::Mat::zeros(img.size(), CV_8UC1);
  cv::circle(disc, {80, 60}, 25, cv::Scalar(1), cv::FILLED, cv::LINE_8);
  for (int y = 0; y < img.rows; ++y) {
    for (int x = 0; x < img.cols; ++x) {
      if (disc.at<uchar>(y, x)) {
        const int v = 255 - (y - 35) * 3;
        img.at<cv::Vec3b>(y, x) =
            cv::Vec3b(static_cast<uchar>(v / 10), static_cast<uchar>(v / 5), static_cast<uchar>(v));
      }
    }
  }
  const auto objs = detect(img);
  ASSERT_EQ(objs.size(), 1U);
  EXPECT_EQ(objs[0].label, 4);
  EXPECT_EQ(cv::countNonZero(objs[0].mask != disc), 0);
  // Disc of radius 25 around (80, 60): x 55..105, y 35..85.
  EXPECT_EQ(objs[0].rect, cv::Rect_<float>(55, 35, 51, 51));
}

// The test aid: detection throws while the named file exists (relative to the
// configuration's folder), and works again once it is gone.
TEST_F(ColorKey, FaultFileMakesDetectThrowWhileItExists) {
  YOLOv8Seg model(write("faulty.yaml", std::string(kConfig) + "test_fault_file: fail.now\n"));
  cv::Mat img = floor();
  img(cv::Rect(20, 30, 30, 30)).setTo(cv::Scalar(220, 30, 20));
  std::vector<SegObject> objs;
  EXPECT_EQ(model.detect(img, objs), 1);
  write("fail.now", "");
  EXPECT_THAT([&] { model.detect(img, objs); }, ::testing::ThrowsMessage<std::runtime_error>(
                                                    ::testing::HasSubstr("fail.now exists")));
  std::filesystem::remove(write("fail.now", ""));
  EXPECT_EQ(model.detect(img, objs), 1);
  ASSERT_EQ(objs.size(), 1U);
  EXPECT_EQ(objs[0].label, 0);
}

TEST(ColorKeySegment, NoClassesOrWrongTypeGiveNothing) {
  cv::Mat img(20, 20, CV_8UC3, cv::Scalar(255, 0, 0));
  EXPECT_TRUE(ai_moor::model::color_key_segment(img, {}).empty());
  ColorKeyClass red{0, "red", {0, 100, 100}, {10, 255, 255}, 1, 1.0F};
  EXPECT_EQ(ai_moor::model::color_key_segment(img, {red}).size(), 1U);
  cv::Mat grey(20, 20, CV_8UC1, cv::Scalar(255));
  EXPECT_TRUE(ai_moor::model::color_key_segment(grey, {red}).empty());
}

// --- configuration errors ---------------------------------------------------

// A valid class entry; each case replaces one part of it.
const std::string kEntry =
    "  - label: 0\n    hsv_min: [0, 100, 0]\n    hsv_max: [10, 255, 255]\n    min_area: 5\n"
    "    score: 0.9\n";

struct BadColorConfig {
  const char* name;
  std::string find, replace;
  std::string says;
};

class ColorKeyConfigError : public model_test::ScratchDir,
                            public ::testing::WithParamInterface<BadColorConfig> {};

TEST_P(ColorKeyConfigError, ConstructorNamesFileAndProblem) {
  std::string classes = kEntry;
  classes.replace(classes.find(GetParam().find), GetParam().find.size(), GetParam().replace);
  const std::string cfg =
      write("ck.yaml", "backend: color_key\nnum_classes: 23\nclasses:\n" + classes);
  EXPECT_THAT(model_test::construction_error(cfg),
              ::testing::AllOf(::testing::HasSubstr(cfg), ::testing::HasSubstr(GetParam().says)));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, ColorKeyConfigError,
    ::testing::Values(
        BadColorConfig{"label_beyond_class_count", "label: 0", "label: 23", "label 23 is outside 0..22"},
        BadColorConfig{"two_hsv_values", "min: [0, 100, 0]", "min: [0, 100]", "hsv_min must have 3 values"},
        BadColorConfig{"hue_beyond_179", "[10, 255", "[180, 255", "hsv_max out of range"},
        BadColorConfig{"saturation_range_reversed", "[10, 255, 255]", "[10, 50, 255]", "saturation or value"},
        BadColorConfig{"zero_score", "score: 0.9", "score: 0", "score must be in (0, 1]"},
        BadColorConfig{"missing_score", "    score: 0.9\n", "", "missing key 'score'"},
        BadColorConfig{"empty_list", kEntry, "  []\n", "'classes' must be a non-empty list"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// The shipped example configuration loads.
TEST(ShippedColorKeyConfig, Loads) {
  EXPECT_EQ(
      model_test::construction_error(std::string(MODEL_ZOO_CONFIG_DIR) + "/model_color_key.yaml"),
      "");
}

}  // namespace
