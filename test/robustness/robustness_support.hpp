// Fault injection for the robustness suite: a relay that passes the simulated
// camera's frames on to the node, or breaks them on request, and readings of a
// process's memory and threads.
#pragma once

#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <string>

#include "rclcpp/rclcpp.hpp"
#include "sensor_msgs/msg/camera_info.hpp"
#include "sensor_msgs/msg/image.hpp"

namespace moorwick_robustness {

// What the relay does to each frame pair.
enum class FrameFault {
  kNone,            // pass through unchanged
  kStopped,         // the camera stops streaming: nothing is passed on
  kSmallerDepth,    // depth of half the colour image's width and height
  kMono8Depth,      // depth in an encoding the node does not read
  kTruncatedDepth,  // depth data shorter than step x height
  kZeroDepth,       // every depth sample is 0 (no return)
  kNanDepth,        // 32FC1 depth, every sample NaN
};

inline const char* FaultName(FrameFault f) {
  switch (f) {
    case FrameFault::kNone:
      return "None";
    case FrameFault::kStopped:
      return "Stopped";
    case FrameFault::kSmallerDepth:
      return "SmallerDepth";
    case FrameFault::kMono8Depth:
      return "Mono8Depth";
    case FrameFault::kTruncatedDepth:
      return "TruncatedDepth";
    case FrameFault::kZeroDepth:
      return "ZeroDepth";
    case FrameFault::kNanDepth:
      return "NanDepth";
  }
  return "?";
}

// Applies `fault` to a 16UC1 depth frame.
inline sensor_msgs::msg::Image BreakDepth(const sensor_msgs::msg::Image& in, FrameFault fault) {
  sensor_msgs::msg::Image out = in;
  switch (fault) {
    case FrameFault::kSmallerDepth: {
      out.width = in.width / 2;
      out.height = in.height / 2;
      out.step = out.width * 2;
      out.data.assign(static_cast<std::size_t>(out.step) * out.height, 0);
      for (std::uint32_t r = 0; r < out.height; ++r) {
        std::memcpy(&out.data[r * out.step], &in.data[r * in.step], out.step);
      }
      break;
    }
    case FrameFault::kMono8Depth:
      out.encoding = "mono8";
      out.step = in.width;
      out.data.assign(static_cast<std::size_t>(in.width) * in.height, 200);
      break;
    case FrameFault::kTruncatedDepth:
      out.data.resize(out.data.size() / 2);
      break;
    case FrameFault::kZeroDepth:
      std::fill(out.data.begin(), out.data.end(), 0);
      break;
    case FrameFault::kNanDepth: {
      out.encoding = "32FC1";
      out.step = in.width * 4;
      out.data.resize(static_cast<std::size_t>(out.step) * in.height);
      const float nan = std::numeric_limits<float>::quiet_NaN();
      for (std::size_t i = 0; i < out.data.size(); i += 4) {
        std::memcpy(&out.data[i], &nan, 4);
      }
      break;
    }
    case FrameFault::kNone:
    case FrameFault::kStopped:
      break;
  }
  return out;
}

// Topics the relay hears the simulated camera on (in) and passes on to (out).
struct RelayTopics {
  std::string rgb_in, depth_in, info_in;
  std::string rgb_out, depth_out, info_out;
};

// Subscribes to the simulated camera's colour, depth and camera_info and
// republishes them where the node listens, with the current frame fault applied.
class FrameRelay {
public:
  FrameRelay(const rclcpp::Node::SharedPtr& node, const RelayTopics& topics) {
    const auto qos = rclcpp::QoS(5).reliable().durability_volatile();
    rgb_pub_ = node->create_publisher<sensor_msgs::msg::Image>(topics.rgb_out, qos);
    depth_pub_ = node->create_publisher<sensor_msgs::msg::Image>(topics.depth_out, qos);
    info_pub_ = node->create_publisher<sensor_msgs::msg::CameraInfo>(topics.info_out, qos);
    info_sub_ = node->create_subscription<sensor_msgs::msg::CameraInfo>(
        topics.info_in, qos,
        [this](sensor_msgs::msg::CameraInfo::ConstSharedPtr msg) { info_pub_->publish(*msg); });
    rgb_sub_ = node->create_subscription<sensor_msgs::msg::Image>(
        topics.rgb_in, qos, [this](sensor_msgs::msg::Image::ConstSharedPtr msg) {
          if (fault_.load() == FrameFault::kStopped)
            return;
          rgb_pub_->publish(*msg);
        });
    depth_sub_ = node->create_subscription<sensor_msgs::msg::Image>(
        topics.depth_in, qos, [this](sensor_msgs::msg::Image::ConstSharedPtr msg) {
          const FrameFault fault = fault_.load();
          if (fault == FrameFault::kStopped)
            return;
          if (fault == FrameFault::kNone)
            depth_pub_->publish(*msg);
          else
            depth_pub_->publish(BreakDepth(*msg, fault));
          ++relayed_;
        });
  }

  void Set(FrameFault fault) {
    fault_ = fault;
    relayed_ = 0;
  }
  // Depth frames passed on since the last Set().
  int relayed() const { return relayed_.load(); }

private:
  std::atomic<FrameFault> fault_{FrameFault::kNone};
  std::atomic<int> relayed_{0};
  rclcpp::Publisher<sensor_msgs::msg::Image>::SharedPtr rgb_pub_, depth_pub_;
  rclcpp::Subscription<sensor_msgs::msg::Image>::SharedPtr rgb_sub_, depth_sub_;
  rclcpp::Publisher<sensor_msgs::msg::CameraInfo>::SharedPtr info_pub_;
  rclcpp::Subscription<sensor_msgs::msg::CameraInfo>::SharedPtr info_sub_;
};

// A field of /proc/<pid>/status ("VmRSS", "Threads"), as its first number; -1 if absent.
inline long ProcStatus(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0)
      return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
  }
  return -1;
}

}  // namespace moorwick_robustness
