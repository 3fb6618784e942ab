#!/usr/bin/env bash
# make bench: library micro-benchmarks, then the side-by-side comparison.
set -euo pipefail
build=${1:-build}
if [ -x "$build/bench/vx_bench" ]; then
  "$build/bench/vx_bench" --benchmark_min_time=0.2
fi
bench/compare.sh "$build"
