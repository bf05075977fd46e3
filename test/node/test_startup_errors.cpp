// A broken configuration ends start-up with one line naming file and key, and
// exit status 1.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "moorwick_test/process.hpp"

namespace moorwick {
namespace {

using namespace std::chrono_literals;
using moorwick_test::Process;
using moorwick_test::ReadFile;
using moorwick_test::ScratchPrefix;

// The node in `prefix` with its output in `log`; the suite's environment sets
// the ROS domain and the DDS configuration.
Process StartNode(const std::filesystem::path& prefix, const std::filesystem::path& log) {
  return Process({MOORWICK_NODE_EXE}, log,
                 {"AMENT_PREFIX_PATH=" + prefix.string(), "SPDLOG_STDOUT=true"});
}

struct StartupCase {
  const char* name;
  const char* file;      // config file to change, relative to the config folder
  const char* from;      // text in the shipped file ...
  const char* to;        // ... replaced by this; remove the file when null
  const char* expected;  // text of the error line after the file name
};

class StartupErrorTest : public ::testing::TestWithParam<StartupCase> {};

TEST_P(StartupErrorTest, EndsWithOneLineAndStatusOne) {
  const StartupCase& c = GetParam();
  ScratchPrefix prefix(std::string("startup_") + c.name, MOORWICK_SOURCE_CONFIG_DIR);
  const auto file = prefix.config() / c.file;
  if (c.to == nullptr) {
    std::filesystem::remove(file);
  } else {
    const std::string text = ReadFile(file);
    ASSERT_NE(text.find(c.from), std::string::npos) << c.from;
    moorwick_test::WriteFile(file, moorwick_test::Replace(text, c.from, c.to));
  }
  Process node = StartNode(prefix.prefix(), prefix.root() / "node.log");
  EXPECT_EQ(node.wait_exit(60s), 1) << node.log();

  const std::string output = node.log();
  const std::string expected =
      "[ERROR] start-up failed: configuration file " + file.string() + c.expected;
  EXPECT_NE(output.find(expected), std::string::npos) << "wanted: " << expected << "\n" << output;
  // One error line, and the service never came up.
  std::size_t errors = 0;
  for (std::size_t pos = output.find("[ERROR]"); pos != std::string::npos;
       pos = output.find("[ERROR]", pos + 1)) {
    ++errors;
  }
  EXPECT_EQ(errors, 1U) << output;
  EXPECT_EQ(output.find("executor thread start"), std::string::npos) << output;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StartupErrorTest,
    ::testing::Values(
        StartupCase{"main_file_missing", "trash_pose_detect_config.yaml", "", nullptr,
                    ": cannot be opened (missing or unreadable)"},
        StartupCase{"main_key_missing", "trash_pose_detect_config.yaml", "detect_timeout_ms: 600",
                    "detect_timeout: 600",
                    ", key 'moorwick_arm_trash_detect.detect_timeout_ms': missing"},
        StartupCase{"camera_key_missing", "cam1_detect_config.yaml", "  cam_frame_id:",
                    "  frame_id:", ", key 'camera_detection_params.cam_frame_id': missing"},
        StartupCase{"camera_wrong_type", "cam1_detect_config.yaml", "cam_id: 1", "cam_id: front",
                    ", key 'camera_detection_params.cam_id': wrong type: expected integer, "
                    "found 'front'"}),
    [](const ::testing::TestParamInfo<StartupCase>& info) { return info.param.name; });

TEST(StartupError, PackageNotInThePrefixEndsWithStatusOne) {
  ScratchPrefix scratch("no_package", MOORWICK_SOURCE_CONFIG_DIR);
  Process node = StartNode(scratch.root(), scratch.root() / "node.log");
  EXPECT_EQ(node.wait_exit(60s), 1) << node.log();
  EXPECT_NE(node.log().find("[ERROR] start-up failed: "), std::string::npos) << node.log();
  EXPECT_NE(node.log().find("moorwick_arm_trash_detect"), std::string::npos);
}

}  // namespace
}  // namespace moorwick
