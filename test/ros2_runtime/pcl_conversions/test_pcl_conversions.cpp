// PointCloud2 <-> PCL round trips and layouts, with byte positions worked out by hand.
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

void PutFloat(std::vector<std::uint8_t>& data, std::size_t offset, float f) {
  std::memcpy(data.data() + offset, &f, sizeof(f));
}

sensor_msgs::msg::PointField Field(const char* name, std::uint32_t offset) {
  sensor_msgs::msg::PointField f;
  f.name = name;
  f.offset = offset;
  f.datatype = sensor_msgs::msg::PointField::FLOAT32;
  f.count = 1;
  return f;
}

// A 2x2 organised cloud, fields in the given order, packed at 4-byte steps (point_step 12).
sensor_msgs::msg::PointCloud2 Packed(const char* first, const char* second, const char* third) {
  sensor_msgs::msg::PointCloud2 m;
  m.height = 2;
  m.width = 2;
  m.fields = {Field(first, 0), Field(second, 4), Field(third, 8)};
  m.point_step = 12;
  m.row_step = 24;
  m.data.resize(48);
  m.is_dense = true;
  // Point k has (first, second, third) = (k, 10 k, 100 k).
  for (int k = 0; k < 4; ++k) {
    PutFloat(m.data, 12 * k + 0, static_cast<float>(k));
    PutFloat(m.data, 12 * k + 4, static_cast<float>(10 * k));
    PutFloat(m.data, 12 * k + 8, static_cast<float>(100 * k));
  }
  return m;
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
  EXPECT_EQ(msg.header.frame_id, "arm_base_link");
  EXPECT_EQ(msg.header.stamp.sec, 1234567890);
  EXPECT_EQ(msg.header.stamp.nanosec, 123456000u);
  EXPECT_EQ(msg.height, 1u);
  EXPECT_EQ(msg.width, 3u);
  EXPECT_EQ(msg.point_step, 16u);
  EXPECT_EQ(msg.row_step, 48u);
  EXPECT_EQ(msg.data.size(), 48u);
  EXPECT_FALSE(msg.is_dense);
  EXPECT_FALSE(msg.is_bigendian);
  ASSERT_EQ(msg.fields.size(), 3u);
  const char* names[3] = {"x", "y", "z"};
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(msg.fields[k].name, names[k]);
    EXPECT_EQ(msg.fields[k].offset, 4u * k);
    EXPECT_EQ(msg.fields[k].datatype, sensor_msgs::msg::PointField::FLOAT32);
    EXPECT_EQ(msg.fields[k].count, 1u);
  }
  // Second point starts at byte 16: x -4.5, z 1000 at 16 + 8.
  EXPECT_FLOAT_EQ(FloatAt(msg.data, 16), -4.5f);
  EXPECT_FLOAT_EQ(FloatAt(msg.data, 24), 1000.0f);
  EXPECT_FLOAT_EQ(FloatAt(msg.data, 32 + 4), -0.5f);

  pcl::PointCloud<pcl::PointXYZ> back;
  pcl::fromROSMsg(msg, back);
  ASSERT_EQ(back.size(), 3u);
  EXPECT_EQ(back.width, 3u);
  EXPECT_EQ(back.height, 1u);
  EXPECT_FALSE(back.is_dense);
  EXPECT_EQ(back.header.frame_id, "arm_base_link");
  EXPECT_EQ(back.header.stamp, 1234567890123456ULL);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(back[i].getVector3fMap(), cloud[i].getVector3fMap()) << i;
  }
}

TEST(PclConversions, FromRosMsgMapsFieldsByName) {
  struct Case {
    const char* order[3];
    // Which of (k, 10k, 100k) ends up in x, y, z.
    int x_scale, y_scale, z_scale;
  };
  const Case cases[] = {
      {{"x", "y", "z"}, 1, 10, 100},
      {{"z", "x", "y"}, 10, 100, 1},
  };
  for (const auto& c : cases) {
    pcl::PointCloud<pcl::PointXYZ> cloud;
    pcl::fromROSMsg(Packed(c.order[0], c.order[1], c.order[2]), cloud);
    ASSERT_EQ(cloud.size(), 4u);
    EXPECT_EQ(cloud.width, 2u);
    EXPECT_EQ(cloud.height, 2u);
    for (int k = 0; k < 4; ++k) {
      EXPECT_FLOAT_EQ(cloud[k].x, static_cast<float>(c.x_scale * k));
      EXPECT_FLOAT_EQ(cloud[k].y, static_cast<float>(c.y_scale * k));
      EXPECT_FLOAT_EQ(cloud[k].z, static_cast<float>(c.z_scale * k));
    }
  }
}

TEST(PclConversions, MalformedMessagesGiveEmptyClouds) {
  std::vector<std::pair<const char*, sensor_msgs::msg::PointCloud2>> cases;
  auto short_data = Packed("x", "y", "z");
  short_data.data.resize(40);
  cases.emplace_back("data shorter than height * row_step", short_data);
  auto narrow_rows = Packed("x", "y", "z");
  narrow_rows.row_step = 20;
  cases.emplace_back("row_step < width * point_step", narrow_rows);
  auto field_outside = Packed("x", "y", "z");
  field_outside.fields[2].offset = 10;
  cases.emplace_back("field beyond point_step", field_outside);
  auto foreign = Packed("x", "y", "z");
  foreign.is_bigendian = true;
  cases.emplace_back("foreign byte order", foreign);
  for (const auto& c : cases) {
    pcl::PointCloud<pcl::PointXYZ> cloud;
    cloud.push_back(pcl::PointXYZ(9, 9, 9));
    EXPECT_FALSE(pcl_conversions::checkPointCloud2(c.second).empty()) << c.first;
    pcl::fromROSMsg(c.second, cloud);
    EXPECT_TRUE(cloud.empty()) << c.first;
    EXPECT_EQ(cloud.width, 0u) << c.first;
  }
  EXPECT_TRUE(pcl_conversions::checkPointCloud2(Packed("x", "y", "z")).empty());
}

}  // namespace
