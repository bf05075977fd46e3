// The one layer that talks to Cyclone DDS: readers and writers of raw XCDR1
// samples, QoS mapping, and Cyclone return codes turned into results.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "rmw/types.h"
#include "ros2_runtime/security.hpp"
#include "ros2_runtime/type_support.hpp"

struct dds_qosprovider;
typedef struct dds_qos dds_qos_t;

namespace ros2_runtime {

// The context's participant, with user data "enclave=<enclave>;" and, when
// `security` is enabled, its dds.sec.* properties. Throws SecurityError when
// Cyclone refuses a secured participant, std::runtime_error otherwise.
std::int32_t create_participant(std::uint32_t domain_id, const std::string& enclave,
                                const SecurityConfig& security);

// DDS policies for a ROS QoS profile, every policy set explicitly. The caller
// owns the result (dds_delete_qos).
dds_qos_t* make_dds_qos(const rmw_qos_profile_t& profile, const std::string& user_data);

// The DDS topic of a ROS topic or service name ("/a/b" -> "rt/a/b").
std::string topic_to_dds(const std::string& fq_topic);
std::string service_request_to_dds(const std::string& fq_service);
std::string service_reply_to_dds(const std::string& fq_service);

// One received sample; holds a reference to Cyclone's buffer until dropped.
class ReceivedSample {
public:
  ReceivedSample() = default;
  ~ReceivedSample();
  ReceivedSample(ReceivedSample&& o) noexcept;
  ReceivedSample& operator=(ReceivedSample&& o) noexcept;
  ReceivedSample(const ReceivedSample&) = delete;
  ReceivedSample& operator=(const ReceivedSample&) = delete;

  const unsigned char* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::uint64_t publication_handle() const { return publication_handle_; }
  std::int64_t source_timestamp() const { return source_timestamp_; }
  void reset();

private:
  friend class DdsReader;
  void* serdata_{nullptr};
  const unsigned char* data_{nullptr};
  std::size_t size_{0};
  std::uint64_t publication_handle_{0};
  std::int64_t source_timestamp_{0};
};

// Runs on a Cyclone thread when a peer endpoint on the same topic cannot match
// for its QoS, with rclcpp's name of the last offending policy
// ("RELIABILITY_QOS_POLICY", ...).
using IncompatibleQosCallback = std::function<void(const char* policy)>;

class DdsWriter {
public:
  DdsWriter(std::int32_t participant, const std::string& dds_topic, const TypeSupport& ts,
            const rmw_qos_profile_t& qos, const std::string& user_data = "",
            IncompatibleQosCallback on_incompatible_qos = nullptr);
  ~DdsWriter();
  DdsWriter(const DdsWriter&) = delete;
  DdsWriter& operator=(const DdsWriter&) = delete;

  // Serialises `sample` with the type support and writes it; false on error.
  bool write(const void* sample);
  std::size_t matched_count() const;
  std::uint64_t instance_handle() const { return instance_handle_; }
  std::int32_t handle() const { return writer_; }
  std::vector<std::string> matched_reader_user_data() const;

private:
  std::int32_t topic_{0};
  std::int32_t writer_{0};
  std::uint64_t instance_handle_{0};
  std::unique_ptr<IncompatibleQosCallback> on_incompatible_qos_;
};

class DdsReader {
public:
  // `on_data` runs on a Cyclone thread: it must only hand over (set a flag,
  // notify), never run user code.
  DdsReader(std::int32_t participant, const std::string& dds_topic, const TypeSupport& ts,
            const rmw_qos_profile_t& qos, const std::string& user_data,
            std::function<void()> on_data, IncompatibleQosCallback on_incompatible_qos = nullptr);
  ~DdsReader();
  DdsReader(const DdsReader&) = delete;
  DdsReader& operator=(const DdsReader&) = delete;

  // Takes the oldest valid sample; false when there is none.
  bool take(ReceivedSample& out);
  std::size_t matched_count() const;
  std::vector<std::string> matched_writer_user_data() const;
  // User data of a matched writer (empty when unknown).
  std::string writer_user_data(std::uint64_t publication_handle) const;
  std::int32_t handle() const { return reader_; }

  struct ListenerState;

private:
  std::int32_t topic_{0};
  std::int32_t reader_{0};
  std::unique_ptr<ListenerState> listener_state_;
};

// A DDS GUID in the 24-byte form Humble's rmw_dds_common uses (16 bytes of
// GUID, 8 zeros).
using Gid = std::array<std::uint8_t, 24>;
Gid entity_gid(std::int32_t entity);

// Value of "key=value;" in an rmw user data string, empty when absent.
std::string user_data_value(const std::string& user_data, const std::string& key);

}  // namespace ros2_runtime
