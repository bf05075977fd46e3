#include <gtest/gtest.h>

#include <cmath>
#include <utility>

#include "estimator_fixture.hpp"

namespace moorwick_test {
namespace {

// Gripper axes of a grab pose in the base frame: z is the approach direction,
// x the closing direction across the fingers' long side.
Eigen::Vector3d ToolX(const moorwick::GrabPose& p) {
  return p.orientation * Eigen::Vector3d::UnitX();
}
Eigen::Vector3d ToolZ(const moorwick::GrabPose& p) {
  return p.orientation * Eigen::Vector3d::UnitZ();
}

class GrabPoseTest : public EstimatorTest {
protected:
  void SetUp() override {
    EstimatorTest::SetUp();
    options_ = OptionsFor(*est_);
    options_.noise_sigma = 0.0005;
  }

  int Estimate(const Shape& piece, std::uint32_t seed = 1) {
    options_.seed = seed;
    cloud_ = MakePieceCloud(piece, options_);
    return est_->GetInitialGrabPose(cloud_);
  }

  Eigen::Vector2d CameraXY() const { return options_.camera_position.head<2>(); }

  PieceCloudOptions options_;
  CloudPtr cloud_;
};

TEST_F(GrabPoseTest, CanLyingAlongXIsGrabbedFromAboveAcrossItsLength) {
  // A 500 ml can pointing at the camera. (A can shorter than about 0.13 m seen
  // end-on reads as slanted: its near end cap tilts the PCA axis by ~16 deg.)
  const Shape can = Shape::Cylinder(0.066, 0.168, {-0.5, 0.0, 0.0}, {1, 0, 0}).RestingOn(kFloor);
  ASSERT_EQ(Estimate(can), GrabPoseEstimate::kSuccess);
  EXPECT_TRUE(est_->rect_main_direction_.isApprox(Eigen::Vector2f(1, 0), 0.02F));
  // Top-down grab, yaw along the long side: q close to the plain downward pose.
  EXPECT_NEAR(std::abs(est_->grab_pose_.orientation.y()), 1.0, 1e-3);
  // The TCP sits inside the can, below the PCA centre of the visible surface.
  EXPECT_TRUE(can.Contains(ToD(est_->grab_tcp_), 0.002)) << est_->grab_tcp_.transpose();
  EXPECT_LT(est_->grab_tcp_.z(), est_->pca_center_.z());
  EXPECT_EQ(est_->grab_pose_.position, est_->grab_tcp_);
  // Longer than 0.1 and higher than 0.03: pushed deeper along the line of sight.
  const Eigen::Vector2d moved =
      ToD(est_->grab_tcp_).head<2>() - est_->pca_center_.head<2>().cast<double>();
  const Eigen::Vector2d sight =
      (est_->pca_center_.head<2>().cast<double>() - CameraXY()).normalized();
  EXPECT_GT(moved.dot(sight), 0.005);
}

class YawedCanTest : public GrabPoseTest, public ::testing::WithParamInterface<double> {};

TEST_P(YawedCanTest, GrabYawFollowsLongSide) {
  const double yaw = GetParam() * M_PI / 180.0;
  const Eigen::Vector3d axis(std::cos(yaw), std::sin(yaw), 0.0);
  const Shape can = Shape::Cylinder(0.066, 0.14, {-0.5, 0.05, 0.0}, axis).RestingOn(kFloor);
  ASSERT_EQ(Estimate(can), GrabPoseEstimate::kSuccess);
  EXPECT_EQ(est_->main_axis_type_, 1);
  EXPECT_GT(std::abs(ToolX(est_->grab_pose_).dot(axis)), 0.995)
      << ToolX(est_->grab_pose_).transpose();
  EXPECT_NEAR(ToolZ(est_->grab_pose_).z(), -1.0, 1e-6);
  EXPECT_TRUE(can.Contains(ToD(est_->grab_tcp_), 0.002)) << est_->grab_tcp_.transpose();
}

INSTANTIATE_TEST_SUITE_P(Yaws, YawedCanTest, ::testing::Values(-60.0, -25.0, 35.0, 80.0));

TEST_F(GrabPoseTest, StandingBottleIsGrabbedHorizontallyAwayFromCamera) {
  const Shape bottle = Shape::Cylinder(0.065, 0.2, {-0.5, 0.0, 0.0}, {0, 0, 1}).RestingOn(kFloor);
  ASSERT_EQ(Estimate(bottle), GrabPoseEstimate::kSuccess);
  EXPECT_EQ(est_->main_axis_type_, 2);
  EXPECT_TRUE(est_->grab_mainaxis_.isApprox(Eigen::Vector3f(0, 0, -1)));
  const Eigen::Vector3d approach = ToolZ(est_->grab_pose_);
  EXPECT_NEAR(approach.z(), 0.0, 1e-6);  // horizontal
  const Eigen::Vector2d away = (ToD(est_->grab_tcp_).head<2>() - CameraXY()).normalized();
  EXPECT_GT(approach.head<2>().dot(away), 0.999);
  // On the -x axis: q = Q_DOWN * Q_SIDE = (0, 0.7071, 0, -0.7071) up to sign.
  const Eigen::Vector4d q = est_->grab_pose_.orientation.coeffs();  // x, y, z, w
  EXPECT_NEAR(std::abs(q.y()), 0.70710678, 2e-3);
  EXPECT_NEAR(std::abs(q.w()), 0.70710678, 2e-3);
  EXPECT_LT(q.y() * q.w(), 0.0);
  EXPECT_TRUE(bottle.Contains(ToD(est_->grab_tcp_), 0.0)) << est_->grab_tcp_.transpose();
  // Extended along the line of sight, then pushed a further 8 mm horizontally.
  const Eigen::Vector3f center = est_->pca_center_.head<3>();
  const Eigen::Vector3f cam = Translation(est_->camera_extrinsic_);
  const Eigen::Vector3f v = (center - cam).normalized();
  Eigen::Vector3f expected = center + est_->extend_length_ * v;
  expected.head<2>() += 0.008F * (expected.head<2>() - cam.head<2>()).normalized();
  EXPECT_TRUE(est_->grab_tcp_.isApprox(expected, 1e-5F))
      << est_->grab_tcp_.transpose() << " vs " << expected.transpose();
}

struct SlantCase {
  const char* name;
  double elevation_deg;
  int type;
  bool from_above;
};

class SlantedRodTest : public GrabPoseTest, public ::testing::WithParamInterface<SlantCase> {};

TEST_P(SlantedRodTest, TypeAndGrabDirectionFollowElevation) {
  const double e = GetParam().elevation_deg * M_PI / 180.0;
  // Across the line of sight, rising towards +y.
  const Eigen::Vector3d axis(0.0, std::cos(e), std::sin(e));
  const Shape rod = Shape::Cylinder(0.03, 0.25, {-0.5, 0.0, 0.0}, axis).RestingOn(kFloor);
  ASSERT_EQ(Estimate(rod), GrabPoseEstimate::kSuccess);
  EXPECT_EQ(est_->main_axis_type_, GetParam().type);
  const Eigen::Vector3d approach = ToolZ(est_->grab_pose_);
  if (GetParam().from_above) {
    EXPECT_NEAR(approach.z(), -1.0, 1e-6);
    EXPECT_GT(std::abs(ToolX(est_->grab_pose_).dot(Eigen::Vector3d::UnitY())), 0.99);
  } else {
    EXPECT_NEAR(approach.z(), 0.0, 1e-6);
  }
  const Eigen::Vector3f main_axis = est_->pca_eigen_vectors_.col(0);
  EXPECT_GT(std::abs(main_axis.cast<double>().dot(axis)), 0.99);
}

INSTANTIATE_TEST_SUITE_P(Cases, SlantedRodTest,
                         ::testing::Values(SlantCase{"lying_5deg", 5.0, 1, true},
                                           SlantCase{"slanted_30deg", 30.0, 3, true},
                                           SlantCase{"steep_60deg", 60.0, 4, false},
                                           SlantCase{"upright_85deg", 85.0, 2, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(GrabPoseTest, FlatPaperGetsTcpAtTheFloor) {
  const Shape paper =
      Shape::Box({0.2, 0.15, 0.002}, {-0.5, 0.05, 0.0}, {0, 0, 15}).RestingOn(kFloor);
  ASSERT_EQ(Estimate(paper), GrabPoseEstimate::kSuccess);
  EXPECT_EQ(est_->main_axis_type_, 1);
  EXPECT_NEAR(est_->grab_tcp_.z(), kFloor, 0.002);
  EXPECT_FLOAT_EQ(est_->grab_tcp_.z(), est_->trash_lowest_z_);
  EXPECT_NEAR(ToolZ(est_->grab_pose_).z(), -1.0, 1e-6);
  EXPECT_TRUE(paper.Contains(ToD(est_->grab_tcp_), 0.003));
}

TEST_F(GrabPoseTest, LowBlockIsLoweredByAdjustStepWithoutExtension) {
  // Main extent 0.08 (not above 0.1): no extension; 0.05 high: lowered 8 mm.
  const Shape block = Shape::Box({0.08, 0.03, 0.05}, {-0.5, 0.0, 0.0}).RestingOn(kFloor);
  ASSERT_EQ(Estimate(block), GrabPoseEstimate::kSuccess);
  ASSERT_LE(est_->pca_lengths_[0], 0.1F);
  EXPECT_FLOAT_EQ(est_->grab_tcp_.x(), est_->pca_center_.x());
  EXPECT_FLOAT_EQ(est_->grab_tcp_.y(), est_->pca_center_.y());
  EXPECT_FLOAT_EQ(est_->grab_tcp_.z(), est_->pca_center_.z() - 0.008F);
}

TEST_F(GrabPoseTest, OnFloorPutsTcpAtFloorHeight) {
  est_ = Make([](YAML::Node& r) { r["debug_choice"]["is_on_floor"] = true; });
  const Shape can = Shape::Cylinder(0.066, 0.12, {-0.5, 0.0, 0.0}, {1, 0, 0}).RestingOn(kFloor);
  ASSERT_EQ(Estimate(can), GrabPoseEstimate::kSuccess);
  EXPECT_FLOAT_EQ(est_->grab_tcp_.z(), -0.176F);
}

// Each direction's warning is tested on IsInWorkspace; here the result code.
TEST_F(GrabPoseTest, OutOfReachReturns41) {
  const Shape can = Shape::Cylinder(0.066, 0.12, {-0.95, 0.0, 0.0}, {1, 0, 0}).RestingOn(kFloor);
  EXPECT_EQ(Estimate(can), GrabPoseEstimate::kOutOfWorkspace);
}

class TransparentTest : public GrabPoseTest, public ::testing::WithParamInterface<double> {};

TEST_P(TransparentTest, TcpHeightFollowsWidth) {
  const double diameter = GetParam();
  const Shape bottle =
      Shape::Cylinder(diameter, 0.2, {-0.5, 0.03, 0.0}, {0, 0, 1}).RestingOn(kFloor);
  cloud_ = MakePieceCloud(bottle, options_);
  est_->main_axis_type_ = 3;  // left from an earlier piece; the horizontal grab is "standing"
  ASSERT_EQ(est_->GetTransparentGrabPose(cloud_), GrabPoseEstimate::kSuccess);
  const float w = est_->pca_lengths_[1];
  // The visible arc of a round piece spans a little less than its diameter.
  EXPECT_NEAR(w, diameter, 0.07 * diameter);
  EXPECT_FLOAT_EQ(est_->grab_tcp_.z(), est_->processed_trash_lowest_z_ + 1.8F * w);
  EXPECT_NEAR(est_->grab_tcp_.z(), kFloor + 1.8 * diameter, 0.01);
  EXPECT_EQ(est_->pca_lengths_, Eigen::Vector3f(3.6F * w, w, w));
  EXPECT_EQ(est_->main_axis_type_, 2);
  EXPECT_EQ(est_->obb_pose_.position, Eigen::Vector3f::Zero());
  EXPECT_EQ(est_->obb_pose_.orientation.coeffs(), Eigen::Quaterniond::Identity().coeffs());
  // Half a width plus the push step behind the visible surface, near the axis.
  const Eigen::Vector2d axis_xy = bottle.Center().head<2>();
  EXPECT_LT((ToD(est_->grab_tcp_).head<2>() - axis_xy).norm(), 0.5 * diameter);
  EXPECT_GT((ToD(est_->grab_tcp_).head<2>() - CameraXY()).norm(),
            (axis_xy - CameraXY()).norm() - 0.005);
  EXPECT_NEAR(ToolZ(est_->grab_pose_).z(), 0.0, 1e-6);
}

INSTANTIATE_TEST_SUITE_P(Widths, TransparentTest, ::testing::Values(0.04, 0.06, 0.08));

TEST_F(GrabPoseTest, FewerThanThreePointsReturns11WithoutThrowing) {
  est_ = Make([](YAML::Node& r) { r["grab_pose_estimate"]["min_trash_cloud_size"] = 1; });
  for (std::size_t n = 0; n < 3; ++n) {
    CloudPtr tiny(new Cloud);
    for (std::size_t i = 0; i < n; ++i) {
      tiny->push_back(pcl::PointXYZ(-0.5F + 0.01F * i, 0.0F, -0.17F));
    }
    CloudPtr copy(new Cloud(*tiny));
    testing::internal::CaptureStdout();
    int initial = 0;
    int transparent = 0;
    EXPECT_NO_THROW(initial = est_->GetInitialGrabPose(tiny));
    EXPECT_NO_THROW(transparent = est_->GetTransparentGrabPose(copy));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(initial, GrabPoseEstimate::kTooFewPoints) << n << " points";
    EXPECT_EQ(transparent, GrabPoseEstimate::kTooFewPoints) << n << " points";
    EXPECT_NE(out.find("After PclProcessFunc trash_cloud size is less than 3 !!!"),
              std::string::npos)
        << out;
  }
}

TEST_F(GrabPoseTest, LyingGrabExtendsOnlyAboveATenthOfAMetre) {
  est_->trash_height_ = est_->extend_height_threshold_ + 0.01F;
  // 0.1F lies above the double 0.1: a float comparison would not extend it.
  for (const auto& [length, extends] :
       {std::pair{0.1F, true}, std::pair{std::nextafter(0.1F, 0.0F), false}}) {
    est_->pca_lengths_[0] = length;
    EXPECT_EQ(est_->ExtendsLyingGrab(), extends) << length;
  }
  est_->trash_height_ = est_->extend_height_threshold_;
  EXPECT_FALSE(est_->ExtendsLyingGrab());
}

}  // namespace
}  // namespace moorwick_test
