#include "moorwick_arm_trash_detect/core/trash_cloud.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "moorwick_arm_trash_detect/core/mask_points.hpp"
#include "moorwick_arm_trash_detect/logging/logger.hpp"

namespace moorwick {
namespace {

constexpr bool kHostBigEndian = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;

// Bytes per depth sample of a supported encoding, 0 for any other.
std::size_t SampleSize(const std::string& encoding) {
  if (encoding == "16UC1") {
    return 2;
  }
  if (encoding == "32FC1") {
    return 4;
  }
  return 0;
}

// Depth in metres of the sample at (u, v); the caller keeps (u, v) inside the image.
float DepthAt(const DepthImageView& depth, std::size_t sample_size, int u, int v) {
  const std::uint8_t* sample = depth.data + static_cast<std::size_t>(v) * depth.step +
                               static_cast<std::size_t>(u) * sample_size;
  std::uint8_t bytes[4];
  std::memcpy(bytes, sample, sample_size);
  if (depth.is_bigendian != kHostBigEndian) {
    for (std::size_t i = 0; i < sample_size / 2; ++i) {
      std::swap(bytes[i], bytes[sample_size - 1 - i]);
    }
  }
  if (sample_size == 2) {
    std::uint16_t millimetres = 0;
    std::memcpy(&millimetres, bytes, sizeof(millimetres));
    return static_cast<float>(static_cast<double>(millimetres) / 1000.0);
  }
  float metres = 0.0F;
  std::memcpy(&metres, bytes, sizeof(metres));
  return metres;
}

}  // namespace

const char* DescribeTrashCloudStatus(TrashCloudStatus status) {
  switch (status) {
    case TrashCloudStatus::kOk:
      return "ok";
    case TrashCloudStatus::kUnsupportedEncoding:
      return "depth image encoding is neither 16UC1 nor 32FC1";
    case TrashCloudStatus::kNoCloud:
      return "no cloud to fill";
    case TrashCloudStatus::kBadDepthBuffer:
      return "depth image buffer is shorter than its width, height and step say";
    case TrashCloudStatus::kMaskSizeMismatch:
      return "detection mask is not an 8-bit image of the depth image's size";
  }
  return "unknown status";
}

TrashCloudStatus CheckDepthBuffer(const DepthImageView& depth) {
  const std::size_t sample_size = SampleSize(depth.encoding);
  if (sample_size == 0) {
    return TrashCloudStatus::kOk;
  }
  const auto row_bytes = static_cast<unsigned long long>(depth.width) * sample_size;
  const auto needed = static_cast<unsigned long long>(depth.step) * depth.height;
  if (depth.height > 0 && depth.width > 0 &&
      (depth.data == nullptr || depth.step < row_bytes || depth.size_bytes < needed)) {
    return TrashCloudStatus::kBadDepthBuffer;
  }
  return TrashCloudStatus::kOk;
}

TrashCloudStatus GetTrashCloud(const DepthImageView& depth, const CameraParams& intrinsics,
                               const TrashCloudParams& params, ai_moor::model::SegObject& obj,
                               const pcl::PointCloud<pcl::PointXYZ>::Ptr& cloud,
                               bool& is_transparent) {
  if (!cloud) {
    return TrashCloudStatus::kNoCloud;
  }
  cloud->points.clear();
  cloud->width = 0;
  cloud->height = 0;
  LOG_DEBUG("msg_depth->encoding: {}", depth.encoding);

  const std::size_t sample_size = SampleSize(depth.encoding);
  if (sample_size == 0) {
    LOG_ERROR("Input depth image encoding: {} is not fit yet", depth.encoding);
    return TrashCloudStatus::kUnsupportedEncoding;
  }
  if (const TrashCloudStatus status = CheckDepthBuffer(depth); status != TrashCloudStatus::kOk) {
    return status;
  }
  // The mask walk stays inside the mask; the mask has to cover the depth image
  // pixel for pixel for the samples to be read inside it too.
  if (obj.mask.empty() || obj.mask.type() != CV_8UC1 ||
      static_cast<std::uint32_t>(obj.mask.cols) != depth.width ||
      static_cast<std::uint32_t>(obj.mask.rows) != depth.height) {
    return TrashCloudStatus::kMaskSizeMismatch;
  }

  const std::vector<cv::Point> mask_points =
      getMaskPoints(obj.mask, obj.rect, params.mask_erosion_size, params.erode_box_only);

  const int x0 = TruncToInt(obj.rect.x);
  const int y0 = TruncToInt(obj.rect.y);
  std::size_t null_count = 0;
  cloud->points.reserve(mask_points.size());
  for (const auto& point : mask_points) {
    const int u = x0 + point.x;
    const int v = y0 + point.y;
    const float z = DepthAt(depth, sample_size, u, v);
    pcl::PointXYZ p;
    p.x = (static_cast<float>(u) - intrinsics.cx) * z / intrinsics.fx;
    p.y = (static_cast<float>(v) - intrinsics.cy) * z / intrinsics.fy;
    p.z = z;
    // Zero, negative, NaN or Inf: no depth for this pixel; a depth so large
    // that the point overflows is no better.
    if (z > 0.0F && std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z)) {
      cloud->points.push_back(p);
    } else {
      ++null_count;
    }
  }
  cloud->width = static_cast<std::uint32_t>(cloud->points.size());
  cloud->height = cloud->points.empty() ? 0 : 1;

  const float null_ratio =
      mask_points.empty() ? std::numeric_limits<float>::quiet_NaN()
                          : static_cast<float>(null_count) / static_cast<float>(mask_points.size());
  LOG_INFO("null_count: {} / mask_points.size: {} = null_ratio: {:.3f}", null_count,
           mask_points.size(), null_ratio);
  const float hw_ratio = obj.rect.height / obj.rect.width;
  LOG_INFO("obj.rect.height: {} / obj.rect.width: {} = hw_ratio: {:.3f}", obj.rect.height,
           obj.rect.width, hw_ratio);

  // Clear plastic returns little depth; an upright box tells a bottle from a
  // flat piece lying in shadow.
  if (null_ratio > params.null_ratio_threshold && hw_ratio > params.hw_ratio_threshold) {
    is_transparent = true;
    LOG_INFO("is_transparent: {}, null_ratio_threshold_: {}, hw_ratio_threshold_: {}",
             is_transparent, params.null_ratio_threshold, params.hw_ratio_threshold);
  } else {
    is_transparent = false;
  }
  return TrashCloudStatus::kOk;
}

}  // namespace moorwick
