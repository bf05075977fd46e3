// Test-only stand-in with the ROS 2 field names, used while the generated
// message types are not in this tree.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace geometry_msgs::msg {
struct Point {
  using SharedPtr = std::shared_ptr<Point>;
  using ConstSharedPtr = std::shared_ptr<const Point>;
  double x = 0, y = 0, z = 0;
};
}  // namespace geometry_msgs::msg
