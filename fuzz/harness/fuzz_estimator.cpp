// The grab pose estimator on arbitrary clouds: empty, one point repeated,
// NaN/Inf, huge coordinates, far outliers that overflow the voxel grid, and
// (optionally) the cloud-processing values a configuration file may carry.
#include <fuzzer/FuzzedDataProvider.h>
#include <yaml-cpp/yaml.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "fuzz_support.hpp"
#include "moorwick_arm_trash_detect/core/grid_neighbour_search.hpp"
#include "moorwick_arm_trash_detect/core/statistical_outlier_removal.hpp"
#include "moorwick_arm_trash_detect/core/trash_pose_estimate.hpp"
#include "moorwick_test/brute_force_knn.hpp"

#ifndef MOORWICK_CONFIG_DIR
#error "MOORWICK_CONFIG_DIR must name the repository's config folder"
#endif

namespace {

using Cloud = moorwick::GrabPoseEstimate::Cloud;

constexpr std::size_t kMaxPoints = 1600;  // past 1000 the voxel grid runs
constexpr std::size_t kMaxCheckedPoints = 600;

std::unique_ptr<moorwick::GrabPoseEstimate> g_prototype;

// Points around a centre the arm can reach, in a box of the given extents;
// each point costs three bytes of input.
void AddPiece(FuzzedDataProvider& in, Cloud& cloud, std::size_t count) {
  const float cx = in.ConsumeFloatingPointInRange(-0.9F, 0.2F);
  const float cy = in.ConsumeFloatingPointInRange(-0.6F, 0.6F);
  const float cz = in.ConsumeFloatingPointInRange(-0.2F, 0.2F);
  const float ex = in.ConsumeFloatingPointInRange(0.0F, 0.3F);
  const float ey = in.ConsumeFloatingPointInRange(0.0F, 0.3F);
  const float ez = in.ConsumeFloatingPointInRange(0.0F, 0.3F);
  for (std::size_t i = 0; i < count && in.remaining_bytes() >= 3; ++i) {
    const auto bx = in.ConsumeIntegral<std::uint8_t>();
    const auto by = in.ConsumeIntegral<std::uint8_t>();
    const auto bz = in.ConsumeIntegral<std::uint8_t>();
    cloud.push_back(pcl::PointXYZ(cx + ex * (bx / 255.0F - 0.5F), cy + ey * (by / 255.0F - 0.5F),
                                  cz + ez * (bz / 255.0F - 0.5F)));
  }
}

Cloud::Ptr MakeCloud(FuzzedDataProvider& in) {
  Cloud::Ptr cloud(new Cloud);
  const auto count = in.ConsumeIntegralInRange<std::size_t>(0, kMaxPoints);
  switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0:  // a piece
      AddPiece(in, *cloud, count);
      break;
    case 1: {  // one point repeated
      pcl::PointXYZ p(in.ConsumeFloatingPointInRange(-1.0F, 1.0F),
                      in.ConsumeFloatingPointInRange(-1.0F, 1.0F),
                      in.ConsumeFloatingPointInRange(-1.0F, 1.0F));
      if (in.ConsumeBool()) {
        p.x = moorwick_fuzz::AwkwardFloat(in);
      }
      cloud->points.assign(count, p);
      break;
    }
    default:  // raw floats anywhere
      for (std::size_t i = 0; i < count && in.remaining_bytes() >= 12; ++i) {
        cloud->push_back(pcl::PointXYZ{in.ConsumeFloatingPoint<float>(),
                                       in.ConsumeFloatingPoint<float>(),
                                       in.ConsumeFloatingPoint<float>()});
      }
      break;
  }
  // Far outliers and non-finite points at fuzzed positions.
  const int extra = in.ConsumeIntegralInRange(0, 6);
  for (int i = 0; i < extra; ++i) {
    pcl::PointXYZ p(-0.5F, 0.0F, -0.1F);
    float* field = in.ConsumeBool() ? &p.x : in.ConsumeBool() ? &p.y : &p.z;
    *field = moorwick_fuzz::AwkwardFloat(in);
    const std::size_t at = in.ConsumeIntegralInRange<std::size_t>(0, cloud->size());
    cloud->points.insert(cloud->points.begin() + static_cast<std::ptrdiff_t>(at), p);
  }
  cloud->width = static_cast<std::uint32_t>(cloud->size());
  cloud->height = 1;
  // The cut-out leaves is_dense at its default; a caller may also claim density wrongly.
  cloud->is_dense = in.ConsumeBool();
  return cloud;
}

// Cloud-processing values a configuration file may set: tiny or zero leaves,
// odd neighbour counts, minimum sizes.
void PerturbSettings(FuzzedDataProvider& in, moorwick::GrabPoseEstimate& est) {
  static const float kLeaves[] = {
      0.001F, 0.0F, -0.001F, 1e-9F, 1e-30F, 10.0F, std::numeric_limits<float>::quiet_NaN()};
  // The loader refuses neighbour counts below 1.
  static const int kMeanK[] = {50, 1, 2, 3, 999, 1000};
  static const std::uint32_t kMinSize[] = {34, 0, 1, 3, 1000000, 0xFFFFFFFFu};
  est.sor_leaf_size_ = in.PickValueInArray(kLeaves);
  est.sor2_meank_value_ = in.PickValueInArray(kMeanK);
  est.min_trash_cloud_size_ = in.PickValueInArray(kMinSize);
  est.is_on_floor_ = in.ConsumeBool();
  est.remove_cloud_angle_ = in.ConsumeBool() ? 15.0F : moorwick_fuzz::AwkwardFloat(in);
}

void CheckResult(int code, const moorwick::GrabPoseEstimate& est, const Cloud& cloud,
                 bool transparent) {
  using E = moorwick::GrabPoseEstimate;
  const bool known = code == E::kSuccess || code == E::kTooFewPoints ||
                     code == E::kOutOfWorkspace ||
                     (!transparent && code == E::kUnknownMainAxisType);
  FUZZ_CHECK(known, "result code %d", code);
  for (const auto& p : cloud.points) {
    FUZZ_CHECK(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z),
               "non-finite point left in the conditioned cloud");
  }
  if (code != E::kSuccess) {
    return;
  }
  const auto& pose = est.grab_pose_;
  FUZZ_CHECK(pose.position.allFinite(), "result 1 with position %g %g %g",
             static_cast<double>(pose.position.x()), static_cast<double>(pose.position.y()),
             static_cast<double>(pose.position.z()));
  FUZZ_CHECK(pose.orientation.coeffs().allFinite(), "result 1 with a non-finite orientation");
  FUZZ_CHECK(std::abs(pose.orientation.norm() - 1.0) < 1e-3, "orientation norm %g",
             pose.orientation.norm());
  FUZZ_CHECK(est.obb_pose_.position.allFinite() && est.obb_pose_.orientation.coeffs().allFinite(),
             "result 1 with a non-finite box pose");
  FUZZ_CHECK(cloud.size() >= 3, "result 1 from %zu points", cloud.size());
}

// The grid search's mean neighbour distances must be bit for bit those of a
// brute-force search with PCL's arithmetic, whatever the cloud.
void CheckMeanDistances(const Cloud& cloud, int mean_k) {
  const std::vector<float> got = moorwick::KnnMeanDistances(cloud, mean_k, 2);
  const std::vector<float> expected = moorwick_test::BruteForceMeanDistances(cloud, mean_k);
  FUZZ_CHECK(got.size() == cloud.size(), "%zu distances for %zu points", got.size(), cloud.size());
  for (std::size_t i = 0; i < cloud.size(); ++i) {
    FUZZ_CHECK(std::memcmp(&got[i], &expected[i], sizeof(float)) == 0,
               "point %zu of %zu: mean distance %.9g, brute force %.9g", i, cloud.size(),
               static_cast<double>(got[i]), static_cast<double>(expected[i]));
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  YAML::Node root =
      YAML::LoadFile(std::string(MOORWICK_CONFIG_DIR) + "/cam1_pose_estimate_config.yaml");
  root["debug_choice"]["folder_path"] = (moorwick_fuzz::Scratch() / "data").string() + "/";
  const auto path = moorwick_fuzz::Scratch() / "estimator.yaml";
  {
    std::ofstream out(path.string());
    out << root;
  }
  g_prototype = std::make_unique<moorwick::GrabPoseEstimate>(path.string());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  // A fresh copy each time: nothing carries over from the previous input.
  auto est = std::make_unique<moorwick::GrabPoseEstimate>(*g_prototype);
  const bool transparent = in.ConsumeBool();
  if (in.ConsumeIntegralInRange(0, 3) == 0) {
    PerturbSettings(in, *est);
  }
  const Cloud::Ptr cloud = MakeCloud(in);
  // The brute force grows with the square of the points: small clouds only.
  static const int kMeanK[] = {1, 8, 50};
  const int mean_k = in.PickValueInArray(kMeanK);
  if (cloud->size() <= kMaxCheckedPoints) {
    CheckMeanDistances(*cloud, mean_k);
  }
  const int code =
      transparent ? est->GetTransparentGrabPose(cloud) : est->GetInitialGrabPose(cloud);
  CheckResult(code, *est, *cloud, transparent);
  return 0;
}
