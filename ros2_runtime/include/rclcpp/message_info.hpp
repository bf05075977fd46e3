// What rclcpp hands out beside a taken message. The runtime keeps no sample
// metadata, so there is nothing in it yet.
#pragma once

namespace rclcpp {

class MessageInfo {
public:
  MessageInfo() = default;
};

}  // namespace rclcpp
