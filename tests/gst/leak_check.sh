#!/bin/sh
# Runs the command-line decoder and gst-launch-1.0 pipelines with the element
# over a few streams (clean, damaged, garbage) under valgrind memcheck.
# Fails on any memory error and on any definitely lost block.
#   leak_check.sh VALGRIND BUILD_DIR SOURCE_DIR
set -u
valgrind=$1
build=$2
source=$3
data=$source/tests/data
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

export G_SLICE=always-malloc
export GST_PLUGIN_PATH="$build/plugin"
export GST_REGISTRY="$build/gst-registry-leak.bin"
export GST_REGISTRY_FORK=no
# Registry scanned once outside valgrind.
gst-inspect-1.0 vxaacdec >/dev/null 2>&1 || { echo "vxaacdec not found in $build/plugin"; exit 1; }

# A damaged stream: cut inside a frame, with bytes overwritten in the
# middle; and input without any frame.
head -c 12000 "$data/gst/lc_44k_st_128.aac" >"$work/damaged.aac"
for at in 3000 5555 7001 9999; do
  printf '\252\125' | dd of="$work/damaged.aac" bs=1 seek=$at conv=notrunc 2>/dev/null
done
head -c 4000 "$data/gst/lc_44k_st_128_ref.wav" | tail -c 3000 >"$work/garbage.bin"

status=0
# Valgrind reports its findings with this exit status; the programs' own
# statuses (1 for damaged input, 2 for unusable input) are expected.
found=97
check() {
  echo "== $*"
  timeout 600 $valgrind -q --leak-check=full --errors-for-leak-kinds=definite --show-leak-kinds=definite \
    --error-exitcode=$found --suppressions="$source/tests/gst/valgrind.supp" "$@" \
    >"$work/out" 2>"$work/log"
  rc=$?
  if [ $rc -eq $found ]; then
    cat "$work/log"
    status=1
  elif [ $rc -eq 124 ]; then
    echo "timed out after 600 s"
    status=1
  fi
}

decode=$build/tools/vxaac-decode
for f in gst/lc_44k_st_128.aac gst/lc_44k_st_128.m4a gst/ps_44k_24.aac als/als_16b_st.als; do
  check "$decode" -q --ps full "$data/$f" -o "$work/out.wav"
done
check "$decode" -q "$work/damaged.aac" -o "$work/out.wav"
check "$decode" -q --gst "$data/gst/lc_44k_st_128.adif" -o "$work/out.wav"

for pipeline in \
  "filesrc location=$data/gst/lc_44k_st_128.aac ! vxaacdec" \
  "filesrc location=$data/gst/lc_44k_st_128.aac ! aacparse ! vxaacdec" \
  "filesrc location=$data/gst/lc_44k_st_128.m4a ! qtdemux ! vxaacdec" \
  "filesrc location=$data/als/als_24b_st.als blocksize=1000 ! vxaacdec" \
  "filesrc location=$data/gst/ps_44k_24.aac ! vxaacdec parametric-stereo=full sbr-output=full-rate" \
  "filesrc location=$work/damaged.aac blocksize=700 ! vxaacdec" \
  "filesrc location=$work/garbage.bin ! vxaacdec"; do
  # Word splitting of the description is what gst-launch expects.  A sink
  # without preroll: when an error and EOS-in-preroll race, gst-launch-1.0
  # itself can wait forever after "pipeline doesn't want to preroll".
  # shellcheck disable=SC2086
  check gst-launch-1.0 -q $pipeline ! fakesink async=false
done
exit $status
