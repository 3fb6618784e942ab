#!/usr/bin/env bash
# Side-by-side decoding speed: our command-line decoder and element against
# FFmpeg, FAAD2 and the GStreamer decoders users would otherwise pick, on the
# same inputs in one run.  Prints the median CPU time (user+sys) of several
# runs, the ratio to FFmpeg and the peak RSS, then a summary of the ratios
# that matter: the CLI against `ffmpeg -threads 1` and the element against
# the same pipeline with avdec_aac, each the median of the ratios of runs
# made in turns.
#
#   bench/compare.sh [build-dir] [runs] [file...]
#
# Runs defaults to 9: on a shared machine whose load comes and goes, a
# median of five pairs still moved the element's ratio by 0.1 between runs
# minutes apart.
#
# Without files, the inputs are the 2-second clips in tests/data/bench, each
# repeated to VX_BENCH_SECONDS (default 600) seconds of audio (ALS: 60), and
# the 960-sample-frame clip of tests/data/frame960 as long.  Files named on
# the command line are used as they are: *.mp4/*.m4a through qtdemux,
# *.loas as LOAS, others as ADTS.  VX_BENCH_ONLY=<regex> keeps only the
# inputs whose title matches.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
runs=${2:-9}
shift $(($# < 2 ? $# : 2))
data="$here/tests/data"
seconds=${VX_BENCH_SECONDS:-600}
repeats=$(((seconds + 1) / 2))
work="${VX_BENCH_DIR:-$build/bench-inputs}"
mkdir -p "$work"
export GST_PLUGIN_PATH="$build/plugin"
# A registry of its own: runs of other processes with another plug-in path
# would otherwise make GStreamer rescan and rewrite the shared one (tens of
# milliseconds) at the start of some of the timed pipelines.
export GST_REGISTRY="${GST_REGISTRY:-$build/bench-registry.bin}"
decoder="$build/tools/vxaac-decode"

# Long inputs made by repeating a 2-second clip (ADTS frames, LOAS frames
# and ALS MP4 samples concatenate into valid streams).
make_joined() {  # name clip extension [times]
  local out="$work/$1_${seconds}s.$3"
  if [ ! -s "$out" ]; then
    for _ in $(seq "${4:-$repeats}"); do cat "$2"; done >"$out.tmp"
    mv "$out.tmp" "$out"
  fi
  echo "$out"
}
make_adts() {  # name clip
  make_joined "$1" "$2" aac
}
make_mp4() {  # name clip
  local out="$work/$1_${seconds}s.mp4" list="$work/$1.txt"
  if [ ! -s "$out" ]; then
    for _ in $(seq "$repeats"); do echo "file '$2'"; done >"$list"
    ffmpeg -v quiet -y -f concat -safe 0 -i "$list" -c copy -f mp4 "$out.tmp"
    mv "$out.tmp" "$out"
  fi
  echo "$out"
}

# ALS: one stream of SECONDS (at most 60: longer single-sample MP4 files
# exceed what qtdemux takes) encoded from the clip's audio repeated.  The
# clips cannot simply be joined like the AAC ones: each carries a complete
# stream whose configuration announces 2 seconds, after which decoders that
# honour it stop.  Needs the ISO/IEC 14496-5 reference encoder
# (VX_ALS_ENCODER, or mp4alsRM23 on PATH); prints nothing without it.
als_encoder=${VX_ALS_ENCODER:-$(command -v mp4alsRM23 || true)}
make_als() {  # name clip encoder-options...
  local name=$1 clip=$2 secs=$((seconds < 60 ? seconds : 60))
  shift 2
  local out="$work/${name}_${secs}s.mp4" pcm="$work/${name}_clip.wav"
  if [ ! -s "$out" ]; then
    "$decoder" -q -o "$pcm" "$clip"
    ffmpeg -v quiet -y -stream_loop -1 -i "$pcm" -t "$secs" -c:a pcm_s16le "$work/${name}_long.wav"
    "$als_encoder" "$@" -MP4 "$work/${name}_long.wav" "$out.tmp.mp4" >/dev/null 2>&1
    mv "$out.tmp.mp4" "$out"
    rm -f "$pcm" "$work/${name}_long.wav"
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

# Median CPU time and peak RSS of one command's runs ("cpu rss_kib" lines).
median_of() {
  sort -n | awk '{a[NR] = $1; if ($2 > r) r = $2} END {printf "%.3f %d\n", a[int((NR + 1) / 2)], r}'
}

median_run() {  # <cmd...>: prints "median_cpu max_rss"
  for _ in $(seq "$runs"); do cpu_and_rss "$@"; done | median_of
}

# Median of the ratios first/second of paired "cpu rss_kib" lines.
median_pair_ratio() {  # <first lines> <second lines>
  paste -d' ' <(printf '%s\n' "$1") <(printf '%s\n' "$2") |
    awk '$3 > 0 {print $1 / $3}' | sort -g |
    awk '{a[NR] = $1} END {if (NR) printf "%.2f", (a[int((NR + 1) / 2)] + a[int(NR / 2) + 1]) / 2; else printf "-"}'
}

# The two commands in the arrays first_cmd and second_cmd run in turns, so
# that a change in the machine's load or clock during the measurement falls
# on both alike, each pair in the other order than the one before (the run
# that follows the other in a pair came out 3-5% faster); sets first_stats and
# second_stats to "median_cpu max_rss", and first_per_second to the median
# of the ratios within each pair (on a machine whose load comes and goes, a
# steadier figure than the ratio of the two medians: each pair ran under
# the same conditions).
paired_runs() {
  local a=() b=()
  local i
  for i in $(seq "$runs"); do
    if ((i % 2)); then
      a+=("$(cpu_and_rss "${first_cmd[@]}")")
      b+=("$(cpu_and_rss "${second_cmd[@]}")")
    else
      b+=("$(cpu_and_rss "${second_cmd[@]}")")
      a+=("$(cpu_and_rss "${first_cmd[@]}")")
    fi
  done
  first_stats=$(printf '%s\n' "${a[@]}" | median_of)
  second_stats=$(printf '%s\n' "${b[@]}" | median_of)
  first_per_second=$(median_pair_ratio "$(printf '%s\n' "${a[@]}")" "$(printf '%s\n' "${b[@]}")")
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN{printf "%.2f", (b > 0 ? a / b : 0)}'; }

# Whether a command decodes at all (our decoder's exit status 1, decoded
# with errors, still times a whole decode; for gst-launch and the others 1
# is an error, such as a decoder that does not link); a pipeline that
# cannot link may hang after its error (gst-launch waits in preroll), hence
# the time limit.
runs_ok() {
  local rc=0
  timeout 120 "$@" >/dev/null 2>&1 || rc=$?
  [ "$rc" -eq 0 ] || { [ "$1" = "$decoder" ] && [ "$rc" -eq 1 ]; }
}

# print_row <label> <ffmpeg cpu> <"cpu rss_kib">: one timed line; the peak
# RSS (MiB) goes to $last_rss.
print_row() {
  local label=$1 ref=$2 cpu rss
  read -r cpu rss <<<"$3"
  last_rss=$(awk -v k="$rss" 'BEGIN{printf "%.1f", k/1024}')
  printf '  %-34s %8.3f s  %6sx  %7s MiB\n' "$label" "$cpu" "$(ratio "$cpu" "$ref")" "$last_rss"
}

failed_row() {
  last_rss=-
  printf '  %-34s %8s\n' "$1" "failed"
}

# row <label> <ffmpeg cpu> <cmd...>: a command timed on its own.
row() {
  local label=$1 ref=$2
  shift 2
  if runs_ok "$@"; then print_row "$label" "$ref" "$(median_run "$@")"; else failed_row "$label"; fi
}

summary=()
summarise() {  # title cli_ratio element_ratio cli_rss element_rss
  summary+=("$(printf '%-40s %8s %8s %9s %9s' "$1" "$2" "$3" "$4" "$5")")
}

# The gst-launch lines of the element and of the peer decoder on the same
# input (through aacparse for ADTS and LOAS, qtdemux for MP4; avdec_als for
# ALS).
element_row() {  # kind file ffmpeg_cpu
  local front peer=avdec_aac
  case $1 in
    adts | loas) front=aacparse ;;
    mp4) front=qtdemux ;;
  esac
  if [ "$(ffprobe -v quiet -select_streams a:0 -show_entries stream=codec_name -of csv=p=0 "$2")" = mp4als ]; then
    peer=avdec_als
  fi
  first_cmd=(gst-launch-1.0 -q filesrc location="$2" ! "$front" ! vxaacdec sbr-output=full-rate
    parametric-stereo=full ! fakesink)
  second_cmd=(gst-launch-1.0 -q filesrc location="$2" ! "$front" ! "$peer" ! fakesink)
  el_ratio=- el_rss=-
  if ! runs_ok "${first_cmd[@]}"; then
    failed_row "gst $front ! vxaacdec"
    return
  fi
  if ! gst-inspect-1.0 $peer >/dev/null 2>&1 || ! runs_ok "${second_cmd[@]}"; then
    row "gst $front ! vxaacdec" "$3" "${first_cmd[@]}"
    el_rss=$last_rss
    gst-inspect-1.0 $peer >/dev/null 2>&1 && failed_row "gst $front ! $peer"
    return
  fi
  paired_runs
  print_row "gst $front ! vxaacdec" "$3" "$first_stats"
  el_ratio=$first_per_second el_rss=$last_rss
  print_row "gst $front ! $peer" "$3" "$second_stats"
}

bench_file() {  # title file kind(adts|loas|mp4)
  local title=$1 f=$2 kind=$3 ff cli_ratio=- cli_rss
  [[ -z "${VX_BENCH_ONLY:-}" || "$title" =~ $VX_BENCH_ONLY ]] || return 0
  echo "$title ($(basename "$f"))"
  # Same work as FFmpeg: SBR at full rate, parametric stereo applied.
  first_cmd=("$decoder" -q --sbr-output full-rate --ps full -o /dev/null "$f")
  second_cmd=(ffmpeg -nostdin -v quiet -threads 1 -i "$f" -f null -)
  if runs_ok "${first_cmd[@]}"; then
    paired_runs
    read -r ff _ <<<"$second_stats"
    printf '  %-34s %8.3f s  %6sx\n' "ffmpeg -threads 1" "$ff" 1.00
    print_row "vxaac-decode" "$ff" "$first_stats"
    cli_ratio=$first_per_second
  else
    read -r ff _ < <(median_run "${second_cmd[@]}")
    printf '  %-34s %8.3f s  %6sx\n' "ffmpeg -threads 1" "$ff" 1.00
    failed_row "vxaac-decode"
  fi
  cli_rss=$last_rss
  if [ "$kind" = adts ] && command -v faad >/dev/null; then
    row "faad -w" "$ff" faad -w "$f"
  fi
  element_row "$kind" "$f" "$ff"
  if [ "$kind" = adts ] && gst-inspect-1.0 faad >/dev/null 2>&1; then
    row "gst aacparse ! faad" "$ff" gst-launch-1.0 -q filesrc location="$f" ! aacparse ! faad ! fakesink
  fi
  summarise "$title" "$cli_ratio" "$el_ratio" "$cli_rss" "$el_rss"
}

echo "CPU: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
echo "median of $runs runs, CPU time (user+sys); ratio to FFmpeg; peak RSS"
echo "(ours and its peer, FFmpeg's CLI or the avdec pipeline, run in turns)"
if [ $# -gt 0 ]; then
  for f in "$@"; do
    case ${f,,} in
      *.mp4 | *.m4a) bench_file "$(basename "$f")" "$f" mp4 ;;
      *.loas) bench_file "$(basename "$f")" "$f" loas ;;
      *) bench_file "$(basename "$f")" "$f" adts ;;
    esac
  done
else
  bench_file "AAC LC stereo 44.1 kHz 128 kbps" "$(make_adts lc_stereo "$data/bench/lc_44k_st_128.aac")" adts
  bench_file "AAC LC 5.1 48 kHz" "$(make_adts lc_51 "$data/bench/lc_48k_51_384.aac")" adts
  bench_file "HE-AAC v1 stereo 44.1 kHz" "$(make_adts he_v1 "$data/bench/he_44k_st_64.aac")" adts
  bench_file "HE-AAC v2 44.1 kHz" "$(make_adts he_v2 "$data/bench/ps_44k_24.aac")" adts
  # 960-sample frames (1920-point transforms): the half-second LOAS clip
  # of the frame960 tests.
  bench_file "AAC LC mono 48 kHz, 960-sample frames (LOAS)" \
    "$(make_joined lc960 "$data/frame960/lc960_48_mo.loas" loas $((4 * repeats)))" loas
  if [ -n "$als_encoder" ]; then
    bench_file "ALS 16-bit stereo (MP4)" "$(make_als als_16b "$data/bench/als_16b_st.mp4")" mp4
    bench_file "ALS 16-bit stereo -7 -p (MP4)" \
      "$(make_als als_16b_heavy "$data/bench/als_16b_st.mp4" -7 -p)" mp4
  else
    echo "ALS rows skipped: set VX_ALS_ENCODER to the ISO/IEC 14496-5 reference encoder"
  fi
fi

echo
echo "Ratios (CPU time, median of the ratios of the runs in turns): CLI / ffmpeg -threads 1,"
echo "element / the same pipeline with FFmpeg's decoder (avdec_aac, avdec_als)"
printf '%-40s %8s %8s %9s %9s\n' input CLI element "CLI MiB" "elem MiB"
printf '%s\n' "${summary[@]}"
