#!/usr/bin/env bash
# make check-aarch64: cross-builds the codec library, the command-line
# decoder and the unit tests for 64-bit ARM (NEON kernels), runs the tests
# under qemu-user, then decodes real streams with the ARM decoder and
# compares them with the x86 decoder's output.
#
# Usage: scripts/check-aarch64.sh [X86_BUILD [ARM_BUILD]]
# X86_BUILD must hold tools/vxaac-decode and tools/vxaac-compare.
set -euo pipefail
cd "$(dirname "$0")/.."
x86=${1:-build}
arm=${2:-build-aarch64}
jobs=${JOBS:-$(nproc)}
toolchain=$PWD/cmake/aarch64-linux-gnu.cmake
sysroot=/usr/aarch64-linux-gnu

# The cross compiler, qemu-user, and GoogleTest's sources (libgtest-dev).
scripts/install-deps.sh cmake ninja-build g++-aarch64-linux-gnu qemu-user libgtest-dev

# GoogleTest for aarch64, built once from the Debian sources.
gtest=$PWD/$arm/googletest
if [ ! -f "$gtest/lib/cmake/GTest/GTestConfig.cmake" ]; then
  cmake -S /usr/src/googletest -B "$arm/googletest-build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON -DCMAKE_INSTALL_PREFIX="$gtest" >/dev/null
  cmake --build "$arm/googletest-build" -j "$jobs"
  cmake --install "$arm/googletest-build" >/dev/null
fi

# Library, CLI (elementary streams only: no GStreamer for ARM here) and tests.
[ -f "$arm/build.ninja" ] || cmake -S . -B "$arm" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVX_WITH_GSTREAMER=OFF -DVX_BUILD_BENCH=OFF -DGTest_DIR="$gtest/lib/cmake/GTest"
cmake --build "$arm" -j "$jobs"

echo "== unit tests under qemu-aarch64"
(cd "$arm" && ctest --output-on-failure -j "$jobs")

# Real streams: the ARM decoder (NEON kernels) against the x86 one (AVX2 or
# SSE2 kernels).  The transforms round differently per instruction set, so
# the PCM may differ by one step now and then; anything more is a fault.
echo "== streams: aarch64 against x86"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
qemu=(qemu-aarch64 -L "$sysroot")
fail=0
while read -r file opts; do
  [ -n "$file" ] || continue
  name=$(basename "$file")
  # shellcheck disable=SC2086
  "$x86/tools/vxaac-decode" -q $opts "tests/data/$file" -o "$tmp/x86_$name.wav"
  # shellcheck disable=SC2086
  "${qemu[@]}" "$arm/tools/vxaac-decode" -q $opts "tests/data/$file" -o "$tmp/arm_$name.wav"
  status=ok
  result=$("$x86/tools/vxaac-compare" --same-length --max-abs 1 --max-rms 0.01 \
    "$tmp/arm_$name.wav" "$tmp/x86_$name.wav") || status=FAILED fail=1
  printf '%-24s %-26s %s  %s  frames %s  %s\n' "$name" "${opts:--}" \
    "$(grep '^rms' <<<"$result")" "$(grep '^max' <<<"$result")" \
    "$(grep '^frames' <<<"$result" | cut -d' ' -f2)" "$status"
done <<'EOF'
aac/lc_44k_st_ms.aac
aac/lc_32k_71_384.aac
aac/main_44k_st_128.aac
aac/ltp_44k_st_128.aac
gst/lc_48k_51_384.aac
sbr/he_44k_st_64.aac --sbr-output full-rate
sbr/he_32k_st_32.aac --sbr-quality low-power
ps/ps_32k_16.aac --ps full
als/als_16b_st_o160.als
als/als_16b_51_mcc.als
EOF
[ "$fail" -eq 0 ] || { echo "check-aarch64: streams differ" >&2; exit 1; }
echo "check-aarch64: passed"
