#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>

#include "rclcpp/context.hpp"
#include "rclcpp/detail/executable_entity.hpp"
#include "rclcpp/logging.hpp"
#include "rclcpp/message_info.hpp"
#include "rclcpp/qos.hpp"
#include "ros2_runtime/dds_bridge.hpp"
#include "ros2_runtime/type_support.hpp"

namespace rclcpp {

template <class T>
struct dependent_false : std::false_type {};

class SubscriptionBase : public detail::ExecutableEntity {
public:
  using SharedPtr = std::shared_ptr<SubscriptionBase>;

  SubscriptionBase(Context::SharedPtr context, const std::string& topic, const QoS& qos,
                   const ros2_runtime::TypeSupport& ts, const std::string& logger_name)
      : context_(std::move(context)),
        topic_(topic),
        qos_(qos),
        reader_(
            context_->participant(), ros2_runtime::topic_to_dds(topic), ts,
            qos.get_rmw_qos_profile(), "",
            [this] {
              set_pending();
              context_->notify_work();
            },
            [topic, logger_name](const char* policy) {
              // rclcpp's default incompatible QoS handler, word for word.
              RCLCPP_WARN(get_logger(logger_name),
                          "New publisher discovered on topic '%s', offering incompatible QoS. "
                          "No messages will be sent to it. Last incompatible policy: %s",
                          topic.c_str(), policy);
            }) {}

  ~SubscriptionBase() override { context_->graph_remove_endpoint(gid()); }

  ros2_runtime::Gid gid() const { return ros2_runtime::entity_gid(reader_.handle()); }
  const char* get_topic_name() const { return topic_.c_str(); }
  size_t get_publisher_count() const { return reader_.matched_count(); }
  QoS get_actual_qos() const { return qos_; }

  bool take(detail::Work& work) override { return reader_.take(work.sample); }

protected:
  // Bad input is reported once per subscription and dropped.
  void report_bad_sample(size_t size) {
    if (!reported_bad_sample_) {
      reported_bad_sample_ = true;
      std::fprintf(stderr,
                   "[ros2_runtime] dropped a malformed sample (%zu bytes) on '%s'; further ones "
                   "are dropped silently\n",
                   size, topic_.c_str());
    }
  }

private:
  Context::SharedPtr context_;
  std::string topic_;
  QoS qos_;
  bool reported_bad_sample_{false};
  ros2_runtime::DdsReader reader_;  // last: deleted first, before the state its listener uses
};

namespace detail {
// Adapts the callback shapes rclcpp accepts to one taking a shared message.
template <class M, class F>
std::function<void(std::shared_ptr<M>)> make_message_dispatch(F&& f) {
  using Fn = std::decay_t<F>;
  if constexpr (std::is_invocable_v<Fn&, std::shared_ptr<M>>) {
    return [fn = Fn(std::forward<F>(f))](std::shared_ptr<M> m) mutable { fn(std::move(m)); };
  } else if constexpr (std::is_invocable_v<Fn&, std::unique_ptr<M>>) {
    return [fn = Fn(std::forward<F>(f))](std::shared_ptr<M> m) mutable {
      fn(std::make_unique<M>(std::move(*m)));
    };
  } else if constexpr (std::is_invocable_v<Fn&, const M&>) {
    return [fn = Fn(std::forward<F>(f))](std::shared_ptr<M> m) mutable { fn(*m); };
  } else {
    static_assert(dependent_false<F>::value, "unsupported subscription callback signature");
  }
}
}  // namespace detail

template <class MessageT, class AllocatorT = std::allocator<void>>
class Subscription : public SubscriptionBase {
public:
  using SharedPtr = std::shared_ptr<Subscription>;
  using ConstSharedPtr = std::shared_ptr<const Subscription>;
  using WeakPtr = std::weak_ptr<Subscription>;

  template <class CallbackT>
  Subscription(Context::SharedPtr context, const std::string& topic, const QoS& qos,
               CallbackT&& callback, const std::string& logger_name = "rclcpp")
      : SubscriptionBase(std::move(context), topic, qos,
                         ros2_runtime::message_type_support<MessageT>(), logger_name),
        callback_(detail::make_message_dispatch<MessageT>(std::forward<CallbackT>(callback))) {}

  using SubscriptionBase::take;

  // One queued message, without running the callback (rclcpp's
  // Subscription::take). False when nothing is queued; a malformed sample is
  // reported and dropped.
  bool take(MessageT& message_out, MessageInfo& /*message_info_out*/) {
    detail::Work work;
    while (take_next(work)) {
      const size_t size = work.sample.size();
      const bool ok = ros2_runtime::cdr::deserialize(work.sample.data(), size, message_out);
      work.sample.reset();
      if (ok) {
        return true;
      }
      report_bad_sample(size);
    }
    return false;
  }

  void execute(detail::Work& work) override {
    auto msg = std::make_shared<MessageT>();
    const bool ok = ros2_runtime::cdr::deserialize(work.sample.data(), work.sample.size(), *msg);
    const size_t size = work.sample.size();
    work.sample.reset();
    if (!ok) {
      report_bad_sample(size);
      return;
    }
    callback_(std::move(msg));
  }

private:
  std::function<void(std::shared_ptr<MessageT>)> callback_;
};

}  // namespace rclcpp
