// tf2's frame tree on an rclcpp clock, with lookups that wait for data to arrive.
// Waiting needs the data to come in on another thread (a TransformListener with its
// own spin thread); the caller's executor is never spun.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "geometry_msgs/msg/transform_stamped.hpp"
#include "rclcpp/clock.hpp"
#include "rclcpp/duration.hpp"
#include "rclcpp/node.hpp"
#include "rclcpp/time.hpp"
#include "tf2/buffer_core.h"
#include "tf2/exceptions.h"
#include "tf2/time.h"
#include "tf2_ros/buffer_interface.h"

namespace tf2_ros {

class Buffer : public tf2::BufferCore {
public:
  using SharedPtr = std::shared_ptr<Buffer>;
  using tf2::BufferCore::canTransform;

  explicit Buffer(rclcpp::Clock::SharedPtr clock,
                  tf2::Duration cache_time = tf2::Duration(tf2::BUFFER_CORE_DEFAULT_CACHE_TIME),
                  rclcpp::Node::SharedPtr node = rclcpp::Node::SharedPtr());

  // Waits up to `timeout` on the clock for the transform, then looks it up; a transform
  // still missing raises the lookup's own exception (LookupException,
  // ExtrapolationException, ...).
  geometry_msgs::msg::TransformStamped lookupTransform(
      const std::string& target_frame, const std::string& source_frame, const tf2::TimePoint& time,
      const tf2::Duration timeout = tf2::Duration::zero()) const;

  geometry_msgs::msg::TransformStamped lookupTransform(
      const std::string& target_frame, const std::string& source_frame, const rclcpp::Time& time,
      const rclcpp::Duration timeout = rclcpp::Duration::from_nanoseconds(0)) const {
    return lookupTransform(target_frame, source_frame, fromRclcpp(time), fromRclcpp(timeout));
  }

  geometry_msgs::msg::TransformStamped lookupTransform(const std::string& target_frame,
                                                       const tf2::TimePoint& target_time,
                                                       const std::string& source_frame,
                                                       const tf2::TimePoint& source_time,
                                                       const std::string& fixed_frame,
                                                       const tf2::Duration timeout) const;

  geometry_msgs::msg::TransformStamped lookupTransform(
      const std::string& target_frame, const rclcpp::Time& target_time,
      const std::string& source_frame, const rclcpp::Time& source_time,
      const std::string& fixed_frame,
      const rclcpp::Duration timeout = rclcpp::Duration::from_nanoseconds(0)) const {
    return lookupTransform(target_frame, fromRclcpp(target_time), source_frame,
                           fromRclcpp(source_time), fixed_frame, fromRclcpp(timeout));
  }

  // True as soon as the transform can be answered; false after `timeout` on the clock,
  // or at once when ROS shuts down.
  bool canTransform(const std::string& target_frame, const std::string& source_frame,
                    const tf2::TimePoint& target_time, const tf2::Duration timeout,
                    std::string* errstr = nullptr) const;

  bool canTransform(const std::string& target_frame, const std::string& source_frame,
                    const rclcpp::Time& time,
                    const rclcpp::Duration timeout = rclcpp::Duration::from_nanoseconds(0),
                    std::string* errstr = nullptr) const {
    return canTransform(target_frame, source_frame, fromRclcpp(time), fromRclcpp(timeout), errstr);
  }

  bool canTransform(const std::string& target_frame, const tf2::TimePoint& target_time,
                    const std::string& source_frame, const tf2::TimePoint& source_time,
                    const std::string& fixed_frame, const tf2::Duration timeout,
                    std::string* errstr = nullptr) const;

  void setUsingDedicatedThread(bool value) { using_dedicated_thread_ = value; }
  bool isUsingDedicatedThread() const { return using_dedicated_thread_; }

private:
  template <class Ready>
  bool waitUntil(const Ready& ready, tf2::Duration timeout, std::string* errstr) const;
  bool checkAndErrorDedicatedThread(tf2::Duration timeout, std::string* errstr) const;

  rclcpp::Clock::SharedPtr clock_;
  rclcpp::Node::SharedPtr node_;
  std::atomic<bool> using_dedicated_thread_{false};
  mutable std::atomic<bool> reported_threading_error_{false};
};

static const char threading_error[] =
    "Do not call canTransform or lookupTransform with a timeout unless you are using another "
    "thread for populating data. Without a dedicated thread it will always timeout.  If you "
    "have a separate thread servicing tf messages, call setUsingDedicatedThread(true) on your "
    "Buffer instance.";

}  // namespace tf2_ros
