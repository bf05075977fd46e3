// Matrix logging helpers of the logging facility.
#pragma once

#include <Eigen/Core>

#include <string>

void moorwickLogDebugMatrix4f(const std::string& name, const Eigen::Matrix4f& matrix);
void moorwickLogInfoMatrix4f(const std::string& name, const Eigen::Matrix4f& matrix);
