// Minimal tf2::Matrix3x3: a rotation from a quaternion and its roll/pitch/yaw.
#pragma once

#include <cmath>

#include "tf2/LinearMath/Quaternion.h"

namespace tf2 {

class Matrix3x3 {
public:
  Matrix3x3() = default;
  explicit Matrix3x3(const Quaternion& q) { setRotation(q); }

  void setRotation(const Quaternion& q) {
    const tf2Scalar s = 2.0 / q.length2();
    const tf2Scalar xs = q.x() * s, ys = q.y() * s, zs = q.z() * s;
    const tf2Scalar wx = q.w() * xs, wy = q.w() * ys, wz = q.w() * zs;
    const tf2Scalar xx = q.x() * xs, xy = q.x() * ys, xz = q.x() * zs;
    const tf2Scalar yy = q.y() * ys, yz = q.y() * zs, zz = q.z() * zs;
    m_[0][0] = 1.0 - (yy + zz);
    m_[0][1] = xy - wz;
    m_[0][2] = xz + wy;
    m_[1][0] = xy + wz;
    m_[1][1] = 1.0 - (xx + zz);
    m_[1][2] = yz - wx;
    m_[2][0] = xz - wy;
    m_[2][1] = yz + wx;
    m_[2][2] = 1.0 - (xx + yy);
  }

  tf2Scalar at(int row, int col) const { return m_[row][col]; }

  // Fixed-axis roll (x), pitch (y), yaw (z), the inverse of Quaternion::setRPY.
  void getRPY(tf2Scalar& roll, tf2Scalar& pitch, tf2Scalar& yaw) const {
    if (std::fabs(m_[2][0]) >= 1.0) {
      // Gimbal lock: yaw is free, take it as zero.
      yaw = 0.0;
      if (m_[2][0] < 0.0) {
        pitch = M_PI / 2.0;
        roll = std::atan2(m_[0][1], m_[0][2]);
      } else {
        pitch = -M_PI / 2.0;
        roll = std::atan2(-m_[0][1], -m_[0][2]);
      }
      return;
    }
    pitch = -std::asin(m_[2][0]);
    const tf2Scalar c = std::cos(pitch);
    roll = std::atan2(m_[2][1] / c, m_[2][2] / c);
    yaw = std::atan2(m_[1][0] / c, m_[0][0] / c);
  }

private:
  tf2Scalar m_[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
};

}  // namespace tf2
