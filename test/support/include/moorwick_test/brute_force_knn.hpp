// Mean neighbour distances by brute force with PCL's arithmetic (float squared
// distances x, y, z in order; double roots summed nearest first, without the
// query itself; divided by mean_k). The reference the fast outlier filter is
// held to, bit for bit; header-only so the clang fuzz build can use it too.
#pragma once

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace moorwick_test {

inline std::vector<float> BruteForceMeanDistances(const pcl::PointCloud<pcl::PointXYZ>& c,
                                                  int mean_k) {
  const auto finite = [](const pcl::PointXYZ& p) {
    return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
  };
  std::vector<float> out(c.size(), 0.0F);
  std::vector<float> d;
  for (std::size_t i = 0; i < c.size(); ++i) {
    if (!finite(c[i])) {
      continue;
    }
    d.clear();
    for (const auto& p : c.points) {
      if (finite(p)) {
        const float dx = c[i].x - p.x;
        const float dy = c[i].y - p.y;
        const float dz = c[i].z - p.z;
        float r = 0.0F;
        r += dx * dx;
        r += dy * dy;
        r += dz * dz;
        d.push_back(r);
      }
    }
    const std::size_t found = std::min(d.size(), static_cast<std::size_t>(mean_k) + 1);
    std::partial_sort(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(found), d.end());
    double sum = 0.0;
    for (std::size_t j = 1; j < found; ++j) {
      sum += std::sqrt(static_cast<double>(d[j]));
    }
    out[i] = static_cast<float>(sum / mean_k);
  }
  return out;
}

}  // namespace moorwick_test
