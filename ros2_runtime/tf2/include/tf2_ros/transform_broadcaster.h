// Publishes moving transforms on /tf (reliable, volatile, depth 100).
#pragma once

#include <memory>
#include <vector>

#include "geometry_msgs/msg/transform_stamped.hpp"
#include "rclcpp/node.hpp"
#include "rclcpp/publisher.hpp"
#include "rclcpp/qos.hpp"
#include "tf2_msgs/msg/tf_message.hpp"
#include "tf2_ros/qos.hpp"

namespace tf2_ros {

class TransformBroadcaster {
public:
  using SharedPtr = std::shared_ptr<TransformBroadcaster>;

  explicit TransformBroadcaster(const rclcpp::Node::SharedPtr& node,
                                const rclcpp::QoS& qos = DynamicBroadcasterQoS());
  explicit TransformBroadcaster(rclcpp::Node* node,
                                const rclcpp::QoS& qos = DynamicBroadcasterQoS())
      : TransformBroadcaster(node->shared_from_this(), qos) {}

  void sendTransform(const geometry_msgs::msg::TransformStamped& transform);
  void sendTransform(const std::vector<geometry_msgs::msg::TransformStamped>& transforms);

private:
  rclcpp::Publisher<tf2_msgs::msg::TFMessage>::SharedPtr publisher_;
};

}  // namespace tf2_ros
