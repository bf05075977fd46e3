// Cutting one detected piece's points out of the registered depth image.
#pragma once

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "ai_moor/model/yolov8_seg.hpp"
#include "moorwick_arm_trash_detect/core/records.hpp"

namespace moorwick {

// The depth image as the node receives it (fields of sensor_msgs/Image); the
// view does not own the pixels.
struct DepthImageView {
  const std::uint8_t* data{nullptr};
  std::size_t size_bytes{0};
  std::uint32_t width{0};
  std::uint32_t height{0};
  std::uint32_t step{0};  // bytes per row, padding included
  std::string encoding;   // "16UC1" (millimetres) or "32FC1" (metres)
  bool is_bigendian{false};
};

// The camera node's settings for the cut-out.
struct TrashCloudParams {
  int mask_erosion_size{0};  // pixels
  float null_ratio_threshold{0.0F};
  float hw_ratio_threshold{0.0F};
  // Erode only the box's part of the mask (nobody looks at the rest).
  bool erode_box_only{false};
};

enum class TrashCloudStatus {
  kOk,
  kUnsupportedEncoding,  // logged by GetTrashCloud itself
  kNoCloud,              // the cloud pointer is empty
  kBadDepthBuffer,       // step shorter than a row, or fewer bytes than step x height
  kMaskSizeMismatch,     // mask is not 8-bit single-channel of the depth image's size
};

// One line for the caller's error log.
const char* DescribeTrashCloudStatus(TrashCloudStatus status);

// Checks that the depth buffer holds `height` rows of `step` bytes, each at
// least `width` samples of the encoding's size. Unknown encodings pass here.
TrashCloudStatus CheckDepthBuffer(const DepthImageView& depth);

// Fills `cloud` (camera optical frame, metres) with the depth of the piece's
// mask pixels and decides whether the piece looks transparent (many pixels
// without depth and an upright box). The mask of `obj` (0/255) is eroded in
// place when large. Zero, negative, NaN and infinite depth count as missing,
// as does a depth so large that its point overflows. On any
// status other than kOk the cloud is left empty and is_transparent unchanged;
// only kUnsupportedEncoding is logged here, the caller reports the others.
[[nodiscard]] TrashCloudStatus GetTrashCloud(const DepthImageView& depth,
                                             const CameraParams& intrinsics,
                                             const TrashCloudParams& params,
                                             ai_moor::model::SegObject& obj,
                                             const pcl::PointCloud<pcl::PointXYZ>::Ptr& cloud,
                                             bool& is_transparent);

}  // namespace moorwick
