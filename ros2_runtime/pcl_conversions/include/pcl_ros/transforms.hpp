// Rigid transforms of clouds: PCL clouds by a TransformStamped, PointCloud2 messages by a 4x4.
#pragma once

#include <pcl/common/transforms.h>
#include <pcl/point_cloud.h>
#include <Eigen/Geometry>

#include "geometry_msgs/msg/transform_stamped.hpp"
#include "sensor_msgs/msg/point_cloud2.hpp"

namespace pcl_ros {

template <typename PointT>
void transformPointCloud(const pcl::PointCloud<PointT>& cloud_in,
                         pcl::PointCloud<PointT>& cloud_out,
                         const geometry_msgs::msg::TransformStamped& transform) {
  const auto& t = transform.transform.translation;
  const auto& q = transform.transform.rotation;
  const Eigen::Affine3d a =
      Eigen::Translation3d(t.x, t.y, t.z) * Eigen::Quaterniond(q.w, q.x, q.y, q.z);
  pcl::transformPointCloud(cloud_in, cloud_out, a.cast<float>());
}

// Moves the x, y, z (float32) of every point; other fields are copied unchanged. Returns
// false, with `out` untouched, for a message without float32 x, y, z or with inconsistent
// sizes.
bool transformPointCloud(const Eigen::Matrix4f& transform, const sensor_msgs::msg::PointCloud2& in,
                         sensor_msgs::msg::PointCloud2& out);

}  // namespace pcl_ros
