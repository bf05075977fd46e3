// Minimal tf2::Quaternion (x, y, z, w; double precision) with tf2's conventions:
// setRPY is fixed-axis roll about x, then pitch about y, then yaw about z.
#pragma once

#include <algorithm>
#include <cmath>

#include "tf2/LinearMath/Vector3.h"

namespace tf2 {

class Quaternion {
public:
  Quaternion() = default;
  Quaternion(tf2Scalar x, tf2Scalar y, tf2Scalar z, tf2Scalar w) : x_(x), y_(y), z_(z), w_(w) {}
  Quaternion(const Vector3& axis, tf2Scalar angle) { setRotation(axis, angle); }

  static Quaternion getIdentity() { return Quaternion(0, 0, 0, 1); }

  tf2Scalar x() const { return x_; }
  tf2Scalar y() const { return y_; }
  tf2Scalar z() const { return z_; }
  tf2Scalar w() const { return w_; }
  tf2Scalar getX() const { return x_; }
  tf2Scalar getY() const { return y_; }
  tf2Scalar getZ() const { return z_; }
  tf2Scalar getW() const { return w_; }
  void setX(tf2Scalar v) { x_ = v; }
  void setY(tf2Scalar v) { y_ = v; }
  void setZ(tf2Scalar v) { z_ = v; }
  void setW(tf2Scalar v) { w_ = v; }
  void setValue(tf2Scalar x, tf2Scalar y, tf2Scalar z, tf2Scalar w) {
    x_ = x;
    y_ = y;
    z_ = z;
    w_ = w;
  }

  void setRotation(const Vector3& axis, tf2Scalar angle) {
    const tf2Scalar d = axis.length();
    const tf2Scalar s = std::sin(angle * 0.5) / d;
    setValue(axis.x() * s, axis.y() * s, axis.z() * s, std::cos(angle * 0.5));
  }

  void setRPY(tf2Scalar roll, tf2Scalar pitch, tf2Scalar yaw) {
    const tf2Scalar cr = std::cos(roll * 0.5), sr = std::sin(roll * 0.5);
    const tf2Scalar cp = std::cos(pitch * 0.5), sp = std::sin(pitch * 0.5);
    const tf2Scalar cy = std::cos(yaw * 0.5), sy = std::sin(yaw * 0.5);
    setValue(sr * cp * cy - cr * sp * sy, cr * sp * cy + sr * cp * sy, cr * cp * sy - sr * sp * cy,
             cr * cp * cy + sr * sp * sy);
  }

  tf2Scalar dot(const Quaternion& q) const { return x_ * q.x_ + y_ * q.y_ + z_ * q.z_ + w_ * q.w_; }
  tf2Scalar length2() const { return dot(*this); }
  tf2Scalar length() const { return std::sqrt(length2()); }
  Quaternion& normalize() {
    const tf2Scalar l = length();
    setValue(x_ / l, y_ / l, z_ / l, w_ / l);
    return *this;
  }
  Quaternion normalized() const { return Quaternion(*this).normalize(); }
  Quaternion inverse() const { return Quaternion(-x_, -y_, -z_, w_); }

  // Rotation angle in [0, 2*pi].
  tf2Scalar getAngle() const { return 2.0 * std::acos(std::clamp(w_, -1.0, 1.0)); }
  Vector3 getAxis() const {
    const tf2Scalar s2 = 1.0 - w_ * w_;
    if (s2 < 10.0 * 1e-12) {
      return Vector3(1.0, 0.0, 0.0);
    }
    const tf2Scalar s = 1.0 / std::sqrt(s2);
    return Vector3(x_ * s, y_ * s, z_ * s);
  }

  Quaternion operator*(const Quaternion& q) const {
    return Quaternion(w_ * q.x_ + x_ * q.w_ + y_ * q.z_ - z_ * q.y_,
                      w_ * q.y_ + y_ * q.w_ + z_ * q.x_ - x_ * q.z_,
                      w_ * q.z_ + z_ * q.w_ + x_ * q.y_ - y_ * q.x_,
                      w_ * q.w_ - x_ * q.x_ - y_ * q.y_ - z_ * q.z_);
  }
  Quaternion& operator*=(const Quaternion& q) { return *this = *this * q; }
  bool operator==(const Quaternion& q) const {
    return x_ == q.x_ && y_ == q.y_ && z_ == q.z_ && w_ == q.w_;
  }

  // Shortest-path spherical interpolation from *this (t = 0) to q (t = 1).
  Quaternion slerp(const Quaternion& q, tf2Scalar t) const {
    tf2Scalar d = dot(q);
    Quaternion end = q;
    if (d < 0.0) {
      end = Quaternion(-q.x_, -q.y_, -q.z_, -q.w_);
      d = -d;
    }
    if (d > 1.0 - 1e-12) {
      return *this;
    }
    const tf2Scalar theta = std::acos(std::min(d, 1.0));
    const tf2Scalar s = std::sin(theta);
    const tf2Scalar a = std::sin((1.0 - t) * theta) / s;
    const tf2Scalar b = std::sin(t * theta) / s;
    return Quaternion(x_ * a + end.x_ * b, y_ * a + end.y_ * b, z_ * a + end.z_ * b,
                      w_ * a + end.w_ * b);
  }

private:
  tf2Scalar x_ = 0.0, y_ = 0.0, z_ = 0.0, w_ = 1.0;
};

inline Quaternion slerp(const Quaternion& q1, const Quaternion& q2, tf2Scalar t) {
  return q1.slerp(q2, t);
}

// v rotated by q.
inline Vector3 quatRotate(const Quaternion& q, const Vector3& v) {
  const Quaternion p = q * Quaternion(v.x(), v.y(), v.z(), 0.0) * q.inverse();
  return Vector3(p.x(), p.y(), p.z());
}

}  // namespace tf2
