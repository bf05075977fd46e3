#include "moorwick_arm_trash_detect/core/capture_names.hpp"

#include <ctime>

namespace moorwick {

std::string GetTimeString(std::chrono::system_clock::time_point when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  if (localtime_r(&seconds, &local) == nullptr) {
    return {};
  }
  char text[32];
  const std::size_t length = std::strftime(text, sizeof(text), "%Y-%m-%d-%H-%M-%S", &local);
  return std::string(text, length);
}

std::string GetCurrentTimeString() {
  return GetTimeString(std::chrono::system_clock::now());
}

std::string PieceTag(std::size_t k) {
  return "[" + std::to_string(k) + "]";
}

}  // namespace moorwick
