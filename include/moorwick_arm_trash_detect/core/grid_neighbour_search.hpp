// Exact k-nearest-neighbour mean distances on a uniform grid, the statistic
// PCL's StatisticalOutlierRemoval computes with a kd-tree, reproduced to the
// last bit of its float arithmetic.
#pragma once

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <vector>

namespace moorwick {

// Mean distance of every point to its `mean_k` nearest neighbours (the point
// itself excluded), as StatisticalOutlierRemoval computes it. Non-finite points
// get 0 and take no part in the neighbour search. `threads` > 1 splits the
// queries; the result does not depend on the split.
std::vector<float> KnnMeanDistances(const pcl::PointCloud<pcl::PointXYZ>& cloud, int mean_k,
                                    int threads = 2);

}  // namespace moorwick
