#include "ai_moor/model/yolov8_postprocess.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <limits>

namespace ai_moor {
namespace model {
namespace post {

namespace {

float sigmoid(float x) {
  return 1.0F / (1.0F + std::exp(-x));
}

bool finite_box(float a, float b, float c, float d) {
  return std::isfinite(a) && std::isfinite(b) && std::isfinite(c) && std::isfinite(d);
}

// Best class per column of rows [first, first + num_classes) of a
// [rows, cols] float matrix. Row-wise sweep so memory is read in order.
void best_class(const cv::Mat& m, int first, int num_classes, std::vector<float>& best,
                std::vector<int>& label) {
  const int cols = m.cols;
  best.assign(static_cast<size_t>(cols), -std::numeric_limits<float>::infinity());
  label.assign(static_cast<size_t>(cols), -1);
  for (int c = 0; c < num_classes; ++c) {
    const float* row = m.ptr<float>(first + c);
    for (int a = 0; a < cols; ++a) {
      // NaN compares false and is never chosen.
      if (row[a] > best[static_cast<size_t>(a)]) {
        best[static_cast<size_t>(a)] = row[a];
        label[static_cast<size_t>(a)] = c;
      }
    }
  }
}

}  // namespace

Letterbox make_letterbox(cv::Size image, cv::Size input) {
  Letterbox lb;
  lb.image = image;
  lb.input = input;
  if (image.width <= 0 || image.height <= 0 || input.width <= 0 || input.height <= 0) {
    lb.scale = 0.0F;
    return lb;
  }
  lb.scale = std::min(static_cast<float>(input.width) / static_cast<float>(image.width),
                      static_cast<float>(input.height) / static_cast<float>(image.height));
  lb.scaled.width =
      std::clamp(static_cast<int>(std::lround(image.width * lb.scale)), 1, input.width);
  lb.scaled.height =
      std::clamp(static_cast<int>(std::lround(image.height * lb.scale)), 1, input.height);
  lb.pad_left = (input.width - lb.scaled.width) / 2;
  lb.pad_top = (input.height - lb.scaled.height) / 2;
  return lb;
}

cv::Mat letterbox_image(const cv::Mat& image, const Letterbox& lb) {
  cv::Mat scaled;
  if (image.size() == lb.scaled) {
    scaled = image;
  } else {
    cv::resize(image, scaled, lb.scaled, 0.0, 0.0, cv::INTER_LINEAR);
  }
  cv::Mat out;
  cv::copyMakeBorder(scaled, out, lb.pad_top, lb.input.height - lb.scaled.height - lb.pad_top,
                     lb.pad_left, lb.input.width - lb.scaled.width - lb.pad_left,
                     cv::BORDER_CONSTANT, cv::Scalar::all(kPadValue));
  return out;
}

cv::Rect2f to_image(const cv::Rect2f& input_box, const Letterbox& lb) {
  if (lb.scale <= 0.0F) {
    return {};
  }
  const auto w = static_cast<float>(lb.image.width);
  const auto h = static_cast<float>(lb.image.height);
  const float x1 = std::clamp((input_box.x - lb.pad_left) / lb.scale, 0.0F, w);
  const float y1 = std::clamp((input_box.y - lb.pad_top) / lb.scale, 0.0F, h);
  const float x2 = std::clamp((input_box.x + input_box.width - lb.pad_left) / lb.scale, 0.0F, w);
  const float y2 = std::clamp((input_box.y + input_box.height - lb.pad_top) / lb.scale, 0.0F, h);
  return {x1, y1, std::max(0.0F, x2 - x1), std::max(0.0F, y2 - y1)};
}

int anchor_count(cv::Size input) {
  int n = 0;
  for (int s : kStrides) {
    n += (input.width / s) * (input.height / s);
  }
  return n;
}

std::vector<Candidate> decode_stock(const cv::Mat& det, int num_classes, float score_threshold) {
  std::vector<Candidate> out;
  // rows - 4 rather than 4 + num_classes: a huge class count must not overflow.
  if (det.empty() || det.type() != CV_32FC1 || num_classes < 1 || det.rows - 4 < num_classes) {
    return out;
  }
  std::vector<float> best;
  std::vector<int> label;
  best_class(det, 4, num_classes, best, label);
  const float* cx = det.ptr<float>(0);
  const float* cy = det.ptr<float>(1);
  const float* bw = det.ptr<float>(2);
  const float* bh = det.ptr<float>(3);
  for (int a = 0; a < det.cols; ++a) {
    const float score = best[static_cast<size_t>(a)];
    if (!(score > score_threshold)) {
      continue;
    }
    // The corner too: a centre and size near the float limit overflow it.
    const float x1 = cx[a] - 0.5F * bw[a];
    const float y1 = cy[a] - 0.5F * bh[a];
    if (!finite_box(x1, y1, bw[a], bh[a])) {
      continue;
    }
    out.push_back({cv::Rect2f(x1, y1, bw[a], bh[a]), label[static_cast<size_t>(a)], score, a});
  }
  return out;
}

float dfl_distance(const float* bins, size_t step) {
  float peak = -std::numeric_limits<float>::infinity();
  for (int b = 0; b < kRegMax; ++b) {
    peak = std::max(peak, bins[static_cast<size_t>(b) * step]);
  }
  float sum = 0.0F;
  float weighted = 0.0F;
  for (int b = 0; b < kRegMax; ++b) {
    const float e = std::exp(bins[static_cast<size_t>(b) * step] - peak);
    sum += e;
    weighted += e * static_cast<float>(b);
  }
  return weighted / sum;
}

std::vector<Candidate> decode_levels(const std::vector<Level>& levels, int num_classes,
                                     float score_threshold) {
  std::vector<Candidate> out;
  // Compare logits, not probabilities: one sigmoid per survivor.
  const float logit_threshold = score_threshold <= 0.0F ? -std::numeric_limits<float>::infinity()
                                : score_threshold >= 1.0F
                                    ? std::numeric_limits<float>::infinity()
                                    : std::log(score_threshold / (1.0F - score_threshold));
  constexpr int kBoxRows = 4 * kRegMax;
  std::vector<float> best;
  std::vector<int> label;
  int anchor_base = 0;
  for (const Level& lv : levels) {
    // A grid no tensor can hold (empty, negative, or past the anchor count's
    // range) numbers no anchors.
    const long long grid_cells = static_cast<long long>(lv.grid_w) * lv.grid_h;
    if (lv.grid_w < 1 || lv.grid_h < 1 ||
        grid_cells > std::numeric_limits<int>::max() - anchor_base) {
      continue;
    }
    const int cells = static_cast<int>(grid_cells);
    if (lv.data.type() != CV_32FC1 || num_classes < 0 || lv.data.rows - kBoxRows < num_classes ||
        lv.data.cols != cells || !lv.data.isContinuous()) {
      anchor_base += cells;
      continue;
    }
    best_class(lv.data, kBoxRows, num_classes, best, label);
    const float* base = lv.data.ptr<float>(0);
    const auto step = static_cast<size_t>(cells);
    const auto s = static_cast<float>(lv.stride);
    for (int cell = 0; cell < cells; ++cell) {
      const float logit = best[static_cast<size_t>(cell)];
      if (!(logit > logit_threshold)) {
        continue;
      }
      const int row = cell / lv.grid_w;  // grid row, integer on purpose
      const float ax = static_cast<float>(cell % lv.grid_w) + 0.5F;
      const float ay = static_cast<float>(row) + 0.5F;
      float d[4];
      for (int side = 0; side < 4; ++side) {
        d[side] = dfl_distance(base + static_cast<size_t>(side * kRegMax) * step + cell, step);
      }
      const float x1 = (ax - d[0]) * s;
      const float y1 = (ay - d[1]) * s;
      const float x2 = (ax + d[2]) * s;
      const float y2 = (ay + d[3]) * s;
      if (!finite_box(x1, y1, x2, y2)) {
        continue;
      }
      out.push_back({cv::Rect2f(x1, y1, x2 - x1, y2 - y1), label[static_cast<size_t>(cell)],
                     sigmoid(logit), anchor_base + cell});
    }
    anchor_base += cells;
  }
  return out;
}

float iou(const cv::Rect2f& a, const cv::Rect2f& b) {
  const float ix = std::max(0.0F, std::min(a.x + a.width, b.x + b.width) - std::max(a.x, b.x));
  const float iy = std::max(0.0F, std::min(a.y + a.height, b.y + b.height) - std::max(a.y, b.y));
  const float inter = ix * iy;
  const float uni = a.width * a.height + b.width * b.height - inter;
  return uni > 0.0F ? inter / uni : 0.0F;
}

std::vector<Candidate> nms(std::vector<Candidate> candidates, float iou_threshold,
                           int max_detections) {
  std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
    return a.score != b.score ? a.score > b.score : a.anchor < b.anchor;
  });
  std::vector<Candidate> kept;
  for (const Candidate& c : candidates) {
    if (static_cast<int>(kept.size()) >= max_detections) {
      break;
    }
    const bool suppressed = std::any_of(kept.begin(), kept.end(), [&](const Candidate& k) {
      return k.label == c.label && iou(k.box, c.box) > iou_threshold;
    });
    if (!suppressed) {
      kept.push_back(c);
    }
  }
  return kept;
}

cv::Mat mask_probabilities(const cv::Mat& coeffs, int anchor, const cv::Mat& protos,
                           cv::Size proto_size) {
  if (anchor < 0 || anchor >= coeffs.cols || coeffs.rows != protos.rows ||
      protos.cols != proto_size.area()) {
    return {};
  }
  cv::Mat c;
  coeffs.col(anchor).copyTo(c);     // masks x 1
  cv::Mat logits = c.t() * protos;  // 1 x (proto_h * proto_w)
  cv::Mat prob;
  cv::exp(-logits, prob);
  prob = 1.0 / (1.0 + prob);
  return prob.reshape(1, proto_size.height);
}

namespace {

// Image pixels whose centre lies inside a box: columns [c0, c1), rows [r0, r1).
struct PixelSpan {
  int c0{0}, r0{0}, c1{0}, r1{0};
  bool empty() const { return c1 <= c0 || r1 <= r0; }
};

PixelSpan pixel_span(const cv::Rect2f& box, cv::Size image) {
  if (!finite_box(box.x, box.y, box.width, box.height)) {
    return {};
  }
  // Clamp before converting: huge boxes must not overflow int.
  auto edge = [](float v, int limit) {
    return static_cast<int>(std::clamp(std::ceil(v - 0.5F), 0.0F, static_cast<float>(limit)));
  };
  return {edge(box.x, image.width), edge(box.y, image.height), edge(box.x + box.width, image.width),
          edge(box.y + box.height, image.height)};
}

// Prototype coordinate sampled for image column/row u: pixel centre -> input
// pixel -> prototype cell.
double proto_coord(int u, double scale, int pad, double to_proto) {
  return ((u + 0.5) * scale + pad) * to_proto - 0.5;
}

// Samples prototype probabilities (a window whose top-left cell is `origin`)
// at the pixels of `span`, thresholds them and writes 0/1 into mask.
void sample_mask(const cv::Mat& prob, cv::Point origin, cv::Size proto_size, const PixelSpan& span,
                 const Letterbox& lb, float threshold, cv::Mat& mask) {
  const double sx = static_cast<double>(proto_size.width) / lb.input.width;
  const double sy = static_cast<double>(proto_size.height) / lb.input.height;
  const cv::Matx23d to_window(
      lb.scale * sx, 0.0, proto_coord(span.c0, lb.scale, lb.pad_left, sx) - origin.x, 0.0,
      lb.scale * sy, proto_coord(span.r0, lb.scale, lb.pad_top, sy) - origin.y);
  cv::Mat roi_prob;
  cv::warpAffine(prob, roi_prob, to_window, cv::Size(span.c1 - span.c0, span.r1 - span.r0),
                 cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_REPLICATE);
  cv::Mat roi_mask = roi_prob > threshold;  // 255 / 0
  cv::Mat dst = mask(cv::Rect(span.c0, span.r0, span.c1 - span.c0, span.r1 - span.r0));
  roi_mask.convertTo(dst, CV_8U, 1.0 / 255.0);
}

bool usable(const Letterbox& lb) {
  return lb.scale > 0.0F && lb.input.width > 0 && lb.input.height > 0 && lb.image.width > 0 &&
         lb.image.height > 0;
}

}  // namespace

cv::Mat instance_mask(const cv::Mat& proto_prob, const cv::Rect2f& image_box, const Letterbox& lb,
                      float threshold) {
  cv::Mat mask = cv::Mat::zeros(lb.image, CV_8UC1);
  const PixelSpan span = pixel_span(image_box, lb.image);
  if (proto_prob.empty() || proto_prob.type() != CV_32FC1 || !usable(lb) || span.empty()) {
    return mask;
  }
  sample_mask(proto_prob, {0, 0}, proto_prob.size(), span, lb, threshold, mask);
  return mask;
}

cv::Mat instance_mask(const cv::Mat& coeffs, int anchor, const cv::Mat& protos, cv::Size proto_size,
                      const cv::Rect2f& image_box, const Letterbox& lb, float threshold) {
  cv::Mat mask = cv::Mat::zeros(lb.image, CV_8UC1);
  const PixelSpan span = pixel_span(image_box, lb.image);
  if (anchor < 0 || anchor >= coeffs.cols || coeffs.rows != protos.rows ||
      protos.cols != proto_size.area() || coeffs.type() != CV_32FC1 || protos.type() != CV_32FC1 ||
      !usable(lb) || span.empty()) {
    return mask;
  }
  // Only the prototype cells that bilinear sampling of the span touches; at
  // the map's border the window is clamped, as replication would be.
  const double sx = static_cast<double>(proto_size.width) / lb.input.width;
  const double sy = static_cast<double>(proto_size.height) / lb.input.height;
  auto cell = [](double v, int n) { return std::clamp(static_cast<int>(std::floor(v)), 0, n - 1); };
  const int x0 = cell(proto_coord(span.c0, lb.scale, lb.pad_left, sx), proto_size.width);
  const int x1 = cell(proto_coord(span.c1 - 1, lb.scale, lb.pad_left, sx) + 1.0, proto_size.width);
  const int y0 = cell(proto_coord(span.r0, lb.scale, lb.pad_top, sy), proto_size.height);
  const int y1 = cell(proto_coord(span.r1 - 1, lb.scale, lb.pad_top, sy) + 1.0, proto_size.height);
  const cv::Rect window(x0, y0, x1 - x0 + 1, y1 - y0 + 1);

  cv::Mat logits(window.size(), CV_32F, cv::Scalar(0));
  for (int m = 0; m < protos.rows; ++m) {
    const float c = coeffs.at<float>(m, anchor);
    const cv::Mat plane(proto_size, CV_32F, const_cast<float*>(protos.ptr<float>(m)));
    cv::scaleAdd(plane(window), c, logits, logits);
  }
  cv::Mat prob;
  cv::exp(-logits, prob);
  prob = 1.0 / (1.0 + prob);
  sample_mask(prob, window.tl(), proto_size, span, lb, threshold, mask);
  return mask;
}

}  // namespace post
}  // namespace model
}  // namespace ai_moor
