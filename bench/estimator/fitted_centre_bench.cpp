// What the fitted grab centre costs and which cylinder fit it uses.
//
// BM_GrabCentreModes: GetInitialGrabPose on the same piece cloud (about 2k,
// 10k and 50k points) in visible and in fitted mode, one after the other in
// every iteration; counters hold the CPU time of each and their difference.
// (Accuracy is the rendered-scene suite's business: these clouds are not cut
// out of a depth image, so the far-edge correction does not apply to them.)
//
// BM_CylinderFit: on the conditioned cloud of a lying can, the least-squares
// circle across the axis against PCL's sample-consensus cylinder with normals
// (normals included, as it needs them): time per fit and horizontal error of
// the centre against the can's true centre.
#include <benchmark/benchmark.h>
#include <pcl/features/normal_3d.h>
#include <pcl/sample_consensus/method_types.h>
#include <pcl/sample_consensus/model_types.h>
#include <pcl/search/kdtree.h>
#include <pcl/segmentation/sac_segmentation.h>
#include <yaml-cpp/yaml.h>

#include <boost/filesystem.hpp>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>

#include "moorwick_arm_trash_detect/core/fitted_centre.hpp"
#include "moorwick_arm_trash_detect/core/trash_pose_estimate.hpp"
#include "moorwick_sim/synthetic_cloud.hpp"

namespace {

using moorwick::GrabPoseEstimate;
using moorwick_sim::PieceCloudOptions;
using moorwick_sim::Shape;

std::unique_ptr<GrabPoseEstimate> MakeEstimator(const char* mode) {
  static const boost::filesystem::path dir =
      boost::filesystem::temp_directory_path() /
      boost::filesystem::unique_path("moorwick_fitted_bench_%%%%-%%%%");
  boost::filesystem::create_directories(dir);
  YAML::Node root =
      YAML::LoadFile(std::string(MOORWICK_SOURCE_CONFIG_DIR) + "/cam1_pose_estimate_config.yaml");
  root["debug_choice"]["folder_path"] = (dir / "data").string() + "/";
  root["grab_pose_estimate"]["grab_center_mode"] = mode;
  const std::string path = (dir / (std::string(mode) + ".yaml")).string();
  std::ofstream(path) << root;
  return std::make_unique<GrabPoseEstimate>(path);
}

struct BenchPiece {
  Shape shape;
  int class_index;
};

// 0: a lying can, 1: a standing bottle, 2: a carton; all resting on the floor.
BenchPiece PieceOf(int which, double floor_z) {
  switch (which) {
    case 0:
      return {Shape::Cylinder(0.066, 0.168, {-0.5, 0.05, 0.0}, {1.0, 0.3, 0.0}).RestingOn(floor_z),
              13};
    case 1:
      return {Shape::Cylinder(0.065, 0.20, {-0.5, 0.05, 0.0}, {0.0, 0.0, 1.0}).RestingOn(floor_z),
              4};
    default:
      return {
          Shape::Box({0.12, 0.06, 0.04}, {-0.5, 0.05, 0.0}, {0.0, 0.0, 30.0}).RestingOn(floor_z),
          17};
  }
}

// The piece's cloud, scaled so that the whole cloud has about `points` points.
GrabPoseEstimate::CloudPtr MakeSource(const GrabPoseEstimate& est, const Shape& piece,
                                      long points) {
  PieceCloudOptions options;
  options.camera_position = est.camera_extrinsic_.block<3, 1>(0, 3).cast<double>();
  options.floor_z = -static_cast<double>(est.base_height_);
  options.target_points = static_cast<std::size_t>(points);
  options.noise_sigma = 0.0005;
  options.outliers = options.target_points / 100;
  options.seed = 11;
  auto source = moorwick_sim::MakePieceCloud(piece, options);
  options.target_points =
      static_cast<std::size_t>(static_cast<double>(options.target_points) *
                               static_cast<double>(points) / static_cast<double>(source->size()));
  return moorwick_sim::MakePieceCloud(piece, options);
}

double ThreadCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) * 1e-6;
}

void BM_GrabCentreModes(benchmark::State& state) {
  auto visible = MakeEstimator("visible");
  auto fitted = MakeEstimator("fitted");
  const BenchPiece piece =
      PieceOf(static_cast<int>(state.range(1)), -static_cast<double>(visible->base_height_));
  const auto source = MakeSource(*visible, piece.shape, state.range(0));
  visible->grab_class_index_ = piece.class_index;
  fitted->grab_class_index_ = piece.class_index;
  double visible_ms = 0.0;
  double fitted_ms = 0.0;
  bool ok = true;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    GrabPoseEstimate::CloudPtr a(new GrabPoseEstimate::Cloud(*source));
    GrabPoseEstimate::CloudPtr b(new GrabPoseEstimate::Cloud(*source));
    double start = ThreadCpuMs();
    ok = visible->GetInitialGrabPose(a) == GrabPoseEstimate::kSuccess && ok;
    visible_ms += ThreadCpuMs() - start;
    start = ThreadCpuMs();
    ok = fitted->GetInitialGrabPose(b) == GrabPoseEstimate::kSuccess && ok;
    fitted_ms += ThreadCpuMs() - start;
  }
  if (!ok) {
    state.SkipWithError("estimate did not succeed");
    return;
  }
  using benchmark::Counter;
  const auto avg = Counter::kAvgIterations;
  state.counters["points"] = static_cast<double>(source->size());
  state.counters["visible_ms"] = Counter(visible_ms, avg);
  state.counters["fitted_ms"] = Counter(fitted_ms, avg);
  state.counters["extra_ms"] = Counter(fitted_ms - visible_ms, avg);
  // Whether the fit was used, not only tried: a fall-back costs the same.
  state.counters["fitted_used"] =
      (fitted->grab_tcp_ - visible->grab_tcp_).norm() > 1e-4F ? 1.0 : 0.0;
}

BENCHMARK(BM_GrabCentreModes)
    ->ArgNames({"points", "piece"})
    ->ArgsProduct({{2000, 10000, 50000}, {0, 1, 2}})
    ->Unit(benchmark::kMillisecond);

// Centre of PCL's cylinder: the point of its axis halfway along the inliers.
bool SacCylinderCentre(const GrabPoseEstimate::CloudPtr& cloud, Eigen::Vector3f& centre) {
  pcl::PointCloud<pcl::Normal>::Ptr normals(new pcl::PointCloud<pcl::Normal>);
  pcl::NormalEstimation<pcl::PointXYZ, pcl::Normal> ne;
  ne.setSearchMethod(
      pcl::search::KdTree<pcl::PointXYZ>::Ptr(new pcl::search::KdTree<pcl::PointXYZ>));
  ne.setInputCloud(cloud);
  ne.setKSearch(20);
  ne.compute(*normals);
  pcl::SACSegmentationFromNormals<pcl::PointXYZ, pcl::Normal> seg;
  seg.setOptimizeCoefficients(true);
  seg.setModelType(pcl::SACMODEL_CYLINDER);
  seg.setMethodType(pcl::SAC_RANSAC);
  seg.setNormalDistanceWeight(0.1);
  seg.setMaxIterations(1000);
  seg.setDistanceThreshold(0.002);
  seg.setRadiusLimits(0.004, 0.15);
  seg.setInputCloud(cloud);
  seg.setInputNormals(normals);
  pcl::PointIndices inliers;
  pcl::ModelCoefficients coefficients;
  seg.segment(inliers, coefficients);
  if (coefficients.values.size() != 7 || inliers.indices.empty()) {
    return false;
  }
  const Eigen::Vector3f p0(coefficients.values[0], coefficients.values[1], coefficients.values[2]);
  const Eigen::Vector3f d =
      Eigen::Vector3f(coefficients.values[3], coefficients.values[4], coefficients.values[5])
          .normalized();
  float lo = std::numeric_limits<float>::max();
  float hi = -lo;
  for (const int i : inliers.indices) {
    const float t = (cloud->points[static_cast<std::size_t>(i)].getVector3fMap() - p0).dot(d);
    lo = std::min(lo, t);
    hi = std::max(hi, t);
  }
  centre = p0 + 0.5F * (lo + hi) * d;
  return true;
}

void BM_CylinderFit(benchmark::State& state) {
  auto est = MakeEstimator("fitted");
  const BenchPiece piece = PieceOf(0, -static_cast<double>(est->base_height_));
  GrabPoseEstimate::CloudPtr cloud = MakeSource(*est, piece.shape, state.range(0));
  // Fit what the estimator fits: the conditioned cloud and its main axis.
  est->PclProcessFunc(cloud, cloud);
  est->PCAFunc(cloud);
  const Eigen::Vector3f axis = est->pca_eigen_vectors_.col(0);
  const bool sac = state.range(1) == 1;
  Eigen::Vector3f centre = Eigen::Vector3f::Zero();
  bool ok = true;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    if (sac) {
      ok = SacCylinderCentre(cloud, centre) && ok;
    } else {
      const moorwick::CylinderFit fit = moorwick::FitCylinderAcrossAxis(*cloud, axis);
      ok = fit.ok && ok;
      centre = fit.centre;
    }
    benchmark::DoNotOptimize(centre);
  }
  if (!ok) {
    state.SkipWithError("fit failed");
    return;
  }
  state.counters["points"] = static_cast<double>(cloud->size());
  state.counters["err_mm"] =
      1000.0 * (centre.head<2>().cast<double>() - piece.shape.Center().head<2>()).norm();
}

BENCHMARK(BM_CylinderFit)
    ->ArgNames({"points", "sac"})
    ->ArgsProduct({{2000, 10000, 50000}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
