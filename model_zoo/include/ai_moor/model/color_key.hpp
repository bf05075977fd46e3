// The color_key model: deterministic colour segmentation. Each class is an
// HSV range; every connected region of at least min_area pixels in range is
// one detection with a fixed score.
#pragma once

#include "ai_moor/model/yolov8_seg.hpp"

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace ai_moor {
namespace model {

struct ColorKeyClass {
  int label{0};
  std::string name;
  // OpenCV 8-bit HSV: hue 0..179, saturation and value 0..255. A hue range
  // with hsv_min[0] > hsv_max[0] wraps through 0 (reds).
  cv::Vec3i hsv_min;
  cv::Vec3i hsv_max;
  int min_area{1};
  float score{1.0F};
};

// rgb: CV_8UC3 in RGB order. Detections come class by class in the given
// order, regions in raster order of their first pixel.
std::vector<SegObject> color_key_segment(const cv::Mat& rgb,
                                         const std::vector<ColorKeyClass>& classes);

}  // namespace model
}  // namespace ai_moor
