#include "tf2_ros/static_transform_broadcaster.h"

namespace tf2_ros {

StaticTransformBroadcaster::StaticTransformBroadcaster(const rclcpp::Node::SharedPtr& node,
                                                       const rclcpp::QoS& qos)
    : publisher_(node->create_publisher<tf2_msgs::msg::TFMessage>("/tf_static", qos)) {
}

void StaticTransformBroadcaster::sendTransform(
    const geometry_msgs::msg::TransformStamped& transform) {
  sendTransform(std::vector<geometry_msgs::msg::TransformStamped>{transform});
}

void StaticTransformBroadcaster::sendTransform(
    const std::vector<geometry_msgs::msg::TransformStamped>& transforms) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& input : transforms) {
    bool replaced = false;
    for (auto& held : net_message_.transforms) {
      if (held.child_frame_id == input.child_frame_id) {
        held = input;
        replaced = true;
        break;
      }
    }
    if (!replaced) {
      net_message_.transforms.push_back(input);
    }
  }
  publisher_->publish(net_message_);
}

}  // namespace tf2_ros
