// Mask points and the depth cut-out on arbitrary boxes, masks and depth
// images: any encoding, size, step, byte order, truncated buffers and NaN,
// Inf, zero or negative depths.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "fuzz_support.hpp"
#include "moorwick_arm_trash_detect/core/mask_points.hpp"
#include "moorwick_arm_trash_detect/core/trash_cloud.hpp"

namespace {

constexpr int kMaxSide = 64;

float PickFloat(FuzzedDataProvider& in) {
  return moorwick_fuzz::SomeFloat(in, -2.0F * kMaxSide, 2.0F * kMaxSide);
}

// Small deterministic generator: a few input bytes describe a whole image, so
// the parameters after it still come from the input.
struct XorShift {
  std::uint32_t state;
  std::uint32_t Next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  }
};

cv::Mat PickMask(FuzzedDataProvider& in, int rows, int cols) {
  static const int kTypes[] = {CV_8UC1, CV_8UC1, CV_8UC1, CV_8UC3, CV_16UC1, CV_32FC1};
  const int type = in.PickValueInArray(kTypes);
  cv::Mat mask(rows, cols, type, cv::Scalar::all(0));
  if (mask.empty()) {
    return mask;
  }
  // Either a filled block (large enough to be eroded) or scattered pixels.
  if (in.ConsumeBool()) {
    const int r0 = in.ConsumeIntegralInRange(0, rows);
    const int c0 = in.ConsumeIntegralInRange(0, cols);
    const int r1 = in.ConsumeIntegralInRange(r0, rows);
    const int c1 = in.ConsumeIntegralInRange(c0, cols);
    mask(cv::Range(r0, r1), cv::Range(c0, c1)).setTo(cv::Scalar::all(in.ConsumeBool() ? 255 : 1));
  } else if (type == CV_8UC1) {
    XorShift rng{in.ConsumeIntegral<std::uint32_t>() | 1u};
    const std::uint32_t density = in.ConsumeIntegral<std::uint8_t>();
    for (int r = 0; r < rows; ++r) {
      auto* line = mask.ptr<std::uint8_t>(r);
      for (int c = 0; c < cols; ++c) {
        const std::uint32_t x = rng.Next();
        line[c] = (x & 0xFF) < density ? static_cast<std::uint8_t>(x >> 8) : 0;
      }
    }
  }
  return mask;
}

int PickErosion(FuzzedDataProvider& in) {
  static const int kSpecial[] = {
      0, 1, 2, -1, 1000000, std::numeric_limits<int>::max(), std::numeric_limits<int>::min()};
  return in.ConsumeBool() ? in.PickValueInArray(kSpecial) : in.ConsumeIntegralInRange(-3, 8);
}

// Every mask point lies inside the box and, placed at the box corner, inside
// the mask, on a non-zero pixel (after erosion).
void CheckMaskPoints(const std::vector<cv::Point>& points, const cv::Mat& mask,
                     const cv::Rect_<float>& rect) {
  const long long x0 = moorwick::TruncToInt(rect.x);
  const long long y0 = moorwick::TruncToInt(rect.y);
  for (const cv::Point& p : points) {
    const long long u = x0 + p.x;
    const long long v = y0 + p.y;
    FUZZ_CHECK(u >= 0 && v >= 0 && u < mask.cols && v < mask.rows, "point (%d, %d) off the mask",
               p.x, p.y);
    FUZZ_CHECK(p.x >= 0 && p.y >= 0, "point (%d, %d) before the box corner", p.x, p.y);
    FUZZ_CHECK(mask.at<std::uint8_t>(static_cast<int>(v), static_cast<int>(u)) != 0,
               "point (%d, %d) on a zero pixel", p.x, p.y);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const int rows = in.ConsumeIntegralInRange(0, kMaxSide);
  const int cols = in.ConsumeIntegralInRange(0, kMaxSide);
  // Braced lists evaluate left to right: x, y, width, height in input order.
  const cv::Rect_<float> rect{PickFloat(in), PickFloat(in), PickFloat(in), PickFloat(in)};
  const int erosion = PickErosion(in);

  if (in.ConsumeBool()) {
    // getMaskPoints on its own, masks of any type.
    cv::Mat mask = PickMask(in, rows, cols);
    const std::vector<cv::Point> points = moorwick::getMaskPoints(mask, rect, erosion);
    if (mask.type() != CV_8UC1 || mask.empty()) {
      FUZZ_CHECK(points.empty(), "%zu points from an unusable mask", points.size());
    }
    CheckMaskPoints(points, mask, rect);
    return 0;
  }

  // The depth image as a driver might send it.
  static const char* const kEncodings[] = {"16UC1", "32FC1", "mono16", "32FC2",
                                           "",      "16uc1", "8UC1"};
  moorwick::DepthImageView depth;
  depth.encoding = in.PickValueInArray(kEncodings);
  depth.is_bigendian = in.ConsumeBool();
  depth.width = static_cast<std::uint32_t>(cols);
  depth.height = static_cast<std::uint32_t>(rows);
  const std::size_t sample = depth.encoding == "32FC1" ? 4 : 2;
  // Step: exact, padded, too short, or absurd.
  const auto exact = static_cast<std::uint32_t>(cols * sample);
  const int step_kind = in.ConsumeIntegralInRange(0, 3);
  depth.step = step_kind == 0   ? exact
               : step_kind == 1 ? exact + in.ConsumeIntegralInRange(1u, 16u)
               : step_kind == 2 ? in.ConsumeIntegralInRange<std::uint32_t>(0, exact)
                                : in.ConsumeIntegral<std::uint32_t>();
  // Buffer: as long as promised, truncated, or empty.
  const std::size_t promised = static_cast<std::size_t>(
      std::min<std::uint64_t>(static_cast<std::uint64_t>(depth.step) * depth.height, 1u << 20));
  std::size_t length = promised;
  if (in.ConsumeBool()) {
    length = in.ConsumeIntegralInRange<std::size_t>(0, promised);
  }
  // Separate allocation of exactly `length` bytes so ASan sees any overread.
  std::vector<std::uint8_t> buffer(length);
  // Depth values: each sample one of the awkward values, a plausible depth or
  // raw bits, drawn by a generator the input seeds.
  XorShift rng{in.ConsumeIntegral<std::uint32_t>() | 1u};
  const std::uint8_t odd_share = in.ConsumeIntegral<std::uint8_t>();
  const bool raw_bits = in.ConsumeBool();
  for (std::size_t i = 0; i + sample <= buffer.size(); i += sample) {
    const std::uint32_t x = rng.Next();
    std::uint8_t bytes[4];
    if ((x & 0xFF) < odd_share) {
      const float f = moorwick_fuzz::kAwkwardFloats[(x >> 8) % moorwick_fuzz::kAwkwardFloatCount];
      std::memcpy(bytes, &f, 4);
    } else if (raw_bits) {
      std::memcpy(bytes, &x, 4);
    } else {
      const float metres = 0.2F + static_cast<float>((x >> 8) & 0xFFF) / 1000.0F;
      const auto millimetres = static_cast<std::uint16_t>(metres * 1000.0F);
      if (sample == 4) {
        std::memcpy(bytes, &metres, 4);
      } else {
        std::memcpy(bytes, &millimetres, 2);
      }
    }
    if (depth.is_bigendian) {
      std::reverse(bytes, bytes + sample);
    }
    std::memcpy(&buffer[i], bytes, sample);
  }
  depth.data = buffer.empty() ? (in.ConsumeBool() ? nullptr : buffer.data()) : buffer.data();
  depth.size_bytes = buffer.size();

  moorwick::CameraParams intrinsics{300.0F, 300.0F, static_cast<float>(cols) / 2.0F,
                                    static_cast<float>(rows) / 2.0F};
  const bool sane_intrinsics = in.ConsumeBool();
  if (!sane_intrinsics) {
    intrinsics = {PickFloat(in), PickFloat(in), PickFloat(in), PickFloat(in)};
  }
  moorwick::TrashCloudParams params{erosion, PickFloat(in), PickFloat(in)};

  ai_moor::model::SegObject obj;
  obj.rect = rect;
  // Usually the mask fits the depth image; sometimes it does not.
  if (in.ConsumeBool()) {
    obj.mask = PickMask(in, rows, cols);
  } else {
    obj.mask = PickMask(in, in.ConsumeIntegralInRange(0, kMaxSide),
                        in.ConsumeIntegralInRange(0, kMaxSide));
  }
  const bool with_cloud = in.ConsumeIntegralInRange(0, 15) != 0;
  pcl::PointCloud<pcl::PointXYZ>::Ptr cloud;
  if (with_cloud) {
    cloud.reset(new pcl::PointCloud<pcl::PointXYZ>);
    cloud->push_back(pcl::PointXYZ(1.0F, 2.0F, 3.0F));  // stale content must go
  }
  bool transparent = in.ConsumeBool();
  const bool transparent_before = transparent;

  const moorwick::TrashCloudStatus status =
      moorwick::GetTrashCloud(depth, intrinsics, params, obj, cloud, transparent);
  FUZZ_CHECK(moorwick::DescribeTrashCloudStatus(status) != nullptr, "no description");
  if (!with_cloud) {
    FUZZ_CHECK(status == moorwick::TrashCloudStatus::kNoCloud, "status %d without a cloud",
               static_cast<int>(status));
    return 0;
  }
  if (status != moorwick::TrashCloudStatus::kOk) {
    FUZZ_CHECK(cloud->empty(), "%zu points left after status %d", cloud->size(),
               static_cast<int>(status));
    FUZZ_CHECK(transparent == transparent_before, "is_transparent changed on a failure");
    return 0;
  }
  FUZZ_CHECK(cloud->width == cloud->size() && cloud->height == (cloud->empty() ? 0u : 1u),
             "cloud shape %ux%u for %zu points", cloud->width, cloud->height, cloud->size());
  FUZZ_CHECK(cloud->size() <= static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols),
             "%zu points from a %dx%d image", cloud->size(), cols, rows);
  for (const auto& p : cloud->points) {
    // A point always has a positive, finite depth; with sane intrinsics it is
    // finite throughout.
    FUZZ_CHECK(std::isfinite(p.z) && p.z > 0.0F, "point depth %g", static_cast<double>(p.z));
    if (sane_intrinsics) {
      FUZZ_CHECK(std::isfinite(p.x) && std::isfinite(p.y), "point (%g, %g, %g)",
                 static_cast<double>(p.x), static_cast<double>(p.y), static_cast<double>(p.z));
    }
  }
  return 0;
}
