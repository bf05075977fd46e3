// Test-only stand-in with the ROS 2 field names, used while the generated
// message types are not in this tree.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace builtin_interfaces::msg {
struct Time {
  using SharedPtr = std::shared_ptr<Time>;
  using ConstSharedPtr = std::shared_ptr<const Time>;
  std::int32_t sec = 0;
  std::uint32_t nanosec = 0;
};
}  // namespace builtin_interfaces::msg
