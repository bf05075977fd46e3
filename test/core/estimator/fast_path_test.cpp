// The fast outlier removal against PCL's own class, and the whole estimate on
// the fast path (outlier removal and boxes) against the PCL reference path.
#include <gtest/gtest.h>
#include <pcl/filters/statistical_outlier_removal.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "estimator_fixture.hpp"
#include "moorwick_arm_trash_detect/core/grid_neighbour_search.hpp"
#include "moorwick_arm_trash_detect/core/statistical_outlier_removal.hpp"
#include "moorwick_test/brute_force_knn.hpp"

namespace moorwick_test {
namespace {

// Indices PCL's StatisticalOutlierRemoval keeps.
std::vector<std::uint32_t> PclInliers(const CloudPtr& cloud, int mean_k, double mult) {
  pcl::StatisticalOutlierRemoval<pcl::PointXYZ> sor;
  sor.setInputCloud(cloud);
  sor.setMeanK(mean_k);
  sor.setStddevMulThresh(mult);
  pcl::Indices indices;
  sor.filter(indices);
  return {indices.begin(), indices.end()};
}

CloudPtr RandomBlob(std::size_t n, std::uint32_t seed, double spread) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g(0.0F, static_cast<float>(spread));
  CloudPtr c(new Cloud);
  for (std::size_t i = 0; i < n; ++i) {
    c->push_back(pcl::PointXYZ(-0.5F + g(rng), 0.05F + g(rng), -0.15F + 0.3F * g(rng)));
  }
  return c;
}

// Every fifth point twice more, at the end: exact duplicates give zero
// neighbour distances and ties in the search.
CloudPtr WithDuplicates(const CloudPtr& c) {
  CloudPtr out(new Cloud(*c));
  for (std::size_t i = 0; i < c->size(); i += 5) {
    out->push_back((*c)[i]);
    out->push_back((*c)[i]);
  }
  return out;
}

struct PieceCase {
  std::string name;
  Shape piece;
  double noise;
  std::size_t points;
  std::size_t outliers;
  bool duplicates;
};

const std::vector<PieceCase> kPieceCases{
    {"lying_can_noisy", Shape::Cylinder(0.066, 0.168, {-0.5, 0.05, 0.0}, {1.0, 0.3, 0.0}), 0.0005,
     10000, 100, false},
    {"standing_bottle", Shape::Cylinder(0.065, 0.20, {-0.5, 0.05, 0.0}, {0, 0, 1}), 0.0005, 8000,
     80, false},
    {"flat_card", Shape::Box({0.085, 0.054, 0.001}, {-0.45, -0.05, 0.0}, {0, 0, 30}), 0.0, 3000, 0,
     false},
    {"box_with_duplicates", Shape::Box({0.10, 0.06, 0.04}, {-0.5, 0.1, 0.0}, {0, 0, 20}), 0.001,
     6000, 200, true},
};

// Largest coefficient difference, q and -q being the same rotation.
double QuaternionGap(const Eigen::Quaterniond& a, const Eigen::Quaterniond& b) {
  const double same = (a.coeffs() - b.coeffs()).cwiseAbs().maxCoeff();
  const double flipped = (a.coeffs() + b.coeffs()).cwiseAbs().maxCoeff();
  return std::min(same, flipped);
}

class FastPathTest : public EstimatorTest, public ::testing::WithParamInterface<PieceCase> {};

TEST_P(FastPathTest, EstimateEqualsPclReference) {
  const PieceCase& c = GetParam();
  auto fast = Make();
  auto reference = Make();
  PieceCloudOptions o = OptionsFor(*fast);
  o.noise_sigma = c.noise;
  o.target_points = c.points;
  o.outliers = c.outliers;
  o.seed = 7;
  CloudPtr source = MakePieceCloud(c.piece.RestingOn(kFloor), o);
  if (c.duplicates)
    source = WithDuplicates(source);
  CloudPtr a(new Cloud(*source));
  CloudPtr b(new Cloud(*source));
  const int code_fast = fast->GetInitialGrabPose(a);
  const int code_ref = reference->GetInitialGrabPoseReference(b);
  ASSERT_EQ(code_fast, code_ref);
  EXPECT_FALSE(reference->use_pcl_reference_) << "the reference call must restore the flag";

  // Same points kept, in the same order.
  ASSERT_EQ(a->size(), b->size());
  for (std::size_t i = 0; i < a->size(); ++i) {
    ASSERT_EQ((*a)[i].getVector3fMap(), (*b)[i].getVector3fMap()) << "point " << i;
  }
  EXPECT_EQ(fast->processed_trash_lowest_z_, reference->processed_trash_lowest_z_);

  // The fast boxes against MomentOfInertiaEstimation's.
  const auto gap = [](const pcl::PointXYZ& a, const pcl::PointXYZ& b) {
    return (a.getVector3fMap() - b.getVector3fMap()).cwiseAbs().maxCoeff();
  };
  EXPECT_LE(gap(fast->min_point_obb_, reference->min_point_obb_), 1e-6F);
  EXPECT_LE(gap(fast->max_point_obb_, reference->max_point_obb_), 1e-6F);
  EXPECT_EQ(fast->min_point_aabb_.getVector3fMap(), reference->min_point_aabb_.getVector3fMap());
  EXPECT_EQ(fast->max_point_aabb_.getVector3fMap(), reference->max_point_aabb_.getVector3fMap());
  EXPECT_LE((fast->obb_position_ - reference->obb_position_).cwiseAbs().maxCoeff(), 1e-6F);
  EXPECT_LE((fast->obb_rotation_ - reference->obb_rotation_).cwiseAbs().maxCoeff(), 1e-5F);
  EXPECT_EQ(fast->aabb_position_, reference->aabb_position_);

  if (code_ref != GrabPoseEstimate::kSuccess)
    return;
  EXPECT_LE((fast->grab_pose_.position - reference->grab_pose_.position).cwiseAbs().maxCoeff(),
            1e-5F);
  EXPECT_LE(QuaternionGap(fast->grab_pose_.orientation, reference->grab_pose_.orientation), 1e-5);
  EXPECT_LE((fast->obb_pose_.position - reference->obb_pose_.position).cwiseAbs().maxCoeff(),
            1e-5F);
  EXPECT_LE(QuaternionGap(fast->obb_pose_.orientation, reference->obb_pose_.orientation), 1e-5);
}

INSTANTIATE_TEST_SUITE_P(Pieces, FastPathTest, ::testing::ValuesIn(kPieceCases),
                         [](const auto& info) { return info.param.name; });

// Outlier removal alone, on clouds the pipeline would never hand it (no voxel
// thinning), across neighbour counts, thresholds and thread counts.
TEST(FastOutlierRemovalTest, KeepsExactlyPclsInliers) {
  struct Case {
    std::string name;
    CloudPtr cloud;
    int mean_k;
    double mult;
  };
  const CloudPtr blob = RandomBlob(4000, 3, 0.02);
  PieceCloudOptions o;
  o.noise_sigma = 0.001;
  o.outliers = 60;
  o.target_points = 5000;
  const CloudPtr piece = MakePieceCloud(
      Shape::Box({0.1, 0.06, 0.03}, {-0.5, 0.0, 0.0}, {0, 0, 10}).RestingOn(kFloor), o);
  // Non-finite points are kept by PCL and ignored as neighbours.
  CloudPtr non_finite = RandomBlob(500, 9, 0.01);
  non_finite->push_back(pcl::PointXYZ(-0.5F, 3.0F, 0.0F));
  (*non_finite)[10].x = std::numeric_limits<float>::quiet_NaN();
  (*non_finite)[20].z = std::numeric_limits<float>::infinity();
  non_finite->is_dense = false;
  // A fuzz finding: a neighbour whose squared distance overflows to infinity.
  const CloudPtr float_limit(new Cloud);
  for (const float y : {-1e6F, std::numeric_limits<float>::max(), 1e6F}) {
    float_limit->push_back(pcl::PointXYZ(-0.5F, y, -0.1F));
  }
  const std::vector<Case> cases = {
      {"blob_k50", blob, 50, 1.0},
      {"piece_k20_two_sigma", piece, 20, 2.0},
      {"duplicates_k50", WithDuplicates(piece), 50, 1.0},
      {"keeps_all_one_point", CloudPtr(new Cloud(100, 1, pcl::PointXYZ(0.1F, 0.2F, 0.3F))), 50,
       1.0},
      // Fewer points than neighbours asked for.
      {"tiny_40_points", RandomBlob(40, 5, 0.01), 50, 1.0},
      {"non_finite_k30", non_finite, 30, 1.0},
      {"keeps_all_float_limit_k1", float_limit, 1, 1.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // The grid search's mean distances, bit for bit: a pruned cell that held
    // a true neighbour rarely moves a point across the threshold.
    EXPECT_EQ(moorwick::KnnMeanDistances(*c.cloud, c.mean_k, 2),
              BruteForceMeanDistances(*c.cloud, c.mean_k));
    const auto expected = PclInliers(c.cloud, c.mean_k, c.mult);
    for (int threads : {1, 2, 3, 7}) {
      EXPECT_EQ(moorwick::StatisticalInlierIndices(*c.cloud, c.mean_k, c.mult, threads), expected)
          << threads << " threads";
    }
    if (c.name.rfind("keeps_all_", 0) != 0) {
      EXPECT_LT(expected.size(), c.cloud->size()) << "case removes nothing; it tests little";
    }
  }
}

}  // namespace
}  // namespace moorwick_test
