#include "moorwick_arm_trash_detect/fast_cloud_ops.hpp"

#include <Eigen/Eigenvalues>
#include <algorithm>
#include <cmath>
#include <limits>
#include <thread>

namespace moorwick {
namespace {

struct Point3 {
  float x;
  float y;
  float z;
};

bool IsFinite(const pcl::PointXYZ& p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

// Squared distance with FLANN's L2_Simple arithmetic: float, x then y then z.
inline float SquaredDistance(const Point3& a, const Point3& b) {
  const float dx = a.x - b.x;
  const float dy = a.y - b.y;
  const float dz = a.z - b.z;
  float r = 0.0F;
  r += dx * dx;
  r += dy * dy;
  r += dz * dz;
  return r;
}

// Cell edge over (extent / sqrt(points)), from a few trials on the benchmark
// pieces; any value gives the same neighbours.
constexpr double kCellScale = 1.5;

// Finite points bucketed into cubic cells, stored cell after cell so that a
// row of cells along x is one contiguous range.
class UniformGrid {
public:
  explicit UniformGrid(std::vector<Point3> points) {
    const std::size_t n = points.size();
    // The grid spans the bulk of the cloud (2nd to 98th percentile per axis);
    // points beyond go to the border cells, which thus reach outwards without
    // end. The search stays exact: its distance bounds only use a cell's inner
    // faces, which do not move.
    const auto quantiles = [&](float Point3::*axis, float& lo, float& hi) {
      std::vector<float> v(n);
      for (std::size_t i = 0; i < n; ++i) {
        v[i] = points[i].*axis;
      }
      const std::size_t cut = n / 50;
      std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(cut), v.end());
      lo = v[cut];
      std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(n - 1 - cut), v.end());
      hi = v[n - 1 - cut];
    };
    Point3 lo{0.0F, 0.0F, 0.0F};
    Point3 hi{0.0F, 0.0F, 0.0F};
    if (n > 0) {
      quantiles(&Point3::x, lo.x, hi.x);
      quantiles(&Point3::y, lo.y, hi.y);
      quantiles(&Point3::z, lo.z, hi.z);
    }
    lo_ = lo;
    const double ex = static_cast<double>(hi.x) - static_cast<double>(lo.x);
    const double ey = static_cast<double>(hi.y) - static_cast<double>(lo.y);
    const double ez = static_cast<double>(hi.z) - static_cast<double>(lo.z);
    const double extent = std::max({ex, ey, ez});
    // Pieces are surfaces: about sqrt(n) points across, and a cell a few point
    // spacings wide holds a neighbourhood of some tens of points.
    double h = extent > 0.0 ? kCellScale * extent /
                                  std::sqrt(static_cast<double>(std::max<std::size_t>(n, 1)))
                            : 1.0;
    const double max_cells = 16.0 * static_cast<double>(n) + 64.0;
    for (;;) {
      nx_ = static_cast<int>(ex / h) + 1;
      ny_ = static_cast<int>(ey / h) + 1;
      nz_ = static_cast<int>(ez / h) + 1;
      if (static_cast<double>(nx_) * ny_ * nz_ <= max_cells) {
        break;
      }
      h *= 1.25;
    }
    h_ = static_cast<float>(h);

    const std::size_t cells = static_cast<std::size_t>(nx_) * static_cast<std::size_t>(ny_) *
                              static_cast<std::size_t>(nz_);
    start_.assign(cells + 1, 0);
    std::vector<std::uint32_t> cell_of(n);
    for (std::size_t i = 0; i < n; ++i) {
      cell_of[i] = static_cast<std::uint32_t>(CellId(points[i]));
      ++start_[cell_of[i] + 1];
    }
    for (std::size_t c = 0; c < cells; ++c) {
      start_[c + 1] += start_[c];
    }
    std::vector<std::uint32_t> fill(start_.begin(), start_.end() - 1);
    sorted_.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      sorted_[fill[cell_of[i]]++] = points[i];
    }
    // Neighbour cells by the least distance any point of the query's cell can
    // have to them (less a margin for rounding), nearest first.
    for (int dz = -kReach; dz <= kReach; ++dz) {
      for (int dy = -kReach; dy <= kReach; ++dy) {
        for (int dx = -kReach; dx <= kReach; ++dx) {
          const auto gap = [&](int d) {
            const int a = std::abs(d);
            return a > 1 ? static_cast<float>(a - 1) * h_ - 1e-3F * h_ : 0.0F;
          };
          const float gx = gap(dx);
          const float gy = gap(dy);
          const float gz = gap(dz);
          offsets_.push_back({dx, dy, dz, gx * gx + gy * gy + gz * gz});
        }
      }
    }
    std::stable_sort(offsets_.begin(), offsets_.end(),
                     [](const Offset& a, const Offset& b) { return a.least < b.least; });
    const float reach = static_cast<float>(kReach) * h_ - 1e-3F * h_;
    beyond_reach_ = reach * reach;
  }

  // The k smallest squared distances from q to the points (q itself
  // included when it is one of them), ascending, in `best`; returns how many.
  // Visits the cells around q nearest first, stopping as soon
  // as no unvisited cell can hold a closer point; looks at every point when
  // the neighbourhood reaches past the precomputed cells.
  std::size_t NearestPruned(const Point3& q, std::size_t k, std::vector<float>& best) const {
    best.clear();
    const int cx = Coord(q.x, lo_.x, nx_);
    const int cy = Coord(q.y, lo_.y, ny_);
    const int cz = Coord(q.z, lo_.z, nz_);
    // Candidates below `limit`, an upper bound of the k-th smallest distance
    // once k are known; compacted to the k smallest when the buffer fills.
    float limit = std::numeric_limits<float>::infinity();
    const auto compact = [&]() {
      std::nth_element(best.begin(), best.begin() + static_cast<std::ptrdiff_t>(k - 1), best.end());
      best.resize(k);
      limit = *std::max_element(best.begin(), best.end());
    };
    bool stopped = false;
    for (const Offset& o : offsets_) {
      if (o.least > limit && limit <= beyond_reach_) {
        stopped = true;
        break;
      }
      const int x = cx + o.dx;
      const int y = cy + o.dy;
      const int z = cz + o.dz;
      if (x < 0 || y < 0 || z < 0 || x >= nx_ || y >= ny_ || z >= nz_) {
        continue;
      }
      const std::size_t cell = (static_cast<std::size_t>(z) * static_cast<std::size_t>(ny_) +
                                static_cast<std::size_t>(y)) *
                                   static_cast<std::size_t>(nx_) +
                               static_cast<std::size_t>(x);
      const std::uint32_t e = start_[cell + 1];
      for (std::uint32_t i = start_[cell]; i < e; ++i) {
        const float d = SquaredDistance(q, sorted_[i]);
        if (d < limit) {
          best.push_back(d);
        }
      }
      if (best.size() >= 3 * k ||
          (best.size() >= k && limit == std::numeric_limits<float>::infinity())) {
        compact();
      }
    }
    if (best.size() > k) {
      compact();
    }
    if (!stopped && !(best.size() == k && limit <= beyond_reach_)) {
      // Either every cell was within reach and visited (nothing left), or not.
      const bool whole_grid = cx - kReach <= 0 && cy - kReach <= 0 && cz - kReach <= 0 &&
                              cx + kReach >= nx_ - 1 && cy + kReach >= ny_ - 1 &&
                              cz + kReach >= nz_ - 1;
      if (!whole_grid) {
        return Everything(q, k, best);
      }
    }
    std::sort(best.begin(), best.end());
    return best.size();
  }

  // The k smallest squared distances from q to the points (q itself
  // included when it is one of them), ascending, in `best`; returns how many.
  // Looks at every point: for queries far off the bulk (outliers).
  std::size_t Everything(const Point3& q, std::size_t k, std::vector<float>& best) const {
    best.clear();
    best.reserve(sorted_.size());
    for (const Point3& p : sorted_) {
      best.push_back(SquaredDistance(q, p));
    }
    if (best.size() > k) {
      std::nth_element(best.begin(), best.begin() + static_cast<std::ptrdiff_t>(k - 1), best.end());
      best.resize(k);
    }
    std::sort(best.begin(), best.end());
    return best.size();
  }

private:
  int Coord(float v, float lo, int n) const {
    const float f = (v - lo) / h_;
    if (!(f >= 1.0F)) {
      return 0;
    }
    if (f >= static_cast<float>(n)) {
      return n - 1;
    }
    return std::min(static_cast<int>(f), n - 1);
  }
  std::size_t CellId(const Point3& p) const {
    return (static_cast<std::size_t>(Coord(p.z, lo_.z, nz_)) * static_cast<std::size_t>(ny_) +
            static_cast<std::size_t>(Coord(p.y, lo_.y, ny_))) *
               static_cast<std::size_t>(nx_) +
           static_cast<std::size_t>(Coord(p.x, lo_.x, nx_));
  }

  struct Offset {
    int dx;
    int dy;
    int dz;
    float least;  // squared lower bound of the distance
  };
  static constexpr int kReach = 4;

  Point3 lo_{0.0F, 0.0F, 0.0F};
  float h_{1.0F};
  std::vector<Offset> offsets_;
  float beyond_reach_{0.0F};
  int nx_{1};
  int ny_{1};
  int nz_{1};
  std::vector<std::uint32_t> start_;
  std::vector<Point3> sorted_;
};

// Minimum points per thread before a second thread pays for its start.
constexpr std::size_t kMinPointsPerThread = 1500;

}  // namespace

std::vector<float> KnnMeanDistances(const pcl::PointCloud<pcl::PointXYZ>& cloud, int mean_k,
                                    int threads) {
  const std::size_t n = cloud.size();
  std::vector<float> distances(n, 0.0F);
  if (n == 0 || mean_k < 1) {
    return distances;
  }
  std::vector<Point3> finite;
  finite.reserve(n);
  for (const auto& p : cloud.points) {
    if (IsFinite(p)) {
      finite.push_back({p.x, p.y, p.z});
    }
  }
  if (finite.empty()) {
    return distances;
  }
  const UniformGrid grid(std::move(finite));
  // PCL asks for mean_k + 1 neighbours (the query is among them); on a smaller
  // cloud it gets all points and the missing ones add nothing to the sum,
  // which is still divided by mean_k.
  const std::size_t want = static_cast<std::size_t>(mean_k) + 1;
  const auto work = [&](std::size_t begin, std::size_t end) {
    std::vector<float> best;
    for (std::size_t i = begin; i < end; ++i) {
      const auto& p = cloud.points[i];
      if (!IsFinite(p)) {
        continue;
      }
      const std::size_t found = grid.NearestPruned({p.x, p.y, p.z}, want, best);
      double sum = 0.0;
      for (std::size_t j = 1; j < found; ++j) {
        sum += std::sqrt(static_cast<double>(best[j]));
      }
      distances[i] = static_cast<float>(sum / mean_k);
    }
  };
  const std::size_t parts =
      std::min<std::size_t>(static_cast<std::size_t>(std::max(threads, 1)),
                            std::max<std::size_t>(n / kMinPointsPerThread, 1));
  if (parts <= 1) {
    work(0, n);
    return distances;
  }
  std::vector<std::thread> helpers;
  helpers.reserve(parts - 1);
  for (std::size_t t = 1; t < parts; ++t) {
    helpers.emplace_back(work, n * t / parts, n * (t + 1) / parts);
  }
  work(0, n / parts);
  for (auto& h : helpers) {
    h.join();
  }
  return distances;
}

std::vector<std::uint32_t> StatisticalInlierIndices(const pcl::PointCloud<pcl::PointXYZ>& cloud,
                                                    int mean_k, double stddev_mult, int threads) {
  const std::vector<float> distances = KnnMeanDistances(cloud, mean_k, threads);
  int valid = 0;
  for (const auto& p : cloud.points) {
    valid += IsFinite(p) ? 1 : 0;
  }
  // PCL's statistics, operation for operation (the square is a float product).
  double sum = 0.0;
  double sq_sum = 0.0;
  for (const float d : distances) {
    sum += d;
    sq_sum += d * d;
  }
  const double mean = sum / static_cast<double>(valid);
  const double variance =
      (sq_sum - sum * sum / static_cast<double>(valid)) / (static_cast<double>(valid) - 1);
  const double threshold = mean + stddev_mult * std::sqrt(variance);
  std::vector<std::uint32_t> kept;
  kept.reserve(distances.size());
  for (std::size_t i = 0; i < distances.size(); ++i) {
    if (!(distances[i] > threshold)) {
      kept.push_back(static_cast<std::uint32_t>(i));
    }
  }
  return kept;
}

void RemoveStatisticalOutliers(pcl::PointCloud<pcl::PointXYZ>& cloud, int mean_k,
                               double stddev_mult, int threads) {
  const std::vector<std::uint32_t> kept =
      StatisticalInlierIndices(cloud, mean_k, stddev_mult, threads);
  if (kept.size() == cloud.size()) {
    return;
  }
  pcl::PointCloud<pcl::PointXYZ>::VectorType points;
  points.reserve(kept.size());
  for (const std::uint32_t i : kept) {
    points.push_back(cloud.points[i]);
  }
  cloud.points = std::move(points);
  cloud.width = static_cast<std::uint32_t>(cloud.points.size());
  cloud.height = 1;
}

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
