// rclcpp::Clock. Without simulated time, ROS time is the system clock.
#pragma once

#include <chrono>
#include <memory>

#include "rcl/time.h"
#include "rclcpp/time.hpp"

namespace rclcpp {

class Context;

class Clock {
public:
  using SharedPtr = std::shared_ptr<Clock>;
  using ConstSharedPtr = std::shared_ptr<const Clock>;

  explicit Clock(rcl_clock_type_t clock_type = RCL_SYSTEM_TIME) : clock_type_(clock_type) {}

  Time now() const {
    int64_t ns = 0;
    if (clock_type_ == RCL_STEADY_TIME) {
      ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
               .count();
    } else {
      ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
               .count();
    }
    return Time(ns, clock_type_);
  }

  rcl_clock_type_t get_clock_type() const { return clock_type_; }

  // Sleeps until `until` on this clock; false if ROS shut down first.
  bool sleep_until(Time until, std::shared_ptr<Context> context = nullptr);
  bool sleep_for(Duration rel_time, std::shared_ptr<Context> context = nullptr) {
    return sleep_until(now() + rel_time, std::move(context));
  }

private:
  rcl_clock_type_t clock_type_;
};

}  // namespace rclcpp
