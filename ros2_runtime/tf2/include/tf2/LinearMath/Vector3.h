// Minimal tf2::Vector3 (double precision), for nodes that use tf2's LinearMath types.
#pragma once

#include <cmath>

namespace tf2 {

using tf2Scalar = double;

class Vector3 {
public:
  Vector3() = default;
  Vector3(tf2Scalar x, tf2Scalar y, tf2Scalar z) : v_{x, y, z} {}

  const tf2Scalar& x() const { return v_[0]; }
  const tf2Scalar& y() const { return v_[1]; }
  const tf2Scalar& z() const { return v_[2]; }
  tf2Scalar getX() const { return v_[0]; }
  tf2Scalar getY() const { return v_[1]; }
  tf2Scalar getZ() const { return v_[2]; }
  void setX(tf2Scalar x) { v_[0] = x; }
  void setY(tf2Scalar y) { v_[1] = y; }
  void setZ(tf2Scalar z) { v_[2] = z; }
  void setValue(tf2Scalar x, tf2Scalar y, tf2Scalar z) {
    v_[0] = x;
    v_[1] = y;
    v_[2] = z;
  }
  tf2Scalar operator[](int i) const { return v_[i]; }

  tf2Scalar dot(const Vector3& o) const { return x() * o.x() + y() * o.y() + z() * o.z(); }
  Vector3 cross(const Vector3& o) const {
    return Vector3(y() * o.z() - z() * o.y(), z() * o.x() - x() * o.z(), x() * o.y() - y() * o.x());
  }
  tf2Scalar length2() const { return dot(*this); }
  tf2Scalar length() const { return std::sqrt(length2()); }
  Vector3 normalized() const { return *this / length(); }
  Vector3& normalize() { return *this = normalized(); }

  Vector3 operator+(const Vector3& o) const {
    return Vector3(x() + o.x(), y() + o.y(), z() + o.z());
  }
  Vector3 operator-(const Vector3& o) const {
    return Vector3(x() - o.x(), y() - o.y(), z() - o.z());
  }
  Vector3 operator-() const { return Vector3(-x(), -y(), -z()); }
  Vector3 operator*(tf2Scalar s) const { return Vector3(x() * s, y() * s, z() * s); }
  Vector3 operator/(tf2Scalar s) const { return Vector3(x() / s, y() / s, z() / s); }

private:
  tf2Scalar v_[3] = {0.0, 0.0, 0.0};
};

}  // namespace tf2
