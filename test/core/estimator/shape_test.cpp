#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "estimator_fixture.hpp"
#include "moorwick_test/log_capture.hpp"

namespace moorwick_test {
namespace {

// Points filling a box of `size` (full extents) centred at `center`, turned by
// `yaw_deg` about z, on a regular grid of about `step`.
CloudPtr SolidBox(const Eigen::Vector3f& size, const Eigen::Vector3f& center, float yaw_deg,
                  float step) {
  const Eigen::Matrix3f r =
      Eigen::AngleAxisf(yaw_deg * static_cast<float>(M_PI) / 180.0F, Eigen::Vector3f::UnitZ())
          .toRotationMatrix();
  CloudPtr cloud(new Cloud);
  const Eigen::Vector3i n = (size / step).array().round().cast<int>().cwiseMax(1);
  for (int i = 0; i <= n.x(); ++i) {
    for (int j = 0; j <= n.y(); ++j) {
      for (int k = 0; k <= n.z(); ++k) {
        const Eigen::Vector3f local(size.x() * (float(i) / n.x() - 0.5F),
                                    size.y() * (float(j) / n.y() - 0.5F),
                                    size.z() * (float(k) / n.z() - 0.5F));
        const Eigen::Vector3f p = center + r * local;
        cloud->push_back(pcl::PointXYZ(p.x(), p.y(), p.z()));
      }
    }
  }
  return cloud;
}

using ShapeTest = EstimatorTest;

struct AxisCase {
  const char* name;
  Eigen::Vector3f axis;
  int type;
  Eigen::Vector3f adjusted;
};

class MainAxisTypeTest : public ShapeTest, public ::testing::WithParamInterface<AxisCase> {};

TEST_P(MainAxisTypeTest, ClassifiesAndTurnsAxis) {
  Eigen::Vector3f axis = GetParam().axis;
  int type = 0;
  est_->GetMainaxisType(axis, type);
  EXPECT_EQ(type, GetParam().type);
  EXPECT_TRUE(axis.isApprox(GetParam().adjusted, 1e-6F)) << axis.transpose();
}

const float c30 = std::cos(static_cast<float>(M_PI) / 6.0F);
INSTANTIATE_TEST_SUITE_P(
    Cases, MainAxisTypeTest,
    ::testing::Values(
        AxisCase{"lying_plus_x", {1, 0, 0}, 1, {1, 0, 0}},
        AxisCase{"lying_minus_x_flipped", {-1, 0, 0}, 1, {1, 0, 0}},
        AxisCase{"lying_10deg", {-0.9848F, 0, 0.1736F}, 1, {0.9848F, 0, -0.1736F}},
        AxisCase{"standing_up_flipped_down", {0, 0, 1}, 2, {0, 0, -1}},
        AxisCase{"standing_down_kept", {0, 0, -1}, 2, {0, 0, -1}},
        AxisCase{"slanted_30deg", {-c30, 0, 0.5F}, 3, {c30, 0, -0.5F}},
        AxisCase{"slanted_30deg_kept", {c30, 0, 0.5F}, 3, {c30, 0, 0.5F}},
        AxisCase{"steep_60deg", {-0.5F, 0, c30}, 4, {0.5F, 0, -c30}},
        AxisCase{"steep_60deg_down_kept", {-0.5F, 0, -c30}, 4, {-0.5F, 0, -c30}},
        AxisCase{"just_below_75deg", {0.2598F, 0, -0.9657F}, 4, {0.2598F, 0, -0.9657F}},
        AxisCase{"just_above_75deg", {0.2586F, 0, 0.9660F}, 2, {-0.2586F, 0, -0.9660F}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ShapeTest, PcaOnTwoPointsDoesNotThrow) {
  CloudPtr two(new Cloud);
  two->push_back(pcl::PointXYZ(0, 0, 0));
  two->push_back(pcl::PointXYZ(1, 0, 0));
  EXPECT_NO_THROW(est_->PCAFunc(two));
  EXPECT_EQ(est_->pca_lengths_, Eigen::Vector3f::Zero());
}

TEST_F(ShapeTest, BoundingBoxesOfAxisAlignedBlockOnBothPaths) {
  const Eigen::Vector3f center(-0.45F, -0.05F, -0.16F);
  const Eigen::Vector3f size(0.12F, 0.05F, 0.03F);  // major axis first
  const CloudPtr block = SolidBox(size, center, 0.0F, 0.005F);
  for (const bool reference : {true, false}) {
    const LogCapture log;
    if (reference) {
      est_->OBBFunc(block);
      est_->AABBFunc(block);
    } else {
      est_->BoxesFunc(block);
    }
    // The fast path announces its two boxes as the separate steps do.
    EXPECT_EQ(log.Count(std::string(34, '=') + "OBB" + std::string(34, '=')), 1U);
    EXPECT_EQ(log.Count(std::string(33, '=') + "AABB" + std::string(34, '=')), 1U);
    EXPECT_TRUE(est_->aabb_position_.isApprox(center, 1e-5F));
    EXPECT_TRUE((est_->max_point_aabb_.getVector3fMap() - est_->min_point_aabb_.getVector3fMap())
                    .isApprox(size, 1e-4F));
    EXPECT_TRUE(est_->obb_position_.isApprox(center, 1e-4F));
    EXPECT_TRUE((est_->max_point_obb_.getVector3fMap() - est_->min_point_obb_.getVector3fMap())
                    .isApprox(size, 1e-3F));
    EXPECT_TRUE(est_->obb_quaternion_.toRotationMatrix().isApprox(est_->obb_rotation_, 1e-5F));
  }
}

struct RectCase {
  const char* name;
  float yaw_deg;
  Eigen::Vector2f direction;
};

class MinAreaRectTest : public ShapeTest, public ::testing::WithParamInterface<RectCase> {};

TEST_P(MinAreaRectTest, LongSideDirectionPointsTowardsPlusX) {
  const CloudPtr bar =
      SolidBox({0.2F, 0.05F, 0.02F}, {-0.5F, 0.0F, -0.16F}, GetParam().yaw_deg, 0.005F);
  est_->MinAreaRectFunc(bar);
  EXPECT_TRUE(est_->rect_main_direction_.isApprox(GetParam().direction, 1e-4F))
      << est_->rect_main_direction_.transpose();
  EXPECT_NEAR(est_->rect_main_direction_.norm(), 1.0F, 1e-6F);
}

INSTANTIATE_TEST_SUITE_P(Cases, MinAreaRectTest,
                         ::testing::Values(RectCase{"along_x", 0.0F, {1.0F, 0.0F}},
                                           RectCase{"yaw_30", 30.0F, {c30, 0.5F}},
                                           RectCase{
                                               "yaw_120_turned_to_plus_x", 120.0F, {0.5F, -c30}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ShapeTest, ProjectedWidthAcrossLineOfSight) {
  // Camera at (-0.05, 0, 0.30): the line of sight to the piece runs along -x,
  // so the width is the extent in y, whatever the depth of the piece.
  const CloudPtr wide = SolidBox({0.03F, 0.08F, 0.1F}, {-0.5F, 0.0F, -0.12F}, 0.0F, 0.005F);
  EXPECT_NEAR(est_->GetTrashProjectWith(wide), 0.08F, 1e-4F);
  const CloudPtr deep = SolidBox({0.15F, 0.03F, 0.1F}, {-0.5F, 0.0F, -0.12F}, 0.0F, 0.005F);
  EXPECT_NEAR(est_->GetTrashProjectWith(deep), 0.03F, 1e-4F);
}

TEST_F(ShapeTest, ObbPoseIsExpressedInTheTcpFrame) {
  moorwick::GrabPose grab;
  grab.position = Eigen::Vector3f(-0.5F, 0.0F, -0.1F);
  grab.orientation = Eigen::Quaterniond(0.0, 0.0, 1.0, 0.0);  // gripper pointing down
  const Eigen::Vector3f box_center(-0.5F, 0.02F, -0.15F);
  const Eigen::Matrix3f box_rotation =
      Eigen::AngleAxisf(0.3F, Eigen::Vector3f::UnitZ()).toRotationMatrix();
  moorwick::GrabPose out;
  est_->GetObbPose(out, grab, box_center, box_rotation);
  // Half a turn about y: base (x, y, z) offsets read (-x, y, -z) in the TCP frame.
  EXPECT_TRUE(out.position.isApprox(Eigen::Vector3f(0.0F, 0.02F, 0.05F), 1e-5F))
      << out.position.transpose();
  const Eigen::Matrix3d expected =
      grab.orientation.toRotationMatrix().transpose() * box_rotation.cast<double>();
  EXPECT_TRUE(out.orientation.toRotationMatrix().isApprox(expected, 1e-6));
}

struct WorkspaceCase {
  const char* name;
  Eigen::Vector3f tcp;
  bool inside;
  const char* warning;
  float distance;
  float angle;
};

class WorkspaceTest : public ShapeTest, public ::testing::WithParamInterface<WorkspaceCase> {};

TEST_P(WorkspaceTest, AnnulusAroundShoulderAndAngleFromMinusX) {
  const WorkspaceCase& c = GetParam();
  testing::internal::CaptureStdout();
  const bool inside = est_->IsInWorkspace(c.tcp);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(inside, c.inside);
  EXPECT_NEAR(est_->grab_distance_, c.distance, 1e-3F);
  EXPECT_NEAR(est_->grab_angle_, c.angle, 0.05F);
  if (c.warning[0] != '\0') {
    EXPECT_NE(out.find(std::string("[WARN] ") + c.warning), std::string::npos) << out;
  } else {
    EXPECT_EQ(out.find("[WARN]"), std::string::npos) << out;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WorkspaceTest,
    ::testing::Values(
        WorkspaceCase{"inside_ahead", {-0.5F, 0, 0}, true, "", 0.5129F, 0.0F},
        WorkspaceCase{"too_near", {-0.2F, 0, 0.1555F}, false, "垃圾位置太近了！！", 0.18875F, 0.0F},
        WorkspaceCase{"too_far", {-0.85F, 0, -0.17F}, false, "垃圾位置太远了！！", 0.9001F, 0.0F},
        WorkspaceCase{
            "behind_is_right", {0.5F, 0, 0}, false, "垃圾位置太靠右了！！", 0.5129F, 180.0F},
        WorkspaceCase{
            "too_left", {-0.3F, -0.6F, 0}, false, "垃圾位置太靠左了！！", 0.6777F, -63.435F},
        WorkspaceCase{"left_inside", {-0.4F, -0.4F, -0.1F}, true, "", 0.6105F, -45.0F}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ShapeTest, WorkspaceLimitsAreInclusive) {
  // Radius and angle limits exactly at the measured values pass.
  const Eigen::Vector3f tcp(-0.5F, 0.0F, 0.1555F);
  est_->IsInWorkspace(tcp);
  est_->workspace_r_min_ = est_->grab_distance_;
  est_->workspace_r_max_ = est_->grab_distance_;
  est_->workspace_angle_max_ = est_->grab_angle_;
  est_->workspace_angle_min_ = est_->grab_angle_;
  EXPECT_TRUE(est_->IsInWorkspace(tcp));
}

}  // namespace
}  // namespace moorwick_test
