#!/bin/sh
# Peak resident memory of the element over a long stream.  Each clip is
# repeated (ADTS frames concatenate into a valid stream) to about 1 and
# about 10 minutes of audio and decoded by
#   filesrc ! aacparse ! vxaacdec ! fakesink sync=false
#   filesrc ! vxaacdec ! fakesink sync=false              (no parser)
# next to filesrc ! aacparse ! fakesink sync=false (the same process without
# the decoder).  For every pipeline it prints the peak RSS after 1 minute
# and after 10 minutes of audio and the difference: memory that grows with
# the stream's length shows up there.  Each figure is the median of RUNS
# runs (default 3); the peak of one process varies by a few hundred KiB
# with thread timing.  Needs only the build and tests/data.
#   bench/rss_long_stream.sh [BUILD_DIR] [RUNS]
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
runs=${2:-3}
data=$here/tests/data
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

export GST_PLUGIN_PATH="$build/plugin"
export GST_REGISTRY="$build/gst-registry-bench.bin"
gst-inspect-1.0 vxaacdec >/dev/null

# Repeats an ADTS clip until the stream holds at least SECONDS of audio
# (1024 core samples per frame at the header's rate); prints the minutes.
repeat_adts() {  # clip seconds out
  python3 - "$@" <<'EOF'
import sys
clip = open(sys.argv[1], "rb").read()
rates = [96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000]
at = frames = 0
while at + 7 <= len(clip) and clip[at] == 0xFF and (clip[at + 1] & 0xF6) == 0xF0:
    rate = rates[(clip[at + 2] >> 2) & 15]
    at += ((clip[at + 3] & 3) << 11) | (clip[at + 4] << 3) | (clip[at + 5] >> 5)
    frames += 1
seconds = frames * 1024 / rate
copies = -(-int(sys.argv[2]) // seconds)
with open(sys.argv[3], "wb") as f:
    for _ in range(int(copies)):
        f.write(clip)
print(f"{copies * seconds / 60:.2f}")
EOF
}

# CPU time and peak RSS (KiB) of a command, from wait4 in a small C helper
# (see bench/peak_rss.c for why not from an interpreter).
${CC:-cc} -O2 -o "$work/peak" "$here/bench/peak_rss.c"

# Median over RUNS runs of the peak RSS of one gst-launch-1.0 process.
peak_rss() {
  peaks=
  i=0
  while [ $i -lt "$runs" ]; do
    if ! line=$("$work/peak" gst-launch-1.0 -q "$@" 2>"$work/err"); then
      echo "pipeline failed: $*" >&2
      cat "$work/err" >&2
      exit 1
    fi
    peaks="$peaks${line#* }
"
    i=$((i + 1))
  done
  printf '%s' "$peaks" | sort -n | sed -n "$(((runs + 1) / 2))p"
}

row() {  # label short long
  printf '  %7d %7d %+7d   %s\n' "$2" "$3" "$(($3 - $2))" "$1"
}

for spec in \
  "AAC LC 44.1 kHz stereo|$data/gst/lc_44k_st_128.aac|" \
  "HE-AAC 44.1 kHz stereo|$data/bench/he_44k_st_64.aac|sbr-output=full-rate" \
  "HE-AAC v2 44.1 kHz|$data/gst/ps_44k_24.aac|sbr-output=full-rate parametric-stereo=full"; do
  name=${spec%%|*}
  rest=${spec#*|}
  clip=${rest%%|*}
  props=${rest#*|}
  m1=$(repeat_adts "$clip" 60 "$work/short.aac")
  m10=$(repeat_adts "$clip" 600 "$work/long.aac")
  echo "== $name ($m1 and $m10 min)"
  printf '  %7s %7s %7s   %s\n' "1 min" "10 min" "growth" "pipeline (peak RSS in KiB)"
  for route in "aacparse" "aacparse ! vxaacdec${props:+ $props}" "vxaacdec${props:+ $props}"; do
    # shellcheck disable=SC2086  # the route is split into gst-launch arguments
    short=$(peak_rss filesrc location="$work/short.aac" ! $route ! fakesink sync=false)
    # shellcheck disable=SC2086
    long=$(peak_rss filesrc location="$work/long.aac" ! $route ! fakesink sync=false)
    row "filesrc ! $route ! fakesink" "$short" "$long"
  done
done
