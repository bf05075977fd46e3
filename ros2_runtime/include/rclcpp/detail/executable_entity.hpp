// What an executor runs: subscriptions, services, clients and timers. Cyclone
// threads only mark an entity pending and wake the executors; the executor
// takes the sample and runs the user callback on its own thread.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>

#include "ros2_runtime/dds_bridge.hpp"

namespace rclcpp {

class Context;

namespace detail {

struct Work {
  ros2_runtime::ReceivedSample sample;
};

class ExecutableEntity {
public:
  virtual ~ExecutableEntity() = default;

  // Takes one unit of work if there is one. Called with the entity's group
  // held, so a mutually exclusive group sees its work in order.
  virtual bool take(Work& work) = 0;
  virtual void execute(Work& work) = 0;
  // Earliest time this entity wants to run regardless of data (timers).
  virtual std::chrono::steady_clock::time_point next_deadline() const {
    return std::chrono::steady_clock::time_point::max();
  }

  // Cheap test whether take_next() may find something.
  virtual bool maybe_ready(std::chrono::steady_clock::time_point) const { return pending_.load(); }
  // The pending hint is cleared before a take and set again by Cyclone's
  // listener, so no arrival is missed; after a successful take it stays set
  // because more samples may be queued.
  virtual bool take_next(Work& work) {
    if (!pending_.exchange(false)) {
      return false;
    }
    if (take(work)) {
      pending_.store(true);
      return true;
    }
    return false;
  }

  void set_pending() { pending_.store(true); }

protected:
  std::atomic<bool> pending_{true};
};

}  // namespace detail
}  // namespace rclcpp
