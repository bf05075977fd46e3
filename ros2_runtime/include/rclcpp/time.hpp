// rclcpp::Time: nanoseconds since the epoch of a clock kind.
#pragma once

#include <cstdint>
#include <limits>
#include <stdexcept>

#include "builtin_interfaces/msg/time.hpp"
#include "rcl/time.h"
#include "rclcpp/duration.hpp"

namespace rclcpp {

class Time {
public:
  Time(int32_t seconds, uint32_t nanoseconds, rcl_clock_type_t clock_type = RCL_SYSTEM_TIME)
      : clock_type_(clock_type) {
    if (seconds < 0) {
      throw std::runtime_error("cannot store a negative time point in rclcpp::Time");
    }
    ns_ = static_cast<int64_t>(seconds) * 1000000000LL + nanoseconds;
  }
  explicit Time(int64_t nanoseconds = 0, rcl_clock_type_t clock_type = RCL_SYSTEM_TIME)
      : ns_(nanoseconds), clock_type_(clock_type) {}
  Time(const builtin_interfaces::msg::Time& t,  // NOLINT: implicit as in rclcpp
       rcl_clock_type_t clock_type = RCL_ROS_TIME)
      : Time(t.sec, t.nanosec, clock_type) {}

  static Time max(rcl_clock_type_t clock_type = RCL_SYSTEM_TIME) {
    return Time(std::numeric_limits<int32_t>::max(), 999999999u, clock_type);
  }

  operator builtin_interfaces::msg::Time() const {  // NOLINT
    builtin_interfaces::msg::Time t;
    t.sec = static_cast<int32_t>(ns_ / 1000000000LL);
    t.nanosec = static_cast<uint32_t>(ns_ % 1000000000LL);
    return t;
  }

  int64_t nanoseconds() const { return ns_; }
  double seconds() const { return static_cast<double>(ns_) * 1e-9; }
  rcl_clock_type_t get_clock_type() const { return clock_type_; }

  Time operator+(const Duration& d) const { return Time(ns_ + d.nanoseconds(), clock_type_); }
  Time operator-(const Duration& d) const { return Time(ns_ - d.nanoseconds(), clock_type_); }
  Duration operator-(const Time& o) const {
    same_clock(o);
    return Duration::from_nanoseconds(ns_ - o.ns_);
  }
  Time& operator+=(const Duration& d) {
    ns_ += d.nanoseconds();
    return *this;
  }
  Time& operator-=(const Duration& d) {
    ns_ -= d.nanoseconds();
    return *this;
  }
  bool operator==(const Time& o) const { return same_clock(o), ns_ == o.ns_; }
  bool operator!=(const Time& o) const { return !(*this == o); }
  bool operator<(const Time& o) const { return same_clock(o), ns_ < o.ns_; }
  bool operator<=(const Time& o) const { return same_clock(o), ns_ <= o.ns_; }
  bool operator>(const Time& o) const { return same_clock(o), ns_ > o.ns_; }
  bool operator>=(const Time& o) const { return same_clock(o), ns_ >= o.ns_; }

private:
  void same_clock(const Time& o) const {
    if (clock_type_ != o.clock_type_) {
      throw std::runtime_error("can't compare times with different time sources");
    }
  }

  int64_t ns_{0};
  rcl_clock_type_t clock_type_{RCL_SYSTEM_TIME};
};

}  // namespace rclcpp
