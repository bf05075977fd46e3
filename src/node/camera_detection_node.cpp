#include "moorwick_arm_trash_detect/node/camera_detection_node.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <fstream>
#include <functional>
#include <limits>
#include <utility>

#include <pcl/common/transforms.h>
#include <pcl/io/ply_io.h>

#include <cv_bridge/cv_bridge.h>
#include <pcl_conversions/pcl_conversions.h>
#include <tf2/exceptions.h>
#include <ament_index_cpp/get_package_share_directory.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <rclcpp/wait_for_message.hpp>

#include "moorwick_arm_trash_detect/core/capture_names.hpp"
#include "moorwick_arm_trash_detect/core/config_reader.hpp"
#include "moorwick_arm_trash_detect/core/mask_points.hpp"
#include "moorwick_arm_trash_detect/logging/logger.hpp"
#include "moorwick_arm_trash_detect/logging/matrix_log.hpp"
#include "moorwick_arm_trash_detect/node/pose_conversions.hpp"

namespace moorwick {

namespace {

constexpr char kPackageName[] = "moorwick_arm_trash_detect";
constexpr std::int32_t kCameraParamInitFailed = 102200001;
constexpr auto kCameraInfoWait = std::chrono::seconds(60);
constexpr std::uint32_t kDefaultWidth = 640;
constexpr std::uint32_t kDefaultHeight = 360;

CameraParams ParamsOf(const sensor_msgs::msg::CameraInfo& info) {
  CameraParams p;
  p.fx = static_cast<float>(info.k[0]);
  p.cx = static_cast<float>(info.k[2]);
  p.fy = static_cast<float>(info.k[4]);
  p.cy = static_cast<float>(info.k[5]);
  p.width = info.width;
  p.height = info.height;
  return p;
}

bool SameParams(const CameraParams& a, const CameraParams& b) {
  return a.fx == b.fx && a.fy == b.fy && a.cx == b.cx && a.cy == b.cy && a.width == b.width &&
         a.height == b.height;
}

// Empty when fx, fy, cx, cy can turn depth pixels into points (same texts as
// CameraInfoFault).
std::string IntrinsicsFault(const CameraParams& p) {
  if (!(std::isfinite(p.fx) && p.fx > 0.0F && std::isfinite(p.fy) && p.fy > 0.0F)) {
    return "focal length is not a positive finite number";
  }
  if (!std::isfinite(p.cx) || !std::isfinite(p.cy)) {
    return "principal point is not finite";
  }
  return {};
}

}  // namespace

std::string CameraInfoFault(const sensor_msgs::msg::CameraInfo& info) {
  // Checked before the narrowing to float: a value beyond float range is no focal length.
  const auto finite_float = [](double v) {
    return std::isfinite(v) && std::abs(v) <= std::numeric_limits<float>::max();
  };
  const double fx = info.k[0];
  const double fy = info.k[4];
  if (!(finite_float(fx) && static_cast<float>(fx) > 0.0F && finite_float(fy) &&
        static_cast<float>(fy) > 0.0F)) {
    return "focal length is not a positive finite number";
  }
  if (!finite_float(info.k[2]) || !finite_float(info.k[5])) {
    return "principal point is not finite";
  }
  if (info.width == 0 || info.height == 0) {
    return "image size is zero";
  }
  return {};
}

std::string PackageShareDirectory() {
  return ament_index_cpp::get_package_share_directory(kPackageName);
}

CameraDetectionNode::CameraDetectionNode(rclcpp::Node::SharedPtr node) : node_(std::move(node)) {
}

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

bool CameraDetectionNode::WaitDetectDone(std::chrono::milliseconds max_wait) {
  std::unique_lock<std::mutex> lock(trash_infos_mutex_);
  return detect_done_cv_.wait_for(lock, max_wait, [this] { return is_detect_done_.load(); });
}

void CameraDetectionNode::FinishDetect(std::vector<TrashInfo> trash_infos) {
  {
    std::lock_guard<std::mutex> lock(trash_infos_mutex_);
    trash_infos_ = std::move(trash_infos);
    is_start_detect_ = false;
    is_detect_done_ = true;
  }
  detect_done_cv_.notify_all();
}

void CameraDetectionNode::InitializeParams(const CameraDetectionParams& file) {
  cam_id = file.cam_id;
  cam_frame_id = file.cam_frame_id;
  is_debug = file.is_debug;
  is_realtime_estimate = file.is_realtime_estimate;
  is_enable_semantic = file.is_enable_semantic;
  is_enable_transparent = file.is_enable_transparent;
  is_grab_aim_trash = file.is_grab_aim_trash;
  detect_duration = file.detect_duration;
  map_frame_id = file.map_frame_id;
  arm_base_frame_id = file.arm_base_frame_id;
  image_edge_threshold = file.image_edge_threshold;
  min_trash_cloud_size_treshold = file.min_trash_cloud_size_treshold;
  null_ratio_threshold = file.null_ratio_threshold;
  hw_ratio_threshold = file.hw_ratio_threshold;
  mask_erosion_size = file.mask_erosion_size;
  pose_estimate_config_file = file.pose_estimate_config_file;

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

  trash_mask_iou_v1 = file.trash_mask_iou_v1;
  ground_max_th = file.ground_max_th;
}

void CameraDetectionNode::InitializePublishers(const CameraDetectionParams& file) {
  const rclcpp::QoS qos = rclcpp::QoS(rclcpp::KeepLast(1)).reliable().durability_volatile();
  const std::string prefix = "/moorwick_arm_trash_detect/cam" + std::to_string(cam_id);

  detected_image_topic = file.detected_image_topic;
  detected_image_pub_ = node_->create_publisher<ImageMsg>(detected_image_topic, qos);
  trashes_cloud_topic = file.trashes_cloud_topic;
  trashes_cloud_pub_ =
      node_->create_publisher<sensor_msgs::msg::PointCloud2>(trashes_cloud_topic, qos);
  trashes_init_cloud_pub_ =
      node_->create_publisher<sensor_msgs::msg::PointCloud2>(prefix + "_trashes_init_cloud", qos);
  static_broadcaster_ = std::make_shared<tf2_ros::StaticTransformBroadcaster>(node_);
  trash_obb_markers_pub_ = node_->create_publisher<visualization_msgs::msg::MarkerArray>(
      prefix + "_trash_obb_markers", qos);
  trash_pose_pub_ =
      node_->create_publisher<visualization_msgs::msg::MarkerArray>(prefix + "_trash_pose", qos);
  grab_trash_cloud_pub_ = node_->create_publisher<moorwick_protocol::msg::GrabTrashCloud>(
      "moorwick_arm_trash_detect/grab_trash_cloud", qos);

  LOG_DEBUG("cam_{0:d}_detected_image_topic = {1:s}", cam_id, detected_image_topic);
  LOG_DEBUG("cam_{0:d}_trashes_cloud_topic = {1:s}", cam_id, trashes_cloud_topic);
}

void CameraDetectionNode::InitializeSubscribers(const CameraDetectionParams& file) {
  camera_info_topic = file.camera_info_topic;
  is_detect_grab_pose = file.is_detect_grab_pose;
  if (!GetCameraParams(camera_info_topic)) {
    LOG_ERROR("ErrorCode:{}, camera param info initialize failed.", kCameraParamInitFailed);
  }
  if (!camera_info_topic.empty()) {
    // Keeps the intrinsics current: a camera that starts with a bad or
    // mismatched camera_info is served once it publishes a good one.
    camera_info_sub_ = node_->create_subscription<sensor_msgs::msg::CameraInfo>(
        camera_info_topic, rclcpp::QoS(1),
        [this](const sensor_msgs::msg::CameraInfo& info) { OnCameraInfo(info); });
  }
  rgb_topic = file.rgb_topic;
  depth_topic = file.depth_topic;

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
  const auto use_config_intrinsics = [this] {
    camera_params_.fx = grab_pose_estimate_->fx_;
    camera_params_.fy = grab_pose_estimate_->fy_;
    camera_params_.cx = grab_pose_estimate_->cx_;
    camera_params_.cy = grab_pose_estimate_->cy_;
    camera_params_.width = kDefaultWidth;
    camera_params_.height = kDefaultHeight;
  };
  if (!rclcpp::wait_for_message(info, node_, topic, kCameraInfoWait)) {
    if (!rclcpp::ok(node_->get_node_base_interface()->get_context())) {
      throw StartupInterrupted("cam_" + std::to_string(cam_id) +
                               " was waiting for camera_info on " + topic);
    }
    LOG_WARN(
        "Failed to get cam_{} intrinsic from camera_info_topic! use default values from config "
        "file.",
        cam_id);
    use_config_intrinsics();
    log_params();
    return true;
  }
  camera_info_fault_ = CameraInfoFault(info);
  const bool info_usable = camera_info_fault_.empty();
  if (info_usable) {
    camera_params_ = ParamsOf(info);
    intrinsics_from_camera_info_ = true;
  } else {
    // Points cut out with these would be garbage presented as a grab pose.
    LOG_ERROR(
        "cam_{}: camera_info on {} rejected, {} (fx={}, fy={}, cx={}, cy={}, width={}, "
        "height={}); use default values from config file.",
        cam_id, topic, camera_info_fault_, info.k[0], info.k[4], info.k[2], info.k[5], info.width,
        info.height);
    use_config_intrinsics();
  }
  log_params();

  Eigen::Matrix4f matrix;
  if (!GetTransformMatrix(arm_base_frame_id, cam_frame_id, node_->get_clock()->now(), matrix)) {
    LOG_ERROR("Failed to lookup transform from {} to {}, quitting callback", cam_frame_id,
              arm_base_frame_id);
    camera_transform_pending_ = true;
    return false;
  }
  UseCameraTransform(matrix);
  return info_usable;
}

void CameraDetectionNode::UseCameraTransform(const Eigen::Matrix4f& matrix) {
  grab_pose_estimate_->camera_extrinsic_ = matrix;
  camera_transform_from_tf_ = true;
  camera_transform_pending_ = false;
  moorwickLogInfoMatrix4f("cam_" + std::to_string(cam_id) + ": cam_to_arm_base_transform_matrix",
                          matrix);
}

void CameraDetectionNode::OnCameraInfo(const sensor_msgs::msg::CameraInfo& info) {
  const std::string fault = CameraInfoFault(info);
  if (!fault.empty()) {
    if (fault != camera_info_fault_) {
      LOG_ERROR(
          "cam_{}: camera_info on {} rejected, {} (fx={}, fy={}, cx={}, cy={}, width={}, "
          "height={}); the intrinsics in use are kept",
          cam_id, camera_info_topic, fault, info.k[0], info.k[4], info.k[2], info.k[5], info.width,
          info.height);
      camera_info_fault_ = fault;
    }
    return;
  }
  camera_info_fault_.clear();
  const CameraParams params = ParamsOf(info);
  if (intrinsics_from_camera_info_ && SameParams(params, camera_params_)) {
    return;
  }
  camera_params_ = params;
  intrinsics_from_camera_info_ = true;
  LOG_INFO("cam_{} : fx={:.2f}, cx={:.2f}, fy={:.2f}, cy={:.2f}, width={}, height={}", cam_id,
           camera_params_.fx, camera_params_.cx, camera_params_.fy, camera_params_.cy,
           camera_params_.width, camera_params_.height);
  // A camera that came up after the start-up wait is measured against the
  // mounting tf has for it, as one present at start-up would be.
  if (!camera_transform_from_tf_) {
    camera_transform_pending_ = true;
    RefreshCameraTransform();
  }
}

void CameraDetectionNode::RefreshCameraTransform() {
  if (!camera_transform_pending_) {
    return;
  }
  try {
    const auto transform =
        tf_buffer_->lookupTransform(arm_base_frame_id, cam_frame_id, tf2::TimePointZero);
    LOG_INFO("cam_{}: transform from {} to {} arrived; it replaces the configured camera mounting",
             cam_id, cam_frame_id, arm_base_frame_id);
    UseCameraTransform(ToMatrix4f(transform));
  } catch (const tf2::TransformException& e) {
    if (!camera_transform_fallback_logged_) {
      LOG_WARN(
          "cam_{}: still no transform from {} to {} ({}); the configured camera mounting is used "
          "until it arrives",
          cam_id, cam_frame_id, arm_base_frame_id, e.what());
      camera_transform_fallback_logged_ = true;
    }
  }
}

bool CameraDetectionNode::GetTransformMatrix(const std::string& target, const std::string& source,
                                             const rclcpp::Time& time, Eigen::Matrix4f& out) {
  try {
    const geometry_msgs::msg::TransformStamped transform =
        tf_buffer_->lookupTransform(target, source, time, rclcpp::Duration::from_seconds(0.5));
    out = ToMatrix4f(transform);
    return true;
  } catch (const tf2::TransformException& e) {
    LOG_ERROR("Transform {} to {} error of sensor data:{}", source, target, e.what());
    return false;
  }
}

void CameraDetectionNode::InitializeAiModel(const CameraDetectionParams& file) {
  m_model_type_ = file.model_type;
  trash_class_ids = file.trash_class_ids;
  const std::string class_txt = PackageShareDirectory() + "/config/" + file.class_txt;
  class_names_.clear();
  std::ifstream class_file(class_txt);
  for (std::string line; std::getline(class_file, line);) {
    class_names_.push_back(line);
  }
  const std::string& model_cfg_file = file.model_cfg_file;
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
  WithConfigFile(share + "/config/class_size_range.yaml",
                 [&] { moorwick::initializeClassSizeRange(share, cam_id, class_size_range_map); });
}

// ---------------------------------------------------------------------------
// Per-frame pipeline

namespace {

using Cloud = pcl::PointCloud<pcl::PointXYZ>;

double MsSince(std::chrono::system_clock::time_point t0) {
  return static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(
                                 std::chrono::system_clock::now() - t0)
                                 .count()) /
         1000.0;
}

std::int64_t WholeMsSince(std::chrono::system_clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now() - t0)
             .count() /
         1000000;
}

void WritePly(const std::string& path, const Cloud& cloud) {
  pcl::PCLPointCloud2 generic;
  pcl::toPCLPointCloud2(cloud, generic);
  pcl::PLYWriter writer;
  writer.writeASCII(path, generic, cloud.sensor_origin_, cloud.sensor_orientation_, 8, true);
}

Cloud::Ptr NewCloud() {
  auto cloud = std::make_shared<Cloud>();
  cloud->is_dense = true;
  cloud->sensor_origin_ = Eigen::Vector4f::Zero();
  cloud->sensor_orientation_ = Eigen::Quaternionf::Identity();
  return cloud;
}

DepthImageView DepthView(const sensor_msgs::msg::Image& depth) {
  DepthImageView view;
  view.data = depth.data.data();
  view.size_bytes = depth.data.size();
  view.width = depth.width;
  view.height = depth.height;
  view.step = depth.step;
  view.encoding = depth.encoding;
  view.is_bigendian = depth.is_bigendian != 0;
  return view;
}

// The debug files of one frame (names: prefix + time string + tag + what):
// written in debug mode only; a failed write never stops the frame.
class DebugCapture {
public:
  DebugCapture(bool enabled, const GrabPoseEstimate& estimate)
      : enabled_(enabled),
        prefix_(estimate.data_file_prefix_),
        missing_prefix_(estimate.missing_detect_prefix_) {}

  bool enabled() const { return enabled_; }
  // Whether the image was written.
  bool Image(const std::string& name, const cv::Mat& image) const {
    return enabled_ && Write(prefix_ + GetCurrentTimeString() + name, image);
  }
  bool MissedDetection(const cv::Mat& image) const {
    return enabled_ && Write(missing_prefix_ + GetCurrentTimeString() + ".jpg", image);
  }
  void Ply(const std::string& name, const Cloud& cloud) const {
    if (enabled_) {
      WritePly(prefix_ + GetCurrentTimeString() + name, cloud);
    }
  }

private:
  static bool Write(const std::string& path, const cv::Mat& image) {
    try {
      return !image.empty() && cv::imwrite(path, image);
    } catch (const cv::Exception&) {
      return false;
    }
  }

  bool enabled_;
  std::string prefix_;
  std::string missing_prefix_;
};

// The piece's points in the camera frame, cut out of the depth image with its
// mask (scaled to 0/255 first, eroded in place by the cut-out).
Cloud::Ptr CutOutPiece(std::int32_t cam_id, const DepthImageView& depth, const CameraParams& camera,
                       const TrashCloudParams& params, ai_moor::model::SegObject& obj,
                       std::size_t k, const DebugCapture& capture, bool& is_transparent) {
  Cloud::Ptr cloud = NewCloud();
  cv::Mat mask255;
  obj.mask.convertTo(mask255, CV_8U, 255.0);
  obj.mask = mask255;
  const std::string tag = PieceTag(k);
  capture.Image(tag + "[mask][initial].jpg", obj.mask);
  is_transparent = false;
  const TrashCloudStatus status = GetTrashCloud(depth, camera, params, obj, cloud, is_transparent);
  if (status != TrashCloudStatus::kOk && status != TrashCloudStatus::kUnsupportedEncoding) {
    LOG_ERROR("cam_{}: 垃圾序号[{}] depth cut-out failed: {}", cam_id, k,
              DescribeTrashCloudStatus(status));
  }
  capture.Image(tag + "[mask][eroded].jpg", obj.mask);
  LOG_INFO("cam_{}: 垃圾序号[{}]原始点云数量： {}", cam_id, k, cloud->size());
  return cloud;
}

}  // namespace

DetectionFilterParams CameraDetectionNode::FilterParams() const {
  DetectionFilterParams params;
  params.trash_class_ids = trash_class_ids;
  params.image_edge_threshold = image_edge_threshold;
  params.image_width = camera_params_.width;
  params.trash_mask_iou_v1 = trash_mask_iou_v1;
  params.ground_max_th = ground_max_th;
  params.class_height_conf = class_height_conf_;
  params.cam_id = cam_id;
  return params;
}

TrashCloudParams CameraDetectionNode::CloudParams() const {
  TrashCloudParams params;
  params.mask_erosion_size = mask_erosion_size;
  params.null_ratio_threshold = null_ratio_threshold;
  params.hw_ratio_threshold = hw_ratio_threshold;
  // The whole eroded mask is seen only in the debug files.
  params.erode_box_only = !is_debug;
  return params;
}

bool CameraDetectionNode::RunModel(const ImageMsg::ConstSharedPtr& rgb_msg,
                                   cv_bridge::CvImageConstPtr& colour,
                                   std::vector<ai_moor::model::SegObject>& objs,
                                   std::chrono::system_clock::time_point& t0, bool debug_level) {
  t0 = std::chrono::system_clock::now();
  try {
    // An rgb8 message is used in place; only another encoding is converted.
    colour = cv_bridge::toCvShare(rgb_msg, "rgb8");
  } catch (const std::exception& e) {
    LOG_ERROR("cam_{}: colour image ({}, {}x{}) cannot be converted to rgb8: {}", cam_id,
              rgb_msg->encoding, rgb_msg->width, rgb_msg->height, e.what());
    return false;
  }
  objs.clear();
  t0 = std::chrono::system_clock::now();
  try {
    model_->detect(colour->image, objs);
  } catch (const std::exception& e) {
    LOG_ERROR("cam_{}: model->detect failed: {}", cam_id, e.what());
    objs.clear();
    return false;
  }
  if (debug_level) {
    LOG_DEBUG("camera_{}: model->detect cost {} ms", cam_id, WholeMsSince(t0));
  } else {
    LOG_INFO("cam_{}: model->detect cost {} ms", cam_id, WholeMsSince(t0));
  }
  return true;
}

void CameraDetectionNode::PublishDetectionImage(const cv::Mat& image,
                                                const std::vector<ai_moor::model::SegObject>& objs,
                                                cv::Mat& detected) {
  detected = cv::Mat();
  const bool seg = m_model_type_ == "seg";
  if (!seg) {
    LOG_WARN("m_model_type_ != seg");
  }
  // Drawing and sending a frame-sized image nobody receives would delay the
  // done flag; the debug files still need the drawing.
  if (!is_debug && detected_image_pub_->get_subscription_count() == 0) {
    return;
  }
  ImageMsg msg;  // zero stamp, empty frame id
  msg.encoding = "rgb8";
  if (seg) {
    msg.height = static_cast<std::uint32_t>(image.rows);
    msg.width = static_cast<std::uint32_t>(image.cols);
    msg.step = static_cast<std::uint32_t>(image.cols * 3);
    msg.data.resize(static_cast<std::size_t>(msg.step) * msg.height);
    // Drawn straight into the message: no copy of the finished image.
    cv::Mat into_msg(image.rows, image.cols, CV_8UC3, msg.data.data());
    DrawDetections(image, into_msg, objs, class_names_);
    if (is_debug) {
      detected = into_msg.clone();
    }
  }
  detected_image_pub_->publish(msg);
}

bool CameraDetectionNode::IntrinsicsFitImage(const cv::Mat& image) {
  const CameraParams& c = camera_params_;
  const std::string fault = IntrinsicsFault(c);
  if (!fault.empty()) {
    LOG_ERROR("cam_{}: no usable camera intrinsics, {} (fx={}, fy={}, cx={}, cy={}); frame skipped",
              cam_id, fault, c.fx, c.fy, c.cx, c.cy);
    return false;
  }
  if (intrinsics_from_camera_info_ &&
      (static_cast<int>(c.width) != image.cols || static_cast<int>(c.height) != image.rows)) {
    LOG_ERROR("cam_{}: colour image {}x{} does not match camera_info {}x{}; frame skipped", cam_id,
              image.cols, image.rows, c.width, c.height);
    return false;
  }
  return true;
}

bool CameraDetectionNode::DepthMatchesColour(const ImageMsg& depth_msg, const cv::Mat& image) {
  if (static_cast<int>(depth_msg.width) == image.cols &&
      static_cast<int>(depth_msg.height) == image.rows) {
    return true;
  }
  LOG_ERROR("cam_{}: depth image {}x{} does not match the colour image {}x{}; frame skipped",
            cam_id, depth_msg.width, depth_msg.height, image.cols, image.rows);
  return false;
}

void CameraDetectionNode::ImageCallback(const ImageMsg::ConstSharedPtr& rgb_msg,
                                        const ImageMsg::ConstSharedPtr& depth_msg) {
  if (!is_start_detect_ && !is_realtime_estimate) {
    return;
  }
  std::vector<TrashInfo> trash_infos;
  std::chrono::system_clock::time_point t0 = std::chrono::system_clock::now();
  // Every way out of the frame hands its records over and raises the done flag.
  const auto finish = [&] {
    FinishDetect(trash_infos);
    LOG_INFO("cam_{}: ImageCallback cost {} ms", cam_id, MsSince(t0));
  };

  cv_bridge::CvImageConstPtr colour;
  std::vector<ai_moor::model::SegObject> objs;
  if (!RunModel(rgb_msg, colour, objs, t0, false) ||
      !DepthMatchesColour(*depth_msg, colour->image) || !IntrinsicsFitImage(colour->image)) {
    finish();
    return;
  }
  RefreshCameraTransform();
  cv::Mat detected;
  PublishDetectionImage(colour->image, objs, detected);

  GrabPoseEstimate& estimate = *grab_pose_estimate_;
  const DebugCapture capture(is_debug, estimate);
  // The files are written in OpenCV's channel order; only they need it.
  cv::Mat image;
  if (capture.enabled()) {
    cv::cvtColor(colour->image, image, cv::COLOR_RGB2BGR);
    if (!detected.empty()) {
      cv::cvtColor(detected, detected, cv::COLOR_RGB2BGR);
    }
    LOG_INFO(capture.Image("[initial].jpg", image) ? "cam_{}: initial image succeed to save"
                                                   : "cam_{}: initial image failed to save",
             cam_id);
    LOG_INFO(capture.Image("[detected].jpg", detected) ? "cam_{}: detected image succeed to save"
                                                       : "cam_{}: detected image failed to save",
             cam_id);
  }

  const DetectionFilterParams filter = FilterParams();
  std::vector<ai_moor::model::SegObject> trash_objs;
  if (!GetTrashObjects(filter, objs, trash_objs)) {
    if (!capture.enabled()) {
      LOG_INFO("cam_{}: failed to detect trash", cam_id);
    } else {
      LOG_INFO(capture.MissedDetection(image)
                   ? "cam_{}: failed to detect trash, image saved"
                   : "cam_{}: failed to detect trash, image failed to save",
               cam_id);
    }
    finish();
    return;
  }

  std::vector<BoxInfo> base_waiting_boxes;
  GetObjsBoxInfos(filter, objs, base_waiting_boxes);
  // The clouds are kept only for the inspection output.
  const bool inspect = is_debug || is_realtime_estimate;
  std::vector<Cloud::Ptr> transformed_clouds;
  std::vector<Cloud::Ptr> processed_clouds;
  const DepthImageView depth = DepthView(*depth_msg);
  const TrashCloudParams cloud_params = CloudParams();

  for (std::size_t k = 0; k < trash_objs.size(); ++k) {
    auto& obj = trash_objs[k];
    const std::string tag = PieceTag(k);
    GetTrashType(obj.label, estimate.trash_type_);
    estimate.grab_class_index_ = obj.label;
    estimate.camera_focal_px_ = camera_params_.fx;
    LOG_INFO("cam_{}: now processing trash calss_id = {}", cam_id, obj.label + 1);
    bool is_transparent = false;
    const Cloud::Ptr cloud =
        CutOutPiece(cam_id, depth, camera_params_, cloud_params, obj, k, capture, is_transparent);
    if (cloud->size() < min_trash_cloud_size_treshold) {
      LOG_WARN("cam_{}: 垃圾序号[{}]原始点云数量少于{}，请重新检测！", cam_id, k,
               min_trash_cloud_size_treshold);
      continue;
    }
    capture.Ply(tag + "[initial].ply", *cloud);
    Cloud::Ptr transformed = NewCloud();
    pcl::transformPointCloud(*cloud, *transformed, estimate.camera_extrinsic_);
    capture.Ply(tag + "[transformed].ply", *transformed);
    if (inspect) {
      transformed_clouds.push_back(std::make_shared<Cloud>(*transformed));
    }

    int flag_estimate = 0;
    if (is_transparent && is_enable_transparent) {
      // The transparent estimate conditions the cloud in place; a fallback
      // starts again from the unconditioned points.
      const Cloud::Ptr unconditioned = std::make_shared<Cloud>(*transformed);
      flag_estimate = estimate.GetTransparentGrabPose(transformed);
      if (transparent_tcp_z_max_ < estimate.grab_tcp_.z()) {
        transformed = unconditioned;
        flag_estimate = estimate.GetInitialGrabPose(transformed);
      }
    } else {
      flag_estimate = estimate.GetInitialGrabPose(transformed);
    }
    if (inspect) {
      processed_clouds.push_back(std::make_shared<Cloud>(*transformed));
    }
    capture.Ply(tag + "[processed].ply", *transformed);
    if (flag_estimate != GrabPoseEstimate::kSuccess) {
      LOG_WARN("cam_{}: grab pose estimate flag_estimate: {}", cam_id, flag_estimate);
      continue;
    }
    LOG_INFO("cam_{}: grab pose estimate flag_estimate = 1", cam_id);

    if (is_enable_semantic && !IsTrashToGrab(filter, estimate.trash_lowest_z_,
                                             estimate.base_height_, obj, base_waiting_boxes)) {
      LOG_INFO("cam_{}: 垃圾序号[{}]不在白名单位置处，忽略", cam_id, k);
      continue;
    }
    LOG_INFO("cam_{}: 垃圾序号[{}]在白名单位置处，需要抓取", cam_id, k);

    TrashInfo info;
    info.class_id = static_cast<std::uint8_t>(obj.label);
    info.main_axis_type = static_cast<std::uint8_t>(estimate.main_axis_type_ & 0xFF);
    info.arm_pose = ToPoseRecord(estimate.grab_pose_);
    info.obb_pose = ToPoseRecord(estimate.obb_pose_);
    for (int i = 0; i < 3; ++i) {
      info.obb_size[i] = static_cast<double>(estimate.pca_lengths_[i]);
    }

    const bool within = IsBboxWithinSizeRange(class_size_range_map, info);
    LOG_INFO(within ? "cam_{}: 垃圾序号[{}]在抓取尺寸范围内，需要抓取"
                    : "cam_{}: 垃圾序号[{}]不在抓取尺寸范围内，忽略",
             cam_id, k);
    LOG_INFO("cam_{}: 垃圾序号[{}]obb_size: [{:.3f}, {:.3f}, {:.3f}]", cam_id, k, info.obb_size[0],
             info.obb_size[1], info.obb_size[2]);
    if (!within) {
      continue;
    }

    if (is_grab_aim_trash) {
      try {
        const Eigen::Isometry3d map_from_arm = tf2::transformToEigen(
            tf_buffer_->lookupTransform(map_frame_id, arm_base_frame_id, tf2::TimePointZero));
        const Eigen::Vector3d p = map_from_arm * Position(info.arm_pose);
        const Eigen::Quaterniond q(map_from_arm.rotation() *
                                   Orientation(info.arm_pose).toRotationMatrix());
        info.map_pose = ToPoseRecord(p, q);
      } catch (const tf2::TransformException& e) {
        LOG_ERROR("Transform from {} to {} failed: {}", arm_base_frame_id, map_frame_id, e.what());
        // The records so far are kept, the frame ends without inspection output.
        FinishDetect(trash_infos);
        return;
      }
    }
    trash_infos.push_back(info);
  }

  if (inspect) {
    PublishInspection(trash_infos, transformed_clouds, processed_clouds);
  }
  finish();
}

void CameraDetectionNode::PublishInspection(const std::vector<TrashInfo>& trash_infos,
                                            const std::vector<Cloud::Ptr>& transformed_clouds,
                                            const std::vector<Cloud::Ptr>& processed_clouds) {
  const rclcpp::Time system_now = rclcpp::Clock(RCL_SYSTEM_TIME).now();
  sensor_msgs::msg::PointCloud2 processed_msg;
  pcl::toROSMsg(MergeClouds(processed_clouds), processed_msg);
  processed_msg.header.frame_id = arm_base_frame_id;
  processed_msg.header.stamp = system_now;
  sensor_msgs::msg::PointCloud2 transformed_msg;
  pcl::toROSMsg(MergeClouds(transformed_clouds), transformed_msg);
  transformed_msg.header.frame_id = arm_base_frame_id;
  transformed_msg.header.stamp = system_now;
  trashes_cloud_pub_->publish(processed_msg);
  trashes_init_cloud_pub_->publish(transformed_msg);
  if (trash_infos.empty()) {
    return;
  }

  const InspectionHeader header{cam_id, arm_base_frame_id, node_->get_clock()->now()};
  static_broadcaster_->sendTransform(TrashPoseTransforms(header, trash_infos));
  trash_obb_markers_pub_->publish(ObbMarkers(header, trash_infos));
  trash_pose_pub_->publish(PoseMarkers(header, trash_infos));
}

void CameraDetectionNode::ImageDetectCallback(const ImageMsg::ConstSharedPtr& rgb_msg,
                                              const ImageMsg::ConstSharedPtr& depth_msg) {
  std::chrono::system_clock::time_point t0 = std::chrono::system_clock::now();
  cv_bridge::CvImageConstPtr colour;
  std::vector<ai_moor::model::SegObject> objs;
  if (!RunModel(rgb_msg, colour, objs, t0, true) ||
      !DepthMatchesColour(*depth_msg, colour->image) || !IntrinsicsFitImage(colour->image)) {
    return;
  }
  RefreshCameraTransform();
  cv::Mat detected;
  PublishDetectionImage(colour->image, objs, detected);
  {
    std::lock_guard<std::mutex> lock(trash_infos_mutex_);
    trash_infos_.clear();
  }

  const DetectionFilterParams filter = FilterParams();
  std::vector<ai_moor::model::SegObject> trash_objs;
  if (!GetTrashObjects(filter, objs, trash_objs)) {
    LOG_DEBUG("cam_{0:d}: failed to detect trash", cam_id);
    return;
  }
  std::vector<BoxInfo> base_waiting_boxes;
  GetObjsBoxInfos(filter, objs, base_waiting_boxes);

  GrabPoseEstimate& estimate = *grab_pose_estimate_;
  moorwick_protocol::msg::GrabTrashCloud message;
  message.cam_id = static_cast<std::uint8_t>(cam_id);
  message.cam_frame_id = cam_frame_id;
  message.header.frame_id = arm_base_frame_id;
  message.header.stamp = rgb_msg->header.stamp;
  const DepthImageView depth = DepthView(*depth_msg);
  const TrashCloudParams cloud_params = CloudParams();

  // This callback writes no debug files.
  const DebugCapture no_capture(false, estimate);
  for (std::size_t k = 0; k < trash_objs.size(); ++k) {
    auto& obj = trash_objs[k];
    GetTrashType(obj.label, estimate.trash_type_);
    bool is_transparent = false;
    const Cloud::Ptr cloud = CutOutPiece(cam_id, depth, camera_params_, cloud_params, obj, k,
                                         no_capture, is_transparent);
    if (cloud->size() < min_trash_cloud_size_treshold) {
      LOG_WARN("cam_{}: 垃圾序号[{}]原始点云数量太少, CONTINUE", cam_id, k);
      continue;
    }
    Cloud::Ptr transformed = NewCloud();
    pcl::transformPointCloud(*cloud, *transformed, estimate.camera_extrinsic_);
    float lowest_z = std::numeric_limits<float>::max();
    for (const auto& point : transformed->points) {
      lowest_z = std::min(lowest_z, point.z);
    }
    LOG_DEBUG("trash_lowest_z: {}", lowest_z);
    if (is_enable_semantic &&
        !IsTrashToGrab(filter, lowest_z, estimate.base_height_, obj, base_waiting_boxes)) {
      LOG_WARN("cam_{}: 垃圾序号[{}]不在白名单位置处，忽略", cam_id, k);
      continue;
    }
    LOG_INFO("cam_{}: 垃圾序号[{}]在白名单位置处，需要抓取", cam_id, k);
    estimate.PclProcessFunc(transformed, transformed);
    estimate.PCAFunc(transformed);
    const std::array<double, 3> extents{static_cast<double>(estimate.pca_lengths_[0]),
                                        static_cast<double>(estimate.pca_lengths_[1]),
                                        static_cast<double>(estimate.pca_lengths_[2])};
    const bool within = IsBboxWithinSizeRange(class_size_range_map, obj.label, extents);
    LOG_INFO(within ? "cam_{}: 垃圾序号[{}]在抓取尺寸范围内，需要抓取"
                    : "cam_{}: 垃圾序号[{}]不在抓取尺寸范围内，忽略",
             cam_id, k);
    LOG_INFO("cam_{}: 垃圾序号[{}]obb_size: [{:.3f}, {:.3f}, {:.3f}]", cam_id, k, extents[0],
             extents[1], extents[2]);
    LOG_INFO("-----------------------------------------------------------------");

    moorwick_protocol::msg::TrashCloud piece;
    piece.class_id = static_cast<std::uint8_t>(obj.label);
    for (int i = 0; i < 3; ++i) {
      piece.obb_size[i] = extents[i];
    }
    piece.within_size_range = within;
    pcl::toROSMsg(*transformed, piece.cloud);
    piece.cloud.header = message.header;
    message.trashes.push_back(piece);
  }
  grab_trash_cloud_pub_->publish(message);
  LOG_INFO("cam_{}: ImageCallback cost {} ms", cam_id, MsSince(t0));
}

std::shared_ptr<CameraDetectionNode> MakeCameraDetectionNode(rclcpp::Node::SharedPtr node,
                                                             const std::string& path) {
  const CameraDetectionParams file = LoadCameraDetectionParams(path);
  auto camera = std::make_shared<CameraDetectionNode>(std::move(node));
  camera->InitializeParams(file);
  camera->InitializePublishers(file);
  camera->InitializeSubscribers(file);
  camera->InitializeAiModel(file);
  camera->initializeClassHeightConf();
  camera->initializeAiConf();
  camera->initializeClassSizeRange();
  return camera;
}

}  // namespace moorwick
