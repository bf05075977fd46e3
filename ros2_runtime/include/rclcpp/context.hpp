// One ROS context: its DDS participant, its shutdown state, and the signal
// that wakes executors and waits when work arrives or ROS shuts down.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "rclcpp/detail/arguments.hpp"

namespace ros2_runtime {
class DdsWriter;
}

namespace rclcpp {

class InitOptions {
public:
  bool shutdown_on_signal{true};
  InitOptions() = default;
  bool auto_initialize_logging() const { return true; }
  InitOptions& auto_initialize_logging(bool) { return *this; }
};

class Context : public std::enable_shared_from_this<Context> {
public:
  using SharedPtr = std::shared_ptr<Context>;
  using OnShutdownCallback = std::function<void()>;

  Context();
  ~Context();
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  void init(int argc, char const* const* argv, const InitOptions& options = InitOptions());
  bool is_valid() const { return valid_.load(); }
  bool shutdown(const std::string& reason);
  std::string shutdown_reason() const;
  OnShutdownCallback on_shutdown(OnShutdownCallback callback);
  size_t get_domain_id() const { return domain_id_; }
  // The ROS arguments given to init (remap rules, log levels).
  detail::Arguments global_arguments() const;

  // The DDS participant (created at init). Throws when not initialised.
  int32_t participant() const;

  // Work signal: a counter bumped whenever an entity may have become ready.
  uint64_t work_generation() const;
  void notify_work();
  // Waits until the counter differs from `seen`, `until` passes, or the
  // context shuts down. Returns false on time-out.
  bool wait_for_work(uint64_t seen, std::chrono::steady_clock::time_point until);
  // Interruptible sleep: false when woken by shutdown.
  bool sleep_until(std::chrono::steady_clock::time_point until);

  // The graph ROS 2 tools read from ros_discovery_info: which node owns which
  // readers and writers. Every change republishes this participant's entry.
  using Gid = std::array<uint8_t, 24>;
  void graph_add_node(const void* node, const std::string& ns, const std::string& name);
  void graph_remove_node(const void* node);
  void graph_add_endpoint(const void* node, const Gid& gid, bool is_reader);
  void graph_remove_endpoint(const Gid& gid);

private:
  struct GraphNode {
    const void* key;
    std::string ns;
    std::string name;
    std::vector<Gid> readers;
    std::vector<Gid> writers;
  };
  void publish_graph_locked();

  std::mutex graph_mutex_;
  std::vector<GraphNode> graph_;
  std::unique_ptr<ros2_runtime::DdsWriter> discovery_writer_;
  std::atomic<bool> valid_{false};
  int32_t participant_{0};
  size_t domain_id_{0};
  detail::Arguments global_arguments_;
  std::string shutdown_reason_;
  std::vector<OnShutdownCallback> on_shutdown_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  uint64_t generation_{0};
};

namespace contexts {
Context::SharedPtr get_global_default_context();
}  // namespace contexts

}  // namespace rclcpp
