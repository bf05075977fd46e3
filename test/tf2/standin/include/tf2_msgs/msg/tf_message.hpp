// Test-only stand-in with the ROS 2 field names, used while the generated
// message types are not in this tree.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>
#include "geometry_msgs/msg/transform_stamped.hpp"
namespace tf2_msgs::msg {
struct TFMessage {
  using SharedPtr = std::shared_ptr<TFMessage>;
  using ConstSharedPtr = std::shared_ptr<const TFMessage>;
  std::vector<geometry_msgs::msg::TransformStamped> transforms;
};
}  // namespace tf2_msgs::msg
