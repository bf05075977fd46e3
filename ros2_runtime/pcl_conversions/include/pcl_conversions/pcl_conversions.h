// PCL <-> sensor_msgs/PointCloud2, with PCL's own field layout (PointXYZ: x, y, z float32 at
// 0, 4, 8, point_step 16). Stamps: PCL keeps microseconds, ROS seconds + nanoseconds.
#pragma once

#include <pcl/PCLHeader.h>
#include <pcl/PCLPointCloud2.h>
#include <pcl/conversions.h>
#include <pcl/point_cloud.h>
#include <cstdint>
#include <string>

#include "builtin_interfaces/msg/time.hpp"
#include "sensor_msgs/msg/point_cloud2.hpp"
#include "std_msgs/msg/header.hpp"

namespace pcl_conversions {

void toPCL(const builtin_interfaces::msg::Time& stamp, std::uint64_t& pcl_stamp);
void fromPCL(const std::uint64_t& pcl_stamp, builtin_interfaces::msg::Time& stamp);
void toPCL(const std_msgs::msg::Header& header, pcl::PCLHeader& pcl_header);
void fromPCL(const pcl::PCLHeader& pcl_header, std_msgs::msg::Header& header);

void fromPCL(const pcl::PCLPointCloud2& pcl_pc2, sensor_msgs::msg::PointCloud2& pc2);
void moveFromPCL(pcl::PCLPointCloud2& pcl_pc2, sensor_msgs::msg::PointCloud2& pc2);
void toPCL(const sensor_msgs::msg::PointCloud2& pc2, pcl::PCLPointCloud2& pcl_pc2);
void moveToPCL(sensor_msgs::msg::PointCloud2& pc2, pcl::PCLPointCloud2& pcl_pc2);

// Empty when the message's sizes, steps and field layout agree with each other and with the
// data and the host byte order; otherwise a text saying what is wrong.
std::string checkPointCloud2(const sensor_msgs::msg::PointCloud2& pc2);

namespace detail {
void reportMalformed(const std::string& what);
}  // namespace detail

}  // namespace pcl_conversions

namespace pcl {

// A malformed message is reported once per call in the log and gives an empty cloud.
template <typename T>
void fromROSMsg(const sensor_msgs::msg::PointCloud2& cloud, pcl::PointCloud<T>& pcl_cloud) {
  const std::string fault = pcl_conversions::checkPointCloud2(cloud);
  if (!fault.empty()) {
    pcl_conversions::detail::reportMalformed(fault);
    pcl_cloud.clear();
    pcl_cloud.width = 0;
    pcl_cloud.height = 0;
    pcl_conversions::toPCL(cloud.header, pcl_cloud.header);
    return;
  }
  pcl::PCLPointCloud2 pcl_pc2;
  pcl_conversions::toPCL(cloud, pcl_pc2);
  pcl::fromPCLPointCloud2(pcl_pc2, pcl_cloud);
}

template <typename T>
void toROSMsg(const pcl::PointCloud<T>& pcl_cloud, sensor_msgs::msg::PointCloud2& cloud) {
  pcl::PCLPointCloud2 pcl_pc2;
  pcl::toPCLPointCloud2(pcl_cloud, pcl_pc2);
  pcl_conversions::moveFromPCL(pcl_pc2, cloud);
}

}  // namespace pcl
