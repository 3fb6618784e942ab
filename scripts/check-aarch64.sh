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
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
[ -f "$arm/build.ninja" ] || cmake -S . -B "$arm" -G Ninja "${launcher[@]}" \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVX_WITH_GSTREAMER=OFF -DVX_BUILD_BENCH=OFF -DGTest_DIR="$gtest/lib/cmake/GTest"
cmake --build "$arm" -j "$jobs"

echo "== unit tests under qemu-aarch64"
(cd "$arm" && ctest --output-on-failure -j "$jobs")

# Real streams decoded by both builds.  NEON kernels do what the SSE2 ones
# do and the generic code is the same C++, so ARM NEON must equal x86 SSE2
# and ARM generic x86 generic, bit for bit; the x86 default (AVX2, whose
# transforms fuse multiply-adds) may differ by one step now and then.
echo "== streams: aarch64 (qemu) against x86"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
qemu=(qemu-aarch64 -L "$sysroot")
fail=0
# compare OURS REF MAX_ABS VAR: VAR = "rms R max M", or FAILED above MAX_ABS.
compare() {
  local out
  if out=$("$x86/tools/vxaac-compare" --same-length --max-abs "$3" "$1" "$2" 2>&1); then
    printf -v "$4" '%s %s' "$(grep '^rms' <<<"$out")" "$(grep '^max' <<<"$out")"
  else
    printf -v "$4" 'FAILED (%s)' "$(tr '\n' ' ' <<<"$out")"
    fail=1
  fi
}
printf '%-22s %-24s %-28s %-28s %s\n' stream options "neon = x86 sse2" "generic = x86 generic" \
  "neon vs x86 default"
while read -r file opts; do
  [ -n "$file" ] || continue
  n=$tmp/$(basename "$file")
  for isa in generic sse2 default; do
    k=(); [ "$isa" = default ] || k=(--kernels "$isa")
    # shellcheck disable=SC2086
    "$x86/tools/vxaac-decode" -q "${k[@]}" $opts "tests/data/$file" -o "$n.x86_$isa.wav" </dev/null
  done
  for isa in generic neon; do
    # shellcheck disable=SC2086
    "${qemu[@]}" "$arm/tools/vxaac-decode" -q --kernels "$isa" $opts "tests/data/$file" \
      -o "$n.arm_$isa.wav" </dev/null
  done
  compare "$n.arm_neon.wav" "$n.x86_sse2.wav" 0 same_vec
  compare "$n.arm_generic.wav" "$n.x86_generic.wav" 0 same_generic
  compare "$n.arm_neon.wav" "$n.x86_default.wav" 1 near_default
  printf '%-22s %-24s %-28s %-28s %s\n' "$(basename "$file")" "${opts:--}" "$same_vec" \
    "$same_generic" "$near_default"
done <<'EOF'
aac/lc_44k_st_ms.aac
aac/lc_32k_71_384.aac
aac/main_44k_st_128.aac
aac/ltp_44k_st_128.aac
gst/lc_48k_51_384.aac
sbr/he_44k_st_64.aac --sbr-output full-rate
sbr/he_32k_st_32.aac --sbr-quality low-power
sbr/he_48k_51_96.aac --sbr-output full-rate
ps/ps_32k_16.aac --ps full
als/als_16b_st_o160.als
als/als_16b_51_mcc.als
EOF
[ "$fail" -eq 0 ] || { echo "check-aarch64: streams differ" >&2; exit 1; }
echo "check-aarch64: passed"
