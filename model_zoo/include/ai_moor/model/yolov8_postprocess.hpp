// YOLOv8-seg pre- and post-processing as pure functions: letterbox geometry,
// decoding of both output forms, class-aware NMS and instance masks. The onnx
// backend strings them together; tests and benchmarks call them directly.
#pragma once

#include <opencv2/core.hpp>

#include <array>
#include <vector>

namespace ai_moor {
namespace model {
namespace post {

// Bins of the distribution-focal-loss box head (YOLOv8: 16 per box side).
constexpr int kRegMax = 16;
constexpr std::array<int, 3> kStrides{8, 16, 32};
// Grey of the letterbox padding, as in training.
constexpr int kPadValue = 114;

// Where an image sits inside the network input: scaled by `scale`, centred,
// the rest padded.
struct Letterbox {
  cv::Size image;
  cv::Size input;
  cv::Size scaled;
  float scale{1.0F};
  int pad_left{0};
  int pad_top{0};
};

Letterbox make_letterbox(cv::Size image, cv::Size input);

// An 8-bit, 3-channel image placed into the network input.
cv::Mat letterbox_image(const cv::Mat& image, const Letterbox& lb);

// A box in network-input pixels mapped to image pixels, clipped to the image.
cv::Rect2f to_image(const cv::Rect2f& input_box, const Letterbox& lb);

// Number of anchors (grid cells over strides 8, 16, 32) of an input size.
int anchor_count(cv::Size input);

struct Candidate {
  cv::Rect2f box;  // network-input pixels, x1 y1 width height
  int label{0};
  float score{0.0F};
  int anchor{0};  // column of the candidate's mask coefficients
};

// Stock export: det is [4 + classes + masks, anchors] (batch dimension
// dropped): cx, cy, w, h in input pixels, then class probabilities.
// Keeps anchors whose best class probability exceeds score_threshold;
// non-finite values never pass.
std::vector<Candidate> decode_stock(const cv::Mat& det, int num_classes, float score_threshold);

// One level of the cut head: data is [4 * kRegMax + classes, grid_h * grid_w],
// rows = box side distributions (l, t, r, b; kRegMax bins each), then class
// logits; columns in row-major grid order.
struct Level {
  cv::Mat data;
  int grid_w{0};
  int grid_h{0};
  int stride{0};
};

// Expected distance (in strides) of a softmax over kRegMax bins that lie
// `step` floats apart.
float dfl_distance(const float* bins, size_t step);

// Cut head: DFL, anchor grid and strides. Anchors are numbered level after
// level in the order given, row-major within a level, as in the stock export.
std::vector<Candidate> decode_levels(const std::vector<Level>& levels, int num_classes,
                                     float score_threshold);

float iou(const cv::Rect2f& a, const cv::Rect2f& b);

// Class-aware greedy NMS: highest score first (ties: lower anchor first);
// a candidate is dropped when its IoU with a kept one of the same label
// exceeds iou_threshold. At most max_detections survive.
std::vector<Candidate> nms(std::vector<Candidate> candidates, float iou_threshold,
                           int max_detections);

// Mask probabilities at prototype resolution: sigmoid(coefficients x protos).
// coeffs: [masks, anchors]; protos: [masks, proto_h * proto_w].
cv::Mat mask_probabilities(const cv::Mat& coeffs, int anchor, const cv::Mat& protos,
                           cv::Size proto_size);

// The instance mask in image pixels: prototype probabilities brought back
// through the letterbox (bilinear), kept only for pixels whose centre lies in
// image_box, and set to 1 where the probability exceeds threshold. CV_8UC1,
// image size, values 0/1.
cv::Mat instance_mask(const cv::Mat& proto_prob, const cv::Rect2f& image_box, const Letterbox& lb,
                      float threshold);

// The same mask straight from the coefficients of one anchor, computing
// sigmoid(coefficients x protos) only on the prototype cells the box samples.
cv::Mat instance_mask(const cv::Mat& coeffs, int anchor, const cv::Mat& protos, cv::Size proto_size,
                      const cv::Rect2f& image_box, const Letterbox& lb, float threshold);

}  // namespace post
}  // namespace model
}  // namespace ai_moor
