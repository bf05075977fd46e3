// Two processes on the loopback Cyclone configuration. Full-size images from
// another process are the end-to-end suite's (sim_camera to the node).
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "moorwick_test/process.hpp"
#include "rclcpp/rclcpp.hpp"
#include "std_msgs/msg/header.hpp"

using namespace std::chrono_literals;
using moorwick_test::Process;
using moorwick_test::WaitFor;

namespace {

const std::string kPeer = ROS2_PEER_PATH;

TEST(LoopbackTest, TransientLocalLateJoinerGetsTheLastSample) {
  rclcpp::init(0, nullptr);
  Process pub({kPeer, "latched_pub"});
  ASSERT_TRUE(pub.wait_for_line("published", 60s));

  // Joins after all three samples were written; depth 1 keeps only the last.
  auto node = rclcpp::Node::make_shared("late_joiner");
  std::mutex m;
  std::vector<std::string> got;
  auto sub = node->create_subscription<std_msgs::msg::Header>(
      "/latched", rclcpp::QoS(5).transient_local(), [&](const std_msgs::msg::Header& h) {
        std::lock_guard<std::mutex> lock(m);
        got.push_back(h.frame_id);
      });
  rclcpp::executors::MultiThreadedExecutor exec(rclcpp::ExecutorOptions(), 2);
  exec.add_node(node);
  std::thread spin([&] { exec.spin(); });
  const auto received = [&] {
    std::lock_guard<std::mutex> lock(m);
    return got;
  };
  EXPECT_TRUE(WaitFor([&] { return !received().empty(); }, 60s));
  // Give a wrongly kept older sample time to show up too.
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(received(), std::vector<std::string>{"sample_3"});
  exec.cancel();
  spin.join();

  // A volatile reader matches the same writer but gets no history. Waited on
  // from a node no executor spins, so only the wait takes its samples.
  auto waiter = rclcpp::Node::make_shared("late_waiter");
  auto ignore = [](const std_msgs::msg::Header&) {};
  auto volatile_sub = waiter->create_subscription<std_msgs::msg::Header>(
      "/latched", rclcpp::QoS(1).durability_volatile(), ignore);
  auto latched_sub = waiter->create_subscription<std_msgs::msg::Header>(
      "/latched", rclcpp::QoS(1).transient_local(), ignore);
  std_msgs::msg::Header h;
  EXPECT_FALSE(rclcpp::wait_for_message(h, volatile_sub,
                                        waiter->get_node_base_interface()->get_context(), 1500ms));
  EXPECT_TRUE(rclcpp::wait_for_message(h, latched_sub,
                                       waiter->get_node_base_interface()->get_context(), 30s));
  EXPECT_EQ(h.frame_id, "sample_3");
  EXPECT_EQ(pub.stop(std::chrono::milliseconds(30000)), 0);
  rclcpp::shutdown();
}

// SIGINT is the node's own robustness suite's; SIGTERM is what service
// managers send.
TEST(SignalTest, SigtermEndsASpinningProcessCleanly) {
  Process spinner({kPeer, "spin"});
  ASSERT_TRUE(spinner.wait_for_line("spinning", 60s));
  // Still spinning after a while: it only ends because of the signal.
  EXPECT_EQ(spinner.wait_exit(300ms), -1);
  spinner.signal(SIGTERM);
  EXPECT_EQ(spinner.wait_exit(30s), 0);
}

}  // namespace
