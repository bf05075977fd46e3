#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "rclcpp/context.hpp"
#include "rclcpp/logging.hpp"
#include "rclcpp/qos.hpp"
#include "ros2_runtime/dds_bridge.hpp"
#include "ros2_runtime/type_support.hpp"

namespace rclcpp {

class PublisherBase {
public:
  using SharedPtr = std::shared_ptr<PublisherBase>;

  PublisherBase(Context::SharedPtr context, const std::string& topic, const QoS& qos,
                const ros2_runtime::TypeSupport& ts, const std::string& logger_name)
      : context_(std::move(context)),
        topic_(topic),
        qos_(qos),
        writer_(context_->participant(), ros2_runtime::topic_to_dds(topic), ts,
                qos.get_rmw_qos_profile(), "", [topic, logger_name](const char* policy) {
                  // rclcpp's default incompatible QoS handler, word for word.
                  RCLCPP_WARN(get_logger(logger_name),
                              "New subscription discovered on topic '%s', requesting "
                              "incompatible QoS. No messages will be sent to it. Last "
                              "incompatible policy: %s",
                              topic.c_str(), policy);
                }) {}
  virtual ~PublisherBase() { context_->graph_remove_endpoint(gid()); }

  ros2_runtime::Gid gid() const { return ros2_runtime::entity_gid(writer_.handle()); }

  const char* get_topic_name() const { return topic_.c_str(); }
  size_t get_subscription_count() const { return writer_.matched_count(); }
  QoS get_actual_qos() const { return qos_; }

protected:
  void write(const void* msg) {
    if (!writer_.write(msg) && !reported_failure_) {
      reported_failure_ = true;
      std::fprintf(stderr, "[ros2_runtime] publishing on '%s' failed\n", topic_.c_str());
    }
  }

private:
  Context::SharedPtr context_;
  std::string topic_;
  QoS qos_;
  ros2_runtime::DdsWriter writer_;
  bool reported_failure_{false};
};

template <class MessageT, class AllocatorT = std::allocator<void>>
class Publisher : public PublisherBase {
public:
  using SharedPtr = std::shared_ptr<Publisher>;
  using ConstSharedPtr = std::shared_ptr<const Publisher>;
  using WeakPtr = std::weak_ptr<Publisher>;

  Publisher(Context::SharedPtr context, const std::string& topic, const QoS& qos,
            const std::string& logger_name = "rclcpp")
      : PublisherBase(std::move(context), topic, qos,
                      ros2_runtime::message_type_support<MessageT>(), logger_name) {}

  void publish(const MessageT& msg) { write(&msg); }
  void publish(std::unique_ptr<MessageT> msg) { write(msg.get()); }
};

}  // namespace rclcpp
