// The logger's lines in memory, so tests can check the lines a function
// emits: LogCapture routes the logger into it for one test, at debug level;
// InstallCaptureSink adds it to the logger once per process (in-process
// nodes), with a hook that acts on a line as it is logged.
#pragma once

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "moorwick_arm_trash_detect/logging/logger.hpp"

namespace moorwick_test {

struct LogLine {
  spdlog::level::level_enum level;
  std::string text;      // message body, numbered prefix removed
  std::string function;  // call site as handed to spdlog
  std::string file;
  int line;
};

class LogLineSink : public spdlog::sinks::base_sink<std::mutex> {
public:
  std::vector<LogLine> Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
    hooks_.clear();
  }
  // Lines whose body equals `text`, or with `part`, contains it.
  std::size_t Count(const std::string& text, bool part = false) {
    const auto lines = Lines();
    return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const auto& l) {
      return part ? l.text.find(text) != std::string::npos : l.text == text;
    }));
  }
  std::size_t Containing(const std::string& text) { return Count(text, true); }
  // Runs `action` on the logging thread when the `nth` line (from 1) containing
  // `text` is logged: a test's way into the middle of a frame.
  void OnLine(std::string text, int nth, std::function<void()> action) {
    std::lock_guard<std::mutex> lock(mutex_);
    hooks_.push_back({std::move(text), nth, std::move(action)});
  }

protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    std::string payload(msg.payload.data(), msg.payload.size());
    // "NNN [LEVEL] body": drop everything up to the level tag's closing bracket.
    const auto tag_end = payload.find("] ");
    std::string body = tag_end == std::string::npos ? payload : payload.substr(tag_end + 2);
    const auto text = [](const char* s) { return s == nullptr ? std::string() : std::string(s); };
    lines_.push_back({msg.level, std::move(body), text(msg.source.funcname),
                      text(msg.source.filename), msg.source.line});
    for (auto& hook : hooks_) {
      if (lines_.back().text.find(hook.text) != std::string::npos && --hook.nth == 0) {
        hook.action();
      }
    }
  }
  void flush_() override {}

private:
  struct Hook {
    std::string text;
    int nth;
    std::function<void()> action;
  };
  std::vector<LogLine> lines_;
  std::vector<Hook> hooks_;
};

class LogCapture {
public:
  LogCapture() : sink_(std::make_shared<LogLineSink>()) {
    auto& logger = moorwick::Logger::Instance();
    saved_logger_ = logger.logger_;
    saved_level_ = logger.log_level_;
    logger.logger_ = std::make_shared<spdlog::logger>("capture", sink_);
    logger.logger_->set_level(spdlog::level::debug);
    logger.log_level_ = static_cast<int>(spdlog::level::debug);
  }
  ~LogCapture() {
    auto& logger = moorwick::Logger::Instance();
    logger.logger_ = saved_logger_;
    logger.log_level_ = saved_level_;
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<LogLine> Lines() const { return sink_->Lines(); }

  // Number of lines whose body equals `text` exactly.
  std::size_t Count(const std::string& text) const { return sink_->Count(text); }

private:
  std::shared_ptr<LogLineSink> sink_;
  std::shared_ptr<spdlog::logger> saved_logger_;
  int saved_level_{2};
};

// Adds one sink to the logger (once per process) and returns it.
inline std::shared_ptr<LogLineSink> InstallCaptureSink() {
  static std::shared_ptr<LogLineSink> sink = [] {
    auto s = std::make_shared<LogLineSink>();
    auto& logger = moorwick::Logger::Instance();
    if (logger.logger_) {
      logger.logger_->sinks().push_back(s);
    }
    return s;
  }();
  return sink;
}

}  // namespace moorwick_test
