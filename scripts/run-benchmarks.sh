#!/usr/bin/env bash
# Runs each benchmark program given, keeps its JSON results in
# $BENCH_OUT_DIR/<program>.json, then prints the side-by-side summary.
#
#   BENCH_OUT_DIR=build/bench-results scripts/run-benchmarks.sh PROGRAM...
#
# BENCH_ARGS adds Google Benchmark options (e.g. --benchmark_filter=...).
set -euo pipefail

out=${BENCH_OUT_DIR:?set BENCH_OUT_DIR}
mkdir -p "$out"
# Log lines are formatted at the level each program chooses but not printed.
export SPDLOG_STDOUT=${SPDLOG_STDOUT:-false} SPDLOG_SYSTEMD=${SPDLOG_SYSTEMD:-false}
results=()
for exe in "$@"; do
  name=$(basename "$exe")
  echo "== $name"
  # shellcheck disable=SC2086
  "$exe" --benchmark_counters_tabular=true --benchmark_out="$out/$name.json" \
    --benchmark_out_format=json ${BENCH_ARGS:-}
  results+=("$out/$name.json")
  echo
done
echo "== summary"
/usr/bin/python3 "$(dirname "$0")/bench_report.py" "${results[@]}"
