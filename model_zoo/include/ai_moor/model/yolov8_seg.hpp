// Instance segmentation model: constructed from a model configuration file,
// run on an RGB image, fills one SegObject per detection.
#pragma once

#include <opencv2/core.hpp>

#include <memory>
#include <string>
#include <vector>

namespace ai_moor {
namespace model {

struct SegObject {
  cv::Rect_<float> rect;  // x, y, width, height in image pixels
  int label{0};           // 0-based class index
  float prob{0.0F};
  cv::Mat mask;  // CV_8UC1, size of the input image, values 0 or 1
};

class YOLOv8Seg {
public:
  // Throws std::runtime_error naming the file and the problem when the
  // configuration or the model it names cannot be used.
  explicit YOLOv8Seg(const std::string& model_cfg_file);
  virtual ~YOLOv8Seg();
  YOLOv8Seg(const YOLOv8Seg&) = delete;
  YOLOv8Seg& operator=(const YOLOv8Seg&) = delete;

  // image: 8-bit, 3 channels, RGB order. Keeps no state between calls.
  // Returns the number of detections.
  virtual int detect(const cv::Mat& image, std::vector<SegObject>& objects);

  class Backend;

protected:
  YOLOv8Seg();  // for subclasses that bring their own detection (tests, tools)

private:
  std::unique_ptr<Backend> backend_;
};

}  // namespace model
}  // namespace ai_moor
