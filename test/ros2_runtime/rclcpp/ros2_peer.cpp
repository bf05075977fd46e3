// A second ROS process for the loopback tests: publishes latched samples, or
// just spins until a signal ends it.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "rclcpp/rclcpp.hpp"
#include "std_msgs/msg/header.hpp"

using namespace std::chrono_literals;

namespace {

void say(const char* what) {
  std::printf("%s\n", what);
  std::fflush(stdout);
}

int latched_pub() {
  auto node = rclcpp::Node::make_shared("latched_pub");
  auto pub = node->create_publisher<std_msgs::msg::Header>(
      "/latched", rclcpp::QoS(1).reliable().transient_local());
  for (int i = 1; i <= 3; ++i) {
    pub->publish(std_msgs::msg::Header{{}, "sample_" + std::to_string(i)});
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
      "/nothing", 10, [](const std_msgs::msg::Header::ConstSharedPtr&) {});
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
    std::fprintf(stderr, "usage: ros2_peer latched_pub|spin\n");
    return 2;
  }
  rclcpp::init(argc, argv);
  const std::string mode = argv[1];
  int rc = 2;
  if (mode == "latched_pub") {
    rc = latched_pub();
  } else if (mode == "spin") {
    rc = spin_forever();
  }
  rclcpp::shutdown();
  return rc;
}
