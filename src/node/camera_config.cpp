#include "moorwick_arm_trash_detect/node/camera_config.hpp"

#include <type_traits>

#include "moorwick_arm_trash_detect/core/config_reader.hpp"

namespace moorwick {

CameraDetectionParams LoadCameraDetectionParams(const std::string& path) {
  constexpr char kSection[] = "camera_detection_params";
  const YAML::Node params = ConfigSection(LoadConfigFile(path), kSection, path);
  const auto read = [&](auto& field, const char* key) {
    field = ReadConfig<std::decay_t<decltype(field)>>(params, key, path, kSection);
  };
  CameraDetectionParams p;
  // int32_t and uint32_t are the reader's int and unsigned int on our targets.
  read(p.cam_id, "cam_id");
  read(p.cam_frame_id, "cam_frame_id");
  read(p.is_debug, "is_debug");
  read(p.is_realtime_estimate, "is_realtime_estimate");
  read(p.is_enable_semantic, "is_enable_semantic");
  read(p.is_enable_transparent, "is_enable_transparent");
  read(p.is_grab_aim_trash, "is_grab_aim_trash");
  read(p.detect_duration, "detect_duration");
  read(p.map_frame_id, "map_frame_id");
  read(p.arm_base_frame_id, "arm_base_frame_id");
  read(p.image_edge_threshold, "image_edge_threshold");
  read(p.min_trash_cloud_size_treshold, "min_trash_cloud_size_treshold");
  read(p.null_ratio_threshold, "null_ratio_threshold");
  read(p.hw_ratio_threshold, "hw_ratio_threshold");
  read(p.mask_erosion_size, "mask_erosion_size");
  read(p.pose_estimate_config_file, "pose_estimate_config_file");
  read(p.trash_mask_iou_v1, "trash_mask_iou_v1");
  read(p.ground_max_th, "ground_max_th");
  read(p.detected_image_topic, "detected_image_topic");
  read(p.trashes_cloud_topic, "trashes_cloud_topic");
  read(p.camera_info_topic, "camera_info_topic");
  read(p.is_detect_grab_pose, "is_detect_grab_pose");
  read(p.rgb_topic, "rgb_topic");
  read(p.depth_topic, "depth_topic");
  read(p.model_type, "model_type");
  read(p.trash_class_ids, "trash_class_ids");
  read(p.class_txt, "class_txt");
  read(p.model_cfg_file, "model_cfg_file");
  return p;
}

}  // namespace moorwick
