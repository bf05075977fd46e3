#pragma once

#include <memory>
#include <string>

namespace rclcpp {

class Logger {
public:
  enum class Level { Unset = 0, Debug = 10, Info = 20, Warn = 30, Error = 40, Fatal = 50 };

  Logger() : name_(std::make_shared<std::string>()) {}
  explicit Logger(const std::string& name) : name_(std::make_shared<std::string>(name)) {}

  const char* get_name() const { return name_->c_str(); }
  Logger get_child(const std::string& suffix) const {
    return Logger(name_->empty() ? suffix : *name_ + "." + suffix);
  }
  void set_level(Level) {}

private:
  std::shared_ptr<const std::string> name_;
};

inline Logger get_logger(const std::string& name) {
  return Logger(name);
}

}  // namespace rclcpp
