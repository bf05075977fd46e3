#include "pcl_conversions/pcl_conversions.h"

#include <cstring>
#include <utility>

#include "moorwick_arm_trash_detect/logging/logger.hpp"
#include "pcl_ros/transforms.hpp"

namespace pcl_conversions {

void toPCL(const builtin_interfaces::msg::Time& stamp, std::uint64_t& pcl_stamp) {
  const std::int64_t ns = static_cast<std::int64_t>(stamp.sec) * 1000000000LL +
                          static_cast<std::int64_t>(stamp.nanosec);
  pcl_stamp = static_cast<std::uint64_t>(ns / 1000);
}

void fromPCL(const std::uint64_t& pcl_stamp, builtin_interfaces::msg::Time& stamp) {
  const std::uint64_t ns = pcl_stamp * 1000ULL;
  stamp.sec = static_cast<std::int32_t>(ns / 1000000000ULL);
  stamp.nanosec = static_cast<std::uint32_t>(ns % 1000000000ULL);
}

void toPCL(const std_msgs::msg::Header& header, pcl::PCLHeader& pcl_header) {
  toPCL(header.stamp, pcl_header.stamp);
  pcl_header.seq = 0;
  pcl_header.frame_id = header.frame_id;
}

void fromPCL(const pcl::PCLHeader& pcl_header, std_msgs::msg::Header& header) {
  fromPCL(pcl_header.stamp, header.stamp);
  header.frame_id = pcl_header.frame_id;
}

namespace {

template <typename FieldFrom, typename FieldTo>
void copyFields(const std::vector<FieldFrom>& from, std::vector<FieldTo>& to) {
  to.clear();
  to.reserve(from.size());
  for (const auto& f : from) {
    FieldTo out;
    out.name = f.name;
    out.offset = f.offset;
    out.datatype = f.datatype;
    out.count = f.count;
    to.push_back(out);
  }
}

template <typename From, typename To>
void copyMetadata(const From& from, To& to) {
  to.height = from.height;
  to.width = from.width;
  copyFields(from.fields, to.fields);
  to.is_bigendian = from.is_bigendian;
  to.point_step = from.point_step;
  to.row_step = from.row_step;
  to.is_dense = from.is_dense;
}

bool hostIsBigEndian() {
  const std::uint16_t probe = 1;
  std::uint8_t first;
  std::memcpy(&first, &probe, 1);
  return first == 0;
}

std::uint32_t datatypeSize(std::uint8_t datatype) {
  switch (datatype) {
    case 1:  // INT8
    case 2:  // UINT8
      return 1;
    case 3:  // INT16
    case 4:  // UINT16
      return 2;
    case 5:  // INT32
    case 6:  // UINT32
    case 7:  // FLOAT32
      return 4;
    case 8:  // FLOAT64
      return 8;
    default:
      return 0;
  }
}

}  // namespace

void fromPCL(const pcl::PCLPointCloud2& pcl_pc2, sensor_msgs::msg::PointCloud2& pc2) {
  fromPCL(pcl_pc2.header, pc2.header);
  copyMetadata(pcl_pc2, pc2);
  pc2.data = pcl_pc2.data;
}

void moveFromPCL(pcl::PCLPointCloud2& pcl_pc2, sensor_msgs::msg::PointCloud2& pc2) {
  fromPCL(pcl_pc2.header, pc2.header);
  copyMetadata(pcl_pc2, pc2);
  pc2.data.swap(pcl_pc2.data);
}

void toPCL(const sensor_msgs::msg::PointCloud2& pc2, pcl::PCLPointCloud2& pcl_pc2) {
  toPCL(pc2.header, pcl_pc2.header);
  copyMetadata(pc2, pcl_pc2);
  pcl_pc2.data = pc2.data;
}

void moveToPCL(sensor_msgs::msg::PointCloud2& pc2, pcl::PCLPointCloud2& pcl_pc2) {
  toPCL(pc2.header, pcl_pc2.header);
  copyMetadata(pc2, pcl_pc2);
  pcl_pc2.data.swap(pc2.data);
}

std::string checkPointCloud2(const sensor_msgs::msg::PointCloud2& pc2) {
  const std::uint64_t points = static_cast<std::uint64_t>(pc2.width) * pc2.height;
  if (points == 0) {
    return pc2.data.empty()
               ? std::string()
               : "PointCloud2 has no points but " + std::to_string(pc2.data.size()) + " data bytes";
  }
  if (static_cast<std::uint64_t>(pc2.point_step) * pc2.width > pc2.row_step) {
    return "PointCloud2 row_step " + std::to_string(pc2.row_step) + " < width " +
           std::to_string(pc2.width) + " * point_step " + std::to_string(pc2.point_step);
  }
  if (static_cast<std::uint64_t>(pc2.row_step) * pc2.height != pc2.data.size()) {
    return "PointCloud2 height " + std::to_string(pc2.height) + " * row_step " +
           std::to_string(pc2.row_step) + " != data size " + std::to_string(pc2.data.size());
  }
  for (const auto& f : pc2.fields) {
    const std::uint32_t size = datatypeSize(f.datatype);
    if (size == 0) {
      return "PointCloud2 field '" + f.name + "' has unknown datatype " +
             std::to_string(f.datatype);
    }
    const std::uint64_t end =
        f.offset + static_cast<std::uint64_t>(size) * (f.count == 0 ? 1 : f.count);
    if (end > pc2.point_step) {
      return "PointCloud2 field '" + f.name + "' ends at byte " + std::to_string(end) +
             " beyond point_step " + std::to_string(pc2.point_step);
    }
  }
  if (static_cast<bool>(pc2.is_bigendian) != hostIsBigEndian()) {
    return "PointCloud2 byte order differs from this host's";
  }
  return {};
}

namespace detail {
void reportMalformed(const std::string& what) {
  LOG_ERROR("fromROSMsg: malformed point cloud, returning an empty cloud: {}", what);
}
}  // namespace detail

}  // namespace pcl_conversions

namespace pcl_ros {

bool transformPointCloud(const Eigen::Matrix4f& transform, const sensor_msgs::msg::PointCloud2& in,
                         sensor_msgs::msg::PointCloud2& out) {
  const std::string fault = pcl_conversions::checkPointCloud2(in);
  if (!fault.empty()) {
    LOG_ERROR("transformPointCloud: {}", fault);
    return false;
  }
  int offsets[3] = {-1, -1, -1};
  const char* names[3] = {"x", "y", "z"};
  for (const auto& f : in.fields) {
    for (int k = 0; k < 3; ++k) {
      if (f.name == names[k] && f.datatype == 7) {
        offsets[k] = static_cast<int>(f.offset);
      }
    }
  }
  if (offsets[0] < 0 || offsets[1] < 0 || offsets[2] < 0) {
    LOG_ERROR("transformPointCloud: cloud has no float32 x, y and z fields");
    return false;
  }
  sensor_msgs::msg::PointCloud2 result = in;
  for (std::uint32_t r = 0; r < in.height; ++r) {
    for (std::uint32_t c = 0; c < in.width; ++c) {
      std::uint8_t* p = result.data.data() + static_cast<std::size_t>(r) * in.row_step +
                        static_cast<std::size_t>(c) * in.point_step;
      float xyz[3];
      for (int k = 0; k < 3; ++k) {
        std::memcpy(&xyz[k], p + offsets[k], sizeof(float));
      }
      const Eigen::Vector4f moved = transform * Eigen::Vector4f(xyz[0], xyz[1], xyz[2], 1.0f);
      for (int k = 0; k < 3; ++k) {
        std::memcpy(p + offsets[k], &moved[k], sizeof(float));
      }
    }
  }
  out = std::move(result);
  return true;
}

}  // namespace pcl_ros
