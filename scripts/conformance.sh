#!/usr/bin/env bash
# Runs every stream of a samples folder laid out like the conformance set
# (aac/, ct_decodercheck/, als/, latm/) through the command-line decoder and
# judges it as that folder is judged; prints one line per stream and a
# summary.  Not part of `make test`: the samples are not in the repository.
#
#   scripts/conformance.sh [--als-tool PATH] SAMPLES_DIR [build-dir]
#   make conformance SAMPLES=DIR [ALS_TOOL=PATH]
#
# aac/             LC, Main, LTP (anything not named below): FFmpeg's float
#                  decode, RMS <= 0.30 LSB and maximum <= 1 LSB (a failing
#                  Main or LTP stream also shows FAAD2's spread from FFmpeg)
#                  al18*: noise substitution, by frame level: each decoder
#                  draws its own noise, and on al18_44 FAAD2 and FFmpeg
#                  already differ by up to 5.3 dB in single frames (332 of
#                  2813 frames beyond 2 dB), so the worst frame may differ
#                  by 6 dB
#                  *sbr*: full-rate SBR (and full parametric stereo for
#                  *_ps_*) against FFmpeg, RMS <= 0.5 and maximum <= 2
#                  er_*: must be refused with "Unsupported audio object type N"
# ct_decodercheck/ every stream against aacPlusv2.wav, full-rate SBR and full
#                  parametric stereo, RMS <= 0.5 and maximum <= 2 (a failure
#                  also shows how far FFmpeg's decode of the file is); a file
#                  that FFmpeg also decodes more than 5 LSB RMS away from it
#                  is another encoding than the reference's, and is judged
#                  against FFmpeg's decode with the same limits
# als/             equal to the ALS reference decoder's output (`-x`); its
#                  path from --als-tool or $VX_ALS_TOOL, else "skip"
# latm/            FFmpeg's float decode part by part where the format
#                  changes (scripts/latm_conformance.sh: HE-AAC RMS <= 0.5 and
#                  maximum <= 2, LC 0.30 / 1)
#
# FFmpeg's decode may omit a stream's first frame (an ADTS stream opening
# with a frame that holds only encoder information): comparisons try
# alignments of 0 and +-1024 samples and name the one used.
set -uo pipefail
als_tool=${VX_ALS_TOOL:-}
if [ "${1:-}" = --als-tool ]; then
  als_tool=$2
  shift 2
fi
if [ $# -lt 1 ] || [ ! -d "$1" ]; then
  echo "usage: $0 [--als-tool PATH] SAMPLES_DIR [build-dir]" >&2
  exit 2
fi
samples=$(cd "$1" && pwd)
build=$(cd "${2:-build}" && pwd)
decode="$build/tools/vxaac-decode"
compare="$build/tools/vxaac-compare"
for t in "$decode" "$compare"; do
  [ -x "$t" ] || { echo "missing $t (build first)" >&2; exit 2; }
done
have_ffmpeg=1
command -v ffmpeg >/dev/null || have_ffmpeg=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
pass=0 fail=0 skip=0

line() {  # verdict, stream, text
  printf '%-4s %-44s %s\n' "$1" "$2" "$3"
  case $1 in
    ok) pass=$((pass + 1)) ;;
    FAIL) fail=$((fail + 1)) ;;
    *) skip=$((skip + 1)) ;;
  esac
}

# Decodes $1 into $work/ours.wav with the options that follow; sets $msg.
ours() {
  local in=$1
  shift
  rm -f "$work/ours.wav"
  msg=$("$decode" -q "$@" "$in" -o "$work/ours.wav" 2>&1 >/dev/null)
  local rc=$?
  [ $rc -le 1 ] && [ -s "$work/ours.wav" ]
}

# Compares ours.wav with $1 under the limits that follow, at the best of
# the alignments 0, -1024 and +1024 by RMS (level-judged noise has no
# alignment to find: 0 only); sets $result.  Succeeds when within.
judge() {
  local ref=$1 best="" best_rms="" off out rms offsets=(0 -1024 1024)
  shift
  [ "$1" = --max-level ] && offsets=(0)
  for off in "${offsets[@]}"; do
    out=$("$compare" --offset $off "$work/ours.wav" "$ref" 2>&1) || true
    rms=$(awk '/^rms/ {print $2}' <<<"$out")
    [ -n "$rms" ] || continue
    if [ -z "$best_rms" ] || awk -v a="$rms" -v b="$best_rms" 'BEGIN {exit !(a < b)}'; then
      best_rms=$rms best=$off
    fi
  done
  if [ -z "$best" ]; then
    result=$("$compare" "$work/ours.wav" "$ref" 2>&1 | tail -1)
    return 1
  fi
  out=$("$compare" --offset "$best" "$@" "$work/ours.wav" "$ref" 2>&1)
  local rc=$?
  result="$(awk '/^(rms|max|level)/ {printf "%s %s ", $1, $2} /^(ours|reference)/ {printf "%s %s ", $1, $2}' <<<"$out")"
  [ "$best" = 0 ] || result="$result(offset $best)"
  [ -n "$(awk '/^rms/' <<<"$out")" ] || result=$(tail -1 <<<"$out")
  return $rc
}

ffmpeg_ref() {  # stream -> $work/ref.wav
  ffmpeg -nostdin -hide_banner -loglevel error -y -threads 1 -i "$1" -c:a pcm_f32le "$work/ref.wav"
}

# Against FFmpeg's float decode.  $1 stream, $2 label, then decoder options
# and, after --, the limits.
versus_ffmpeg() {
  local in=$1 name=$2 opts=() limits=()
  shift 2
  while [ $# -gt 0 ] && [ "$1" != -- ]; do opts+=("$1"); shift; done
  shift
  limits=("$@")
  if [ $have_ffmpeg = 0 ]; then line skip "$name" "no ffmpeg"; return; fi
  if ! ffmpeg_ref "$in" 2>"$work/ffmpeg.log"; then
    line skip "$name" "FFmpeg cannot decode it: $(tail -1 "$work/ffmpeg.log")"; return
  fi
  if ! ours "$in" "${opts[@]}"; then line FAIL "$name" "not decoded: ${msg:0:100}"; return; fi
  if judge "$work/ref.wav" "${limits[@]}"; then line ok "$name" "$result"
  else line FAIL "$name" "$result$(peer_spread "$in")"; fi
}

# RMS and maximum of $1 against $2 at the best of the alignments 0, -1024
# and +1024 (by RMS).
figures() {
  local off out best=""
  for off in 0 -1024 1024; do
    out=$("$compare" --offset $off "$1" "$2" 2>/dev/null |
      awk '/^rms/ {r = $2} /^max/ {m = $2} END {if (r != "") print r, m}')
    [ -n "$out" ] || continue
    if [ -z "$best" ] || awk -v a="${out%% *}" -v b="${best%% *}" 'BEGIN {exit !(a < b)}'; then
      best=$out
    fi
  done
  [ -n "$best" ] && echo "rms ${best% *} max ${best#* }"
}

# Main and LTP are judged against the spread between FFmpeg and FAAD2: a
# failing Main/LTP stream also shows FAAD2's 16-bit decode against FFmpeg's
# and against ours.
peer_spread() {
  local type
  type=$("$decode" --info "$1" 2>/dev/null | awk '/^object type:/ {print $3}')
  [ "$type" = 1 ] || [ "$type" = 4 ] || return 0
  command -v faad >/dev/null || { echo " (no faad for the FAAD2 spread)"; return 0; }
  rm -f "$work/faad.wav"
  if ! faad -q -o "$work/faad.wav" "$1" >/dev/null 2>&1 || [ ! -s "$work/faad.wav" ]; then
    echo " (FAAD2 cannot decode it)"
    return 0
  fi
  echo " (FAAD2 vs FFmpeg: $(figures "$work/faad.wav" "$work/ref.wav"); ours vs FAAD2: $(figures "$work/ours.wav" "$work/faad.wav"))"
}

for f in "$samples"/aac/*; do
  [ -f "$f" ] || continue
  name=aac/$(basename "$f")
  case $(basename "$f") in
    er_*)
      if ours "$f"; then
        line FAIL "$name" "decoded; must be refused as an unsupported object type"
      elif grep -q "Unsupported audio object type [0-9]" <<<"$msg"; then
        line ok "$name" "refused: $(grep -o 'Unsupported audio object type [0-9]*' <<<"$msg" | head -1)"
      else
        line FAIL "$name" "refused otherwise: ${msg:0:100}"
      fi ;;
    al18*) versus_ffmpeg "$f" "$name" -- --max-level 6 ;;
    *sbr*_ps_*) versus_ffmpeg "$f" "$name" --sbr-output full-rate --ps full -- --max-rms 0.5 --max-abs 2 ;;
    *sbr*) versus_ffmpeg "$f" "$name" --sbr-output full-rate -- --max-rms 0.5 --max-abs 2 ;;
    *) versus_ffmpeg "$f" "$name" -- --max-rms 0.30 --max-abs 1 ;;
  esac
done

dc=$samples/ct_decodercheck
if [ -d "$dc" ]; then
  for f in "$dc"/*.aac "$dc"/*.mp4 "$dc"/*.3gp; do
    [ -f "$f" ] || continue
    name=ct_decodercheck/$(basename "$f")
    if [ ! -f "$dc/aacPlusv2.wav" ]; then line skip "$name" "no aacPlusv2.wav"; continue; fi
    if ! ours "$f" --sbr-output full-rate --ps full; then
      line FAIL "$name" "not decoded: ${msg:0:100}"; continue
    fi
    if judge "$dc/aacPlusv2.wav" --max-rms 0.5 --max-abs 2; then line ok "$name" "$result"; continue; fi
    # How far FFmpeg's decode of the same file is from the reference.
    ffmpeg_figure=""
    if [ $have_ffmpeg = 1 ] && ffmpeg_ref "$f" 2>/dev/null; then
      ffmpeg_out=$("$compare" "$work/ref.wav" "$dc/aacPlusv2.wav" 2>&1)
      ffmpeg_figure=$(awk '/^(rms|max)/ {printf " %s %s", $1, $2}' <<<"$ffmpeg_out")
      # A file whose own encoding differs from the one the reference was
      # decoded from (the package ships such a file next to its corrected
      # copy): FFmpeg is as far from the reference as we are, so the file
      # is judged against FFmpeg's decode instead, and says so.
      if awk '/^rms/ {exit !($2 > 5)}' <<<"$ffmpeg_out"; then
        reference_result=$result
        if judge "$work/ref.wav" --max-rms 0.5 --max-abs 2; then
          line ok "$name" "vs FFmpeg: $result(aacPlusv2.wav is not this encoding's decode: ours $reference_result, FFmpeg$ffmpeg_figure)"
        else
          line FAIL "$name" "vs FFmpeg: $result(aacPlusv2.wav: ours $reference_result, FFmpeg$ffmpeg_figure)"
        fi
        continue
      fi
      ffmpeg_figure=" (FFmpeg:$ffmpeg_figure)"
    fi
    line FAIL "$name" "$result$ffmpeg_figure"
  done
fi

for f in "$samples"/als/*; do
  [ -f "$f" ] || continue
  name=als/$(basename "$f")
  if [ -z "$als_tool" ] || [ ! -x "$als_tool" ]; then
    line skip "$name" "no ALS reference decoder (--als-tool or VX_ALS_TOOL)"; continue
  fi
  rm -f "$work/ref.wav"
  if ! "$als_tool" -x "$f" "$work/ref.wav" >"$work/als.log" 2>&1 || [ ! -s "$work/ref.wav" ]; then
    line skip "$name" "the reference decoder failed: $(tail -1 "$work/als.log")"; continue
  fi
  if ! ours "$f"; then line FAIL "$name" "not decoded: ${msg:0:100}"; continue; fi
  out=$("$compare" --max-abs 0 --same-length "$work/ours.wav" "$work/ref.wav" 2>&1)
  if [ $? -eq 0 ]; then line ok "$name" "identical ($(awk '/^ours/ {print $2}' <<<"$out") samples)"
  else line FAIL "$name" "$(awk '/^(max|ours|reference)/ {printf "%s %s ", $1, $2}' <<<"$out")$(tail -1 <<<"$out" | grep -v '^reference')"; fi
done

# LATM recordings may change their format midway: latm_conformance.sh
# compares them part by part.
if [ -d "$samples/latm" ]; then
  if [ $have_ffmpeg = 0 ]; then
    for f in "$samples"/latm/*; do [ -f "$f" ] && line skip "latm/$(basename "$f")" "no ffmpeg"; done
  else
    while read -r verdict rest; do
      case $verdict in
        PASS) line ok "latm/${rest%%:*}" "${rest#*: }" ;;
        FAIL) line FAIL "latm/${rest%%:*}" "${rest#*: }" ;;
      esac
    done < <("$(dirname "$0")/latm_conformance.sh" "$samples/latm" "$build" 2>&1)
  fi
fi

echo "$pass passed, $fail failed, $skip skipped"
[ $fail -eq 0 ]
