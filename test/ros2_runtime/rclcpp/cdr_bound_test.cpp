// Hostile sequence counts must not make the CDR reader allocate much more
// than the sample it reads. Every heap allocation of this binary is counted
// (replaced operator new), so the peak during one deserialize is measured.
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <ostream>
#include <string>
#include <vector>

#include "ros2_runtime/cdr.hpp"
#include "sensor_msgs/msg/point_cloud2.hpp"
#include "tf2_msgs/msg/tf_message.hpp"
#include "visualization_msgs/msg/marker_array.hpp"

namespace {
std::atomic<std::size_t> g_live{0};
std::atomic<std::size_t> g_peak{0};

void* counted_alloc(std::size_t n) {
  void* p = std::malloc(n == 0 ? 1 : n);
  if (p == nullptr) {
    throw std::bad_alloc();
  }
  const std::size_t now = g_live += malloc_usable_size(p);
  std::size_t peak = g_peak.load();
  while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
  }
  return p;
}
void counted_free(void* p) {
  if (p != nullptr) {
    g_live -= malloc_usable_size(p);
    std::free(p);
  }
}
}  // namespace

void* operator new(std::size_t n) {
  return counted_alloc(n);
}
void* operator new[](std::size_t n) {
  return counted_alloc(n);
}
void operator delete(void* p) noexcept {
  counted_free(p);
}
void operator delete[](void* p) noexcept {
  counted_free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  counted_free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  counted_free(p);
}

namespace {

constexpr std::size_t kSampleSize = 64 * 1024;

// Encapsulation header, `prefix` (the members before the hostile sequence),
// the sequence count, then zeros up to kSampleSize.
std::vector<unsigned char> hostile(std::size_t prefix, std::uint32_t count) {
  std::vector<unsigned char> b(kSampleSize, 0);
  b[1] = 1;  // little endian
  std::memcpy(b.data() + 4 + prefix, &count, 4);
  return b;
}

struct Case {
  const char* name;
  std::size_t prefix;    // body bytes before the count
  std::size_t min_elem;  // fewest wire bytes of one element
  bool (*decode)(const std::vector<unsigned char>&);
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

template <class T>
bool decode(const std::vector<unsigned char>& b) {
  T msg;
  return ros2_runtime::cdr::deserialize(b.data(), b.size(), msg);
}

// Peak bytes allocated while decoding `b`, above what was live before.
std::size_t peak_during(const Case& c, const std::vector<unsigned char>& b) {
  const std::size_t base = g_live.load();
  g_peak = base;
  c.decode(b);
  return g_peak.load() - base;
}

class CdrBoundTest : public ::testing::TestWithParam<Case> {};

TEST_P(CdrBoundTest, PeakAllocationStaysASmallMultipleOfTheSample) {
  const Case& c = GetParam();
  const std::size_t left = kSampleSize - 4 - c.prefix - 4;
  // What the reader used to accept (one element per remaining byte), and the
  // largest count whose elements could still fit.
  const std::uint32_t counts[] = {static_cast<std::uint32_t>(left),
                                  static_cast<std::uint32_t>(left / c.min_elem)};
  for (const std::uint32_t n : counts) {
    const std::size_t peak = peak_during(c, hostile(c.prefix, n));
    EXPECT_LE(peak, 4 * kSampleSize) << c.name << " count " << n << ": " << peak
                                     << " bytes allocated for a " << kSampleSize << "-byte sample";
  }
  // One more element than fits is refused before anything is allocated.
  EXPECT_FALSE(c.decode(hostile(c.prefix, static_cast<std::uint32_t>(left / c.min_elem + 1))));
  EXPECT_EQ(peak_during(c, hostile(c.prefix, static_cast<std::uint32_t>(left / c.min_elem + 1))),
            0u);
}

using ros2_runtime::cdr::min_wire_size;
INSTANTIATE_TEST_SUITE_P(
    Hostile, CdrBoundTest,
    ::testing::Values(
        // transforms: the count is the first member.
        Case{"TFMessage", 0, min_wire_size<geometry_msgs::msg::TransformStamped>(),
             decode<tf2_msgs::msg::TFMessage>},
        // fields: after stamp (8), empty frame_id (4), height, width (8).
        Case{"PointCloud2", 20, min_wire_size<sensor_msgs::msg::PointField>(),
             decode<sensor_msgs::msg::PointCloud2>},
        Case{"MarkerArray", 0, min_wire_size<visualization_msgs::msg::Marker>(),
             decode<visualization_msgs::msg::MarkerArray>}),
    [](const auto& info) { return std::string(info.param.name); });

// The minimum sizes the bound rests on, from the Humble definitions.
TEST(CdrMinWireSize, MatchesTheMessageDefinitions) {
  // Header: stamp 8 + frame_id 4; child_frame_id 4; Transform 7 doubles.
  EXPECT_EQ(min_wire_size<geometry_msgs::msg::TransformStamped>(), 12u + 4u + 56u);
  // name 4, offset 4, datatype 1, count 4.
  EXPECT_EQ(min_wire_size<sensor_msgs::msg::PointField>(), 13u);
}

}  // namespace
