// Depth images laid out byte by byte as a camera driver would send them, with
// optional row padding and either byte order.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "moorwick_arm_trash_detect/core/trash_cloud.hpp"

namespace moorwick::test {

class DepthImage {
public:
  // value(u, v) gives the sample; padding bytes after each row hold 0xAB.
  static DepthImage Mm16(std::uint32_t width, std::uint32_t height,
                         const std::function<std::uint16_t(int, int)>& value,
                         std::uint32_t padding = 0, bool big_endian = false) {
    return DepthImage("16UC1", width, height, 2, padding, big_endian, value);
  }

  static DepthImage Metres32(std::uint32_t width, std::uint32_t height,
                             const std::function<float(int, int)>& value, std::uint32_t padding = 0,
                             bool big_endian = false) {
    return DepthImage("32FC1", width, height, 4, padding, big_endian, [&](int u, int v) {
      std::uint32_t bits = 0;
      const float sample = value(u, v);
      std::memcpy(&bits, &sample, sizeof(bits));
      return bits;
    });
  }

  DepthImageView View() const {
    return {bytes_.data(), bytes_.size(), width_, height_, step_, encoding_, big_endian_};
  }

private:
  // Each sample is the low sample_size bytes of bits(u, v), in the image's byte order.
  DepthImage(const char* encoding, std::uint32_t width, std::uint32_t height,
             std::uint32_t sample_size, std::uint32_t padding, bool big_endian,
             const std::function<std::uint32_t(int, int)>& bits)
      : encoding_(encoding),
        width_(width),
        height_(height),
        step_(width * sample_size + padding),
        big_endian_(big_endian),
        bytes_(static_cast<std::size_t>(step_) * height, 0xAB) {
    for (std::uint32_t v = 0; v < height; ++v) {
      for (std::uint32_t u = 0; u < width; ++u) {
        std::uint8_t* sample =
            bytes_.data() + static_cast<std::size_t>(v) * step_ + u * sample_size;
        const std::uint32_t value = bits(static_cast<int>(u), static_cast<int>(v));
        for (std::uint32_t i = 0; i < sample_size; ++i) {
          sample[i] =
              static_cast<std::uint8_t>(value >> 8 * (big_endian ? sample_size - 1 - i : i));
        }
      }
    }
  }

  const char* encoding_;
  std::uint32_t width_;
  std::uint32_t height_;
  std::uint32_t step_;
  bool big_endian_;
  std::vector<std::uint8_t> bytes_;
};

}  // namespace moorwick::test
