// Shared pieces of the pipeline benchmarks: a quiet, isolated ROS environment
// and a reporter that remembers each run's counters for the closing summary.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace moorwick_bench {

// Log lines stay formatted (their cost is part of the figures) but are not
// printed; DDS stays on the loopback interface and its own domain. Values the
// caller set in the environment win.
// Called first in main, before any thread.
inline void QuietRosEnvironment() {
  // NOLINTBEGIN(concurrency-mt-unsafe)
  ::setenv("SPDLOG_STDOUT", "false", 0);
  ::setenv("SPDLOG_SYSTEMD", "false", 0);
  ::setenv("SPDLOG_LEVEL", "info", 0);
  ::setenv("ROS_DOMAIN_ID", "68", 0);
  ::setenv("CYCLONEDDS_URI", "file://" MOORWICK_LOOPBACK_CONFIG, 0);
  // NOLINTEND(concurrency-mt-unsafe)
}

// Console output as usual, plus the counters of every run by run name.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) {
        continue;
      }
      auto& counters = counters_[run.benchmark_name()];
      for (const auto& [name, counter] : run.counters) {
        counters[name] = counter.value;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // The counter of a run, or a negative value when the run is missing.
  double Counter(const std::string& run, const std::string& name) const {
    const auto r = counters_.find(run);
    if (r == counters_.end()) {
      return -1.0;
    }
    const auto c = r->second.find(name);
    return c == r->second.end() ? -1.0 : c->second;
  }

private:
  std::map<std::string, std::map<std::string, double>> counters_;
};

// "label: a / b = ratio" when both runs reported the counter.
inline void PrintRatio(const RecordingReporter& reporter, const char* label,
                       const std::string& numerator, const std::string& denominator,
                       const std::string& counter) {
  const double a = reporter.Counter(numerator, counter);
  const double b = reporter.Counter(denominator, counter);
  if (a < 0.0 || b <= 0.0) {
    return;
  }
  std::printf("%s: %.3f ms / %.3f ms = %.1fx\n", label, a, b, a / b);
}

}  // namespace moorwick_bench
