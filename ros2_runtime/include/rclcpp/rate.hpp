// Fixed-rate loops. sleep() returns early when ROS shuts down.
#pragma once

#include <chrono>
#include <memory>

#include "rclcpp/duration.hpp"

namespace rclcpp {

namespace detail {
// Sleeps on the default context; false when woken by shutdown.
bool sleep_steady_until(std::chrono::steady_clock::time_point until);
bool sleep_system_until(std::chrono::system_clock::time_point until);
}  // namespace detail

class RateBase {
public:
  using SharedPtr = std::shared_ptr<RateBase>;
  virtual ~RateBase() = default;
  virtual bool sleep() = 0;
  virtual bool is_steady() const = 0;
  virtual void reset() = 0;
};

template <class ClockT = std::chrono::high_resolution_clock>
class GenericRate : public RateBase {
public:
  using SharedPtr = std::shared_ptr<GenericRate>;

  explicit GenericRate(double rate)
      : GenericRate(std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::duration<double>(1.0 / rate))) {}
  explicit GenericRate(std::chrono::nanoseconds period)
      : period_(period), last_interval_(ClockT::now()) {}

  // Returns false when the loop was already late (no sleep happened).
  bool sleep() override {
    const auto now = ClockT::now();
    auto next = last_interval_ + period_;
    if (now < last_interval_) {
      // The clock went backwards: start over from now.
      next = now + period_;
    }
    last_interval_ = next;
    const auto left = next - now;
    if (left <= decltype(left)::zero()) {
      // More than a whole period late: do not try to catch up.
      if (now > next + period_) {
        last_interval_ = now;
      }
      return false;
    }
    if constexpr (std::is_same_v<ClockT, std::chrono::system_clock>) {
      detail::sleep_system_until(next);
    } else {
      detail::sleep_steady_until(std::chrono::steady_clock::now() +
                                 std::chrono::duration_cast<std::chrono::nanoseconds>(left));
    }
    return true;
  }
  bool is_steady() const override { return ClockT::is_steady; }
  void reset() override { last_interval_ = ClockT::now(); }
  std::chrono::nanoseconds period() const { return period_; }

private:
  std::chrono::nanoseconds period_;
  typename ClockT::time_point last_interval_;
};

using Rate = GenericRate<std::chrono::system_clock>;
using WallRate = GenericRate<std::chrono::steady_clock>;

}  // namespace rclcpp
