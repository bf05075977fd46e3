// Services in the rmw_cyclonedds layout: requests on rq/<name>Request, replies
// on rr/<name>Reply, each with the 16-byte request header echoed unchanged.
#pragma once

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>

#include "rclcpp/context.hpp"
#include "rclcpp/detail/executable_entity.hpp"
#include "rclcpp/qos.hpp"
#include "rmw/types.h"
#include "ros2_runtime/dds_bridge.hpp"
#include "ros2_runtime/type_support.hpp"

namespace rclcpp {

namespace detail {
// "serviceid=<id>;" or "clientid=<id>;" with an id unique to this endpoint pair.
std::string make_endpoint_user_data(const char* key);
// Before replying, waits (at most 100 ms) until the reply writer has matched
// the requesting client's reply reader, as a stock service does.
void wait_for_reply_reader(const ros2_runtime::DdsReader& request_reader,
                           const ros2_runtime::DdsWriter& reply_writer,
                           uint64_t publication_handle);
}  // namespace detail

class ServiceBase : public detail::ExecutableEntity {
public:
  using SharedPtr = std::shared_ptr<ServiceBase>;

  ServiceBase(Context::SharedPtr context, const std::string& name, const rmw_qos_profile_t& qos,
              const ros2_runtime::TypeSupport& request_ts,
              const ros2_runtime::TypeSupport& reply_ts)
      : context_(std::move(context)),
        name_(name),
        user_data_(detail::make_endpoint_user_data("serviceid")),
        reply_writer_(context_->participant(), ros2_runtime::service_reply_to_dds(name), reply_ts,
                      qos, user_data_),
        request_reader_(context_->participant(), ros2_runtime::service_request_to_dds(name),
                        request_ts, qos, user_data_, [this] {
                          set_pending();
                          context_->notify_work();
                        }) {}

  ~ServiceBase() override {
    context_->graph_remove_endpoint(request_gid());
    context_->graph_remove_endpoint(reply_gid());
  }

  ros2_runtime::Gid request_gid() const {
    return ros2_runtime::entity_gid(request_reader_.handle());
  }
  ros2_runtime::Gid reply_gid() const { return ros2_runtime::entity_gid(reply_writer_.handle()); }
  const char* get_service_name() const { return name_.c_str(); }
  bool take(detail::Work& work) override { return request_reader_.take(work.sample); }

protected:
  void report_bad_request(size_t size) {
    if (!reported_bad_request_) {
      reported_bad_request_ = true;
      std::fprintf(stderr,
                   "[ros2_runtime] dropped a malformed request (%zu bytes) on service '%s'\n", size,
                   name_.c_str());
    }
  }
  void send_reply(uint64_t publication_handle, const void* envelope) {
    detail::wait_for_reply_reader(request_reader_, reply_writer_, publication_handle);
    if (!reply_writer_.write(envelope)) {
      std::fprintf(stderr, "[ros2_runtime] sending a reply on service '%s' failed\n",
                   name_.c_str());
    }
  }

private:
  Context::SharedPtr context_;
  std::string name_;
  std::string user_data_;
  bool reported_bad_request_{false};
  ros2_runtime::DdsWriter reply_writer_;
  ros2_runtime::DdsReader request_reader_;  // last: deleted first
};

template <class ServiceT>
class Service : public ServiceBase {
public:
  using SharedPtr = std::shared_ptr<Service>;
  using Request = typename ServiceT::Request;
  using Response = typename ServiceT::Response;
  using CallbackType =
      std::function<void(const std::shared_ptr<Request>, std::shared_ptr<Response>)>;
  using CallbackWithHeaderType =
      std::function<void(const std::shared_ptr<rmw_request_id_t>, const std::shared_ptr<Request>,
                         std::shared_ptr<Response>)>;

  template <class CallbackT>
  Service(Context::SharedPtr context, const std::string& name, CallbackT&& callback,
          const rmw_qos_profile_t& qos)
      : ServiceBase(std::move(context), name, qos, ros2_runtime::service_type_support<Request>(),
                    ros2_runtime::service_type_support<Response>()) {
    using Fn = std::decay_t<CallbackT>;
    if constexpr (std::is_invocable_v<Fn&, std::shared_ptr<Request>, std::shared_ptr<Response>>) {
      callback_ = std::forward<CallbackT>(callback);
    } else if constexpr (std::is_invocable_v<Fn&, std::shared_ptr<rmw_request_id_t>,
                                             std::shared_ptr<Request>, std::shared_ptr<Response>>) {
      callback_with_header_ = std::forward<CallbackT>(callback);
    } else {
      static_assert(std::is_invocable_v<Fn&, std::shared_ptr<Request>, std::shared_ptr<Response>>,
                    "unsupported service callback signature");
    }
  }

  void execute(detail::Work& work) override {
    auto request = std::make_shared<Request>();
    auto header = std::make_shared<rmw_request_id_t>();
    uint64_t guid = 0;
    int64_t seq = 0;
    const bool ok =
        ros2_runtime::read_envelope(work.sample.data(), work.sample.size(), guid, seq, *request);
    const uint64_t publication_handle = work.sample.publication_handle();
    const size_t size = work.sample.size();
    work.sample.reset();
    if (!ok) {
      report_bad_request(size);
      return;
    }
    std::memset(header->writer_guid, 0, sizeof(header->writer_guid));
    std::memcpy(header->writer_guid, &guid, sizeof(guid));
    header->sequence_number = seq;
    auto response = std::make_shared<Response>();
    if (callback_) {
      callback_(request, response);
    } else {
      callback_with_header_(header, request, response);
    }
    ros2_runtime::ServiceEnvelope<Response> env{guid, seq, response.get()};
    send_reply(publication_handle, &env);
  }

private:
  CallbackType callback_;
  CallbackWithHeaderType callback_with_header_;
};

}  // namespace rclcpp
