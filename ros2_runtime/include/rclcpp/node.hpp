#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "rclcpp/callback_group.hpp"
#include "rclcpp/client.hpp"
#include "rclcpp/clock.hpp"
#include "rclcpp/context.hpp"
#include "rclcpp/detail/arguments.hpp"
#include "rclcpp/logger.hpp"
#include "rclcpp/node_options.hpp"
#include "rclcpp/publisher.hpp"
#include "rclcpp/publisher_options.hpp"
#include "rclcpp/qos.hpp"
#include "rclcpp/service.hpp"
#include "rclcpp/subscription.hpp"
#include "rclcpp/time.hpp"
#include "rclcpp/timer.hpp"

namespace rclcpp {

class Node;
namespace node_interfaces {
// The runtime keeps one node object; its interfaces are the node itself.
using NodeBaseInterface = Node;
using NodeTopicsInterface = Node;
using NodeLoggingInterface = Node;
using NodeClockInterface = Node;
}  // namespace node_interfaces

class Node : public std::enable_shared_from_this<Node> {
public:
  using SharedPtr = std::shared_ptr<Node>;
  using ConstSharedPtr = std::shared_ptr<const Node>;
  using WeakPtr = std::weak_ptr<Node>;
  using UniquePtr = std::unique_ptr<Node>;

  template <class... Args>
  static SharedPtr make_shared(Args&&... args) {
    return std::make_shared<Node>(std::forward<Args>(args)...);
  }

  explicit Node(const std::string& node_name, const NodeOptions& options = NodeOptions());
  Node(const std::string& node_name, const std::string& namespace_,
       const NodeOptions& options = NodeOptions());
  virtual ~Node();

  const char* get_name() const { return name_.c_str(); }
  const char* get_namespace() const { return namespace_.c_str(); }
  const char* get_fully_qualified_name() const { return fq_name_.c_str(); }
  Logger get_logger() const { return logger_; }
  Clock::SharedPtr get_clock() { return clock_; }
  Clock::ConstSharedPtr get_clock() const { return clock_; }
  Time now() const { return clock_->now(); }
  // Real rclcpp offers this on NodeBaseInterface only (an alias of Node here):
  // call it through get_node_base_interface() so the code builds on Humble.
  Context::SharedPtr get_context() const { return context_; }
  const NodeOptions& get_node_options() const { return options_; }

  std::shared_ptr<node_interfaces::NodeBaseInterface> get_node_base_interface() {
    return shared_from_this();
  }
  std::shared_ptr<node_interfaces::NodeTopicsInterface> get_node_topics_interface() {
    return shared_from_this();
  }
  std::shared_ptr<node_interfaces::NodeLoggingInterface> get_node_logging_interface() {
    return shared_from_this();
  }
  std::shared_ptr<node_interfaces::NodeClockInterface> get_node_clock_interface() {
    return shared_from_this();
  }

  // Resolves a topic or service name against this node (absolute, relative
  // to the namespace, or private "~/").
  std::string resolve_topic_name(const std::string& name) const;
  std::string resolve_service_name(const std::string& name) const;

  CallbackGroup::SharedPtr create_callback_group(
      CallbackGroupType group_type, bool automatically_add_to_executor_with_node = true);
  CallbackGroup::SharedPtr get_default_callback_group() { return default_group_; }
  void for_each_callback_group(const std::function<void(const CallbackGroup::SharedPtr&)>& fn);
  bool callback_group_in_node(const CallbackGroup::SharedPtr& group);

  template <class MessageT, class AllocatorT = std::allocator<void>>
  typename Publisher<MessageT>::SharedPtr create_publisher(
      const std::string& topic_name, const QoS& qos,
      const PublisherOptionsWithAllocator<AllocatorT>& =
          PublisherOptionsWithAllocator<AllocatorT>()) {
    auto pub = std::make_shared<Publisher<MessageT>>(context_, resolve_topic_name(topic_name), qos,
                                                     logger_.get_name());
    context_->graph_add_endpoint(this, pub->gid(), false);
    return pub;
  }

  template <class MessageT, class CallbackT, class AllocatorT = std::allocator<void>>
  typename Subscription<MessageT>::SharedPtr create_subscription(
      const std::string& topic_name, const QoS& qos, CallbackT&& callback,
      const SubscriptionOptionsWithAllocator<AllocatorT>& options =
          SubscriptionOptionsWithAllocator<AllocatorT>()) {
    auto sub = std::make_shared<Subscription<MessageT>>(context_, resolve_topic_name(topic_name),
                                                        qos, std::forward<CallbackT>(callback),
                                                        logger_.get_name());
    context_->graph_add_endpoint(this, sub->gid(), true);
    register_entity(sub, options.callback_group);
    return sub;
  }

  template <class ServiceT, class CallbackT>
  typename Service<ServiceT>::SharedPtr create_service(
      const std::string& service_name, CallbackT&& callback,
      const rmw_qos_profile_t& qos_profile = rmw_qos_profile_services_default,
      // NOLINTNEXTLINE(performance-unnecessary-value-param): rclcpp's signature
      CallbackGroup::SharedPtr group = nullptr) {
    auto srv = std::make_shared<Service<ServiceT>>(context_, resolve_service_name(service_name),
                                                   std::forward<CallbackT>(callback), qos_profile);
    context_->graph_add_endpoint(this, srv->request_gid(), true);
    context_->graph_add_endpoint(this, srv->reply_gid(), false);
    register_entity(srv, group);
    return srv;
  }

  // The QoS-object forms of later rclcpp releases, for convenience.
  template <class ServiceT, class CallbackT>
  typename Service<ServiceT>::SharedPtr create_service(const std::string& service_name,
                                                       CallbackT&& callback, const QoS& qos,
                                                       CallbackGroup::SharedPtr group = nullptr) {
    return create_service<ServiceT>(service_name, std::forward<CallbackT>(callback),
                                    qos.get_rmw_qos_profile(), std::move(group));
  }
  template <class ServiceT>
  typename Client<ServiceT>::SharedPtr create_client(const std::string& service_name,
                                                     const QoS& qos,
                                                     CallbackGroup::SharedPtr group = nullptr) {
    return create_client<ServiceT>(service_name, qos.get_rmw_qos_profile(), std::move(group));
  }

  template <class ServiceT>
  typename Client<ServiceT>::SharedPtr create_client(
      const std::string& service_name,
      const rmw_qos_profile_t& qos_profile = rmw_qos_profile_services_default,
      // NOLINTNEXTLINE(performance-unnecessary-value-param): rclcpp's signature
      CallbackGroup::SharedPtr group = nullptr) {
    auto cli = std::make_shared<Client<ServiceT>>(context_, resolve_service_name(service_name),
                                                  qos_profile);
    context_->graph_add_endpoint(this, cli->reply_gid(), true);
    context_->graph_add_endpoint(this, cli->request_gid(), false);
    register_entity(cli, group);
    return cli;
  }

  template <class DurationRepT, class DurationT, class CallbackT>
  typename WallTimer<std::decay_t<CallbackT>>::SharedPtr create_wall_timer(
      std::chrono::duration<DurationRepT, DurationT> period, CallbackT&& callback,
      // NOLINTNEXTLINE(performance-unnecessary-value-param): rclcpp's signature
      CallbackGroup::SharedPtr group = nullptr) {
    auto t = std::make_shared<WallTimer<std::decay_t<CallbackT>>>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(period),
        std::decay_t<CallbackT>(std::forward<CallbackT>(callback)));
    register_entity(t, group);
    return t;
  }

private:
  void register_entity(const std::shared_ptr<detail::ExecutableEntity>& entity,
                       CallbackGroup::SharedPtr group);

  Context::SharedPtr context_;
  NodeOptions options_;
  // Remap rules of the node's own arguments and, unless the options say
  // otherwise, of the command line.
  detail::Arguments local_arguments_;
  std::optional<detail::Arguments> global_arguments_;
  std::string name_;
  std::string namespace_;
  std::string fq_name_;
  Logger logger_;
  Clock::SharedPtr clock_;
  CallbackGroup::SharedPtr default_group_;
  std::mutex groups_mutex_;
  std::vector<CallbackGroup::WeakPtr> groups_;
};

}  // namespace rclcpp
