#include "tf2_ros/buffer.h"

#include <algorithm>
#include <chrono>

#include "moorwick_arm_trash_detect/logging/logger.hpp"
#include "rclcpp/utilities.hpp"

namespace tf2_ros {

namespace {
// How often a waiting lookup looks again without new data (new data wakes it at once).
constexpr tf2::Duration kPollPeriod = std::chrono::milliseconds(10);
}  // namespace

Buffer::Buffer(rclcpp::Clock::SharedPtr clock, tf2::Duration cache_time,
               rclcpp::Node::SharedPtr node)
    : tf2::BufferCore(cache_time), clock_(std::move(clock)), node_(std::move(node)) {
  if (!clock_) {
    clock_ = std::make_shared<rclcpp::Clock>();
  }
}

bool Buffer::checkAndErrorDedicatedThread(tf2::Duration timeout, std::string* errstr) const {
  if (timeout != tf2::Duration::zero() && !using_dedicated_thread_) {
    if (errstr) {
      *errstr = threading_error;
    }
    if (!reported_threading_error_.exchange(true)) {
      LOG_ERROR("{}", threading_error);
    }
    return false;
  }
  return true;
}

template <class Ready>
bool Buffer::waitUntil(const Ready& ready, tf2::Duration timeout, std::string* errstr) const {
  const rclcpp::Time start = clock_->now();
  std::string error;
  while (true) {
    if (ready(&error)) {
      return true;
    }
    if (!rclcpp::ok()) {
      break;
    }
    const tf2::Duration elapsed(clock_->now().nanoseconds() - start.nanoseconds());
    if (elapsed >= timeout) {
      break;
    }
    waitForNewData(std::min(kPollPeriod, timeout - elapsed));
  }
  if (errstr) {
    *errstr = error;
  }
  return false;
}

bool Buffer::canTransform(const std::string& target_frame, const std::string& source_frame,
                          const tf2::TimePoint& time, const tf2::Duration timeout,
                          std::string* errstr) const {
  if (!checkAndErrorDedicatedThread(timeout, errstr)) {
    return false;
  }
  return waitUntil(
      [&](std::string* err) {
        return tf2::BufferCore::canTransform(target_frame, source_frame, time, err);
      },
      timeout, errstr);
}

bool Buffer::canTransform(const std::string& target_frame, const tf2::TimePoint& target_time,
                          const std::string& source_frame, const tf2::TimePoint& source_time,
                          const std::string& fixed_frame, const tf2::Duration timeout,
                          std::string* errstr) const {
  if (!checkAndErrorDedicatedThread(timeout, errstr)) {
    return false;
  }
  return waitUntil(
      [&](std::string* err) {
        return tf2::BufferCore::canTransform(target_frame, target_time, source_frame, source_time,
                                             fixed_frame, err);
      },
      timeout, errstr);
}

geometry_msgs::msg::TransformStamped Buffer::lookupTransform(const std::string& target_frame,
                                                             const std::string& source_frame,
                                                             const tf2::TimePoint& time,
                                                             const tf2::Duration timeout) const {
  std::string error;  // the lookup below reports the failure
  canTransform(target_frame, source_frame, time, timeout, &error);
  return tf2::BufferCore::lookupTransform(target_frame, source_frame, time);
}

geometry_msgs::msg::TransformStamped Buffer::lookupTransform(const std::string& target_frame,
                                                             const tf2::TimePoint& target_time,
                                                             const std::string& source_frame,
                                                             const tf2::TimePoint& source_time,
                                                             const std::string& fixed_frame,
                                                             const tf2::Duration timeout) const {
  std::string error;
  canTransform(target_frame, target_time, source_frame, source_time, fixed_frame, timeout, &error);
  return tf2::BufferCore::lookupTransform(target_frame, target_time, source_frame, source_time,
                                          fixed_frame);
}

}  // namespace tf2_ros
