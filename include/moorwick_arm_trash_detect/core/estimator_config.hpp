// The estimator file: camera extrinsics and intrinsics, the grab and
// conditioning parameters and the debug-file labels of one GrabPoseEstimate.
#pragma once

#include <Eigen/Core>
#include <string>

namespace moorwick {

class GrabPoseEstimate;

// Rotation of Euler angles in degrees (rx, ry, rz): R = Rz(rz) * Ry(ry) * Rx(rx),
// i.e. about the fixed x axis first, then y, then z.
Eigen::Matrix3f EulerDegreesToRotation(const Eigen::Vector3f& degrees);

// Reads every key of the estimator file at `path` into `estimator`, builds the
// camera extrinsic matrix and creates the debug data folders. Throws
// ConfigError naming the file and key on a missing file, missing key or bad
// value, and boost::filesystem::filesystem_error when a folder cannot be made.
void LoadEstimatorConfig(const std::string& path, GrabPoseEstimate& estimator);

}  // namespace moorwick
