// Grab pose estimation for one piece of litter: cloud conditioning, shape
// analysis, reachability and grab pose synthesis, all in the arm base frame.
// ROS-free; the camera node owns one estimator and reads its public fields.
#pragma once

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <Eigen/Core>
#include <Eigen/Geometry>
#include <cstdint>
#include <string>

#include "moorwick_arm_trash_detect/core/fitted_centre.hpp"

namespace moorwick {

// Grab pose of the TCP (or a box pose relative to it): position in metres,
// orientation as a double-precision quaternion.
struct GrabPose {
  Eigen::Vector3f position{Eigen::Vector3f::Zero()};
  Eigen::Quaterniond orientation{Eigen::Quaterniond::Identity()};

  EIGEN_MAKE_ALIGNED_OPERATOR_NEW
};

// CPU time (calling thread) of the stages of the last estimate, milliseconds;
// for profiling only.
struct EstimateStageTimings {
  double voxel_grid_ms{0.0};
  double pass_through_ms{0.0};
  double outlier_removal_ms{0.0};
  double pca_ms{0.0};
  double obb_ms{0.0};
  double aabb_ms{0.0};
  double min_area_rect_ms{0.0};
};

// Public state, read by the camera node after each estimate; members are
// grouped by meaning, not packed.
class GrabPoseEstimate {  // NOLINT(clang-analyzer-optin.performance.Padding)
public:
  using Cloud = pcl::PointCloud<pcl::PointXYZ>;
  using CloudPtr = Cloud::Ptr;

  // Result codes of the two estimate operations.
  static constexpr int kSuccess = 1;
  static constexpr int kTooFewPoints = 11;
  static constexpr int kOutOfWorkspace = 41;
  static constexpr int kUnknownMainAxisType = 1111;

  // Loads the estimator file at `config_path` (LoadEstimatorConfig) and creates
  // the debug data folders. Throws ConfigError naming the file and key on a
  // missing file, missing key or bad value, and boost::filesystem::filesystem_error
  // when a folder cannot be created.
  explicit GrabPoseEstimate(const std::string& config_path);

  // Grab pose of an ordinary piece. Conditions `cloud` in place. Returns 1, 11
  // (too few usable points), 41 (out of reach) or 1111 (no main-axis type).
  int GetInitialGrabPose(const CloudPtr& cloud);
  // The same estimate through PCL's own outlier removal and box estimation:
  // the reference the faster steps are checked and measured against.
  int GetInitialGrabPoseReference(const CloudPtr& cloud);
  // Grab pose of a transparent piece (horizontal grab behind the visible
  // surface). Conditions `cloud` in place. Returns 1, 11 or 41.
  int GetTransparentGrabPose(const CloudPtr& cloud);

  // Thins the cloud, records its heights, cuts the floor (and, for tall pieces,
  // a wedge of bottom points seen past the piece) and removes outliers. Callers
  // pass the same cloud as input and output. Non-finite points are dropped first.
  void PclProcessFunc(const CloudPtr& input, const CloudPtr& output);
  void RemoveBottomCloudByAngle(const CloudPtr& cloud, float lowest_z, float angle_deg);
  // Point with the smallest horizontal distance to the camera; (0, 0, 0) when empty.
  pcl::PointXYZ GetNearestPointToCamera(const CloudPtr& cloud) const;
  // Keeps the points q with normal . (q - point) <= 0.
  void FilterCloudByPlane(const CloudPtr& cloud, const Eigen::Vector3f& point,
                          const Eigen::Vector3f& normal);

  // Shape analysis of a conditioned cloud; none of them changes the cloud.
  // PCAFunc on fewer than 3 points logs a warning and leaves zero extents.
  void PCAFunc(const CloudPtr& cloud);
  void OBBFunc(const CloudPtr& cloud);
  void AABBFunc(const CloudPtr& cloud);
  // OBB and AABB together, equal to what OBBFunc and AABBFunc compute, in a
  // few passes over the cloud.
  void BoxesFunc(const CloudPtr& cloud);
  void MinAreaRectFunc(const CloudPtr& cloud);
  // Classifies `axis` as lying (1), standing (2), slanted low (3) or steep (4)
  // and turns it to the canonical sign in place.
  void GetMainaxisType(Eigen::Vector3f& axis, int& type);
  // Box pose relative to the grab pose.
  void GetObbPose(GrabPose& obb_pose, const GrabPose& grab_pose,
                  const Eigen::Vector3f& obb_position, const Eigen::Matrix3f& obb_rotation);
  // Width of the cloud across the camera's horizontal line of sight.
  float GetTrashProjectWith(const CloudPtr& cloud);

  // Whether the arm can reach `tcp`; writes grab_distance_ and grab_angle_.
  bool IsInWorkspace(const Eigen::Vector3f& tcp);

  // Moves `tcp` deeper into the piece along the camera's line of sight.
  void ExtendGrabTCP(Eigen::Vector3f& tcp);
  // Whether the grab of a lying piece is extended: longest PCA extent above
  // 0.1 m and the piece taller than extend_height_threshold_.
  bool ExtendsLyingGrab() const;
  void AssignGrabPose(const Eigen::Vector3f& tcp, const Eigen::Quaterniond& q, GrabPose& pose);

  // --- state, read by the camera node after each estimate ---
  // Fields named after a key of the estimator file start empty: the file must
  // supply every one of them (the extrinsic alternatives excepted).
  int trash_type_{0};
  float base_height_{};
  float finger2tcp_{};
  Eigen::Matrix4f camera_extrinsic_{Eigen::Matrix4f::Identity()};
  Eigen::Vector3f Txyz_{Eigen::Vector3f::Zero()};
  Eigen::Vector3f Rxyz_{Eigen::Vector3f::Zero()};
  bool is_use_euler_{false};
  bool is_eye_on_hand_{false};
  Eigen::Matrix4f base2flange_{Eigen::Matrix4f::Identity()};
  Eigen::Matrix4f flange2camera_{Eigen::Matrix4f::Identity()};
  Eigen::Vector3f base2flange_T_{Eigen::Vector3f::Zero()};
  Eigen::Vector3f base2flange_euler_{Eigen::Vector3f::Zero()};
  float fx_{};
  float fy_{};
  float cx_{};
  float cy_{};
  bool is_grab_slanted_{};
  bool enable_process_cloud_{};
  bool enable_pcacenter_extend_{};
  bool is_on_floor_{};
  std::string trash_code_{};
  std::string trash_test_pose_{};
  std::string file_name_suffix_{};
  std::string data_folder_;
  std::string data_file_prefix_;
  std::string missing_detect_prefix_;
  float extend_length_{0.0F};
  float extra_length_ratio_{};
  float trash_lowest_z_{0.0F};
  float trash_highest_z_{0.0F};
  float trash_height_{0.0F};
  float processed_trash_lowest_z_{0.0F};
  float processed_trash_highest_z_{0.0F};
  float processed_trash_height_{0.0F};
  float tcp_ajust_value_{};
  float tcp_ajust_threshold_{};
  float extend_height_threshold_{};
  float extend_lenth_threshold_{};
  float extend_length_max_{};
  float transparent_height_ratio_{};
  float sor_leaf_size_{};
  int sor2_meank_value_{};
  float pass_ajust_value_{0.003F};
  float pass_ajust_value_1_{};
  float pass_ajust_value_2_{};
  float pass_ajust_value_3_{};
  std::uint32_t min_trash_cloud_size_{};
  float remove_cloud_angle_{};
  float remove_bottom_height_threshold_1_{};
  float remove_bottom_height_threshold_2_{};
  float remove_bottom_height_threshold_3_{};
  float grab_distance_{0.0F};
  float grab_angle_{0.0F};
  float workspace_r_min_{};
  float workspace_r_max_{};
  float arm_dh_d1_{};
  float arm_dh_a1_{};
  float workspace_angle_min_{};
  float workspace_angle_max_{};
  float grab_vertical_distance_min_{};
  float grab_vertical_distance_max_{};
  float grab_vertical_angle_min_{};
  float grab_vertical_angle_max_{};
  float grab_parallel_distance_min_{};
  float grab_parallel_distance_max_{};
  float grab_parallel_angle_min_{};
  float grab_parallel_angle_max_{};
  int main_axis_type_{1};
  Eigen::Matrix3f pca_eigen_vectors_{Eigen::Matrix3f::Identity()};
  Eigen::Vector4f pca_center_{0.0F, 0.0F, 0.0F, 1.0F};
  Eigen::Vector3f pca_lengths_{Eigen::Vector3f::Zero()};
  Eigen::Vector3f grab_mainaxis_{Eigen::Vector3f::Zero()};
  Eigen::Vector3f grab_tcp_{Eigen::Vector3f::Zero()};
  GrabPose grab_pose_;
  GrabPose obb_pose_;
  Eigen::Matrix3f obb_rotation_{Eigen::Matrix3f::Identity()};
  Eigen::Vector3f obb_position_{Eigen::Vector3f::Zero()};
  Eigen::Quaternionf obb_quaternion_{Eigen::Quaternionf::Identity()};
  pcl::PointXYZ min_point_obb_{0.0F, 0.0F, 0.0F};
  pcl::PointXYZ max_point_obb_{0.0F, 0.0F, 0.0F};
  Eigen::Vector3f aabb_position_{Eigen::Vector3f::Zero()};
  pcl::PointXYZ min_point_aabb_{0.0F, 0.0F, 0.0F};
  pcl::PointXYZ max_point_aabb_{0.0F, 0.0F, 0.0F};
  Eigen::Matrix<float, 4, 2> rect_points_{Eigen::Matrix<float, 4, 2>::Zero()};
  Eigen::Vector2f rect_main_direction_{Eigen::Vector2f::Zero()};

  // Stage CPU times of the last PclProcessFunc and shape analysis.
  EstimateStageTimings stage_timings_;
  // True runs PCL's StatisticalOutlierRemoval and MomentOfInertiaEstimation
  // instead of the equivalent faster steps (the box stage is then timed in
  // obb_ms, with aabb_ms 0, when false).
  bool use_pcl_reference_{false};
  // Threads for the neighbour search of the outlier removal.
  int estimate_threads_{2};
  // Where the grab position comes from (grab_center_mode; visible by default).
  GrabCenterMode grab_center_mode_{GrabCenterMode::kVisible};
  // Model class index of the piece being estimated, -1 when unknown: tells
  // the fitted centre a can from a carton.
  int grab_class_index_{-1};
  // Focal length (pixels) of the images the cloud was cut from; 0 takes fx_.
  // The fitted centre scales the far edge's pixel footprint with it.
  float camera_focal_px_{0.0F};

  EIGEN_MAKE_ALIGNED_OPERATOR_NEW

private:
  // Steps shared by both estimate operations up to the first workspace check;
  // returns 0 to go on, otherwise the result code.
  int ConditionAndMeasure(const CloudPtr& cloud);
  Eigen::Vector2f CameraXY() const;
};

}  // namespace moorwick
