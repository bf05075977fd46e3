#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "estimator_fixture.hpp"

namespace moorwick_test {
namespace {

// A block of points on a regular lattice: nx * ny columns `spacing` apart,
// `layers` layers `dz` apart starting at z0, each point repeated `copies` times.
CloudPtr Lattice(int nx, int ny, int layers, float spacing, float dz, float z0, int copies = 1,
                 float x0 = -0.5F, float y0 = 0.0F) {
  CloudPtr cloud(new Cloud);
  for (int k = 0; k < layers; ++k) {
    for (int i = 0; i < nx; ++i) {
      for (int j = 0; j < ny; ++j) {
        for (int c = 0; c < copies; ++c) {
          cloud->push_back(pcl::PointXYZ(x0 + i * spacing, y0 + j * spacing, z0 + k * dz));
        }
      }
    }
  }
  return cloud;
}

std::size_t DuplicatePairs(const Cloud& cloud) {
  std::vector<std::array<float, 3>> pts;
  for (const auto& p : cloud.points)
    pts.push_back({p.x, p.y, p.z});
  std::sort(pts.begin(), pts.end());
  std::size_t pairs = 0;
  for (std::size_t i = 1; i < pts.size(); ++i)
    pairs += pts[i] == pts[i - 1] ? 1 : 0;
  return pairs;
}

class ConditioningTest : public EstimatorTest {
protected:
  void SetUp() override {
    EstimatorTest::SetUp();
    est_ = Make([](YAML::Node& r) {
      r["grab_pose_estimate"]["pass_ajust_value_1"] = 0.001;
      r["grab_pose_estimate"]["pass_ajust_value_2"] = 0.002;
      r["grab_pose_estimate"]["pass_ajust_value_3"] = 0.004;
    });
  }
};

TEST_F(ConditioningTest, VoxelGridRunsOnlyAboveOneThousandPoints) {
  // Every lattice site twice: the voxel grid merges the copies, nothing else does.
  const CloudPtr small = Lattice(5, 5, 10, 0.01F, 0.002F, kFloor, 2);  // 500 points
  ASSERT_EQ(small->size(), 500u);
  est_->PclProcessFunc(small, small);
  EXPECT_GT(DuplicatePairs(*small), 100u);

  CloudPtr large = Lattice(5, 5, 20, 0.01F, 0.002F, kFloor, 2);  // 1000 points
  large->push_back(pcl::PointXYZ(-0.48F, 0.02F, kFloor + 0.021F));
  large->push_back(pcl::PointXYZ(-0.48F, 0.02F, kFloor + 0.021F));
  ASSERT_EQ(large->size(), 1002u);
  est_->PclProcessFunc(large, large);
  EXPECT_GT(large->size(), 300u);
  EXPECT_EQ(DuplicatePairs(*large), 0u);
}

struct HeightCase {
  const char* name;
  float height;
  float expected_offset;
};

class HeightClassTest : public ConditioningTest,
                        public ::testing::WithParamInterface<HeightCase> {};

TEST_P(HeightClassTest, HeightChoosesFloorCutOffset) {
  const HeightCase& c = GetParam();
  const int layers = static_cast<int>(std::lround(c.height / 0.0025F)) + 1;
  const CloudPtr cloud = Lattice(4, 4, layers, 0.005F, 0.0025F, kFloor);
  est_->PclProcessFunc(cloud, cloud);
  EXPECT_NEAR(est_->trash_height_, c.height, 1e-5F);
  EXPECT_FLOAT_EQ(est_->pass_ajust_value_, c.expected_offset);
  // The floor cut sits at lowest + offset; the lowest layer is always cut.
  EXPECT_FLOAT_EQ(est_->trash_lowest_z_, kFloor);
  EXPECT_GE(est_->processed_trash_lowest_z_, kFloor + c.expected_offset - 1e-6F);
  EXPECT_LT(est_->processed_trash_lowest_z_, kFloor + c.expected_offset + 0.0025F);
}

INSTANTIATE_TEST_SUITE_P(Cases, HeightClassTest,
                         ::testing::Values(HeightCase{"flat_0_02", 0.02F, 0.001F},
                                           HeightCase{"medium_0_03", 0.03F, 0.002F},
                                           HeightCase{"high_0_06", 0.06F, 0.004F}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ConditioningTest, TallPieceReusesPreviousPiecesOffset) {
  const CloudPtr flat = Lattice(4, 4, 9, 0.005F, 0.0025F, kFloor);  // 0.02 high
  est_->PclProcessFunc(flat, flat);
  ASSERT_FLOAT_EQ(est_->pass_ajust_value_, 0.001F);
  const CloudPtr tall = Lattice(4, 4, 41, 0.005F, 0.0025F, kFloor);  // 0.1 high
  est_->PclProcessFunc(tall, tall);
  EXPECT_FLOAT_EQ(est_->pass_ajust_value_, 0.001F);
  const CloudPtr high = Lattice(4, 4, 25, 0.005F, 0.0025F, kFloor);  // 0.06 high
  est_->PclProcessFunc(high, high);
  ASSERT_FLOAT_EQ(est_->pass_ajust_value_, 0.004F);
  const CloudPtr tall2 = Lattice(4, 4, 41, 0.005F, 0.0025F, kFloor);
  est_->PclProcessFunc(tall2, tall2);
  EXPECT_FLOAT_EQ(est_->pass_ajust_value_, 0.004F);
  // ...and the cut uses it: the layer at +0.0025 goes, the one at +0.005 stays.
  EXPECT_NEAR(est_->processed_trash_lowest_z_, kFloor + 0.005F, 1e-6F);
}

TEST_F(ConditioningTest, OnFloorUsesFloorHeightAsLowestPoint) {
  // A piece resting on a support 2.6 cm above the floor, 0.02 high.
  const float z0 = kFloor + 0.026F;
  const CloudPtr lifted = Lattice(4, 4, 9, 0.005F, 0.0025F, z0);
  auto on_floor = Make([](YAML::Node& r) { r["debug_choice"]["is_on_floor"] = true; });
  on_floor->PclProcessFunc(lifted, lifted);
  EXPECT_FLOAT_EQ(on_floor->trash_lowest_z_, -0.176F);
  EXPECT_NEAR(on_floor->trash_height_, 0.02F, 1e-5F);  // measured, not recomputed
  // Pass-through from -0.176 + offset keeps even the lowest layer.
  EXPECT_FLOAT_EQ(on_floor->processed_trash_lowest_z_, z0);
}

TEST_F(ConditioningTest, EmptiedPassThroughRecoversUnfilteredInput) {
  // 1.5 mm thick, every site twice: a cut 3 mm above the lowest point leaves
  // nothing, and the recovery brings back the raw input, copies included.
  auto strict = Make([](YAML::Node& r) { r["grab_pose_estimate"]["pass_ajust_value_1"] = 0.003; });
  const CloudPtr thin = Lattice(20, 20, 2, 0.004F, 0.0015F, kFloor, 2);
  ASSERT_EQ(thin->size(), 1600u);
  testing::internal::CaptureStdout();
  strict->PclProcessFunc(thin, thin);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("[WARN] trash cloud size is less than 34 after pass filter between ["),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("recovered to input_cloud !"), std::string::npos) << out;
  EXPECT_GT(DuplicatePairs(*thin), 100u);  // not voxel-filtered
  EXPECT_FLOAT_EQ(strict->processed_trash_lowest_z_, kFloor);
}

// Camera of the shipped file sits at (-0.05, 0, 0.30).
TEST_F(ConditioningTest, WedgeRemovesFloorSeenPastThePiece) {
  const float lowest = kFloor;
  CloudPtr cloud(new Cloud);
  cloud->push_back(pcl::PointXYZ(-0.40F, 0.0F, lowest + 0.01F));   // nearest: on the plane
  cloud->push_back(pcl::PointXYZ(-0.50F, 0.0F, lowest + 0.02F));   // 0.1 behind, below 0.0268
  cloud->push_back(pcl::PointXYZ(-0.50F, 0.0F, lowest + 0.03F));   // 0.1 behind, above
  cloud->push_back(pcl::PointXYZ(-0.45F, 0.0F, lowest + 0.012F));  // 0.05 behind, below 0.0134
  cloud->push_back(pcl::PointXYZ(-0.45F, 0.0F, lowest + 0.015F));  // 0.05 behind, above
  cloud->push_back(pcl::PointXYZ(-0.40F, 0.1F, lowest));           // beside p: on the plane
  est_->RemoveBottomCloudByAngle(cloud, lowest, 15.0F);
  ASSERT_EQ(cloud->size(), 4u);
  EXPECT_FLOAT_EQ(cloud->points[0].x, -0.40F);
  EXPECT_FLOAT_EQ(cloud->points[1].z, lowest + 0.03F);  // input order is kept
  EXPECT_FLOAT_EQ(cloud->points[2].z, lowest + 0.015F);
  EXPECT_FLOAT_EQ(cloud->points[3].y, 0.1F);
  EXPECT_EQ(cloud->width, 4u);
  EXPECT_EQ(cloud->height, 1u);
}

TEST_F(ConditioningTest, NearestPointToCameraIsHorizontalAndFirstWins) {
  CloudPtr cloud(new Cloud);
  EXPECT_EQ(est_->GetNearestPointToCamera(cloud).getVector3fMap(), Eigen::Vector3f::Zero());
  cloud->push_back(pcl::PointXYZ(-0.5F, 0.0F, 0.29F));   // high up but horizontally far
  cloud->push_back(pcl::PointXYZ(-0.3F, 0.1F, -0.17F));  // nearest, first of two
  cloud->push_back(pcl::PointXYZ(-0.3F, -0.1F, -0.1F));  // same horizontal distance
  const pcl::PointXYZ p = est_->GetNearestPointToCamera(cloud);
  EXPECT_FLOAT_EQ(p.y, 0.1F);
  EXPECT_FLOAT_EQ(p.z, -0.17F);
}

TEST_F(ConditioningTest, OutliersAroundSyntheticPieceAreRemoved) {
  PieceCloudOptions o = OptionsFor(*est_);
  o.outliers = 40;
  o.noise_sigma = 0.0005;
  o.seed = 3;
  const Shape box = Shape::Box({0.10, 0.06, 0.04}, {-0.5, 0.0, 0.0}).RestingOn(kFloor);
  const CloudPtr cloud = MakePieceCloud(box, o);
  est_->PclProcessFunc(cloud, cloud);
  std::size_t far = 0;
  for (const auto& p : cloud->points) {
    far += box.Contains(Eigen::Vector3d(p.x, p.y, p.z), 0.01) ? 0 : 1;
  }
  EXPECT_LE(far, 4u);
  EXPECT_GT(cloud->size(), 500u);
  EXPECT_LT(est_->processed_trash_highest_z_, kFloor + 0.04F + 0.005F);
}

}  // namespace
}  // namespace moorwick_test
