// Messages of the simulated camera and the printouts of the demo tools,
// separate from the executables so they can be tested without DDS.
#pragma once

#include <opencv2/core.hpp>

#include <Eigen/Geometry>
#include <string>

#include "geometry_msgs/msg/transform_stamped.hpp"
#include "moorwick_protocol/msg/trash_info.hpp"
#include "moorwick_sim/scene_file.hpp"
#include "rclcpp/time.hpp"
#include "sensor_msgs/msg/camera_info.hpp"
#include "sensor_msgs/msg/image.hpp"

namespace moorwick_sim {

// rgb: CV_8UC3 in RGB order -> "rgb8", packed rows.
sensor_msgs::msg::Image MakeRgbImage(const cv::Mat& rgb, const rclcpp::Time& stamp,
                                     const std::string& frame_id);
// depth: CV_16UC1 millimetres -> "16UC1", little-endian, packed rows.
sensor_msgs::msg::Image MakeDepthImage(const cv::Mat& depth, const rclcpp::Time& stamp,
                                       const std::string& frame_id);
// Pinhole model without distortion, rectified (R identity, P = [K | 0]).
sensor_msgs::msg::CameraInfo MakeCameraInfo(const moorwick_sim::PinholeCamera& camera,
                                            const rclcpp::Time& stamp, const std::string& frame_id);
// parent_from_child as a tf transform (header.frame_id = parent).
geometry_msgs::msg::TransformStamped MakeTransform(const rclcpp::Time& stamp,
                                                   const std::string& parent,
                                                   const std::string& child,
                                                   const Eigen::Isometry3d& parent_from_child);

// The scene's ground truth, one block per piece, for people to read.
std::string FormatTruth(const moorwick_sim::SceneFile& scene,
                        const moorwick_sim::RenderedFrame& frame);

// Error codes of the detect service and their names.
std::string ErrorCodeName(int code);

// An answered piece beside the truth piece nearest to it (or alone when the
// scene has no pieces): class, axis type, poses, size and the errors.
struct Comparison {
  int truth_index{-1};
  moorwick_sim::GrabError error;
};
Comparison CompareWithScene(const moorwick_sim::SceneFile& scene,
                            const moorwick_protocol::msg::TrashInfo& answer);

// Writes an rgb8 image message to an image file (format by extension).
// False with the reason when there is no image, it is not packed rgb8, or the
// file cannot be written.
bool SaveRgbImage(const sensor_msgs::msg::Image::ConstSharedPtr& image, const std::string& path,
                  std::string& problem);

// Angle in degrees between an answered and a true gripper orientation. A
// two-finger gripper turned half about its approach axis (tool z) grabs the
// same way, so the smaller of the two angles counts.
double GrabOrientationErrorDeg(const Eigen::Quaterniond& answer, const Eigen::Quaterniond& truth);

// Readable block of one service answer.
std::string FormatTrashInfo(const moorwick_protocol::msg::TrashInfo& info);

}  // namespace moorwick_sim
