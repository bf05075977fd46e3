#include "moorwick_arm_trash_detect/core/statistical_outlier_removal.hpp"

#include <cmath>

#include "moorwick_arm_trash_detect/core/grid_neighbour_search.hpp"

namespace moorwick {

std::vector<std::uint32_t> StatisticalInlierIndices(const pcl::PointCloud<pcl::PointXYZ>& cloud,
                                                    int mean_k, double stddev_mult, int threads) {
  const std::vector<float> distances = KnnMeanDistances(cloud, mean_k, threads);
  int valid = 0;
  for (const auto& p : cloud.points) {
    valid += std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z) ? 1 : 0;
  }
  // PCL's statistics, operation for operation (the square is a float product).
  double sum = 0.0;
  double sq_sum = 0.0;
  for (const float d : distances) {
    sum += d;
    sq_sum += d * d;
  }
  const double mean = sum / static_cast<double>(valid);
  const double variance =
      (sq_sum - sum * sum / static_cast<double>(valid)) / (static_cast<double>(valid) - 1);
  const double threshold = mean + stddev_mult * std::sqrt(variance);
  std::vector<std::uint32_t> kept;
  kept.reserve(distances.size());
  for (std::size_t i = 0; i < distances.size(); ++i) {
    if (!(distances[i] > threshold)) {
      kept.push_back(static_cast<std::uint32_t>(i));
    }
  }
  return kept;
}

void RemoveStatisticalOutliers(pcl::PointCloud<pcl::PointXYZ>& cloud, int mean_k,
                               double stddev_mult, int threads) {
  const std::vector<std::uint32_t> kept =
      StatisticalInlierIndices(cloud, mean_k, stddev_mult, threads);
  if (kept.size() == cloud.size()) {
    return;
  }
  pcl::PointCloud<pcl::PointXYZ>::VectorType points;
  points.reserve(kept.size());
  for (const std::uint32_t i : kept) {
    points.push_back(cloud.points[i]);
  }
  cloud.points = std::move(points);
  cloud.width = static_cast<std::uint32_t>(cloud.points.size());
  cloud.height = 1;
}

}  // namespace moorwick
