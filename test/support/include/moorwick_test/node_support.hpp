// For suites that build camera nodes in-process: the logger's lines for
// assertions (with a hook that acts on a line as it is logged), and a scratch
// ROS prefix holding a copy of the package's configuration.
#pragma once

#include <spdlog/sinks/base_sink.h>
#include <unistd.h>
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

// A ROS prefix with a copy of `source_config_dir`, made the package's share
// directory for this process (AMENT_PREFIX_PATH) while it lives.
class ScratchShare {
public:
  ScratchShare(const std::string& tag, const std::string& source_config_dir) {
    root_ = std::filesystem::temp_directory_path() /
            ("moorwick_" + tag + "_" + std::to_string(::getpid()));
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_ / "share/ament_index/resource_index/packages");
    std::ofstream(root_ / "share/ament_index/resource_index/packages/moorwick_arm_trash_detect");
    std::filesystem::create_directories(config_dir());
    std::filesystem::copy(source_config_dir, config_dir(),
                          std::filesystem::copy_options::recursive |
                              std::filesystem::copy_options::overwrite_existing);
    ::setenv("AMENT_PREFIX_PATH", root_.c_str(), 1);
  }
  ~ScratchShare() { std::filesystem::remove_all(root_); }
  ScratchShare(const ScratchShare&) = delete;
  ScratchShare& operator=(const ScratchShare&) = delete;

  std::filesystem::path root() const { return root_; }
  std::filesystem::path config_dir() const {
    return root_ / "share/moorwick_arm_trash_detect/config";
  }
  // Loads config/<from>, lets `edit` change it and writes it as config/<to>;
  // returns the written path.
  std::string EditConfig(const std::string& from, const std::string& to,
                         const std::function<void(YAML::Node&)>& edit) const {
    YAML::Node root = YAML::LoadFile((config_dir() / from).string());
    edit(root);
    const std::string path = (config_dir() / to).string();
    std::ofstream(path) << root;
    return path;
  }

private:
  std::filesystem::path root_;
};

}  // namespace moorwick_test
