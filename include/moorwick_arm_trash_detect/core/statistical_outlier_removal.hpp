// Statistical outlier removal on the grid neighbour search: keeps the same
// points as PCL's StatisticalOutlierRemoval, in their original order.
#pragma once

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <cstdint>
#include <vector>

namespace moorwick {

// Indices of the points StatisticalOutlierRemoval (not negative) keeps: mean
// distance not above mean + stddev_mult * stddev over the finite points.
std::vector<std::uint32_t> StatisticalInlierIndices(const pcl::PointCloud<pcl::PointXYZ>& cloud,
                                                    int mean_k, double stddev_mult,
                                                    int threads = 2);

// Replaces `cloud` by its statistical inliers, in their original order.
void RemoveStatisticalOutliers(pcl::PointCloud<pcl::PointXYZ>& cloud, int mean_k,
                               double stddev_mult, int threads = 2);

}  // namespace moorwick
