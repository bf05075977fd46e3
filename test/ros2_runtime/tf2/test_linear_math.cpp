// Quaternion helpers and Eigen conversions against hand-computed values.
#include <gtest/gtest.h>

#include <cmath>

#include "tf2/LinearMath/Matrix3x3.h"
#include "tf2/LinearMath/Quaternion.h"
#include "tf2_eigen/tf2_eigen.hpp"

namespace {

TEST(LinearMath, SetRpyMatchesSingleAxisRotations) {
  struct Case {
    double r, p, y;
    double qx, qy, qz, qw;
  };
  const double h = std::sqrt(0.5);
  const Case cases[] = {
      {M_PI / 2, 0, 0, h, 0, 0, h},
      {0, M_PI / 2, 0, 0, h, 0, h},
      {0, 0, M_PI / 2, 0, 0, h, h},
      // Roll 90 then yaw 90 (fixed axes): q_z90 * q_x90 = (0.5, 0.5, 0.5, 0.5).
      {M_PI / 2, 0, M_PI / 2, 0.5, 0.5, 0.5, 0.5},
  };
  for (const auto& c : cases) {
    tf2::Quaternion q;
    q.setRPY(c.r, c.p, c.y);
    EXPECT_NEAR(q.x(), c.qx, 1e-12);
    EXPECT_NEAR(q.y(), c.qy, 1e-12);
    EXPECT_NEAR(q.z(), c.qz, 1e-12);
    EXPECT_NEAR(q.w(), c.qw, 1e-12);
    double r, p, y;
    tf2::Matrix3x3(q).getRPY(r, p, y);
    EXPECT_NEAR(r, c.r, 1e-9);
    EXPECT_NEAR(p, c.p, 1e-9);
    EXPECT_NEAR(y, c.y, 1e-9);
  }
}

TEST(LinearMath, ProductRotateAndSlerp) {
  tf2::Quaternion yaw90;
  yaw90.setRPY(0, 0, M_PI / 2);
  const tf2::Vector3 v = tf2::quatRotate(yaw90, tf2::Vector3(1, 0, 0));
  EXPECT_NEAR(v.x(), 0, 1e-12);
  EXPECT_NEAR(v.y(), 1, 1e-12);
  const tf2::Quaternion yaw180 = yaw90 * yaw90;
  EXPECT_NEAR(yaw180.getAngle(), M_PI, 1e-9);
  const tf2::Quaternion mid = tf2::slerp(tf2::Quaternion::getIdentity(), yaw90, 0.5);
  EXPECT_NEAR(mid.z(), std::sin(M_PI / 8), 1e-12);
  EXPECT_NEAR(mid.w(), std::cos(M_PI / 8), 1e-12);
  EXPECT_NEAR((yaw90 * yaw90.inverse()).w(), 1.0, 1e-12);
}

// transformToEigen itself is checked through the buffer's lookups; its inverse
// and the Pose conversions must agree with it.
TEST(LinearMath, EigenConversionsRoundTrip) {
  Eigen::Isometry3d iso =
      Eigen::Translation3d(1, 2, 3) * Eigen::AngleAxisd(0.3, Eigen::Vector3d(1, 2, 2).normalized());
  EXPECT_TRUE(tf2::transformToEigen(tf2::eigenToTransform(iso)).isApprox(iso, 1e-12));
  Eigen::Isometry3d from_pose;
  tf2::fromMsg(tf2::toMsg(iso), from_pose);
  EXPECT_TRUE(from_pose.isApprox(iso, 1e-12));
}

}  // namespace
