// Callback groups: a mutually exclusive group never runs two of its
// callbacks at once; a reentrant one may run them in parallel.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "rclcpp/detail/executable_entity.hpp"

namespace rclcpp {

enum class CallbackGroupType { MutuallyExclusive, Reentrant };

class CallbackGroup {
public:
  using SharedPtr = std::shared_ptr<CallbackGroup>;
  using WeakPtr = std::weak_ptr<CallbackGroup>;

  explicit CallbackGroup(CallbackGroupType group_type,
                         bool automatically_add_to_executor_with_node = true)
      : type_(group_type), auto_add_(automatically_add_to_executor_with_node) {}

  CallbackGroupType type() const { return type_; }
  bool automatically_add_to_executor_with_node() const { return auto_add_; }
  std::atomic_bool& get_associated_with_executor_atomic() { return associated_; }
  bool can_be_taken_from() const { return !busy_.load(); }

  // --- used by the executor -------------------------------------------------
  void add_entity(const std::shared_ptr<detail::ExecutableEntity>& e) {
    std::lock_guard<std::mutex> lock(mutex_);
    entities_.push_back(e);
  }
  // Live entities, dropping the ones their owners released.
  void collect(std::vector<std::shared_ptr<detail::ExecutableEntity>>& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = entities_.begin(); it != entities_.end();) {
      if (auto e = it->lock()) {
        out.push_back(std::move(e));
        ++it;
      } else {
        it = entities_.erase(it);
      }
    }
  }
  // Claims the group for one callback; always succeeds for reentrant groups.
  bool try_acquire() {
    if (type_ == CallbackGroupType::Reentrant) {
      return true;
    }
    bool expected = false;
    return busy_.compare_exchange_strong(expected, true);
  }
  void release() {
    if (type_ == CallbackGroupType::MutuallyExclusive) {
      busy_.store(false);
    }
  }
  const void* owner() const { return owner_.load(); }
  // Binds the group to one executor; false when another one holds it.
  bool claim(const void* executor) {
    const void* expected = nullptr;
    if (owner_.compare_exchange_strong(expected, executor) || expected == executor) {
      associated_.store(true);
      return true;
    }
    return false;
  }
  void unclaim(const void* executor) {
    const void* expected = executor;
    if (owner_.compare_exchange_strong(expected, nullptr)) {
      associated_.store(false);
    }
  }

private:
  CallbackGroupType type_;
  bool auto_add_;
  std::atomic_bool associated_{false};
  std::atomic<const void*> owner_{nullptr};
  std::atomic<bool> busy_{false};
  std::mutex mutex_;
  std::vector<std::weak_ptr<detail::ExecutableEntity>> entities_;
};

}  // namespace rclcpp
