#!/usr/bin/env bash
# Builds the fuzz harnesses with clang (ASan + UBSan + libFuzzer) and runs each
# for a bounded, seeded time. Exits non-zero when any harness crashes, hangs,
# hits undefined behaviour or breaks one of its invariants.
#
#   fuzz/run.sh [seconds-per-harness] [harness ...]
#
# Harnesses: mask_cloud estimator postprocess config messages (all by default).
# Environment: FUZZ_BUILD_DIR (default build-fuzz), FUZZ_JOBS (build jobs, 2),
# FUZZ_SEED (1), FUZZ_RUNS (also stop after this many inputs; default none).
# Each harness's grown corpus stays in $FUZZ_BUILD_DIR/runs/corpus/<name>,
# so a later run continues from it; the committed seeds in fuzz/corpus/<name>
# are read, never written. Crash inputs land in $FUZZ_BUILD_DIR/runs/artifacts.
set -euo pipefail

seconds=${1:-20}
shift || true
harnesses=("$@")
if [ ${#harnesses[@]} -eq 0 ]; then
  harnesses=(mask_cloud estimator postprocess config messages)
fi

root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
jobs=${FUZZ_JOBS:-2}
seed=${FUZZ_SEED:-1}
work=$build/runs

cmake -S "$root/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$jobs" -- --no-print-directory >/dev/null

# PCL's own MomentOfInertiaEstimation frees with operator delete what its
# inlined Eigen allocator got from malloc: a mismatch inside the library, not ours.
export ASAN_OPTIONS=${ASAN_OPTIONS:-alloc_dealloc_mismatch=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

mkdir -p "$work/artifacts" "$work/logs"
failed=()
for h in "${harnesses[@]}"; do
  exe=$build/fuzz_$h
  [ -x "$exe" ] || { echo "no harness fuzz_$h" >&2; exit 2; }
  mkdir -p "$work/corpus/$h"
  log=$work/logs/$h.log
  args=(-seed="$seed" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2560 -max_len=4096
        -print_final_stats=1 -artifact_prefix="$work/artifacts/$h-" "$work/corpus/$h")
  [ -n "${FUZZ_RUNS:-}" ] && args=(-runs="$FUZZ_RUNS" "${args[@]}")
  [ -d "$root/fuzz/corpus/$h" ] && args+=("$root/fuzz/corpus/$h")
  if (cd "$work" && "$exe" "${args[@]}") >"$log" 2>&1; then
    result=ok
  else
    result="FAILED (log $log)"
    failed+=("$h")
    grep -m1 -E 'runtime error|ERROR: |invariant broken|what\(\)' "$log" >&2 || true
  fi
  # The last status line: executions, coverage and features reached.
  printf '%-12s %s\n  %s\n' "$h" "$result" "$(grep -E '^#[0-9]+' "$log" | tail -1)"
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzzing found problems in: ${failed[*]}" >&2
  exit 1
fi
