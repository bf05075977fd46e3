// Conversions between tf2's LinearMath types and geometry messages.
#pragma once

#include "geometry_msgs/msg/quaternion.hpp"
#include "geometry_msgs/msg/vector3.hpp"
#include "tf2/LinearMath/Matrix3x3.h"
#include "tf2/LinearMath/Quaternion.h"

namespace tf2 {

inline geometry_msgs::msg::Quaternion toMsg(const tf2::Quaternion& in) {
  geometry_msgs::msg::Quaternion out;
  out.x = in.x();
  out.y = in.y();
  out.z = in.z();
  out.w = in.w();
  return out;
}

inline void fromMsg(const geometry_msgs::msg::Quaternion& in, tf2::Quaternion& out) {
  out = tf2::Quaternion(in.x, in.y, in.z, in.w);
}

inline geometry_msgs::msg::Vector3 toMsg(const tf2::Vector3& in) {
  geometry_msgs::msg::Vector3 out;
  out.x = in.x();
  out.y = in.y();
  out.z = in.z();
  return out;
}

inline void fromMsg(const geometry_msgs::msg::Vector3& in, tf2::Vector3& out) {
  out = tf2::Vector3(in.x, in.y, in.z);
}

inline void convert(const geometry_msgs::msg::Quaternion& in, tf2::Quaternion& out) {
  fromMsg(in, out);
}

inline void convert(const tf2::Quaternion& in, geometry_msgs::msg::Quaternion& out) {
  out = toMsg(in);
}

}  // namespace tf2
