// Stamps of messages with a std_msgs Header, as nanoseconds.
#pragma once

#include <chrono>
#include <cstdint>

namespace message_filters {
namespace message_traits {

template <typename M>
struct TimeStamp {
  static std::int64_t nanoseconds(const M& m) {
    return static_cast<std::int64_t>(m.header.stamp.sec) * 1000000000LL +
           static_cast<std::int64_t>(m.header.stamp.nanosec);
  }
};

}  // namespace message_traits

namespace detail {

// Accepts rclcpp::Duration (nanoseconds()) and std::chrono durations alike.
template <typename D>
auto toNanoseconds(const D& d, int) -> decltype(static_cast<std::int64_t>(d.nanoseconds())) {
  return static_cast<std::int64_t>(d.nanoseconds());
}
template <typename D>
std::int64_t toNanoseconds(const D& d, long) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
}
template <typename D>
std::int64_t toNanoseconds(const D& d) {
  return toNanoseconds(d, 0);
}

}  // namespace detail
}  // namespace message_filters
