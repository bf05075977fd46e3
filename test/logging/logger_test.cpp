#include <gtest/gtest.h>
#include <spawn.h>
#include <spdlog/sinks/base_sink.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "moorwick_arm_trash_detect/logging/logger.hpp"

extern char** environ;

namespace {

constexpr char kNotSetStdout[] = "environment variable SPDLOG_STDOUT is not set, and set true\n";
constexpr char kNotSetSystemd[] = "environment variable SPDLOG_SYSTEMD is not set, and set false\n";
constexpr char kNotSetLevel[] =
    "environment variable SPDLOG_LEVEL is not set, and set default level\n";

struct ProbeResult {
  std::string out;
  int status{-1};
};

// Runs the probe with exactly the given SPDLOG_* variables (others removed).
ProbeResult RunProbe(const std::map<std::string, std::string>& env,
                     const std::vector<std::string>& args) {
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::string(*e).rfind("SPDLOG_", 0) != 0) {
      env_strings.emplace_back(*e);
    }
  }
  for (const auto& [k, v] : env) {
    env_strings.push_back(k + "=" + v);
  }
  std::vector<char*> envp;
  for (auto& s : env_strings) {
    envp.push_back(s.data());
  }
  envp.push_back(nullptr);

  std::vector<std::string> argv_strings{LOGGER_PROBE_PATH};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : argv_strings) {
    argv.push_back(s.data());
  }
  argv.push_back(nullptr);

  int fds[2];
  if (pipe(fds) != 0) {
    return {};
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  ProbeResult result;
  if (rc != 0) {
    close(fds[0]);
    return result;
  }
  char buf[4096];
  ssize_t n = 0;
  while ((n = read(fds[0], buf, sizeof(buf))) > 0) {
    result.out.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

struct EnvCase {
  const char* name;
  std::map<std::string, std::string> env;
  std::vector<std::string> args;
  std::string expected;
};

class LoggerEnvironment : public ::testing::TestWithParam<EnvCase> {};

TEST_P(LoggerEnvironment, PrintsExactBytes) {
  const auto& c = GetParam();
  const auto result = RunProbe(c.env, c.args);
  ASSERT_EQ(result.status, 0);
  EXPECT_EQ(result.out, c.expected);
}

const std::map<std::string, std::string> kQuiet{
    {"SPDLOG_STDOUT", "true"}, {"SPDLOG_SYSTEMD", "false"}, {"SPDLOG_LEVEL", "info"}};

INSTANTIATE_TEST_SUITE_P(
    Matrix, LoggerEnvironment,
    ::testing::Values(
        EnvCase{"NothingSet",
                {},
                {"debug:hidden", "info:hello", "warn:careful", "error:broken"},
                std::string(kNotSetStdout) + kNotSetSystemd + kNotSetLevel +
                    "  1 [INFO] hello\n  2 [WARN] careful\n  3 [ERROR] broken\n"},
        EnvCase{"AllValidInfo",
                kQuiet,
                {"info:a", "debug:b", "info:c"},
                "  1 [INFO] a\n  2 [INFO] c\n"},
        EnvCase{"NoSinksNoOutput",
                {{"SPDLOG_STDOUT", "false"}, {"SPDLOG_SYSTEMD", "false"}, {"SPDLOG_LEVEL", "info"}},
                {"info:a", "error:b"},
                ""},
        EnvCase{"InvalidStdoutFallsBackToTrue",
                {{"SPDLOG_STDOUT", "yes"}, {"SPDLOG_SYSTEMD", "false"}, {"SPDLOG_LEVEL", "info"}},
                {"info:a"},
                "environment variable SPDLOG_STDOUT is invalid, and set true\n  1 [INFO] a\n"},
        EnvCase{"InvalidSystemdFallsBackToFalse",
                {{"SPDLOG_STDOUT", "true"}, {"SPDLOG_SYSTEMD", "TRUE"}, {"SPDLOG_LEVEL", "info"}},
                {"info:a"},
                "environment variable SPDLOG_SYSTEMD is invalid, and set false\n  1 [INFO] a\n"},
        EnvCase{
            "UpperCaseLevelIsInvalid",
            {{"SPDLOG_STDOUT", "true"}, {"SPDLOG_SYSTEMD", "false"}, {"SPDLOG_LEVEL", "WARNING"}},
            {"debug:d", "info:i"},
            "environment variable SPDLOG_LEVEL is invalid, and set default level\n"
            "  1 [INFO] i\n"},
        EnvCase{"DebugLevelNumbersDebugLines",
                {{"SPDLOG_STDOUT", "true"}, {"SPDLOG_SYSTEMD", "false"}, {"SPDLOG_LEVEL", "debug"}},
                {"debug:d", "info:i"},
                "  1 [DEBUG] d\n  2 [INFO] i\n"},
        EnvCase{
            "WarningLevelSkipsInfoWithoutCounting",
            {{"SPDLOG_STDOUT", "true"}, {"SPDLOG_SYSTEMD", "false"}, {"SPDLOG_LEVEL", "warning"}},
            {"info:i", "warn:w", "error:e"},
            "  1 [WARN] w\n  2 [ERROR] e\n"},
        EnvCase{
            "CriticalLevelHidesEverything",
            {{"SPDLOG_STDOUT", "true"}, {"SPDLOG_SYSTEMD", "false"}, {"SPDLOG_LEVEL", "critical"}},
            {"error:e"},
            ""},
        EnvCase{"StyledBodyKeepsItsSequences",
                kQuiet,
                {"styled:cyan"},
                "  1 [INFO] \x1b[1;36mcyan\x1b[0m\n"},
        EnvCase{"BracesInArgumentsAreNotFormatted", kQuiet, {"info:{} {0}"}, "  1 [INFO] {} {0}\n"},
        EnvCase{"MatrixRowsOnTheirOwnLines",
                {{"SPDLOG_STDOUT", "true"}, {"SPDLOG_SYSTEMD", "false"}, {"SPDLOG_LEVEL", "debug"}},
                {"matrix:debug", "matrix:info"},
                "  1 [DEBUG] m:\n"
                "           [1.000000 2.000000 3.000000 4.000000]\n"
                "           [5.000000 6.000000 7.000000 8.000000]\n"
                "           [9.000000 10.000000 11.000000 12.000000]\n"
                "           [13.000000 14.000000 15.000000 16.500000]\n"
                "  2 [INFO] m:\n"
                "           [1.000000 2.000000 3.000000 4.000000]\n"
                "           [5.000000 6.000000 7.000000 8.000000]\n"
                "           [9.000000 10.000000 11.000000 12.000000]\n"
                "           [13.000000 14.000000 15.000000 16.500000]\n"},
        EnvCase{"InfoLevelHidesDebugMatrix", kQuiet, {"matrix:debug"}, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LoggerNumbering, WrapsAfter127) {
  const auto result = RunProbe(kQuiet, {"repeat:130:line"});
  ASSERT_EQ(result.status, 0);
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl = result.out.find('\n'); nl != std::string::npos;
       start = nl + 1, nl = result.out.find('\n', start)) {
    lines.push_back(result.out.substr(start, nl - start));
  }
  ASSERT_EQ(lines.size(), 130U);
  EXPECT_EQ(lines[0], "  1 [INFO] line 1");
  EXPECT_EQ(lines[126], "127 [INFO] line 127");
  EXPECT_EQ(lines[127], "  0 [INFO] line 128");
  EXPECT_EQ(lines[128], "  1 [INFO] line 129");
  EXPECT_EQ(lines[129], "  2 [INFO] line 130");
}

TEST(LoggerFormat, WrongFormatTextDoesNotCrash) {
  const auto result = RunProbe(kQuiet, {"badformat", "info:after"});
  ASSERT_EQ(result.status, 0);
  EXPECT_NE(result.out.find("  1 [INFO] value {} and {}"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("  2 [INFO] after\n"), std::string::npos) << result.out;
}

TEST(LoggerJournal, JournalSinkDoesNotDisturbStdout) {
  // Without a journal daemon the sink may fail; stdout must still carry the line.
  const auto result =
      RunProbe({{"SPDLOG_STDOUT", "true"}, {"SPDLOG_SYSTEMD", "true"}, {"SPDLOG_LEVEL", "info"}},
               {"info:both"});
  ASSERT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "  1 [INFO] both\n");
}

// In-process: the counter and the source location, through a capturing sink.
class CaptureSink : public spdlog::sinks::base_sink<std::mutex> {
public:
  struct Entry {
    std::string text;
    std::string file;
    std::string function;
    int line{0};
    spdlog::level::level_enum level{spdlog::level::off};
  };
  std::vector<Entry> entries;

protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    entries.push_back({std::string(msg.payload.data(), msg.payload.size()),
                       msg.source.filename ? msg.source.filename : "",
                       msg.source.funcname ? msg.source.funcname : "", msg.source.line, msg.level});
  }
  void flush_() override {}
};

class LoggerInProcess : public ::testing::Test {
protected:
  void SetUp() override {
    setenv("SPDLOG_STDOUT", "false", 1);
    setenv("SPDLOG_SYSTEMD", "false", 1);
    setenv("SPDLOG_LEVEL", "info", 1);
  }
};

TEST_F(LoggerInProcess, CountsEmittedLevelsEvenWithoutSinks) {
  moorwick::Logger logger("test");
  ASSERT_TRUE(logger.logger_);
  EXPECT_EQ(logger.log_level_, 2);
  const spdlog::source_loc here{__FILE__, __LINE__, "f"};
  logger.Log(spdlog::level::info, here, "a");
  logger.Log(spdlog::level::debug, here, "skipped");
  logger.Log(spdlog::level::err, here, "b");
  EXPECT_EQ(logger.log_count_.load(), 2);
}

TEST_F(LoggerInProcess, PassesCallSiteAsSourceLocation) {
  moorwick::Logger logger("test");
  auto sink = std::make_shared<CaptureSink>();
  logger.logger_->sinks().push_back(sink);
  const int line = __LINE__ + 1;
  logger.Log(spdlog::level::warn, spdlog::source_loc{__FILE__, line, __func__}, "x={}", 3);
  ASSERT_EQ(sink->entries.size(), 1U);
  EXPECT_EQ(sink->entries[0].text, "  1 [WARN] x=3");
  EXPECT_EQ(sink->entries[0].line, line);
  EXPECT_EQ(sink->entries[0].level, spdlog::level::warn);
  // Paths are relative to the repository, as the journal shows them.
  EXPECT_EQ(sink->entries[0].file, "./test/logging/logger_test.cpp");
  EXPECT_EQ(sink->entries[0].function, std::string("TestBody"));
}

TEST_F(LoggerInProcess, MissingLoggerNeverCrashes) {
  moorwick::Logger logger("test");
  logger.logger_.reset();
  logger.Log(spdlog::level::err, spdlog::source_loc{__FILE__, __LINE__, "f"}, "dropped {}", 1);
  EXPECT_EQ(logger.log_count_.load(), 1);
}

TEST_F(LoggerInProcess, ConcurrentStatementsCountEveryLine) {
  moorwick::Logger logger("test");
  constexpr int kThreads = 4;
  constexpr int kPerThread = 100;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&logger] {
      for (int i = 0; i < kPerThread; ++i) {
        logger.Log(spdlog::level::info, spdlog::source_loc{__FILE__, __LINE__, "f"}, "{}", i);
      }
    });
  }
  for (auto& th : threads) {
    th.join();
  }
  // 400 increments of an 8-bit counter: none lost means 400 mod 256.
  EXPECT_EQ(logger.log_count_.load(), (kThreads * kPerThread) % 256);
}

}  // namespace
