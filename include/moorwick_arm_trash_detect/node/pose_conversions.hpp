// Poses between the node's record, the estimator, Eigen and the ROS messages.
// Records and messages share one layout and are copied field for field, so a
// pose crosses the service or a marker unchanged (no renormalisation).
#pragma once

#include <Eigen/Core>
#include <Eigen/Geometry>

#include <geometry_msgs/msg/pose.hpp>
#include <geometry_msgs/msg/transform.hpp>
#include <geometry_msgs/msg/transform_stamped.hpp>
#include <tf2_eigen/tf2_eigen.hpp>

#include "moorwick_arm_trash_detect/core/records.hpp"
#include "moorwick_arm_trash_detect/core/trash_pose_estimate.hpp"

namespace moorwick {

inline Eigen::Vector3d Position(const PoseRecord& p) {
  return {p.px, p.py, p.pz};
}

inline Eigen::Quaterniond Orientation(const PoseRecord& p) {
  return {p.qw, p.qx, p.qy, p.qz};
}

inline PoseRecord ToPoseRecord(const Eigen::Vector3d& p, const Eigen::Quaterniond& q) {
  return {p.x(), p.y(), p.z(), q.x(), q.y(), q.z(), q.w()};
}

// The estimator's single-precision position is widened, its quaternion copied.
inline PoseRecord ToPoseRecord(const GrabPose& pose) {
  return ToPoseRecord(pose.position.cast<double>(), pose.orientation);
}

inline PoseRecord ToPoseRecord(const geometry_msgs::msg::Pose& m) {
  return {m.position.x,    m.position.y,    m.position.z,   m.orientation.x,
          m.orientation.y, m.orientation.z, m.orientation.w};
}

inline geometry_msgs::msg::Pose ToPoseMsg(const PoseRecord& p) {
  geometry_msgs::msg::Pose m;
  m.position.x = p.px;
  m.position.y = p.py;
  m.position.z = p.pz;
  m.orientation.x = p.qx;
  m.orientation.y = p.qy;
  m.orientation.z = p.qz;
  m.orientation.w = p.qw;
  return m;
}

inline geometry_msgs::msg::Pose ToPoseMsg(const Eigen::Vector3d& p, const Eigen::Quaterniond& q) {
  return ToPoseMsg(ToPoseRecord(p, q));
}

// A pose as the transform from its frame to the parent frame.
inline geometry_msgs::msg::Transform ToTransformMsg(const PoseRecord& p) {
  geometry_msgs::msg::Transform t;
  t.translation.x = p.px;
  t.translation.y = p.py;
  t.translation.z = p.pz;
  t.rotation.x = p.qx;
  t.rotation.y = p.qy;
  t.rotation.z = p.qz;
  t.rotation.w = p.qw;
  return t;
}

// The homogeneous matrix the estimator and pcl::transformPointCloud take.
inline Eigen::Matrix4f ToMatrix4f(const geometry_msgs::msg::TransformStamped& t) {
  return tf2::transformToEigen(t).matrix().cast<float>();
}

}  // namespace moorwick
