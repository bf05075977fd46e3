#include "tf2_ros/transform_broadcaster.h"

namespace tf2_ros {

TransformBroadcaster::TransformBroadcaster(const rclcpp::Node::SharedPtr& node,
                                           const rclcpp::QoS& qos)
    : publisher_(node->create_publisher<tf2_msgs::msg::TFMessage>("/tf", qos)) {
}

void TransformBroadcaster::sendTransform(const geometry_msgs::msg::TransformStamped& transform) {
  tf2_msgs::msg::TFMessage message;
  message.transforms.push_back(transform);
  publisher_->publish(message);
}

void TransformBroadcaster::sendTransform(
    const std::vector<geometry_msgs::msg::TransformStamped>& transforms) {
  tf2_msgs::msg::TFMessage message;
  message.transforms = transforms;
  publisher_->publish(message);
}

}  // namespace tf2_ros
