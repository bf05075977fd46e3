// Publishes fixed transforms on /tf_static (transient local, depth 1). Every frame it has
// sent is kept and the whole set goes out each time, so late joiners see all of them.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "geometry_msgs/msg/transform_stamped.hpp"
#include "rclcpp/node.hpp"
#include "rclcpp/publisher.hpp"
#include "rclcpp/qos.hpp"
#include "tf2_msgs/msg/tf_message.hpp"
#include "tf2_ros/qos.hpp"

namespace tf2_ros {

class StaticTransformBroadcaster {
public:
  using SharedPtr = std::shared_ptr<StaticTransformBroadcaster>;

  explicit StaticTransformBroadcaster(const rclcpp::Node::SharedPtr& node,
                                      const rclcpp::QoS& qos = StaticBroadcasterQoS());
  explicit StaticTransformBroadcaster(rclcpp::Node* node,
                                      const rclcpp::QoS& qos = StaticBroadcasterQoS())
      : StaticTransformBroadcaster(node->shared_from_this(), qos) {}

  // Adds or replaces (same child frame) and publishes the whole set.
  void sendTransform(const geometry_msgs::msg::TransformStamped& transform);
  void sendTransform(const std::vector<geometry_msgs::msg::TransformStamped>& transforms);

private:
  rclcpp::Publisher<tf2_msgs::msg::TFMessage>::SharedPtr publisher_;
  tf2_msgs::msg::TFMessage net_message_;
  std::mutex mutex_;
};

}  // namespace tf2_ros
