// Detect service latency: from the moment a camera raises its done flag to the
// moment the service has its answer. The service waits on the flag; for
// comparison the same hand-over is timed with the former 10 ms polling wait.
//
// A frame thread plays the image callback: it waits until the service arms the
// camera, lets a seeded random delay of 0..10 ms pass (frames do not arrive in
// step with any poll), reads the clock and raises the flag.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <rclcpp/rclcpp.hpp>

#include "bench_env.hpp"
#include "moorwick_arm_trash_detect/logging/logger.hpp"
#include "moorwick_arm_trash_detect/node/camera_detection_node.hpp"
#include "moorwick_arm_trash_detect/node/detection_node.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using moorwick::CameraDetectionNode;
using moorwick::TrashInfo;

constexpr auto kOldPollPeriod = std::chrono::milliseconds(10);
constexpr std::int32_t kTimeoutMs = 600;

// The wait as it was: the same lines and time-out, the flag tested every 10 ms.
bool PollForCamera(CameraDetectionNode& camera, std::int32_t timeout_ms) {
  const auto wait_start = Clock::now();
  while (!camera.IsDetectDone()) {
    LOG_INFO(moorwick::Styled(moorwick::kDim, "is_camera_{}_detect_done_: {}"), camera.cam_id,
             false);
    LOG_INFO(moorwick::Styled(moorwick::kDim, "waiting detect to complete................"));
    if (std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - wait_start).count() >
        timeout_ms) {
      camera.ClearDetectDone();
      return false;
    }
    std::this_thread::sleep_for(kOldPollPeriod);
  }
  return true;
}

TrashInfo PieceAtArm(double x) {
  TrashInfo info;
  info.class_id = 3;
  info.arm_pose.px = x;
  return info;
}

// Plays the camera: each time the camera is armed, waits its delay, stamps the
// clock and raises the done flag with one piece.
class FrameThread {
public:
  explicit FrameThread(std::shared_ptr<CameraDetectionNode> camera) : camera_(std::move(camera)) {
    camera_->is_start_detect_ = false;
    thread_ = std::thread([this] { Run(); });
  }
  ~FrameThread() {
    stop_ = true;
    thread_.join();
  }
  Clock::time_point flag_time() const { return Clock::time_point(Clock::duration(flag_ns_)); }

private:
  void Run() {
    std::mt19937 rng(20240607);
    std::uniform_int_distribution<int> delay_us(0, 9999);
    const std::vector<TrashInfo> frame{PieceAtArm(0.4)};
    while (!stop_) {
      if (!camera_->is_start_detect_) {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        continue;
      }
      const auto due = Clock::now() + std::chrono::microseconds(delay_us(rng));
      while (Clock::now() < due && !stop_) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
      flag_ns_ = Clock::now().time_since_epoch().count();
      camera_->FinishDetect(frame);
    }
  }

  std::shared_ptr<CameraDetectionNode> camera_;
  std::atomic<bool> stop_{false};
  std::atomic<Clock::rep> flag_ns_{0};
  std::thread thread_;
};

std::shared_ptr<CameraDetectionNode> MakeCamera() {
  static int counter = 0;
  auto node = std::make_shared<rclcpp::Node>("service_latency_bench_" + std::to_string(counter++));
  auto camera = std::make_shared<CameraDetectionNode>(node);
  camera->cam_id = 1;
  return camera;
}

void ReportMedian(benchmark::State& state, std::vector<double>& latencies_ms) {
  if (latencies_ms.empty()) {
    return;
  }
  std::sort(latencies_ms.begin(), latencies_ms.end());
  state.counters["median_ms"] = latencies_ms[latencies_ms.size() / 2];
  state.counters["p90_ms"] = latencies_ms[latencies_ms.size() * 9 / 10];
  state.counters["max_ms"] = latencies_ms.back();
}

enum class Wait { kWake = 0, kPoll10ms = 1 };

// The hand-over alone: wait, take the list, choose the piece.
void BM_FlagToAnswer(benchmark::State& state) {
  const auto mode = static_cast<Wait>(state.range(0));
  auto camera = MakeCamera();
  FrameThread frames(camera);
  std::vector<double> latencies_ms;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    camera->ArmDetect();
    const bool done = mode == Wait::kWake ? moorwick::WaitForCamera(*camera, kTimeoutMs)
                                          : PollForCamera(*camera, kTimeoutMs);
    if (!done) {
      state.SkipWithError("the camera timed out");
      break;
    }
    const std::vector<TrashInfo> infos = camera->TakeTrashInfos();
    TrashInfo chosen;
    const bool ok = moorwick::DetectionNode::ChooseTargetTrashInfo(infos, nullptr, 1.0F, chosen);
    const auto answered = Clock::now();
    benchmark::DoNotOptimize(chosen);
    if (!ok) {
      state.SkipWithError("no piece chosen");
      break;
    }
    const double seconds = std::chrono::duration<double>(answered - frames.flag_time()).count();
    state.SetIterationTime(seconds);
    latencies_ms.push_back(seconds * 1e3);
  }
  ReportMedian(state, latencies_ms);
  state.SetLabel(mode == Wait::kWake ? "wake on flag" : "poll every 10 ms");
}
BENCHMARK(BM_FlagToAnswer)
    ->ArgName("poll10ms")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(200)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The whole service run as it serves a call, from the flag to the filled answer.
void BM_RunDetectFlagToAnswer(benchmark::State& state) {
  auto camera = MakeCamera();
  FrameThread frames(camera);
  const std::vector<std::shared_ptr<CameraDetectionNode>> cameras{camera};
  const moorwick::DetectSettings settings{1.0F, 0.05F, kTimeoutMs};
  std::vector<double> latencies_ms;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    moorwick::DetectAnswer answer;
    moorwick::RunDetect(cameras, settings, 0, 0, TrashInfo{}, answer);
    const auto answered = Clock::now();
    if (answer.error_code != moorwick::kErrorNone.value) {
      state.SkipWithError("the call was not answered with a piece");
      break;
    }
    const double seconds = std::chrono::duration<double>(answered - frames.flag_time()).count();
    state.SetIterationTime(seconds);
    latencies_ms.push_back(seconds * 1e3);
  }
  ReportMedian(state, latencies_ms);
}
BENCHMARK(BM_RunDetectFlagToAnswer)
    ->Iterations(200)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  moorwick_bench::QuietRosEnvironment();
  rclcpp::init(0, nullptr);
  benchmark::Initialize(&argc, argv);
  moorwick_bench::RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  moorwick_bench::PrintRatio(reporter, "Service latency, flag to answer, median, poll vs wake",
                             "BM_FlagToAnswer/poll10ms:1/iterations:200/manual_time",
                             "BM_FlagToAnswer/poll10ms:0/iterations:200/manual_time", "median_ms");
  benchmark::Shutdown();
  rclcpp::shutdown();
  return 0;
}
