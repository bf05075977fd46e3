#include "moorwick_sim/synthetic_cloud.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace moorwick_test {
using namespace moorwick_sim;  // the scene builders are this suite's vocabulary
namespace {

constexpr double kFloor = -0.176;

TEST(ShapeIntersect, BoxFromAboveHitsTopFace) {
  const Shape box = Shape::Box({0.2, 0.1, 0.04}, {-0.5, 0.0, kFloor + 0.02});
  const Ray down{{-0.45, 0.02, 0.3}, {0.0, 0.0, -1.0}};
  const auto t = box.Intersect(down);
  ASSERT_TRUE(t.has_value());
  EXPECT_NEAR(*t, 0.3 - (kFloor + 0.04), 1e-12);
  // Just outside the footprint: no hit.
  EXPECT_FALSE(box.Intersect(Ray{{-0.39, 0.0, 0.3}, {0.0, 0.0, -1.0}}).has_value());
  // Pointing away: no hit.
  EXPECT_FALSE(box.Intersect(Ray{{-0.45, 0.0, 0.3}, {0.0, 0.0, 1.0}}).has_value());
}

TEST(ShapeIntersect, RotatedBoxUsesItsOwnAxes) {
  // Long side turned from x to y by a yaw of 90 degrees.
  const Shape box = Shape::Box({0.2, 0.02, 0.02}, {0.0, 0.0, 0.0}, {0.0, 0.0, 90.0});
  EXPECT_TRUE(box.Intersect(Ray{{0.0, 0.09, 1.0}, {0.0, 0.0, -1.0}}).has_value());
  EXPECT_FALSE(box.Intersect(Ray{{0.09, 0.0, 1.0}, {0.0, 0.0, -1.0}}).has_value());
}

TEST(ShapeIntersect, CylinderMantleAndCap) {
  const Shape can = Shape::Cylinder(0.06, 0.12, {0.0, 0.0, 0.0}, {1.0, 0.0, 0.0});
  // From the side (along -y towards the axis): the mantle at radius 0.03.
  const auto side = can.Intersect(Ray{{0.01, 1.0, 0.0}, {0.0, -1.0, 0.0}});
  ASSERT_TRUE(side.has_value());
  EXPECT_NEAR(*side, 1.0 - 0.03, 1e-12);
  // Along the axis: the end cap at x = 0.06.
  const auto cap = can.Intersect(Ray{{1.0, 0.01, 0.01}, {-1.0, 0.0, 0.0}});
  ASSERT_TRUE(cap.has_value());
  EXPECT_NEAR(*cap, 1.0 - 0.06, 1e-12);
  // Past the end of the can: no hit.
  EXPECT_FALSE(can.Intersect(Ray{{0.07, 1.0, 0.0}, {0.0, -1.0, 0.0}}).has_value());
}

TEST(ShapeGeometry, RestingOnPutsLowestPointOnFloor) {
  const Eigen::Vector3d tilted(std::cos(M_PI / 6), 0.0, std::sin(M_PI / 6));
  const Shape rod = Shape::Cylinder(0.03, 0.25, {-0.5, 0.0, 0.0}, tilted).RestingOn(kFloor);
  EXPECT_NEAR(rod.LowestZ(), kFloor, 1e-12);
  // Lowest point of a 30-degree rod: half length * sin 30 + radius * cos 30 below the centre.
  EXPECT_NEAR(rod.Center().z() - kFloor, 0.125 * 0.5 + 0.015 * std::cos(M_PI / 6), 1e-12);
  const Shape box = Shape::Box({0.1, 0.1, 0.04}, {0.0, 0.0, 1.0}, {0.0, 0.0, 30.0}).RestingOn(0.0);
  EXPECT_NEAR(box.Center().z(), 0.02, 1e-12);
  EXPECT_TRUE(box.Contains({0.0, 0.0, 0.039}));
  EXPECT_FALSE(box.Contains({0.0, 0.0, 0.041}));
  EXPECT_TRUE(box.Contains({0.0, 0.0, 0.041}, 0.002));
}

TEST(CastRayTest, NearestOfFloorAndShape) {
  Scene scene;
  scene.floor_z = kFloor;
  scene.shapes.push_back(Shape::Box({0.1, 0.1, 0.05}, {-0.5, 0.0, kFloor + 0.025}));
  const auto on_box = CastRay(scene, Ray{{-0.5, 0.0, 0.3}, {0.0, 0.0, -1.0}});
  ASSERT_TRUE(on_box.has_value());
  EXPECT_EQ(on_box->shape_index, 0);
  EXPECT_NEAR(on_box->point.z(), kFloor + 0.05, 1e-12);
  const auto on_floor = CastRay(scene, Ray{{-0.3, 0.0, 0.3}, {0.0, 0.0, -1.0}});
  ASSERT_TRUE(on_floor.has_value());
  EXPECT_EQ(on_floor->shape_index, -1);
  EXPECT_NEAR(on_floor->point.z(), kFloor, 1e-12);
}

TEST(RenderDepthTest, DownwardCameraSeesBoxTopAndFloor) {
  Scene scene;
  scene.floor_z = 0.0;
  scene.shapes.push_back(Shape::Box({0.1, 0.1, 0.2}, {0.0, 0.0, 0.1}));
  // 1 m above the floor looking straight down, 0.4 m wide view at the floor.
  const auto cam = PinholeCamera::LookingAt({0.0, 0.0, 1.0}, {0.0, 0.0, 0.0}, 100.0, 100.0, 41, 41);
  const std::vector<float> depth = RenderDepth(scene, cam);
  ASSERT_EQ(depth.size(), 41u * 41u);
  EXPECT_NEAR(depth[20 * 41 + 20], 0.8, 1e-6);  // box top
  EXPECT_NEAR(depth[0], 1.0, 1e-6);             // floor in the corner, depth along the axis
}

class PieceCloudTest : public ::testing::Test {
protected:
  PieceCloudOptions options_;
  Shape box_ =
      Shape::Box({0.12, 0.06, 0.04}, {-0.5, 0.05, 0.0}, {0.0, 0.0, 20.0}).RestingOn(kFloor);
};

TEST_F(PieceCloudTest, PointsLieOnVisibleSurfacesOrFloorBand) {
  options_.target_points = 4000;
  const auto cloud = MakePieceCloud(box_, options_);
  std::size_t on_piece = 0;
  std::size_t on_floor = 0;
  std::size_t near_footprint = 0;
  // The face turned away from the camera (the camera sits towards +x) is hidden.
  const Eigen::Vector3d local_cam = box_.base_from_local.inverse() * options_.camera_position;
  ASSERT_GT(local_cam.x(), 0.06);
  for (const auto& p : cloud->points) {
    const Eigen::Vector3d q(p.x, p.y, p.z);
    if (std::abs(q.z() - kFloor) < 1e-6 && !box_.Contains(q, 1e-6)) {
      ++on_floor;
      // The band a dilated mask takes in: beside the footprint, or seen just
      // past the piece's far edge (a 4 cm box shadows about 5 cm of floor here).
      EXPECT_TRUE(box_.Contains(q, 0.08)) << q.transpose();
      near_footprint += box_.Contains(q, options_.floor_margin + 0.006) ? 1 : 0;
      continue;
    }
    ASSERT_TRUE(box_.Contains(q, 1e-6)) << q.transpose();
    ++on_piece;
    const Eigen::Vector3d local = box_.base_from_local.inverse() * q;
    EXPECT_GT(local.x(), -0.06 + 1e-6) << "point on the hidden far face";
  }
  EXPECT_GT(on_floor, 50u);
  EXPECT_GT(near_footprint, on_floor / 3);
  EXPECT_NEAR(static_cast<double>(on_piece), 4000.0, 1200.0);
}

TEST_F(PieceCloudTest, SeededNoiseAndOutliersAreReproducible) {
  options_.noise_sigma = 0.002;
  options_.outliers = 25;
  options_.seed = 7;
  const auto a = MakePieceCloud(box_, options_);
  const auto b = MakePieceCloud(box_, options_);
  ASSERT_EQ(a->size(), b->size());
  for (std::size_t i = 0; i < a->size(); ++i) {
    ASSERT_EQ(a->points[i].getVector3fMap(), b->points[i].getVector3fMap());
  }
  options_.seed = 8;
  const auto c = MakePieceCloud(box_, options_);
  ASSERT_EQ(a->size(), c->size());
  std::size_t differing = 0;
  for (std::size_t i = 0; i < a->size(); ++i) {
    differing += a->points[i].getVector3fMap() != c->points[i].getVector3fMap() ? 1 : 0;
  }
  EXPECT_GT(differing, a->size() / 2);
  // Noise moves points off the surfaces: some must lie inside the box or below the floor.
  std::size_t off_surface = 0;
  for (const auto& p : a->points) {
    const Eigen::Vector3d q(p.x, p.y, p.z);
    off_surface += (q.z() < kFloor - 1e-4 || box_.Contains(q, -1e-4)) ? 1 : 0;
  }
  EXPECT_GT(off_surface, 10u);
}

TEST_F(PieceCloudTest, TargetPointCountScales) {
  for (const std::size_t target : {2000u, 10000u, 50000u}) {
    options_.target_points = target;
    const auto cloud = MakePieceCloud(box_, options_);
    std::size_t on_piece = 0;
    for (const auto& p : cloud->points) {
      on_piece += box_.Contains(Eigen::Vector3d(p.x, p.y, p.z), 1e-6) ? 1 : 0;
    }
    EXPECT_NEAR(static_cast<double>(on_piece), static_cast<double>(target), 0.3 * target);
  }
}

}  // namespace
}  // namespace moorwick_test
