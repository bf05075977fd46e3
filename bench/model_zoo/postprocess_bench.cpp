// YOLOv8-seg post-processing at 640x640: 8400 candidates, 32 prototypes of
// 160x160, decoded, suppressed and turned into masks for a 640x480 image.
// Tensors are seeded random logits with a controlled number of strong cells.
#include "ai_moor/model/yolov8_postprocess.hpp"

#include <benchmark/benchmark.h>

#include <cmath>

namespace post = ai_moor::model::post;

namespace {

constexpr int kMasks = 32;
const cv::Size kInput(640, 640);
const cv::Size kImage(640, 480);

float sigmoid(float x) {
  return 1.0F / (1.0F + std::exp(-x));
}

// Cut-head levels with `strong` cells (spread over all levels) whose best
// class logit is +3, the rest around -6.
std::vector<post::Level> make_levels(int classes, int strong, uint64_t seed) {
  cv::RNG rng(seed);
  std::vector<post::Level> levels;
  for (int s : post::kStrides) {
    const int gw = kInput.width / s;
    const int gh = kInput.height / s;
    post::Level lv{cv::Mat(4 * post::kRegMax + classes, gw * gh, CV_32F), gw, gh, s};
    rng.fill(lv.data.rowRange(0, 4 * post::kRegMax), cv::RNG::NORMAL, 0.0, 2.0);
    rng.fill(lv.data.rowRange(4 * post::kRegMax, lv.data.rows), cv::RNG::NORMAL, -6.0, 1.0);
    levels.push_back(lv);
  }
  const int anchors = post::anchor_count(kInput);
  for (int i = 0; i < strong; ++i) {
    int a = rng.uniform(0, anchors);
    for (post::Level& lv : levels) {
      if (a < lv.data.cols) {
        lv.data.at<float>(4 * post::kRegMax + rng.uniform(0, classes), a) = 3.0F;
        break;
      }
      a -= lv.data.cols;
    }
  }
  return levels;
}

// The stock export of the same tensors: decoded boxes and probabilities.
cv::Mat make_stock(const std::vector<post::Level>& levels, int classes) {
  cv::Mat det(4 + classes + kMasks, post::anchor_count(kInput), CV_32F, cv::Scalar(0));
  const auto all = post::decode_levels(levels, classes, 0.0F);
  for (const auto& c : all) {
    det.at<float>(0, c.anchor) = c.box.x + c.box.width / 2;
    det.at<float>(1, c.anchor) = c.box.y + c.box.height / 2;
    det.at<float>(2, c.anchor) = c.box.width;
    det.at<float>(3, c.anchor) = c.box.height;
  }
  int base = 0;
  for (const auto& lv : levels) {
    for (int k = 0; k < classes; ++k) {
      for (int a = 0; a < lv.data.cols; ++a) {
        det.at<float>(4 + k, base + a) = sigmoid(lv.data.at<float>(4 * post::kRegMax + k, a));
      }
    }
    base += lv.data.cols;
  }
  return det;
}

void BM_DecodeCutHead(benchmark::State& state) {
  const int classes = static_cast<int>(state.range(0));
  const auto levels = make_levels(classes, 50, 7);
  size_t n = 0;
  for (auto _ : state) {
    static_cast<void>(_);
    auto c = post::decode_levels(levels, classes, 0.25F);
    n = c.size();
    benchmark::DoNotOptimize(c.data());
  }
  state.counters["candidates"] = static_cast<double>(n);
}
BENCHMARK(BM_DecodeCutHead)->Arg(23)->Arg(80)->Unit(benchmark::kMicrosecond);

void BM_DecodeStock(benchmark::State& state) {
  const int classes = static_cast<int>(state.range(0));
  const cv::Mat det = make_stock(make_levels(classes, 50, 7), classes);
  size_t n = 0;
  for (auto _ : state) {
    static_cast<void>(_);
    auto c = post::decode_stock(det, classes, 0.25F);
    n = c.size();
    benchmark::DoNotOptimize(c.data());
  }
  state.counters["candidates"] = static_cast<double>(n);
}
BENCHMARK(BM_DecodeStock)->Arg(23)->Arg(80)->Unit(benchmark::kMicrosecond);

// NMS over N candidates clustered around 20 objects of 4 classes.
void BM_Nms(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  cv::RNG rng(11);
  std::vector<post::Candidate> in;
  for (int i = 0; i < n; ++i) {
    const int obj = i % 20;
    const float cx = 40.0F + 28.0F * static_cast<float>(obj) + static_cast<float>(rng.gaussian(3));
    const float cy = 320.0F + static_cast<float>(rng.gaussian(3));
    in.push_back({{cx - 20.0F, cy - 20.0F, 40.0F, 40.0F}, obj % 4, rng.uniform(0.3F, 1.0F), i});
  }
  size_t kept = 0;
  for (auto _ : state) {
    static_cast<void>(_);
    auto k = post::nms(in, 0.45F, 100);
    kept = k.size();
    benchmark::DoNotOptimize(k.data());
  }
  state.counters["kept"] = static_cast<double>(kept);
}
BENCHMARK(BM_Nms)->Arg(100)->Arg(1000)->Arg(8400)->Unit(benchmark::kMicrosecond);

// Everything after the network: decode 8400 anchors, NMS, one mask per kept
// detection at image resolution.
void BM_FullPostprocess(benchmark::State& state) {
  const int classes = 23;
  const int strong = static_cast<int>(state.range(0));
  const auto levels = make_levels(classes, strong, 3);
  cv::RNG rng(5);
  cv::Mat coeffs(kMasks, post::anchor_count(kInput), CV_32F);
  rng.fill(coeffs, cv::RNG::NORMAL, 0.0, 1.0);
  cv::Mat protos(kMasks, 160 * 160, CV_32F);
  rng.fill(protos, cv::RNG::NORMAL, 0.0, 1.0);
  const post::Letterbox lb = post::make_letterbox(kImage, kInput);
  size_t masks = 0;
  for (auto _ : state) {
    static_cast<void>(_);
    const auto kept = post::nms(post::decode_levels(levels, classes, 0.25F), 0.45F, 100);
    masks = 0;
    for (const auto& c : kept) {
      const cv::Rect2f box = post::to_image(c.box, lb);
      cv::Mat m = post::instance_mask(coeffs, c.anchor, protos, {160, 160}, box, lb, 0.5F);
      benchmark::DoNotOptimize(m.data);
      ++masks;
    }
  }
  state.counters["detections"] = static_cast<double>(masks);
}
BENCHMARK(BM_FullPostprocess)->Arg(5)->Arg(20)->Unit(benchmark::kMillisecond);

// One 100x80-pixel piece of a 640x480 image: the prototype window against
// the whole 160x160 map.
void BM_MaskOneDetection(benchmark::State& state) {
  const bool windowed = state.range(0) != 0;
  cv::RNG rng(9);
  cv::Mat coeffs(kMasks, 1, CV_32F);
  rng.fill(coeffs, cv::RNG::NORMAL, 0.0, 1.0);
  cv::Mat protos(kMasks, 160 * 160, CV_32F);
  rng.fill(protos, cv::RNG::NORMAL, 0.0, 1.0);
  const post::Letterbox lb = post::make_letterbox(kImage, kInput);
  const cv::Rect2f box(300, 200, 100, 80);
  for (auto _ : state) {
    static_cast<void>(_);
    cv::Mat m = windowed
                    ? post::instance_mask(coeffs, 0, protos, {160, 160}, box, lb, 0.5F)
                    : post::instance_mask(post::mask_probabilities(coeffs, 0, protos, {160, 160}),
                                          box, lb, 0.5F);
    benchmark::DoNotOptimize(m.data);
  }
  state.SetLabel(windowed ? "window" : "full map");
}
BENCHMARK(BM_MaskOneDetection)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_Letterbox(benchmark::State& state) {
  cv::Mat image(kImage, CV_8UC3, cv::Scalar(90, 120, 150));
  const post::Letterbox lb = post::make_letterbox(kImage, kInput);
  for (auto _ : state) {
    static_cast<void>(_);
    cv::Mat in = post::letterbox_image(image, lb);
    benchmark::DoNotOptimize(in.data);
  }
}
BENCHMARK(BM_Letterbox)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
