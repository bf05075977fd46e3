#include "moorwick_arm_trash_detect/core/fitted_centre.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "moorwick_arm_trash_detect/core/config_reader.hpp"
#include "moorwick_arm_trash_detect/core/trash_pose_estimate.hpp"
#include "moorwick_arm_trash_detect/logging/logger.hpp"

namespace moorwick {
namespace {

using Cloud = pcl::PointCloud<pcl::PointXYZ>;

// Points this close to either end along a cylinder's axis may lie on an end
// cap; the side wall alone defines the circle.
constexpr double kCapMarginM = 0.006;
// Thinnest and thickest cylinder a litter piece can be.
constexpr double kMinRadiusM = 0.004;
constexpr double kMaxRadiusM = 0.15;
// A side wall fits its circle to about the depth noise; an L-shaped box
// section does not.
constexpr double kMaxCylinderRmsM = 0.002;
// Height band below the top level that counts as the top face: a few times
// the depth noise, well below the height of any box.
constexpr float kTopBandM = 0.004F;
constexpr int kMinFitPoints = 20;
// Points a circle is fitted to at most (every n-th beyond).
constexpr std::size_t kMaxCirclePoints = 1000;
// Outermost points averaged into each edge of a top face.
constexpr std::size_t kEdgePoints = 4;
// Depth the far edge of a piece loses, in pixel footprints: the cut-out's
// one-pixel erosion, the half pixel between the last sample and the edge,
// and the outlier filter's trimming of the sparse edge row (measured on the
// rendered pieces at three resolutions: 2.4 to 4 footprints).
constexpr float kFarEdgeLossPx = 3.0F;

// Horizontal unit vector from the camera towards `p`, and the length on a
// horizontal surface at `p` that one pixel covers along it.
bool PixelFootprint(const Eigen::Vector3f& camera, const Eigen::Vector3f& p, float focal_px,
                    Eigen::Vector3f& towards, float& footprint) {
  const Eigen::Vector3f ray = p - camera;
  towards = Eigen::Vector3f(ray.x(), ray.y(), 0.0F);
  const float range = ray.norm();
  const float drop = -ray.z();
  if (!(focal_px > 0.0F) || !(towards.squaredNorm() > 0.0F) || !(drop > 0.0F)) {
    return false;
  }
  towards.normalize();
  // A pixel spans range / focal across the ray; on a surface the ray meets at
  // the angle asin(drop / range) that stretches by range / drop.
  footprint = range / focal_px * range / drop;
  return std::isfinite(footprint);
}

struct Circle {
  bool ok{false};
  double cx{0.0};
  double cy{0.0};
  double r{0.0};
  double rms{0.0};
  int used{0};
};

// Algebraic (Kasa) circle: a closed-form start for the geometric fit.
Circle KasaCircle(const std::vector<Eigen::Vector2d>& pts) {
  Eigen::Matrix3d ata = Eigen::Matrix3d::Zero();
  Eigen::Vector3d atb = Eigen::Vector3d::Zero();
  for (const auto& p : pts) {
    const Eigen::Vector3d row(p.x(), p.y(), 1.0);
    ata += row * row.transpose();
    atb -= row * p.squaredNorm();
  }
  Circle c;
  const Eigen::Vector3d s = ata.ldlt().solve(atb);
  c.cx = -0.5 * s.x();
  c.cy = -0.5 * s.y();
  const double r2 = c.cx * c.cx + c.cy * c.cy - s.z();
  c.ok = s.allFinite() && r2 > 0.0;
  c.r = c.ok ? std::sqrt(r2) : 0.0;
  return c;
}

// Distance of `p` from the circle's centre. Coordinates are metres of finite
// points, so std::hypot's overflow guard would only cost time.
double RadialDistance(const Eigen::Vector2d& p, const Circle& c) {
  const double dx = p.x() - c.cx;
  const double dy = p.y() - c.cy;
  return std::sqrt(dx * dx + dy * dy);
}

// Geometric least squares (Gauss-Newton on the radial distances), started
// from `c`; the algebraic fit shrinks the circle of a noisy half arc.
Circle RefineCircle(const std::vector<Eigen::Vector2d>& pts, Circle c) {
  for (int iter = 0; iter < 12 && c.ok; ++iter) {
    Eigen::Matrix3d jtj = Eigen::Matrix3d::Zero();
    Eigen::Vector3d jtr = Eigen::Vector3d::Zero();
    for (const auto& p : pts) {
      const double dx = p.x() - c.cx;
      const double dy = p.y() - c.cy;
      const double d = std::sqrt(dx * dx + dy * dy);
      if (d < 1e-12) {
        continue;
      }
      const Eigen::Vector3d j(-dx / d, -dy / d, -1.0);
      jtj += j * j.transpose();
      jtr += j * (d - c.r);
    }
    const Eigen::Vector3d step = jtj.ldlt().solve(-jtr);
    if (!step.allFinite()) {
      c.ok = false;
      break;
    }
    c.cx += step.x();
    c.cy += step.y();
    c.r += step.z();
    if (step.norm() < 1e-7) {
      break;
    }
  }
  double sum = 0.0;
  for (const auto& p : pts) {
    const double e = RadialDistance(p, c) - c.r;
    sum += e * e;
  }
  c.used = static_cast<int>(pts.size());
  c.rms = pts.empty() ? 0.0 : std::sqrt(sum / static_cast<double>(pts.size()));
  c.ok = c.ok && std::isfinite(c.r) && c.r > 0.0;
  return c;
}

// Fit, drop the points far off the circle (stray floor or cap points), refit.
Circle RobustCircle(std::vector<Eigen::Vector2d> pts) {
  if (static_cast<int>(pts.size()) < kMinFitPoints) {
    return {};
  }
  Circle c = RefineCircle(pts, KasaCircle(pts));
  std::vector<double> residuals;
  for (int round = 0; round < 4 && c.ok; ++round) {
    // Median absolute residual: stray points inflate an rms, not a median.
    residuals.clear();
    for (const auto& p : pts) {
      residuals.push_back(std::abs(RadialDistance(p, c) - c.r));
    }
    const auto median = residuals.begin() + static_cast<std::ptrdiff_t>(residuals.size() / 2);
    std::nth_element(residuals.begin(), median, residuals.end());
    const double limit = std::max(3.0 * 1.4826 * *median, 0.001);
    std::vector<Eigen::Vector2d> kept;
    kept.reserve(pts.size());
    for (const auto& p : pts) {
      if (std::abs(RadialDistance(p, c) - c.r) <= limit) {
        kept.push_back(p);
      }
    }
    if (kept.size() == pts.size() || static_cast<int>(kept.size()) < kMinFitPoints) {
      break;
    }
    pts.swap(kept);
    c = RefineCircle(pts, c);
  }
  return c;
}

// Circle of the side points with axial coordinate in (lo, hi), in the plane
// across `axis` spanned by e1, e2.
Circle SideCircle(const Cloud& cloud, const Eigen::Vector3d& axis, const Eigen::Vector3d& e1,
                  const Eigen::Vector3d& e2, double lo, double hi) {
  std::vector<Eigen::Vector2d> pts;
  pts.reserve(cloud.size());
  for (const auto& p : cloud.points) {
    const Eigen::Vector3d q = p.getVector3fMap().cast<double>();
    const double t = q.dot(axis);
    if (t > lo && t < hi) {
      pts.emplace_back(q.dot(e1), q.dot(e2));
    }
  }
  // A few thousand points pin a circle down; more only cost time.
  if (pts.size() > kMaxCirclePoints) {
    const std::size_t step = (pts.size() + kMaxCirclePoints - 1) / kMaxCirclePoints;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < pts.size(); i += step) {
      pts[kept++] = pts[i];
    }
    pts.resize(kept);
  }
  return RobustCircle(std::move(pts));
}

}  // namespace

GrabCenterMode ReadGrabCenterMode(const YAML::Node& grab_pose_estimate, const std::string& file) {
  const YAML::Node node = grab_pose_estimate["grab_center_mode"];
  if (!node.IsDefined() || node.IsNull()) {
    return GrabCenterMode::kVisible;
  }
  const std::string value =
      ReadConfig<std::string>(grab_pose_estimate, "grab_center_mode", file, "grab_pose_estimate");
  if (value == "visible") {
    return GrabCenterMode::kVisible;
  }
  if (value == "fitted") {
    return GrabCenterMode::kFitted;
  }
  throw ConfigError(file, "grab_pose_estimate.grab_center_mode",
                    "unknown value '" + value + "': expected visible or fitted");
}

const char* GrabCenterModeName(GrabCenterMode mode) {
  return mode == GrabCenterMode::kFitted ? "fitted" : "visible";
}

PieceShape PieceShapeOfClass(int class_index) {
  switch (class_index) {
    case 4:   // bottle
    case 13:  // coffee (can)
    case 15:  // paper_cup
    case 21:  // drinking_cup
      return PieceShape::kCylinder;
    case 0:   // paper
    case 17:  // carton_box
    case 19:  // medication_board
      return PieceShape::kBox;
    default:
      return PieceShape::kUnknown;
  }
}

CylinderFit FitCylinderAcrossAxis(const Cloud& cloud, const Eigen::Vector3f& axis_in) {
  CylinderFit fit;
  if (static_cast<int>(cloud.size()) < kMinFitPoints || !(axis_in.squaredNorm() > 0.0F)) {
    return fit;
  }
  Eigen::Vector3d axis = axis_in.cast<double>().normalized();
  double t_min = 0.0;
  double t_max = 0.0;
  double margin = 0.0;
  Eigen::Vector3d e1;
  Eigen::Vector3d e2;
  const auto span = [&] {
    t_min = std::numeric_limits<double>::max();
    t_max = -t_min;
    for (const auto& p : cloud.points) {
      const double t = p.getVector3fMap().cast<double>().dot(axis);
      t_min = std::min(t_min, t);
      t_max = std::max(t_max, t);
    }
    margin = (t_max - t_min) > 4.0 * kCapMarginM ? kCapMarginM : 0.0;
    e1 = axis.unitOrthogonal();
    e2 = axis.cross(e1);
  };
  span();
  // The principal axis of a half-seen cylinder leans slightly towards the
  // visible side; the circles of the two halves along it give the true axis.
  if (t_max - t_min >= 0.04) {
    const double mid = 0.5 * (t_min + t_max);
    const Circle a = SideCircle(cloud, axis, e1, e2, t_min + margin, mid);
    const Circle b = SideCircle(cloud, axis, e1, e2, mid, t_max - margin);
    if (a.ok && b.ok) {
      const double qa = 0.5 * (t_min + margin + mid);
      const double qb = 0.5 * (mid + t_max - margin);
      const Eigen::Vector3d refined =
          (qb * axis + b.cx * e1 + b.cy * e2) - (qa * axis + a.cx * e1 + a.cy * e2);
      // Only a small correction: a large one means the halves did not fit.
      if (refined.norm() > 0.0 && refined.normalized().dot(axis) >= 0.97) {
        axis = refined.normalized();
        span();
      }
    }
  }
  const Circle circle = SideCircle(cloud, axis, e1, e2, t_min + margin, t_max - margin);
  if (!circle.ok || circle.r < kMinRadiusM || circle.r > kMaxRadiusM) {
    return fit;
  }
  const Eigen::Vector3d centre = 0.5 * (t_min + t_max) * axis + circle.cx * e1 + circle.cy * e2;
  fit.ok = centre.allFinite();
  fit.centre = centre.cast<float>();
  fit.axis = axis.cast<float>();
  fit.radius = static_cast<float>(circle.r);
  fit.rms = static_cast<float>(circle.rms);
  fit.points = circle.used;
  return fit;
}

TopFaceFit FitTopFace(const Cloud& cloud) {
  TopFaceFit fit;
  if (static_cast<int>(cloud.size()) < kMinFitPoints) {
    return fit;
  }
  // The top level below the highest few points: single noisy points above
  // the face must not lift the band off it.
  std::vector<float> z;
  z.reserve(cloud.size());
  for (const auto& p : cloud.points) {
    z.push_back(p.z);
  }
  const std::size_t k = z.size() - 1 - z.size() / 100;
  std::nth_element(z.begin(), z.begin() + static_cast<std::ptrdiff_t>(k), z.end());
  const float top = z[k];
  std::vector<cv::Point2f> face;
  face.reserve(cloud.size());
  for (const auto& p : cloud.points) {
    if (p.z >= top - kTopBandM) {
      face.emplace_back(p.x, p.y);
    }
  }
  if (static_cast<int>(face.size()) < kMinFitPoints) {
    return fit;
  }
  const cv::RotatedRect rect = cv::minAreaRect(face);
  // The rectangle gives the face's directions; its edges come from the mean
  // of the few outermost points on each side, which a single noisy point
  // moves far less than it moves the extreme.
  const float angle = rect.angle * static_cast<float>(M_PI / 180.0);
  const Eigen::Vector2f ax(std::cos(angle), std::sin(angle));
  const Eigen::Vector2f ay(-ax.y(), ax.x());
  std::vector<float> s[2];
  for (const auto& p : face) {
    s[0].push_back(ax.x() * p.x + ax.y() * p.y);
    s[1].push_back(ay.x() * p.x + ay.y() * p.y);
  }
  const std::size_t n = std::min<std::size_t>(kEdgePoints, face.size() / 2);
  float mid[2];
  float size[2];
  for (int i = 0; i < 2; ++i) {
    std::vector<float>& v = s[i];
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(n), v.end());
    const float lo = std::accumulate(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(n), 0.0F) /
                     static_cast<float>(n);
    std::nth_element(v.begin(), v.end() - static_cast<std::ptrdiff_t>(n) - 1, v.end());
    const float hi = std::accumulate(v.end() - static_cast<std::ptrdiff_t>(n), v.end(), 0.0F) /
                     static_cast<float>(n);
    mid[i] = 0.5F * (lo + hi);
    size[i] = hi - lo;
  }
  const Eigen::Vector2f c = mid[0] * ax + mid[1] * ay;
  fit.ok = c.allFinite();
  fit.centre = Eigen::Vector3f(c.x(), c.y(), top);
  fit.size = Eigen::Vector2f(size[0], size[1]);
  fit.top_z = top;
  fit.points = static_cast<int>(face.size());
  return fit;
}

float FittedPassThroughLimit(float lower, float highest_z) {
  return std::min(lower, highest_z - 2.0F * kTopBandM);
}

bool ApplyFittedGrabCentre(GrabPoseEstimate& est, const Cloud& cloud) {
  if (est.grab_center_mode_ != GrabCenterMode::kFitted) {
    return false;
  }
  const Eigen::Vector3f visible = est.pca_center_.head<3>();
  PieceShape shape = PieceShapeOfClass(est.grab_class_index_);
  Eigen::Vector3f centre;
  float limit = 0.0F;
  const char* method = "";

  CylinderFit cylinder;
  if (shape != PieceShape::kBox) {
    // A piece standing on the floor stands upright; any other takes the
    // principal axis as the start.
    // The principal axis of a short can leans towards its visible end cap; a
    // piece on the floor lies flat or stands upright. The axis whose circle
    // fits best wins.
    const Eigen::Vector3f pca = est.pca_eigen_vectors_.col(0);
    Eigen::Vector3f flat(pca.x(), pca.y(), 0.0F);
    const Eigen::Vector3f candidates[] = {pca, Eigen::Vector3f::UnitZ(),
                                          flat.squaredNorm() > 1e-6F ? flat.normalized() : pca};
    for (const Eigen::Vector3f& axis : candidates) {
      const CylinderFit fit = FitCylinderAcrossAxis(cloud, axis);
      if (fit.ok && (!cylinder.ok || fit.rms < cylinder.rms)) {
        cylinder = fit;
      }
    }
    const bool fits = cylinder.ok && cylinder.rms <= kMaxCylinderRmsM;
    if (shape == PieceShape::kUnknown) {
      shape = fits ? PieceShape::kCylinder : PieceShape::kBox;
    }
    if (shape == PieceShape::kCylinder && !fits) {
      LOG_DEBUG(
          "fitted grab centre: no cylinder fits the cloud (rms {:.4f} m); keeping the "
          "visible centre",
          cylinder.rms);
      return false;
    }
  }
  if (shape == PieceShape::kCylinder) {
    centre = cylinder.centre;
    // The axis lies within a radius (plus noise) of the visible centroid.
    limit = 1.5F * cylinder.radius + 0.01F;
    method = "cylinder";
    LOG_DEBUG("fitted cylinder: radius {:.4f} rms {:.5f} points {} axis {:.3f}, {:.3f}, {:.3f}",
              cylinder.radius, cylinder.rms, cylinder.points, cylinder.axis.x(), cylinder.axis.y(),
              cylinder.axis.z());
  } else {
    const TopFaceFit top = FitTopFace(cloud);
    if (!top.ok) {
      LOG_DEBUG("fitted grab centre: no top face found; keeping the visible centre");
      return false;
    }
    // Halfway between the top face and the lowest point: the box's middle.
    centre =
        Eigen::Vector3f(top.centre.x(), top.centre.y(), 0.5F * (top.top_z + est.trash_lowest_z_));
    limit = 0.5F * top.size.norm() + 0.01F;
    method = "top face";
    LOG_DEBUG("fitted top face: {:.4f} x {:.4f} at z {:.4f}, {} points", top.size.x(), top.size.y(),
              top.top_z, top.points);
  }
  // The near side of a piece is seen up to its edge; the far edge loses a
  // few pixels' footprint. Half of that loss moves the centre towards the
  // camera: along the view for a box, along the axis for a cylinder.
  const Eigen::Vector3f camera = est.camera_extrinsic_.block<3, 1>(0, 3);
  const float focal = est.camera_focal_px_ > 0.0F ? est.camera_focal_px_ : est.fx_;
  Eigen::Vector3f towards;
  float footprint = 0.0F;
  const Eigen::Vector3f top =
      shape == PieceShape::kCylinder ? centre + cylinder.radius * Eigen::Vector3f::UnitZ() : centre;
  if (PixelFootprint(camera, top, focal, towards, footprint)) {
    const float half_loss = 0.5F * kFarEdgeLossPx * footprint;
    if (shape == PieceShape::kCylinder) {
      const Eigen::Vector3f& a = cylinder.axis;
      centre += half_loss * a.dot(towards) * a;
    } else {
      centre += half_loss * towards;
    }
  }
  if (est.main_axis_type_ == 1 || est.main_axis_type_ == 3) {
    // From above: one gripper step below the centre, never under the piece's
    // lowest point. Unlike the visible rules no threshold on a measured
    // height decides, so a millimetre of noise cannot move it by a step.
    centre.z() = std::max(est.trash_lowest_z_, centre.z() - est.tcp_ajust_value_);
  }
  const Eigen::Vector2f shift = (centre - visible).head<2>();
  if (!centre.allFinite() || shift.norm() > limit) {
    LOG_DEBUG(
        "fitted grab centre ({}) {:.4f}, {:.4f}, {:.4f} is {:.4f} m from the visible one, "
        "more than {:.4f}; keeping the visible centre",
        method, centre.x(), centre.y(), centre.z(), shift.norm(), limit);
    return false;
  }
  est.grab_tcp_ = centre;
  // The box was measured on the same visible points; it moves with them.
  est.obb_position_.head<2>() += shift;
  LOG_DEBUG("fitted grab centre ({}): {:.4f}, {:.4f}, {:.4f}, {:.4f} m from the visible one",
            method, centre.x(), centre.y(), centre.z(), shift.norm());
  return true;
}

}  // namespace moorwick
