// RGB-D frames of a virtual scene: coloured pieces of known class and pose on
// a floor, seen by a pinhole camera. Produces what a registered RGB-D driver
// delivers (rgb8 colour, 16UC1 depth in millimetres) plus what no driver can:
// per-piece masks and each piece's ground truth.
//
// The geometry (shapes, ray casting, pinhole rays) is moorwick_test's
// synthetic geometry; this layer adds colour, masks, noise and truth.
#pragma once

#include <opencv2/core.hpp>

#include <Eigen/Core>
#include <Eigen/Geometry>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "moorwick_sim/synthetic_cloud.hpp"

namespace moorwick_sim {

using Rgb = std::array<std::uint8_t, 3>;

struct ScenePiece {
  std::string name;        // free text for printouts
  int class_index{0};      // the model's 0-based class index
  std::string class_name;  // for printouts
  Shape shape;             // arm base frame
  Rgb color{{200, 40, 40}};
  // Transparent pieces return depth on only a few of their pixels.
  bool transparent{false};
};

struct SceneDescription {
  double floor_z{-0.176};  // arm base frame
  Rgb floor_color{{128, 128, 128}};
  std::vector<ScenePiece> pieces;
  PinholeCamera camera;  // intrinsics, resolution, base_from_camera (optical frame)
};

struct RenderOptions {
  std::uint32_t seed{1};
  double depth_sigma_m{0.0};  // Gaussian noise on each depth sample
  int color_noise{0};         // uniform +-color_noise per channel
  // Share of a transparent piece's pixels that still return depth.
  double transparent_return_fraction{0.15};
};

// What the estimator should find for one piece, in the arm base frame.
struct PieceTruth {
  int piece_index{0};
  int class_index{0};
  std::string class_name;
  std::string name;
  Eigen::Vector3d center{Eigen::Vector3d::Zero()};  // centre of the solid: the grab point
  // Longest extent's direction, signed the way the estimator reports it:
  // lying and low-slanted axes point to +x, steep and standing ones down.
  Eigen::Vector3d main_axis{Eigen::Vector3d::UnitX()};
  int main_axis_type{1};  // 1 lying, 3 slanted low, 4 slanted steep, 2 standing
  // Gripper orientation: from above about the vertical for types 1 and 3,
  // horizontal and facing the piece from the arm for types 2 and 4.
  Eigen::Quaterniond grab_orientation{Eigen::Quaterniond::Identity()};
  Eigen::Vector3d extents{Eigen::Vector3d::Zero()};  // full extents, longest first
  double lowest_z{0.0};
  double highest_z{0.0};
  bool transparent{false};
  // Image side, from the rendered frame.
  int visible_pixels{0};
  int depth_pixels{0};  // visible pixels with a depth return
  cv::Rect bbox;        // of the visible pixels; empty when not visible
};

struct RenderedFrame {
  cv::Mat rgb;                 // CV_8UC3, RGB order
  cv::Mat depth;               // CV_16UC1, millimetres along the optical axis, 0 = no return
  cv::Mat piece_index;         // CV_32SC1, index of the visible piece, -1 floor or nothing
  std::vector<cv::Mat> masks;  // per piece, CV_8UC1 0/1 (the model's mask convention)
  std::vector<PieceTruth> truth;
};

// How far a grab point lies from a piece's truth. Grab heights follow the
// gripper's rules (lowered into flat pieces, high on the visible side of
// standing ones), so the verdict asks the point to be within the tolerance of
// the centre horizontally and within the piece's height, not at its centre.
struct GrabError {
  double horizontal_mm{0.0};  // in the floor plane
  double vertical_mm{0.0};    // signed, above the centre
  double total_mm{0.0};       // 3-D distance to the centre
  bool within_height{false};  // between the piece's lowest and highest point
  bool ok{false};             // horizontal_mm <= tolerance and within_height
};
GrabError CompareGrab(const PieceTruth& truth, const Eigen::Vector3d& grab_point,
                      double tolerance_mm = 10.0);

// Renders colour, depth, masks and truth. Same scene and options, same frame.
RenderedFrame RenderScene(const SceneDescription& scene, const RenderOptions& options);

// Truth of one piece without rendering (image fields left empty).
PieceTruth ComputePieceTruth(const SceneDescription& scene, int piece_index);

// Main-axis class of a unit axis from its vertical component, and the axis
// with the sign the estimator gives it.
int MainAxisTypeOf(const Eigen::Vector3d& axis);
Eigen::Vector3d SignedMainAxis(const Eigen::Vector3d& axis, int type);

// Depth in millimetres of a metric depth, rounded; 0 for no return or out of range.
std::uint16_t DepthToMillimetres(double depth_m);

// Rotation R = Rz * Ry * Rx of roll, pitch, yaw in degrees (the estimator
// file's Euler convention).
Eigen::Matrix3d RotationFromRpyDeg(const Eigen::Vector3d& rpy_deg);

}  // namespace moorwick_sim
