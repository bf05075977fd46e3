// OpenCV DNN forward pass of YOLOv8-seg exports (n and s scales, three input
// sizes, prepared by cut_yolov8_head.py) and the whole detect() of the demo
// network and of the colour-key backend, in one run so the figures share the
// machine's state. Each repetition times one call; the report gives median
// and p90 over the repetitions.
//
// The n/s exports are too large to commit; model_zoo/tools/make_bench_models.sh
// writes them into MOORWICK_BENCH_MODELS (default: bench_models beside this
// program). Missing ones are reported as skipped.
//
// Threads: OpenCV's pool is set to MOORWICK_BENCH_THREADS (default 2, the
// cores of the target machine); the thread-count rows run n at 640x384 with 1
// and 2 threads to show what the setting buys.
#include "ai_moor/model/yolov8_postprocess.hpp"
#include "ai_moor/model/yolov8_seg.hpp"

#include <benchmark/benchmark.h>
#include <opencv2/core/utility.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::string models_dir() {
  const char* env = std::getenv("MOORWICK_BENCH_MODELS");  // NOLINT(concurrency-mt-unsafe)
  return env != nullptr ? env : "bench_models";
}

int threads_setting() {
  const char* env = std::getenv("MOORWICK_BENCH_THREADS");  // NOLINT(concurrency-mt-unsafe)
  return env != nullptr ? std::max(1, std::atoi(env)) : 2;
}

double p90(const std::vector<double>& v) {
  std::vector<double> s(v);
  std::sort(s.begin(), s.end());
  return s.empty() ? 0.0
                   : s[static_cast<size_t>(std::lround(0.9 * static_cast<double>(s.size() - 1)))];
}

// A 16:9 camera frame with five coloured pieces on a grey floor, placed into
// the network input as the node does.
cv::Mat frame() {
  cv::Mat img(720, 1280, CV_8UC3, cv::Scalar(128, 128, 128));
  const cv::Scalar colours[] = {
      {230, 120, 20}, {30, 80, 220}, {210, 30, 40}, {230, 210, 30}, {230, 120, 20}};
  for (int i = 0; i < 5; ++i) {
    cv::rectangle(img, cv::Rect(120 + 220 * i, 300 + 40 * (i % 2), 140, 70), colours[i],
                  cv::FILLED);
  }
  return img;
}

void forward(benchmark::State& state, const std::string& file, cv::Size input, int threads) {
  const std::string path = models_dir() + "/" + file;
  if (!std::filesystem::exists(path)) {
    state.SkipWithError(("missing " + path + " (model_zoo/tools/make_bench_models.sh)").c_str());
    return;
  }
  cv::setNumThreads(threads);
  cv::dnn::Net net = cv::dnn::readNetFromONNX(path);
  net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
  net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
  namespace post = ai_moor::model::post;
  const post::Letterbox lb = post::make_letterbox(cv::Size(1280, 720), input);
  const cv::Mat blob = cv::dnn::blobFromImage(post::letterbox_image(frame(), lb), 1.0 / 255.0);
  const std::vector<std::string> names = net.getUnconnectedOutLayersNames();
  std::vector<cv::Mat> outs;
  net.setInput(blob);
  net.forward(outs, names);  // first run allocates; not timed
  for (auto _ : state) {     // NOLINT(clang-analyzer-deadcode.DeadStores)
    net.setInput(blob);
    net.forward(outs, names);
    benchmark::DoNotOptimize(outs.data());
  }
  state.counters["threads"] = threads;
}

void detect(benchmark::State& state, const std::string& config) {
  cv::setNumThreads(threads_setting());
  ai_moor::model::YOLOv8Seg model(config);
  cv::Mat rgb;
  cv::cvtColor(frame(), rgb, cv::COLOR_BGR2RGB);
  std::vector<ai_moor::model::SegObject> objects;
  model.detect(rgb, objects);
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    model.detect(rgb, objects);
    benchmark::DoNotOptimize(objects.data());
  }
  state.counters["detections"] = static_cast<double>(objects.size());
}

std::string demo_net_config() {
  std::string path =
      (std::filesystem::temp_directory_path() / "moorwick_bench_demo_net.yaml").string();
  std::ofstream(path) << "backend: onnx\nmodel_file: " MODEL_ZOO_DEMO_ONNX
                         "\ninput_width: 320\ninput_height: 192\nnum_classes: 23\n";
  return path;
}

}  // namespace

// Static registration (BENCHMARK_CAPTURE): one call per repetition, median and p90.
#define NETWORK_BENCH(...)            \
  BENCHMARK_CAPTURE(__VA_ARGS__)      \
      ->Unit(benchmark::kMillisecond) \
      ->Iterations(1)                 \
      ->Repetitions(15)               \
      ->ReportAggregatesOnly(true)    \
      ->ComputeStatistics("p90", p90)

NETWORK_BENCH(forward, n_640x640, "n_640x640_op12_cut.onnx", cv::Size(640, 640), threads_setting());
NETWORK_BENCH(forward, n_640x384, "n_640x384_op12_cut.onnx", cv::Size(640, 384), threads_setting());
NETWORK_BENCH(forward, n_320x320, "n_320x320_op12_cut.onnx", cv::Size(320, 320), threads_setting());
NETWORK_BENCH(forward, s_640x640, "s_640x640_op12_cut.onnx", cv::Size(640, 640), threads_setting());
NETWORK_BENCH(forward, s_640x384, "s_640x384_op12_cut.onnx", cv::Size(640, 384), threads_setting());
NETWORK_BENCH(forward, s_320x320, "s_320x320_op12_cut.onnx", cv::Size(320, 320), threads_setting());
NETWORK_BENCH(forward, n_640x384_1_thread, "n_640x384_op12_cut.onnx", cv::Size(640, 384), 1);
NETWORK_BENCH(forward, n_640x384_2_threads, "n_640x384_op12_cut.onnx", cv::Size(640, 384), 2);
NETWORK_BENCH(detect, demo_net_320x192_on_1280x720, demo_net_config());
NETWORK_BENCH(detect, color_key_on_1280x720,
              std::string(MODEL_ZOO_CONFIG_DIR) + "/model_color_key.yaml");

BENCHMARK_MAIN();
