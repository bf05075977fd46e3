// PCL to PointCloud2, the node's output path, with byte positions worked out by hand.
#include <gtest/gtest.h>

#include <pcl/point_types.h>
#include <cstring>
#include <vector>

#include "pcl_conversions/pcl_conversions.h"

namespace {

float FloatAt(const std::vector<std::uint8_t>& data, std::size_t offset) {
  float f;
  std::memcpy(&f, data.data() + offset, sizeof(f));
  return f;
}

TEST(PclConversions, ToRosMsgUsesPclLayoutAndStamps) {
  pcl::PointCloud<pcl::PointXYZ> cloud;
  cloud.push_back(pcl::PointXYZ(1, 2, 3));
  cloud.push_back(pcl::PointXYZ(-4.5f, 0, 1000));
  cloud.push_back(pcl::PointXYZ(0.25f, -0.5f, 7));
  cloud.is_dense = false;
  cloud.header.frame_id = "arm_base_link";
  cloud.header.stamp = 1234567890123456ULL;  // microseconds

  sensor_msgs::msg::PointCloud2 msg;
  pcl::toROSMsg(cloud, msg);
  EXPECT_EQ(msg.header, (std_msgs::msg::Header{{1234567890, 123456000u}, "arm_base_link"}));
  EXPECT_EQ(msg.height, 1u);
  EXPECT_EQ(msg.width, 3u);
  EXPECT_EQ(msg.point_step, 16u);
  EXPECT_EQ(msg.row_step, 48u);
  EXPECT_EQ(msg.data.size(), 48u);
  EXPECT_FALSE(msg.is_dense);
  EXPECT_FALSE(msg.is_bigendian);
  const std::uint8_t f32 = sensor_msgs::msg::PointField::FLOAT32;
  EXPECT_EQ(msg.fields, (std::vector<sensor_msgs::msg::PointField>{
                            {"x", 0, f32, 1}, {"y", 4, f32, 1}, {"z", 8, f32, 1}}));
  // Point i starts at byte 16 i, its x, y, z 4 bytes apart; 4 bytes of padding follow.
  for (std::size_t i = 0; i < 3; ++i) {
    for (std::size_t k = 0; k < 3; ++k) {
      EXPECT_FLOAT_EQ(FloatAt(msg.data, 16 * i + 4 * k), cloud[i].data[k]) << i << ", " << k;
    }
  }
}

}  // namespace
