#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace rclcpp {
namespace exceptions {

class NameValidationError : public std::invalid_argument {
public:
  NameValidationError(const std::string& name_type, const std::string& name,
                      const std::string& message, size_t index)
      : std::invalid_argument("Invalid " + name_type + ": " + message + ":\n  '" + name + "'\n   " +
                              std::string(index, ' ') + "^\n"),
        name_type(name_type),
        name(name),
        message(message),
        invalid_index(index) {}
  std::string name_type;
  std::string name;
  std::string message;
  size_t invalid_index;
};

class InvalidNodeNameError : public NameValidationError {
public:
  InvalidNodeNameError(const std::string& name, const std::string& message, size_t index)
      : NameValidationError("node name", name, message, index) {}
};
class InvalidNamespaceError : public NameValidationError {
public:
  InvalidNamespaceError(const std::string& name, const std::string& message, size_t index)
      : NameValidationError("namespace", name, message, index) {}
};
class InvalidTopicNameError : public NameValidationError {
public:
  InvalidTopicNameError(const std::string& name, const std::string& message, size_t index)
      : NameValidationError("topic name", name, message, index) {}
};
class InvalidServiceNameError : public NameValidationError {
public:
  InvalidServiceNameError(const std::string& name, const std::string& message, size_t index)
      : NameValidationError("service name", name, message, index) {}
};

class RCLError : public std::runtime_error {
public:
  explicit RCLError(const std::string& what) : std::runtime_error(what) {}
};
class RCLInvalidArgument : public RCLError {
public:
  explicit RCLInvalidArgument(const std::string& what) : RCLError(what) {}
};

// rclcpp::init with arguments inside --ros-args that rcl does not know.
class UnknownROSArgsError : public std::runtime_error {
public:
  explicit UnknownROSArgsError(std::vector<std::string>&& unknown_ros_args_in)
      : std::runtime_error("found unknown ROS arguments: '" + join(unknown_ros_args_in) + "'"),
        unknown_ros_args(std::move(unknown_ros_args_in)) {}
  const std::vector<std::string> unknown_ros_args;

private:
  static std::string join(const std::vector<std::string>& v) {
    std::string out;
    for (size_t i = 0; i < v.size(); ++i) {
      out += (i == 0 ? "" : "', '") + v[i];
    }
    return out;
  }
};

}  // namespace exceptions
}  // namespace rclcpp
