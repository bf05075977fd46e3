// RCLCPP_* log macros: printf-style text to stderr, as rcutils' default
// console output. The node itself logs through moorwick's logger.
#pragma once

#include <cstdarg>
#include <sstream>

#include "rclcpp/logger.hpp"

namespace rclcpp {
namespace detail {
void log_line(int severity, const char* logger, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void log_string(int severity, const char* logger, const std::string& text);
// Whether `logger` prints at `severity` (--log-level, RCUTILS_LOGGING_SEVERITY).
bool log_enabled(int severity, const char* logger);
bool log_throttle_ok(const void* site, long long period_ms);
}  // namespace detail
}  // namespace rclcpp

#define RCLCPP_LOG_IMPL_(sev, logger, ...)                               \
  do {                                                                   \
    if (::rclcpp::detail::log_enabled(sev, (logger).get_name())) {       \
      ::rclcpp::detail::log_line(sev, (logger).get_name(), __VA_ARGS__); \
    }                                                                    \
  } while (0)
#define RCLCPP_LOG_ONCE_IMPL_(sev, logger, ...)   \
  do {                                            \
    static bool rclcpp_logged_once_ = false;      \
    if (!rclcpp_logged_once_) {                   \
      rclcpp_logged_once_ = true;                 \
      RCLCPP_LOG_IMPL_(sev, logger, __VA_ARGS__); \
    }                                             \
  } while (0)
#define RCLCPP_LOG_THROTTLE_IMPL_(sev, logger, clock, ms, ...)             \
  do {                                                                     \
    static char rclcpp_throttle_site_;                                     \
    (void)(clock);                                                         \
    if (::rclcpp::detail::log_throttle_ok(&rclcpp_throttle_site_, (ms))) { \
      RCLCPP_LOG_IMPL_(sev, logger, __VA_ARGS__);                          \
    }                                                                      \
  } while (0)
#define RCLCPP_LOG_STREAM_IMPL_(sev, logger, stream_arg)                        \
  do {                                                                          \
    if (::rclcpp::detail::log_enabled(sev, (logger).get_name())) {              \
      std::stringstream rclcpp_ss_;                                             \
      /* a chain of << operands: parentheses would break it */                  \
      rclcpp_ss_ << stream_arg; /* NOLINT(bugprone-macro-parentheses) */        \
      ::rclcpp::detail::log_string(sev, (logger).get_name(), rclcpp_ss_.str()); \
    }                                                                           \
  } while (0)

#define RCLCPP_DEBUG(logger, ...) RCLCPP_LOG_IMPL_(10, logger, __VA_ARGS__)
#define RCLCPP_INFO(logger, ...) RCLCPP_LOG_IMPL_(20, logger, __VA_ARGS__)
#define RCLCPP_WARN(logger, ...) RCLCPP_LOG_IMPL_(30, logger, __VA_ARGS__)
#define RCLCPP_ERROR(logger, ...) RCLCPP_LOG_IMPL_(40, logger, __VA_ARGS__)
#define RCLCPP_FATAL(logger, ...) RCLCPP_LOG_IMPL_(50, logger, __VA_ARGS__)
#define RCLCPP_DEBUG_ONCE(logger, ...) RCLCPP_LOG_ONCE_IMPL_(10, logger, __VA_ARGS__)
#define RCLCPP_INFO_ONCE(logger, ...) RCLCPP_LOG_ONCE_IMPL_(20, logger, __VA_ARGS__)
#define RCLCPP_WARN_ONCE(logger, ...) RCLCPP_LOG_ONCE_IMPL_(30, logger, __VA_ARGS__)
#define RCLCPP_ERROR_ONCE(logger, ...) RCLCPP_LOG_ONCE_IMPL_(40, logger, __VA_ARGS__)
#define RCLCPP_DEBUG_THROTTLE(logger, clock, ms, ...) \
  RCLCPP_LOG_THROTTLE_IMPL_(10, logger, clock, ms, __VA_ARGS__)
#define RCLCPP_INFO_THROTTLE(logger, clock, ms, ...) \
  RCLCPP_LOG_THROTTLE_IMPL_(20, logger, clock, ms, __VA_ARGS__)
#define RCLCPP_WARN_THROTTLE(logger, clock, ms, ...) \
  RCLCPP_LOG_THROTTLE_IMPL_(30, logger, clock, ms, __VA_ARGS__)
#define RCLCPP_ERROR_THROTTLE(logger, clock, ms, ...) \
  RCLCPP_LOG_THROTTLE_IMPL_(40, logger, clock, ms, __VA_ARGS__)
#define RCLCPP_DEBUG_STREAM(logger, s) RCLCPP_LOG_STREAM_IMPL_(10, logger, s)
#define RCLCPP_INFO_STREAM(logger, s) RCLCPP_LOG_STREAM_IMPL_(20, logger, s)
#define RCLCPP_WARN_STREAM(logger, s) RCLCPP_LOG_STREAM_IMPL_(30, logger, s)
#define RCLCPP_ERROR_STREAM(logger, s) RCLCPP_LOG_STREAM_IMPL_(40, logger, s)
#define RCLCPP_FATAL_STREAM(logger, s) RCLCPP_LOG_STREAM_IMPL_(50, logger, s)
