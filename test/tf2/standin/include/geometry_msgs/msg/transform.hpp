// Test-only stand-in with the ROS 2 field names, used while the generated
// message types are not in this tree.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>
#include "geometry_msgs/msg/quaternion.hpp"
#include "geometry_msgs/msg/vector3.hpp"
namespace geometry_msgs::msg {
struct Transform {
  using SharedPtr = std::shared_ptr<Transform>;
  using ConstSharedPtr = std::shared_ptr<const Transform>;
  Vector3 translation;
  Quaternion rotation;
};
}  // namespace geometry_msgs::msg
