// Test-only stand-in with the ROS 2 field names, used while the generated
// message types are not in this tree.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>
#include "geometry_msgs/msg/point.hpp"
#include "geometry_msgs/msg/quaternion.hpp"
namespace geometry_msgs::msg {
struct Pose {
  using SharedPtr = std::shared_ptr<Pose>;
  using ConstSharedPtr = std::shared_ptr<const Pose>;
  Point position;
  Quaternion orientation;
};
}  // namespace geometry_msgs::msg
