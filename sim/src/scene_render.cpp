#include "moorwick_sim/scene_render.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>

namespace moorwick_sim {
namespace {

constexpr double kPi = 3.141592653589793;

// Sines of 15, 45 and 75 degrees: the bounds between the main-axis types.
constexpr double kSin15 = 0.25881904510252074;
constexpr double kSin45 = 0.7071067811865475;
constexpr double kSin75 = 0.9659258262890683;

std::uint8_t Clamp8(int value) {
  return static_cast<std::uint8_t>(std::clamp(value, 0, 255));
}

// Direction of the solid's longest extent.
Eigen::Vector3d LongestAxis(const Shape& shape) {
  const Eigen::Matrix3d& r = shape.base_from_local.linear();
  if (shape.kind == Shape::Kind::kCylinder) {
    // A disc's longest extent is a diameter; any one in its plane will do.
    return shape.size.x() >= shape.size.y() ? r.col(0) : r.col(1);
  }
  int longest = 0;
  for (int i = 1; i < 3; ++i) {
    if (shape.size[i] > shape.size[longest])
      longest = i;
  }
  return r.col(longest);
}

Eigen::Vector3d SortedExtents(const Shape& shape) {
  std::array<double, 3> e{shape.size.x(), shape.size.y(), shape.size.z()};
  std::sort(e.begin(), e.end(), [](double a, double b) { return a > b; });
  return {e[0], e[1], e[2]};
}

Eigen::Quaterniond GrabOrientation(const Eigen::Vector3d& center, const Eigen::Vector3d& axis,
                                   int type) {
  const Eigen::Quaterniond q_down(0.0, 0.0, 1.0, 0.0);  // half turn about y
  if (type == 1 || type == 3) {
    // Fingers close across the footprint's long side, seen from above.
    Eigen::Vector2d d(axis.x(), axis.y());
    if (d.squaredNorm() < 1e-18)
      d = Eigen::Vector2d::UnitX();
    d.normalize();
    if (d.x() < 0.0)
      d = -d;
    const double phi = std::atan2(-d.y(), d.x());
    return q_down * Eigen::Quaterniond(Eigen::AngleAxisd(phi, Eigen::Vector3d::UnitZ()));
  }
  const Eigen::Quaterniond q_side(Eigen::AngleAxisd(0.5 * kPi, Eigen::Vector3d::UnitY()));
  const double psi = -std::atan2(center.y(), -center.x());
  return q_down * q_side * Eigen::Quaterniond(Eigen::AngleAxisd(psi, Eigen::Vector3d::UnitX()));
}

}  // namespace

Eigen::Matrix3d RotationFromRpyDeg(const Eigen::Vector3d& rpy_deg) {
  const Eigen::Vector3d r = rpy_deg * kPi / 180.0;
  return (Eigen::AngleAxisd(r.z(), Eigen::Vector3d::UnitZ()) *
          Eigen::AngleAxisd(r.y(), Eigen::Vector3d::UnitY()) *
          Eigen::AngleAxisd(r.x(), Eigen::Vector3d::UnitX()))
      .toRotationMatrix();
}

int MainAxisTypeOf(const Eigen::Vector3d& axis) {
  const double a = std::abs(axis.z());
  if (a < kSin15)
    return 1;
  if (a < kSin45)
    return 3;
  if (a < kSin75)
    return 4;
  return 2;
}

Eigen::Vector3d SignedMainAxis(const Eigen::Vector3d& axis, int type) {
  const bool flip = (type == 1 || type == 3) ? axis.x() < 0.0 : axis.z() > 0.0;
  return flip ? Eigen::Vector3d(-axis) : axis;
}

std::uint16_t DepthToMillimetres(double depth_m) {
  if (!(depth_m > 0.0))
    return 0;
  const double mm = std::round(depth_m * 1000.0);
  if (mm < 1.0 || mm > 65535.0)
    return 0;
  return static_cast<std::uint16_t>(mm);
}

PieceTruth ComputePieceTruth(const SceneDescription& scene, int piece_index) {
  if (piece_index < 0 || piece_index >= static_cast<int>(scene.pieces.size())) {
    throw std::out_of_range("piece index " + std::to_string(piece_index) + " outside the scene");
  }
  const ScenePiece& piece = scene.pieces[static_cast<std::size_t>(piece_index)];
  PieceTruth t;
  t.piece_index = piece_index;
  t.class_index = piece.class_index;
  t.class_name = piece.class_name;
  t.name = piece.name;
  t.center = piece.shape.Center();
  const Eigen::Vector3d axis = LongestAxis(piece.shape).normalized();
  t.main_axis_type = MainAxisTypeOf(axis);
  t.main_axis = SignedMainAxis(axis, t.main_axis_type);
  t.grab_orientation = GrabOrientation(t.center, t.main_axis, t.main_axis_type);
  t.extents = SortedExtents(piece.shape);
  t.lowest_z = piece.shape.LowestZ();
  t.highest_z = piece.shape.HighestZ();
  t.transparent = piece.transparent;
  return t;
}

GrabError CompareGrab(const PieceTruth& truth, const Eigen::Vector3d& grab_point,
                      double tolerance_mm) {
  GrabError e;
  const Eigen::Vector3d d = grab_point - truth.center;
  e.horizontal_mm = 1000.0 * d.head<2>().norm();
  e.vertical_mm = 1000.0 * d.z();
  e.total_mm = 1000.0 * d.norm();
  // A millimetre of slack for depth quantisation at the floor.
  e.within_height = grab_point.z() >= truth.lowest_z - 0.001 && grab_point.z() <= truth.highest_z;
  e.ok = e.horizontal_mm <= tolerance_mm && e.within_height;
  return e;
}

RenderedFrame RenderScene(const SceneDescription& scene, const RenderOptions& options) {
  const PinholeCamera& cam = scene.camera;
  if (cam.width <= 0 || cam.height <= 0 || !(cam.fx > 0.0) || !(cam.fy > 0.0)) {
    throw std::invalid_argument("camera needs a positive resolution and focal lengths");
  }
  Scene geometry;
  geometry.floor_z = scene.floor_z;
  for (const ScenePiece& piece : scene.pieces)
    geometry.shapes.push_back(piece.shape);

  RenderedFrame frame;
  frame.rgb.create(cam.height, cam.width, CV_8UC3);
  frame.depth = cv::Mat::zeros(cam.height, cam.width, CV_16UC1);
  frame.piece_index = cv::Mat(cam.height, cam.width, CV_32SC1, cv::Scalar(-1));

  // One generator, drawn from in a fixed pixel order, so a seed fixes the frame.
  std::mt19937 rng(options.seed);
  std::normal_distribution<double> depth_noise(0.0, 1.0);
  std::uniform_int_distribution<int> color_noise(-options.color_noise, options.color_noise);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const Eigen::Vector3d optical_axis = cam.base_from_camera.linear().col(2);

  for (int v = 0; v < cam.height; ++v) {
    auto* rgb_row = frame.rgb.ptr<cv::Vec3b>(v);
    auto* depth_row = frame.depth.ptr<std::uint16_t>(v);
    auto* index_row = frame.piece_index.ptr<std::int32_t>(v);
    for (int u = 0; u < cam.width; ++u) {
      const Ray ray = cam.PixelRay(u, v);
      const auto hit = CastRay(geometry, ray);
      Rgb color{{0, 0, 0}};  // nothing hit: black, no depth
      double depth = 0.0;
      bool returns = false;
      if (hit) {
        depth = hit->t * ray.direction.dot(optical_axis);
        returns = true;
        if (hit->shape_index >= 0) {
          const ScenePiece& piece = scene.pieces[static_cast<std::size_t>(hit->shape_index)];
          color = piece.color;
          index_row[u] = hit->shape_index;
          if (piece.transparent)
            returns = unit(rng) < options.transparent_return_fraction;
        } else {
          color = scene.floor_color;
        }
      }
      if (returns && options.depth_sigma_m > 0.0)
        depth += options.depth_sigma_m * depth_noise(rng);
      depth_row[u] = returns ? DepthToMillimetres(depth) : 0;
      cv::Vec3b& out = rgb_row[u];
      for (int c = 0; c < 3; ++c) {
        const int noise = options.color_noise > 0 ? color_noise(rng) : 0;
        out[c] = Clamp8(static_cast<int>(color[static_cast<std::size_t>(c)]) + noise);
      }
    }
  }

  frame.masks.reserve(scene.pieces.size());
  for (int i = 0; i < static_cast<int>(scene.pieces.size()); ++i) {
    cv::Mat mask = (frame.piece_index == i) / 255;  // 255 -> 1
    PieceTruth t = ComputePieceTruth(scene, i);
    t.visible_pixels = cv::countNonZero(mask);
    t.depth_pixels = cv::countNonZero(mask & (frame.depth > 0));
    if (t.visible_pixels > 0)
      t.bbox = cv::boundingRect(mask);
    frame.masks.push_back(mask);
    frame.truth.push_back(std::move(t));
  }
  return frame;
}

}  // namespace moorwick_sim
