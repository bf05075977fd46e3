// A handle to a registered callback; disconnect() removes it.
#pragma once

#include <functional>

namespace message_filters {

class Connection {
public:
  using DisconnectFunction = std::function<void()>;
  Connection() = default;
  explicit Connection(const DisconnectFunction& func) : disconnect_(func) {}
  void disconnect() {
    if (disconnect_) {
      disconnect_();
      disconnect_ = nullptr;
    }
  }

private:
  DisconnectFunction disconnect_;
};

}  // namespace message_filters
