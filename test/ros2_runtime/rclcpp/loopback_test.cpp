// Two or more processes on the loopback Cyclone configuration.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "moorwick_test/process.hpp"
#include "rclcpp/rclcpp.hpp"
#include "sensor_msgs/msg/image.hpp"
#include "std_msgs/msg/header.hpp"
#include "test_patterns.hpp"

using namespace std::chrono_literals;
using ChildProcess = moorwick_test::Process;

namespace {

const std::string kPeer = ROS2_PEER_PATH;

class LoopbackTest : public ::testing::Test {
protected:
  void SetUp() override { rclcpp::init(0, nullptr); }
  void TearDown() override { rclcpp::shutdown(); }
};

// Spins `node` on a thread of its own until the test ends.
class Spinner {
public:
  explicit Spinner(rclcpp::Node::SharedPtr node) {
    exec_.add_node(node);
    thread_ = std::thread([this] { exec_.spin(); });
  }
  ~Spinner() {
    exec_.cancel();
    thread_.join();
  }

private:
  rclcpp::executors::MultiThreadedExecutor exec_{rclcpp::ExecutorOptions(), 2};
  std::thread thread_;
};

bool wait_for(const std::function<bool()>& cond, std::chrono::seconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (cond()) {
      return true;
    }
    std::this_thread::sleep_for(20ms);
  }
  return cond();
}

TEST_F(LoopbackTest, FullSizeColourAndDepthImagesArriveIntact) {
  constexpr int kFrames = 6;
  auto node = rclcpp::Node::make_shared("image_sink");
  std::mutex m;
  std::vector<sensor_msgs::msg::Image::ConstSharedPtr> rgb;
  std::vector<sensor_msgs::msg::Image::ConstSharedPtr> depth;
  auto rgb_sub = node->create_subscription<sensor_msgs::msg::Image>(
      "/camera/color/image_raw", rclcpp::QoS(10), [&](sensor_msgs::msg::Image::ConstSharedPtr msg) {
        std::lock_guard<std::mutex> lock(m);
        rgb.push_back(msg);
      });
  auto depth_sub = node->create_subscription<sensor_msgs::msg::Image>(
      "/camera/depth/image_raw", rclcpp::QoS(10), [&](sensor_msgs::msg::Image::ConstSharedPtr msg) {
        std::lock_guard<std::mutex> lock(m);
        depth.push_back(msg);
      });
  Spinner spinner(node);

  ChildProcess pub({kPeer, "image_pub", std::to_string(kFrames)});
  ASSERT_TRUE(pub.started());
  ASSERT_TRUE(pub.wait_for_line("published", 120s));
  ASSERT_TRUE(wait_for(
      [&] {
        std::lock_guard<std::mutex> lock(m);
        return rgb.size() >= kFrames && depth.size() >= kFrames;
      },
      60s));
  pub.signal(SIGINT);
  EXPECT_EQ(pub.wait_exit(30s), 0);

  std::lock_guard<std::mutex> lock(m);
  ASSERT_EQ(rgb.size(), static_cast<size_t>(kFrames));
  ASSERT_EQ(depth.size(), static_cast<size_t>(kFrames));
  for (int f = 0; f < kFrames; ++f) {
    // Reliable, keep-last 10 at 10 frames/s: every frame, in order.
    const auto expected_rgb = ros2_runtime_test::make_rgb8(static_cast<uint32_t>(f));
    const auto expected_depth = ros2_runtime_test::make_16uc1(static_cast<uint32_t>(f));
    EXPECT_EQ(rgb[f]->header, expected_rgb.header) << "frame " << f;
    EXPECT_EQ(rgb[f]->width, 1280u);
    EXPECT_EQ(rgb[f]->height, 720u);
    EXPECT_EQ(rgb[f]->encoding, "rgb8");
    EXPECT_EQ(rgb[f]->step, 3840u);
    EXPECT_TRUE(rgb[f]->data == expected_rgb.data) << "rgb8 pixels differ in frame " << f;
    EXPECT_EQ(depth[f]->encoding, "16UC1");
    EXPECT_EQ(depth[f]->step, 2560u);
    EXPECT_EQ(depth[f]->data.size(), 1280u * 720u * 2u);
    EXPECT_TRUE(*depth[f] == expected_depth) << "depth image differs in frame " << f;
  }
}

TEST_F(LoopbackTest, TransientLocalLateJoinerGetsTheLastSample) {
  ChildProcess pub({kPeer, "latched_pub"});
  ASSERT_TRUE(pub.started());
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
  Spinner spinner(node);
  ASSERT_TRUE(wait_for(
      [&] {
        std::lock_guard<std::mutex> lock(m);
        return !got.empty();
      },
      60s));
  // Give a wrongly kept older sample time to show up too.
  std::this_thread::sleep_for(500ms);
  {
    std::lock_guard<std::mutex> lock(m);
    EXPECT_EQ(got, std::vector<std::string>{"sample_3"});
  }

  // A volatile reader matches the same writer but gets no history. Waited on
  // from a node no executor spins, so only the wait takes its samples.
  auto waiter = rclcpp::Node::make_shared("late_waiter");
  auto ignore = [](const std_msgs::msg::Header&) {};
  auto volatile_sub = waiter->create_subscription<std_msgs::msg::Header>(
      "/latched", rclcpp::QoS(1).durability_volatile(), ignore);
  auto latched_sub = waiter->create_subscription<std_msgs::msg::Header>(
      "/latched", rclcpp::QoS(1).transient_local(), ignore);
  std_msgs::msg::Header h;
  EXPECT_FALSE(rclcpp::wait_for_message(h, volatile_sub, waiter->get_context(), 1500ms));
  EXPECT_TRUE(rclcpp::wait_for_message(h, latched_sub, waiter->get_context(), 30s));
  EXPECT_EQ(h.frame_id, "sample_3");

  pub.signal(SIGINT);
  EXPECT_EQ(pub.wait_exit(30s), 0);
}

struct SignalCase {
  int sig;
  const char* name;
};

class SignalTest : public ::testing::TestWithParam<SignalCase> {};

TEST_P(SignalTest, SpinningProcessEndsCleanly) {
  ChildProcess spinner({kPeer, "spin"});
  ASSERT_TRUE(spinner.started());
  ASSERT_TRUE(spinner.wait_for_line("spinning", 60s));
  // Still spinning after a while: it only ends because of the signal.
  EXPECT_EQ(spinner.wait_exit(300ms), -1);
  spinner.signal(GetParam().sig);
  EXPECT_EQ(spinner.wait_exit(30s), 0);
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalTest,
                         ::testing::Values(SignalCase{SIGINT, "SIGINT"},
                                           SignalCase{SIGTERM, "SIGTERM"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
