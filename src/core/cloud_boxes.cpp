#include "moorwick_arm_trash_detect/core/cloud_boxes.hpp"

#include <Eigen/Eigenvalues>
#include <limits>
#include <utility>

namespace moorwick {

CloudBoxes ComputeCloudBoxes(const pcl::PointCloud<pcl::PointXYZ>& cloud) {
  // MomentOfInertiaEstimation's own steps and float arithmetic: mean and
  // AABB, covariance, eigen decomposition, projected extents.
  CloudBoxes out;
  const auto n = static_cast<unsigned int>(cloud.size());
  Eigen::Vector3f mean(0.0F, 0.0F, 0.0F);
  out.aabb_min = pcl::PointXYZ(std::numeric_limits<float>::max(), std::numeric_limits<float>::max(),
                               std::numeric_limits<float>::max());
  out.aabb_max =
      pcl::PointXYZ(-std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(),
                    -std::numeric_limits<float>::max());
  for (const auto& p : cloud.points) {
    mean(0) += p.x;
    mean(1) += p.y;
    mean(2) += p.z;
    if (p.x <= out.aabb_min.x)
      out.aabb_min.x = p.x;
    if (p.y <= out.aabb_min.y)
      out.aabb_min.y = p.y;
    if (p.z <= out.aabb_min.z)
      out.aabb_min.z = p.z;
    if (p.x >= out.aabb_max.x)
      out.aabb_max.x = p.x;
    if (p.y >= out.aabb_max.y)
      out.aabb_max.y = p.y;
    if (p.z >= out.aabb_max.z)
      out.aabb_max.z = p.z;
  }
  const unsigned int divisor = n == 0 ? 1U : n;
  mean(0) /= static_cast<float>(divisor);
  mean(1) /= static_cast<float>(divisor);
  mean(2) /= static_cast<float>(divisor);

  Eigen::Matrix3f covariance = Eigen::Matrix3f::Zero();
  // Unsigned as in PCL: an empty cloud wraps round rather than dividing by zero.
  const float factor = 1.0F / static_cast<float>((n - 1 > 0) ? (n - 1) : 1);
  for (const auto& p : cloud.points) {
    Eigen::Vector3f c(0.0F, 0.0F, 0.0F);
    c(0) = p.x - mean(0);
    c(1) = p.y - mean(1);
    c(2) = p.z - mean(2);
    covariance += c * c.transpose();
  }
  covariance *= factor;

  Eigen::EigenSolver<Eigen::Matrix3f> solver;
  solver.compute(covariance);
  const Eigen::EigenSolver<Eigen::Matrix3f>::EigenvectorsType vectors = solver.eigenvectors();
  const Eigen::EigenSolver<Eigen::Matrix3f>::EigenvalueType values = solver.eigenvalues();
  int major_i = 0;
  int middle_i = 1;
  int minor_i = 2;
  if (values.real()(major_i) < values.real()(middle_i))
    std::swap(major_i, middle_i);
  if (values.real()(major_i) < values.real()(minor_i))
    std::swap(major_i, minor_i);
  if (values.real()(middle_i) < values.real()(minor_i))
    std::swap(middle_i, minor_i);
  Eigen::Vector3f major = vectors.col(major_i).real();
  Eigen::Vector3f middle = vectors.col(middle_i).real();
  Eigen::Vector3f minor = vectors.col(minor_i).real();
  major.normalize();
  middle.normalize();
  minor.normalize();
  if (major.dot(middle.cross(minor)) <= 0.0F) {
    major(0) = -major(0);
    major(1) = -major(1);
    major(2) = -major(2);
  }

  // PCL starts the maxima at the smallest positive float, not at -max; kept
  // so that a flat piece gets the same box.
  out.obb_min = pcl::PointXYZ(std::numeric_limits<float>::max(), std::numeric_limits<float>::max(),
                              std::numeric_limits<float>::max());
  out.obb_max = pcl::PointXYZ(std::numeric_limits<float>::min(), std::numeric_limits<float>::min(),
                              std::numeric_limits<float>::min());
  for (const auto& p : cloud.points) {
    const float x =
        (p.x - mean(0)) * major(0) + (p.y - mean(1)) * major(1) + (p.z - mean(2)) * major(2);
    const float y =
        (p.x - mean(0)) * middle(0) + (p.y - mean(1)) * middle(1) + (p.z - mean(2)) * middle(2);
    const float z =
        (p.x - mean(0)) * minor(0) + (p.y - mean(1)) * minor(1) + (p.z - mean(2)) * minor(2);
    if (x <= out.obb_min.x)
      out.obb_min.x = x;
    if (y <= out.obb_min.y)
      out.obb_min.y = y;
    if (z <= out.obb_min.z)
      out.obb_min.z = z;
    if (x >= out.obb_max.x)
      out.obb_max.x = x;
    if (y >= out.obb_max.y)
      out.obb_max.y = y;
    if (z >= out.obb_max.z)
      out.obb_max.z = z;
  }
  out.obb_rotation << major(0), middle(0), minor(0), major(1), middle(1), minor(1), major(2),
      middle(2), minor(2);
  const Eigen::Vector3f shift((out.obb_max.x + out.obb_min.x) / 2.0F,
                              (out.obb_max.y + out.obb_min.y) / 2.0F,
                              (out.obb_max.z + out.obb_min.z) / 2.0F);
  out.obb_min.x -= shift(0);
  out.obb_min.y -= shift(1);
  out.obb_min.z -= shift(2);
  out.obb_max.x -= shift(0);
  out.obb_max.y -= shift(1);
  out.obb_max.z -= shift(2);
  out.obb_position = mean + out.obb_rotation * shift;
  return out;
}

}  // namespace moorwick
