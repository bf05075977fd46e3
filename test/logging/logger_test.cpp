#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "moorwick_arm_trash_detect/logging/logger.hpp"
#include "moorwick_test/log_capture.hpp"
#include "moorwick_test/process.hpp"

namespace {

using Env = std::map<std::string, std::string>;

struct ProbeResult {
  std::string out;
  int status{-1};
};

// Runs the probe with exactly the given SPDLOG_* variables (ours removed).
ProbeResult RunProbe(const Env& env, const std::vector<std::string>& args) {
  std::vector<std::string> argv{"/usr/bin/env",   "-u", "SPDLOG_STDOUT", "-u",
                                "SPDLOG_SYSTEMD", "-u", "SPDLOG_LEVEL"};
  for (const auto& [key, value] : env) {
    argv.push_back(std::string(key).append("=").append(value));
  }
  argv.push_back(LOGGER_PROBE_PATH);
  argv.insert(argv.end(), args.begin(), args.end());
  moorwick_test::Process probe(argv);
  const int status = probe.wait_exit(std::chrono::seconds(20));
  return {probe.log(), status};
}

Env Vars(const char* out, const char* journal, const char* level) {
  return {{"SPDLOG_STDOUT", out}, {"SPDLOG_SYSTEMD", journal}, {"SPDLOG_LEVEL", level}};
}
const Env kQuiet = Vars("true", "false", "info");

struct EnvCase {
  const char* name;
  Env env;
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

INSTANTIATE_TEST_SUITE_P(
    Matrix, LoggerEnvironment,
    ::testing::Values(
        EnvCase{"NothingSet",
                {},
                {"debug:hidden", "info:hello", "warn:careful", "error:broken"},
                "environment variable SPDLOG_STDOUT is not set, and set true\n"
                "environment variable SPDLOG_SYSTEMD is not set, and set false\n"
                "environment variable SPDLOG_LEVEL is not set, and set default level\n"
                "  1 [INFO] hello\n  2 [WARN] careful\n  3 [ERROR] broken\n"},
        EnvCase{"NoSinksNoOutput", Vars("false", "false", "info"), {"info:a", "error:b"}, ""},
        EnvCase{"InvalidStdoutFallsBackToTrue",
                Vars("yes", "false", "info"),
                {"info:a"},
                "environment variable SPDLOG_STDOUT is invalid, and set true\n  1 [INFO] a\n"},
        EnvCase{"InvalidSystemdFallsBackToFalse",
                Vars("true", "TRUE", "info"),
                {"info:a"},
                "environment variable SPDLOG_SYSTEMD is invalid, and set false\n  1 [INFO] a\n"},
        // Without a journal daemon the sink may fail; stdout must still carry the line.
        EnvCase{"JournalDoesNotDisturbStdout",
                Vars("true", "true", "info"),
                {"info:a"},
                "  1 [INFO] a\n"},
        EnvCase{"UpperCaseLevelIsInvalid",
                Vars("true", "false", "WARNING"),
                {"debug:d", "info:i"},
                "environment variable SPDLOG_LEVEL is invalid, and set default level\n"
                "  1 [INFO] i\n"},
        EnvCase{"DebugLevelNumbersDebugLines",
                Vars("true", "false", "debug"),
                {"debug:d", "info:i"},
                "  1 [DEBUG] d\n  2 [INFO] i\n"},
        EnvCase{"WarningLevelSkipsInfoWithoutCounting",
                Vars("true", "false", "warning"),
                {"info:i", "warn:w", "error:e"},
                "  1 [WARN] w\n  2 [ERROR] e\n"},
        // Row-major rows; the debug matrix is below the info level.
        EnvCase{"InfoMatrixRowsOnTheirOwnLines",
                kQuiet,
                {"matrix:debug", "matrix:info"},
                "  1 [INFO] m:\n"
                "           [1.000000 2.000000 3.000000 4.000000]\n"
                "           [5.000000 6.000000 7.000000 8.000000]\n"
                "           [9.000000 10.000000 11.000000 12.000000]\n"
                "           [13.000000 14.000000 15.000000 16.500000]\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// A wrong format text must not stop the numbering or the lines after it.
TEST(LoggerNumbering, WrapsAfter127AndSurvivesAWrongFormatText) {
  const auto result = RunProbe(kQuiet, {"repeat:130:line", "badformat", "info:after"});
  ASSERT_EQ(result.status, 0);
  EXPECT_NE(result.out.find("126 [INFO] line 126\n127 [INFO] line 127\n  0 [INFO] line 128\n"
                            "  1 [INFO] line 129\n  2 [INFO] line 130\n"
                            "  3 [INFO] value {} and {}"),
            std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("\n  4 [INFO] after\n"), std::string::npos) << result.out;
}

class LoggerInProcess : public ::testing::Test {
protected:
  // Before any logger of the test exists; nothing else reads the environment then.
  void SetUp() override {
    setenv("SPDLOG_STDOUT", "false", 1);   // NOLINT(concurrency-mt-unsafe)
    setenv("SPDLOG_SYSTEMD", "false", 1);  // NOLINT(concurrency-mt-unsafe)
    setenv("SPDLOG_LEVEL", "info", 1);     // NOLINT(concurrency-mt-unsafe)
  }
};

TEST_F(LoggerInProcess, CountsEmittedLevelsEvenWithoutLogger) {
  moorwick::Logger logger("test");
  const spdlog::source_loc here{__FILE__, __LINE__, "f"};
  logger.Log(spdlog::level::info, here, "a");
  logger.Log(spdlog::level::debug, here, "skipped");
  logger.logger_.reset();
  logger.Log(spdlog::level::err, here, "dropped {}", 1);
  EXPECT_EQ(logger.log_count_.load(), 2);
}

TEST_F(LoggerInProcess, StatementPassesItsCallSite) {
  const moorwick_test::LogCapture log;
  const int line = __LINE__ + 1;
  LOG_WARN("x={}", 3);
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 1U);
  EXPECT_EQ(lines[0].text, "x=3");
  EXPECT_EQ(lines[0].level, spdlog::level::warn);
  // The literal path the compiler gives; the build makes it repository-relative.
  EXPECT_EQ(lines[0].file, __FILE__);
  EXPECT_EQ(lines[0].line, line);
  EXPECT_EQ(lines[0].function, "TestBody");
}

TEST_F(LoggerInProcess, ConcurrentStatementsCountEveryLine) {
  moorwick::Logger logger("test");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&logger] {  // NOLINT(performance-inefficient-vector-operation)
      for (int i = 0; i < 100; ++i) {
        logger.Log(spdlog::level::info, spdlog::source_loc{__FILE__, __LINE__, "f"}, "{}", i);
      }
    });
  }
  for (auto& th : threads) {
    th.join();
  }
  // 400 increments of an 8-bit counter: none lost means 400 mod 256.
  EXPECT_EQ(logger.log_count_.load(), 400 % 256);
}

}  // namespace
