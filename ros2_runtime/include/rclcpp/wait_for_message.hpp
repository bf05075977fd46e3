// Waits for one message on a topic, on the calling thread: no executor has to
// spin. Returns false on time-out or shutdown.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "rclcpp/node.hpp"
#include "rclcpp/qos.hpp"
#include "rclcpp/subscription.hpp"

namespace rclcpp {

namespace detail {
template <class MsgT>
bool wait_on_subscription(MsgT& out, bool& got, SubscriptionBase& sub, Context& context,
                          std::chrono::nanoseconds time_to_wait) {
  const auto until = time_to_wait < std::chrono::nanoseconds(0)
                         ? std::chrono::steady_clock::time_point::max()
                         : std::chrono::steady_clock::now() + time_to_wait;
  (void)out;
  for (;;) {
    if (!context.is_valid()) {
      return false;
    }
    const uint64_t seen = context.work_generation();
    Work work;
    while (sub.take_next(work)) {
      sub.execute(work);
      if (got) {
        return true;
      }
    }
    if (std::chrono::steady_clock::now() >= until) {
      return false;
    }
    context.wait_for_work(seen, until);
  }
}
}  // namespace detail

template <class MsgT, class Rep = int64_t, class Period = std::milli>
bool wait_for_message(
    MsgT& out, rclcpp::Node::SharedPtr node, const std::string& topic,
    std::chrono::duration<Rep, Period> time_to_wait = std::chrono::duration<Rep, Period>(-1),
    const rclcpp::QoS& qos = rclcpp::QoS(1)) {
  bool got = false;
  // Not registered with the node: executors never see it, this thread takes
  // the sample itself.
  auto sub =
      std::make_shared<Subscription<MsgT>>(node->get_context(), node->resolve_topic_name(topic),
                                           qos, [&out, &got](std::shared_ptr<MsgT> msg) {
                                             if (!got) {
                                               out = std::move(*msg);
                                               got = true;
                                             }
                                           });
  return detail::wait_on_subscription(
      out, got, *sub, *node->get_context(),
      std::chrono::duration_cast<std::chrono::nanoseconds>(time_to_wait));
}

}  // namespace rclcpp
