// A second ROS process for the loopback tests: publishes images or a latched
// sample, or just spins until a signal ends it.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "rclcpp/rclcpp.hpp"
#include "sensor_msgs/msg/image.hpp"
#include "std_msgs/msg/header.hpp"
#include "test_patterns.hpp"

using namespace std::chrono_literals;

namespace {

void say(const char* what) {
  std::printf("%s\n", what);
  std::fflush(stdout);
}

bool wait_until(const std::function<bool()>& cond, std::chrono::seconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (cond()) {
      return true;
    }
    if (!rclcpp::sleep_for(20ms)) {
      return false;
    }
  }
  return cond();
}

int image_pub(int frames) {
  auto node = rclcpp::Node::make_shared("image_pub", "/camera");
  auto rgb = node->create_publisher<sensor_msgs::msg::Image>("color/image_raw", 10);
  auto depth = node->create_publisher<sensor_msgs::msg::Image>("depth/image_raw", 10);
  if (!wait_until(
          [&] { return rgb->get_subscription_count() > 0 && depth->get_subscription_count() > 0; },
          60s)) {
    return 3;
  }
  say("matched");
  // Keep well under what a loaded loopback carries, so reliable delivery
  // does not depend on the machine's speed.
  rclcpp::WallRate rate(10.0);
  for (int f = 0; f < frames && rclcpp::ok(); ++f) {
    rgb->publish(ros2_runtime_test::make_rgb8(static_cast<uint32_t>(f)));
    depth->publish(ros2_runtime_test::make_16uc1(static_cast<uint32_t>(f)));
    rate.sleep();
  }
  say("published");
  // Stay until the reader has everything (it ends us with SIGINT).
  while (rclcpp::ok()) {
    rclcpp::sleep_for(100ms);
  }
  return 0;
}

int latched_pub() {
  auto node = rclcpp::Node::make_shared("latched_pub");
  auto pub = node->create_publisher<std_msgs::msg::Header>(
      "/latched", rclcpp::QoS(1).reliable().transient_local());
  for (int i = 1; i <= 3; ++i) {
    std_msgs::msg::Header h;
    h.frame_id = "sample_" + std::to_string(i);
    h.stamp.sec = i;
    pub->publish(h);
  }
  say("published");
  while (rclcpp::ok()) {
    rclcpp::sleep_for(100ms);
  }
  return 0;
}

int spin_forever() {
  auto node = rclcpp::Node::make_shared("spinner");
  auto sub = node->create_subscription<std_msgs::msg::Header>(
      "/nothing", 10, [](std_msgs::msg::Header::ConstSharedPtr) {});
  auto timer = node->create_wall_timer(50ms, [] {});
  rclcpp::executors::MultiThreadedExecutor exec(rclcpp::ExecutorOptions(), 3);
  exec.add_node(node);
  say("spinning");
  exec.spin();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: ros2_peer image_pub N|latched_pub|spin\n");
    return 2;
  }
  rclcpp::init(argc, argv);
  const std::string mode = argv[1];
  int rc = 2;
  if (mode == "image_pub" && argc > 2) {
    rc = image_pub(std::atoi(argv[2]));
  } else if (mode == "latched_pub") {
    rc = latched_pub();
  } else if (mode == "spin") {
    rc = spin_forever();
  }
  rclcpp::shutdown();
  return rc;
}
