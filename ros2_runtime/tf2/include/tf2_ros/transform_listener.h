// Fills a tf2 buffer from /tf and /tf_static. With spin_thread (the default) the
// subscriptions live in their own callback group served by a private executor thread,
// so lookups with a timeout can wait on other threads.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "rclcpp/callback_group.hpp"
#include "rclcpp/executor.hpp"
#include "rclcpp/node.hpp"
#include "rclcpp/qos.hpp"
#include "rclcpp/subscription.hpp"
#include "tf2/buffer_core.h"
#include "tf2_msgs/msg/tf_message.hpp"
#include "tf2_ros/qos.hpp"

namespace tf2_ros {

class TransformListener {
public:
  // Creates its own node (transform_listener_impl_<address>) on the default context.
  explicit TransformListener(tf2::BufferCore& buffer, bool spin_thread = true);

  TransformListener(tf2::BufferCore& buffer, rclcpp::Node::SharedPtr node, bool spin_thread = true,
                    const rclcpp::QoS& qos = DynamicListenerQoS(),
                    const rclcpp::QoS& static_qos = StaticListenerQoS());

  TransformListener(tf2::BufferCore& buffer, rclcpp::Node* node, bool spin_thread = true,
                    const rclcpp::QoS& qos = DynamicListenerQoS(),
                    const rclcpp::QoS& static_qos = StaticListenerQoS())
      : TransformListener(buffer, node->shared_from_this(), spin_thread, qos, static_qos) {}

  TransformListener(const TransformListener&) = delete;
  TransformListener& operator=(const TransformListener&) = delete;

  virtual ~TransformListener();

private:
  void init(bool spin_thread, const rclcpp::QoS& qos, const rclcpp::QoS& static_qos);
  void subscription_callback(const std::shared_ptr<const tf2_msgs::msg::TFMessage>& msg,
                             bool is_static);

  tf2::BufferCore& buffer_;
  rclcpp::Node::SharedPtr node_;
  rclcpp::CallbackGroup::SharedPtr callback_group_;
  std::shared_ptr<rclcpp::Executor> executor_;
  std::thread dedicated_listener_thread_;
  rclcpp::Subscription<tf2_msgs::msg::TFMessage>::SharedPtr message_subscription_tf_;
  rclcpp::Subscription<tf2_msgs::msg::TFMessage>::SharedPtr message_subscription_tf_static_;
};

}  // namespace tf2_ros
