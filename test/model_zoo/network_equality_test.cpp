// The demo network (a PyTorch YOLOv8-seg export prepared by
// cut_yolov8_head.py) through the onnx backend on OpenCV DNN gives what
// PyTorch's own forward pass gave on the same rendered scenes: the same
// detections and classes, boxes within 0.5 px, scores within 1e-4, masks
// with IoU >= 0.99. References: net_reference/, written by
// make_net_reference.py from the trained weights.
#include "ai_moor/model/yolov8_seg.hpp"
#include "model_test_support.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <fstream>
#include <sstream>

using ai_moor::model::SegObject;
using ai_moor::model::YOLOv8Seg;

namespace {

std::string reference_dir() {
  return model_test::data_dir() + "/net_reference";
}

std::vector<SegObject> read_reference(const std::string& stem) {
  std::vector<SegObject> out;
  std::ifstream in(reference_dir() + "/" + stem + ".txt");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    SegObject o;
    fields >> o.label >> o.prob >> o.rect.x >> o.rect.y >> o.rect.width >> o.rect.height;
    const std::string mask_file =
        reference_dir() + "/" + stem + "_" + std::to_string(out.size()) + ".png";
    o.mask = cv::imread(mask_file, cv::IMREAD_GRAYSCALE) / 255;
    out.push_back(o);
  }
  return out;
}

float box_deviation(const SegObject& a, const SegObject& b) {
  return std::max({std::abs(a.rect.x - b.rect.x), std::abs(a.rect.y - b.rect.y),
                   std::abs(a.rect.width - b.rect.width), std::abs(a.rect.height - b.rect.height)});
}

double mask_iou(const cv::Mat& a, const cv::Mat& b) {
  const int uni = cv::countNonZero(a | b);
  return uni == 0 ? 1.0 : static_cast<double>(cv::countNonZero(a & b)) / uni;
}

class NetworkEquality : public model_test::ScratchDir,
                        public ::testing::WithParamInterface<const char*> {};

TEST_P(NetworkEquality, NodeBackendMatchesPyTorch) {
  const std::string stem = GetParam();
  const cv::Mat bgr = cv::imread(reference_dir() + "/" + stem + ".jpg", cv::IMREAD_COLOR);
  ASSERT_FALSE(bgr.empty()) << stem;
  const std::vector<SegObject> want = read_reference(stem);
  ASSERT_FALSE(want.empty()) << "reference of " << stem << " holds no detection";

  const std::string cfg =
      write("model.yaml", "backend: onnx\nmodel_file: " + std::string(MODEL_ZOO_DEMO_ONNX) +
                              "\ninput_width: 320\ninput_height: 192\n"
                              "num_classes: 23\nscore_threshold: 0.1\n");
  YOLOv8Seg model(cfg);
  cv::Mat rgb;
  cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
  std::vector<SegObject> got;
  model.detect(rgb, got);
  ASSERT_EQ(got.size(), want.size());

  // Pair each reference detection with the node's of the same class and
  // nearest box; every one must find its partner.
  std::vector<bool> used(got.size(), false);
  for (const SegObject& w : want) {
    int best = -1;
    for (size_t j = 0; j < got.size(); ++j) {
      if (!used[j] && got[j].label == w.label &&
          (best < 0 ||
           box_deviation(got[j], w) < box_deviation(got[static_cast<size_t>(best)], w))) {
        best = static_cast<int>(j);
      }
    }
    ASSERT_GE(best, 0) << "no detection of class " << w.label;
    const SegObject& g = got[static_cast<size_t>(best)];
    used[static_cast<size_t>(best)] = true;
    EXPECT_LE(box_deviation(g, w), 0.5F) << "class " << w.label;
    EXPECT_NEAR(g.prob, w.prob, 1e-4) << "class " << w.label;
    EXPECT_GE(mask_iou(g.mask, w.mask), 0.99) << "class " << w.label;
  }
}

INSTANTIATE_TEST_SUITE_P(RenderedScenes, NetworkEquality,
                         ::testing::Values("scene1401", "scene1402", "scene1403"));

}  // namespace
