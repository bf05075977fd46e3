#include "moorwick_arm_trash_detect/logging/matrix_log.hpp"

#include <spdlog/sinks/ansicolor_sink.h>
#include <spdlog/sinks/systemd_sink.h>

#include <cstdlib>
#include <iostream>
#include <mutex>
#include <vector>

#include "moorwick_arm_trash_detect/logging/logger.hpp"

namespace moorwick {
namespace {

// Unset: nullptr; otherwise the value.
const char* Env(const char* name) {
  return std::getenv(name);  // NOLINT(concurrency-mt-unsafe): read once, at start-up
}

bool LevelFromName(std::string_view text, int& level) {
  static constexpr std::pair<std::string_view, int> kLevels[] = {
      {"trace", 0}, {"debug", 1}, {"info", 2}, {"warning", 3}, {"error", 4}, {"critical", 5}};
  for (const auto& [name, value] : kLevels) {
    if (text == name) {
      level = value;
      return true;
    }
  }
  return false;
}

}  // namespace

Logger& Logger::Instance() {
  static Logger instance("spdlog");
  return instance;
}

Logger::Logger(const std::string& name) {
  try {
    std::vector<spdlog::sink_ptr> sinks;

    const char* out = Env("SPDLOG_STDOUT");
    bool use_stdout = true;
    if (out == nullptr) {
      std::cout << "environment variable SPDLOG_STDOUT is not set, and set true\n";
    } else if (std::string_view(out) == "false") {
      use_stdout = false;
    } else if (std::string_view(out) != "true") {
      std::cout << "environment variable SPDLOG_STDOUT is invalid, and set true\n";
    }
    if (use_stdout) {
      sinks.push_back(
          std::make_shared<spdlog::sinks::ansicolor_stdout_sink_mt>(spdlog::color_mode::automatic));
    }

    const char* journal = Env("SPDLOG_SYSTEMD");
    if (journal == nullptr) {
      std::cout << "environment variable SPDLOG_SYSTEMD is not set, and set false\n";
    } else if (std::string_view(journal) == "true") {
      sinks.push_back(std::make_shared<spdlog::sinks::systemd_sink<std::mutex>>());
    } else if (std::string_view(journal) != "false") {
      std::cout << "environment variable SPDLOG_SYSTEMD is invalid, and set false\n";
    }
    std::cout.flush();

    logger_ = std::make_shared<spdlog::logger>(name, sinks.begin(), sinks.end());

    int level = 2;
    const char* level_text = Env("SPDLOG_LEVEL");
    if (level_text == nullptr) {
      std::cout << "environment variable SPDLOG_LEVEL is not set, and set default level\n";
    } else if (!LevelFromName(level_text, level)) {
      std::cout << "environment variable SPDLOG_LEVEL is invalid, and set default level\n";
      level = 2;
    }
    std::cout.flush();
    log_level_ = level;
    logger_->set_level(static_cast<spdlog::level::level_enum>(level));
    logger_->set_pattern("%v", spdlog::pattern_time_type::local);
  } catch (const spdlog::spdlog_ex&) {
    // Logging must never stop the program; keep whatever was built.
  }
}

std::string Logger::Prefix(spdlog::level::level_enum level, unsigned number) {
  switch (level) {
    case spdlog::level::debug:
      return fmt::format("{0:3d} [DEBUG] ", number);
    case spdlog::level::info:
      return fmt::format("{0:3d} [INFO] ", number);
    case spdlog::level::warn:
      return fmt::format("{0:3d} [WARN] ", number);
    default:
      return fmt::format("{0:3d} [ERROR] ", number);
  }
}

}  // namespace moorwick

namespace {
constexpr char kMatrixFormat[] =
    "{}:\n"
    "           [{:.6f} {:.6f} {:.6f} {:.6f}]\n"
    "           [{:.6f} {:.6f} {:.6f} {:.6f}]\n"
    "           [{:.6f} {:.6f} {:.6f} {:.6f}]\n"
    "           [{:.6f} {:.6f} {:.6f} {:.6f}]";
}  // namespace

#define MOORWICK_MATRIX_ARGS(m)                                                             \
  m(0, 0), m(0, 1), m(0, 2), m(0, 3), m(1, 0), m(1, 1), m(1, 2), m(1, 3), m(2, 0), m(2, 1), \
      m(2, 2), m(2, 3), m(3, 0), m(3, 1), m(3, 2), m(3, 3)

void moorwickLogDebugMatrix4f(const std::string& name, const Eigen::Matrix4f& matrix) {
  LOG_DEBUG(kMatrixFormat, name, MOORWICK_MATRIX_ARGS(matrix));
}

void moorwickLogInfoMatrix4f(const std::string& name, const Eigen::Matrix4f& matrix) {
  LOG_INFO(kMatrixFormat, name, MOORWICK_MATRIX_ARGS(matrix));
}
