#!/usr/bin/env bash
# Judges LATM/LOAS streams (LOAS files, MPEG-TS/PS recordings) against
# FFmpeg's float decode, one output format at a time: a stream that changes
# its channels or rate (for example stereo to 5.1) is compared part by part.
# HE-AAC is decoded at the full rate with full parametric stereo and must be
# within RMS 0.5 / max 2 LSB, AAC LC within 0.30 / 1.  A part at another
# rate than the first is not judged: FFmpeg resamples what comes before it,
# which moves it by the resampler's delay.
#
#   scripts/latm_conformance.sh DIR [BUILD]
#
# DIR holds the streams (for example a conformance folder's latm/); BUILD is
# the build directory (default build).  Needs ffmpeg and ffprobe.  Prints one
# line per stream and a summary; exit status 1 when a stream fails.
set -u
dir=${1:?usage: scripts/latm_conformance.sh DIR [BUILD]}
build=${2:-build}
decode="$build/tools/vxaac-decode"
compare="$build/tools/vxaac-compare"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

probe() {  # FILE FIELD: one field of the first audio stream
  ffprobe -v error -select_streams a:0 -show_entries "stream=$2" -of csv=p=0 "$1" | head -n 1
}

pass=0
fail=0
for f in "$dir"/*; do
  [ -f "$f" ] || continue
  name=$(basename "$f")
  case "$name" in *.md | *.txt) continue ;; esac
  case "$(probe "$f" profile)" in
    *HE*) limits="--max-rms 0.5 --max-abs 2" ;;
    *) limits="--max-rms 0.30 --max-abs 1" ;;
  esac
  rm -f "$tmp"/ours*.wav "$tmp"/ref*.wav
  "$decode" -q --sbr-output full-rate --ps full --split-formats "$f" -o "$tmp/ours.wav" \
    2>"$tmp/log"
  parts=("$tmp/ours.wav")
  n=2
  while [ -f "$tmp/ours-$n.wav" ]; do
    parts+=("$tmp/ours-$n.wav")
    n=$((n + 1))
  done
  verdict=PASS
  detail=""
  seconds=0  # where the part starts in the stream
  first_rate=""
  for part in "${parts[@]}"; do
    if [ ! -s "$part" ]; then
      verdict=FAIL
      detail="no output: $(tail -n 1 "$tmp/log")"
      break
    fi
    ch=$(probe "$part" channels)
    rate=$(probe "$part" sample_rate)
    first_rate=${first_rate:-$rate}
    if [ "$rate" != "$first_rate" ]; then
      samples=$(probe "$part" duration_ts)
      detail+="${ch}ch@$rate: not judged (the rate changed); "
      seconds=$(awk -v s="$seconds" -v n="$samples" -v r="$rate" 'BEGIN { printf "%.9f", s + n / r }')
      continue
    fi
    ref="$tmp/ref_$ch.wav"
    # FFmpeg converts every part to one format; the part in that format
    # passes through unchanged.
    [ -f "$ref" ] || ffmpeg -v quiet -threads 1 -i "$f" -ac "$ch" -c:a pcm_f32le -y "$ref"
    offset=$(awk -v s="$seconds" -v r="$rate" 'BEGIN { printf "%d", s * r + 0.5 }')
    # shellcheck disable=SC2086
    out=$("$compare" $limits --offset "$offset" "$part" "$ref")
    [ $? -eq 0 ] || verdict=FAIL
    samples=$(echo "$out" | awk '$1 == "ours" { print $2 }')
    detail+="${ch}ch@$rate: rms $(echo "$out" | awk '$1 == "rms" { print $2 }') max $(echo "$out" | awk '$1 == "max" { print $2 }') ($samples samples); "
    seconds=$(awk -v s="$seconds" -v n="$samples" -v r="$rate" 'BEGIN { printf "%.9f", s + n / r }')
  done
  echo "$verdict $name: $detail"
  if [ "$verdict" = PASS ]; then pass=$((pass + 1)); else fail=$((fail + 1)); fi
done
echo "$pass passed, $fail failed"
[ "$fail" -eq 0 ]
