#include "ai_moor/model/yolov8_seg.hpp"

#include "backend.hpp"
#include "moorwick_arm_trash_detect/logging/logger.hpp"

#include <opencv2/imgproc.hpp>

#include <fstream>

namespace ai_moor {
namespace model {

std::string config::resolve_path(const std::string& path, const std::string& config_file) {
  if (path.empty() || path.front() == '/') {
    return path;
  }
  const auto slash = config_file.find_last_of('/');
  return slash == std::string::npos ? path : config_file.substr(0, slash + 1) + path;
}

YOLOv8Seg::YOLOv8Seg(const std::string& model_cfg_file) {
  std::ifstream probe(model_cfg_file);
  if (!probe) {
    config::fail(model_cfg_file, "cannot open the file");
  }
  YAML::Node root;
  try {
    root = YAML::LoadFile(model_cfg_file);
  } catch (const YAML::Exception& e) {
    config::fail(model_cfg_file, std::string("not valid YAML: ") + e.what());
  }
  if (!root.IsMap()) {
    config::fail(model_cfg_file, "the top level must be a mapping");
  }
  const auto backend = config::required<std::string>(root, "backend", model_cfg_file);
  if (backend == "onnx") {
    backend_ = make_onnx_backend(root, model_cfg_file);
  } else if (backend == "color_key") {
    backend_ = make_color_key_backend(root, model_cfg_file);
  } else {
    config::fail(model_cfg_file,
                 "unknown backend '" + backend + "' (expected 'onnx' or 'color_key')");
  }
}

YOLOv8Seg::YOLOv8Seg() = default;

YOLOv8Seg::~YOLOv8Seg() = default;

int YOLOv8Seg::detect(const cv::Mat& image, std::vector<SegObject>& objects) {
  objects.clear();
  if (image.empty() || !backend_) {
    return 0;
  }
  cv::Mat rgb;
  switch (image.type()) {
    case CV_8UC3:
      rgb = image;
      break;
    case CV_8UC1:
      cv::cvtColor(image, rgb, cv::COLOR_GRAY2RGB);
      break;
    case CV_8UC4:
      cv::cvtColor(image, rgb, cv::COLOR_RGBA2RGB);
      break;
    default:
      LOG_WARN("model detect: unsupported image type {} ({}x{}), expected 8-bit RGB; no detections",
               cv::typeToString(image.type()), image.cols, image.rows);
      return 0;
  }
  try {
    backend_->detect(rgb, objects);
  } catch (const cv::Exception& e) {
    LOG_ERROR("model detect: OpenCV failed on a {}x{} image: {}", image.cols, image.rows, e.what());
    objects.clear();
  }
  return static_cast<int>(objects.size());
}

}  // namespace model
}  // namespace ai_moor
