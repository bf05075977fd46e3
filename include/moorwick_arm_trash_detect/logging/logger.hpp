// Process-wide logger: numbered, levelled lines on stdout and, optionally, the
// systemd journal. Sinks and level come from SPDLOG_STDOUT, SPDLOG_SYSTEMD and
// SPDLOG_LEVEL when the first statement runs.
#pragma once

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace moorwick {

// Terminal styles (ANSI SGR). A call site colours a message body by wrapping
// its format text: style + text + kReset.
inline constexpr char kBoldGreen[] = "\x1b[1;32m";
inline constexpr char kBoldRed[] = "\x1b[1;31m";
inline constexpr char kBoldYellow[] = "\x1b[1;33m";
inline constexpr char kBoldMagenta[] = "\x1b[1;35m";
inline constexpr char kBoldBlue[] = "\x1b[1;34m";
inline constexpr char kBoldCyan[] = "\x1b[1;36m";
inline constexpr char kReset[] = "\x1b[0m";
inline constexpr char kGreen[] = "\x1b[0;32m";
inline constexpr char kRed[] = "\x1b[0;31m";
inline constexpr char kYellow[] = "\x1b[0;33m";
inline constexpr char kMagenta[] = "\x1b[0;35m";
inline constexpr char kBlue[] = "\x1b[0;34m";
inline constexpr char kCyan[] = "\x1b[0;36m";
inline constexpr char kDimGreen[] = "\x1b[2;32m";
inline constexpr char kDimRed[] = "\x1b[2;31m";
inline constexpr char kDimYellow[] = "\x1b[2;33m";
inline constexpr char kDimMagenta[] = "\x1b[2;35m";
inline constexpr char kDimBlue[] = "\x1b[2;34m";
inline constexpr char kDimCyan[] = "\x1b[2;36m";
inline constexpr char kBgBlack[] = "\x1b[40m";
inline constexpr char kBgRed[] = "\x1b[41m";
inline constexpr char kBgGreen[] = "\x1b[42m";
inline constexpr char kBgYellow[] = "\x1b[43m";
inline constexpr char kBgBlue[] = "\x1b[44m";
inline constexpr char kBgMagenta[] = "\x1b[45m";
inline constexpr char kBgCyan[] = "\x1b[46m";
inline constexpr char kBgWhite[] = "\x1b[47m";
inline constexpr char kUnderline[] = "\x1b[4m";
inline constexpr char kReverse[] = "\x1b[7m";
inline constexpr char kBold[] = "\x1b[1m";
inline constexpr char kDim[] = "\x1b[2m";
inline constexpr char kItalic[] = "\x1b[3m";
inline constexpr char kBlink[] = "\x1b[5m";

// style + text + reset, for wrapping a format text before it is formatted.
inline std::string Styled(std::string_view style, std::string_view text) {
  std::string out;
  out.reserve(style.size() + text.size() + sizeof(kReset));
  out.append(style).append(text).append(kReset);
  return out;
}

class Logger {
public:
  static Logger& Instance();

  explicit Logger(const std::string& name);
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  template <typename... Args>
  void Log(spdlog::level::level_enum level, const spdlog::source_loc& where,
           std::string_view format, const Args&... args) {
    if (log_level_ > static_cast<int>(level)) {
      return;
    }
    const auto number = static_cast<unsigned>(
        static_cast<std::uint8_t>(log_count_.fetch_add(1, std::memory_order_relaxed) + 1) & 0x7Fu);
    if (!logger_) {
      return;
    }
    std::string message = Prefix(level, number);
    try {
      message += fmt::format(fmt::runtime(format), args...);
    } catch (const fmt::format_error& e) {
      // A wrong format text must not take the caller down; keep the text visible.
      message.append(format).append(" <format error: ").append(e.what()).append(">");
    }
    logger_->log(where, level, spdlog::string_view_t(message.data(), message.size()));
  }

  std::shared_ptr<spdlog::logger> logger_;
  std::atomic<std::uint8_t> log_count_{0};
  int log_level_{2};

private:
  static std::string Prefix(spdlog::level::level_enum level, unsigned number);
};

}  // namespace moorwick

#define MOORWICK_LOG_AT(level, ...)                                                        \
  ::moorwick::Logger::Instance().Log(                                                      \
      level, ::spdlog::source_loc{__FILE__, __LINE__, static_cast<const char*>(__func__)}, \
      __VA_ARGS__)

// <syslog.h> (pulled in by the journal sink) has priority macros of the same
// names; the log statements take precedence in our code.
#undef LOG_DEBUG
#undef LOG_INFO
#undef LOG_WARN
#undef LOG_ERROR
#define LOG_DEBUG(...) MOORWICK_LOG_AT(::spdlog::level::debug, __VA_ARGS__)
#define LOG_INFO(...) MOORWICK_LOG_AT(::spdlog::level::info, __VA_ARGS__)
#define LOG_WARN(...) MOORWICK_LOG_AT(::spdlog::level::warn, __VA_ARGS__)
#define LOG_ERROR(...) MOORWICK_LOG_AT(::spdlog::level::err, __VA_ARGS__)
