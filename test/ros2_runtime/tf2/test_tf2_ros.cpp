// tf2_ros over the runtime: lookups that wait, give up, or may not wait. The
// wait ending at shutdown is in ros2_runtime_unit_test; a listener fed by
// another process is the end-to-end suite's.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <thread>

#include "rclcpp/rclcpp.hpp"
#include "tf2/exceptions.h"
#include "tf2_ros/buffer.h"
#include "tf2_ros/static_transform_broadcaster.h"
#include "tf2_ros/transform_broadcaster.h"
#include "tf2_ros/transform_listener.h"

namespace {

using namespace std::chrono_literals;

geometry_msgs::msg::TransformStamped Link(const std::string& parent, const std::string& child,
                                          std::int32_t sec, double x, double y, double z) {
  return {{{sec, 0}, parent}, child, {{x, y, z}, {0, 0, 0, 1}}};
}

class Tf2RosTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() { rclcpp::init(0, nullptr); }
  static void TearDownTestSuite() { rclcpp::shutdown(); }
};

TEST_F(Tf2RosTest, LookupWaitsForATransformThatArrivesDuringTheWait) {
  auto clock = std::make_shared<rclcpp::Clock>();
  tf2_ros::Buffer buffer(clock, tf2::durationFromSec(10.0));
  buffer.setUsingDedicatedThread(true);
  ASSERT_TRUE(buffer.setTransform(Link("map", "base", 1, 0, 0, 0), "test"));
  // At 2 s the buffer can only extrapolate; the 3 s sample comes 200 ms into the wait.
  ASSERT_FALSE(buffer.canTransform("map", "base", tf2::timeFromSec(2.0)));
  std::thread feeder([&] {
    std::this_thread::sleep_for(200ms);
    buffer.setTransform(Link("map", "base", 3, 4, 0, 0), "test");
  });
  const auto t =
      buffer.lookupTransform("map", "base", tf2::timeFromSec(2.0), tf2::durationFromSec(10.0));
  feeder.join();
  EXPECT_NEAR(t.transform.translation.x, 2.0, 1e-9);  // halfway between 0 and 4
  EXPECT_EQ(t.header.stamp.sec, 2);

  // The same through the rclcpp overloads, for a frame that appears later.
  std::thread late([&] {
    std::this_thread::sleep_for(200ms);
    buffer.setTransform(Link("base", "camera", 0, 0, 0, 1), "test", true);
  });
  EXPECT_TRUE(buffer.canTransform("map", "camera", rclcpp::Time(0, 0, RCL_ROS_TIME),
                                  rclcpp::Duration::from_seconds(10.0)));
  late.join();
}

TEST_F(Tf2RosTest, LookupGivesUpAfterTheTimeout) {
  tf2_ros::Buffer buffer(std::make_shared<rclcpp::Clock>());
  buffer.setUsingDedicatedThread(true);
  ASSERT_TRUE(buffer.setTransform(Link("map", "base", 1, 0, 0, 0), "test"));
  std::string error;
  EXPECT_FALSE(
      buffer.canTransform("map", "nowhere", tf2::TimePointZero, tf2::durationFromSec(0.3), &error));
  EXPECT_NE(error.find("\"nowhere\""), std::string::npos) << error;
  // After the wait the lookup's own exception says what is missing.
  EXPECT_THROW(
      buffer.lookupTransform("map", "nowhere", tf2::TimePointZero, tf2::durationFromSec(0.3)),
      tf2::LookupException);
  EXPECT_THROW(buffer.lookupTransform("map", "base", rclcpp::Time(5, 0, RCL_ROS_TIME),
                                      rclcpp::Duration::from_seconds(0.3)),
               tf2::ExtrapolationException);
}

}  // namespace
