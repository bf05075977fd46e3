// tf2's own time types: plain std::chrono, no ROS clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace tf2 {

using Duration = std::chrono::nanoseconds;
using TimePoint = std::chrono::time_point<std::chrono::system_clock, Duration>;
using IDuration = std::chrono::duration<int, std::nano>;

// "No particular time": lookups at this time use the latest common data.
static const TimePoint TimePointZero = TimePoint(Duration::zero());

inline Duration durationFromSec(double t_sec) {
  return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(t_sec));
}

inline TimePoint timeFromSec(double t_sec) {
  return TimePoint(durationFromSec(t_sec));
}

inline double durationToSec(const Duration& input) {
  return std::chrono::duration<double>(input).count();
}

inline double timeToSec(const TimePoint& timepoint) {
  return durationToSec(timepoint.time_since_epoch());
}

// Seconds with nanosecond digits, as tf2 prints times in its error texts.
std::string displayTimePoint(const TimePoint& stamp);

}  // namespace tf2
