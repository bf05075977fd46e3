// Waits for one message on a topic, on the calling thread: no executor has to
// spin. Humble's two forms. Returns false on time-out or shutdown.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "rclcpp/context.hpp"
#include "rclcpp/message_info.hpp"
#include "rclcpp/node.hpp"
#include "rclcpp/qos.hpp"
#include "rclcpp/subscription.hpp"

namespace rclcpp {

// Takes the next message of `subscription` itself; its callback does not run.
template <class MsgT, class Rep = int64_t, class Period = std::milli>
bool wait_for_message(
    MsgT& out, std::shared_ptr<rclcpp::Subscription<MsgT>> subscription,
    // NOLINTNEXTLINE(performance-unnecessary-value-param): rclcpp's signature
    std::shared_ptr<rclcpp::Context> context,
    std::chrono::duration<Rep, Period> time_to_wait = std::chrono::duration<Rep, Period>(-1)) {
  const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(time_to_wait);
  const auto until = wait < std::chrono::nanoseconds(0)
                         ? std::chrono::steady_clock::time_point::max()
                         : std::chrono::steady_clock::now() + wait;
  MessageInfo info;
  for (;;) {
    if (!context->is_valid()) {
      return false;
    }
    // Read before taking, so an arrival between the take and the wait wakes us.
    const uint64_t seen = context->work_generation();
    if (subscription->take(out, info)) {
      return true;
    }
    if (std::chrono::steady_clock::now() >= until) {
      return false;
    }
    context->wait_for_work(seen, until);
  }
}

// A keep-last-1 reliable volatile subscription of its own, as Humble's. Unlike
// Humble's it is not added to the node, so an executor spinning the node
// cannot take the message first.
template <class MsgT, class Rep = int64_t, class Period = std::milli>
bool wait_for_message(
    // NOLINTNEXTLINE(performance-unnecessary-value-param): rclcpp's signature
    MsgT& out, rclcpp::Node::SharedPtr node, const std::string& topic,
    std::chrono::duration<Rep, Period> time_to_wait = std::chrono::duration<Rep, Period>(-1)) {
  auto sub = std::make_shared<Subscription<MsgT>>(
      node->get_node_base_interface()->get_context(), node->resolve_topic_name(topic),
      rclcpp::QoS(1), [](const std::shared_ptr<MsgT>&) {}, node->get_logger().get_name());
  return wait_for_message<MsgT, Rep, Period>(
      out, sub, node->get_node_base_interface()->get_context(), time_to_wait);
}

}  // namespace rclcpp
