// Test-only stand-in with the ROS 2 field names, used while the generated
// message types are not in this tree.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>
#include "std_msgs/msg/header.hpp"
namespace sensor_msgs::msg {
struct Image {
  using SharedPtr = std::shared_ptr<Image>;
  using ConstSharedPtr = std::shared_ptr<const Image>;
  std_msgs::msg::Header header;
  std::uint32_t height = 0;
  std::uint32_t width = 0;
  std::string encoding;
  std::uint8_t is_bigendian = 0;
  std::uint32_t step = 0;
  std::vector<std::uint8_t> data;
};
}  // namespace sensor_msgs::msg
