#include "moorwick_arm_trash_detect/core/grid_neighbour_search.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
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

constexpr float kInf = std::numeric_limits<float>::infinity();

// First guess of the cell edge over (extent / sqrt(points)), about the k-th
// neighbour distance on a flat piece; only used to measure the neighbourhood
// size the real grid is then sized for.
constexpr double kFirstCellScale = 4.0;
// Cell edge over the typical k-th neighbour distance: the 3x3x3 block around
// a query then nearly always holds its k neighbours.
constexpr double kBlockCellScale = 1.4;
// The next query's guess of its k-th squared distance over the last one's.
constexpr float kGuessWidening = 1.1F;
// Queries sampled to measure the k-th neighbour distance.
constexpr std::size_t kRadiusSamples = 48;

// The bulk of the cloud: 2nd to 98th percentile per axis, from at most this
// many points (any bounds give exact searches; these only size the grid).
constexpr std::size_t kBulkSamples = 4096;
struct Bulk {
  Point3 lo{0.0F, 0.0F, 0.0F};
  Point3 hi{0.0F, 0.0F, 0.0F};
};

Bulk BulkOf(const std::vector<Point3>& points) {
  const std::size_t all = points.size();
  const std::size_t n = std::min(all, kBulkSamples);
  Bulk b;
  if (n == 0) {
    return b;
  }
  std::vector<float> v(n);
  const auto quantiles = [&](float Point3::*axis, float& lo, float& hi) {
    for (std::size_t i = 0; i < n; ++i) {
      v[i] = points[i * all / n].*axis;
    }
    const std::size_t cut = n / 50;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(cut), v.end());
    lo = v[cut];
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(n - 1 - cut), v.end());
    hi = v[n - 1 - cut];
  };
  quantiles(&Point3::x, b.lo.x, b.hi.x);
  quantiles(&Point3::y, b.lo.y, b.hi.y);
  quantiles(&Point3::z, b.lo.z, b.hi.z);
  return b;
}

// PCL's mean distance: square roots in double summed nearest first, without
// the query itself (the smallest, 0), divided by mean_k even when fewer
// neighbours were found. `squared` must be ascending.
float SortedMeanOfRoots(const float* squared, std::size_t found, int mean_k) {
  double sum = 0.0;
  for (std::size_t j = 1; j < found; ++j) {
    sum += std::sqrt(static_cast<double>(squared[j]));
  }
  return static_cast<float>(sum / mean_k);
}

// The same value from the k smallest squared distances in any order (the
// query's own 0 among them): summed unsorted, the double sum can only differ
// from the sorted one by a few units in its last place, which almost never
// changes the float result; only when it could are they sorted.
float MeanOfRoots(float* squared, std::size_t k, int mean_k) {
  double sum = 0.0;
  for (std::size_t j = 0; j < k; ++j) {
    sum += std::sqrt(static_cast<double>(squared[j]));
  }
  // Summed in any order, k positive terms land within (k - 1) / 2 epsilon of
  // the exact sum; the two orders thus within (k - 1) epsilon of each other.
  // Twice k epsilon also covers the rounding of the bounds themselves.
  const double slack = 2.0 * static_cast<double>(k) * std::numeric_limits<double>::epsilon() * sum;
  const auto low = static_cast<float>((sum - slack) / mean_k);
  const auto high = static_cast<float>((sum + slack) / mean_k);
  if (low == high) {
    return low;
  }
  std::sort(squared, squared + k);
  return SortedMeanOfRoots(squared, k, mean_k);
}

// At most this many of the candidates below the guess are dropped one by one
// to leave the k smallest; with more, they are selected with nth_element.
constexpr std::size_t kMaxDropped = 24;

// The mean distance from the k smallest of squared[0..c) (c >= k, the
// query's own 0 among them), whatever their order; the largest of those k in
// `kth`. Candidates below a good guess exceed k by a few, so rather than
// selecting the k smallest this sums every root and takes off the few largest.
float MeanOfKSmallestRoots(float* squared, std::size_t c, std::size_t k, int mean_k, float& kth) {
  const std::size_t r = c - k;
  if (r > kMaxDropped) {
    std::nth_element(squared, squared + (k - 1), squared + c);
    kth = squared[k - 1];
    return MeanOfRoots(squared, k, mean_k);
  }
  float drop[kMaxDropped];  // the r largest so far, ascending
  std::size_t held = 0;
  float largest_kept = 0.0F;
  double total = 0.0;
  for (std::size_t j = 0; j < c; ++j) {
    float x = squared[j];
    total += std::sqrt(static_cast<double>(x));
    if (held < r) {
      std::size_t i = held++;
      for (; i > 0 && drop[i - 1] > x; --i) {
        drop[i] = drop[i - 1];
      }
      drop[i] = x;
      continue;
    }
    if (r > 0 && x > drop[0]) {
      std::swap(x, drop[0]);
      for (std::size_t i = 1; i < r && drop[i] < drop[i - 1]; ++i) {
        std::swap(drop[i], drop[i - 1]);
      }
    }
    largest_kept = std::max(largest_kept, x);
  }
  double dropped = 0.0;
  for (std::size_t i = 0; i < r; ++i) {
    dropped += std::sqrt(static_cast<double>(drop[i]));
  }
  kth = largest_kept;
  const double sum = total - dropped;
  // As in MeanOfRoots, with the dropped terms' and the subtraction's rounding.
  const double slack =
      2.0 * static_cast<double>(c + r + 1) * std::numeric_limits<double>::epsilon() * total;
  const auto low = static_cast<float>((sum - slack) / mean_k);
  const auto high = static_cast<float>((sum + slack) / mean_k);
  if (low == high) {
    return low;
  }
  std::nth_element(squared, squared + (k - 1), squared + c);
  std::sort(squared, squared + k);
  return SortedMeanOfRoots(squared, k, mean_k);
}

// Points bucketed into cubic cells over the bulk of the cloud, stored cell
// after cell so that a row of cells along x is one contiguous range. Points
// beyond the bulk go to the border cells, which thus reach outwards without
// end; the searches stay exact because their distance bounds only use faces
// that have cells on both sides.
class UniformGrid {
public:
  UniformGrid(const std::vector<Point3>& points, const Bulk& bulk, double edge) : lo_(bulk.lo) {
    const std::size_t n = points.size();
    const double ex = static_cast<double>(bulk.hi.x) - static_cast<double>(bulk.lo.x);
    const double ey = static_cast<double>(bulk.hi.y) - static_cast<double>(bulk.lo.y);
    const double ez = static_cast<double>(bulk.hi.z) - static_cast<double>(bulk.lo.z);
    double h = edge > 0.0 && std::isfinite(edge) ? edge : 1.0;
    const double max_cells = 16.0 * static_cast<double>(n) + 64.0;
    for (;;) {
      const double cx = std::floor(ex / h) + 1.0;
      const double cy = std::floor(ey / h) + 1.0;
      const double cz = std::floor(ez / h) + 1.0;
      if (cx * cy * cz <= max_cells) {
        nx_ = static_cast<int>(cx);
        ny_ = static_cast<int>(cy);
        nz_ = static_cast<int>(cz);
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
    sorted_id_.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t slot = fill[cell_of[i]]++;
      sorted_[slot] = points[i];
      sorted_id_[slot] = static_cast<std::uint32_t>(i);
    }
  }

  std::size_t cell_count() const { return start_.size() - 1; }
  // Points stored before `cell`.
  std::uint32_t points_before(std::size_t cell) const { return start_[cell]; }

  // The k smallest squared distances from q to the points (q itself
  // included when it is one of them), ascending, in `best`; returns how many.
  // Visits shells of cells around q's cell, one cell further each time, and
  // stops once no cell outside the shells can hold a closer point.
  // With first_shell > 0, `best` comes holding the k smallest distances of
  // the shells before it.
  std::size_t Nearest(const Point3& q, std::size_t k, std::vector<float>& best,
                      int first_shell = 0) const {
    if (first_shell == 0) {
      best.clear();
    }
    const int n[3] = {nx_, ny_, nz_};
    const float f[3] = {(q.x - lo_.x) / h_, (q.y - lo_.y) / h_, (q.z - lo_.z) / h_};
    const int c[3] = {Coord(q.x, lo_.x, nx_), Coord(q.y, lo_.y, ny_), Coord(q.z, lo_.z, nz_)};
    // Candidates below `limit`, an upper bound of the k-th smallest distance
    // once k are known; compacted to the k smallest when the buffer fills.
    float limit = first_shell == 0 ? kInf : *std::max_element(best.begin(), best.end());
    const auto compact = [&]() {
      std::nth_element(best.begin(), best.begin() + static_cast<std::ptrdiff_t>(k - 1), best.end());
      best.resize(k);
      limit = *std::max_element(best.begin(), best.end());
    };
    // Least distance, in cell units, from q to cells lo..hi of axis a.
    const auto gap = [&](int a, int lo, int hi) {
      float g = 0.0F;
      if (lo > c[a]) {
        g = static_cast<float>(lo) - f[a];
      } else if (hi < c[a]) {
        g = f[a] - static_cast<float>(hi + 1);
      }
      return std::max(g - CellRounding(std::abs(f[a]) + static_cast<float>(std::abs(lo) + 2)),
                      0.0F);
    };
    // Whether cells whose least distance to q is `units` (squared, in cell
    // units) are out of reach of the k-th distance so far: none of their
    // points could enter.
    const auto beyond = [&](float squared_units) {
      return limit < kInf && squared_units * h_ * h_ * (1.0F - 1e-5F) >= limit;
    };
    const auto visit = [&](int x0, int x1, int y, int z, float gyz) {
      const float gx = gap(0, x0, x1);
      if (beyond(gx * gx + gyz)) {
        return;
      }
      const std::uint32_t e = start_[Index(x1, y, z) + 1];
      for (std::uint32_t i = start_[Index(x0, y, z)]; i < e; ++i) {
        const float d = SquaredDistance(q, sorted_[i]);
        // Distances overflowing to infinity still count while fewer than k
        // are known: PCL's search returns them.
        if (d < limit || limit == kInf) {
          best.push_back(d);
        }
      }
      if (best.size() >= 3 * k || (best.size() >= k && limit == kInf)) {
        compact();
      }
    };
    for (int s = first_shell;; ++s) {
      const int x0 = std::max(c[0] - s, 0);
      const int x1 = std::min(c[0] + s, nx_ - 1);
      for (int z = std::max(c[2] - s, 0); z <= std::min(c[2] + s, nz_ - 1); ++z) {
        const float gz = gap(2, z, z);
        if (beyond(gz * gz)) {
          continue;  // the whole plane
        }
        for (int y = std::max(c[1] - s, 0); y <= std::min(c[1] + s, ny_ - 1); ++y) {
          const float gy = gap(1, y, y);
          const float gyz = gy * gy + gz * gz;
          if (beyond(gyz)) {
            continue;
          }
          if (std::abs(z - c[2]) == s || std::abs(y - c[1]) == s) {
            visit(x0, x1, y, z, gyz);
            continue;
          }
          if (c[0] - s >= 0) {
            visit(c[0] - s, c[0] - s, y, z, gyz);
          }
          if (c[0] + s <= nx_ - 1) {
            visit(c[0] + s, c[0] + s, y, z, gyz);
          }
        }
      }
      // Least distance, in cell units, to a cell more than s cells away on
      // some axis: border cells reach without end, so only faces with cells
      // beyond them count.
      float units = kInf;
      float largest_f = 0.0F;
      for (int a = 0; a < 3; ++a) {
        if (c[a] + s + 1 <= n[a] - 1) {
          units = std::min(units, static_cast<float>(c[a] + s + 1) - f[a]);
        }
        if (c[a] - s - 1 >= 0) {
          units = std::min(units, f[a] - static_cast<float>(c[a] - s));
        }
        largest_f = std::max(largest_f, std::abs(f[a]));
      }
      if (units == kInf) {
        break;  // every cell visited
      }
      if (best.size() >= k) {
        if (best.size() > k) {
          compact();
        }
        const float reach = (units - CellRounding(largest_f + static_cast<float>(s))) * h_;
        if (reach > 0.0F && limit < reach * reach * (1.0F - 1e-5F)) {
          break;
        }
      }
    }
    if (best.size() > k) {
      compact();
    }
    std::sort(best.begin(), best.end());
    return best.size();
  }

  // Mean distance to the mean_k nearest neighbours of every point stored in
  // cells [first, last), written to out[index the point had in the input].
  // The points of one cell are answered together from the 3x3x3 block of
  // cells around it, whenever their k-th neighbour provably lies inside the
  // block; otherwise by Nearest.
  void BlockMeans(std::size_t first, std::size_t last, int mean_k, float* out) const {
    const std::size_t k = static_cast<std::size_t>(mean_k) + 1;
    std::vector<float> bx;
    std::vector<float> by;
    std::vector<float> bz;
    std::vector<float> d;
    std::vector<float> pick;
    std::vector<float> best;
    // The k-th distance of the last query, widened: neighbouring queries have
    // similar ones, so a first pass below it usually leaves a short list.
    float guess = kInf;
    const std::size_t plane = static_cast<std::size_t>(nx_) * static_cast<std::size_t>(ny_);
    for (std::size_t cell = first; cell < last; ++cell) {
      if (start_[cell] == start_[cell + 1]) {
        continue;
      }
      const int cx = static_cast<int>(cell % static_cast<std::size_t>(nx_));
      const int cy =
          static_cast<int>((cell / static_cast<std::size_t>(nx_)) % static_cast<std::size_t>(ny_));
      const int cz = static_cast<int>(cell / plane);
      bx.clear();
      by.clear();
      bz.clear();
      const int x0 = std::max(cx - 1, 0);
      const int x1 = std::min(cx + 1, nx_ - 1);
      for (int z = std::max(cz - 1, 0); z <= std::min(cz + 1, nz_ - 1); ++z) {
        for (int y = std::max(cy - 1, 0); y <= std::min(cy + 1, ny_ - 1); ++y) {
          const std::uint32_t e = start_[Index(x1, y, z) + 1];
          for (std::uint32_t i = start_[Index(x0, y, z)]; i < e; ++i) {
            bx.push_back(sorted_[i].x);
            by.push_back(sorted_[i].y);
            bz.push_back(sorted_[i].z);
          }
        }
      }
      const std::size_t m = bx.size();
      d.resize(m);
      pick.resize(m);
      for (std::uint32_t qi = start_[cell]; qi < start_[cell + 1]; ++qi) {
        const Point3 q = sorted_[qi];
        const float reach = BlockReach(q, cx, cy, cz);
        for (std::size_t j = 0; j < m; ++j) {
          const float dx = q.x - bx[j];
          const float dy = q.y - by[j];
          const float dz = q.z - bz[j];
          float r = 0.0F;
          r += dx * dx;
          r += dy * dy;
          r += dz * dz;
          d[j] = r;
        }
        if (m >= k) {
          // Candidates up to the guess; a miss widens it rather than
          // selecting among all m.
          const auto keep_up_to = [&](const float* from, std::size_t count, float limit) {
            std::size_t kept = 0;
            for (std::size_t j = 0; j < count; ++j) {
              pick[kept] = from[j];
              kept += from[j] <= limit ? 1 : 0;
            }
            return kept;
          };
          float g = guess;
          std::size_t c = keep_up_to(d.data(), m, g);
          for (int widen = 0; widen < 2 && c < k; ++widen) {
            g *= 4.0F;
            c = keep_up_to(d.data(), m, g);
          }
          if (c < k) {
            std::copy(d.begin(), d.end(), pick.begin());
            c = m;
          } else if (c - k > kMaxDropped && g < kInf) {
            // Too many: on a surface the count grows with the squared
            // distance, so aim again at a little over k.
            const float tighter = g * static_cast<float>(k) / static_cast<float>(c) * 1.2F;
            std::size_t fewer = 0;
            for (std::size_t j = 0; j < c; ++j) {
              fewer += pick[j] <= tighter ? 1 : 0;
            }
            if (fewer >= k) {
              c = keep_up_to(pick.data(), c, tighter);
            }
          }
          float kth = 0.0F;
          const float mean = MeanOfKSmallestRoots(pick.data(), c, k, mean_k, kth);
          // Rounding of the float distances is far below this margin.
          if (kth < reach * reach * (1.0F - 1e-5F)) {
            out[sorted_id_[qi]] = mean;
            guess = kth * kGuessWidening;
            continue;
          }
          // The k-th neighbour may lie beyond the block: go on from the
          // block's k nearest with the shells around it.
          std::nth_element(pick.begin(), pick.begin() + static_cast<std::ptrdiff_t>(k - 1),
                           pick.begin() + static_cast<std::ptrdiff_t>(c));
          best.assign(pick.begin(), pick.begin() + static_cast<std::ptrdiff_t>(k));
          const std::size_t found = Nearest(q, k, best, 2);
          out[sorted_id_[qi]] = SortedMeanOfRoots(best.data(), found, mean_k);
          continue;
        }
        const std::size_t found = Nearest(q, k, best);
        out[sorted_id_[qi]] = SortedMeanOfRoots(best.data(), found, mean_k);
      }
    }
  }

private:
  std::size_t Index(int x, int y, int z) const {
    return (static_cast<std::size_t>(z) * static_cast<std::size_t>(ny_) +
            static_cast<std::size_t>(y)) *
               static_cast<std::size_t>(nx_) +
           static_cast<std::size_t>(x);
  }
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
    return Index(Coord(p.x, lo_.x, nx_), Coord(p.y, lo_.y, ny_), Coord(p.z, lo_.z, nz_));
  }

  // Distance from q (in cell c along one axis) to the nearest face of the
  // three cells c-1..c+1 that has cells beyond it; infinite without one. In
  // cell units first, as Coord computes them, less a margin for their rounding.
  float AxisReach(float v, float lo, int c, int n) const {
    const float f = (v - lo) / h_;
    float units = kInf;
    if (c - 1 >= 1) {
      units = f - static_cast<float>(c - 1);
    }
    if (c + 1 <= n - 2) {
      units = std::min(units, static_cast<float>(c + 2) - f);
    }
    if (units == kInf) {
      return kInf;
    }
    units -= CellRounding(std::abs(f) + 2.0F);
    return units > 0.0F ? units * h_ : 0.0F;
  }
  // Bound of the rounding in a cell coordinate of magnitude `f` (as Coord
  // computes it) and in the face it is compared with, in cell units.
  static float CellRounding(float f) { return 1e-3F + 1e-6F * f; }
  float BlockReach(const Point3& q, int cx, int cy, int cz) const {
    return std::min({AxisReach(q.x, lo_.x, cx, nx_), AxisReach(q.y, lo_.y, cy, ny_),
                     AxisReach(q.z, lo_.z, cz, nz_)});
  }

  Point3 lo_{0.0F, 0.0F, 0.0F};
  float h_{1.0F};
  int nx_{1};
  int ny_{1};
  int nz_{1};
  std::vector<std::uint32_t> start_;
  std::vector<Point3> sorted_;
  std::vector<std::uint32_t> sorted_id_;
};

// A cell edge close to the k-th neighbour distance of most points, measured
// on a sample of queries in a grid of a first-guess edge.
double BlockCellEdge(const std::vector<Point3>& points, const Bulk& bulk, std::size_t k) {
  const std::size_t n = points.size();
  const double extent = std::max({static_cast<double>(bulk.hi.x) - bulk.lo.x,
                                  static_cast<double>(bulk.hi.y) - bulk.lo.y,
                                  static_cast<double>(bulk.hi.z) - bulk.lo.z});
  const double first =
      extent > 0.0 ? kFirstCellScale * extent / std::sqrt(static_cast<double>(n)) : 1.0;
  const UniformGrid probe(points, bulk, first);
  const std::size_t samples = std::min(n, kRadiusSamples);
  std::vector<float> radii;
  std::vector<float> best;
  for (std::size_t s = 0; s < samples; ++s) {
    const std::size_t found = probe.Nearest(points[s * n / samples], k, best);
    if (found > 0) {
      radii.push_back(std::sqrt(best[found - 1]));
    }
  }
  if (radii.empty()) {
    return first;
  }
  // The upper quartile: most queries fit their block, few cells hold far more
  // candidates than needed.
  const auto q3 = radii.begin() + static_cast<std::ptrdiff_t>(radii.size() * 3 / 4);
  std::nth_element(radii.begin(), q3, radii.end());
  const double edge = kBlockCellScale * static_cast<double>(*q3);
  return edge > 0.0 && std::isfinite(edge) ? edge : first;
}

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
  std::vector<std::uint32_t> cloud_index;
  finite.reserve(n);
  cloud_index.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const auto& p = cloud.points[i];
    if (IsFinite(p)) {
      finite.push_back({p.x, p.y, p.z});
      cloud_index.push_back(static_cast<std::uint32_t>(i));
    }
  }
  if (finite.empty()) {
    return distances;
  }
  // PCL asks for mean_k + 1 neighbours (the query is among them).
  const std::size_t want = static_cast<std::size_t>(mean_k) + 1;
  const Bulk bulk = BulkOf(finite);
  const UniformGrid grid(finite, bulk, BlockCellEdge(finite, bulk, want));

  std::vector<float> by_finite(finite.size(), 0.0F);
  // Whole cells per thread, about the same number of points each.
  const std::size_t parts =
      std::min<std::size_t>(static_cast<std::size_t>(std::max(threads, 1)),
                            std::max<std::size_t>(finite.size() / kMinPointsPerThread, 1));
  std::vector<std::size_t> bounds(parts + 1, grid.cell_count());
  bounds[0] = 0;
  for (std::size_t t = 1; t < parts; ++t) {
    const std::size_t target = finite.size() * t / parts;
    std::size_t lo = bounds[t - 1];
    std::size_t hi = grid.cell_count();
    while (lo < hi) {
      const std::size_t mid = lo + (hi - lo) / 2;
      if (grid.points_before(mid) < target) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    bounds[t] = lo;
  }
  std::vector<std::thread> helpers;
  helpers.reserve(parts - 1);
  for (std::size_t t = 1; t < parts; ++t) {
    helpers.emplace_back(
        [&, t]() { grid.BlockMeans(bounds[t], bounds[t + 1], mean_k, by_finite.data()); });
  }
  grid.BlockMeans(bounds[0], bounds[1], mean_k, by_finite.data());
  for (auto& h : helpers) {
    h.join();
  }
  for (std::size_t i = 0; i < finite.size(); ++i) {
    distances[cloud_index[i]] = by_finite[i];
  }
  return distances;
}

}  // namespace moorwick
