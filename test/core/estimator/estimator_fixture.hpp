// Builds estimators from the shipped camera file with per-test overrides,
// writing the file and the debug folders into a private temporary directory.
// est_ is one built from the file as shipped.
#pragma once

#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include <boost/filesystem.hpp>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "moorwick_arm_trash_detect/core/trash_pose_estimate.hpp"
#include "moorwick_sim/synthetic_cloud.hpp"

namespace moorwick_test {
using namespace moorwick_sim;  // the scene builders are this suite's vocabulary
using Cloud = moorwick::GrabPoseEstimate::Cloud;
using CloudPtr = moorwick::GrabPoseEstimate::CloudPtr;
using moorwick::GrabPoseEstimate;
constexpr float kFloor = -0.176F;  // the shipped base_height below the base

class EstimatorTest : public ::testing::Test {
protected:
  using Edit = std::function<void(YAML::Node&)>;

  void SetUp() override {
    dir_ = boost::filesystem::temp_directory_path() /
           boost::filesystem::unique_path("moorwick_estimator_%%%%-%%%%-%%%%");
    boost::filesystem::create_directories(dir_);
    est_ = Make();
  }
  void TearDown() override {
    boost::system::error_code ignored;
    boost::filesystem::remove_all(dir_, ignored);
  }

  // From the shipped file with its debug folder moved into the temporary
  // directory, changed by `edit`.
  std::unique_ptr<GrabPoseEstimate> Make(const Edit& edit = {}) {
    YAML::Node root =
        YAML::LoadFile(std::string(MOORWICK_SOURCE_CONFIG_DIR) + "/cam1_pose_estimate_config.yaml");
    root["debug_choice"]["folder_path"] = (dir_ / "data").string() + "/";
    if (edit)
      edit(root);
    const std::string path = (dir_ / ("config_" + std::to_string(++files_) + ".yaml")).string();
    std::ofstream(path) << root;
    return std::make_unique<GrabPoseEstimate>(path);
  }

  static PieceCloudOptions OptionsFor(const GrabPoseEstimate& est) {
    PieceCloudOptions o;
    o.camera_position = est.camera_extrinsic_.block<3, 1>(0, 3).cast<double>();
    o.floor_z = -static_cast<double>(est.base_height_);
    return o;
  }

  boost::filesystem::path dir_;
  int files_{0};
  std::unique_ptr<GrabPoseEstimate> est_;
};

inline Eigen::Vector3f Translation(const Eigen::Matrix4f& m) {
  return m.block<3, 1>(0, 3);
}
inline Eigen::Matrix3f Rotation(const Eigen::Matrix4f& m) {
  return m.block<3, 3>(0, 0);
}

inline Eigen::Vector3d ToD(const Eigen::Vector3f& v) {
  return v.cast<double>();
}

}  // namespace moorwick_test
