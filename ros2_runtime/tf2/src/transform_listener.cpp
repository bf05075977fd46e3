#include "tf2_ros/transform_listener.h"

#include <cstdio>

#include "moorwick_arm_trash_detect/logging/logger.hpp"
#include "rclcpp/executors.hpp"
#include "rclcpp/publisher_options.hpp"
#include "tf2_ros/buffer.h"

namespace tf2_ros {

namespace {

std::string implNodeName(const void* self) {
  char name[64];
  std::snprintf(name, sizeof(name), "transform_listener_impl_%llx",
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(self)));
  return name;
}

}  // namespace

TransformListener::TransformListener(tf2::BufferCore& buffer, bool spin_thread) : buffer_(buffer) {
  node_ = rclcpp::Node::make_shared(
      implNodeName(this),
      rclcpp::NodeOptions().start_parameter_services(false).start_parameter_event_publisher(false));
  init(spin_thread, DynamicListenerQoS(), StaticListenerQoS());
}

TransformListener::TransformListener(tf2::BufferCore& buffer, rclcpp::Node::SharedPtr node,
                                     bool spin_thread, const rclcpp::QoS& qos,
                                     const rclcpp::QoS& static_qos)
    : buffer_(buffer), node_(std::move(node)) {
  init(spin_thread, qos, static_qos);
}

void TransformListener::init(bool spin_thread, const rclcpp::QoS& qos,
                             const rclcpp::QoS& static_qos) {
  rclcpp::SubscriptionOptions options;
  if (spin_thread) {
    callback_group_ =
        node_->create_callback_group(rclcpp::CallbackGroupType::MutuallyExclusive, false);
    options.callback_group = callback_group_;
  }
  message_subscription_tf_ = node_->create_subscription<tf2_msgs::msg::TFMessage>(
      "/tf", qos,
      [this](const std::shared_ptr<const tf2_msgs::msg::TFMessage>& msg) {
        subscription_callback(msg, false);
      },
      options);
  message_subscription_tf_static_ = node_->create_subscription<tf2_msgs::msg::TFMessage>(
      "/tf_static", static_qos,
      [this](const std::shared_ptr<const tf2_msgs::msg::TFMessage>& msg) {
        subscription_callback(msg, true);
      },
      options);
  if (spin_thread) {
    auto executor = std::make_shared<rclcpp::executors::SingleThreadedExecutor>();
    executor->add_callback_group(callback_group_, node_);
    executor_ = executor;
    dedicated_listener_thread_ = std::thread([executor] { executor->spin(); });
    if (auto* ros_buffer = dynamic_cast<tf2_ros::Buffer*>(&buffer_)) {
      ros_buffer->setUsingDedicatedThread(true);
    }
  }
}

TransformListener::~TransformListener() {
  if (executor_) {
    executor_->cancel();
  }
  if (dedicated_listener_thread_.joinable()) {
    dedicated_listener_thread_.join();
  }
  if (executor_ && callback_group_) {
    executor_->remove_callback_group(callback_group_);
  }
}

void TransformListener::subscription_callback(
    const std::shared_ptr<const tf2_msgs::msg::TFMessage>& msg, bool is_static) {
  const std::string authority = "Authority undetectable";
  for (const auto& transform : msg->transforms) {
    try {
      buffer_.setTransform(transform, authority, is_static);
    } catch (const tf2::TransformException& ex) {
      LOG_ERROR("Failure to set received transform from {} to {} with error: {}",
                transform.child_frame_id, transform.header.frame_id, ex.what());
    }
  }
}

}  // namespace tf2_ros
