#!/bin/sh
# Peak resident memory of the element over a long stream: an ADTS stream of
# about 1 and about 10 minutes (one clip repeated) through
#   filesrc ! aacparse ! vxaacdec ! fakesink   (and without the parser)
# next to the same pipeline without the decoder.  Memory that grows with the
# stream's length shows up as a difference between the two lengths.
#   bench/rss_long_stream.sh [BUILD_DIR]
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
clip=$here/tests/data/gst/lc_44k_st_128.aac  # 43 frames, 0.998 s
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

export GST_PLUGIN_PATH="$build/plugin"
export GST_REGISTRY="$build/gst-registry-bench.bin"
gst-inspect-1.0 vxaacdec >/dev/null

# Peak RSS (KiB) and CPU seconds of one child process.
measure() {
  python3 - "$@" <<'EOF'
import resource, subprocess, sys
subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL)
u = resource.getrusage(resource.RUSAGE_CHILDREN)
print(f"{u.ru_maxrss:8d} KiB  {u.ru_utime + u.ru_stime:6.2f} s cpu")
EOF
}

for copies in 60 601; do
  file=$work/long_$copies.aac
  i=0
  while [ $i -lt $copies ]; do cat "$clip"; i=$((i + 1)); done >"$file"
  minutes=$(python3 -c "print(f'{$copies * 43 * 1024 / 44100 / 60:.1f}')")
  echo "== $minutes min of AAC LC 44.1 kHz stereo, $(wc -c <"$file") bytes"
  printf '  %-36s' "filesrc ! aacparse ! fakesink"
  measure gst-launch-1.0 -q filesrc location="$file" ! aacparse ! fakesink
  printf '  %-36s' "filesrc ! aacparse ! vxaacdec ! fakesink"
  measure gst-launch-1.0 -q filesrc location="$file" ! aacparse ! vxaacdec ! fakesink
  printf '  %-36s' "filesrc ! vxaacdec ! fakesink"
  measure gst-launch-1.0 -q filesrc location="$file" ! vxaacdec ! fakesink
done
