// Shared by the harnesses: a quiet logger that still formats every line, a
// private scratch directory, and the invariant check that stops a run.
#pragma once

#include <boost/filesystem.hpp>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace moorwick_fuzz {

// Logging stays on at debug level so every format text runs against the
// fuzzed values, but nothing is written: no sink.
inline void QuietLogging() {
  setenv("SPDLOG_STDOUT", "false", 1);
  setenv("SPDLOG_SYSTEMD", "false", 1);
  setenv("SPDLOG_LEVEL", "debug", 1);
}

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
