#include <sys/stat.h>

#include <cstdlib>

#include "ament_index_cpp/get_package_prefix.hpp"
#include "ament_index_cpp/get_package_share_directory.hpp"

namespace ament_index_cpp {

std::vector<std::string> get_search_paths() {
  std::vector<std::string> out;
  // Nothing in the process changes its environment while nodes run.
  const char* env = std::getenv("AMENT_PREFIX_PATH");  // NOLINT(concurrency-mt-unsafe)
  if (env == nullptr) {
    return out;
  }
  const std::string all = env;
  size_t pos = 0;
  while (pos <= all.size()) {
    size_t end = all.find(':', pos);
    if (end == std::string::npos) {
      end = all.size();
    }
    std::string p = all.substr(pos, end - pos);
    while (p.size() > 1 && p.back() == '/') {
      p.pop_back();
    }
    if (!p.empty()) {
      out.push_back(p);
    }
    pos = end + 1;
  }
  return out;
}

std::string get_package_prefix(const std::string& package_name) {
  const auto prefixes = get_search_paths();
  // A package name is one path component; anything else cannot be indexed.
  if (!package_name.empty() && package_name.find('/') == std::string::npos && package_name != "." &&
      package_name != "..") {
    for (const auto& prefix : prefixes) {
      std::string marker = prefix;
      marker.append("/share/ament_index/resource_index/packages/").append(package_name);
      struct stat st {};
      if (::stat(marker.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        return prefix;
      }
    }
  }
  throw PackageNotFoundError(package_name, prefixes);
}

std::string get_package_share_directory(const std::string& package_name) {
  return get_package_prefix(package_name) + "/share/" + package_name;
}

}  // namespace ament_index_cpp
