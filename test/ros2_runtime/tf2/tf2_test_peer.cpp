// The other process of the two-process tf test: publishes a static link
// arm_base_link -> camera_link and a moving link map -> arm_base_link (stamped now,
// 20 Hz) until it is terminated or 60 s have passed.
#include <chrono>
#include <cmath>
#include <memory>
#include <thread>

#include "rclcpp/rclcpp.hpp"
#include "tf2_ros/static_transform_broadcaster.h"
#include "tf2_ros/transform_broadcaster.h"

int main(int argc, char** argv) {
  rclcpp::init(argc, argv);
  auto node = std::make_shared<rclcpp::Node>("tf2_test_peer");
  tf2_ros::StaticTransformBroadcaster static_broadcaster(node);
  tf2_ros::TransformBroadcaster broadcaster(node);

  geometry_msgs::msg::TransformStamped fixed;
  fixed.header.stamp = node->now();
  fixed.header.frame_id = "arm_base_link";
  fixed.child_frame_id = "camera_link";
  fixed.transform.translation.x = 0.1;
  fixed.transform.translation.z = 0.5;
  static_broadcaster.sendTransform(fixed);

  geometry_msgs::msg::TransformStamped moving;
  moving.header.frame_id = "map";
  moving.child_frame_id = "arm_base_link";
  moving.transform.translation.x = 1.0;
  moving.transform.translation.y = 2.0;
  moving.transform.rotation.z = std::sin(M_PI / 4);
  moving.transform.rotation.w = std::cos(M_PI / 4);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (rclcpp::ok() && std::chrono::steady_clock::now() < end) {
    moving.header.stamp = node->now();
    broadcaster.sendTransform(moving);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  rclcpp::shutdown();
  return 0;
}
