// XCDR1 (plain CDR) encoding of generated messages, as rmw_cyclonedds puts
// them on the wire: 4-byte encapsulation header, then the members with
// alignment counted from the end of that header.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

namespace ros2_runtime {

// Specialised by the generated headers: ROS name ("pkg/msg/Name") and the
// DDS type name ("pkg::msg::dds_::Name_").
template <class T>
struct MessageName;
template <class T>
struct ServiceName;

namespace cdr {

constexpr std::size_t kHeaderSize = 4;

inline bool host_is_little_endian() {
  const std::uint16_t probe = 1;
  unsigned char first = 0;
  std::memcpy(&first, &probe, 1);
  return first == 1;
}

template <class T>
struct is_std_vector : std::false_type {};
template <class T, class A>
struct is_std_vector<std::vector<T, A>> : std::true_type {};
template <class T>
struct is_std_array : std::false_type {};
template <class T, std::size_t N>
struct is_std_array<std::array<T, N>> : std::true_type {};

template <class T>
constexpr bool is_primitive_v = std::is_arithmetic_v<T>;

// The fewest bytes one value of T takes on the wire, padding not counted: a
// sequence count that cannot fit in what is left is refused before any
// allocation. Generated messages provide cdr_min_size (found by ADL).
template <class T>
constexpr std::size_t min_wire_size() {
  if constexpr (is_primitive_v<T>) {
    return sizeof(T);
  } else if constexpr (std::is_same_v<T, std::string> || is_std_vector<T>::value) {
    return 4;  // the length or count; an empty string may omit its NUL
  } else if constexpr (is_std_array<T>::value) {
    return std::tuple_size_v<T> * min_wire_size<typename T::value_type>();
  } else {
    return cdr_min_size(static_cast<const T*>(nullptr));
  }
}

// One pass over a message either counts bytes (kWrite = false) or writes them
// into a buffer sized by the counting pass (kWrite = true).
template <bool kWrite>
class Sink {
public:
  Sink() = default;
  // `data` points at the encapsulation header; offsets count from after it.
  explicit Sink(unsigned char* data) : base_(data + kHeaderSize) {}

  std::size_t offset() const { return off_; }

  template <class T>
  void put(const T& v) {
    if constexpr (std::is_same_v<T, bool>) {
      put_raw(static_cast<std::uint8_t>(v ? 1 : 0));
    } else if constexpr (is_primitive_v<T>) {
      put_raw(v);
    } else if constexpr (std::is_same_v<T, std::string>) {
      put_string(v);
    } else if constexpr (is_std_vector<T>::value) {
      put_raw(static_cast<std::uint32_t>(v.size()));
      put_elements(v.data(), v.size(), v);
    } else if constexpr (is_std_array<T>::value) {
      put_elements(v.data(), v.size(), v);
    } else {
      cdr_write(*this, v);
    }
  }

private:
  void align(std::size_t n) {
    const std::size_t pad = (n - (off_ % n)) % n;
    if constexpr (kWrite) {
      std::memset(base_ + off_, 0, pad);
    }
    off_ += pad;
  }

  template <class T>
  void put_raw(T v) {
    align(sizeof(T));
    if constexpr (kWrite) {
      std::memcpy(base_ + off_, &v, sizeof(T));
    }
    off_ += sizeof(T);
  }

  void put_string(const std::string& s) {
    put_raw(static_cast<std::uint32_t>(s.size() + 1));
    if constexpr (kWrite) {
      std::memcpy(base_ + off_, s.data(), s.size());
      base_[off_ + s.size()] = 0;
    }
    off_ += s.size() + 1;
  }

  template <class E, class C>
  void put_elements(const E* p, std::size_t n, const C& c) {
    if constexpr (std::is_same_v<E, bool> || !is_primitive_v<E>) {
      for (const auto& e : c) {
        put(static_cast<const E&>(e));
      }
    } else {
      if (n == 0) {
        return;
      }
      align(sizeof(E));
      if constexpr (kWrite) {
        std::memcpy(base_ + off_, p, n * sizeof(E));
      }
      off_ += n * sizeof(E);
    }
  }

  unsigned char* base_{nullptr};
  std::size_t off_{0};
};

using SizeCounter = Sink<false>;
using Writer = Sink<true>;

// Serialised size including the encapsulation header.
template <class T>
std::size_t serialized_size(const T& msg) {
  SizeCounter c;
  c.put(msg);
  return kHeaderSize + c.offset();
}

// Writes header and body into `out`, which holds serialized_size(msg) bytes.
template <class T>
void serialize_into(const T& msg, unsigned char* out) {
  out[0] = 0;
  out[1] = host_is_little_endian() ? 1 : 0;
  out[2] = 0;
  out[3] = 0;
  Writer w(out);
  w.put(msg);
}

template <class T>
std::vector<unsigned char> serialize(const T& msg) {
  std::vector<unsigned char> buf(serialized_size(msg));
  serialize_into(msg, buf.data());
  return buf;
}

// Bounds-checked reading; any inconsistency makes get() return false and the
// reader stays failed. Either byte order is accepted.
class Reader {
public:
  // `data` starts at the encapsulation header.
  Reader(const unsigned char* data, std::size_t size) {
    if (size < kHeaderSize || data[0] != 0 || data[1] > 1) {
      ok_ = false;
      return;
    }
    const bool little = data[1] == 1;
    swap_ = little != host_is_little_endian();
    base_ = data + kHeaderSize;
    size_ = size - kHeaderSize;
  }

  bool ok() const { return ok_; }
  std::size_t offset() const { return off_; }

  template <class T>
  bool get(T& v) {
    if (!ok_) {
      return false;
    }
    if constexpr (std::is_same_v<T, bool>) {
      std::uint8_t b = 0;
      if (!get_raw(b)) {
        return false;
      }
      v = b != 0;
      return true;
    } else if constexpr (is_primitive_v<T>) {
      return get_raw(v);
    } else if constexpr (std::is_same_v<T, std::string>) {
      return get_string(v, 0);
    } else if constexpr (is_std_vector<T>::value) {
      return get_sequence(v, 0);
    } else if constexpr (is_std_array<T>::value) {
      return get_elements(v.data(), v.size());
    } else {
      return ok_ = cdr_read(*this, v) && ok_;
    }
  }

  bool get_bounded(std::string& s, std::size_t bound) { return ok_ && get_string(s, bound); }
  template <class T, class A>
  bool get_bounded(std::vector<T, A>& v, std::size_t bound) {
    return ok_ && get_sequence(v, bound);
  }

  // Used by the service envelope to skip to a known offset.
  bool fail() { return ok_ = false; }

private:
  bool align(std::size_t n) {
    const std::size_t pad = (n - (off_ % n)) % n;
    if (off_ + pad > size_) {
      return fail();
    }
    off_ += pad;
    return true;
  }

  template <class T>
  static T byteswap(T v) {
    unsigned char b[sizeof(T)];
    std::memcpy(b, &v, sizeof(T));
    for (std::size_t i = 0; i < sizeof(T) / 2; ++i) {
      std::swap(b[i], b[sizeof(T) - 1 - i]);
    }
    std::memcpy(&v, b, sizeof(T));
    return v;
  }

  template <class T>
  bool get_raw(T& v) {
    if (!align(sizeof(T)) || size_ - off_ < sizeof(T)) {
      return fail();
    }
    std::memcpy(&v, base_ + off_, sizeof(T));
    if (swap_ && sizeof(T) > 1) {
      v = byteswap(v);
    }
    off_ += sizeof(T);
    return true;
  }

  bool get_string(std::string& s, std::size_t bound) {
    std::uint32_t len = 0;
    if (!get_raw(len)) {
      return false;
    }
    if (len > size_ - off_) {
      return fail();
    }
    std::size_t n = len;
    // The length counts the terminating NUL; tolerate writers that omit it.
    if (n > 0 && base_[off_ + n - 1] == 0) {
      --n;
    }
    if (bound != 0 && n > bound) {
      return fail();
    }
    s.assign(reinterpret_cast<const char*>(base_ + off_), n);
    off_ += len;
    return true;
  }

  template <class T, class A>
  bool get_sequence(std::vector<T, A>& v, std::size_t bound) {
    std::uint32_t n = 0;
    if (!get_raw(n)) {
      return false;
    }
    if (bound != 0 && n > bound) {
      return fail();
    }
    // A count whose elements cannot fit in the remaining bytes is corrupt and
    // must not turn into an allocation many times the sample's size.
    constexpr std::size_t kMin = min_wire_size<T>();
    static_assert(kMin > 0, "every element takes wire bytes");
    if (n > (size_ - off_) / kMin) {
      return fail();
    }
    if constexpr (is_primitive_v<T> && !std::is_same_v<T, bool>) {
      if (n == 0) {
        v.clear();
        return true;
      }
      if (!align(sizeof(T)) || (size_ - off_) / sizeof(T) < n) {
        return fail();
      }
      if constexpr (sizeof(T) == 1) {
        v.assign(reinterpret_cast<const T*>(base_ + off_),
                 reinterpret_cast<const T*>(base_ + off_) + n);
      } else {
        v.resize(n);
        std::memcpy(v.data(), base_ + off_, n * sizeof(T));
        if (swap_) {
          for (auto& e : v) {
            e = byteswap(e);
          }
        }
      }
      off_ += n * sizeof(T);
      return true;
    } else {
      v.resize(n);
      for (std::uint32_t i = 0; i < n; ++i) {
        T e{};
        if (!get(e)) {
          return false;
        }
        v[i] = std::move(e);
      }
      return true;
    }
  }

  template <class T>
  bool get_elements(T* p, std::size_t n) {
    if constexpr (is_primitive_v<T> && !std::is_same_v<T, bool>) {
      if (n == 0) {
        return true;
      }
      if (!align(sizeof(T)) || (size_ - off_) / sizeof(T) < n) {
        return fail();
      }
      std::memcpy(p, base_ + off_, n * sizeof(T));
      if (swap_) {
        for (std::size_t i = 0; i < n; ++i) {
          p[i] = byteswap(p[i]);
        }
      }
      off_ += n * sizeof(T);
      return true;
    } else {
      for (std::size_t i = 0; i < n; ++i) {
        if (!get(p[i])) {
          return false;
        }
      }
      return true;
    }
  }

  const unsigned char* base_{nullptr};
  std::size_t size_{0};
  std::size_t off_{0};
  bool swap_{false};
  bool ok_{true};
};

// Reads a whole message from a buffer that starts at the encapsulation header.
template <class T>
bool deserialize(const unsigned char* data, std::size_t size, T& out) {
  Reader r(data, size);
  return r.ok() && r.get(out);
}

}  // namespace cdr
}  // namespace ros2_runtime
