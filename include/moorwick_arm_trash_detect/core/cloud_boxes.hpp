// The oriented and axis-aligned boxes of PCL's MomentOfInertiaEstimation in
// one pass, without its moment-of-inertia and eccentricity sweep; same float
// arithmetic, so the boxes are the same.
#pragma once

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <Eigen/Core>

namespace moorwick {

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
