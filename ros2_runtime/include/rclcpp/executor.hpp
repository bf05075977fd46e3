// Executors: they collect the entities of their nodes' callback groups, take
// ready work and run the callbacks on their own threads.
#pragma once

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "rclcpp/callback_group.hpp"
#include "rclcpp/context.hpp"
#include "rclcpp/detail/executable_entity.hpp"
#include "rclcpp/node.hpp"

namespace rclcpp {

enum class FutureReturnCode { SUCCESS, INTERRUPTED, TIMEOUT };

struct ExecutorOptions {
  ExecutorOptions() : context(contexts::get_global_default_context()) {}
  Context::SharedPtr context;
  size_t max_conditions{0};
};

class Executor {
public:
  using SharedPtr = std::shared_ptr<Executor>;

  explicit Executor(const ExecutorOptions& options = ExecutorOptions());
  virtual ~Executor();
  Executor(const Executor&) = delete;
  Executor& operator=(const Executor&) = delete;

  virtual void spin() = 0;

  void add_node(Node::SharedPtr node, bool notify = true);
  void remove_node(Node::SharedPtr node, bool notify = true);
  void add_callback_group(CallbackGroup::SharedPtr group, Node::SharedPtr node, bool notify = true);
  void remove_callback_group(CallbackGroup::SharedPtr group, bool notify = true);

  // Runs what is ready now, without waiting, for at most max_duration (0: no
  // limit).
  void spin_some(std::chrono::nanoseconds max_duration = std::chrono::nanoseconds(0));
  void spin_all(std::chrono::nanoseconds max_duration);
  // Waits up to timeout (negative: forever) for one callback and runs it.
  void spin_once(std::chrono::nanoseconds timeout = std::chrono::nanoseconds(-1));

  template <class FutureT, class TimeRepT = int64_t, class TimeT = std::milli>
  FutureReturnCode spin_until_future_complete(
      const FutureT& future,
      std::chrono::duration<TimeRepT, TimeT> timeout = std::chrono::duration<TimeRepT, TimeT>(-1)) {
    const auto timeout_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(timeout);
    SpinGuard guard(*this);
    const auto start = std::chrono::steady_clock::now();
    // Completion may come from another executor's thread, which does not
    // wake this one; poll in short steps.
    const std::chrono::nanoseconds step = std::chrono::milliseconds(10);
    for (;;) {
      if (future.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
        return FutureReturnCode::SUCCESS;
      }
      if (!context_->is_valid() || cancelled_.load()) {
        return FutureReturnCode::INTERRUPTED;
      }
      std::chrono::nanoseconds wait = step;
      if (timeout_ns >= std::chrono::nanoseconds(0)) {
        const auto left = timeout_ns - (std::chrono::steady_clock::now() - start);
        if (left <= std::chrono::nanoseconds(0)) {
          return FutureReturnCode::TIMEOUT;
        }
        wait = std::min(wait, std::chrono::duration_cast<std::chrono::nanoseconds>(left));
      }
      spin_once_impl(wait);
    }
  }

  void cancel();
  bool is_spinning() const { return spinning_.load(); }

protected:
  // Marks the executor spinning for one spin call; a second concurrent spin
  // call is an error, as in rclcpp.
  struct SpinGuard {
    explicit SpinGuard(Executor& e);
    ~SpinGuard();
    Executor& executor;
  };

  // Picks one ready entity, with its group claimed. False on time-out,
  // cancel or shutdown.
  struct Executable {
    std::shared_ptr<detail::ExecutableEntity> entity;
    CallbackGroup::SharedPtr group;
    detail::Work work;
  };
  bool get_next_executable(Executable& out, std::chrono::nanoseconds timeout);
  void execute_any_executable(Executable& e);
  void spin_once_impl(std::chrono::nanoseconds timeout);
  bool keep_spinning() const { return spinning_.load() && context_->is_valid(); }

  Context::SharedPtr context_;
  std::atomic<bool> spinning_{false};
  std::atomic<bool> cancelled_{false};

private:
  void collect(std::vector<std::pair<CallbackGroup::SharedPtr,
                                     std::vector<std::shared_ptr<detail::ExecutableEntity>>>>& out,
               std::chrono::steady_clock::time_point& next_deadline);

  std::mutex mutex_;
  std::vector<Node::WeakPtr> nodes_;
  std::vector<std::pair<CallbackGroup::WeakPtr, Node::WeakPtr>> manual_groups_;
  std::atomic<size_t> scan_start_{0};
};

namespace executors {

class SingleThreadedExecutor : public Executor {
public:
  using SharedPtr = std::shared_ptr<SingleThreadedExecutor>;
  explicit SingleThreadedExecutor(const ExecutorOptions& options = ExecutorOptions())
      : Executor(options) {}
  void spin() override;
};

class MultiThreadedExecutor : public Executor {
public:
  using SharedPtr = std::shared_ptr<MultiThreadedExecutor>;
  // number_of_threads 0 means one per hardware thread; timeout bounds each
  // wait for work (negative: unbounded).
  explicit MultiThreadedExecutor(const ExecutorOptions& options = ExecutorOptions(),
                                 size_t number_of_threads = 0, bool yield_before_execute = false,
                                 std::chrono::nanoseconds timeout = std::chrono::nanoseconds(-1));
  void spin() override;
  size_t get_number_of_threads() const { return number_of_threads_; }

private:
  void run();
  size_t number_of_threads_;
  bool yield_before_execute_;
  std::chrono::nanoseconds next_exec_timeout_;
};

}  // namespace executors

void spin(Node::SharedPtr node);
// NOLINTNEXTLINE(performance-unnecessary-value-param): rclcpp's signature
void spin_some(Node::SharedPtr node);

template <class FutureT, class TimeRepT = int64_t, class TimeT = std::milli>
FutureReturnCode spin_until_future_complete(
    // NOLINTNEXTLINE(performance-unnecessary-value-param): rclcpp's signature
    Node::SharedPtr node, const FutureT& future,
    std::chrono::duration<TimeRepT, TimeT> timeout = std::chrono::duration<TimeRepT, TimeT>(-1)) {
  executors::SingleThreadedExecutor executor;
  executor.add_node(node);
  const auto rc = executor.spin_until_future_complete(future, timeout);
  executor.remove_node(node);
  return rc;
}

}  // namespace rclcpp
