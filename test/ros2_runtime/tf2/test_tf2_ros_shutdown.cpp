// A lookup waiting on a transform that never comes ends when ROS shuts down, not an hour
// later (the test's CTest timeout would fail it first).
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "rclcpp/rclcpp.hpp"
#include "tf2_ros/buffer.h"

TEST(Tf2RosShutdown, WaitingLookupEndsAtShutdown) {
  rclcpp::init(0, nullptr);
  tf2_ros::Buffer buffer(std::make_shared<rclcpp::Clock>());
  buffer.setUsingDedicatedThread(true);
  auto waiting = std::async(std::launch::async, [&] {
    std::string error;
    const bool found = buffer.canTransform("map", "never", tf2::TimePointZero,
                                           tf2::durationFromSec(3600.0), &error);
    return std::make_pair(found, error);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  rclcpp::shutdown();
  const auto result = waiting.get();
  EXPECT_FALSE(result.first);
  EXPECT_NE(result.second.find("\"map\""), std::string::npos) << result.second;
}
