// Test-only stand-in with the ROS 2 field names, used while the generated
// message types are not in this tree.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sensor_msgs::msg {
struct PointField {
  using SharedPtr = std::shared_ptr<PointField>;
  using ConstSharedPtr = std::shared_ptr<const PointField>;
  static constexpr std::uint8_t INT8 = 1;
  static constexpr std::uint8_t UINT8 = 2;
  static constexpr std::uint8_t INT16 = 3;
  static constexpr std::uint8_t UINT16 = 4;
  static constexpr std::uint8_t INT32 = 5;
  static constexpr std::uint8_t UINT32 = 6;
  static constexpr std::uint8_t FLOAT32 = 7;
  static constexpr std::uint8_t FLOAT64 = 8;
  std::string name;
  std::uint32_t offset = 0;
  std::uint8_t datatype = 0;
  std::uint32_t count = 0;
};
}  // namespace sensor_msgs::msg
