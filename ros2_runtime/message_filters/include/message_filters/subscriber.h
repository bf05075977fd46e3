// A message_filters input fed by an rclcpp subscription. Messages are passed on from the
// subscription callback, so everything downstream runs on the node's executor.
#pragma once

#include <memory>
#include <string>

#include "message_filters/simple_filter.h"
#include "rclcpp/node.hpp"
#include "rclcpp/publisher_options.hpp"
#include "rclcpp/qos.hpp"
#include "rclcpp/subscription.hpp"
#include "rmw/qos_profiles.h"

namespace message_filters {

template <class NodeType = rclcpp::Node>
class SubscriberBase {
public:
  using NodePtr = std::shared_ptr<NodeType>;
  virtual ~SubscriberBase() = default;
  virtual void subscribe(NodePtr node, const std::string& topic,
                         const rmw_qos_profile_t qos = rmw_qos_profile_default) = 0;
  virtual void subscribe(NodeType* node, const std::string& topic,
                         const rmw_qos_profile_t qos = rmw_qos_profile_default) = 0;
  virtual void subscribe() = 0;
  virtual void unsubscribe() = 0;
};

template <class M, class NodeType = rclcpp::Node>
class Subscriber : public SubscriberBase<NodeType>, public SimpleFilter<M> {
public:
  using NodePtr = std::shared_ptr<NodeType>;
  using MConstPtr = std::shared_ptr<const M>;

  Subscriber() = default;

  // Calls from the constructors and the destructor are qualified: dispatch
  // stops at this class there anyway.
  Subscriber(NodePtr node, const std::string& topic,
             const rmw_qos_profile_t qos = rmw_qos_profile_default) {
    Subscriber::subscribe(node, topic, qos);
  }
  Subscriber(NodeType* node, const std::string& topic,
             const rmw_qos_profile_t qos = rmw_qos_profile_default) {
    Subscriber::subscribe(node, topic, qos);
  }
  Subscriber(NodePtr node, const std::string& topic, const rmw_qos_profile_t qos,
             rclcpp::SubscriptionOptions options) {
    Subscriber::subscribe(node.get(), topic, qos, options);
  }
  Subscriber(NodeType* node, const std::string& topic, const rmw_qos_profile_t qos,
             rclcpp::SubscriptionOptions options) {
    Subscriber::subscribe(node, topic, qos, options);
  }
  Subscriber(NodePtr node, const std::string& topic, const rclcpp::QoS& qos,
             rclcpp::SubscriptionOptions options = rclcpp::SubscriptionOptions()) {
    Subscriber::subscribe(node.get(), topic, qos.get_rmw_qos_profile(), options);
  }

  ~Subscriber() override { Subscriber::unsubscribe(); }

  void subscribe(NodePtr node, const std::string& topic,
                 const rmw_qos_profile_t qos = rmw_qos_profile_default) override {
    subscribe(node.get(), topic, qos, rclcpp::SubscriptionOptions());
  }
  void subscribe(NodeType* node, const std::string& topic,
                 const rmw_qos_profile_t qos = rmw_qos_profile_default) override {
    subscribe(node, topic, qos, rclcpp::SubscriptionOptions());
  }
  void subscribe(NodeType* node, const std::string& topic, const rmw_qos_profile_t qos,
                 rclcpp::SubscriptionOptions options) {
    Subscriber::unsubscribe();
    if (topic.empty()) {
      return;
    }
    topic_ = topic;
    qos_ = qos;
    options_ = options;
    node_raw_ = node;
    const rclcpp::QoS rclcpp_qos(rclcpp::QoSInitialization::from_rmw(qos), qos);
    sub_ = node->template create_subscription<M>(
        topic, rclcpp_qos, [this](std::shared_ptr<const M> msg) { this->signalMessage(msg); },
        options);
  }

  // Subscribes again with the last node, topic and QoS.
  void subscribe() override {
    if (!topic_.empty() && node_raw_ && !sub_) {
      subscribe(node_raw_, topic_, qos_, options_);
    }
  }

  void unsubscribe() override { sub_.reset(); }

  std::string getTopic() const { return topic_; }
  const typename rclcpp::Subscription<M>::SharedPtr getSubscriber() const { return sub_; }

  template <typename F>
  void connectInput(F&) {}

  // Feeds a message in as if it had been received.
  void add(const MConstPtr& msg) { this->signalMessage(msg); }

private:
  typename rclcpp::Subscription<M>::SharedPtr sub_;
  NodeType* node_raw_ = nullptr;
  std::string topic_;
  rmw_qos_profile_t qos_ = rmw_qos_profile_default;
  rclcpp::SubscriptionOptions options_;
};

}  // namespace message_filters
