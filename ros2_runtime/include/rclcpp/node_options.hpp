// Node options. Parameter handling is accepted and ignored: this node reads
// its configuration from YAML files, never from ROS parameters.
#pragma once

#include <string>
#include <vector>

#include "rclcpp/context.hpp"

namespace rclcpp {

class NodeOptions {
public:
  NodeOptions() = default;

  Context::SharedPtr context() const { return context_; }
  NodeOptions& context(Context::SharedPtr c) {
    context_ = std::move(c);
    return *this;
  }
  const std::vector<std::string>& arguments() const { return arguments_; }
  NodeOptions& arguments(const std::vector<std::string>& a) {
    arguments_ = a;
    return *this;
  }
  bool use_global_arguments() const { return use_global_arguments_; }
  NodeOptions& use_global_arguments(bool v) {
    use_global_arguments_ = v;
    return *this;
  }
  bool use_intra_process_comms() const { return false; }
  NodeOptions& use_intra_process_comms(bool) { return *this; }
  bool start_parameter_services() const { return false; }
  NodeOptions& start_parameter_services(bool) { return *this; }
  bool start_parameter_event_publisher() const { return false; }
  NodeOptions& start_parameter_event_publisher(bool) { return *this; }
  bool allow_undeclared_parameters() const { return allow_undeclared_parameters_; }
  NodeOptions& allow_undeclared_parameters(bool v) {
    allow_undeclared_parameters_ = v;
    return *this;
  }
  bool automatically_declare_parameters_from_overrides() const { return auto_declare_; }
  NodeOptions& automatically_declare_parameters_from_overrides(bool v) {
    auto_declare_ = v;
    return *this;
  }

private:
  Context::SharedPtr context_{contexts::get_global_default_context()};
  std::vector<std::string> arguments_;
  bool use_global_arguments_{true};
  bool allow_undeclared_parameters_{false};
  bool auto_declare_{false};
};

}  // namespace rclcpp
