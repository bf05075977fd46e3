// Test-only stand-in with the ROS 2 field names, used while the generated
// message types are not in this tree.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace geometry_msgs::msg {
struct Vector3 {
  using SharedPtr = std::shared_ptr<Vector3>;
  using ConstSharedPtr = std::shared_ptr<const Vector3>;
  double x = 0, y = 0, z = 0;
};
}  // namespace geometry_msgs::msg
