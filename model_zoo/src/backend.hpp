// What a model backend provides, and the helpers the backends share to read
// their part of the model configuration.
#pragma once

#include "ai_moor/model/yolov8_seg.hpp"

#include <yaml-cpp/yaml.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace ai_moor {
namespace model {

class YOLOv8Seg::Backend {
public:
  virtual ~Backend() = default;
  // rgb: non-empty CV_8UC3. Fills objects (cleared by the caller).
  virtual void detect(const cv::Mat& rgb, std::vector<SegObject>& objects) = 0;
};

namespace config {

// Every configuration error names the file, so the node's start-up error
// points at what to fix.
[[noreturn]] inline void fail(const std::string& file, const std::string& problem) {
  throw std::runtime_error("model configuration '" + file + "': " + problem);
}

template <typename T>
T required(const YAML::Node& node, const std::string& key, const std::string& file) {
  const YAML::Node value = node[key];
  if (!value) {
    fail(file, "missing key '" + key + "'");
  }
  try {
    return value.as<T>();
  } catch (const YAML::Exception& e) {
    fail(file, "key '" + key + "' has the wrong type: " + e.what());
  }
}

template <typename T>
T optional(const YAML::Node& node, const std::string& key, const T& fallback,
           const std::string& file) {
  if (!node[key]) {
    return fallback;
  }
  return required<T>(node, key, file);
}

// A relative path in the configuration is relative to the file's folder.
std::string resolve_path(const std::string& path, const std::string& config_file);

}  // namespace config

std::unique_ptr<YOLOv8Seg::Backend> make_onnx_backend(const YAML::Node& root,
                                                      const std::string& config_file);
std::unique_ptr<YOLOv8Seg::Backend> make_color_key_backend(const YAML::Node& root,
                                                           const std::string& config_file);

}  // namespace model
}  // namespace ai_moor
