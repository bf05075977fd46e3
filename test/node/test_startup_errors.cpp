// The node's start-up as a child process on the shipped configuration: a broken
// configuration ends it with one line naming file and key, and exit status 1
// (the key-level messages: test/core/config); Ctrl-C during start-up is an
// ordinary stop.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "moorwick_test/process.hpp"

namespace moorwick_test {
namespace {

using namespace std::chrono_literals;

// The node in `prefix` with its output in `log`; the suite's environment sets
// the ROS domain and the DDS configuration.
Process StartNode(const fs::path& prefix, const fs::path& log) {
  return Process({MOORWICK_NODE_EXE}, log,
                 {"AMENT_PREFIX_PATH=" + prefix.string(), "SPDLOG_STDOUT=true"});
}

// The main file is read first, the camera files while the cameras are built,
// and the package is looked up before either.
TEST(Startup, BrokenConfigurationEndsWithOneLineAndStatusOne) {
  ScratchPrefix scratch("startup_broken", MOORWICK_SOURCE_CONFIG_DIR);
  const fs::path main = scratch.config() / "trash_pose_detect_config.yaml";
  const fs::path cam = scratch.config() / "cam1_detect_config.yaml";
  const std::string main_text = ReadFile(main);
  struct Case {
    const char* name;
    std::function<void()> damage;
    fs::path prefix;
    std::string line;  // the start of the error line
  };
  const std::string failed = "[ERROR] start-up failed: ";
  const std::vector<Case> cases{
      {"main file missing", [&] { fs::remove(main); }, scratch.prefix(),
       failed + "configuration file " + main.string() +
           ": cannot be opened (missing or unreadable)"},
      {"camera key missing",
       [&] {
         WriteFile(main, main_text);
         WriteFile(cam, Replace(ReadFile(cam), "  cam_frame_id:", "  frame_id:"));
       },
       scratch.prefix(),
       failed + "configuration file " + cam.string() +
           ", key 'camera_detection_params.cam_frame_id': missing"},
      {"package not in the prefix", [] {}, scratch.root(),
       failed + "package 'moorwick_arm_trash_detect' not found, searching: [" +
           scratch.root().string() + "]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.damage();
    Process node = StartNode(c.prefix, scratch.root() / "node.log");
    EXPECT_EQ(node.wait_exit(60s), 1) << node.log();
    const std::string output = node.log();
    const auto at = output.find("[ERROR]");
    const std::string error = at == std::string::npos ? "" : output.substr(at);
    EXPECT_EQ(error.rfind(c.line, 0), 0U) << "wanted: " << c.line << "\n" << output;
    EXPECT_NE(error.substr(0, error.find('\n')).find("moorwick_arm_trash_detect"),
              std::string::npos);
    EXPECT_EQ(error.find("[ERROR]", 1), std::string::npos) << "more than one error line";
    EXPECT_EQ(output.find("executor thread start"), std::string::npos) << output;
  }
}

// The shipped configuration with no camera publishing: start-up waits for
// camera_info when SIGINT comes.
TEST(Startup, CtrlCDuringStartUpEndsWithOneLineAndStatusZero) {
  ScratchPrefix prefix("startup_sigint", MOORWICK_SOURCE_CONFIG_DIR);
  Process node = StartNode(prefix.prefix(), prefix.root() / "node.log");
  ASSERT_TRUE(node.wait_for_text("cam_num_", 60s)) << node.log();
  node.signal(SIGINT);
  EXPECT_EQ(node.wait_exit(20s), 0) << node.log();
  const std::string output = node.log();
  EXPECT_NE(output.find("[INFO] start-up interrupted by shutdown: cam_1 was waiting for "
                        "camera_info on "),
            std::string::npos)
      << output;
  EXPECT_EQ(output.find("[ERROR]"), std::string::npos) << output;
  EXPECT_EQ(output.find("[WARN"), std::string::npos) << output;
}

}  // namespace
}  // namespace moorwick_test
