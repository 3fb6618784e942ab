#!/usr/bin/env bash
# Parametric stereo differential test: real HE-AAC v2 streams (mono LC core
# at 16, 22.05 and 24 kHz with the encoder's SBR data) get random valid
# ps_data() in every frame (vxaac-psinject: tools/vxaac-hesynth/ps_inject.cpp
# with tools/vxaac-hesynth/ps_writer.h), then FFmpeg's float decode and ours
# (--sbr-output full-rate --ps full) are compared: RMS <= 0.5 LSB and
# maximum <= 2 LSB of 16-bit.  One line per stream, a summary per feature
# set; exit status 1 when a stream fails.
#
#   scripts/ps_diff.sh [build-dir] [seeds] [sets]
#
# build-dir: a configured and built tree (default build-psd); seeds: how
# many per set and carrier (default 10); sets: comma-separated, each
# "base", "all" or features joined by '+' (bands34 fine mix2 ipdopd
# varclass dt modes disable empty).  Every set starts from the carrier-like
# baseline (10/20 coarse bands, first mixing procedure, fixed class, no
# phase data, frequency coding, one set of modes) and turns its features
# on; "all" turns everything on.  Carriers come from
# $VX_PS_CARRIERS (default: the ps_* streams of the test set in $VX_PS_DATA,
# ../shared/testdata next to the repository) or $VX_PS_SYNTH_RATES
# (below).  Work files go to
# $VX_PS_WORK (default a temporary directory, removed unless a stream
# failed).
set -u
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build-psd}
seeds=${2:-10}
sets=${3:-base,bands34,fine,mix2,ipdopd,varclass,dt,modes,disable,empty,all}
[[ $build = /* ]] || build=$here/$build
shared=${VX_PS_DATA:-$here/../shared/testdata}
carriers=${VX_PS_CARRIERS:-$shared/aac/ps_32k_16.aac $shared/aac/ps_44k_24.aac $shared/aac/ps_48k_32.aac}
work=${VX_PS_WORK:-$(mktemp -d)}
mkdir -p "$work"

command -v ffmpeg >/dev/null || { echo "ps_diff: ffmpeg not found" >&2; exit 2; }
inject=$build/tools/vxaac-psinject
[[ -x $build/tools/vxaac-decode && -x $build/tools/vxaac-compare && -x $inject ]] ||
  { echo "ps_diff: build $build first" >&2; exit 2; }

# Synthetic carriers: with $VX_PS_SYNTH_RATES (core rates, e.g. "8000 16000
# 48000") FFmpeg encodes a mono LC core per rate (tones, a sweep, noise and
# bursts, as scripts/sbr_diff.sh does) and vxaac-hesynth adds random SBR
# data and ps_data() (no unknown SBR extensions: vxaac-psinject needs the PS
# extension alone); these carriers replace the default ones.
if [[ -n ${VX_PS_SYNTH_RATES:-} ]]; then
  [[ -x $build/tools/vxaac-hesynth ]] || { echo "ps_diff: build vxaac-hesynth first" >&2; exit 2; }
  carriers=""
  m='0.25*sin(2*PI*440*t)+0.12*sin(2*PI*(700+900*t)*t)+0.04*(random(0)-0.5)+0.3*exp(-20*mod(t\,0.37))*sin(2*PI*2100*t)'
  for rate in $VX_PS_SYNTH_RATES; do
    kbps=32
    [[ $rate -le 24000 ]] && kbps=24
    [[ $rate -lt 16000 ]] && kbps=16
    core=$work/core_$rate.aac carrier=$work/synth_$rate.aac
    ffmpeg -nostdin -loglevel error -y -f lavfi -i "aevalsrc=${m}:s=${rate}:d=2" -c:a aac \
      -aac_pns 0 -cutoff $((rate / 2)) -b:a ${kbps}k -f adts "$core" &&
      "$build/tools/vxaac-hesynth" --seed 101 --ps --no-extensions "$core" "$carrier" 2>/dev/null ||
      { echo "ps_diff: no carrier at $rate Hz" >&2; exit 2; }
    carriers="$carriers $carrier"
  done
fi

base="--no-34 --coarse --no-mix2 --no-ipdopd --fixed-class --no-dt --no-mode-changes --no-disable --no-empty"
# Left out for FFmpeg, whose phase handling departs from ISO/IEC 14496-3
# there (measured: with the emulated departures our output matches its
# output within 0.28 LSB RMS):
# --no-low-phases: in the sub-subbands of negative centre frequency (20
#   bands: k 0-1; 34 bands: k 9-11, and it takes 12-13 for such too,
#   where the standard's table has parameter band 10 without negation) it
#   negates the imaginary matrix parts at the start of each envelope's
#   interpolation but not at its end, so the rotation sweeps from -phase
#   to +phase within every envelope;
# --no-phase-gaps: when IPD/OPD return after frames without them, the
#   interpolation of the imaginary parts starts from a stale matrix (the
#   one last stored at the previous frame's envelope count), not from the
#   previous frame's unrotated one;
# --no-phase-layout-switches: it keeps the imaginary matrix parts of the
#   parameter bands a layout has no phases for, so after a 34-band period
#   the 20-band layout turns bands 11-16 by the old 34-band phases.
# FAAD2 served as a second opinion only where it handles phases like us:
# in the lowest sub-subbands it matched our output (-47 to -84 dB difference
# below 312 Hz where FFmpeg was at -15 to -30 dB), but above them its IPD/OPD
# output differs from both FFmpeg and us (5 coded phase bands reach only
# the first parameter bands; with 11 it is 15-33 dB off throughout).
ffmpeg_exclusions="--no-low-phases --no-phase-gaps --no-phase-layout-switches"
option_of() {  # the baseline option that keeps feature $1 off
  case $1 in
    bands34) echo --no-34 ;;
    fine) echo --coarse ;;
    mix2) echo --no-mix2 ;;
    ipdopd) echo --no-ipdopd ;;
    varclass) echo --fixed-class ;;
    dt) echo --no-dt ;;
    modes) echo --no-mode-changes ;;
    disable) echo --no-disable ;;
    empty) echo --no-empty ;;
    *) echo "ps_diff: unknown feature $1" >&2; return 1 ;;
  esac
}
flags_of() {  # set $1: base, all, or features joined by '+'
  case $1 in
    base) echo "$base $ffmpeg_exclusions"; return ;;
    all) echo "$ffmpeg_exclusions"; return ;;
  esac
  local flags=" $base " feature option
  IFS=+ read -r -a features <<<"$1"
  for feature in "${features[@]}"; do
    option=$(option_of "$feature") || return 1
    flags=${flags/ $option / }
  done
  echo "$flags $ffmpeg_exclusions"
}

total_fail=0
summary=()
IFS=, read -r -a set_list <<<"$sets"
for set in "${set_list[@]}"; do
  flags=$(flags_of "$set") || exit 2
  pass=0 fail=0 worst_rms=0 worst_max=0
  for carrier in $carriers; do
    name=$(basename "$carrier" .aac)
    for ((seed = 1; seed <= seeds; ++seed)); do
      id=$set.$name.$seed
      # shellcheck disable=SC2086
      if ! "$inject" "$carrier" "$work/$id.aac" --seed $seed $flags 2>"$work/$id.log"; then
        echo "FAIL $id: generator: $(tail -1 "$work/$id.log")"
        fail=$((fail + 1)); continue
      fi
      ffmpeg -v error -y -threads 1 -i "$work/$id.aac" -c:a pcm_f32le "$work/$id.ff.wav" \
        2>"$work/$id.fflog"
      "$build/tools/vxaac-decode" --sbr-output full-rate --ps full -q -o "$work/$id.vx.wav" \
        "$work/$id.aac" 2>"$work/$id.vxlog"
      out=$("$build/tools/vxaac-compare" --max-rms 0.5 --max-abs 2 --same-length \
        "$work/$id.vx.wav" "$work/$id.ff.wav" 2>&1)
      rc=$?
      rms=$(awk '/^rms/ {print $2}' <<<"$out")
      max=$(awk '/^max/ {print $2}' <<<"$out")
      note=""
      [[ -s $work/$id.fflog ]] && note=" ffmpeg: $(head -1 "$work/$id.fflog")"
      if [[ $rc -eq 0 ]]; then
        pass=$((pass + 1)); status=ok
        rm -f "$work/$id.ff.wav" "$work/$id.vx.wav"
      else
        fail=$((fail + 1)); status=FAIL
      fi
      printf '%-4s %-28s rms %9s max %10s%s\n' "$status" "$id" "${rms:-?}" "${max:-?}" "$note"
      worst_rms=$(awk -v a="$worst_rms" -v b="${rms:-1e9}" 'BEGIN {print (b > a ? b : a)}')
      worst_max=$(awk -v a="$worst_max" -v b="${max:-1e9}" 'BEGIN {print (b > a ? b : a)}')
    done
  done
  summary+=("$(printf '%-16s %4d passed %4d failed  worst rms %s max %s' "$set" $pass $fail \
    "$worst_rms" "$worst_max")")
  total_fail=$((total_fail + fail))
done

echo
printf '%s\n' "${summary[@]}"
if [[ $total_fail -gt 0 ]]; then
  echo "work files kept in $work"
  exit 1
fi
[[ -n ${VX_PS_WORK:-} ]] || rm -rf "$work"
exit 0
