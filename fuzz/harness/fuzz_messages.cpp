// The CDR reader of ros2_runtime on every message type the node and its tools
// take from the network: Image, CameraInfo, TFMessage, the ArmTrashPose
// request and response (with the service request header), GrabTrashCloud,
// PointCloud2 and MarkerArray. The first byte picks the type, the rest is the
// sample as DDS hands it over (encapsulation header first).
//
// Invariants: a refused sample is only a false return; one decode never
// allocates more than 8 times the sample's size (plus 4 KiB); a decoded
// message, written again, reads back to the same bytes.
#include <sanitizer/allocator_interface.h>

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "fuzz_support.hpp"
#include "moorwick_protocol/msg/grab_trash_cloud.hpp"
#include "moorwick_protocol/srv/arm_trash_pose.hpp"
#include "ros2_runtime/cdr.hpp"
#include "ros2_runtime/type_support.hpp"
#include "sensor_msgs/msg/camera_info.hpp"
#include "sensor_msgs/msg/image.hpp"
#include "sensor_msgs/msg/point_cloud2.hpp"
#include "tf2_msgs/msg/tf_message.hpp"
#include "visualization_msgs/msg/marker_array.hpp"

namespace cdr = ros2_runtime::cdr;

namespace {

// Bytes live on the heap while a decode runs, and their peak. The harness is
// single-threaded; libFuzzer's own allocations happen outside `tracking`.
bool tracking = false;
std::size_t live = 0;
std::size_t peak = 0;

void on_malloc(const volatile void*, std::size_t size) {
  if (tracking) {
    live += size;
    peak = live > peak ? live : peak;
  }
}

void on_free(const volatile void* p) {
  if (tracking && p != nullptr) {
    const std::size_t size = __sanitizer_get_allocated_size(const_cast<const void*>(p));
    live = size > live ? 0 : live - size;
  }
}

template <class T>
std::vector<unsigned char> write_envelope(std::uint64_t guid, std::int64_t seq, const T& msg) {
  const ros2_runtime::ServiceEnvelope<T> env{guid, seq, &msg};
  const auto& ts = ros2_runtime::service_type_support<T>();
  std::vector<unsigned char> out(ts.size(&env));
  ts.write(&env, out.data());
  return out;
}

// A service sample: the request header and the message.
template <class T>
struct Enveloped {
  T msg;
  std::uint64_t guid = 0;
  std::int64_t seq = 0;
};

template <class T>
bool read(const unsigned char* data, std::size_t size, T& msg) {
  return cdr::deserialize(data, size, msg);
}
template <class T>
bool read(const unsigned char* data, std::size_t size, Enveloped<T>& e) {
  return ros2_runtime::read_envelope(data, size, e.guid, e.seq, e.msg);
}
template <class T>
std::vector<unsigned char> write(const T& msg) {
  return cdr::serialize(msg);
}
template <class T>
std::vector<unsigned char> write(const Enveloped<T>& e) {
  return write_envelope(e.guid, e.seq, e.msg);
}

template <class T>
void round_trip(const char* type, const unsigned char* data, std::size_t size) {
  T msg;
  live = peak = 0;
  tracking = true;
  const bool ok = read(data, size, msg);
  tracking = false;
  FUZZ_CHECK(peak <= 8 * size + 4096, "%s: %zu bytes allocated reading a %zu-byte sample", type,
             peak, size);
  if (!ok) {
    return;
  }
  const std::vector<unsigned char> once = write(msg);
  T again;
  FUZZ_CHECK(read(once.data(), once.size(), again), "%s: own output refused", type);
  FUZZ_CHECK(write(again) == once, "%s: read back differently", type);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) {
    return 0;
  }
  // The sample gets an allocation of its own size, so ASan sees any overread.
  const std::vector<unsigned char> sample(data + 1, data + size);
  using Request = moorwick_protocol::srv::ArmTrashPose::Request;
  using Response = moorwick_protocol::srv::ArmTrashPose::Response;
  static const std::pair<const char*, void (*)(const char*, const unsigned char*, std::size_t)>
      kTypes[] = {{"Image", round_trip<sensor_msgs::msg::Image>},
                  {"CameraInfo", round_trip<sensor_msgs::msg::CameraInfo>},
                  {"TFMessage", round_trip<tf2_msgs::msg::TFMessage>},
                  {"ArmTrashPose request", round_trip<Enveloped<Request>>},
                  {"ArmTrashPose response", round_trip<Enveloped<Response>>},
                  {"GrabTrashCloud", round_trip<moorwick_protocol::msg::GrabTrashCloud>},
                  {"PointCloud2", round_trip<sensor_msgs::msg::PointCloud2>},
                  {"MarkerArray", round_trip<visualization_msgs::msg::MarkerArray>}};
  const auto& [type, run] = kTypes[data[0] % 8];
  run(type, sample.data(), sample.size());
  return 0;
}
