#include "tf2/time.h"

#include <cinttypes>
#include <cstdio>

namespace tf2 {

std::string displayTimePoint(const TimePoint& stamp) {
  const std::int64_t ns = stamp.time_since_epoch().count();
  const std::int64_t sec = ns / 1000000000;
  std::int64_t frac = ns % 1000000000;
  char buffer[48];
  if (frac < 0) {
    // Negative stamps print as -s.fraction of the whole value.
    std::snprintf(buffer, sizeof(buffer), "-%" PRId64 ".%09" PRId64, -(ns / 1000000000), -frac);
  } else {
    std::snprintf(buffer, sizeof(buffer), "%" PRId64 ".%09" PRId64, sec, frac);
  }
  return buffer;
}

}  // namespace tf2
