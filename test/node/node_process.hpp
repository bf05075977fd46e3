// The scratch prefix of the node's in-process suites, now a thin name over the
// shared one in test/support; include moorwick_test/process.hpp in new code.
#pragma once

#include <filesystem>
#include <string>

#include "../support/include/moorwick_test/process.hpp"

namespace moorwick {
namespace test {

inline std::string ReadText(const std::filesystem::path& path) {
  return moorwick_test::ReadFile(path);
}

// The prefix itself is root(); the shipped configuration is in config_dir().
class TempPrefix : public moorwick_test::ScratchPrefix {
public:
  explicit TempPrefix(const std::string& tag) : ScratchPrefix(tag, MOORWICK_SOURCE_CONFIG_DIR) {}
  std::filesystem::path root() const { return prefix(); }
  std::filesystem::path config_dir() const { return config(); }
};

}  // namespace test
}  // namespace moorwick
