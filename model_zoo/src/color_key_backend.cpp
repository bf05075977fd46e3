#include "ai_moor/model/color_key.hpp"
#include "backend.hpp"

#include <opencv2/imgproc.hpp>

#include <filesystem>
#include <stdexcept>

namespace ai_moor {
namespace model {

std::vector<SegObject> color_key_segment(const cv::Mat& rgb,
                                         const std::vector<ColorKeyClass>& classes) {
  std::vector<SegObject> out;
  if (rgb.empty() || rgb.type() != CV_8UC3) {
    return out;
  }
  cv::Mat hsv;
  cv::cvtColor(rgb, hsv, cv::COLOR_RGB2HSV);
  cv::Mat in_range;
  cv::Mat labels;
  cv::Mat stats;
  cv::Mat centroids;
  for (const ColorKeyClass& cls : classes) {
    const cv::Vec3i& lo = cls.hsv_min;
    const cv::Vec3i& hi = cls.hsv_max;
    if (lo[0] <= hi[0]) {
      cv::inRange(hsv, cv::Scalar(lo[0], lo[1], lo[2]), cv::Scalar(hi[0], hi[1], hi[2]), in_range);
    } else {
      cv::Mat upper;
      cv::inRange(hsv, cv::Scalar(lo[0], lo[1], lo[2]), cv::Scalar(179, hi[1], hi[2]), in_range);
      cv::inRange(hsv, cv::Scalar(0, lo[1], lo[2]), cv::Scalar(hi[0], hi[1], hi[2]), upper);
      in_range |= upper;
    }
    const int n = cv::connectedComponentsWithStats(in_range, labels, stats, centroids, 8, CV_32S);
    for (int i = 1; i < n; ++i) {
      if (stats.at<int>(i, cv::CC_STAT_AREA) < cls.min_area) {
        continue;
      }
      SegObject obj;
      obj.rect = cv::Rect_<float>(static_cast<float>(stats.at<int>(i, cv::CC_STAT_LEFT)),
                                  static_cast<float>(stats.at<int>(i, cv::CC_STAT_TOP)),
                                  static_cast<float>(stats.at<int>(i, cv::CC_STAT_WIDTH)),
                                  static_cast<float>(stats.at<int>(i, cv::CC_STAT_HEIGHT)));
      obj.label = cls.label;
      obj.prob = cls.score;
      obj.mask = (labels == i) / 255;
      out.push_back(std::move(obj));
    }
  }
  return out;
}

namespace {

cv::Vec3i hsv_triple(const YAML::Node& node, const std::string& key, const std::string& where,
                     const std::string& file) {
  const auto v = config::required<std::vector<int>>(node, key, file);
  if (v.size() != 3) {
    config::fail(file, where + key + " must have 3 values (h, s, v)");
  }
  if (v[0] < 0 || v[0] > 179 || v[1] < 0 || v[1] > 255 || v[2] < 0 || v[2] > 255) {
    config::fail(file, where + key + " out of range (h 0..179, s and v 0..255)");
  }
  return {v[0], v[1], v[2]};
}

class ColorKeyBackend : public YOLOv8Seg::Backend {
public:
  ColorKeyBackend(std::vector<ColorKeyClass> classes, std::string fault_file)
      : classes_(std::move(classes)), fault_file_(std::move(fault_file)) {}

  void detect(const cv::Mat& rgb, std::vector<SegObject>& objects) override {
    // Test aid: lets an end-to-end test make a running model fail, the way a
    // real network can (lost device, out of memory), without touching the node.
    std::error_code ec;
    if (!fault_file_.empty() && std::filesystem::exists(fault_file_, ec)) {
      throw std::runtime_error("color_key test fault: " + fault_file_ + " exists");
    }
    objects = color_key_segment(rgb, classes_);
  }

private:
  const std::vector<ColorKeyClass> classes_;
  const std::string fault_file_;
};

}  // namespace

std::unique_ptr<YOLOv8Seg::Backend> make_color_key_backend(const YAML::Node& root,
                                                           const std::string& file) {
  const int num_classes = config::required<int>(root, "num_classes", file);
  if (num_classes < 1) {
    config::fail(file, "num_classes must be at least 1");
  }
  const YAML::Node list = root["classes"];
  if (!list || !list.IsSequence() || list.size() == 0) {
    config::fail(file, "'classes' must be a non-empty list");
  }
  std::vector<ColorKeyClass> classes;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const YAML::Node node = list[i];
    const std::string where = "classes[" + std::to_string(i) + "].";
    if (!node.IsMap()) {
      config::fail(file, where + " is not a mapping");
    }
    ColorKeyClass cls;
    cls.label = config::required<int>(node, "label", file);
    if (cls.label < 0 || cls.label >= num_classes) {
      config::fail(file, where + "label " + std::to_string(cls.label) + " is outside 0.." +
                             std::to_string(num_classes - 1) + " (num_classes " +
                             std::to_string(num_classes) + ")");
    }
    cls.name = config::optional<std::string>(node, "name", "", file);
    cls.hsv_min = hsv_triple(node, "hsv_min", where, file);
    cls.hsv_max = hsv_triple(node, "hsv_max", where, file);
    if (cls.hsv_min[1] > cls.hsv_max[1] || cls.hsv_min[2] > cls.hsv_max[2]) {
      config::fail(file, where + "hsv_min exceeds hsv_max in saturation or value");
    }
    cls.min_area = config::required<int>(node, "min_area", file);
    if (cls.min_area < 1) {
      config::fail(file, where + "min_area must be at least 1");
    }
    cls.score = config::required<float>(node, "score", file);
    if (!(cls.score > 0.0F && cls.score <= 1.0F)) {
      config::fail(file, where + "score must be in (0, 1]");
    }
    classes.push_back(std::move(cls));
  }
  std::string fault_file = config::optional<std::string>(root, "test_fault_file", "", file);
  if (!fault_file.empty()) {
    fault_file = config::resolve_path(fault_file, file);
  }
  return std::make_unique<ColorKeyBackend>(std::move(classes), fault_file);
}

}  // namespace model
}  // namespace ai_moor
