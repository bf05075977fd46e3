// Routes the process-wide logger into memory for the duration of a test, at
// debug level, so tests can check the exact lines a function emits.
#pragma once

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

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

protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    std::string payload(msg.payload.data(), msg.payload.size());
    // "NNN [LEVEL] body": drop everything up to the level tag's closing bracket.
    const auto tag_end = payload.find("] ");
    std::string body = tag_end == std::string::npos ? payload : payload.substr(tag_end + 2);
    const auto text = [](const char* s) { return s == nullptr ? std::string() : std::string(s); };
    lines_.push_back({msg.level, std::move(body), text(msg.source.funcname),
                      text(msg.source.filename), msg.source.line});
  }
  void flush_() override {}

private:
  std::vector<LogLine> lines_;
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
  std::size_t Count(const std::string& text) const {
    std::size_t count = 0;
    for (const auto& line : sink_->Lines()) {
      count += line.text == text ? 1 : 0;
    }
    return count;
  }

private:
  std::shared_ptr<LogLineSink> sink_;
  std::shared_ptr<spdlog::logger> saved_logger_;
  int saved_level_{2};
};

}  // namespace moorwick_test
