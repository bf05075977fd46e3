// Deterministic image contents shared by the loopback peers and the tests, so
// the receiver can tell every byte arrived intact.
#pragma once

#include <cstdint>
#include <string>

#include "sensor_msgs/msg/image.hpp"

namespace ros2_runtime_test {

inline uint8_t rgb_value(uint32_t frame, uint32_t i) {
  return static_cast<uint8_t>((i * 31u + frame * 7u + (i >> 11)) & 0xffu);
}
inline uint16_t depth_value(uint32_t frame, uint32_t i) {
  return static_cast<uint16_t>((i * 13u + frame * 101u) % 65521u);
}

inline sensor_msgs::msg::Image make_rgb8(uint32_t frame, uint32_t width = 1280,
                                         uint32_t height = 720) {
  sensor_msgs::msg::Image m;
  m.header.frame_id = "camera_color_optical_frame";
  m.header.stamp.sec = static_cast<int32_t>(1000 + frame);
  m.header.stamp.nanosec = frame * 1000u;
  m.height = height;
  m.width = width;
  m.encoding = "rgb8";
  m.is_bigendian = 0;
  m.step = width * 3;
  m.data.resize(static_cast<size_t>(m.step) * height);
  for (uint32_t i = 0; i < m.data.size(); ++i) {
    m.data[i] = rgb_value(frame, i);
  }
  return m;
}

inline sensor_msgs::msg::Image make_16uc1(uint32_t frame, uint32_t width = 1280,
                                          uint32_t height = 720) {
  sensor_msgs::msg::Image m;
  m.header.frame_id = "camera_depth_optical_frame";
  m.header.stamp.sec = static_cast<int32_t>(1000 + frame);
  m.header.stamp.nanosec = frame * 1000u;
  m.height = height;
  m.width = width;
  m.encoding = "16UC1";
  m.is_bigendian = 0;
  m.step = width * 2;
  m.data.resize(static_cast<size_t>(m.step) * height);
  for (uint32_t i = 0; i < width * height; ++i) {
    const uint16_t v = depth_value(frame, i);
    m.data[2 * i] = static_cast<uint8_t>(v & 0xff);  // little-endian, is_bigendian = 0
    m.data[2 * i + 1] = static_cast<uint8_t>(v >> 8);
  }
  return m;
}

}  // namespace ros2_runtime_test
