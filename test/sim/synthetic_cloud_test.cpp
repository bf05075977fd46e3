#include "moorwick_sim/synthetic_cloud.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace moorwick_test {
using namespace moorwick_sim;  // the scene builders are this suite's vocabulary
namespace {

constexpr double kFloor = -0.176;

TEST(ShapeIntersect, DistanceToTheFirstSurface) {
  const Shape box = Shape::Box({0.2, 0.1, 0.04}, {-0.5, 0.0, kFloor + 0.02});
  // Long side turned from x to y by a yaw of 90 degrees.
  const Shape turned = Shape::Box({0.2, 0.02, 0.02}, {0.0, 0.0, 0.0}, {0.0, 0.0, 90.0});
  const Shape can = Shape::Cylinder(0.06, 0.12, {0.0, 0.0, 0.0}, {1.0, 0.0, 0.0});
  const Eigen::Vector3d down(0.0, 0.0, -1.0);
  const struct {
    const char* name;
    const Shape& shape;
    Ray ray;
    double t;  // < 0: no hit
  } cases[] = {
      {"box top face", box, {{-0.45, 0.02, 0.3}, down}, 0.3 - (kFloor + 0.04)},
      {"beside the box", box, {{-0.39, 0.0, 0.3}, down}, -1.0},
      {"pointing away", box, {{-0.45, 0.0, 0.3}, -down}, -1.0},
      {"turned box along y", turned, {{0.0, 0.09, 1.0}, down}, 1.0 - 0.01},
      {"turned box not along x", turned, {{0.09, 0.0, 1.0}, down}, -1.0},
      {"can mantle at radius 0.03", can, {{0.01, 1.0, 0.0}, {0.0, -1.0, 0.0}}, 1.0 - 0.03},
      {"can end cap at x = 0.06", can, {{1.0, 0.01, 0.01}, {-1.0, 0.0, 0.0}}, 1.0 - 0.06},
      {"past the can's end", can, {{0.07, 1.0, 0.0}, {0.0, -1.0, 0.0}}, -1.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto t = c.shape.Intersect(c.ray);
    ASSERT_EQ(t.has_value(), c.t >= 0.0);
    if (t) {
      EXPECT_NEAR(*t, c.t, 1e-12);
    }
  }
}

class PieceCloudTest : public ::testing::Test {
protected:
  PieceCloudOptions options_;
  Shape box_ =
      Shape::Box({0.12, 0.06, 0.04}, {-0.5, 0.05, 0.0}, {0.0, 0.0, 20.0}).RestingOn(kFloor);
};

TEST_F(PieceCloudTest, PointsLieOnVisibleSurfacesOrFloorBandInTheAskedNumber) {
  // The face turned away from the camera (the camera sits towards +x) is hidden.
  const Eigen::Vector3d local_cam = box_.base_from_local.inverse() * options_.camera_position;
  ASSERT_GT(local_cam.x(), 0.06);
  for (const std::size_t target : {2000U, 10000U, 50000U}) {
    SCOPED_TRACE(target);
    options_.target_points = target;
    const auto cloud = MakePieceCloud(box_, options_);
    std::size_t on_piece = 0;
    std::size_t on_floor = 0;
    std::size_t near_footprint = 0;
    std::size_t hidden = 0;  // on the far face, or grazing its edge
    for (const auto& p : cloud->points) {
      const Eigen::Vector3d q(p.x, p.y, p.z);
      if (std::abs(q.z() - kFloor) < 1e-6 && !box_.Contains(q, 1e-6)) {
        ++on_floor;
        // The band a dilated mask takes in: beside the footprint, or seen just
        // past the piece's far edge (a 4 cm box shadows about 5 cm of floor here).
        ASSERT_TRUE(box_.Contains(q, 0.08)) << q.transpose();
        near_footprint += box_.Contains(q, options_.floor_margin + 0.006) ? 1 : 0;
        continue;
      }
      ASSERT_TRUE(box_.Contains(q, 1e-6)) << q.transpose();
      ++on_piece;
      hidden += (box_.base_from_local.inverse() * q).x() < -0.06 + 1e-6 ? 1 : 0;
    }
    EXPECT_LT(hidden, on_piece / 500);
    EXPECT_GT(on_floor, target / 80);
    EXPECT_GT(near_footprint, on_floor / 3);
    EXPECT_NEAR(static_cast<double>(on_piece), static_cast<double>(target), 0.3 * target);
  }
}

}  // namespace
}  // namespace moorwick_test
