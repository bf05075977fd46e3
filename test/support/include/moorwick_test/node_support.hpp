// For suites that build camera nodes in-process: the fixture base with the
// logger's lines (log_capture.hpp), and edits of the configuration copied
// into a scratch prefix (process.hpp).
#pragma once

#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "moorwick_arm_trash_detect/logging/logger.hpp"
#include "moorwick_test/log_capture.hpp"
#include "moorwick_test/process.hpp"
#include "rclcpp/rclcpp.hpp"

namespace moorwick_test {

// Loads <config>/<from>, lets `edit` change it and writes it as <config>/<to>;
// returns the written path.
inline std::string EditConfig(const std::filesystem::path& config, const std::string& from,
                              const std::string& to, const std::function<void(YAML::Node&)>& edit) {
  YAML::Node root = YAML::LoadFile((config / from).string());
  edit(root);
  std::string path = (config / to).string();
  std::ofstream(path) << root;
  return path;
}

// A camera-node suite: rclcpp started once, the captured log cleared per test.
class NodeSuiteTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    if (!rclcpp::ok()) {
      rclcpp::init(0, nullptr);
    }
  }
  void SetUp() override {
    log_ = InstallCaptureSink();
    log_->Clear();
  }
  // A scratch prefix that AMENT_PREFIX_PATH points at, with the demo
  // estimator file written as `estimator`, its debug folder in the prefix.
  void MakeShare(const std::string& tag, const std::string& estimator) {
    share_ = std::make_unique<ScratchPrefix>(tag, MOORWICK_SOURCE_CONFIG_DIR);
    // Set before the node under test exists; its threads read it later.
    ::setenv("AMENT_PREFIX_PATH", share_->prefix().c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
    EditConfig(share_->config(), "demo/demo_pose_estimate_config.yaml", estimator,
               [&](YAML::Node& e) {
                 e["debug_choice"]["folder_path"] = (share_->root() / "data/").string();
               });
  }

  std::shared_ptr<LogLineSink> log_;
  std::unique_ptr<ScratchPrefix> share_;
};

}  // namespace moorwick_test
