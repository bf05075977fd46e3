// One camera of the node: its parameters, topics, transforms, model and class
// tables, and the hand-over of its results to the detect service.
#pragma once

#include <Eigen/Core>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <cv_bridge/cv_bridge.h>
#include <message_filters/subscriber.h>
#include <message_filters/sync_policies/approximate_time.h>
#include <message_filters/synchronizer.h>
#include <tf2_ros/buffer.h>
#include <tf2_ros/static_transform_broadcaster.h>
#include <tf2_ros/transform_listener.h>
#include <moorwick_protocol/msg/grab_trash_cloud.hpp>
#include <rclcpp/rclcpp.hpp>
#include <sensor_msgs/msg/camera_info.hpp>
#include <sensor_msgs/msg/image.hpp>
#include <sensor_msgs/msg/point_cloud2.hpp>
#include <visualization_msgs/msg/marker_array.hpp>

#include "ai_moor/model/yolov8_seg.hpp"
#include "moorwick_arm_trash_detect/core/class_vocabulary.hpp"
#include "moorwick_arm_trash_detect/core/detection_filter.hpp"
#include "moorwick_arm_trash_detect/core/records.hpp"
#include "moorwick_arm_trash_detect/core/trash_cloud.hpp"
#include "moorwick_arm_trash_detect/core/trash_pose_estimate.hpp"
#include "moorwick_arm_trash_detect/node/camera_config.hpp"
#include "moorwick_arm_trash_detect/node/inspection_output.hpp"

namespace moorwick {

// Share directory of the installed package (ament index).
std::string PackageShareDirectory();

// Why a camera_info cannot serve for cutting points out of depth (focal length
// not a positive finite number, principal point not finite, zero image size);
// empty when it can.
std::string CameraInfoFault(const sensor_msgs::msg::CameraInfo& info);

// A shutdown (Ctrl-C) arrived while the node was still being built.
class StartupInterrupted : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

class CameraDetectionNode {
public:
  using ImageMsg = sensor_msgs::msg::Image;
  using SyncPolicy = message_filters::sync_policies::ApproximateTime<ImageMsg, ImageMsg>;

  // Only sets the defaults; MakeCameraDetectionNode runs the Initialize* steps.
  explicit CameraDetectionNode(rclcpp::Node::SharedPtr node);
  CameraDetectionNode(const CameraDetectionNode&) = delete;
  CameraDetectionNode& operator=(const CameraDetectionNode&) = delete;

  // Hand-shake with the detect service. The flags are atomics and the list
  // moves under `trash_infos_mutex_`, so the service and the image callbacks
  // (which may run concurrently in real-time mode) never race.
  std::atomic<bool> is_start_detect_{true};
  std::atomic<bool> is_detect_done_{false};
  std::atomic<bool> is_grab_aim_trash{false};

  // Service side: raise the request, lower the done flag (together).
  void ArmDetect();
  bool IsDetectDone() const { return is_detect_done_.load(); }
  // Blocks until the done flag is up or `max_wait` has passed; returns the
  // flag. A flag raised before the call returns at once.
  bool WaitDetectDone(std::chrono::milliseconds max_wait);
  void ClearDetectDone();
  // Lowers the done flag and returns the list as the callback left it.
  std::vector<TrashInfo> TakeTrashInfos();
  std::vector<TrashInfo> CopyTrashInfos() const;
  // Camera side: store a frame's records, then lower the request and raise
  // the done flag (together), in that order, and wake a waiting service.
  void FinishDetect(std::vector<TrashInfo> trash_infos);

  // Each step takes its keys from the camera's file, read once.
  void InitializeParams(const CameraDetectionParams& file);
  void InitializePublishers(const CameraDetectionParams& file);
  void InitializeSubscribers(const CameraDetectionParams& file);
  void InitializeAiModel(const CameraDetectionParams& file);
  void initializeClassHeightConf();
  void initializeAiConf();
  void initializeClassSizeRange();

  // Throws StartupInterrupted when a shutdown ends the wait for camera_info.
  bool GetCameraParams(const std::string& topic);
  bool GetTransformMatrix(const std::string& target, const std::string& source,
                          const rclcpp::Time& time, Eigen::Matrix4f& out);

  void ImageCallback(const ImageMsg::ConstSharedPtr& rgb_msg,
                     const ImageMsg::ConstSharedPtr& depth_msg);
  void ImageDetectCallback(const ImageMsg::ConstSharedPtr& rgb_msg,
                           const ImageMsg::ConstSharedPtr& depth_msg);

  // Pieces of the two callbacks.
  DetectionFilterParams FilterParams() const;
  TrashCloudParams CloudParams() const;
  // `colour` shares the message's pixels when it is rgb8 already (read only).
  bool RunModel(const ImageMsg::ConstSharedPtr& rgb_msg, cv_bridge::CvImageConstPtr& colour,
                std::vector<ai_moor::model::SegObject>& objs,
                std::chrono::system_clock::time_point& t0, bool debug_level);
  // Draws and publishes only when the topic has a subscriber or in debug
  // mode; `detected` is filled in debug mode only.
  void PublishDetectionImage(const cv::Mat& image,
                             const std::vector<ai_moor::model::SegObject>& objs, cv::Mat& detected);
  bool DepthMatchesColour(const ImageMsg& depth_msg, const cv::Mat& image);
  // False (with one error line) when the intrinsics in use cannot serve this
  // frame: unusable values, or a camera_info of another image size.
  bool IntrinsicsFitImage(const cv::Mat& image);
  // Takes the camera mounting from tf once it is there, when it was missing at
  // start-up or a camera_info was adopted without it; until then the
  // estimator's configured mounting stays in use.
  void RefreshCameraTransform();
  // Puts the camera-to-arm-base matrix from tf into the estimator, and logs it.
  void UseCameraTransform(const Eigen::Matrix4f& matrix);
  // Runtime camera_info: a usable one replaces the intrinsics in use (and asks
  // tf for the mounting if it never came from there), an unusable one is
  // reported and ignored.
  void OnCameraInfo(const sensor_msgs::msg::CameraInfo& info);
  void PublishInspection(const std::vector<TrashInfo>& trash_infos,
                         const std::vector<pcl::PointCloud<pcl::PointXYZ>::Ptr>& transformed_clouds,
                         const std::vector<pcl::PointCloud<pcl::PointXYZ>::Ptr>& processed_clouds);

  // Configuration, named after the keys of the per-camera file; the file
  // supplies every value (no defaults here).
  std::int32_t cam_id{};
  std::string cam_frame_id;
  bool is_debug{};
  bool is_realtime_estimate{};
  bool is_enable_semantic{};
  bool is_enable_transparent{};
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
  // Above this TCP height a transparent grab is not trusted (not configurable).
  const float transparent_tcp_z_max_{0.1F};

  std::string detected_image_topic;
  std::string trashes_cloud_topic;
  std::string camera_info_topic;
  bool is_detect_grab_pose{};
  std::string rgb_topic;
  std::string depth_topic;

  CameraParams camera_params_;
  // Intrinsics, mounting and their reports are touched only at start-up and on
  // the camera node's default (mutually exclusive) callback group.
  bool intrinsics_from_camera_info_{false};
  std::string camera_info_fault_;  // last fault reported, so each is logged once
  bool camera_transform_from_tf_{false};
  bool camera_transform_pending_{false};
  bool camera_transform_fallback_logged_{false};

  std::string m_model_type_;
  std::vector<int> trash_class_ids;
  std::vector<std::string> class_names_;
  std::shared_ptr<ai_moor::model::YOLOv8Seg> model_;

  ClassValueRecord class_height_conf_;
  ClassValueRecord ai_conf_;
  ClassSizeRangeMap class_size_range_map;

  std::vector<TrashInfo> trash_infos_;  // guarded by trash_infos_mutex_
  mutable std::mutex trash_infos_mutex_;
  // Signalled when the done flag goes up; the flag changes under the mutex.
  std::condition_variable detect_done_cv_;

  rclcpp::Node::SharedPtr node_;
  std::unique_ptr<GrabPoseEstimate> grab_pose_estimate_;
  std::unique_ptr<tf2_ros::Buffer> tf_buffer_;
  std::shared_ptr<tf2_ros::TransformListener> tf_listener_;

  rclcpp::Publisher<ImageMsg>::SharedPtr detected_image_pub_;
  rclcpp::Publisher<sensor_msgs::msg::PointCloud2>::SharedPtr trashes_cloud_pub_;
  rclcpp::Publisher<sensor_msgs::msg::PointCloud2>::SharedPtr trashes_init_cloud_pub_;
  std::shared_ptr<tf2_ros::StaticTransformBroadcaster> static_broadcaster_;
  rclcpp::Publisher<visualization_msgs::msg::MarkerArray>::SharedPtr trash_obb_markers_pub_;
  rclcpp::Publisher<visualization_msgs::msg::MarkerArray>::SharedPtr trash_pose_pub_;
  rclcpp::Publisher<moorwick_protocol::msg::GrabTrashCloud>::SharedPtr grab_trash_cloud_pub_;

  std::shared_ptr<message_filters::Subscriber<ImageMsg>> rgb_sub_;
  std::shared_ptr<message_filters::Subscriber<ImageMsg>> depth_sub_;
  std::shared_ptr<message_filters::Synchronizer<SyncPolicy>> sync_;
  rclcpp::Subscription<sensor_msgs::msg::CameraInfo>::SharedPtr camera_info_sub_;
};

// A camera built from its file (read once) and initialised in the node's fixed
// order: parameters, publishers, subscribers, model, class tables.
std::shared_ptr<CameraDetectionNode> MakeCameraDetectionNode(rclcpp::Node::SharedPtr node,
                                                             const std::string& path);

}  // namespace moorwick
