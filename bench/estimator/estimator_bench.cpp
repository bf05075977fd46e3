// GetInitialGrabPose on synthetic pieces of about 2k, 10k and 50k points, with
// the time of each stage reported as counters (milliseconds per estimate).
#include <benchmark/benchmark.h>
#include <yaml-cpp/yaml.h>

#include <boost/filesystem.hpp>
#include <fstream>
#include <memory>
#include <string>

#include "moorwick_arm_trash_detect/trash_pose_estimate.hpp"
#include "moorwick_test/synthetic_cloud.hpp"

namespace {

using moorwick::GrabPoseEstimate;
using moorwick_test::PieceCloudOptions;
using moorwick_test::Shape;

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

void BM_GetInitialGrabPose(benchmark::State& state) {
  auto estimator = MakeEstimator();
  PieceCloudOptions options;
  options.camera_position = estimator->camera_extrinsic_.block<3, 1>(0, 3).cast<double>();
  options.floor_z = -static_cast<double>(estimator->base_height_);
  options.target_points = static_cast<std::size_t>(state.range(0));
  options.noise_sigma = 0.0005;
  options.outliers = options.target_points / 100;
  options.seed = 11;
  const Shape piece = static_cast<Piece>(state.range(1)) == Piece::kLyingCan
                          ? Shape::Cylinder(0.066, 0.168, {-0.5, 0.05, 0.0}, {1.0, 0.3, 0.0})
                          : Shape::Cylinder(0.065, 0.20, {-0.5, 0.05, 0.0}, {0.0, 0.0, 1.0});
  // The floor band adds to the piece's points: scale so the whole cloud has
  // about the requested size.
  const Shape resting = piece.RestingOn(options.floor_z);
  auto source = moorwick_test::MakePieceCloud(resting, options);
  options.target_points = static_cast<std::size_t>(static_cast<double>(options.target_points) *
                                                   static_cast<double>(state.range(0)) /
                                                   static_cast<double>(source->size()));
  source = moorwick_test::MakePieceCloud(resting, options);

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
    ->ArgNames({"points", "piece"})
    ->ArgsProduct({{2000, 10000, 50000}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
