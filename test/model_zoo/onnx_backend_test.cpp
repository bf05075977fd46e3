// The onnx backend end to end through OpenCV DNN on the tiny committed models
// (see make_tiny_yolov8_seg.py for how their answers are worked out), and its
// configuration errors.
#include "ai_moor/model/yolov8_seg.hpp"
#include "model_test_support.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <opencv2/core/version.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <thread>

using ai_moor::model::SegObject;
using ai_moor::model::YOLOv8Seg;
using ::testing::AllOf;
using ::testing::HasSubstr;

namespace {

const cv::Scalar kFloor(60, 60, 60);
const cv::Scalar kRed(255, 0, 0);
const cv::Scalar kGreen(0, 255, 0);

std::string cut_model() {
  return model_test::data_dir() + "/tiny_yolov8_seg_cut.onnx";
}
std::string stock_model() {
  return model_test::data_dir() + "/tiny_yolov8_seg_stock.onnx";
}

std::string onnx_config(const std::string& model, const std::string& extra = "",
                        const std::string& classes = "num_classes: 2\n") {
  return "backend: onnx\nmodel_file: " + model + "\ninput_width: 64\ninput_height: 64\n" + classes +
         extra;
}

// 128x96 goes into the 64x64 input at scale 0.5 below 8 rows of padding.
// Red on the 8-grid cell (row 3, col 3) = input (24..32, 24..32) = image
// x 48..64, y (24 - 8) * 2 = 32..48. Green on the 16-grid cell (row 2,
// col 3) = input (48..64, 32..48) = image x 96..128, y 48..80.
cv::Mat scene() {
  cv::Mat img(96, 128, CV_8UC3, kFloor);
  img(cv::Rect(48, 32, 16, 16)).setTo(kRed);
  img(cv::Rect(96, 48, 32, 32)).setTo(kGreen);
  return img;
}

std::vector<SegObject> by_label(std::vector<SegObject> objs) {
  std::sort(objs.begin(), objs.end(),
            [](const SegObject& a, const SegObject& b) { return a.label < b.label; });
  return objs;
}

class OnnxModel : public model_test::ScratchDir {
protected:
  std::unique_ptr<YOLOv8Seg> load(const std::string& extra = "") {
    return std::make_unique<YOLOv8Seg>(write("model.yaml", onnx_config(cut_model(), extra)));
  }
};

TEST_F(OnnxModel, CutHeadFindsBothPiecesWithBoxesAndMasks) {
  std::vector<SegObject> objs;
  EXPECT_EQ(load()->detect(scene(), objs), 2);
  objs = by_label(objs);
  ASSERT_EQ(objs.size(), 2U);
  // Masks fill their box but for the corners: prototypes are bilinear at 8
  // image pixels per cell, so the first pixels from an edge sample 0.5625,
  // 0.6875, 0.8125, 0.9375; at a corner two weights multiply and 6 products
  // fall below 0.5. At the image border (green's right side) prototypes are
  // replicated and those corners keep all.
  const struct {
    cv::Rect box;
    int pixels;
  } want[] = {{{48, 32, 16, 16}, 256 - 4 * 6}, {{96, 48, 32, 32}, 1024 - 2 * 6}};
  for (int label = 0; label < 2; ++label) {
    const SegObject& o = objs[static_cast<size_t>(label)];
    EXPECT_EQ(o.label, label);
    EXPECT_GT(o.prob, 0.999F);  // logit 30 - 10 = 20 on a pure cell
    model_test::expect_rect_near(o.rect, want[label].box);
    ASSERT_EQ(o.mask.size(), cv::Size(128, 96));
    EXPECT_EQ(cv::countNonZero(o.mask), want[label].pixels);
    EXPECT_EQ(cv::countNonZero(o.mask(want[label].box) == 1), want[label].pixels);
  }
}

TEST_F(OnnxModel, ImageTypesAndEmptyInput) {
  auto model = load();
  std::vector<SegObject> objs(3);  // stale content is replaced
  EXPECT_EQ(model->detect(cv::Mat(), objs), 0);
  EXPECT_TRUE(objs.empty());

  cv::Mat rgba;
  cv::cvtColor(scene(), rgba, cv::COLOR_RGB2RGBA);
  EXPECT_EQ(model->detect(rgba, objs), 2);

  // Grey has no red or green: nothing, but no failure.
  EXPECT_EQ(model->detect(cv::Mat(96, 128, CV_8UC1, cv::Scalar(200)), objs), 0);

  cv::Mat deep;
  scene().convertTo(deep, CV_16UC3, 257.0);
  objs.resize(2);
  EXPECT_EQ(model->detect(deep, objs), 0);
  EXPECT_TRUE(objs.empty());
}

TEST_F(OnnxModel, RelativeModelPathIsBesideTheConfiguration) {
  std::filesystem::copy_file(cut_model(), dir_ / "tiny.onnx");
  YOLOv8Seg model(write("model.yaml", onnx_config("tiny.onnx")));
  std::vector<SegObject> objs;
  EXPECT_EQ(model.detect(scene(), objs), 2);
}

TEST_F(OnnxModel, StockExportNeedsNewerOpenCv) {
  const std::string cfg = write("stock.yaml", onnx_config(stock_model()));
#if CV_VERSION_MAJOR == 4 && CV_VERSION_MINOR < 7
  const std::string what = model_test::construction_error(cfg);
  EXPECT_THAT(what,
              AllOf(HasSubstr(cfg), HasSubstr(stock_model()), HasSubstr("cut_yolov8_head.py")));
#else
  // Newer OpenCV runs the stock form: the same answer as the cut head.
  YOLOv8Seg stock(cfg);
  std::vector<SegObject> objs;
  stock.detect(scene(), objs);
  objs = by_label(objs);
  ASSERT_EQ(objs.size(), 2U);
  model_test::expect_rect_near(objs[0].rect, {48, 32, 16, 16});
  model_test::expect_rect_near(objs[1].rect, {96, 48, 32, 32});
#endif
}

// --- configuration errors ---------------------------------------------------

struct BadConfig {
  const char* name;
  std::string text;               // {cut}, {unrelated} and {missing} are replaced by paths
  std::vector<std::string> says;  // fragments the message must contain
};

class OnnxConfigError : public model_test::ScratchDir,
                        public ::testing::WithParamInterface<BadConfig> {};

std::string fill(std::string text, const std::string& dir) {
  const std::pair<std::string, std::string> keys[] = {
      {"{cut}", cut_model()},
      {"{unrelated}", model_test::data_dir() + "/tiny_unrelated.onnx"},
      {"{missing}", dir + "/no_such_model.onnx"},
      {"{garbage}", dir + "/garbage.onnx"}};
  for (const auto& [key, value] : keys) {
    for (auto pos = text.find(key); pos != std::string::npos; pos = text.find(key)) {
      text.replace(pos, key.size(), value);
    }
  }
  return text;
}

TEST_P(OnnxConfigError, ConstructorNamesFileAndProblem) {
  write("garbage.onnx", "this is not a protobuf");
  const std::string cfg = write("model.yaml", fill(GetParam().text, dir_str()));
  const std::string what = model_test::construction_error(cfg);
  EXPECT_THAT(what, HasSubstr(cfg));
  for (const std::string& part : GetParam().says) {
    EXPECT_THAT(what, HasSubstr(fill(part, dir_str())));
  }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, OnnxConfigError,
    ::testing::Values(
        BadConfig{"missing_model_file", onnx_config("{missing}"), {"cannot open model file", "{missing}"}},
        BadConfig{"not_onnx", onnx_config("{garbage}"), {"cannot be imported", "{garbage}"}},
        BadConfig{"class_count_mismatch", onnx_config("{cut}", "", "num_classes: 3\n"),
                  {"has 2 classes", "num_classes says 3"}},
        BadConfig{"outputs_fit_neither_form", onnx_config("{unrelated}"),
                  {"fit neither", "[1, 3, 16, 16]", "{unrelated}"}},
        BadConfig{"input_not_multiple_of_32",
                  "backend: onnx\nmodel_file: {cut}\ninput_width: 50\ninput_height: 64\nnum_classes: 2\n",
                  {"multiples of 32"}},
        BadConfig{"threshold_out_of_range", onnx_config("{cut}", "iou_threshold: 1.5\n"), {"iou_threshold"}},
        BadConfig{"no_detections_allowed", onnx_config("{cut}", "max_detections: 0\n"), {"max_detections"}},
        BadConfig{"missing_class_count", onnx_config("{cut}", "", ""), {"missing key 'num_classes'"}},
        BadConfig{"unknown_backend", "backend: tensorrt\n", {"unknown backend 'tensorrt'"}},
        BadConfig{"top_level_list", "- backend\n- onnx\n", {"mapping"}},
        BadConfig{"broken_yaml", "backend: [onnx\n", {"not valid YAML"}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST(OnnxConfigFile, MissingOrShippedFileIsNamed) {
  const std::string missing = "/nonexistent/moorwick/model.yaml";
  EXPECT_THAT(model_test::construction_error(missing),
              AllOf(HasSubstr(missing), HasSubstr("cannot open")));
  // The shipped configuration is complete; only the robot's model file is
  // absent here, and the error says where it is expected.
  EXPECT_THAT(
      model_test::construction_error(std::string(MODEL_ZOO_CONFIG_DIR) + "/model_onnx.yaml"),
      HasSubstr("cannot open model file '/opt/moorwick/models/trash_yolov8_seg_cut.onnx'"));
}

// Two camera callbacks may share a model: concurrent calls give each caller
// the full, correct answer.
TEST_F(OnnxModel, ConcurrentCallsEachGetTheWholeAnswer) {
  auto model = load();
  const cv::Mat img = scene();
  std::atomic<int> good{0};
  auto near = [](const cv::Rect_<float>& a, const cv::Rect_<float>& b) {
    return cv::norm(a.tl() - b.tl()) + cv::norm(a.br() - b.br()) < 1e-2;
  };
  auto worker = [&] {
    for (int i = 0; i < 20; ++i) {
      std::vector<SegObject> objs;
      model->detect(img, objs);
      objs = by_label(objs);
      good += objs.size() == 2 && near(objs[0].rect, {48, 32, 16, 16}) &&
              near(objs[1].rect, {96, 48, 32, 32});
    }
  };
  std::thread a(worker);
  std::thread b(worker);
  a.join();
  b.join();
  EXPECT_EQ(good.load(), 40);
}

}  // namespace
