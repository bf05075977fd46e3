// Wire encoding of the generated messages: the node's own messages, big-endian
// peers and hostile input.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <limits>
#include <vector>

#include "geometry_msgs/msg/point.hpp"
#include "moorwick_arm_trash_detect/core/records.hpp"
#include "moorwick_protocol/msg/grab_trash_cloud.hpp"
#include "moorwick_protocol/msg/trash_info.hpp"
#include "moorwick_protocol/srv/arm_trash_pose.hpp"
#include "ros2_runtime/cdr.hpp"
#include "ros2_runtime/type_support.hpp"
#include "sensor_msgs/msg/image.hpp"
#include "sensor_msgs/msg/point_cloud2.hpp"
#include "std_msgs/msg/header.hpp"

namespace cdr = ros2_runtime::cdr;
using Bytes = std::vector<unsigned char>;

// The service record and the pipeline's record share one layout, so the
// service copies records whole.
using TrashInfoMsg = moorwick_protocol::msg::TrashInfo;
static_assert(sizeof(TrashInfoMsg) == sizeof(moorwick::TrashInfo), "TrashInfo size");
static_assert(std::is_standard_layout_v<TrashInfoMsg>, "TrashInfo layout");
static_assert(std::is_trivially_copyable_v<TrashInfoMsg>, "TrashInfo copy");
static_assert(offsetof(TrashInfoMsg, class_id) == offsetof(moorwick::TrashInfo, class_id));
static_assert(offsetof(TrashInfoMsg, main_axis_type) ==
              offsetof(moorwick::TrashInfo, main_axis_type));
static_assert(offsetof(TrashInfoMsg, map_pose) == offsetof(moorwick::TrashInfo, map_pose));
static_assert(offsetof(TrashInfoMsg, arm_pose) == offsetof(moorwick::TrashInfo, arm_pose));
static_assert(offsetof(TrashInfoMsg, obb_pose) == offsetof(moorwick::TrashInfo, obb_pose));
static_assert(offsetof(TrashInfoMsg, obb_size) == offsetof(moorwick::TrashInfo, obb_size));

namespace {

template <class T>
T round_trip(const T& in) {
  const Bytes b = cdr::serialize(in);
  T out;
  EXPECT_TRUE(cdr::deserialize(b.data(), b.size(), out));
  return out;
}

moorwick_protocol::msg::GrabTrashCloud sample_grab() {
  moorwick_protocol::msg::GrabTrashCloud g;
  g.cam_id = 2;
  g.cam_frame_id = "cam2";
  g.trashes.resize(2);
  g.trashes[0].obb_size = {0.1, 0.2, 0.3};
  g.trashes[0].within_size_range = true;
  g.trashes[0].cloud.height = 1;
  g.trashes[0].cloud.fields.resize(2);
  g.trashes[0].cloud.fields[1].name = "y";
  g.trashes[0].cloud.fields[1].datatype = sensor_msgs::msg::PointField::FLOAT32;
  g.trashes[0].cloud.data.assign(24, 9);
  g.trashes[1].cloud.is_dense = true;
  return g;
}

// The message types the raw Cyclone peer also knows are checked against it in
// interop_test; these two are the node's own.
TEST(Cdr, TheNodesOwnMessagesRoundTrip) {
  const auto g = sample_grab();
  EXPECT_EQ(round_trip(g), g);

  moorwick_protocol::srv::ArmTrashPose::Response res;
  res.trash_info.class_id = 4;
  res.trash_info.obb_size = {1, 2, 3};
  res.error_code = 102200000;
  res.error_msg = "NONE: 无错误";
  EXPECT_EQ(round_trip(res), res);
  EXPECT_EQ(res.trash_info.arm_pose.orientation.w, 1.0);  // Quaternion's default
}

TEST(Cdr, EveryTruncationIsRejectedWithoutReadingPastTheEnd) {
  const Bytes full = cdr::serialize(sample_grab());
  for (size_t len = 0; len < full.size(); ++len) {
    // A copy of exactly `len` bytes, so ASan sees any read past its end.
    std::unique_ptr<unsigned char[]> cut(new unsigned char[len == 0 ? 1 : len]);
    std::memcpy(cut.get(), full.data(), len);
    moorwick_protocol::msg::GrabTrashCloud out;
    // The message ends with a bool (is_dense), so every cut loses real data.
    EXPECT_FALSE(cdr::deserialize(cut.get(), len, out)) << "accepted " << len << " bytes";
  }
}

TEST(Cdr, BadEncapsulationHeadersAreRejected) {
  const Bytes good = cdr::serialize(std_msgs::msg::Header());
  for (const Bytes& hdr : {Bytes{0x00, 0x07, 0, 0}, Bytes{0x01, 0x01, 0, 0}}) {
    Bytes b = good;
    std::copy(hdr.begin(), hdr.end(), b.begin());
    std_msgs::msg::Header out;
    EXPECT_FALSE(cdr::deserialize(b.data(), b.size(), out));
  }
}

TEST(Cdr, BigEndianSamplesAreDecoded) {
  // Header{stamp{sec=0x01020304, nanosec=5}, frame_id="z"} as a big-endian peer sends it.
  const Bytes be = {0x00, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x00,
                    0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x02, 'z',  0x00};
  std_msgs::msg::Header out;
  ASSERT_TRUE(cdr::deserialize(be.data(), be.size(), out));
  EXPECT_EQ(out.stamp.sec, 0x01020304);
  EXPECT_EQ(out.stamp.nanosec, 5u);
  EXPECT_EQ(out.frame_id, "z");

  // float64 members are swapped too.
  Bytes pt = {0x00, 0x00, 0x00, 0x00};
  for (double v : {1.5, -2.0, 1e300}) {
    unsigned char raw[8];
    std::memcpy(raw, &v, 8);
    for (int k = 7; k >= 0; --k) {
      pt.push_back(raw[k]);
    }
  }
  geometry_msgs::msg::Point p;
  ASSERT_TRUE(cdr::deserialize(pt.data(), pt.size(), p));
  EXPECT_EQ(p.x, 1.5);
  EXPECT_EQ(p.y, -2.0);
  EXPECT_EQ(p.z, 1e300);
}

}  // namespace
