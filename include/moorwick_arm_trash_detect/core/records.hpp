// Plain records shared by the pipeline, the estimator's callers and the service.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <type_traits>

namespace moorwick {

// Same field layout as geometry_msgs/Pose: position then orientation, float64.
struct PoseRecord {
  double px{0.0}, py{0.0}, pz{0.0};
  double qx{0.0}, qy{0.0}, qz{0.0}, qw{1.0};
};

// One piece's result. Its layout equals the trash record of the ArmTrashPose
// service, so records cross the service boundary as a whole.
struct TrashInfo {
  std::uint8_t class_id{0};  // model class index (0-based); class table id = class_id + 1
  std::uint8_t reserved_1{0};
  std::uint8_t main_axis_type{0};
  std::uint8_t reserved_3{0};
  PoseRecord map_pose;
  PoseRecord arm_pose;
  PoseRecord obb_pose;
  double obb_size[3]{0.0, 0.0, 0.0};
};
static_assert(std::is_trivially_copyable_v<TrashInfo>, "TrashInfo is copied whole");
static_assert(sizeof(TrashInfo) == 8 + 3 * 7 * 8 + 3 * 8, "TrashInfo layout");

// One detection box kept for the position checks.
struct BoxInfo {
  std::int32_t x1{0};
  std::int32_t y1{0};
  std::int32_t x2{0};
  std::int32_t y2{0};
  float score{0.0F};
  cv::Mat mask;
  std::int32_t class_id{0};
};

// Pinhole intrinsics of one camera.
struct CameraParams {
  float fx{0.0F};
  float fy{0.0F};
  float cx{0.0F};
  float cy{0.0F};
  std::uint32_t width{0};
  std::uint32_t height{0};
};

}  // namespace moorwick
