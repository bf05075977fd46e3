// A broken configuration ends start-up with one line naming file and key, and
// exit status 1.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "node_process.hpp"

namespace moorwick {
namespace {

using namespace std::chrono_literals;

constexpr int kDomainId = 61;

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  const auto pos = text.find(from);
  EXPECT_NE(pos, std::string::npos) << from;
  if (pos != std::string::npos) {
    text.replace(pos, from.size(), to);
  }
  return text;
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
  test::TempPrefix prefix(std::string("startup_") + c.name);
  const auto file = prefix.config_dir() / c.file;
  if (c.to == nullptr) {
    std::filesystem::remove(file);
  } else {
    test::WriteText(file, Replace(test::ReadText(file), c.from, c.to));
  }
  test::NodeProcess node(prefix.root(), kDomainId);
  ASSERT_TRUE(node.Exited(60s)) << node.Output();
  ASSERT_TRUE(node.ExitedNormally()) << "status " << node.raw_status() << "\n" << node.Output();
  EXPECT_EQ(node.ExitCode(), 1) << node.Output();

  const std::string output = node.Output();
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
        StartupCase{"main_wrong_type", "trash_pose_detect_config.yaml", "max_grab_radius: 1.0",
                    "max_grab_radius: one metre",
                    ", key 'moorwick_arm_trash_detect.max_grab_radius': wrong type: expected "
                    "number, found 'one metre' (line 5)"},
        StartupCase{"camera_file_missing", "cam1_detect_config.yaml", "", nullptr,
                    ": cannot be opened (missing or unreadable)"},
        StartupCase{"camera_key_missing", "cam1_detect_config.yaml", "  cam_frame_id:",
                    "  frame_id:", ", key 'camera_detection_params.cam_frame_id': missing"},
        StartupCase{"camera_wrong_type", "cam1_detect_config.yaml", "cam_id: 1", "cam_id: front",
                    ", key 'camera_detection_params.cam_id': wrong type: expected integer, "
                    "found 'front'"},
        StartupCase{"camera_negative_count", "cam1_detect_config.yaml",
                    "min_trash_cloud_size_treshold: 50", "min_trash_cloud_size_treshold: -50",
                    ", key 'camera_detection_params.min_trash_cloud_size_treshold': wrong type: "
                    "expected non-negative integer, found '-50'"}),
    [](const ::testing::TestParamInfo<StartupCase>& info) { return info.param.name; });

TEST(StartupError, PackageNotInThePrefixEndsWithStatusOne) {
  const auto empty = std::filesystem::temp_directory_path() /
                     ("moorwick_no_package_" + std::to_string(::getpid()));
  std::filesystem::create_directories(empty);
  {
    test::NodeProcess node(empty, kDomainId);
    ASSERT_TRUE(node.Exited(60s)) << node.Output();
    ASSERT_TRUE(node.ExitedNormally()) << node.Output();
    EXPECT_EQ(node.ExitCode(), 1);
    EXPECT_NE(node.Output().find("[ERROR] start-up failed: "), std::string::npos) << node.Output();
    EXPECT_NE(node.Output().find("moorwick_arm_trash_detect"), std::string::npos);
  }
  std::filesystem::remove_all(empty);
}

}  // namespace
}  // namespace moorwick
