// Seeded synthetic scenes for tests and benchmarks: boxes and cylinders on a
// floor, seen from a camera. Everything is in the arm base frame (z up).
//
// The geometry (Shape, Scene, Ray, CastRay) is independent of point clouds, so
// the same scene can be rendered as a depth image through PinholeCamera.
#pragma once

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <Eigen/Core>
#include <Eigen/Geometry>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace moorwick_sim {

struct Ray {
  Eigen::Vector3d origin{Eigen::Vector3d::Zero()};
  Eigen::Vector3d direction{Eigen::Vector3d::UnitZ()};  // unit length
};

// A solid. Its local frame has the origin at the centre; a box spans
// +-size/2 along the local axes; a cylinder has its axis along local x,
// length size.x() and diameter size.y() (size.z() equals size.y()).
struct Shape {
  enum class Kind { kBox, kCylinder };

  Kind kind{Kind::kBox};
  Eigen::Vector3d size{Eigen::Vector3d::Zero()};
  Eigen::Isometry3d base_from_local{Eigen::Isometry3d::Identity()};

  // Box of full extents `size`, rotated by `rpy_deg` (R = Rz * Ry * Rx) about its centre.
  static Shape Box(const Eigen::Vector3d& size, const Eigen::Vector3d& center,
                   const Eigen::Vector3d& rpy_deg = Eigen::Vector3d::Zero());
  // Cylinder whose axis points along `axis` (any length, not zero).
  static Shape Cylinder(double diameter, double length, const Eigen::Vector3d& center,
                        const Eigen::Vector3d& axis);

  // The same shape moved vertically so that its lowest point touches z = floor_z.
  Shape RestingOn(double floor_z) const;

  Eigen::Vector3d Center() const { return base_from_local.translation(); }
  // Unit vector of the local x axis (a cylinder's axis, a box's first extent).
  Eigen::Vector3d Axis() const { return base_from_local.linear().col(0); }
  double LowestZ() const;
  double HighestZ() const;
  double BoundingRadius() const { return 0.5 * size.norm(); }

  // Smallest ray parameter t > 1e-9 where the ray enters the solid.
  std::optional<double> Intersect(const Ray& ray) const;
  // Inside the solid, or within `tolerance` of it.
  bool Contains(const Eigen::Vector3d& point, double tolerance = 0.0) const;
};

struct Hit {
  double t{0.0};
  Eigen::Vector3d point{Eigen::Vector3d::Zero()};
  int shape_index{-1};  // index into Scene::shapes; -1 is the floor
};

// Shapes on an infinite horizontal floor at z = floor_z.
struct Scene {
  double floor_z{-0.176};
  std::vector<Shape> shapes;
};

// Nearest hit along the ray (floor included), if any.
std::optional<Hit> CastRay(const Scene& scene, const Ray& ray);

// Pinhole camera; the optical frame has z forward, x right, y down.
struct PinholeCamera {
  double fx{0.0}, fy{0.0}, cx{0.0}, cy{0.0};
  int width{0}, height{0};
  Eigen::Isometry3d base_from_camera{Eigen::Isometry3d::Identity()};

  // Camera at `eye` looking at `target`, image rows pointing downwards in the world.
  static PinholeCamera LookingAt(const Eigen::Vector3d& eye, const Eigen::Vector3d& target,
                                 double fx, double fy, int width, int height);
  // Ray through the pixel position (u, v); integer values are pixel centres.
  Ray PixelRay(double u, double v) const;
};

struct PieceCloudOptions {
  Eigen::Vector3d camera_position{-0.05, 0.0, 0.30};
  double floor_z{-0.176};
  // Floor seen around the piece that a segmentation mask would take in, metres.
  double floor_margin{0.01};
  // Approximate number of points on the piece itself.
  std::size_t target_points{3000};
  // Gaussian depth noise along the viewing ray, standard deviation in metres.
  double noise_sigma{0.0};
  // Points scattered uniformly in a box 5 cm larger than the piece.
  std::size_t outliers{0};
  std::uint32_t seed{1};
};

// The cloud a camera at options.camera_position sees of `piece` on the floor:
// only the surfaces facing the camera, plus the floor that a mask grown by
// floor_margin would take in (beside the piece and just past its far edge).
// Points come in pixel order, outliers last.
pcl::PointCloud<pcl::PointXYZ>::Ptr MakePieceCloud(const Shape& piece,
                                                   const PieceCloudOptions& options);

}  // namespace moorwick_sim
