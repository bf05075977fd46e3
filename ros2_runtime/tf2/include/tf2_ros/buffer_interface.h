// Time conversions between tf2 (std::chrono), builtin_interfaces and rclcpp.
#pragma once

#include "builtin_interfaces/msg/time.hpp"
#include "rclcpp/duration.hpp"
#include "rclcpp/time.hpp"
#include "tf2/time.h"

namespace tf2_ros {

inline tf2::TimePoint fromMsg(const builtin_interfaces::msg::Time& time_msg) {
  return tf2::TimePoint(std::chrono::seconds(time_msg.sec) +
                        std::chrono::nanoseconds(time_msg.nanosec));
}

inline builtin_interfaces::msg::Time toMsg(const tf2::TimePoint& t) {
  const std::int64_t ns = t.time_since_epoch().count();
  builtin_interfaces::msg::Time out;
  out.sec = static_cast<std::int32_t>(ns / 1000000000);
  out.nanosec = static_cast<std::uint32_t>(ns % 1000000000);
  return out;
}

inline tf2::TimePoint fromRclcpp(const rclcpp::Time& time) {
  return tf2::TimePoint(std::chrono::nanoseconds(time.nanoseconds()));
}

inline rclcpp::Time toRclcpp(const tf2::TimePoint& time) {
  return rclcpp::Time(static_cast<std::int64_t>(time.time_since_epoch().count()), RCL_ROS_TIME);
}

inline tf2::Duration fromRclcpp(const rclcpp::Duration& duration) {
  return tf2::Duration(duration.nanoseconds());
}

inline rclcpp::Duration toRclcpp(const tf2::Duration& duration) {
  return rclcpp::Duration::from_nanoseconds(duration.count());
}

}  // namespace tf2_ros
