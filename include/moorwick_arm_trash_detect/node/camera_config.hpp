// The per-camera file (camN_detect_config.yaml), read once. Every key is
// required: the shipped files carry the values, so nothing here has a default.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace moorwick {

struct CameraDetectionParams {
  std::int32_t cam_id{};
  std::string cam_frame_id;
  bool is_debug{};
  bool is_realtime_estimate{};
  bool is_enable_semantic{};
  bool is_enable_transparent{};
  bool is_grab_aim_trash{};
  std::int32_t detect_duration{};
  std::string map_frame_id;
  std::string arm_base_frame_id;
  std::int32_t image_edge_threshold{};
  std::uint32_t min_trash_cloud_size_treshold{};
  float null_ratio_threshold{};
  float hw_ratio_threshold{};
  std::int32_t mask_erosion_size{};
  std::string pose_estimate_config_file;
  float trash_mask_iou_v1{};
  float ground_max_th{};

  std::string detected_image_topic;
  std::string trashes_cloud_topic;
  std::string camera_info_topic;
  bool is_detect_grab_pose{};
  std::string rgb_topic;
  std::string depth_topic;

  std::string model_type;
  std::vector<int> trash_class_ids;
  std::string class_txt;
  std::string model_cfg_file;
};

// Reads `camera_detection_params` of the file at `path`; a missing key or a
// value of the wrong type raises ConfigError naming the file and the key.
CameraDetectionParams LoadCameraDetectionParams(const std::string& path);

}  // namespace moorwick
