// One rendered piece through the node's ROS-free stages after the model: the
// depth cut-out, the move into the arm base frame and the grab pose estimate,
// in the node's order. Shared by the suites that drive rendered scenes.
#pragma once

#include <pcl/common/transforms.h>

#include <cstdint>
#include <memory>

#include "ai_moor/model/yolov8_seg.hpp"
#include "moorwick_arm_trash_detect/core/class_vocabulary.hpp"
#include "moorwick_arm_trash_detect/core/trash_cloud.hpp"
#include "moorwick_arm_trash_detect/core/trash_pose_estimate.hpp"
#include "moorwick_sim/scene_render.hpp"

namespace moorwick_test {

inline moorwick::CameraParams IntrinsicsOf(const moorwick_sim::PinholeCamera& cam) {
  return {static_cast<float>(cam.fx),
          static_cast<float>(cam.fy),
          static_cast<float>(cam.cx),
          static_cast<float>(cam.cy),
          static_cast<std::uint32_t>(cam.width),
          static_cast<std::uint32_t>(cam.height)};
}

// A 16UC1 depth image as the node's message would carry it.
inline moorwick::DepthImageView DepthViewOf(const cv::Mat& depth) {
  return {depth.ptr<std::uint8_t>(0),
          depth.total() * depth.elemSize(),
          static_cast<std::uint32_t>(depth.cols),
          static_cast<std::uint32_t>(depth.rows),
          static_cast<std::uint32_t>(depth.step),
          "16UC1"};
}

// What a perfect model reports for a rendered piece: its class, box and mask (0/1).
inline ai_moor::model::SegObject TruthDetection(const moorwick_sim::RenderedFrame& frame,
                                                int piece) {
  const auto i = static_cast<std::size_t>(piece);
  return {cv::Rect_<float>(frame.truth[i].bbox), frame.truth[i].class_index, 1.0F,
          frame.masks[i].clone()};
}

struct PieceEstimate {
  moorwick::TrashCloudStatus cut{moorwick::TrashCloudStatus::kNoCloud};
  bool transparent{false};
  std::size_t cut_points{0};
  int result{0};
  Eigen::Vector3d position{Eigen::Vector3d::Zero()};  // grab_pose_ position, arm base frame
};

// Cut-out with the shipped camera settings (erosion 1, null ratio 0.3, box
// ratio 1.2), transform with the estimator's extrinsic, GetInitialGrabPose.
// `obj` carries the model's 0/1 mask; the node scales it to 0/255 first.
inline PieceEstimate EstimatePiece(const cv::Mat& depth, const moorwick_sim::PinholeCamera& cam,
                                   moorwick::GrabPoseEstimate& estimator,
                                   ai_moor::model::SegObject obj) {
  PieceEstimate out;
  obj.mask = obj.mask * 255;
  auto cloud = std::make_shared<moorwick::GrabPoseEstimate::Cloud>();
  out.cut = moorwick::GetTrashCloud(DepthViewOf(depth), IntrinsicsOf(cam), {1, 0.3F, 1.2F}, obj,
                                    cloud, out.transparent);
  out.cut_points = cloud->size();
  if (out.cut != moorwick::TrashCloudStatus::kOk) {
    return out;
  }
  auto base_cloud = std::make_shared<moorwick::GrabPoseEstimate::Cloud>();
  pcl::transformPointCloud(*cloud, *base_cloud, estimator.camera_extrinsic_);
  std::int32_t type = 0;
  moorwick::GetTrashType(obj.label, type);
  estimator.trash_type_ = type;
  estimator.grab_class_index_ = obj.label;
  estimator.camera_focal_px_ = static_cast<float>(cam.fx);
  out.result = estimator.GetInitialGrabPose(base_cloud);
  out.position = estimator.grab_pose_.position.cast<double>();
  return out;
}

}  // namespace moorwick_test
