// Small pieces of the runtime: endpoint ids, request sequence numbers,
// service matching, and the RCLCPP_* console output.
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>

#include "rclcpp/client.hpp"
#include "rclcpp/detail/arguments.hpp"
#include "rclcpp/logging.hpp"
#include "rclcpp/service.hpp"

namespace rclcpp {
namespace detail {

std::string make_endpoint_user_data(const char* key) {
  static std::mutex m;
  static std::mt19937_64 rng{
      std::random_device{}() ^
      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count())};
  uint64_t a = 0;
  uint64_t b = 0;
  {
    std::lock_guard<std::mutex> lock(m);
    a = rng();
    b = rng();
  }
  char buf[64];
  std::snprintf(buf, sizeof(buf), "%s=%016llx%016llx;", key, static_cast<unsigned long long>(a),
                static_cast<unsigned long long>(b));
  return buf;
}

int64_t next_request_sequence() {
  static std::atomic<int64_t> seq{0};
  return ++seq;
}

void wait_for_reply_reader(const ros2_runtime::DdsReader& request_reader,
                           const ros2_runtime::DdsWriter& reply_writer,
                           uint64_t publication_handle) {
  const std::string client = ros2_runtime::user_data_value(
      request_reader.writer_user_data(publication_handle), "clientid");
  if (client.empty()) {
    return;  // not an rmw-style client: nothing to wait for
  }
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
  for (;;) {
    for (const auto& ud : reply_writer.matched_reader_user_data()) {
      if (ros2_runtime::user_data_value(ud, "clientid") == client) {
        return;
      }
    }
    if (std::chrono::steady_clock::now() >= until) {
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// ---------------------------------------------------------------- logging

namespace {

// The console's levels: a default (from RCUTILS_LOGGING_SEVERITY, then
// --log-level) and per-logger levels that hold for their descendants too
// ("a" covers "a.b"), as rcutils resolves them.
struct LogLevels {
  std::mutex mutex;
  int default_level{20};
  std::unordered_map<std::string, int> loggers;
  bool stdout_enabled{true};
};

int env_default_severity() {
  // Nothing in the process changes its environment while nodes run.
  const char* env = std::getenv("RCUTILS_LOGGING_SEVERITY");  // NOLINT(concurrency-mt-unsafe)
  const auto level = env != nullptr ? severity_from_string(env) : std::nullopt;
  return level && *level != 0 ? *level : 20;
}

LogLevels& levels() {
  static LogLevels* state = [] {
    auto* l = new LogLevels();  // never destroyed: logging may run during exit
    l->default_level = env_default_severity();
    return l;
  }();
  return *state;
}

const char* severity_name(int s) {
  switch (s) {
    case 10:
      return "DEBUG";
    case 20:
      return "INFO";
    case 30:
      return "WARN";
    case 40:
      return "ERROR";
    default:
      return "FATAL";
  }
}
}  // namespace

void configure_logging(const Arguments& args) {
  LogLevels& l = levels();
  std::lock_guard<std::mutex> lock(l.mutex);
  l.default_level = env_default_severity();
  l.loggers.clear();
  if (args.default_log_level != 0) {
    l.default_level = args.default_log_level;
  }
  for (const auto& [name, level] : args.logger_levels) {
    if (level == 0) {
      l.loggers.erase(name);
    } else {
      l.loggers[name] = level;
    }
  }
  l.stdout_enabled = args.stdout_logs.value_or(true);
}

bool log_enabled(int severity, const char* logger) {
  LogLevels& l = levels();
  std::lock_guard<std::mutex> lock(l.mutex);
  if (!l.stdout_enabled) {
    return false;
  }
  std::string name = logger != nullptr ? logger : "";
  while (!l.loggers.empty()) {
    const auto it = l.loggers.find(name);
    if (it != l.loggers.end()) {
      return severity >= it->second;
    }
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos) {
      break;
    }
    name.resize(dot);
  }
  return severity >= l.default_level;
}

void log_string(int severity, const char* logger, const std::string& text) {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const double t = std::chrono::duration<double>(now).count();
  std::fprintf(stderr, "[%s] [%.9f] [%s]: %s\n", severity_name(severity), t, logger, text.c_str());
}

void log_line(int severity, const char* logger, const char* format, ...) {
  char buf[2048];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(buf, sizeof(buf), format, ap);
  va_end(ap);
  log_string(severity, logger, buf);
}

bool log_throttle_ok(const void* site, long long period_ms) {
  static std::mutex m;
  static std::unordered_map<const void*, std::chrono::steady_clock::time_point> last;
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lock(m);
  auto it = last.find(site);
  if (it != last.end() && now - it->second < std::chrono::milliseconds(period_ms)) {
    return false;
  }
  last[site] = now;
  return true;
}

}  // namespace detail

bool ClientBase::service_is_ready() const {
  if (request_writer_.matched_count() == 0 || reply_reader_.matched_count() == 0) {
    return false;
  }
  // A stock service carries one serviceid on both of its endpoints; require
  // the reply writer of the same service whose request reader we matched.
  const auto writers = reply_reader_.matched_writer_user_data();
  for (const auto& rd : request_writer_.matched_reader_user_data()) {
    const std::string sid = ros2_runtime::user_data_value(rd, "serviceid");
    if (sid.empty()) {
      return true;
    }
    for (const auto& wr : writers) {
      if (ros2_runtime::user_data_value(wr, "serviceid") == sid) {
        return true;
      }
    }
  }
  return false;
}

bool ClientBase::wait_for_service_nanoseconds(std::chrono::nanoseconds timeout) {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (!context_->is_valid()) {
      return false;
    }
    if (service_is_ready()) {
      return true;
    }
    auto step = std::chrono::steady_clock::now() + std::chrono::milliseconds(10);
    if (timeout >= std::chrono::nanoseconds(0)) {
      const auto until = start + timeout;
      if (std::chrono::steady_clock::now() >= until) {
        return false;
      }
      step = std::min(step, until);
    }
    context_->sleep_until(step);
  }
}

}  // namespace rclcpp
