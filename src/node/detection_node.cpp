#include "moorwick_arm_trash_detect/node/detection_node.hpp"

#include <chrono>
#include <cmath>
#include <functional>

#include "moorwick_arm_trash_detect/core/config_reader.hpp"
#include "moorwick_arm_trash_detect/logging/logger.hpp"
#include "moorwick_arm_trash_detect/node/pose_conversions.hpp"

namespace moorwick {

namespace {

constexpr char kMainSection[] = "moorwick_arm_trash_detect";

std::int64_t ElapsedMs(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               since)
      .count();
}

}  // namespace

bool WaitForCamera(CameraDetectionNode& camera, std::int32_t timeout_ms,
                   std::chrono::milliseconds step) {
  const auto wait_start = std::chrono::steady_clock::now();
  while (!camera.IsDetectDone()) {
    // A shutting-down process must not sit out the time-out for a frame that
    // will never be processed.
    if (!rclcpp::ok()) {
      camera.ClearDetectDone();
      return false;
    }
    LOG_INFO(Styled(kDim, "is_camera_{}_detect_done_: {}"), camera.cam_id, false);
    LOG_INFO(Styled(kDim, "waiting detect to complete................"));
    if (ElapsedMs(wait_start) > timeout_ms) {
      LOG_ERROR("cam_{}: trash pose detect process timeout", camera.cam_id);
      camera.ClearDetectDone();
      return false;
    }
    // Ends as soon as the image callback raises the flag; the step only paces
    // the waiting lines and how soon a shutdown is noticed.
    camera.WaitDetectDone(step);
  }
  return true;
}

TrashInfo FromMsg(const moorwick_protocol::msg::TrashInfo& msg) {
  TrashInfo info;
  info.class_id = msg.class_id;
  info.reserved_1 = msg.reserved_1;
  info.main_axis_type = msg.main_axis_type;
  info.reserved_3 = msg.reserved_3;
  info.map_pose = ToPoseRecord(msg.map_pose);
  info.arm_pose = ToPoseRecord(msg.arm_pose);
  info.obb_pose = ToPoseRecord(msg.obb_pose);
  for (int i = 0; i < 3; ++i) {
    info.obb_size[i] = msg.obb_size[i];
  }
  return info;
}

moorwick_protocol::msg::TrashInfo ToMsg(const TrashInfo& info) {
  moorwick_protocol::msg::TrashInfo msg;
  msg.class_id = info.class_id;
  msg.reserved_1 = info.reserved_1;
  msg.main_axis_type = info.main_axis_type;
  msg.reserved_3 = info.reserved_3;
  msg.map_pose = ToPoseMsg(info.map_pose);
  msg.arm_pose = ToPoseMsg(info.arm_pose);
  msg.obb_pose = ToPoseMsg(info.obb_pose);
  for (int i = 0; i < 3; ++i) {
    msg.obb_size[i] = info.obb_size[i];
  }
  return msg;
}

bool DetectionNode::ChooseTargetTrashInfo(const std::vector<TrashInfo>& trash_infos,
                                          const TrashInfo* aim_trash_info, float radius,
                                          TrashInfo& trash_info) {
  float d_min = radius;
  bool chosen = false;
  if (aim_trash_info == nullptr) {
    for (const TrashInfo& piece : trash_infos) {
      const auto x = static_cast<float>(piece.arm_pose.px);
      const auto y = static_cast<float>(piece.arm_pose.py);
      const auto z = static_cast<float>(piece.arm_pose.pz);
      const float d = std::sqrt(x * x + y * y + z * z);
      if (d < d_min) {
        trash_info = piece;
        d_min = d;
        chosen = true;
        LOG_INFO(Styled(kDim, "d_min is now:{}"), d_min);
      }
    }
    return chosen;
  }

  const PoseRecord& aim = aim_trash_info->map_pose;
  LOG_WARN("aim_trash_info.map_pose: x:{:.3f}, y:{:.3f}, z:{:.3f},", aim.px, aim.py, aim.pz);
  for (std::size_t k = 0; k < trash_infos.size(); ++k) {
    const PoseRecord& pose = trash_infos[k].map_pose;
    LOG_INFO("trash_infos[{}].map_pose: x:{:.3f}, y:{:.3f}, z:{:.3f},", k, pose.px, pose.py,
             pose.pz);
    const auto dx = static_cast<float>(pose.px - aim.px);
    const auto dy = static_cast<float>(pose.py - aim.py);
    const auto dz = static_cast<float>(pose.pz - aim.pz);
    const float d = std::sqrt(dx * dx + dy * dy + dz * dz);
    LOG_INFO(Styled(kDim,
                    "Distance from target to aim trash is: dx:{:.3f}, dy:{:.3f}, "
                    "dz:{:.3f}, d:{:.3f}"),
             dx, dy, dz, d);
    if (d < d_min) {
      trash_info = trash_infos[k];
      d_min = d;
      chosen = true;
      LOG_INFO(Styled(kDim, "d_min is now:{}"), d_min);
    }
  }
  return chosen;
}

void RunDetect(const std::vector<std::shared_ptr<CameraDetectionNode>>& cameras,
               const DetectSettings& settings, std::int32_t cmd, std::uint8_t cam_choice,
               const TrashInfo& aim_trash_info, DetectAnswer& answer) {
  LOG_INFO("Start detect ====================================================");
  LOG_INFO("Received cmd: {}  cam_choice: {}", cmd, static_cast<unsigned>(cam_choice));
  const auto start = std::chrono::steady_clock::now();

  for (const auto& camera : cameras) {
    camera->ArmDetect();
  }

  for (const auto& camera : cameras) {
    if (!WaitForCamera(*camera, settings.detect_timeout_ms)) {
      continue;
    }
    const std::vector<TrashInfo> trash_infos = camera->TakeTrashInfos();
    if (trash_infos.empty()) {
      LOG_INFO(Styled(kYellow, "cam_{}: failed to detect trash need to grab!"), camera->cam_id);
      answer.Set(kErrorTrashPoseListEmpty);
      continue;
    }
    LOG_INFO(Styled(kDim, "cam_{}: detected trash need to grab!"), camera->cam_id);

    bool chosen = false;
    if (!camera->is_grab_aim_trash) {
      // A real-time camera may have rewritten its list since it was taken.
      const std::vector<TrashInfo> current = camera->CopyTrashInfos();
      chosen =
          !current.empty() && DetectionNode::ChooseTargetTrashInfo(
                                  current, nullptr, settings.max_grab_radius, answer.trash_info);
    } else {
      chosen = DetectionNode::ChooseTargetTrashInfo(trash_infos, &aim_trash_info,
                                                    settings.aim_grab_radius, answer.trash_info);
    }
    if (!chosen) {
      // Nothing within reach is a failure, never an answer with an empty pose.
      LOG_INFO(Styled(kYellow, "cam_{}: failed to choose target trash!"), camera->cam_id);
      answer.Set(kErrorNoTargetTrashChoosed);
      continue;
    }
    LOG_INFO(Styled(kBoldGreen, "cam_{}: Choosed target trash need to grab!"), camera->cam_id);
    answer.Set(kErrorNone);
    break;
  }

  LOG_INFO(Styled(kMagenta, "Detect callback cost {} ms"), ElapsedMs(start));
  LOG_INFO("============================================== detect completed !");
  LOG_INFO("-----------------------------------------------------------------");
}

void DetectionNode::DetectCallback(const std::shared_ptr<ArmTrashPose::Request>& request,
                                   const std::shared_ptr<ArmTrashPose::Response>& response) {
  DetectAnswer answer;
  answer.trash_info = FromMsg(response->trash_info);
  answer.error_code = response->error_code;
  answer.error_msg = response->error_msg;
  const DetectSettings settings{max_grab_radius, aim_grab_radius, detect_timeout_ms};
  RunDetect(cam_detect_nodes_, settings, request->cmd, request->cam_choice,
            FromMsg(request->aim_trash_info), answer);
  response->trash_info = ToMsg(answer.trash_info);
  response->error_code = answer.error_code;
  response->error_msg = answer.error_msg;
}

DetectionNode::DetectionNode(const std::string& config_path) {
  rclcpp::ExecutorOptions executor_options;
  executor_ = std::make_shared<rclcpp::executors::MultiThreadedExecutor>(
      executor_options, 8, true, std::chrono::nanoseconds(-1));

  const YAML::Node root = LoadConfigFile(config_path);
  const YAML::Node params = ConfigSection(root, kMainSection, config_path);
  max_grab_radius = ReadConfig<float>(params, "max_grab_radius", config_path, kMainSection);
  aim_grab_radius = ReadConfig<float>(params, "aim_grab_radius", config_path, kMainSection);
  detect_timeout_ms = ReadConfig<int>(params, "detect_timeout_ms", config_path, kMainSection);
  const auto node_names = ReadConfig<std::vector<std::string>>(params, "trash_detect_node_array",
                                                               config_path, kMainSection);
  cam_num_ = node_names.size();
  LOG_INFO("cam_num_: {}", cam_num_);

  cam_detect_nodes_.resize(cam_num_);
  cam_ros_nodes_.resize(cam_num_);
  // The per-camera files sit beside the main one.
  const std::string config_dir = config_path.substr(0, config_path.find_last_of('/') + 1);
  for (std::size_t i = 0; i < cam_num_; ++i) {
    cam_ros_nodes_[i] = std::make_shared<rclcpp::Node>(
        node_names[i], rclcpp::NodeOptions().automatically_declare_parameters_from_overrides(true));
    const std::string cam_path = config_dir + "cam" + std::to_string(i + 1) + "_detect_config.yaml";
    cam_detect_nodes_[i] = MakeCameraDetectionNode(cam_ros_nodes_[i], cam_path);
    executor_->add_node(cam_ros_nodes_[i], true);
  }

  node_ = std::make_shared<rclcpp::Node>(
      "moorwick_arm_trash_detect_node",
      rclcpp::NodeOptions().automatically_declare_parameters_from_overrides(true));
  executor_->add_node(node_, true);

  const auto service_name =
      ReadConfig<std::string>(params, "detect_service", config_path, kMainSection);
  callback_group_ = node_->create_callback_group(rclcpp::CallbackGroupType::MutuallyExclusive);
  detect_service_ = node_->create_service<ArmTrashPose>(
      service_name,
      std::bind(&DetectionNode::DetectCallback, this, std::placeholders::_1, std::placeholders::_2),
      rmw_qos_profile_services_default, callback_group_);
}

void DetectionNode::ExecutorThread() {
  LOG_INFO(Styled(kBoldCyan, "DetectionNode executor thread start!"));
  executor_->spin();
}

}  // namespace moorwick
