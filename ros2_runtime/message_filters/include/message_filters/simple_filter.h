// A filter with one output: callbacks taking the message as a shared pointer to const.
#pragma once

#include <functional>
#include <list>
#include <memory>
#include <mutex>

#include "message_filters/connection.h"

namespace message_filters {

template <class M>
class SimpleFilter {
public:
  using MConstPtr = std::shared_ptr<const M>;
  using Callback = std::function<void(const MConstPtr&)>;

  virtual ~SimpleFilter() = default;

  template <typename C>
  Connection registerCallback(const C& callback) {
    std::lock_guard<std::mutex> lock(*mutex_);
    auto it = callbacks_->insert(callbacks_->end(), Callback(callback));
    std::weak_ptr<std::list<Callback>> weak = callbacks_;
    std::shared_ptr<std::mutex> m = mutex_;
    return Connection([weak, m, it] {
      if (auto list = weak.lock()) {
        std::lock_guard<std::mutex> l(*m);
        list->erase(it);
      }
    });
  }

  template <typename T>
  Connection registerCallback(void (T::*callback)(const MConstPtr&), T* t) {
    return registerCallback([callback, t](const MConstPtr& m) { (t->*callback)(m); });
  }

protected:
  void signalMessage(const MConstPtr& msg) {
    std::list<Callback> copy;
    {
      std::lock_guard<std::mutex> lock(*mutex_);
      copy = *callbacks_;
    }
    for (auto& cb : copy) {
      cb(msg);
    }
  }

private:
  std::shared_ptr<std::mutex> mutex_ = std::make_shared<std::mutex>();
  std::shared_ptr<std::list<Callback>> callbacks_ = std::make_shared<std::list<Callback>>();
};

}  // namespace message_filters
