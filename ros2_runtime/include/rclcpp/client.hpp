// Clients: each owns a request writer and a reply reader tagged with the same
// clientid; replies carrying another client's guid are dropped.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "rclcpp/context.hpp"
#include "rclcpp/detail/executable_entity.hpp"
#include "rclcpp/qos.hpp"
#include "rmw/types.h"
#include "ros2_runtime/dds_bridge.hpp"
#include "ros2_runtime/type_support.hpp"

namespace rclcpp {

namespace detail {
std::string make_endpoint_user_data(const char* key);
int64_t next_request_sequence();
}  // namespace detail

class ClientBase : public detail::ExecutableEntity {
public:
  using SharedPtr = std::shared_ptr<ClientBase>;

  ClientBase(Context::SharedPtr context, const std::string& name, const rmw_qos_profile_t& qos,
             const ros2_runtime::TypeSupport& request_ts, const ros2_runtime::TypeSupport& reply_ts)
      : context_(std::move(context)),
        name_(name),
        user_data_(detail::make_endpoint_user_data("clientid")),
        request_writer_(context_->participant(), ros2_runtime::service_request_to_dds(name),
                        request_ts, qos, user_data_),
        reply_reader_(context_->participant(), ros2_runtime::service_reply_to_dds(name), reply_ts,
                      qos, user_data_, [this] {
                        set_pending();
                        context_->notify_work();
                      }) {}

  ~ClientBase() override {
    context_->graph_remove_endpoint(request_gid());
    context_->graph_remove_endpoint(reply_gid());
  }

  ros2_runtime::Gid request_gid() const {
    return ros2_runtime::entity_gid(request_writer_.handle());
  }
  ros2_runtime::Gid reply_gid() const { return ros2_runtime::entity_gid(reply_reader_.handle()); }
  const char* get_service_name() const { return name_.c_str(); }

  // Ready when a service's request reader and reply writer have both matched
  // this client (so no reply can be lost for want of a match).
  bool service_is_ready() const;

  template <class RepT = int64_t, class RatioT = std::milli>
  bool wait_for_service(
      std::chrono::duration<RepT, RatioT> timeout = std::chrono::duration<RepT, RatioT>(-1)) {
    return wait_for_service_nanoseconds(
        std::chrono::duration_cast<std::chrono::nanoseconds>(timeout));
  }

  bool take(detail::Work& work) override { return reply_reader_.take(work.sample); }

protected:
  bool wait_for_service_nanoseconds(std::chrono::nanoseconds timeout);
  uint64_t guid() const { return request_writer_.instance_handle(); }
  bool send(const void* envelope) { return request_writer_.write(envelope); }
  void report_bad_reply(size_t size) {
    if (!reported_bad_reply_) {
      reported_bad_reply_ = true;
      std::fprintf(stderr, "[ros2_runtime] dropped a malformed reply (%zu bytes) on '%s'\n", size,
                   name_.c_str());
    }
  }

  Context::SharedPtr context_;

private:
  std::string name_;
  std::string user_data_;
  bool reported_bad_reply_{false};
  ros2_runtime::DdsWriter request_writer_;
  ros2_runtime::DdsReader reply_reader_;  // last: deleted first
};

template <class ServiceT>
class Client : public ClientBase {
public:
  using SharedPtr = std::shared_ptr<Client>;
  using Request = typename ServiceT::Request;
  using Response = typename ServiceT::Response;
  using SharedRequest = std::shared_ptr<Request>;
  using SharedResponse = std::shared_ptr<Response>;
  using Promise = std::promise<SharedResponse>;
  using SharedPromise = std::shared_ptr<Promise>;
  using Future = std::future<SharedResponse>;
  using SharedFuture = std::shared_future<SharedResponse>;
  using CallbackType = std::function<void(SharedFuture)>;

  template <class FutureT>
  struct FutureAndRequestIdBase {
    FutureT future;
    int64_t request_id;
    SharedResponse get() { return future.get(); }
    bool valid() const noexcept { return future.valid(); }
    void wait() const { future.wait(); }
    template <class Rep, class Period>
    std::future_status wait_for(const std::chrono::duration<Rep, Period>& d) const {
      return future.wait_for(d);
    }
    template <class Clock, class Duration>
    std::future_status wait_until(const std::chrono::time_point<Clock, Duration>& t) const {
      return future.wait_until(t);
    }
  };
  struct FutureAndRequestId : FutureAndRequestIdBase<Future> {
    SharedFuture share() noexcept { return this->future.share(); }
  };
  using SharedFutureAndRequestId = FutureAndRequestIdBase<SharedFuture>;

  Client(Context::SharedPtr context, const std::string& name, const rmw_qos_profile_t& qos)
      : ClientBase(std::move(context), name, qos, ros2_runtime::service_type_support<Request>(),
                   ros2_runtime::service_type_support<Response>()) {}

  FutureAndRequestId async_send_request(SharedRequest request) {
    auto promise = std::make_shared<Promise>();
    FutureAndRequestId out{{promise->get_future(), 0}};
    out.request_id = send_request(request, Pending{promise, nullptr, SharedFuture()});
    return out;
  }

  template <class CallbackT>
  SharedFutureAndRequestId async_send_request(SharedRequest request, CallbackT&& cb) {
    auto promise = std::make_shared<Promise>();
    SharedFuture f = promise->get_future().share();
    Pending p{promise, CallbackType(std::forward<CallbackT>(cb)), f};
    SharedFutureAndRequestId out{f, 0};
    out.request_id = send_request(request, std::move(p));
    return out;
  }

  bool remove_pending_request(int64_t request_id) {
    std::lock_guard<std::mutex> lock(mutex_);
    return pending_.erase(request_id) > 0;
  }
  size_t prune_pending_requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t n = pending_.size();
    pending_.clear();
    return n;
  }

  void execute(detail::Work& work) override {
    auto response = std::make_shared<Response>();
    uint64_t guid = 0;
    int64_t seq = 0;
    const bool ok =
        ros2_runtime::read_envelope(work.sample.data(), work.sample.size(), guid, seq, *response);
    const size_t size = work.sample.size();
    work.sample.reset();
    if (!ok) {
      report_bad_reply(size);
      return;
    }
    if (guid != this->guid()) {
      return;  // another client's reply on the shared reply topic
    }
    Pending p;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = pending_.find(seq);
      if (it == pending_.end()) {
        return;  // unknown, duplicate or pruned
      }
      p = std::move(it->second);
      pending_.erase(it);
    }
    p.promise->set_value(response);
    if (p.callback) {
      p.callback(p.future);
    }
    context_->notify_work();
  }

private:
  struct Pending {
    SharedPromise promise;
    CallbackType callback;
    SharedFuture future;
  };

  int64_t send_request(const SharedRequest& request, Pending pending) {
    const int64_t seq = detail::next_request_sequence();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      pending_.emplace(seq, std::move(pending));
    }
    ros2_runtime::ServiceEnvelope<Request> env{guid(), seq, request.get()};
    if (!send(&env)) {
      std::fprintf(stderr, "[ros2_runtime] sending a request on '%s' failed\n", get_service_name());
    }
    return seq;
  }

  std::mutex mutex_;
  std::map<int64_t, Pending> pending_;
};

}  // namespace rclcpp
