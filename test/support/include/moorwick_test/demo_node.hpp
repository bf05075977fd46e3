// The node as a user runs it, for the process-level suites: its own process in
// a scratch prefix with the demo configuration, sim_camera processes as the
// drivers, and a probe node in the test that calls the detect service.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "moorwick_protocol/srv/arm_trash_pose.hpp"
#include "moorwick_sim/scene_file.hpp"
#include "moorwick_test/process.hpp"
#include "rclcpp/rclcpp.hpp"

namespace moorwick_test {

using ArmTrashPose = moorwick_protocol::srv::ArmTrashPose;
constexpr int kNone = 102200000;
constexpr int kNoTarget = 102200010;
inline const std::string kDetectService = "/moorwick_arm_trash_detect/arm_trash_pose";

// `kDomainBase` keeps each suite, and each concurrent run of it, in a ROS
// domain of its own (base + pid % 20).
template <int kDomainBase>
class DemoNodeTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    // NOLINTBEGIN(concurrency-mt-unsafe): before rclcpp::init, no DDS thread yet
    setenv("ROS_DOMAIN_ID", std::to_string(kDomainBase + ::getpid() % 20).c_str(), 1);
    setenv("CYCLONEDDS_URI", "file://" MOORWICK_SOURCE_DIR "/config/cyclonedds_loopback.xml", 1);
    // NOLINTEND(concurrency-mt-unsafe)
    rclcpp::init(0, nullptr);
  }
  static void TearDownTestSuite() { rclcpp::shutdown(); }

  void SetUp() override {
    prefix_ = std::make_unique<ScratchPrefix>(
        ::testing::UnitTest::GetInstance()->current_test_info()->name(),
        MOORWICK_SOURCE_DIR "/config");
    prefix_->UseDemo();
    config_ = prefix_->config();
    main_ = ReadFile(config_ / "trash_pose_detect_config.yaml");
    scene_ = moorwick_sim::LoadSceneFile((config_ / "scene.yaml").string());
    node_ = std::make_shared<rclcpp::Node>("process_test_probe");
    client_ = node_->create_client<ArmTrashPose>(kDetectService);
    executor_ = std::make_shared<rclcpp::executors::SingleThreadedExecutor>();
    executor_->add_node(node_);
    // spin_once in a loop: a cancel() that comes before spin() starts would be lost.
    spinner_ = std::thread([this] {
      while (!stopping_) {
        executor_->spin_once(std::chrono::milliseconds(50));
      }
    });
  }

  void TearDown() override {
    node_proc_.reset();
    sims_.clear();
    stopping_ = true;
    spinner_.join();
    prefix_->keep = HasFailure();
    prefix_.reset();
  }

  // Starts sim_camera on `scene_file` with two noise draws.
  Process& StartSim(const fs::path& scene_file, std::vector<std::string> options = {}) {
    std::vector<std::string> args{SIM_CAMERA_EXE, scene_file.string(), "--variants", "2"};
    args.insert(args.end(), options.begin(), options.end());
    sims_.push_back(std::make_unique<Process>(
        args, prefix_->root() / ("sim" + std::to_string(sims_.size()) + ".log")));
    return *sims_.back();
  }

  // Writes the edited main file and starts the node.
  void StartNode() {
    WriteFile(config_ / "trash_pose_detect_config.yaml", main_);
    node_proc_ = std::make_unique<Process>(
        std::vector<std::string>{NODE_EXE}, prefix_->root() / "node.log",
        std::vector<std::string>{prefix_->ament_env(), "SPDLOG_LEVEL=info", "SPDLOG_STDOUT=true",
                                 "SPDLOG_SYSTEMD=false"});
  }

  static std::shared_ptr<ArmTrashPose::Request> Request(const Eigen::Vector3d& aim) {
    auto request = std::make_shared<ArmTrashPose::Request>();
    request->cmd = 1;
    request->aim_trash_info.map_pose.position = {aim.x(), aim.y(), aim.z()};
    return request;
  }

  // One detect call; nullopt when no answer came.
  std::optional<ArmTrashPose::Response> Call(const Eigen::Vector3d& aim) {
    if (!client_->wait_for_service(std::chrono::seconds(90))) {
      return std::nullopt;
    }
    auto future = client_->async_send_request(Request(aim));
    if (future.future.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
      return std::nullopt;
    }
    return *future.future.get();
  }

  Eigen::Vector3d MapOf(int piece) const {
    return scene_.map_from_arm_base * moorwick_sim::ComputePieceTruth(scene_.scene, piece).center;
  }
  static Eigen::Vector3d Position(const geometry_msgs::msg::Pose& p) {
    return {p.position.x, p.position.y, p.position.z};
  }

  std::string NodeLog() const { return node_proc_ ? node_proc_->log() : std::string(); }
  std::string NodeLogSince(std::size_t offset) const {
    return node_proc_ ? node_proc_->log_since(offset) : std::string();
  }
  // Waits until the node's log after byte `mark` holds `text`.
  ::testing::AssertionResult LoggedSince(std::size_t mark, const std::string& text) const {
    if (node_proc_ && node_proc_->wait_for_text(text, std::chrono::seconds(10), mark)) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "not logged: " << text << "\n" << NodeLogSince(mark);
  }

  std::unique_ptr<ScratchPrefix> prefix_;
  fs::path config_;
  std::string main_;
  moorwick_sim::SceneFile scene_;
  rclcpp::Node::SharedPtr node_;
  rclcpp::Client<ArmTrashPose>::SharedPtr client_;
  std::shared_ptr<rclcpp::executors::SingleThreadedExecutor> executor_;
  std::atomic<bool> stopping_{false};
  std::thread spinner_;
  std::vector<std::unique_ptr<Process>> sims_;
  std::unique_ptr<Process> node_proc_;
};

}  // namespace moorwick_test
