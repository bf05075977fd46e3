#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace ament_index_cpp {

class PackageNotFoundError : public std::out_of_range {
public:
  PackageNotFoundError(const std::string& _package_name, const std::vector<std::string>& prefixes)
      : std::out_of_range("package '" + _package_name + "' not found, searching: [" +
                          join(prefixes) + "]"),
        package_name(_package_name) {}
  const std::string package_name;

private:
  static std::string join(const std::vector<std::string>& v) {
    std::string out;
    for (size_t i = 0; i < v.size(); ++i) {
      out += (i ? ", " : "") + v[i];
    }
    return out;
  }
};

// The entries of AMENT_PREFIX_PATH, in order, empty ones dropped.
std::vector<std::string> get_search_paths();
// The install prefix holding the package; throws PackageNotFoundError.
std::string get_package_prefix(const std::string& package_name);

}  // namespace ament_index_cpp
