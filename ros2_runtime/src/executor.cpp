#include "rclcpp/executor.hpp"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <thread>

namespace rclcpp {

Executor::Executor(const ExecutorOptions& options)
    : context_(options.context ? options.context : contexts::get_global_default_context()) {
}

Executor::~Executor() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& w : nodes_) {
    if (auto node = w.lock()) {
      node->for_each_callback_group(
          [this](const CallbackGroup::SharedPtr& g) { g->unclaim(this); });
    }
  }
  for (auto& [wg, wn] : manual_groups_) {
    if (auto g = wg.lock()) {
      g->unclaim(this);
    }
  }
}

Executor::SpinGuard::SpinGuard(Executor& e) : executor(e) {
  if (e.spinning_.exchange(true)) {
    throw std::runtime_error("spin() called while already spinning");
  }
  e.cancelled_.store(false);
}

Executor::SpinGuard::~SpinGuard() {
  executor.spinning_.store(false);
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): rclcpp's signature
void Executor::add_node(Node::SharedPtr node, bool notify) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& w : nodes_) {
      if (w.lock() == node) {
        throw std::runtime_error("Node '" + std::string(node->get_fully_qualified_name()) +
                                 "' has already been added to an executor.");
      }
    }
    bool taken = false;
    node->for_each_callback_group([&](const CallbackGroup::SharedPtr& g) {
      if (g->automatically_add_to_executor_with_node() && g->owner() != nullptr &&
          g->owner() != this) {
        taken = true;
      }
    });
    if (taken) {
      throw std::runtime_error("Node '" + std::string(node->get_fully_qualified_name()) +
                               "' has already been added to an executor.");
    }
    node->for_each_callback_group([this](const CallbackGroup::SharedPtr& g) {
      if (g->automatically_add_to_executor_with_node()) {
        g->claim(this);
      }
    });
    nodes_.push_back(node);
  }
  if (notify) {
    context_->notify_work();
  }
}

void Executor::remove_node(Node::SharedPtr node, bool notify) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    nodes_.erase(std::remove_if(nodes_.begin(), nodes_.end(),
                                [&](const Node::WeakPtr& w) {
                                  auto n = w.lock();
                                  return !n || n == node;
                                }),
                 nodes_.end());
    node->for_each_callback_group([this](const CallbackGroup::SharedPtr& g) {
      if (g->automatically_add_to_executor_with_node()) {
        g->unclaim(this);
      }
    });
  }
  if (notify) {
    context_->notify_work();
  }
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): rclcpp's signature
void Executor::add_callback_group(CallbackGroup::SharedPtr group, Node::SharedPtr node,
                                  bool notify) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!group->claim(this)) {
      throw std::runtime_error("Callback group has already been added to an executor.");
    }
    manual_groups_.emplace_back(group, node);
  }
  if (notify) {
    context_->notify_work();
  }
}

void Executor::remove_callback_group(CallbackGroup::SharedPtr group, bool notify) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    manual_groups_.erase(std::remove_if(manual_groups_.begin(), manual_groups_.end(),
                                        [&](const auto& p) {
                                          auto g = p.first.lock();
                                          return !g || g == group;
                                        }),
                         manual_groups_.end());
    group->unclaim(this);
  }
  if (notify) {
    context_->notify_work();
  }
}

void Executor::cancel() {
  cancelled_.store(true);
  spinning_.store(false);
  context_->notify_work();
}

void Executor::collect(
    std::vector<std::pair<CallbackGroup::SharedPtr,
                          std::vector<std::shared_ptr<detail::ExecutableEntity>>>>& out,
    std::chrono::steady_clock::time_point& next_deadline) {
  out.clear();
  next_deadline = std::chrono::steady_clock::time_point::max();
  auto add_group = [&](const CallbackGroup::SharedPtr& g) {
    std::vector<std::shared_ptr<detail::ExecutableEntity>> entities;
    g->collect(entities);
    for (const auto& e : entities) {
      next_deadline = std::min(next_deadline, e->next_deadline());
    }
    out.emplace_back(g, std::move(entities));
  };
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = nodes_.begin(); it != nodes_.end();) {
    auto node = it->lock();
    if (!node) {
      it = nodes_.erase(it);
      continue;
    }
    node->for_each_callback_group([&](const CallbackGroup::SharedPtr& g) {
      // Groups created after add_node join this executor if nobody has them.
      if (g->automatically_add_to_executor_with_node() && g->claim(this)) {
        add_group(g);
      }
    });
    ++it;
  }
  for (auto it = manual_groups_.begin(); it != manual_groups_.end();) {
    auto g = it->first.lock();
    if (!g) {
      it = manual_groups_.erase(it);
      continue;
    }
    add_group(g);
    ++it;
  }
}

bool Executor::get_next_executable(Executable& out, std::chrono::nanoseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const auto deadline =
      timeout < std::chrono::nanoseconds(0) ? Clock::time_point::max() : Clock::now() + timeout;
  std::vector<
      std::pair<CallbackGroup::SharedPtr, std::vector<std::shared_ptr<detail::ExecutableEntity>>>>
      groups;
  for (;;) {
    if (!keep_spinning()) {
      return false;
    }
    const uint64_t seen = context_->work_generation();
    Clock::time_point next_deadline;
    collect(groups, next_deadline);
    const auto now = Clock::now();
    // Start the scan at a rotating group so one busy topic cannot starve
    // the others.
    const size_t n = groups.size();
    const size_t start = n == 0 ? 0 : scan_start_.fetch_add(1) % n;
    for (size_t k = 0; k < n; ++k) {
      auto& [group, entities] = groups[(start + k) % n];
      for (auto& entity : entities) {
        if (!group->can_be_taken_from()) {
          break;
        }
        if (!entity->maybe_ready(now)) {
          continue;
        }
        if (!group->try_acquire()) {
          break;
        }
        if (entity->take_next(out.work)) {
          out.entity = entity;
          out.group = group;
          return true;
        }
        group->release();
      }
    }
    if (timeout == std::chrono::nanoseconds(0)) {
      return false;
    }
    const auto until = std::min(deadline, next_deadline);
    if (Clock::now() >= deadline) {
      return false;
    }
    context_->wait_for_work(seen, until);
  }
}

void Executor::execute_any_executable(Executable& e) {
  struct Release {
    Executable& e;
    Context& ctx;
    ~Release() {
      e.group->release();
      e.entity.reset();
      e.group.reset();
      // Threads waiting for this group may go on now.
      ctx.notify_work();
    }
  } release{e, *context_};
  e.entity->execute(e.work);
}

void Executor::spin_once_impl(std::chrono::nanoseconds timeout) {
  Executable e;
  if (get_next_executable(e, timeout)) {
    execute_any_executable(e);
  }
}

void Executor::spin_once(std::chrono::nanoseconds timeout) {
  SpinGuard guard(*this);
  spin_once_impl(timeout);
}

void Executor::spin_some(std::chrono::nanoseconds max_duration) {
  SpinGuard guard(*this);
  const auto start = std::chrono::steady_clock::now();
  while (keep_spinning()) {
    if (max_duration > std::chrono::nanoseconds(0) &&
        std::chrono::steady_clock::now() - start >= max_duration) {
      break;
    }
    Executable e;
    if (!get_next_executable(e, std::chrono::nanoseconds(0))) {
      break;
    }
    execute_any_executable(e);
  }
}

void Executor::spin_all(std::chrono::nanoseconds max_duration) {
  spin_some(max_duration);
}

namespace executors {

void SingleThreadedExecutor::spin() {
  SpinGuard guard(*this);
  while (keep_spinning()) {
    spin_once_impl(std::chrono::nanoseconds(-1));
  }
}

MultiThreadedExecutor::MultiThreadedExecutor(const ExecutorOptions& options,
                                             size_t number_of_threads, bool yield_before_execute,
                                             std::chrono::nanoseconds timeout)
    : Executor(options),
      number_of_threads_(number_of_threads > 0
                             ? number_of_threads
                             : std::max<size_t>(std::thread::hardware_concurrency(), 2)),
      yield_before_execute_(yield_before_execute),
      next_exec_timeout_(timeout) {
}

void MultiThreadedExecutor::run() {
  while (keep_spinning()) {
    Executable e;
    if (!get_next_executable(e, next_exec_timeout_)) {
      continue;
    }
    if (yield_before_execute_) {
      std::this_thread::yield();
    }
    execute_any_executable(e);
  }
}

void MultiThreadedExecutor::spin() {
  SpinGuard guard(*this);
  std::mutex error_mutex;
  std::exception_ptr error;
  auto guarded_run = [&] {
    try {
      run();
    } catch (...) {
      std::lock_guard<std::mutex> lock(error_mutex);
      if (!error) {
        error = std::current_exception();
      }
      cancelled_.store(true);
      spinning_.store(false);
      context_->notify_work();
    }
  };
  std::vector<std::thread> threads;
  for (size_t i = 1; i < number_of_threads_; ++i) {
    threads.emplace_back(guarded_run);
  }
  guarded_run();
  for (auto& t : threads) {
    t.join();
  }
  if (error) {
    std::rethrow_exception(error);
  }
}

}  // namespace executors

// NOLINTNEXTLINE(performance-unnecessary-value-param): rclcpp's signature
void spin(Node::SharedPtr node) {
  executors::SingleThreadedExecutor executor;
  executor.add_node(node);
  executor.spin();
  executor.remove_node(node, false);
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): rclcpp's signature
void spin_some(Node::SharedPtr node) {
  executors::SingleThreadedExecutor executor;
  executor.add_node(node);
  executor.spin_some();
  executor.remove_node(node, false);
}

}  // namespace rclcpp
