// The color_key model on rendered floor scenes, directly and through
// YOLOv8Seg with a configuration file.
#include "ai_moor/model/color_key.hpp"
#include "ai_moor/model/yolov8_seg.hpp"
#include "model_test_support.hpp"

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

TEST_F(ColorKey, TwoPiecesOfDifferentColours) {
  cv::Mat img = floor();
  img(cv::Rect(20, 30, 30, 30)).setTo(cv::Scalar(220, 30, 20));  // red
  img(cv::Rect(90, 70, 40, 20)).setTo(cv::Scalar(20, 40, 200));  // blue
  const auto objs = detect(img);
  ASSERT_EQ(objs.size(), 2U);
  // Classes in file order: red (label 0) first.
  EXPECT_EQ(objs[0].label, 0);
  EXPECT_FLOAT_EQ(objs[0].prob, 0.9F);
  EXPECT_EQ(objs[0].rect, cv::Rect_<float>(20, 30, 30, 30));
  EXPECT_TRUE(model_test::mask_equals_rect(objs[0].mask, {20, 30, 30, 30}));
  EXPECT_EQ(objs[1].label, 4);
  EXPECT_FLOAT_EQ(objs[1].prob, 0.8F);
  EXPECT_EQ(objs[1].rect, cv::Rect_<float>(90, 70, 40, 20));
  EXPECT_TRUE(model_test::mask_equals_rect(objs[1].mask, {90, 70, 40, 20}));
}

TEST_F(ColorKey, TouchingPiecesOfDifferentColoursStaySeparate) {
  cv::Mat img = floor();
  img(cv::Rect(10, 10, 20, 20)).setTo(cv::Scalar(255, 0, 0));
  img(cv::Rect(30, 10, 20, 20)).setTo(cv::Scalar(0, 0, 255));
  const auto objs = detect(img);
  ASSERT_EQ(objs.size(), 2U);
  EXPECT_TRUE(model_test::mask_equals_rect(objs[0].mask, {10, 10, 20, 20}));
  EXPECT_TRUE(model_test::mask_equals_rect(objs[1].mask, {30, 10, 20, 20}));
}

TEST_F(ColorKey, HueRangeWrapsThroughZero) {
  // RGB (255, 0, 40): hue 360 - 60 * 40/255 = 350.6 deg -> 175 in OpenCV units.
  cv::Mat img = floor();
  img(cv::Rect(10, 10, 10, 10)).setTo(cv::Scalar(255, 0, 40));
  img(cv::Rect(100, 10, 10, 10)).setTo(cv::Scalar(255, 40, 0));  // hue 4.7
  img(cv::Rect(10, 80, 10, 10)).setTo(cv::Scalar(255, 120, 0));  // hue 14: orange, no class
  const auto objs = detect(img);
  ASSERT_EQ(objs.size(), 2U);
  EXPECT_EQ(objs[0].rect, cv::Rect_<float>(10, 10, 10, 10));
  EXPECT_EQ(objs[1].rect, cv::Rect_<float>(100, 10, 10, 10));
  EXPECT_EQ(objs[0].label, 0);
  EXPECT_EQ(objs[1].label, 0);
}

TEST_F(ColorKey, MinimumAreaIsInclusive) {
  cv::Mat img = floor();
  img(cv::Rect(10, 10, 4, 4)).setTo(cv::Scalar(255, 0, 0));  // 16 px: dropped
  img(cv::Rect(50, 50, 5, 4)).setTo(cv::Scalar(255, 0, 0));  // 20 px: kept
  const auto objs = detect(img);
  ASSERT_EQ(objs.size(), 1U);
  EXPECT_EQ(objs[0].rect, cv::Rect_<float>(50, 50, 5, 4));
}

TEST_F(ColorKey, SameColourRegionsInRasterOrderAndCornersConnect) {
  cv::Mat img = floor();
  img(cv::Rect(100, 60, 10, 10)).setTo(cv::Scalar(255, 0, 0));
  img(cv::Rect(10, 10, 10, 10)).setTo(cv::Scalar(255, 0, 0));
  // Two squares meeting at one corner pixel: one 8-connected region.
  img(cv::Rect(40, 80, 10, 10)).setTo(cv::Scalar(255, 0, 0));
  img(cv::Rect(50, 90, 10, 10)).setTo(cv::Scalar(255, 0, 0));
  const auto objs = detect(img);
  ASSERT_EQ(objs.size(), 3U);
  EXPECT_EQ(objs[0].rect, cv::Rect_<float>(10, 10, 10, 10));
  EXPECT_EQ(objs[1].rect, cv::Rect_<float>(100, 60, 10, 10));
  EXPECT_EQ(objs[2].rect, cv::Rect_<float>(40, 80, 20, 20));
  EXPECT_EQ(cv::countNonZero(objs[2].mask), 200);
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

TEST_F(ColorKey, DeterministicAndStateless) {
  cv::Mat img = floor();
  img(cv::Rect(20, 30, 30, 30)).setTo(cv::Scalar(220, 30, 20));
  const auto a = detect(img);
  const auto none = detect(floor());
  const auto b = detect(img);
  EXPECT_TRUE(none.empty());
  ASSERT_EQ(a.size(), 1U);
  ASSERT_EQ(b.size(), 1U);
  EXPECT_EQ(a[0].rect, b[0].rect);
  EXPECT_EQ(cv::countNonZero(a[0].mask != b[0].mask), 0);
}

TEST_F(ColorKey, EmptyImageGivesNothing) {
  std::vector<SegObject> objs(2);
  EXPECT_EQ(model_->detect(cv::Mat(), objs), 0);
  EXPECT_TRUE(objs.empty());
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
  objs.resize(3);
  try {
    model.detect(img, objs);
    ADD_FAILURE() << "detect did not throw while the fault file exists";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("fail.now exists"), std::string::npos) << e.what();
  }
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

struct BadColorConfig {
  const char* name;
  std::string classes;  // YAML of one class entry
  std::string says;
};

class ColorKeyConfigError : public model_test::ScratchDir,
                            public ::testing::WithParamInterface<BadColorConfig> {};

TEST_P(ColorKeyConfigError, ConstructorNamesFileAndProblem) {
  const std::string cfg =
      write("ck.yaml", "backend: color_key\nnum_classes: 23\nclasses:\n" + GetParam().classes);
  try {
    YOLOv8Seg model(cfg);
    FAIL() << "constructed from " << GetParam().classes;
  } catch (const std::runtime_error& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find(cfg), std::string::npos) << what;
    EXPECT_NE(what.find(GetParam().says), std::string::npos) << what;
  }
}

#define CLASS_ENTRY(label, hmin, hmax, area, score)                                         \
  "  - label: " label "\n    hsv_min: " hmin "\n    hsv_max: " hmax "\n    min_area: " area \
  "\n    score: " score "\n"

INSTANTIATE_TEST_SUITE_P(
    Cases, ColorKeyConfigError,
    ::testing::Values(
        BadColorConfig{"label_beyond_class_count",
                       CLASS_ENTRY("23", "[0, 0, 0]", "[10, 255, 255]", "5", "0.9"),
                       "label 23 is outside 0..22"},
        BadColorConfig{"negative_label",
                       CLASS_ENTRY("-1", "[0, 0, 0]", "[10, 255, 255]", "5", "0.9"), "label -1"},
        BadColorConfig{"two_hsv_values", CLASS_ENTRY("0", "[0, 0]", "[10, 255, 255]", "5", "0.9"),
                       "hsv_min must have 3 values"},
        BadColorConfig{"hue_beyond_179",
                       CLASS_ENTRY("0", "[0, 0, 0]", "[180, 255, 255]", "5", "0.9"),
                       "hsv_max out of range"},
        BadColorConfig{"saturation_range_reversed",
                       CLASS_ENTRY("0", "[0, 200, 0]", "[10, 100, 255]", "5", "0.9"),
                       "saturation or value"},
        BadColorConfig{"zero_area", CLASS_ENTRY("0", "[0, 0, 0]", "[10, 255, 255]", "0", "0.9"),
                       "min_area must be at least 1"},
        BadColorConfig{"zero_score", CLASS_ENTRY("0", "[0, 0, 0]", "[10, 255, 255]", "5", "0"),
                       "score must be in (0, 1]"},
        BadColorConfig{"missing_score",
                       "  - label: 0\n    hsv_min: [0, 0, 0]\n"
                       "    hsv_max: [10, 255, 255]\n    min_area: 5\n",
                       "missing key 'score'"},
        BadColorConfig{"empty_list", "  []\n", "'classes' must be a non-empty list"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// The shipped configuration finds each of the documented example colours as
// its class, on a grey floor with some shading.
TEST(ShippedColorKeyConfig, FindsEveryDocumentedColour) {
  YOLOv8Seg model(std::string(MODEL_ZOO_CONFIG_DIR) + "/model_color_key.yaml");
  struct Piece {
    cv::Scalar rgb;
    int label;
  };
  const Piece pieces[] = {{{220, 40, 40}, 0},  {{40, 80, 220}, 4},   {{230, 200, 40}, 15},
                          {{40, 200, 60}, 16}, {{170, 50, 200}, 17}, {{40, 200, 200}, 21}};
  cv::Mat img(480, 640, CV_8UC3, cv::Scalar(128, 128, 128));
  for (int i = 0; i < 6; ++i) {
    cv::Mat piece = img(cv::Rect(20 + i * 100, 100 + i * 40, 60, 40));
    piece.setTo(pieces[i].rgb);
    piece.rowRange(20, 40) *= 0.6;  // the shaded side of the piece
  }
  std::vector<SegObject> objs;
  ASSERT_EQ(model.detect(img, objs), 6);
  std::vector<int> labels;
  for (const SegObject& o : objs) {
    labels.push_back(o.label);
    const int i = static_cast<int>((o.rect.x - 20) / 100);
    ASSERT_GE(i, 0);
    ASSERT_LT(i, 6);
    EXPECT_EQ(o.label, pieces[i].label);
    EXPECT_EQ(o.rect, cv::Rect_<float>(20 + i * 100, 100 + i * 40, 60, 40));
    EXPECT_EQ(cv::countNonZero(o.mask), 60 * 40);
  }
  EXPECT_EQ(labels, (std::vector<int>{0, 4, 15, 16, 17, 21}));
}

}  // namespace
