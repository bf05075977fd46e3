#include "moorwick_arm_trash_detect/core/estimator_config.hpp"
#include "moorwick_arm_trash_detect/core/fitted_centre.hpp"

#include <Eigen/Geometry>
#include <boost/filesystem.hpp>
#include <vector>

#include "moorwick_arm_trash_detect/core/config_reader.hpp"
#include "moorwick_arm_trash_detect/core/trash_pose_estimate.hpp"
#include "moorwick_arm_trash_detect/logging/logger.hpp"
#include "moorwick_arm_trash_detect/logging/matrix_log.hpp"

namespace moorwick {
namespace {

constexpr double kPi = 3.141592653589793;
// Neighbours of the outlier filter: far more than its statistics need; a count
// near a cloud's size makes the filter quadratic in the points.
constexpr int kMaxMeanK = 1000;

Eigen::Matrix4f Homogeneous(const Eigen::Matrix3f& r, const Eigen::Vector3f& t) {
  Eigen::Matrix4f m = Eigen::Matrix4f::Identity();
  m.block<3, 3>(0, 0) = r;
  m.block<3, 1>(0, 3) = t;
  return m;
}

Eigen::Vector3f Triple(const YAML::Node& map, const char* key, const std::string& path) {
  const std::vector<float> v = ReadConfigSequence<float>(map, key, 3, path, "camera_extrinsic");
  return {v[0], v[1], v[2]};
}

// A 4x4 matrix given as 16 numbers, row by row.
Eigen::Matrix4f RowMajor16(const YAML::Node& map, const char* key, const std::string& path) {
  const std::vector<float> v = ReadConfigSequence<float>(map, key, 16, path, "camera_extrinsic");
  Eigen::Matrix4f m;
  for (Eigen::Index r = 0; r < 4; ++r) {
    for (Eigen::Index c = 0; c < 4; ++c) {
      m(r, c) = v[static_cast<std::size_t>(4 * r + c)];
    }
  }
  return m;
}

void LoadExtrinsic(const YAML::Node& root, const std::string& path, GrabPoseEstimate& e) {
  const YAML::Node ext = ConfigSection(root, "camera_extrinsic", path);
  e.is_eye_on_hand_ = ReadConfig<bool>(ext, "is_eye_on_hand", path, "camera_extrinsic");
  e.is_use_euler_ = ReadConfig<bool>(ext, "is_use_euler", path, "camera_extrinsic");
  if (e.is_eye_on_hand_) {
    e.base2flange_euler_ = Triple(ext, "base2flange_euler", path);
    e.base2flange_T_ = Triple(ext, "base2flange_T", path);
    e.flange2camera_ =
        e.is_use_euler_
            ? Homogeneous(EulerDegreesToRotation(Triple(ext, "flange2camera_euler", path)),
                          Triple(ext, "flange2camera_T", path))
            : RowMajor16(ext, "flange2camera", path);
    // The flange pose always comes as Euler angles, whatever is_use_euler says.
    e.base2flange_ = Homogeneous(EulerDegreesToRotation(e.base2flange_euler_), e.base2flange_T_);
    e.camera_extrinsic_ = e.base2flange_ * e.flange2camera_;
  } else if (e.is_use_euler_) {
    e.Rxyz_ = Triple(ext, "Rxyz", path);
    e.Txyz_ = Triple(ext, "Txyz", path);
    e.camera_extrinsic_ = Homogeneous(EulerDegreesToRotation(e.Rxyz_), e.Txyz_);
  } else {
    e.camera_extrinsic_ = RowMajor16(ext, "data", path);
  }
  moorwickLogDebugMatrix4f("相机外参齐次变换矩阵", e.camera_extrinsic_);
}

void LoadGrabParameters(const YAML::Node& root, const std::string& path, GrabPoseEstimate& e) {
  const char* section = "grab_pose_estimate";
  const YAML::Node g = ConfigSection(root, section, path);
  const auto f = [&](const char* key) { return ReadConfig<float>(g, key, path, section); };
  e.base_height_ = f("base_height");
  e.finger2tcp_ = f("finger2tcp");
  e.extra_length_ratio_ = f("extra_length_ratio");
  e.workspace_r_min_ = f("workspace_r_min");
  e.workspace_r_max_ = f("workspace_r_max");
  e.arm_dh_d1_ = f("arm_dh_d1");
  e.arm_dh_a1_ = f("arm_dh_a1");
  e.workspace_angle_min_ = f("workspace_angle_min");
  e.workspace_angle_max_ = f("workspace_angle_max");
  e.grab_vertical_distance_min_ = f("grab_vertical_distance_min");
  e.grab_vertical_distance_max_ = f("grab_vertical_distance_max");
  e.grab_vertical_angle_min_ = f("grab_vertical_angle_min");
  e.grab_vertical_angle_max_ = f("grab_vertical_angle_max");
  e.grab_parallel_distance_min_ = f("grab_parallel_distance_min");
  e.grab_parallel_distance_max_ = f("grab_parallel_distance_max");
  e.grab_parallel_angle_min_ = f("grab_parallel_angle_min");
  e.grab_parallel_angle_max_ = f("grab_parallel_angle_max");
  e.sor_leaf_size_ = f("sor_leaf_size");
  e.sor2_meank_value_ = ReadConfig<int>(g, "sor2_meank_value", path, section);
  // The outlier filter needs a neighbour to measure, and PCL asks for one more
  // than the count (int): it throws on 0 or less and on the int maximum.
  if (e.sor2_meank_value_ < 1 || e.sor2_meank_value_ > kMaxMeanK) {
    throw ConfigError(path, "grab_pose_estimate.sor2_meank_value",
                      "must be between 1 and " + std::to_string(kMaxMeanK));
  }
  e.pass_ajust_value_1_ = f("pass_ajust_value_1");
  e.pass_ajust_value_2_ = f("pass_ajust_value_2");
  e.pass_ajust_value_3_ = f("pass_ajust_value_3");
  e.min_trash_cloud_size_ = ReadConfig<unsigned int>(g, "min_trash_cloud_size", path, section);
  e.tcp_ajust_value_ = f("tcp_ajust_value");
  e.tcp_ajust_threshold_ = f("tcp_ajust_threshold");
  e.extend_height_threshold_ = f("extend_height_threshold");
  e.extend_lenth_threshold_ = f("extend_lenth_threshold");
  e.extend_length_max_ = f("extend_length_max");
  e.transparent_height_ratio_ = f("transparent_height_ratio");
  e.remove_cloud_angle_ = f("remove_cloud_angle");
  e.remove_bottom_height_threshold_1_ = f("remove_bottom_height_threshold_1");
  e.remove_bottom_height_threshold_2_ = f("remove_bottom_height_threshold_2");
  e.remove_bottom_height_threshold_3_ = f("remove_bottom_height_threshold_3");
  e.grab_center_mode_ = ReadGrabCenterMode(g, path);
  LOG_DEBUG("grab_center_mode: {}", GrabCenterModeName(e.grab_center_mode_));
}

void LoadDebugChoice(const YAML::Node& root, const std::string& path, GrabPoseEstimate& e) {
  const char* section = "debug_choice";
  const YAML::Node d = ConfigSection(root, section, path);
  const auto flag = [&](const char* key) { return ReadConfig<bool>(d, key, path, section); };
  const auto text = [&](const char* key) { return ReadConfig<std::string>(d, key, path, section); };
  e.is_grab_slanted_ = flag("is_grab_slanted");
  e.enable_process_cloud_ = flag("enable_process_cloud");
  e.enable_pcacenter_extend_ = flag("enable_pcacenter_extend");
  e.is_on_floor_ = flag("is_on_floor");
  e.trash_code_ = text("trash_code");
  e.trash_test_pose_ = text("trash_test_pose");
  e.file_name_suffix_ = text("file_name_suffix");
  const std::string folder_path = text("folder_path");

  // folder_path ends with its own separator: the parts are joined without one.
  e.data_folder_ = folder_path + e.trash_code_;
  const std::string missing_folder = folder_path + "mising_detect/" + e.trash_code_;
  boost::filesystem::create_directories(e.data_folder_);
  boost::filesystem::create_directories(missing_folder);
  const std::string file_name = e.trash_code_ + e.trash_test_pose_ + e.file_name_suffix_;
  e.data_file_prefix_ = e.data_folder_ + "/" + file_name;
  e.missing_detect_prefix_ = missing_folder + "/" + file_name;
}

}  // namespace

Eigen::Matrix3f EulerDegreesToRotation(const Eigen::Vector3f& degrees) {
  const double rx = static_cast<double>(degrees.x()) * kPi / 180.0;
  const double ry = static_cast<double>(degrees.y()) * kPi / 180.0;
  const double rz = static_cast<double>(degrees.z()) * kPi / 180.0;
  const Eigen::Matrix3d r = (Eigen::AngleAxisd(rz, Eigen::Vector3d::UnitZ()) *
                             Eigen::AngleAxisd(ry, Eigen::Vector3d::UnitY()) *
                             Eigen::AngleAxisd(rx, Eigen::Vector3d::UnitX()))
                                .toRotationMatrix();
  return r.cast<float>();
}

void LoadEstimatorConfig(const std::string& path, GrabPoseEstimate& estimator) {
  const YAML::Node root = LoadConfigFile(path);
  LoadExtrinsic(root, path, estimator);

  const YAML::Node intr = ConfigSection(root, "camera_intrinsic", path);
  const auto f = [&](const char* key) {
    return ReadConfig<float>(intr, key, path, "camera_intrinsic");
  };
  estimator.fx_ = f("fx");
  estimator.fy_ = f("fy");
  estimator.cx_ = f("cx");
  estimator.cy_ = f("cy");
  LOG_DEBUG("相机内参: fx: {}, fy: {}, cx: {}, cy: {}", estimator.fx_, estimator.fy_, estimator.cx_,
            estimator.cy_);

  LoadGrabParameters(root, path, estimator);
  LoadDebugChoice(root, path, estimator);
}

}  // namespace moorwick
