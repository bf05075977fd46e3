// Feeds the outputs of several filters into a synchronisation policy and calls the
// registered callbacks with each set the policy outputs, on the thread that delivered
// the message completing it (an executor thread for Subscribers).
#pragma once

#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "message_filters/connection.h"

namespace message_filters {

template <class Policy>
class Synchronizer : public Policy {
public:
  using Messages = typename Policy::Messages;
  using Callback = typename Policy::Callback;

  explicit Synchronizer(const Policy& policy) : Policy(policy) { init(); }

  template <class F0, class F1, class... Fs>
  Synchronizer(const Policy& policy, F0& f0, F1& f1, Fs&... fs) : Policy(policy) {
    init();
    connectInput(f0, f1, fs...);
  }

  Synchronizer(const Synchronizer&) = delete;
  Synchronizer& operator=(const Synchronizer&) = delete;

  ~Synchronizer() { disconnectAll(); }

  template <class... Fs>
  void connectInput(Fs&... fs) {
    static_assert(sizeof...(Fs) == Policy::RealTypeCount, "one input per synchronised topic");
    disconnectAll();
    connectAt(std::index_sequence_for<Fs...>{}, fs...);
  }

  template <class C>
  Connection registerCallback(const C& callback) {
    std::lock_guard<std::mutex> lock(*callbacks_mutex_);
    auto it = callbacks_->insert(callbacks_->end(), Callback(callback));
    std::weak_ptr<std::list<Callback>> weak = callbacks_;
    std::shared_ptr<std::mutex> m = callbacks_mutex_;
    return Connection([weak, m, it] {
      if (auto list = weak.lock()) {
        std::lock_guard<std::mutex> l(*m);
        list->erase(it);
      }
    });
  }

  // Member function with the object: registerCallback(&Node::onPair, this).
  template <class T, class... Args>
  Connection registerCallback(void (T::*callback)(Args...), T* t) {
    return registerCallback([callback, t](Args... args) { (t->*callback)(args...); });
  }

  void setName(const std::string& name) { name_ = name; }
  const std::string& getName() { return name_; }

  template <std::size_t i>
  void add(const std::shared_ptr<const typename Policy::template MessageType<i>>& msg) {
    Policy::template add<i>(msg);
  }

private:
  void init() {
    Policy::initParent([this](const Messages& messages) { signal(messages); });
  }

  template <std::size_t... I, class... Fs>
  void connectAt(std::index_sequence<I...>, Fs&... fs) {
    (input_connections_.push_back(fs.registerCallback(
         [this](const std::shared_ptr<const typename Policy::template MessageType<I>>& m) {
           this->template add<I>(m);
         })),
     ...);
  }

  void disconnectAll() {
    for (auto& c : input_connections_) {
      c.disconnect();
    }
    input_connections_.clear();
  }

  void signal(const Messages& messages) {
    std::list<Callback> copy;
    {
      std::lock_guard<std::mutex> lock(*callbacks_mutex_);
      copy = *callbacks_;
    }
    for (const auto& cb : copy) {
      Policy::invoke(cb, messages);
    }
  }

  std::string name_;
  std::vector<Connection> input_connections_;
  std::shared_ptr<std::mutex> callbacks_mutex_ = std::make_shared<std::mutex>();
  std::shared_ptr<std::list<Callback>> callbacks_ = std::make_shared<std::list<Callback>>();
};

}  // namespace message_filters
