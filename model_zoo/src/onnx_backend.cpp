#include "ai_moor/model/yolov8_postprocess.hpp"
#include "backend.hpp"

#include <opencv2/core/utility.hpp>
#include <opencv2/dnn.hpp>

#include <fstream>
#include <mutex>
#include <sstream>

namespace ai_moor {
namespace model {

namespace {

struct OnnxSettings {
  std::string model_file;
  cv::Size input;
  int num_classes{0};
  float score_threshold{0.25F};
  float iou_threshold{0.45F};
  float mask_threshold{0.5F};
  int max_detections{100};
  int threads{0};  // 0: leave OpenCV's choice
};

OnnxSettings load_settings(const YAML::Node& root, const std::string& file) {
  OnnxSettings s;
  s.model_file =
      config::resolve_path(config::required<std::string>(root, "model_file", file), file);
  s.input.width = config::required<int>(root, "input_width", file);
  s.input.height = config::required<int>(root, "input_height", file);
  s.num_classes = config::required<int>(root, "num_classes", file);
  s.score_threshold = config::optional<float>(root, "score_threshold", s.score_threshold, file);
  s.iou_threshold = config::optional<float>(root, "iou_threshold", s.iou_threshold, file);
  s.mask_threshold = config::optional<float>(root, "mask_threshold", s.mask_threshold, file);
  s.max_detections = config::optional<int>(root, "max_detections", s.max_detections, file);
  s.threads = config::optional<int>(root, "threads", s.threads, file);
  const int largest = post::kStrides.back();
  if (s.input.width < largest || s.input.height < largest || s.input.width % largest != 0 ||
      s.input.height % largest != 0) {
    config::fail(file, "input_width and input_height must be positive multiples of " +
                           std::to_string(largest));
  }
  if (s.num_classes < 1) {
    config::fail(file, "num_classes must be at least 1");
  }
  for (const auto& [key, value] : {std::pair{"score_threshold", s.score_threshold},
                                   std::pair{"iou_threshold", s.iou_threshold},
                                   std::pair{"mask_threshold", s.mask_threshold}}) {
    if (!(value >= 0.0F && value <= 1.0F)) {
      config::fail(file, std::string(key) + " must be within 0..1");
    }
  }
  if (s.max_detections < 1) {
    config::fail(file, "max_detections must be at least 1");
  }
  if (s.threads < 0) {
    config::fail(file, "threads must be 0 (OpenCV default) or more");
  }
  return s;
}

std::string shape_text(const cv::Mat& m) {
  std::ostringstream out;
  out << '[';
  for (int d = 0; d < m.dims; ++d) {
    out << (d ? ", " : "") << m.size[d];
  }
  out << ']';
  return out.str();
}

// OpenCV's messages span several lines; the first one says what failed.
std::string first_line(const std::string& text) {
  std::string out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.find_first_not_of(" \t>") != std::string::npos) {
      out += (out.empty() ? "" : " ") + line;
      if (out.size() > 200) {
        break;
      }
    }
  }
  return out;
}

// A [1, C, ...] blob seen as a 2-D [C, rest] float matrix (no copy).
cv::Mat as_rows(const cv::Mat& blob) {
  int rest = 1;
  for (int d = 2; d < blob.dims; ++d) {
    rest *= blob.size[d];
  }
  return cv::Mat(blob.size[1], rest, CV_32F, const_cast<float*>(blob.ptr<float>()));
}

// OpenCV's run-time assertions do not say which layer failed. The first layer
// whose partial forward pass fails is found by bisection over the layers in
// network order (a partial pass runs everything its target needs); empty
// when every layer passes on its own.
std::string failing_layer(cv::dnn::Net& net) {
  const std::vector<std::string> layers = net.getLayerNames();
  auto runs = [&net](const std::string& name) {
    try {
      net.forward(name);
      return true;
    } catch (const cv::Exception&) {
      return false;
    }
  };
  size_t lo = 0;
  size_t hi = layers.size();  // layers[hi] fails (hi == size: none known)
  if (hi == 0 || runs(layers.back())) {
    return {};
  }
  hi = layers.size() - 1;
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (runs(layers[mid])) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  const cv::Ptr<cv::dnn::Layer> layer = net.getLayer(layers[hi]);
  return "'" + layers[hi] + "' (" + (layer ? layer->type : std::string("?")) + ")";
}

enum class Form { kStock, kCutHead };

// Which output plays which part, found from their shapes.
struct OutputLayout {
  Form form{Form::kStock};
  int detections{-1};                     // stock: [1, 4 + classes + masks, anchors]
  int coefficients{-1};                   // cut: [1, masks, anchors]
  std::array<int, 3> levels{-1, -1, -1};  // cut: [1, 64 + classes, H/s, W/s]
  int protos{-1};                         // [1, masks, H/4, W/4]
  int num_classes{0};
  int num_masks{0};
};

bool is_shape(const cv::Mat& m, std::initializer_list<int> shape) {
  if (m.dims != static_cast<int>(shape.size())) {
    return false;
  }
  int d = 0;
  for (int v : shape) {
    if (v >= 0 && m.size[d] != v) {
      return false;
    }
    ++d;
  }
  return true;
}

// Returns false when the outputs fit neither form.
bool find_layout(const std::vector<cv::Mat>& outs, cv::Size input, OutputLayout& layout) {
  const int anchors = post::anchor_count(input);
  for (int i = 0; i < static_cast<int>(outs.size()); ++i) {
    if (is_shape(outs[i], {1, -1, input.height / 4, input.width / 4})) {
      layout.protos = i;
      layout.num_masks = outs[i].size[1];
    }
  }
  if (layout.protos < 0 || layout.num_masks < 1) {
    return false;
  }
  const int masks = layout.num_masks;
  if (outs.size() == 2) {
    const int det = 1 - layout.protos;
    if (!is_shape(outs[det], {1, -1, anchors}) || outs[det].size[1] <= 4 + masks) {
      return false;
    }
    layout.form = Form::kStock;
    layout.detections = det;
    layout.num_classes = outs[det].size[1] - 4 - masks;
    return true;
  }
  if (outs.size() != 5) {
    return false;
  }
  layout.form = Form::kCutHead;
  int level_channels = -1;
  for (int i = 0; i < 5; ++i) {
    if (i == layout.protos) {
      continue;
    }
    if (is_shape(outs[i], {1, masks, anchors})) {
      layout.coefficients = i;
      continue;
    }
    for (size_t l = 0; l < post::kStrides.size(); ++l) {
      const int s = post::kStrides[l];
      if (is_shape(outs[i], {1, -1, input.height / s, input.width / s}) && layout.levels[l] < 0) {
        if (level_channels >= 0 && outs[i].size[1] != level_channels) {
          return false;
        }
        level_channels = outs[i].size[1];
        layout.levels[l] = i;
        break;
      }
    }
  }
  if (layout.coefficients < 0 || level_channels <= 4 * post::kRegMax) {
    return false;
  }
  for (int idx : layout.levels) {
    if (idx < 0) {
      return false;
    }
  }
  layout.num_classes = level_channels - 4 * post::kRegMax;
  return true;
}

class OnnxBackend : public YOLOv8Seg::Backend {
public:
  OnnxBackend(OnnxSettings settings, const std::string& config_file)
      : settings_(std::move(settings)) {
    const std::string& path = settings_.model_file;
    if (!std::ifstream(path, std::ios::binary)) {
      config::fail(config_file, "cannot open model file '" + path + "'");
    }
    if (settings_.threads > 0) {
      // OpenCV's thread pool is process-wide.
      cv::setNumThreads(settings_.threads);
    }
    const std::string advice =
        ". A stock YOLOv8-seg export needs OpenCV 4.7 or newer; for OpenCV " CV_VERSION
        " prepare it with model_zoo/tools/cut_yolov8_head.py (rewrites Identity nodes, cuts the"
        " box-decoding head)";
    try {
      net_ = cv::dnn::readNetFromONNX(path);
    } catch (const cv::Exception& e) {
      config::fail(config_file, "model file '" + path + "' cannot be imported by OpenCV: " +
                                    first_line(e.what()) + advice);
    }
    if (net_.empty()) {
      config::fail(config_file, "model file '" + path + "' holds no network");
    }
    net_.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    net_.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
    names_ = net_.getUnconnectedOutLayersNames();

    // One run on a blank input tells the output form and checks the model
    // end to end before the first real frame.
    std::vector<cv::Mat> outs;
    try {
      cv::Mat blank(settings_.input, CV_8UC3, cv::Scalar::all(post::kPadValue));
      net_.setInput(cv::dnn::blobFromImage(blank, 1.0 / 255.0));
      net_.forward(outs, names_);
    } catch (const cv::Exception& e) {
      const std::string layer = failing_layer(net_);
      config::fail(config_file, "model file '" + path + "' fails to run on a " +
                                    std::to_string(settings_.input.width) + "x" +
                                    std::to_string(settings_.input.height) + " input" +
                                    (layer.empty() ? "" : " at node " + layer) + ": " +
                                    first_line(e.what()) + advice);
    }
    if (!find_layout(outs, settings_.input, layout_)) {
      std::string shapes;
      for (const cv::Mat& m : outs) {
        shapes += (shapes.empty() ? "" : ", ") + shape_text(m);
      }
      const int a = post::anchor_count(settings_.input);
      config::fail(config_file,
                   "model file '" + path + "' has outputs " + shapes +
                       " which fit neither the stock form ([1, 4+classes+masks, " +
                       std::to_string(a) + "] and [1, masks, H/4, W/4]) nor the cut-head form " +
                       "(three [1, 64+classes, H/s, W/s] for s = 8, 16, 32, [1, masks, " +
                       std::to_string(a) + "] and [1, masks, H/4, W/4]) for input " +
                       std::to_string(settings_.input.width) + "x" +
                       std::to_string(settings_.input.height));
    }
    if (layout_.num_classes != settings_.num_classes) {
      config::fail(config_file,
                   "model file '" + path + "' has " + std::to_string(layout_.num_classes) +
                       " classes, num_classes says " + std::to_string(settings_.num_classes));
    }
  }

  void detect(const cv::Mat& rgb, std::vector<SegObject>& objects) override {
    const post::Letterbox lb = post::make_letterbox(rgb.size(), settings_.input);
    const cv::Mat blob = cv::dnn::blobFromImage(post::letterbox_image(rgb, lb), 1.0 / 255.0);
    std::vector<cv::Mat> outs;
    {
      // cv::dnn::Net is not re-entrant.
      std::lock_guard<std::mutex> lock(net_mutex_);
      net_.setInput(blob);
      net_.forward(outs, names_);
    }

    std::vector<post::Candidate> candidates;
    cv::Mat coeffs;
    if (layout_.form == Form::kStock) {
      const cv::Mat det = as_rows(outs[static_cast<size_t>(layout_.detections)]);
      candidates = post::decode_stock(det, layout_.num_classes, settings_.score_threshold);
      coeffs = det.rowRange(4 + layout_.num_classes, 4 + layout_.num_classes + layout_.num_masks);
    } else {
      std::vector<post::Level> levels;
      for (size_t l = 0; l < post::kStrides.size(); ++l) {
        const cv::Mat& blob_l = outs[static_cast<size_t>(layout_.levels[l])];
        levels.push_back({as_rows(blob_l), blob_l.size[3], blob_l.size[2], post::kStrides[l]});
      }
      candidates = post::decode_levels(levels, layout_.num_classes, settings_.score_threshold);
      coeffs = as_rows(outs[static_cast<size_t>(layout_.coefficients)]);
    }
    const std::vector<post::Candidate> kept =
        post::nms(std::move(candidates), settings_.iou_threshold, settings_.max_detections);

    const cv::Mat& proto_blob = outs[static_cast<size_t>(layout_.protos)];
    const cv::Size proto_size(proto_blob.size[3], proto_blob.size[2]);
    const cv::Mat protos = as_rows(proto_blob);
    for (const post::Candidate& c : kept) {
      const cv::Rect2f box = post::to_image(c.box, lb);
      if (box.width <= 0.0F || box.height <= 0.0F) {
        continue;
      }
      SegObject obj;
      obj.rect = box;
      obj.label = c.label;
      obj.prob = c.score;
      obj.mask = post::instance_mask(coeffs, c.anchor, protos, proto_size, box, lb,
                                     settings_.mask_threshold);
      objects.push_back(std::move(obj));
    }
  }

private:
  const OnnxSettings settings_;
  cv::dnn::Net net_;
  std::vector<std::string> names_;
  OutputLayout layout_;
  std::mutex net_mutex_;
};

}  // namespace

std::unique_ptr<YOLOv8Seg::Backend> make_onnx_backend(const YAML::Node& root,
                                                      const std::string& config_file) {
  return std::make_unique<OnnxBackend>(load_settings(root, config_file), config_file);
}

}  // namespace model
}  // namespace ai_moor
