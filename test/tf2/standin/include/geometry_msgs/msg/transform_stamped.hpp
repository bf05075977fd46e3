// Test-only stand-in with the ROS 2 field names, used while the generated
// message types are not in this tree.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>
#include "geometry_msgs/msg/transform.hpp"
#include "std_msgs/msg/header.hpp"
namespace geometry_msgs::msg {
struct TransformStamped {
  using SharedPtr = std::shared_ptr<TransformStamped>;
  using ConstSharedPtr = std::shared_ptr<const TransformStamped>;
  std_msgs::msg::Header header;
  std::string child_frame_id;
  Transform transform;
};
}  // namespace geometry_msgs::msg
