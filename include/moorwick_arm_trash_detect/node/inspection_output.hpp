// What a camera publishes for people to look at: the detection image, the
// merged clouds, one static transform per grab pose and the marker arrays.
// Plain functions of a frame's results, so they are checked without ROS I/O.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <string>
#include <vector>

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#include <builtin_interfaces/msg/time.hpp>
#include <geometry_msgs/msg/transform_stamped.hpp>
#include <visualization_msgs/msg/marker_array.hpp>

#include "ai_moor/model/yolov8_seg.hpp"
#include "moorwick_arm_trash_detect/core/records.hpp"

namespace moorwick {

// The detection image: boxes, labels "name 87.5%" and blended masks on a copy
// of `input` (RGB). Class indices without a palette colour are skipped. An
// `output` of the input's size and type is drawn into in place.
void DrawDetections(const cv::Mat& input, cv::Mat& output,
                    const std::vector<ai_moor::model::SegObject>& objs,
                    const std::vector<std::string>& class_names);

// Points concatenated in list order; dense only when every part is; stamped
// with the latest part.
pcl::PointCloud<pcl::PointXYZ> MergeClouds(
    const std::vector<pcl::PointCloud<pcl::PointXYZ>::Ptr>& parts);

// Header shared by every output of one frame.
struct InspectionHeader {
  std::int32_t cam_id{0};
  std::string arm_base_frame_id;
  builtin_interfaces::msg::Time stamp;
};

// One transform per record, children "cam_<id>_trash_pose_<j+1>" of the arm base.
std::vector<geometry_msgs::msg::TransformStamped> TrashPoseTransforms(
    const InspectionHeader& header, const std::vector<TrashInfo>& trash_infos);

// One cube per record: the box pose composed onto the grab pose, sized by the
// piece's extents.
visualization_msgs::msg::MarkerArray ObbMarkers(const InspectionHeader& header,
                                                const std::vector<TrashInfo>& trash_infos);

// Two arrows per record at the grab position: "trash_pose_x" along the grab
// frame's x axis and "trash_pose_z" along its z axis.
visualization_msgs::msg::MarkerArray PoseMarkers(const InspectionHeader& header,
                                                 const std::vector<TrashInfo>& trash_infos);

}  // namespace moorwick
