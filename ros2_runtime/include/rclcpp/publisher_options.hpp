#pragma once

#include <memory>

#include "rclcpp/callback_group.hpp"

namespace rclcpp {

template <class Allocator = std::allocator<void>>
struct PublisherOptionsWithAllocator {
  rclcpp::CallbackGroup::SharedPtr callback_group;
  bool use_default_callbacks{true};
};
using PublisherOptions = PublisherOptionsWithAllocator<std::allocator<void>>;

template <class Allocator = std::allocator<void>>
struct SubscriptionOptionsWithAllocator {
  rclcpp::CallbackGroup::SharedPtr callback_group;
  bool ignore_local_publications{false};
  bool use_default_callbacks{true};
};
using SubscriptionOptions = SubscriptionOptionsWithAllocator<std::allocator<void>>;

}  // namespace rclcpp
