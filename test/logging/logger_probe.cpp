// Emits log statements as told by its arguments, so tests can run the
// process-wide logger under a given environment and compare stdout bytes.
//   debug:TEXT info:TEXT warn:TEXT error:TEXT   one statement at that level
//   repeat:N:TEXT                               N info statements "TEXT <i>"
//   matrix:debug | matrix:info                  one matrix statement
//   badformat                                   a format text with a missing argument
#include <Eigen/Core>

#include <cstdlib>
#include <string>

#include "moorwick_arm_trash_detect/logging/logger.hpp"
#include "moorwick_arm_trash_detect/logging/matrix_log.hpp"

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto colon = arg.find(':');
    const std::string verb = arg.substr(0, colon);
    const std::string rest = colon == std::string::npos ? "" : arg.substr(colon + 1);
    if (verb == "debug") {
      LOG_DEBUG("{}", rest);
    } else if (verb == "info") {
      LOG_INFO("{}", rest);
    } else if (verb == "warn") {
      LOG_WARN("{}", rest);
    } else if (verb == "error") {
      LOG_ERROR("{}", rest);
    } else if (verb == "repeat") {
      const auto colon2 = rest.find(':');
      const int n = std::atoi(rest.substr(0, colon2).c_str());
      for (int k = 1; k <= n; ++k) {
        LOG_INFO("{} {}", rest.substr(colon2 + 1), k);
      }
    } else if (verb == "matrix") {
      Eigen::Matrix4f m;
      m << 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16.5F;
      if (rest == "debug") {
        moorwickLogDebugMatrix4f("m", m);
      } else {
        moorwickLogInfoMatrix4f("m", m);
      }
    } else if (verb == "badformat") {
      LOG_INFO("value {} and {}", 1);
    }
  }
  return 0;
}
