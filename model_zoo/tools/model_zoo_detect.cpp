// Runs a model configuration on image files and writes what the node would
// get, in the format of the PyTorch references (see
// model_zoo/tools/torch_reference.py): OUT_DIR/<image stem>.txt with one line
// "label score x y width height" per detection, and the masks as
// OUT_DIR/<image stem>_<k>.png (0/255). Used to compare the node's backend
// with PyTorch on exports too large to commit.
//
//   model_zoo_detect MODEL_CONFIG OUT_DIR IMAGE...
#include "ai_moor/model/yolov8_seg.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>

int main(int argc, char** argv) {
  if (argc < 4) {
    std::cerr << "usage: model_zoo_detect MODEL_CONFIG OUT_DIR IMAGE...\n";
    return 2;
  }
  try {
    ai_moor::model::YOLOv8Seg model(argv[1]);
    const std::filesystem::path out_dir(argv[2]);
    std::filesystem::create_directories(out_dir);
    for (int i = 3; i < argc; ++i) {
      const cv::Mat bgr = cv::imread(argv[i], cv::IMREAD_COLOR);
      if (bgr.empty()) {
        std::cerr << "model_zoo_detect: cannot read image '" << argv[i] << "'\n";
        return 1;
      }
      cv::Mat rgb;
      cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
      std::vector<ai_moor::model::SegObject> objects;
      model.detect(rgb, objects);
      const std::string stem = std::filesystem::path(argv[i]).stem().string();
      std::ofstream txt(out_dir / (stem + ".txt"));
      for (size_t k = 0; k < objects.size(); ++k) {
        const auto& o = objects[k];
        char line[160];
        std::snprintf(line, sizeof line, "%d %.7f %.4f %.4f %.4f %.4f\n", o.label, o.prob, o.rect.x,
                      o.rect.y, o.rect.width, o.rect.height);
        txt << line;
        cv::imwrite((out_dir / (stem + "_" + std::to_string(k) + ".png")).string(), o.mask * 255);
      }
      std::cout << stem << ": " << objects.size() << " detections\n";
    }
  } catch (const std::exception& e) {
    std::cerr << "model_zoo_detect: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
