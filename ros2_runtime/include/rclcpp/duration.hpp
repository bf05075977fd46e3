// rclcpp::Duration: signed nanoseconds.
#pragma once

#include <chrono>
#include <cstdint>
#include <limits>

#include "builtin_interfaces/msg/duration.hpp"

namespace rclcpp {

class Duration {
public:
  Duration(int32_t seconds, uint32_t nanoseconds)
      : ns_(static_cast<int64_t>(seconds) * 1000000000LL + nanoseconds) {}
  template <class Rep, class Period>
  Duration(const std::chrono::duration<Rep, Period>& d)  // NOLINT: implicit as in rclcpp
      : ns_(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count()) {}
  Duration(const builtin_interfaces::msg::Duration& d)  // NOLINT
      : Duration(d.sec, d.nanosec) {}
  Duration() = default;

  static Duration from_nanoseconds(int64_t ns) {
    Duration d;
    d.ns_ = ns;
    return d;
  }
  static Duration from_seconds(double s) { return from_nanoseconds(static_cast<int64_t>(s * 1e9)); }
  static Duration max() { return Duration(std::numeric_limits<int32_t>::max(), 999999999u); }

  int64_t nanoseconds() const { return ns_; }
  double seconds() const { return static_cast<double>(ns_) * 1e-9; }
  template <class DurationT>
  DurationT to_chrono() const {
    return std::chrono::duration_cast<DurationT>(std::chrono::nanoseconds(ns_));
  }

  operator builtin_interfaces::msg::Duration() const {  // NOLINT
    builtin_interfaces::msg::Duration d;
    int64_t sec = ns_ / 1000000000LL;
    int64_t rem = ns_ % 1000000000LL;
    if (rem < 0) {
      rem += 1000000000LL;
      --sec;
    }
    d.sec = static_cast<int32_t>(sec);
    d.nanosec = static_cast<uint32_t>(rem);
    return d;
  }

  Duration operator+(const Duration& o) const { return from_nanoseconds(ns_ + o.ns_); }
  Duration operator-(const Duration& o) const { return from_nanoseconds(ns_ - o.ns_); }
  Duration operator-() const { return from_nanoseconds(-ns_); }
  Duration operator*(double scale) const {
    return from_nanoseconds(static_cast<int64_t>(static_cast<double>(ns_) * scale));
  }
  Duration& operator+=(const Duration& o) {
    ns_ += o.ns_;
    return *this;
  }
  Duration& operator-=(const Duration& o) {
    ns_ -= o.ns_;
    return *this;
  }
  bool operator==(const Duration& o) const { return ns_ == o.ns_; }
  bool operator!=(const Duration& o) const { return ns_ != o.ns_; }
  bool operator<(const Duration& o) const { return ns_ < o.ns_; }
  bool operator<=(const Duration& o) const { return ns_ <= o.ns_; }
  bool operator>(const Duration& o) const { return ns_ > o.ns_; }
  bool operator>=(const Duration& o) const { return ns_ >= o.ns_; }

private:
  int64_t ns_{0};
};

}  // namespace rclcpp
