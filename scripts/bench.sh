#!/usr/bin/env bash
set -euo pipefail
build=${1:-build}
"$build/bench/vx_bench"
