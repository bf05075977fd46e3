#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <type_traits>

#include "rclcpp/detail/executable_entity.hpp"

namespace rclcpp {

class TimerBase : public detail::ExecutableEntity {
public:
  using SharedPtr = std::shared_ptr<TimerBase>;

  explicit TimerBase(std::chrono::nanoseconds period)
      : period_(period), next_(std::chrono::steady_clock::now() + period) {
    pending_.store(false);
  }

  void cancel() { canceled_.store(true); }
  bool is_canceled() const { return canceled_.load(); }
  void reset() {
    next_.store(std::chrono::steady_clock::now() + period_);
    canceled_.store(false);
  }
  std::chrono::nanoseconds time_until_trigger() const {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(next_.load() -
                                                                std::chrono::steady_clock::now());
  }
  bool is_ready() const {
    return !canceled_.load() && std::chrono::steady_clock::now() >= next_.load();
  }

  bool take(detail::Work&) override {
    const auto now = std::chrono::steady_clock::now();
    auto next = next_.load();
    for (;;) {
      if (canceled_.load() || now < next) {
        return false;
      }
      auto after = next + period_;
      if (after <= now) {
        after = now + period_;  // far behind: do not fire a burst
      }
      // Two executor threads may race for the same expiry; one wins.
      if (next_.compare_exchange_weak(next, after)) {
        return true;
      }
    }
  }
  bool maybe_ready(std::chrono::steady_clock::time_point now) const override {
    return !canceled_.load() && now >= next_.load();
  }
  bool take_next(detail::Work& work) override { return take(work); }
  std::chrono::steady_clock::time_point next_deadline() const override {
    return canceled_.load() ? std::chrono::steady_clock::time_point::max() : next_.load();
  }

protected:
  std::chrono::nanoseconds period_;
  std::atomic<std::chrono::steady_clock::time_point> next_;
  std::atomic<bool> canceled_{false};
};

template <class FunctorT>
class WallTimer : public TimerBase {
public:
  using SharedPtr = std::shared_ptr<WallTimer>;
  WallTimer(std::chrono::nanoseconds period, FunctorT&& callback)
      : TimerBase(period), callback_(std::forward<FunctorT>(callback)) {}

  void execute(detail::Work&) override {
    if constexpr (std::is_invocable_v<FunctorT&, TimerBase&>) {
      callback_(*this);
    } else {
      callback_();
    }
  }

private:
  FunctorT callback_;
};

}  // namespace rclcpp
