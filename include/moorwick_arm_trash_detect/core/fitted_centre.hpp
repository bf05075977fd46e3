// Grab centre from a shape fitted to a conditioned piece cloud. The camera sees
// only the near side of a piece, so the centroid of the visible points leans
// towards the camera; a cylinder fitted across the piece's axis, or the top
// face of a box, puts the centre where the solid really is.
#pragma once

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#include <yaml-cpp/yaml.h>

#include <Eigen/Core>
#include <string>

namespace moorwick {

class GrabPoseEstimate;

// `grab_center_mode` of the estimator file.
enum class GrabCenterMode {
  kVisible,  // centroid of the visible points, pushed along the line of sight
  kFitted,   // centre of a fitted cylinder or box top face
};

// Reads `grab_center_mode` from the `grab_pose_estimate` map of `file`. A file
// without the key keeps the visible centre; any value other than "visible" or
// "fitted" raises ConfigError naming the file and the key.
GrabCenterMode ReadGrabCenterMode(const YAML::Node& grab_pose_estimate, const std::string& file);
const char* GrabCenterModeName(GrabCenterMode mode);

// How a class of litter is shaped, as far as its grab centre goes.
enum class PieceShape { kUnknown, kCylinder, kBox };
// Model class index (0-based) to shape; kUnknown where the class varies.
PieceShape PieceShapeOfClass(int class_index);

struct CylinderFit {
  bool ok{false};
  Eigen::Vector3f centre{Eigen::Vector3f::Zero()};  // on the axis, halfway along the points
  Eigen::Vector3f axis{Eigen::Vector3f::UnitX()};
  float radius{0.0F};
  float rms{0.0F};  // of the radial residuals of the points used
  int points{0};    // side points the circle was fitted to
};

// Least-squares circle (algebraic start, then geometric Gauss-Newton with
// trimming of points off the surface) to the points projected onto the plane
// across `axis`. Points within a few millimetres of either end along the axis
// are left out: they lie on end caps, which would pull the circle inwards.
CylinderFit FitCylinderAcrossAxis(const pcl::PointCloud<pcl::PointXYZ>& cloud,
                                  const Eigen::Vector3f& axis);

struct TopFaceFit {
  bool ok{false};
  Eigen::Vector3f centre{Eigen::Vector3f::Zero()};  // of the top face's rectangle, at its height
  Eigen::Vector2f size{Eigen::Vector2f::Zero()};    // of that rectangle
  float top_z{0.0F};
  int points{0};
};

// The face at the piece's highest level: points within a band below a robust
// top height, and the minimum-area rectangle of their footprint. A box's top
// face is seen whole from above, so its rectangle's centre is the box's.
TopFaceFit FitTopFace(const pcl::PointCloud<pcl::PointXYZ>& cloud);

// Lower limit of the floor cut in fitted mode: the documented one, but never
// within 8 mm of the highest point. A cut a few millimetres above the lowest
// noisy point would otherwise keep only the top face's points that noise
// lifted, fewer the fewer pixels, and a thin piece's centre would follow them.
float FittedPassThroughLimit(float lower, float highest_z);

// Replaces the estimator's grab position (grab_tcp_, and the box centre it
// puts beside it) by the fitted centre when the estimator runs in fitted mode
// and a fit succeeds and agrees with the visible centroid. Call after the
// shape analysis and main-axis classification of GetInitialGrabPose. Returns
// true when the fitted centre is in force; false leaves the visible path.
bool ApplyFittedGrabCentre(GrabPoseEstimate& estimator,
                           const pcl::PointCloud<pcl::PointXYZ>& cloud);

}  // namespace moorwick
