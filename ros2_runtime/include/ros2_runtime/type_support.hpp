// Type-erased serialisation hooks handed to the DDS layer. The DDS side holds
// bytes only; generated messages are turned into bytes when written and back
// into messages on an executor thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "ros2_runtime/cdr.hpp"

namespace ros2_runtime {

struct TypeSupport {
  std::string dds_type_name;
  // Serialised size (with the encapsulation header) of the sample.
  std::size_t (*size)(const void* sample);
  // Writes exactly size(sample) bytes.
  void (*write)(const void* sample, unsigned char* out);
};

// A service request or reply: the 16-byte request header, then the message.
template <class T>
struct ServiceEnvelope {
  std::uint64_t guid{0};
  std::int64_t seq{0};
  const T* msg{nullptr};
};

namespace detail {
template <class Sink, class T>
void put_envelope(Sink& s, const ServiceEnvelope<T>& e) {
  s.put(e.guid);
  s.put(e.seq);
  s.put(*e.msg);
}
}  // namespace detail

template <class T>
const TypeSupport& message_type_support() {
  static const TypeSupport ts{
      MessageName<T>::dds,
      [](const void* sample) { return cdr::serialized_size(*static_cast<const T*>(sample)); },
      [](const void* sample, unsigned char* out) {
        cdr::serialize_into(*static_cast<const T*>(sample), out);
      }};
  return ts;
}

template <class T>
const TypeSupport& service_type_support() {
  static const TypeSupport ts{
      MessageName<T>::dds,
      [](const void* sample) {
        cdr::SizeCounter c;
        detail::put_envelope(c, *static_cast<const ServiceEnvelope<T>*>(sample));
        return cdr::kHeaderSize + c.offset();
      },
      [](const void* sample, unsigned char* out) {
        out[0] = 0;
        out[1] = cdr::host_is_little_endian() ? 1 : 0;
        out[2] = 0;
        out[3] = 0;
        cdr::Writer w(out);
        detail::put_envelope(w, *static_cast<const ServiceEnvelope<T>*>(sample));
      }};
  return ts;
}

// Reads the request header and the message of a service sample.
template <class T>
bool read_envelope(const unsigned char* data, std::size_t size, std::uint64_t& guid,
                   std::int64_t& seq, T& msg) {
  cdr::Reader r(data, size);
  return r.ok() && r.get(guid) && r.get(seq) && r.get(msg);
}

}  // namespace ros2_runtime
