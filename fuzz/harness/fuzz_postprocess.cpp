// The model's post-processing on arbitrary tensors: both output forms, NMS,
// letterbox geometry and instance masks, with NaN/Inf and mismatched shapes.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "ai_moor/model/yolov8_postprocess.hpp"
#include "fuzz_support.hpp"

namespace post = ai_moor::model::post;

namespace {

float Value(FuzzedDataProvider& in) {
  return moorwick_fuzz::SomeFloat(in, -20.0F, 700.0F);
}

// A float matrix whose values come from the input until it runs out; then a
// repeating pattern, so short inputs still give full tensors.
cv::Mat Tensor(FuzzedDataProvider& in, int rows, int cols) {
  cv::Mat m(rows, cols, CV_32FC1);
  float last = 0.25F;
  for (int r = 0; r < rows; ++r) {
    auto* line = m.ptr<float>(r);
    for (int c = 0; c < cols; ++c) {
      if (in.remaining_bytes() > 0) {
        last = Value(in);
      } else {
        last = -last + 0.125F;
      }
      line[c] = last;
    }
  }
  return m;
}

int Dimension(FuzzedDataProvider& in, int typical_max) {
  static const int kOdd[] = {
      0, -1, -640, std::numeric_limits<int>::max(), std::numeric_limits<int>::min(), 1 << 16};
  return in.ConsumeIntegralInRange(0, 15) == 0 ? in.PickValueInArray(kOdd)
                                               : in.ConsumeIntegralInRange(1, typical_max);
}

void CheckCandidates(const std::vector<post::Candidate>& out, int num_classes, int anchors) {
  for (const auto& c : out) {
    FUZZ_CHECK(c.label >= 0 && c.label < num_classes, "label %d of %d classes", c.label,
               num_classes);
    FUZZ_CHECK(c.anchor >= 0 && c.anchor < anchors, "anchor %d of %d", c.anchor, anchors);
    FUZZ_CHECK(std::isfinite(c.box.x) && std::isfinite(c.box.y) && std::isfinite(c.box.width) &&
                   std::isfinite(c.box.height),
               "non-finite candidate box");
    FUZZ_CHECK(!std::isnan(c.score), "NaN score");
  }
}

void CheckMask(const cv::Mat& mask, const post::Letterbox& lb, const cv::Rect2f& box) {
  FUZZ_CHECK(mask.type() == CV_8UC1, "mask type %d", mask.type());
  FUZZ_CHECK(mask.size() == lb.image, "mask %dx%d for image %dx%d", mask.cols, mask.rows,
             lb.image.width, lb.image.height);
  for (int r = 0; r < mask.rows; ++r) {
    const auto* line = mask.ptr<std::uint8_t>(r);
    for (int c = 0; c < mask.cols; ++c) {
      FUZZ_CHECK(line[c] <= 1, "mask value %d", line[c]);
      if (line[c] != 0) {
        // Only pixels whose centre lies in the box.
        const float u = static_cast<float>(c) + 0.5F;
        const float v = static_cast<float>(r) + 0.5F;
        FUZZ_CHECK(u >= box.x - 0.5F && u <= box.x + box.width + 0.5F && v >= box.y - 0.5F &&
                       v <= box.y + box.height + 0.5F,
                   "mask pixel (%d, %d) outside the box", c, r);
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const int num_classes = Dimension(in, 6);
  const float score_threshold = Value(in);
  const float iou_threshold = Value(in);
  const int max_detections = Dimension(in, 20);
  const int masks = in.ConsumeIntegralInRange(1, 4);

  std::vector<post::Candidate> candidates;
  int anchors = 0;
  if (in.ConsumeBool()) {
    // Stock form: [4 + classes + masks, anchors].
    const int rows = in.ConsumeBool() ? 4 + std::clamp(num_classes, 0, 8) + masks
                                      : in.ConsumeIntegralInRange(0, 16);
    anchors = in.ConsumeIntegralInRange(0, 64);
    const cv::Mat det = Tensor(in, rows, anchors);
    candidates = post::decode_stock(det, num_classes, score_threshold);
  } else {
    // Cut form: up to three levels of [4 * 16 + classes, grid_h * grid_w].
    std::vector<post::Level> levels;
    const int count = in.ConsumeIntegralInRange(0, 3);
    for (int i = 0; i < count; ++i) {
      post::Level lv;
      const bool honest = in.ConsumeIntegralInRange(0, 7) != 0;
      const int gw = in.ConsumeIntegralInRange(1, 4);
      const int gh = in.ConsumeIntegralInRange(1, 4);
      lv.grid_w = honest ? gw : Dimension(in, 4);
      lv.grid_h = honest ? gh : Dimension(in, 4);
      lv.stride = post::kStrides[static_cast<std::size_t>(i)];
      const int rows = 4 * post::kRegMax + (in.ConsumeBool() ? std::clamp(num_classes, 0, 8) : 0);
      lv.data = Tensor(in, rows, gw * gh);
      if (honest && anchors != std::numeric_limits<int>::max()) {
        anchors += gw * gh;
      } else {
        anchors = std::numeric_limits<int>::max();  // no anchor bound to check
      }
      levels.push_back(lv);
    }
    candidates = post::decode_levels(levels, num_classes, score_threshold);
  }
  CheckCandidates(candidates, std::max(num_classes, 0), std::max(anchors, 0));

  const std::vector<post::Candidate> kept = post::nms(candidates, iou_threshold, max_detections);
  FUZZ_CHECK(kept.size() <= candidates.size(), "NMS grew the list");
  FUZZ_CHECK(static_cast<long long>(kept.size()) <= std::max(max_detections, 0),
             "%zu kept, at most %d allowed", kept.size(), max_detections);
  for (std::size_t i = 1; i < kept.size(); ++i) {
    FUZZ_CHECK(!(kept[i].score > kept[i - 1].score), "NMS output not by score");
  }

  // Letterbox of an image into the network input, and masks through it.
  // An image size comes from a cv::Mat: never negative.
  const cv::Size image(in.ConsumeIntegralInRange(0, 96), in.ConsumeIntegralInRange(0, 96));
  const cv::Size input(Dimension(in, 64), Dimension(in, 64));
  if (image.width > 256 || image.height > 256 || input.width > 256 || input.height > 256) {
    return 0;  // absurd sizes: make_letterbox only; the mask would be huge
  }
  const post::Letterbox lb = post::make_letterbox(image, input);
  if (lb.scale > 0.0F) {
    FUZZ_CHECK(lb.scaled.width >= 1 && lb.scaled.width <= input.width && lb.scaled.height >= 1 &&
                   lb.scaled.height <= input.height && lb.pad_left >= 0 && lb.pad_top >= 0,
               "letterbox %dx%d pad %d,%d", lb.scaled.width, lb.scaled.height, lb.pad_left,
               lb.pad_top);
  }
  const cv::Size proto_size(in.ConsumeIntegralInRange(1, 16), in.ConsumeIntegralInRange(1, 16));
  const cv::Mat protos = Tensor(in, masks, proto_size.area());
  const cv::Mat coeffs = Tensor(in, in.ConsumeBool() ? masks : in.ConsumeIntegralInRange(1, 4),
                                std::max(1, std::min(anchors, 64)));
  const float mask_threshold = Value(in);
  std::vector<post::Candidate> boxes = kept;
  if (boxes.empty() || in.ConsumeBool()) {
    post::Candidate c;
    c.box = cv::Rect2f(Value(in), Value(in), Value(in), Value(in));
    c.anchor = in.ConsumeIntegralInRange(-1, 70);
    boxes.push_back(c);
  }
  for (const auto& c : boxes) {
    const cv::Rect2f image_box = post::to_image(c.box, lb);
    const bool finite = std::isfinite(c.box.x) && std::isfinite(c.box.y) &&
                        std::isfinite(c.box.width) && std::isfinite(c.box.height);
    if (lb.scale > 0.0F && finite) {
      FUZZ_CHECK(image_box.x >= 0.0F && image_box.y >= 0.0F && image_box.width >= 0.0F &&
                     image_box.height >= 0.0F &&
                     image_box.x + image_box.width <= static_cast<float>(image.width) + 1e-3F &&
                     image_box.y + image_box.height <= static_cast<float>(image.height) + 1e-3F,
                 "box outside the image");
    }
    const cv::Rect2f probe = in.ConsumeBool() ? image_box : c.box;
    const cv::Mat direct =
        post::instance_mask(coeffs, c.anchor, protos, proto_size, probe, lb, mask_threshold);
    CheckMask(direct, lb, probe);
    const cv::Mat prob = post::mask_probabilities(coeffs, c.anchor, protos, proto_size);
    const cv::Mat via = post::instance_mask(prob, probe, lb, mask_threshold);
    CheckMask(via, lb, probe);
  }
  return 0;
}
