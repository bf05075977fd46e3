#include "moorwick_arm_trash_detect/camera_detection_node.hpp"

#include <chrono>
#include <fstream>
#include <functional>
#include <utility>

#include <ament_index_cpp/get_package_share_directory.hpp>
#include <rclcpp/wait_for_message.hpp>
#include <tf2/exceptions.h>
#include <tf2_eigen/tf2_eigen.hpp>

#include "moorwick_arm_trash_detect/common/utils.hpp"
#include "moorwick_arm_trash_detect/config_access.hpp"
#include "moorwick_arm_trash_detect/logger.hpp"

namespace moorwick {

namespace {

constexpr char kCamSection[] = "camera_detection_params";
constexpr char kPackageName[] = "moorwick_arm_trash_detect";
constexpr std::int32_t kCameraParamInitFailed = 102200001;
constexpr auto kCameraInfoWait = std::chrono::seconds(60);
constexpr std::uint32_t kDefaultWidth = 640;
constexpr std::uint32_t kDefaultHeight = 360;

// Reads one key of this camera's section.
template <typename T>
T Read(const YAML::Node& params, const char* key, const std::string& path) {
  return ReadConfig<T>(params, key, path, kCamSection);
}

YAML::Node CameraSection(const std::string& path) {
  return ConfigSection(LoadConfigFile(path), kCamSection, path);
}

}  // namespace

std::string PackageShareDirectory() {
  return ament_index_cpp::get_package_share_directory(kPackageName);
}

CameraDetectionNode::CameraDetectionNode(rclcpp::Node::SharedPtr node, const std::string& path)
    : node_(std::move(node)), config_path_(path) {}

void CameraDetectionNode::ArmDetect() {
  std::lock_guard<std::mutex> lock(trash_infos_mutex_);
  is_start_detect_ = true;
  is_detect_done_ = false;
}

void CameraDetectionNode::ClearDetectDone() {
  std::lock_guard<std::mutex> lock(trash_infos_mutex_);
  is_detect_done_ = false;
}

std::vector<TrashInfo> CameraDetectionNode::TakeTrashInfos() {
  std::lock_guard<std::mutex> lock(trash_infos_mutex_);
  is_detect_done_ = false;
  return trash_infos_;
}

std::vector<TrashInfo> CameraDetectionNode::CopyTrashInfos() const {
  std::lock_guard<std::mutex> lock(trash_infos_mutex_);
  return trash_infos_;
}

void CameraDetectionNode::FinishDetect(std::vector<TrashInfo> trash_infos) {
  std::lock_guard<std::mutex> lock(trash_infos_mutex_);
  trash_infos_ = std::move(trash_infos);
  is_start_detect_ = false;
  is_detect_done_ = true;
}

void CameraDetectionNode::InitializeParams(const std::string& path) {
  const YAML::Node params = CameraSection(path);
  cam_id = Read<int>(params, "cam_id", path);
  cam_frame_id = Read<std::string>(params, "cam_frame_id", path);
  is_debug = Read<bool>(params, "is_debug", path);
  is_realtime_estimate = Read<bool>(params, "is_realtime_estimate", path);
  is_enable_semantic = Read<bool>(params, "is_enable_semantic", path);
  is_enable_transparent = Read<bool>(params, "is_enable_transparent", path);
  is_grab_aim_trash = Read<bool>(params, "is_grab_aim_trash", path);
  detect_duration = Read<int>(params, "detect_duration", path);
  map_frame_id = Read<std::string>(params, "map_frame_id", path);
  arm_base_frame_id = Read<std::string>(params, "arm_base_frame_id", path);
  image_edge_threshold = Read<int>(params, "image_edge_threshold", path);
  min_trash_cloud_size_treshold = Read<unsigned int>(params, "min_trash_cloud_size_treshold", path);
  null_ratio_threshold = Read<float>(params, "null_ratio_threshold", path);
  hw_ratio_threshold = Read<float>(params, "hw_ratio_threshold", path);
  mask_erosion_size = Read<int>(params, "mask_erosion_size", path);
  pose_estimate_config_file = Read<std::string>(params, "pose_estimate_config_file", path);

  const std::string estimate_path =
      PackageShareDirectory() + "/config/" + pose_estimate_config_file;
  LOG_DEBUG("cam_{0:d}_pose_estimate_config_file_path = {1:s}", cam_id, estimate_path);
  WithConfigFile(estimate_path,
                 [&] { grab_pose_estimate_ = std::make_unique<GrabPoseEstimate>(estimate_path); });

  tf_buffer_ = std::make_unique<tf2_ros::Buffer>(node_->get_clock(),
                                                 tf2::Duration(std::chrono::seconds(10)));
  tf_listener_ = std::make_shared<tf2_ros::TransformListener>(*tf_buffer_, node_, true);

  LOG_DEBUG("cam_{0:d}_debug = {1:d}", cam_id, static_cast<int>(is_debug));
  LOG_DEBUG("cam_{0:d}_detect_duration = {1:d} ms", cam_id, detect_duration);
  LOG_DEBUG("cam_{0:d}_map_frame_id = {1:s}", cam_id, map_frame_id);
  LOG_DEBUG("cam_{0:d}_arm_base_frame_id = {1:s}", cam_id, arm_base_frame_id);
  LOG_DEBUG("cam_{0:d}_image_edge_threshold = {1:d} ms", cam_id, image_edge_threshold);
  LOG_DEBUG("cam_{0:d}_mask_erosion_size = {1:d} ms", cam_id, mask_erosion_size);

  trash_mask_iou_v1 = Read<float>(params, "trash_mask_iou_v1", path);
  ground_max_th = Read<float>(params, "ground_max_th", path);
}

void CameraDetectionNode::InitializePublishers(const std::string& path) {
  const YAML::Node params = CameraSection(path);
  const rclcpp::QoS qos = rclcpp::QoS(rclcpp::KeepLast(1)).reliable().durability_volatile();
  const std::string prefix = "/moorwick_arm_trash_detect/cam" + std::to_string(cam_id);

  detected_image_topic = Read<std::string>(params, "detected_image_topic", path);
  detected_image_pub_ = node_->create_publisher<ImageMsg>(detected_image_topic, qos);
  trashes_cloud_topic = Read<std::string>(params, "trashes_cloud_topic", path);
  trashes_cloud_pub_ =
      node_->create_publisher<sensor_msgs::msg::PointCloud2>(trashes_cloud_topic, qos);
  trashes_init_cloud_pub_ =
      node_->create_publisher<sensor_msgs::msg::PointCloud2>(prefix + "_trashes_init_cloud", qos);
  static_broadcaster_ = std::make_shared<tf2_ros::StaticTransformBroadcaster>(node_);
  trash_obb_markers_pub_ =
      node_->create_publisher<visualization_msgs::msg::MarkerArray>(prefix + "_trash_obb_markers", qos);
  trash_pose_pub_ =
      node_->create_publisher<visualization_msgs::msg::MarkerArray>(prefix + "_trash_pose", qos);
  grab_trash_cloud_pub_ = node_->create_publisher<moorwick_protocol::msg::GrabTrashCloud>(
      "moorwick_arm_trash_detect/grab_trash_cloud", qos);

  LOG_DEBUG("cam_{0:d}_detected_image_topic = {1:s}", cam_id, detected_image_topic);
  LOG_DEBUG("cam_{0:d}_trashes_cloud_topic = {1:s}", cam_id, trashes_cloud_topic);
}

void CameraDetectionNode::InitializeSubscribers(const std::string& path) {
  const YAML::Node params = CameraSection(path);
  camera_info_topic = Read<std::string>(params, "camera_info_topic", path);
  is_detect_grab_pose = Read<bool>(params, "is_detect_grab_pose", path);
  if (!GetCameraParams(camera_info_topic)) {
    LOG_ERROR("ErrorCode:{}, camera param info initialize failed.", kCameraParamInitFailed);
  }
  rgb_topic = Read<std::string>(params, "rgb_topic", path);
  depth_topic = Read<std::string>(params, "depth_topic", path);

  rgb_sub_ = std::make_shared<message_filters::Subscriber<ImageMsg>>(node_, rgb_topic);
  depth_sub_ = std::make_shared<message_filters::Subscriber<ImageMsg>>(node_, depth_topic);
  sync_ = std::make_shared<message_filters::Synchronizer<SyncPolicy>>(SyncPolicy(10), *rgb_sub_,
                                                                       *depth_sub_);
  using std::placeholders::_1;
  using std::placeholders::_2;
  if (is_detect_grab_pose) {
    sync_->registerCallback(std::bind(&CameraDetectionNode::ImageCallback, this, _1, _2));
  } else {
    sync_->registerCallback(std::bind(&CameraDetectionNode::ImageDetectCallback, this, _1, _2));
  }

  LOG_DEBUG("cam_{0:d}_camera_info_topic = {1:s}", cam_id, camera_info_topic);
  LOG_DEBUG("cam_{0:d}_rgb_topic = {1:s}", cam_id, rgb_topic);
  LOG_DEBUG("cam_{0:d}_depth_topic = {1:s}", cam_id, depth_topic);
}

bool CameraDetectionNode::GetCameraParams(const std::string& topic) {
  if (topic.empty()) {
    return false;
  }
  sensor_msgs::msg::CameraInfo info;
  const auto log_params = [this] {
    LOG_INFO("cam_{} : fx={:.2f}, cx={:.2f}, fy={:.2f}, cy={:.2f}, width={}, height={}", cam_id,
             camera_params_.fx, camera_params_.cx, camera_params_.fy, camera_params_.cy,
             camera_params_.width, camera_params_.height);
  };
  if (!rclcpp::wait_for_message(info, node_, topic, kCameraInfoWait)) {
    LOG_WARN(
        "Failed to get cam_{} intrinsic from camera_info_topic! use default values from config "
        "file.",
        cam_id);
    camera_params_.fx = grab_pose_estimate_->fx_;
    camera_params_.fy = grab_pose_estimate_->fy_;
    camera_params_.cx = grab_pose_estimate_->cx_;
    camera_params_.cy = grab_pose_estimate_->cy_;
    camera_params_.width = kDefaultWidth;
    camera_params_.height = kDefaultHeight;
    log_params();
    return true;
  }
  camera_params_.fx = static_cast<float>(info.k[0]);
  camera_params_.cx = static_cast<float>(info.k[2]);
  camera_params_.fy = static_cast<float>(info.k[4]);
  camera_params_.cy = static_cast<float>(info.k[5]);
  camera_params_.width = info.width;
  camera_params_.height = info.height;
  log_params();

  Eigen::Matrix4f matrix;
  if (!GetTransformMatrix(arm_base_frame_id, cam_frame_id, node_->get_clock()->now(), matrix)) {
    LOG_ERROR("Failed to lookup transform from {} to {}, quitting callback", cam_frame_id,
              arm_base_frame_id);
    return false;
  }
  cam_to_arm_base_transform_matrix_ = matrix;
  moorwickLogInfoMatrix4f("cam_" + std::to_string(cam_id) + ": cam_to_arm_base_transform_matrix",
                          matrix);
  grab_pose_estimate_->camera_extrinsic_ = matrix;
  return true;
}

bool CameraDetectionNode::GetTransformMatrix(const std::string& target, const std::string& source,
                                             const rclcpp::Time& time, Eigen::Matrix4f& out) {
  try {
    const geometry_msgs::msg::TransformStamped transform = tf_buffer_->lookupTransform(
        target, source, time, rclcpp::Duration::from_seconds(0.5));
    out = tf2::transformToEigen(transform).matrix().cast<float>();
    return true;
  } catch (const tf2::TransformException& e) {
    LOG_ERROR("Transform {} to {} error of sensor data:{}", source, target, e.what());
    return false;
  }
}

void CameraDetectionNode::InitializeAiModel(const std::string& path) {
  const YAML::Node params = CameraSection(path);
  m_model_type_ = Read<std::string>(params, "model_type", path);
  trash_class_ids = Read<std::vector<int>>(params, "trash_class_ids", path);
  const std::string class_txt =
      PackageShareDirectory() + "/config/" + Read<std::string>(params, "class_txt", path);
  class_names_.clear();
  std::ifstream class_file(class_txt);
  for (std::string line; std::getline(class_file, line);) {
    class_names_.push_back(line);
  }
  const std::string model_cfg_file = Read<std::string>(params, "model_cfg_file", path);
  model_ = std::make_shared<ai_moor::model::YOLOv8Seg>(model_cfg_file);
  LOG_DEBUG("cam_{0:d}_model_type = {1:s}", cam_id, m_model_type_);
  LOG_DEBUG("cam_{0:d}_class_txt_file_path = {1:s}", cam_id, class_txt);
  LOG_DEBUG("cam_{0:d}_model_cfg_file_path = {1:s}", cam_id, model_cfg_file);
}

void CameraDetectionNode::initializeClassHeightConf() {
  const std::string share = PackageShareDirectory();
  WithConfigFile(share + "/config/class_height_conf.yaml",
                 [&] { moorwick::initializeClassHeightConf(share, cam_id, class_height_conf_); });
}

void CameraDetectionNode::initializeAiConf() {
  const std::string share = PackageShareDirectory();
  WithConfigFile(share + "/config/class_conf.yaml",
                 [&] { moorwick::initializeAiConf(share, cam_id, ai_conf_); });
}

void CameraDetectionNode::initializeClassSizeRange() {
  const std::string share = PackageShareDirectory();
  WithConfigFile(share + "/config/class_size_range.yaml", [&] {
    moorwick::initializeClassSizeRange(share, cam_id, class_size_range_map);
  });
}

// The per-frame work of both callbacks lives with the frame pipeline.
void CameraDetectionNode::ImageCallback(const ImageMsg::ConstSharedPtr& /*rgb_msg*/,
                                        const ImageMsg::ConstSharedPtr& /*depth_msg*/) {}

void CameraDetectionNode::ImageDetectCallback(const ImageMsg::ConstSharedPtr& /*rgb_msg*/,
                                              const ImageMsg::ConstSharedPtr& /*depth_msg*/) {}

}  // namespace moorwick
