#include "moorwick_arm_trash_detect/node/inspection_output.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <opencv2/imgproc.hpp>
#include <rclcpp/duration.hpp>

#include "moorwick_arm_trash_detect/core/class_vocabulary.hpp"
#include "moorwick_arm_trash_detect/logging/logger.hpp"
#include "moorwick_arm_trash_detect/node/pose_conversions.hpp"

namespace moorwick {

namespace {

using visualization_msgs::msg::Marker;

Marker MarkerOf(const InspectionHeader& header, std::size_t j) {
  Marker m;
  m.header.frame_id = header.arm_base_frame_id;
  m.header.stamp = header.stamp;
  m.id = static_cast<int>(j);
  m.action = Marker::ADD;
  m.lifetime = rclcpp::Duration::from_seconds(10.0);
  return m;
}

void SetColor(Marker& m, float r, float g, float b, float a) {
  m.color.r = r;
  m.color.g = g;
  m.color.b = b;
  m.color.a = a;
}

}  // namespace

void DrawDetections(const cv::Mat& input, cv::Mat& output,
                    const std::vector<ai_moor::model::SegObject>& objs,
                    const std::vector<std::string>& class_names) {
  // Keeps a caller's buffer of the right size (a message's pixels).
  input.copyTo(output);
  cv::Mat overlay = input.clone();
  for (const auto& obj : objs) {
    const int label = obj.label;
    const RgbColor* box_color = BoxColorFor(label);
    const RgbColor* mask_color = MaskColorFor(label);
    if (box_color == nullptr || mask_color == nullptr) {
      LOG_WARN("class index {} has no drawing colour; detection not drawn", label);
      continue;
    }
    const cv::Rect box(cvRound(obj.rect.x), cvRound(obj.rect.y), cvRound(obj.rect.width),
                       cvRound(obj.rect.height));
    cv::rectangle(output, box, cv::Scalar((*box_color)[0], (*box_color)[1], (*box_color)[2]), 2,
                  cv::LINE_8);
    if (!obj.mask.empty() && obj.mask.size() == overlay.size() && obj.mask.type() == CV_8UC1) {
      overlay.setTo(cv::Scalar((*mask_color)[0], (*mask_color)[1], (*mask_color)[2]), obj.mask);
    }
    const std::string name = label >= 0 && static_cast<std::size_t>(label) < class_names.size()
                                 ? class_names[label]
                                 : std::to_string(label);
    char text[256];
    std::snprintf(text, sizeof(text), "%s %.1f%%", name.c_str(), obj.prob * 100.0F);
    int baseline = 0;
    const cv::Size size = cv::getTextSize(text, cv::FONT_HERSHEY_SIMPLEX, 0.4, 1, &baseline);
    const int x = static_cast<int>(obj.rect.x);
    const int y = std::min(static_cast<int>(obj.rect.y) + 1, output.rows);
    cv::rectangle(output, cv::Rect(cv::Point(x, y), cv::Size(size.width, size.height + baseline)),
                  cv::Scalar(0, 0, 255), -1, cv::LINE_8);
    cv::putText(output, text, cv::Point(x, y + size.height), cv::FONT_HERSHEY_SIMPLEX, 0.4,
                cv::Scalar(255, 255, 255), 1, cv::LINE_8);
  }
  cv::addWeighted(output, 0.5, overlay, 0.8, 1.0, output);
}

pcl::PointCloud<pcl::PointXYZ> MergeClouds(
    const std::vector<pcl::PointCloud<pcl::PointXYZ>::Ptr>& parts) {
  pcl::PointCloud<pcl::PointXYZ> merged;
  merged.is_dense = true;
  for (const auto& part : parts) {
    merged.points.insert(merged.points.end(), part->points.begin(), part->points.end());
    merged.is_dense = merged.is_dense && part->is_dense;
    merged.header.stamp = std::max(merged.header.stamp, part->header.stamp);
  }
  merged.width = static_cast<std::uint32_t>(merged.points.size());
  merged.height = 1;
  return merged;
}

std::vector<geometry_msgs::msg::TransformStamped> TrashPoseTransforms(
    const InspectionHeader& header, const std::vector<TrashInfo>& trash_infos) {
  std::vector<geometry_msgs::msg::TransformStamped> transforms;
  for (std::size_t j = 0; j < trash_infos.size(); ++j) {
    geometry_msgs::msg::TransformStamped t;
    t.header.stamp = header.stamp;
    t.header.frame_id = header.arm_base_frame_id;
    t.child_frame_id =
        "cam_" + std::to_string(header.cam_id) + "_trash_pose_" + std::to_string(j + 1);
    t.transform = ToTransformMsg(trash_infos[j].arm_pose);
    transforms.push_back(t);
  }
  return transforms;
}

visualization_msgs::msg::MarkerArray ObbMarkers(const InspectionHeader& header,
                                                const std::vector<TrashInfo>& trash_infos) {
  visualization_msgs::msg::MarkerArray markers;
  for (std::size_t j = 0; j < trash_infos.size(); ++j) {
    const TrashInfo& info = trash_infos[j];
    const Eigen::Vector3d p_arm = Position(info.arm_pose);
    const Eigen::Quaterniond q_arm = Orientation(info.arm_pose);
    Marker obb = MarkerOf(header, j);
    obb.ns = "cam_" + std::to_string(header.cam_id) + "_trash_obb";
    obb.type = Marker::CUBE;
    obb.pose =
        ToPoseMsg(p_arm + q_arm * Position(info.obb_pose), q_arm * Orientation(info.obb_pose));
    obb.scale.x = info.obb_size[0];
    obb.scale.y = info.obb_size[1];
    obb.scale.z = info.obb_size[2];
    SetColor(obb, 0.0F, 1.0F, 0.0F, 0.36F);
    markers.markers.push_back(obb);
  }
  return markers;
}

visualization_msgs::msg::MarkerArray PoseMarkers(const InspectionHeader& header,
                                                 const std::vector<TrashInfo>& trash_infos) {
  // Rotation of -90 degrees about y: turns the arrow (x axis) onto the grab frame's z axis.
  const Eigen::Quaterniond q_y(std::cos(M_PI / 4.0), 0.0, -std::sin(M_PI / 4.0), 0.0);
  visualization_msgs::msg::MarkerArray markers;
  for (std::size_t j = 0; j < trash_infos.size(); ++j) {
    const TrashInfo& info = trash_infos[j];
    Marker arrow = MarkerOf(header, j);
    arrow.type = Marker::ARROW;
    arrow.scale.x = 0.1;
    arrow.scale.y = 0.01;
    arrow.scale.z = 0.01;
    arrow.ns = "trash_pose_x";
    arrow.pose = ToPoseMsg(info.arm_pose);
    SetColor(arrow, 1.0F, 0.0F, 0.0F, 0.8F);
    markers.markers.push_back(arrow);
    arrow.ns = "trash_pose_z";
    arrow.pose =
        ToPoseMsg(Position(info.arm_pose), (Orientation(info.arm_pose) * q_y).normalized());
    SetColor(arrow, 0.0F, 0.0F, 1.0F, 0.8F);
    markers.markers.push_back(arrow);
  }
  return markers;
}

}  // namespace moorwick
