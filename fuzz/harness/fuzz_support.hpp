// Shared by the harnesses: a quiet logger that still formats every line, a
// private scratch directory, awkward float values, and the invariant check
// that stops a run.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <boost/filesystem.hpp>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <string>

namespace moorwick_fuzz {

// Logging stays on at debug level so every format text runs against the
// fuzzed values, but nothing is written: no sink. Set before main; the logger
// reads the environment when first used.
inline const bool kQuietLogging = [] {
  setenv("SPDLOG_STDOUT", "false", 1);
  setenv("SPDLOG_SYSTEMD", "false", 1);
  setenv("SPDLOG_LEVEL", "debug", 1);
  return true;
}();

// A directory of this process, removed at exit.
inline const boost::filesystem::path& Scratch() {
  static const boost::filesystem::path dir = [] {
    auto d = boost::filesystem::temp_directory_path() /
             boost::filesystem::unique_path("moorwick_fuzz_%%%%-%%%%-%%%%");
    boost::filesystem::create_directories(d);
    std::atexit([] {
      boost::system::error_code ignored;
      boost::filesystem::remove_all(Scratch(), ignored);
    });
    return d;
  }();
  return dir;
}

inline void WriteFile(const boost::filesystem::path& path, const char* data, std::size_t size) {
  std::ofstream out(path.string(), std::ios::binary | std::ios::trunc);
  out.write(data, static_cast<std::streamsize>(size));
}

// Values a detector, a camera or a configuration file can produce that break
// naive arithmetic: non-finite, extreme, denormal, signed zero, int limits.
inline constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
inline constexpr float kInf = std::numeric_limits<float>::infinity();
inline constexpr float kMax = std::numeric_limits<float>::max();
inline constexpr float kDenorm = std::numeric_limits<float>::denorm_min();
inline constexpr float kAwkwardFloats[] = {
    kNaN, kInf,  -kInf, kMax, -kMax, kDenorm, 0.0F,  -0.0F,         0.5F,
    1.0F, -1.0F, 10.5F, 1e6F, -1e6F, 1e18F,   1e30F, 2147483648.0F, -2147483904.0F};
inline constexpr std::size_t kAwkwardFloatCount = sizeof(kAwkwardFloats) / sizeof(float);

inline float AwkwardFloat(FuzzedDataProvider& in) {
  return in.PickValueInArray(kAwkwardFloats);
}

// Half the time an awkward value, else one in [lo, hi].
inline float SomeFloat(FuzzedDataProvider& in, float lo, float hi) {
  return in.ConsumeBool() ? AwkwardFloat(in) : in.ConsumeFloatingPointInRange(lo, hi);
}

// A broken invariant is a finding: report it and abort so libFuzzer keeps the input.
#define FUZZ_CHECK(cond, ...)                                                             \
  do {                                                                                    \
    if (!(cond)) {                                                                        \
      std::fprintf(stderr, "invariant broken at %s:%d: %s\n", __FILE__, __LINE__, #cond); \
      std::fprintf(stderr, __VA_ARGS__);                                                  \
      std::fputc('\n', stderr);                                                           \
      std::abort();                                                                       \
    }                                                                                     \
  } while (false)

}  // namespace moorwick_fuzz
