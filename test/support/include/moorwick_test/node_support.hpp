// For suites that build camera nodes in-process: the logger's lines for
// assertions (with a hook that acts on a line as it is logged), and edits of
// the configuration copied into a scratch prefix (process.hpp).
#pragma once

#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
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
#include "moorwick_test/process.hpp"
#include "rclcpp/rclcpp.hpp"

namespace moorwick_test {

class CaptureSink : public spdlog::sinks::base_sink<std::mutex> {
public:
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
    hooks_.clear();
  }
  // Lines containing `text`.
  std::size_t Count(const std::string& text) {
    const auto lines = Lines();
    return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const auto& l) {
      return l.find(text) != std::string::npos;
    }));
  }
  // Runs `action` on the logging thread when the `nth` line (from 1) containing
  // `text` is logged: a test's way into the middle of a frame.
  void OnLine(std::string text, int nth, std::function<void()> action) {
    std::lock_guard<std::mutex> lock(mutex_);
    hooks_.push_back({std::move(text), nth, std::move(action)});
  }

protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    lines_.emplace_back(msg.payload.data(), msg.payload.size());
    for (auto& hook : hooks_) {
      if (lines_.back().find(hook.text) != std::string::npos && --hook.nth == 0) {
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
  std::vector<std::string> lines_;
  std::vector<Hook> hooks_;
};

// Installs one capture sink on the logger (once per process) and returns it.
inline std::shared_ptr<CaptureSink> InstallCaptureSink() {
  static std::shared_ptr<CaptureSink> sink = [] {
    auto s = std::make_shared<CaptureSink>();
    auto& logger = moorwick::Logger::Instance();
    if (logger.logger_) {
      logger.logger_->sinks().push_back(s);
    }
    return s;
  }();
  return sink;
}

// Loads <config>/<from>, lets `edit` change it and writes it as <config>/<to>;
// returns the written path.
inline std::string EditConfig(const std::filesystem::path& config, const std::string& from,
                              const std::string& to, const std::function<void(YAML::Node&)>& edit) {
  YAML::Node root = YAML::LoadFile((config / from).string());
  edit(root);
  const std::string path = (config / to).string();
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
    ::setenv("AMENT_PREFIX_PATH", share_->prefix().c_str(), 1);
    EditConfig(share_->config(), "demo/demo_pose_estimate_config.yaml", estimator,
               [&](YAML::Node& e) {
                 e["debug_choice"]["folder_path"] = (share_->root() / "data/").string();
               });
  }

  std::shared_ptr<CaptureSink> log_;
  std::unique_ptr<ScratchPrefix> share_;
};

}  // namespace moorwick_test
