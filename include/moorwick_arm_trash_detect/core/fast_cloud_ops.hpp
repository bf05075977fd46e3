// Faster equivalents of the two heavy PCL steps of grab pose estimation:
// statistical outlier removal (exact k-nearest neighbours on a uniform grid)
// and the oriented/axis-aligned boxes of MomentOfInertiaEstimation, computed
// once without the moment-of-inertia and eccentricity sweep. Both reproduce
// PCL 1.13's arithmetic so that the kept points and the boxes are the same.
#pragma once

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <Eigen/Core>
#include <cstdint>
#include <vector>

namespace moorwick {

// Mean distance of every point to its `mean_k` nearest neighbours (the point
// itself excluded), as StatisticalOutlierRemoval computes it. Non-finite points
// get 0 and take no part in the neighbour search. `threads` > 1 splits the
// queries; the result does not depend on the split.
std::vector<float> KnnMeanDistances(const pcl::PointCloud<pcl::PointXYZ>& cloud, int mean_k,
                                    int threads = 2);

// Indices of the points StatisticalOutlierRemoval (not negative) keeps: mean
// distance not above mean + stddev_mult * stddev over the finite points.
std::vector<std::uint32_t> StatisticalInlierIndices(const pcl::PointCloud<pcl::PointXYZ>& cloud,
                                                    int mean_k, double stddev_mult,
                                                    int threads = 2);

// Replaces `cloud` by its statistical inliers, in their original order.
void RemoveStatisticalOutliers(pcl::PointCloud<pcl::PointXYZ>& cloud, int mean_k,
                               double stddev_mult, int threads = 2);

// The boxes MomentOfInertiaEstimation reports through getOBB and getAABB.
struct CloudBoxes {
  pcl::PointXYZ obb_min{0.0F, 0.0F, 0.0F};
  pcl::PointXYZ obb_max{0.0F, 0.0F, 0.0F};
  Eigen::Vector3f obb_position{Eigen::Vector3f::Zero()};
  Eigen::Matrix3f obb_rotation{Eigen::Matrix3f::Identity()};
  pcl::PointXYZ aabb_min{0.0F, 0.0F, 0.0F};
  pcl::PointXYZ aabb_max{0.0F, 0.0F, 0.0F};
};

CloudBoxes ComputeCloudBoxes(const pcl::PointCloud<pcl::PointXYZ>& cloud);

}  // namespace moorwick
