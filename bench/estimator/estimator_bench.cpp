// GetInitialGrabPose on synthetic pieces of about 2k, 10k and 50k points, with
// the time of each stage reported as counters (milliseconds per estimate), on
// the PCL reference path (path:0) and the fast path (path:1); and both paths
// side by side in one run with their ratio (BM_FastVsReference).
#include <benchmark/benchmark.h>
#include <yaml-cpp/yaml.h>

#include <boost/filesystem.hpp>
#include <chrono>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>

#include "moorwick_arm_trash_detect/core/trash_pose_estimate.hpp"
#include "moorwick_sim/synthetic_cloud.hpp"

namespace {

using moorwick::GrabPoseEstimate;
using moorwick_sim::PieceCloudOptions;
using moorwick_sim::Shape;

// The shipped front-camera file, with its debug folders in a temporary directory.
std::unique_ptr<GrabPoseEstimate> MakeEstimator() {
  static const boost::filesystem::path dir =
      boost::filesystem::temp_directory_path() /
      boost::filesystem::unique_path("moorwick_estimator_bench_%%%%-%%%%");
  boost::filesystem::create_directories(dir);
  YAML::Node root =
      YAML::LoadFile(std::string(MOORWICK_SOURCE_CONFIG_DIR) + "/cam1_pose_estimate_config.yaml");
  root["debug_choice"]["folder_path"] = (dir / "data").string() + "/";
  const std::string path = (dir / "estimator.yaml").string();
  std::ofstream(path) << root;
  return std::make_unique<GrabPoseEstimate>(path);
}

enum class Piece { kLyingCan, kStandingBottle };

// The test piece, scaled so that the whole cloud (the floor band adds to the
// piece's points) has about state.range(0) points.
GrabPoseEstimate::CloudPtr MakeSource(const GrabPoseEstimate& est, benchmark::State& state) {
  PieceCloudOptions options;
  options.camera_position = est.camera_extrinsic_.block<3, 1>(0, 3).cast<double>();
  options.floor_z = -static_cast<double>(est.base_height_);
  options.target_points = static_cast<std::size_t>(state.range(0));
  options.noise_sigma = 0.0005;
  options.outliers = options.target_points / 100;
  options.seed = 11;
  const Shape piece = static_cast<Piece>(state.range(1)) == Piece::kLyingCan
                          ? Shape::Cylinder(0.066, 0.168, {-0.5, 0.05, 0.0}, {1.0, 0.3, 0.0})
                          : Shape::Cylinder(0.065, 0.20, {-0.5, 0.05, 0.0}, {0.0, 0.0, 1.0});
  const Shape resting = piece.RestingOn(options.floor_z);
  auto source = moorwick_sim::MakePieceCloud(resting, options);
  options.target_points = static_cast<std::size_t>(static_cast<double>(options.target_points) *
                                                   static_cast<double>(state.range(0)) /
                                                   static_cast<double>(source->size()));
  return moorwick_sim::MakePieceCloud(resting, options);
}

void BM_GetInitialGrabPose(benchmark::State& state) {
  auto estimator = MakeEstimator();
  estimator->use_pcl_reference_ = state.range(2) == 0;
  const auto source = MakeSource(*estimator, state);

  moorwick::EstimateStageTimings sum;
  int result = 0;
  std::size_t conditioned = 0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    state.PauseTiming();
    GrabPoseEstimate::CloudPtr cloud(new GrabPoseEstimate::Cloud(*source));
    state.ResumeTiming();
    result = estimator->GetInitialGrabPose(cloud);
    benchmark::DoNotOptimize(result);
    conditioned = cloud->size();
    const auto& t = estimator->stage_timings_;
    sum.voxel_grid_ms += t.voxel_grid_ms;
    sum.pass_through_ms += t.pass_through_ms;
    sum.outlier_removal_ms += t.outlier_removal_ms;
    sum.pca_ms += t.pca_ms;
    sum.obb_ms += t.obb_ms;
    sum.aabb_ms += t.aabb_ms;
    sum.min_area_rect_ms += t.min_area_rect_ms;
  }
  if (result != GrabPoseEstimate::kSuccess) {
    state.SkipWithError("estimate did not succeed");
    return;
  }
  using benchmark::Counter;
  const auto avg = Counter::kAvgIterations;
  state.counters["points"] = static_cast<double>(source->size());
  state.counters["kept"] = static_cast<double>(conditioned);
  state.counters["voxel_ms"] = Counter(sum.voxel_grid_ms, avg);
  state.counters["pass_ms"] = Counter(sum.pass_through_ms, avg);
  state.counters["sor_ms"] = Counter(sum.outlier_removal_ms, avg);
  state.counters["pca_ms"] = Counter(sum.pca_ms, avg);
  state.counters["obb_ms"] = Counter(sum.obb_ms, avg);
  state.counters["aabb_ms"] = Counter(sum.aabb_ms, avg);
  state.counters["rect_ms"] = Counter(sum.min_area_rect_ms, avg);
}

BENCHMARK(BM_GetInitialGrabPose)
    ->ArgNames({"points", "piece", "path"})
    ->ArgsProduct({{2000, 10000, 50000}, {0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

using WallClock = std::chrono::steady_clock;

double WallMs(WallClock::time_point start) {
  return std::chrono::duration<double, std::milli>(WallClock::now() - start).count();
}

// CPU time of the whole process (all threads), milliseconds: on a shared
// machine it moves far less than wall time.
double ProcessCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) * 1e-6;
}

// Reference then fast estimate of the same piece in every iteration; the
// iteration time is the fast one, the counters hold both and their ratio.
void BM_FastVsReference(benchmark::State& state) {
  auto fast = MakeEstimator();
  auto reference = MakeEstimator();
  const auto source = MakeSource(*fast, state);
  double ref_ms = 0.0;
  double fast_ms = 0.0;
  double ref_cpu_ms = 0.0;
  double fast_cpu_ms = 0.0;
  moorwick::EstimateStageTimings ref_sum;
  moorwick::EstimateStageTimings fast_sum;
  bool same = true;
  const auto add = [](moorwick::EstimateStageTimings& sum,
                      const moorwick::EstimateStageTimings& t) {
    sum.voxel_grid_ms += t.voxel_grid_ms;
    sum.pass_through_ms += t.pass_through_ms;
    sum.outlier_removal_ms += t.outlier_removal_ms;
    sum.pca_ms += t.pca_ms;
    sum.obb_ms += t.obb_ms + t.aabb_ms;
    sum.min_area_rect_ms += t.min_area_rect_ms;
  };
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    GrabPoseEstimate::CloudPtr a(new GrabPoseEstimate::Cloud(*source));
    GrabPoseEstimate::CloudPtr b(new GrabPoseEstimate::Cloud(*source));
    double cpu = ProcessCpuMs();
    auto start = WallClock::now();
    const int code_ref = reference->GetInitialGrabPoseReference(a);
    const double r = WallMs(start);
    ref_cpu_ms += ProcessCpuMs() - cpu;
    cpu = ProcessCpuMs();
    start = WallClock::now();
    const int code_fast = fast->GetInitialGrabPose(b);
    const double f = WallMs(start);
    fast_cpu_ms += ProcessCpuMs() - cpu;
    state.SetIterationTime(f / 1000.0);
    ref_ms += r;
    fast_ms += f;
    add(ref_sum, reference->stage_timings_);
    add(fast_sum, fast->stage_timings_);
    same =
        same && code_ref == code_fast && code_ref == GrabPoseEstimate::kSuccess &&
        a->size() == b->size() &&
        (reference->grab_pose_.position - fast->grab_pose_.position).cwiseAbs().maxCoeff() <= 1e-5F;
  }
  if (!same) {
    state.SkipWithError("fast and reference estimates differ");
    return;
  }
  using benchmark::Counter;
  const auto avg = Counter::kAvgIterations;
  state.counters["points"] = static_cast<double>(source->size());
  state.counters["ref_ms"] = Counter(ref_ms, avg);
  state.counters["fast_ms"] = Counter(fast_ms, avg);
  state.counters["ratio"] = fast_ms > 0.0 ? ref_ms / fast_ms : 0.0;
  state.counters["ref_cpu_ms"] = Counter(ref_cpu_ms, avg);
  state.counters["fast_cpu_ms"] = Counter(fast_cpu_ms, avg);
  state.counters["cpu_ratio"] = fast_cpu_ms > 0.0 ? ref_cpu_ms / fast_cpu_ms : 0.0;
  state.counters["ref_sor_ms"] = Counter(ref_sum.outlier_removal_ms, avg);
  state.counters["fast_sor_ms"] = Counter(fast_sum.outlier_removal_ms, avg);
  state.counters["ref_box_ms"] = Counter(ref_sum.obb_ms, avg);
  state.counters["fast_box_ms"] = Counter(fast_sum.obb_ms, avg);
  state.counters["ref_rest_ms"] = Counter(
      ref_sum.voxel_grid_ms + ref_sum.pass_through_ms + ref_sum.pca_ms + ref_sum.min_area_rect_ms,
      avg);
  state.counters["fast_rest_ms"] = Counter(fast_sum.voxel_grid_ms + fast_sum.pass_through_ms +
                                               fast_sum.pca_ms + fast_sum.min_area_rect_ms,
                                           avg);
}

BENCHMARK(BM_FastVsReference)
    ->ArgNames({"points", "piece"})
    ->ArgsProduct({{2000, 10000, 50000}, {0, 1}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
