// The node assembly: one ROS node and one CameraDetectionNode per camera, the
// executor that serves them, and the detect service.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <moorwick_protocol/msg/trash_info.hpp>
#include <moorwick_protocol/srv/arm_trash_pose.hpp>
#include <rclcpp/rclcpp.hpp>

#include "moorwick_arm_trash_detect/core/records.hpp"
#include "moorwick_arm_trash_detect/node/camera_detection_node.hpp"

namespace moorwick {

// Outcome codes of the detect service, with the texts that go with them.
struct DetectErrorCode {
  std::int32_t value;
  const char* text;
};
inline constexpr DetectErrorCode kErrorNone{102200000, "NONE: 无错误"};
inline constexpr DetectErrorCode kErrorTrashPoseListEmpty{102200003, "TRASH_POSE_LIST_EMPTY"};
inline constexpr DetectErrorCode kErrorNoTargetTrashChoosed{102200010, "NO_TARGET_TRASH_CHOOSED"};

// The response fields the service writes, in the node's own types.
struct DetectAnswer {
  TrashInfo trash_info;
  std::int32_t error_code{0};
  std::string error_msg;

  void Set(const DetectErrorCode& code) {
    error_code = code.value;
    error_msg = code.text;
  }
};

struct DetectSettings {
  float max_grab_radius{1.0F};
  float aim_grab_radius{0.05F};
  std::int32_t detect_timeout_ms{600};
};

// Step of the service's wait on a camera: while the done flag is down, two
// waiting lines are logged per step and the time-out and shutdown are checked.
inline constexpr std::chrono::milliseconds kDetectWaitStep{10};

// Waits until `camera` reports its frame (true), its `timeout_ms` passes or ROS
// shuts down (false; the done flag is then lowered).
bool WaitForCamera(CameraDetectionNode& camera, std::int32_t timeout_ms,
                   std::chrono::milliseconds step = kDetectWaitStep);

TrashInfo FromMsg(const moorwick_protocol::msg::TrashInfo& msg);
moorwick_protocol::msg::TrashInfo ToMsg(const TrashInfo& info);

// Arms every camera, waits for each in turn and chooses the piece to grab.
// `answer` keeps its values where no camera sets them.
void RunDetect(const std::vector<std::shared_ptr<CameraDetectionNode>>& cameras,
               const DetectSettings& settings, std::int32_t cmd, std::uint8_t cam_choice,
               const TrashInfo& aim_trash_info, DetectAnswer& answer);

class DetectionNode {
public:
  using ArmTrashPose = moorwick_protocol::srv::ArmTrashPose;

  explicit DetectionNode(const std::string& config_path);

  void DetectCallback(const std::shared_ptr<ArmTrashPose::Request>& request,
                      const std::shared_ptr<ArmTrashPose::Response>& response);

  // Radius choice when `aim_trash_info` is null (distance of arm_pose to the
  // arm base), aim choice otherwise (distance of map_pose to the aim's
  // map_pose). Only pieces strictly nearer than `radius` are taken; returns
  // whether one was.
  static bool ChooseTargetTrashInfo(const std::vector<TrashInfo>& trash_infos,
                                    const TrashInfo* aim_trash_info, float radius,
                                    TrashInfo& trash_info);

  // Body of the thread that serves every node.
  void ExecutorThread();

  std::size_t cam_num_{0};
  float max_grab_radius{1.0F};
  float aim_grab_radius{0.05F};
  std::int32_t detect_timeout_ms{600};
  std::vector<std::shared_ptr<CameraDetectionNode>> cam_detect_nodes_;
  std::vector<std::shared_ptr<rclcpp::Node>> cam_ros_nodes_;
  std::shared_ptr<rclcpp::Node> node_;
  std::shared_ptr<rclcpp::executors::MultiThreadedExecutor> executor_;
  std::shared_ptr<rclcpp::Service<ArmTrashPose>> detect_service_;
  std::shared_ptr<rclcpp::CallbackGroup> callback_group_;
};

}  // namespace moorwick
