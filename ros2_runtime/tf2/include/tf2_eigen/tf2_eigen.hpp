// Conversions between transform messages and Eigen, as tf2_eigen provides them.
#pragma once

#include <Eigen/Geometry>

#include "geometry_msgs/msg/pose.hpp"
#include "geometry_msgs/msg/transform_stamped.hpp"

namespace tf2 {

inline Eigen::Isometry3d transformToEigen(const geometry_msgs::msg::Transform& t) {
  Eigen::Isometry3d out = Eigen::Isometry3d::Identity();
  out.translate(Eigen::Vector3d(t.translation.x, t.translation.y, t.translation.z));
  out.rotate(Eigen::Quaterniond(t.rotation.w, t.rotation.x, t.rotation.y, t.rotation.z));
  return out;
}

inline Eigen::Isometry3d transformToEigen(const geometry_msgs::msg::TransformStamped& t) {
  return transformToEigen(t.transform);
}

inline geometry_msgs::msg::TransformStamped eigenToTransform(const Eigen::Isometry3d& t) {
  geometry_msgs::msg::TransformStamped out;
  out.transform.translation.x = t.translation().x();
  out.transform.translation.y = t.translation().y();
  out.transform.translation.z = t.translation().z();
  const Eigen::Quaterniond q(t.rotation());
  out.transform.rotation.x = q.x();
  out.transform.rotation.y = q.y();
  out.transform.rotation.z = q.z();
  out.transform.rotation.w = q.w();
  return out;
}

inline geometry_msgs::msg::Pose toMsg(const Eigen::Isometry3d& in) {
  geometry_msgs::msg::Pose out;
  out.position.x = in.translation().x();
  out.position.y = in.translation().y();
  out.position.z = in.translation().z();
  const Eigen::Quaterniond q(in.rotation());
  out.orientation.x = q.x();
  out.orientation.y = q.y();
  out.orientation.z = q.z();
  out.orientation.w = q.w();
  return out;
}

inline void fromMsg(const geometry_msgs::msg::Pose& msg, Eigen::Isometry3d& out) {
  out = Eigen::Isometry3d(Eigen::Translation3d(msg.position.x, msg.position.y, msg.position.z) *
                          Eigen::Quaterniond(msg.orientation.w, msg.orientation.x,
                                             msg.orientation.y, msg.orientation.z));
}

}  // namespace tf2
