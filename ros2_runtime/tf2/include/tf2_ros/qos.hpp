// The QoS profiles tf2_ros uses on /tf and /tf_static.
#pragma once

#include "rclcpp/qos.hpp"

namespace tf2_ros {

class DynamicListenerQoS : public rclcpp::QoS {
public:
  explicit DynamicListenerQoS(size_t depth = 100) : rclcpp::QoS(depth) {}
};

class DynamicBroadcasterQoS : public rclcpp::QoS {
public:
  explicit DynamicBroadcasterQoS(size_t depth = 100) : rclcpp::QoS(depth) {}
};

class StaticListenerQoS : public rclcpp::QoS {
public:
  explicit StaticListenerQoS(size_t depth = 100) : rclcpp::QoS(depth) { transient_local(); }
};

class StaticBroadcasterQoS : public rclcpp::QoS {
public:
  explicit StaticBroadcasterQoS(size_t depth = 1) : rclcpp::QoS(depth) { transient_local(); }
};

}  // namespace tf2_ros
