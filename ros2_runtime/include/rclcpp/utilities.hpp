// Process-wide init/ok/shutdown. SIGINT and SIGTERM shut the default context
// down, which makes ok() false and wakes every wait of the runtime.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "rclcpp/context.hpp"

namespace rclcpp {

enum class SignalHandlerOptions { All, SigInt, SigTerm, None };

void init(int argc, char const* const argv[], const InitOptions& init_options = InitOptions(),
          SignalHandlerOptions signal_handler_options = SignalHandlerOptions::All);
bool ok(Context::SharedPtr context = nullptr);
bool shutdown(Context::SharedPtr context = nullptr,
              const std::string& reason = "user called shutdown");
void on_shutdown(std::function<void()> callback, Context::SharedPtr context = nullptr);
bool sleep_for(const std::chrono::nanoseconds& nanoseconds, Context::SharedPtr context = nullptr);
std::vector<std::string> remove_ros_arguments(int argc, char const* const argv[]);
bool install_signal_handlers(
    SignalHandlerOptions signal_handler_options = SignalHandlerOptions::All);
bool uninstall_signal_handlers();

}  // namespace rclcpp
