#!/usr/bin/env bash
# Side-by-side decoding speed: our command-line decoder and element against
# FFmpeg, FAAD2 and the GStreamer decoders users would otherwise pick, on the
# same 60-second inputs in one run.  Prints the median CPU time (user+sys) of
# several runs, the ratio to FFmpeg and the peak RSS.
#
#   bench/compare.sh [build-dir] [runs]
#
# VX_BENCH_ONLY=<regex> keeps only the inputs whose title matches.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
runs=${2:-5}
data="$here/tests/data"
work="${VX_BENCH_DIR:-$build/bench-inputs}"
mkdir -p "$work"
export GST_PLUGIN_PATH="$build/plugin"
decoder="$build/tools/vxaac-decode"

# 60-second inputs, made by repeating a 2-second fixture (ADTS frames and ALS
# MP4 samples concatenate into valid streams).
make_adts() {  # name fixture
  local out="$work/$1.aac"
  [ -s "$out" ] || { for _ in $(seq 30); do cat "$2"; done > "$out"; }
  echo "$out"
}
make_mp4() {  # name fixture
  local out="$work/$1.mp4" list="$work/$1.txt"
  if [ ! -s "$out" ]; then
    for _ in $(seq 30); do echo "file '$2'"; done > "$list"
    ffmpeg -v quiet -y -f concat -safe 0 -i "$list" -c copy "$out"
  fi
  echo "$out"
}

# cpu_and_rss <cmd...>: prints "cpu_seconds peak_rss_kib" of one run (the
# child's user+system time and maximum resident set size, from wait4 in a
# small C helper: a child of the shell's interpreter would inherit its
# resident size as the floor of its peak).
peak="$work/peak_rss"
${CC:-cc} -O2 -o "$peak" "$here/bench/peak_rss.c"
cpu_and_rss() {
  "$peak" "$@" 2>/dev/null || true
}

median_run() {  # prints "median_cpu max_rss"
  local cpus=() rss=0 line
  for _ in $(seq "$runs"); do
    line=$(cpu_and_rss "$@")
    cpus+=("${line% *}")
    [ "${line#* }" -gt "$rss" ] && rss=${line#* }
  done
  printf '%s\n' "${cpus[@]}" | sort -n | awk -v r="$rss" '{a[NR]=$1} END {printf "%.3f %d\n", a[int((NR+1)/2)], r}'
}

row() {  # label ffmpeg_cpu cmd...
  local label=$1 ref=$2; shift 2
  # Exit status 1 (decoded with errors) still times a whole decode.
  local rc=0
  "$@" >/dev/null 2>&1 || rc=$?
  if [ "$rc" -gt 1 ]; then
    printf '  %-34s %8s\n' "$label" "failed"
    return
  fi
  read -r cpu rss < <(median_run "$@")
  printf '  %-34s %8.3f s  %6.2fx  %7.1f MiB\n' "$label" "$cpu" \
    "$(awk -v a="$cpu" -v b="$ref" 'BEGIN{print (b > 0 ? a / b : 0)}')" "$(awk -v k="$rss" 'BEGIN{print k/1024}')"
}

bench_file() {  # title file kind(adts|mp4|als)
  local title=$1 f=$2 kind=$3 ff
  [[ -z "${VX_BENCH_ONLY:-}" || "$title" =~ $VX_BENCH_ONLY ]] || return 0
  echo "$title ($(basename "$f"))"
  read -r ff _ < <(median_run ffmpeg -nostdin -v quiet -threads 1 -i "$f" -f null -)
  printf '  %-34s %8.3f s  %6.2fx\n' "ffmpeg -threads 1" "$ff" 1
  # Same work as FFmpeg: SBR at full rate, parametric stereo applied.
  row "vxaac-decode" "$ff" "$decoder" -q --sbr-output full-rate --ps full -o /dev/null "$f"
  case $kind in
    adts)
      command -v faad >/dev/null && row "faad -w" "$ff" faad -w "$f"
      row "gst aacparse ! vxaacdec" "$ff" gst-launch-1.0 -q filesrc location="$f" ! aacparse ! vxaacdec sbr-output=full-rate parametric-stereo=full ! fakesink
      row "gst aacparse ! avdec_aac" "$ff" gst-launch-1.0 -q filesrc location="$f" ! aacparse ! avdec_aac ! fakesink
      gst-inspect-1.0 faad >/dev/null 2>&1 &&
        row "gst aacparse ! faad" "$ff" gst-launch-1.0 -q filesrc location="$f" ! aacparse ! faad ! fakesink
      ;;
    mp4)
      row "gst qtdemux ! vxaacdec" "$ff" gst-launch-1.0 -q filesrc location="$f" ! qtdemux ! vxaacdec sbr-output=full-rate parametric-stereo=full ! fakesink
      gst-inspect-1.0 avdec_aac >/dev/null 2>&1 &&
        row "gst qtdemux ! avdec_aac" "$ff" gst-launch-1.0 -q filesrc location="$f" ! qtdemux ! avdec_aac ! fakesink
      ;;
  esac
}

echo "CPU: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
echo "median of $runs runs, CPU time (user+sys); ratio to FFmpeg; peak RSS"
bench_file "AAC LC stereo 44.1 kHz 128 kbps" "$(make_adts lc_stereo "$data/bench/lc_44k_st_128.aac")" adts
bench_file "AAC LC 5.1 48 kHz" "$(make_adts lc_51 "$data/bench/lc_48k_51_384.aac")" adts
bench_file "HE-AAC v1 stereo 44.1 kHz" "$(make_adts he_v1 "$data/bench/he_44k_st_64.aac")" adts
bench_file "HE-AAC v2 44.1 kHz" "$(make_adts he_v2 "$data/bench/ps_44k_24.aac")" adts
# The 2-second clips are joined without random-access frames, so every
# decoder meets 29 discontinuities; all decode the same data.
bench_file "ALS 16-bit stereo (MP4)" "$(make_mp4 als_16b "$data/bench/als_16b_st.mp4")" mp4
