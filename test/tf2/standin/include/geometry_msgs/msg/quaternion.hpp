// Test-only stand-in with the ROS 2 field names, used while the generated
// message types are not in this tree.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace geometry_msgs::msg {
struct Quaternion {
  using SharedPtr = std::shared_ptr<Quaternion>;
  using ConstSharedPtr = std::shared_ptr<const Quaternion>;
  double x = 0, y = 0, z = 0, w = 1;
};
}  // namespace geometry_msgs::msg
