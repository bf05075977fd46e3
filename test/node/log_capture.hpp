// Collects the lines of the process-wide logger for assertions.
#pragma once

#include <spdlog/sinks/base_sink.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "moorwick_arm_trash_detect/logging/logger.hpp"

namespace moorwick {
namespace test {

class CaptureSink : public spdlog::sinks::base_sink<std::mutex> {
public:
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }
  // Lines containing `text`.
  std::size_t Count(const std::string& text) {
    const auto lines = Lines();
    return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const auto& l) {
      return l.find(text) != std::string::npos;
    }));
  }

protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    lines_.emplace_back(msg.payload.data(), msg.payload.size());
  }
  void flush_() override {}

private:
  std::vector<std::string> lines_;
};

// Installs one capture sink on the logger (once per process) and returns it.
inline std::shared_ptr<CaptureSink> InstallCaptureSink() {
  static std::shared_ptr<CaptureSink> sink = [] {
    auto s = std::make_shared<CaptureSink>();
    auto& logger = Logger::Instance();
    if (logger.logger_) {
      logger.logger_->sinks().push_back(s);
    }
    return s;
  }();
  return sink;
}

}  // namespace test
}  // namespace moorwick
