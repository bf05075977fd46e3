#pragma once

#include <string>

#include "ament_index_cpp/get_package_prefix.hpp"

namespace ament_index_cpp {

// <prefix>/share/<package_name> of the first AMENT_PREFIX_PATH entry whose
// resource index lists the package; throws PackageNotFoundError.
std::string get_package_share_directory(const std::string& package_name);

}  // namespace ament_index_cpp
