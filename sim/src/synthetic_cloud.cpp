#include "moorwick_sim/synthetic_cloud.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

namespace moorwick_sim {
namespace {

constexpr double kEps = 1e-9;
constexpr double kPi = 3.141592653589793;

Ray ToLocal(const Shape& shape, const Ray& ray) {
  const Eigen::Isometry3d local_from_base = shape.base_from_local.inverse();
  return Ray{local_from_base * ray.origin, local_from_base.linear() * ray.direction};
}

void Consider(double t, std::optional<double>& best) {
  if (t > kEps && (!best || t < *best)) {
    best = t;
  }
}

std::optional<double> IntersectBox(const Eigen::Vector3d& half, const Ray& r) {
  double t_near = -std::numeric_limits<double>::infinity();
  double t_far = std::numeric_limits<double>::infinity();
  for (int i = 0; i < 3; ++i) {
    if (std::abs(r.direction[i]) < 1e-15) {
      if (std::abs(r.origin[i]) > half[i])
        return std::nullopt;
      continue;
    }
    double t0 = (-half[i] - r.origin[i]) / r.direction[i];
    double t1 = (half[i] - r.origin[i]) / r.direction[i];
    if (t0 > t1)
      std::swap(t0, t1);
    t_near = std::max(t_near, t0);
    t_far = std::min(t_far, t1);
    if (t_near > t_far)
      return std::nullopt;
  }
  if (t_near > kEps)
    return t_near;
  return std::nullopt;  // behind the ray, or the origin is inside
}

std::optional<double> IntersectCylinder(double radius, double half_length, const Ray& r) {
  std::optional<double> best;
  const auto& o = r.origin;
  const auto& d = r.direction;
  // Mantle: y^2 + z^2 = radius^2 within the length.
  const double a = d.y() * d.y() + d.z() * d.z();
  if (a > 1e-15) {
    const double b = 2.0 * (o.y() * d.y() + o.z() * d.z());
    const double c = o.y() * o.y() + o.z() * o.z() - radius * radius;
    const double disc = b * b - 4.0 * a * c;
    if (disc >= 0.0) {
      const double sq = std::sqrt(disc);
      for (const double t : {(-b - sq) / (2.0 * a), (-b + sq) / (2.0 * a)}) {
        if (std::abs(o.x() + t * d.x()) <= half_length)
          Consider(t, best);
      }
    }
  }
  // End caps.
  if (std::abs(d.x()) > 1e-15) {
    for (const double x : {-half_length, half_length}) {
      const double t = (x - o.x()) / d.x();
      const double y = o.y() + t * d.y();
      const double z = o.z() + t * d.z();
      if (y * y + z * z <= radius * radius)
        Consider(t, best);
    }
  }
  return best;
}

Eigen::Matrix3d EulerDeg(const Eigen::Vector3d& rpy) {
  const Eigen::Vector3d r = rpy * kPi / 180.0;
  return (Eigen::AngleAxisd(r.z(), Eigen::Vector3d::UnitZ()) *
          Eigen::AngleAxisd(r.y(), Eigen::Vector3d::UnitY()) *
          Eigen::AngleAxisd(r.x(), Eigen::Vector3d::UnitX()))
      .toRotationMatrix();
}

// Square dilation of a boolean image by `radius` pixels (separable): a pixel
// is set when a set pixel lies within `radius` along the row, then the column.
std::vector<char> Dilate1D(const std::vector<char>& in, int w, int h, int radius, bool rows) {
  std::vector<char> out(in.size(), 0);
  const int lines = rows ? h : w;
  const int length = rows ? w : h;
  auto at = [&](int line, int k) {
    return static_cast<std::size_t>(rows ? line * w + k : k * w + line);
  };
  for (int line = 0; line < lines; ++line) {
    int last = -1;
    for (int k = 0; k < length; ++k) {
      if (in[at(line, k)])
        last = k;
      if (last >= 0 && k - last <= radius)
        out[at(line, k)] = 1;
    }
    last = -1;
    for (int k = length - 1; k >= 0; --k) {
      if (in[at(line, k)])
        last = k;
      if (last >= 0 && last - k <= radius)
        out[at(line, k)] = 1;
    }
  }
  return out;
}

std::vector<char> Dilate(const std::vector<char>& in, int w, int h, int radius) {
  return Dilate1D(Dilate1D(in, w, h, radius, true), w, h, radius, false);
}

struct Pixel {
  bool hit{false};
  bool on_piece{false};
  double t{0.0};
  Ray ray;
};

std::vector<Pixel> Render(const Scene& scene, const PinholeCamera& cam) {
  std::vector<Pixel> pixels(static_cast<std::size_t>(cam.width * cam.height));
  for (int v = 0; v < cam.height; ++v) {
    for (int u = 0; u < cam.width; ++u) {
      Pixel& px = pixels[static_cast<std::size_t>(v) * static_cast<std::size_t>(cam.width) +
                         static_cast<std::size_t>(u)];
      px.ray = cam.PixelRay(u, v);
      if (const auto hit = CastRay(scene, px.ray)) {
        px.hit = true;
        px.on_piece = hit->shape_index >= 0;
        px.t = hit->t;
      }
    }
  }
  return pixels;
}

}  // namespace

Shape Shape::Box(const Eigen::Vector3d& size, const Eigen::Vector3d& center,
                 const Eigen::Vector3d& rpy_deg) {
  Shape s;
  s.kind = Kind::kBox;
  s.size = size;
  s.base_from_local.linear() = EulerDeg(rpy_deg);
  s.base_from_local.translation() = center;
  return s;
}

Shape Shape::Cylinder(double diameter, double length, const Eigen::Vector3d& center,
                      const Eigen::Vector3d& axis) {
  Shape s;
  s.kind = Kind::kCylinder;
  s.size = Eigen::Vector3d(length, diameter, diameter);
  s.base_from_local.linear() =
      Eigen::Quaterniond::FromTwoVectors(Eigen::Vector3d::UnitX(), axis.normalized())
          .toRotationMatrix();
  s.base_from_local.translation() = center;
  return s;
}

double Shape::LowestZ() const {
  const Eigen::Matrix3d& r = base_from_local.linear();
  const Eigen::Vector3d half = 0.5 * size;
  if (kind == Kind::kBox) {
    return Center().z() - (std::abs(r(2, 0)) * half.x() + std::abs(r(2, 1)) * half.y() +
                           std::abs(r(2, 2)) * half.z());
  }
  const double az = std::abs(r(2, 0));
  return Center().z() - (half.x() * az + half.y() * std::sqrt(std::max(0.0, 1.0 - az * az)));
}

double Shape::HighestZ() const {
  return 2.0 * Center().z() - LowestZ();
}

Shape Shape::RestingOn(double floor_z) const {
  Shape s = *this;
  s.base_from_local.translation().z() += floor_z - LowestZ();
  return s;
}

std::optional<double> Shape::Intersect(const Ray& ray) const {
  const Ray local = ToLocal(*this, ray);
  if (kind == Kind::kBox) {
    return IntersectBox(0.5 * size, local);
  }
  return IntersectCylinder(0.5 * size.y(), 0.5 * size.x(), local);
}

bool Shape::Contains(const Eigen::Vector3d& point, double tolerance) const {
  const Eigen::Vector3d p = base_from_local.inverse() * point;
  const Eigen::Vector3d half = 0.5 * size;
  if (kind == Kind::kBox) {
    return (p.cwiseAbs() - half).maxCoeff() <= tolerance;
  }
  return std::abs(p.x()) <= half.x() + tolerance &&
         std::hypot(p.y(), p.z()) <= half.y() + tolerance;
}

std::optional<Hit> CastRay(const Scene& scene, const Ray& ray) {
  std::optional<Hit> best;
  if (std::abs(ray.direction.z()) > 1e-15) {
    const double t = (scene.floor_z - ray.origin.z()) / ray.direction.z();
    if (t > kEps)
      best = Hit{t, ray.origin + t * ray.direction, -1};
  }
  for (std::size_t i = 0; i < scene.shapes.size(); ++i) {
    const auto t = scene.shapes[i].Intersect(ray);
    if (t && (!best || *t < best->t)) {
      best = Hit{*t, ray.origin + *t * ray.direction, static_cast<int>(i)};
    }
  }
  return best;
}

PinholeCamera PinholeCamera::LookingAt(const Eigen::Vector3d& eye, const Eigen::Vector3d& target,
                                       double fx, double fy, int width, int height) {
  PinholeCamera cam;
  cam.fx = fx;
  cam.fy = fy;
  cam.cx = 0.5 * (width - 1);
  cam.cy = 0.5 * (height - 1);
  cam.width = width;
  cam.height = height;
  const Eigen::Vector3d z = (target - eye).normalized();
  Eigen::Vector3d x = z.cross(Eigen::Vector3d::UnitZ());
  if (x.squaredNorm() < 1e-12) {
    x = Eigen::Vector3d::UnitY();  // looking straight down or up
  }
  x.normalize();
  const Eigen::Vector3d y = z.cross(x);
  cam.base_from_camera.linear().col(0) = x;
  cam.base_from_camera.linear().col(1) = y;
  cam.base_from_camera.linear().col(2) = z;
  cam.base_from_camera.translation() = eye;
  return cam;
}

Ray PinholeCamera::PixelRay(double u, double v) const {
  const Eigen::Vector3d d((u - cx) / fx, (v - cy) / fy, 1.0);
  return Ray{base_from_camera.translation(), (base_from_camera.linear() * d).normalized()};
}

pcl::PointCloud<pcl::PointXYZ>::Ptr MakePieceCloud(const Shape& piece,
                                                   const PieceCloudOptions& options) {
  Scene scene;
  scene.floor_z = options.floor_z;
  scene.shapes.push_back(piece);

  const Eigen::Vector3d eye = options.camera_position;
  const Eigen::Vector3d target = piece.Center();
  const double dist = (target - eye).norm();
  const double view_radius = piece.BoundingRadius() + options.floor_margin + 0.005;
  const double half_angle = std::asin(std::min(0.95, view_radius / dist));

  // A coarse render tells how many pixels the piece covers; scale the
  // resolution so that the piece gets about target_points points.
  auto camera_of_side = [&](int side) {
    const double f = 0.5 * side / std::tan(half_angle);
    return PinholeCamera::LookingAt(eye, target, f, f, side, side);
  };
  constexpr int kProbeSide = 96;
  std::size_t probe_hits = 0;
  for (const auto& px : Render(scene, camera_of_side(kProbeSide))) {
    probe_hits += px.on_piece ? 1 : 0;
  }
  int side = kProbeSide;
  if (probe_hits > 0) {
    side = static_cast<int>(std::lround(
        kProbeSide * std::sqrt(static_cast<double>(options.target_points) / probe_hits)));
    side = std::clamp(side, 16, 4000);
  }
  const PinholeCamera cam = camera_of_side(side);
  const std::vector<Pixel> pixels = Render(scene, cam);

  std::vector<char> mask(pixels.size(), 0);
  for (std::size_t i = 0; i < pixels.size(); ++i)
    mask[i] = pixels[i].on_piece ? 1 : 0;
  const int margin_px = static_cast<int>(std::ceil(options.floor_margin * cam.fx / dist));
  const std::vector<char> taken = Dilate(mask, cam.width, cam.height, margin_px);

  std::mt19937 rng(options.seed);
  std::normal_distribution<double> noise(0.0,
                                         options.noise_sigma > 0.0 ? options.noise_sigma : 1.0);
  auto cloud = pcl::PointCloud<pcl::PointXYZ>::Ptr(new pcl::PointCloud<pcl::PointXYZ>);
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    const Pixel& px = pixels[i];
    if (!px.hit || !taken[i])
      continue;
    const double t = px.t + (options.noise_sigma > 0.0 ? noise(rng) : 0.0);
    const Eigen::Vector3d p = px.ray.origin + t * px.ray.direction;
    cloud->push_back(pcl::PointXYZ(static_cast<float>(p.x()), static_cast<float>(p.y()),
                                   static_cast<float>(p.z())));
  }

  const double reach = piece.BoundingRadius() + 0.05;
  std::uniform_real_distribution<double> ux(target.x() - reach, target.x() + reach);
  std::uniform_real_distribution<double> uy(target.y() - reach, target.y() + reach);
  std::uniform_real_distribution<double> uz(options.floor_z, piece.HighestZ() + 0.05);
  for (std::size_t i = 0; i < options.outliers; ++i) {
    const double x = ux(rng);
    const double y = uy(rng);
    const double z = uz(rng);
    cloud->push_back(
        pcl::PointXYZ(static_cast<float>(x), static_cast<float>(y), static_cast<float>(z)));
  }
  cloud->width = static_cast<std::uint32_t>(cloud->size());
  cloud->height = 1;
  cloud->is_dense = true;
  return cloud;
}

}  // namespace moorwick_sim
