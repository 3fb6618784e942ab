#!/usr/bin/env bash
# Differential test of the ALS decoder against the ALS reference encoder and
# decoder (ISO/IEC 14496-5 reference software).
#
#   scripts/als_diff.sh ENCODER [build-dir]
#
# ENCODER is the reference codec binary (it encodes, and decodes with -x).
# For every case scripts/als_signal.py writes a test signal (WAV, AIFF, raw
# little- or big-endian PCM; 8/16/24/32-bit integer or 32-bit float), the
# encoder codes it with the case's options into a raw .als or an MP4 file,
# the reference decoder decodes it, and then ours, three ways:
#   cli     vxaac-decode --raw        (raw .als: the codec library directly;
#                                      MP4: parsebin ! vxaacdec)
#   orig    vxaac-decode --restore-original (raw .als): the original file,
#                                      byte for byte what the reference
#                                      decoder writes
#   gst     gst-launch-1.0 filesrc ! [qtdemux !] vxaacdec ! filesink, or
#           for every third raw .als filesrc ! decodebin ! filesink (the
#           plug-in's type finder)
# Each must equal the reference decoder's samples exactly (the signal in
# the decoder's output form: little-endian, signed, F32LE for float).
# The reference decoder writes big-endian float files little-endian: there
# `orig` must restore the encoder's input instead, and the samples are
# compared as usual; any other case whose reference decode differs from the
# input is compared through `orig` only.
#
# The cases cover every encoder option (-f float modes, -z1..3, -g0..5,
# -o up to 1023, -a, -s/-t on even channel counts, -m, -r/-u, -n from 1 to
# 65536, -l, -e, -i, -p, -b, -7, -sp1) alone and in combinations, on 1 to 8
# channels and some larger counts, 8 to 192 kHz and some rates outside the
# MPEG-4 table, with lengths of 1 to 3 samples, shorter than one frame, and
# ending one before, on and one after a frame boundary (about 1400 cases).
#
# Environment: JOBS (parallel cases, default 2), CASES (regular expression
# on case names, e.g. 'mix07|len'), SEED (signal seed, default 1), GST=0
# skips the element, KEEP=1 keeps the work directory, FAILDIR (copy the
# streams of failing cases there, with their command lines).
# Needs python3, gst-launch-1.0 and a build (default build/) with
# vxaac-decode and the plug-in.  Exit status 1 when any case fails.
set -uo pipefail

[ $# -ge 1 ] || { sed -n '2,33p' "$0"; exit 2; }
enc=$(command -v "$1") || { echo "no encoder at $1" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${2:-$here/../build}" && pwd) || exit 2
decode="$build/tools/vxaac-decode"
[ -x "$decode" ] || { echo "missing $decode (build first)" >&2; exit 2; }
[ -f "$build/plugin/libgstvxaacdec.so" ] || { echo "missing the plug-in in $build/plugin" >&2; exit 2; }
command -v python3 >/dev/null || { echo "python3 missing" >&2; exit 2; }
jobs=${JOBS:-2}
filter=${CASES:-.}
seed=${SEED:-1}
work=$(mktemp -d)
if [ "${KEEP:-0}" = 1 ]; then echo "work directory: $work"; else trap 'rm -rf "$work"' EXIT; fi
export ALS_ENC=$enc ALS_DECODE=$decode ALS_SIGNAL=$here/als_signal.py ALS_WORK=$work \
  ALS_SEED=$seed ALS_KEEP=${KEEP:-0} ALS_GST=${GST:-1} ALS_FAILDIR=${FAILDIR:-} GST_PLUGIN_PATH=$build/plugin

# ---- the cases --------------------------------------------------------------
# One line per case: name fmt bits channels rate length signal container opts.
# bits 0 = float.  length: a number, or an expression of N (the stream's
# frame length), e.g. N-1, 2N+1.  In opts, @ch stands for the channel
# count, @half for half of it and @perm for a permutation of the channels.

mixes=(
  "" "-b" "-p" "-a" "-i" "-e" "-l" "-b -p" "-a -o32" "-a -o1023" "-b -a -o100"
  "-g1" "-g2" "-g3" "-g4" "-g5" "-b -g5" "-g5 -a" "-g3 -p"
  "-o0" "-o1" "-o2" "-o3" "-o7" "-o15" "-o31" "-o64" "-o160" "-o255" "-o511" "-o1023" "-b -o1023"
  "-r-1" "-r1" "-r10" "-r-1 -u1" "-r-1 -u2" "-r1 -u1" "-r5 -u2" "-r-1 -b -g4" "-r-1 -a -o20"
  "-n1" "-n2" "-n7" "-n16" "-n64" "-n255" "-n256" "-n1000" "-n4096" "-n8192" "-n20480" "-n65536"
  "-s@ch" "-s@half" "-t@ch" "-t@half" "-s@ch -b" "-s@ch -p -g3" "-t@ch -r-1" "-m@perm" "-m@perm -s@ch"
  "-z1" "-z2" "-z3" "-z1 -i" "-z2 -r-1" "-z3 -b" "-z2 -b -p -r-1" "-z1 -p" "-z3 -n512"
  "-sp1" "-sp1 -b" "-7"
  "-b -p -g5 -s@ch -r10" "-b -p -g5 -s@half -r10" "-b -p -g5 -t@ch -r10" "-b -p -g4 -s@ch -r-1"
  "-b -a -o60 -g5 -p -r-1" "-b -a -g3 -p -s@ch -u1 -r1" "-7 -p" "-7 -s@ch" "-b -n65536 -g5 -o1023"
  "-b -g5 -n16 -r-1" "-p -a -o1023 -g5 -b -r-1 -u1" "-l -b -g4 -a" "-e -m@perm -b -g2"
)
float_mixes=("-f0" "-f1" "-f2" "-f3" "-f4" "-f5" "-f6 1.5" "-f7 0.7071" "-f1 -b -g5" "-f3 -p -r-1"
  "-f5 -z2" "-f4 -s@ch -b" "-f2 -a -o200 -r1")
formats=(16 24 8 32 0)
chans=(2 1 2 6 3 4 5 8 7 2)
rates=(48000 44100 8000 96000 22050 192000 16000 11025 32000 88200 176400 64000 7350 12345 100000)
lens=("N+1" "N-1" "N" "2N+1" "3N-1" "1" "N/3+2" "5N+7" "2N" "2" "2047" "30011" "3" "4N+1" "N/2")
signals=(tone mix noise same quiet tone mix)
fsignals=(tone fint fwild)
fmts=(wav wav raw aiff wav rawbe wav)

gen_cases() {
  local i=0 j m bits ch rate len sig fmt cont opts name
  for m in "${mixes[@]}"; do
    for ((j = 0; j < 10; ++j)); do
      bits=${formats[$(((i + j) % 5))]}
      ch=${chans[$(((3 * i + j) % ${#chans[@]}))]}
      rate=${rates[$(((i + 2 * j) % ${#rates[@]}))]}
      len=${lens[$(((i + 5 * j) % ${#lens[@]}))]}
      sig=${signals[$(((i + j) % ${#signals[@]}))]}
      fmt=${fmts[$(((2 * i + j) % ${#fmts[@]}))]}
      cont=als
      (((i + j) % 3 == 0)) && cont=mp4
      [[ $m == *@* && $ch == 1 ]] && ch=2
      [[ $m == *@half* && $((ch % 4)) != 0 ]] && ch=4
      [[ $m == *-u2* ]] && cont=als  # MP4 needs the random-access information
      # The simple profile: 8/16-bit integer WAV, up to 2 channels and 48 kHz.
      if [[ $m == *-sp1* ]]; then
        [[ $bits == 8 || $bits == 16 ]] || bits=16
        ((ch > 2)) && ch=2
        ((rate > 48000)) && rate=48000
        fmt=wav sig=tone
      fi
      [[ $m == *-l* ]] && sig=lsb
      [ "$bits" = 0 ] && sig=${fsignals[$(((i + j) % 3))]}
      [ "$bits" = 0 ] && [ "$fmt" = aiff ] && fmt=wav
      # Slow presets: short streams of few channels.
      if [[ $m == *-7* || $m == *-o1023* || $m == *-n65536* || $m == *-z3* ]]; then
        ((ch > 2)) && ch=2
        [[ $len == *N* && $len != N* && $len != 2N* ]] && len="N+1"
      fi
      name=$(printf 'mix%02d-%02d' "$i" "$j")
      echo "$name $fmt $bits $ch $rate $len $sig $cont $m"
    done
    i=$((i + 1))
  done
  i=0
  for m in "${float_mixes[@]}"; do
    for ((j = 0; j < 12; ++j)); do
      ch=${chans[$(((i + j) % ${#chans[@]}))]}
      rate=${rates[$(((3 * i + j) % ${#rates[@]}))]}
      len=${lens[$(((i + 3 * j) % ${#lens[@]}))]}
      fmt=wav
      (((i + j) % 4 == 1)) && fmt=raw
      cont=als
      (((i + j) % 3 == 0)) && cont=mp4
      [[ $m == *@* && $ch == 1 ]] && ch=2
      echo "$(printf 'flt%02d-%02d' "$i" "$j") $fmt 0 $ch $rate $len ${fsignals[$(((i + j) % 3))]} $cont $m"
    done
    i=$((i + 1))
  done
  # Stream lengths around frame boundaries, every sample format, short
  # streams, mono and stereo, raw and MP4.
  i=0
  for bits in 8 16 24 32 0; do
    for len in 1 2 3 N/2 N-1 N N+1 2N-1 2N 2N+1 2047 30011; do
      for ch in 1 2; do
        for m in "" "-b -g5 -a" "-n1024 -r-1 -p"; do
          sig=tone
          [ "$bits" = 0 ] && sig=fint
          cont=als
          ((i % 3 == 1)) && cont=mp4
          echo "$(printf 'len%03d' "$i") wav $bits $ch ${rates[$((i % 7))]} $len $sig $cont $m"
          i=$((i + 1))
        done
      done
    done
  done
  # Larger channel counts.
  i=0
  for ch in 9 11 16 20 32 64; do
    for m in "" "-s@ch -b" "-t@ch -g3" "-m@perm"; do
      echo "$(printf 'chn%02d' "$i") wav 16 $ch 16000 N+1 tone $([ $((i % 2)) = 0 ] && echo als || echo mp4) $m"
      i=$((i + 1))
    done
  done
}

# ---- one case ---------------------------------------------------------------
run_case() {
  local name=$1 fmt=$2 bits=$3 ch=$4 rate=$5 len=$6 sig=$7 cont=$8
  shift 8
  local opts="$*" d="$ALS_WORK/$name"
  # The encoder writes MP4 through a temporary file in the current folder.
  mkdir -p "$d" && cd "$d" || return
  local perm="" half=$((ch / 2)) k
  for ((k = ch; k >= 1; --k)); do perm="$perm${perm:+,}$k"; done
  opts=${opts//@perm/$perm}
  opts=${opts//@half/$half}
  opts=${opts//@ch/$ch}
  local width=$bits rawopts=()
  [ "$bits" = 0 ] && width=32
  case $fmt in
    raw) rawopts=(-R "-C$ch" "-W$width" "-F$rate") ;;
    rawbe) rawopts=(-R -M "-C$ch" "-W$width" "-F$rate") ;;
  esac
  [ "$bits" = 0 ] && [ ${#rawopts[@]} -gt 0 ] && rawopts+=(-S1)
  # The frame length: from a probe encode with the same options.
  local n=$len
  if [[ $len == *N* ]]; then
    python3 "$ALS_SIGNAL" "$d/probe.$fmt" "$d/probe.pcm" "$fmt" "$bits" "$ch" "$rate" 8 tone 1
    # shellcheck disable=SC2086
    timeout 120 "$ALS_ENC" "${rawopts[@]}" $opts "$d/probe.$fmt" "$d/probe.als" >/dev/null 2>&1
    local fl
    fl=$("$ALS_ENC" -I -x "$d/probe.als" 2>/dev/null | awk -F: '/Frame Length/ { print $2 + 0 }')
    [ -n "$fl" ] || { echo "ERR  $name probe failed ($opts)"; return; }
    local e=${len//N/*$fl}
    e=${e#\*}
    n=$((e))
    ((n < 1)) && n=1
  fi
  local in="$d/in.$fmt" exp="$d/expect.pcm" s="$d/s.$cont"
  python3 "$ALS_SIGNAL" "$in" "$exp" "$fmt" "$bits" "$ch" "$rate" "$n" "$sig" "$ALS_SEED" || {
    echo "ERR  $name signal"
    return
  }
  local cmd="$ALS_ENC ${rawopts[*]} $opts in.$fmt s.$cont"
  # shellcheck disable=SC2086
  if ! timeout 600 "$ALS_ENC" "${rawopts[@]}" $opts "$in" "$s" >"$d/enc.log" 2>&1 || [ ! -s "$s" ]; then
    echo "ERR  $name encoder refused: $cmd"
    return
  fi
  timeout 600 "$ALS_ENC" -x "$s" "$d/ref.out" >/dev/null 2>&1
  local reflossy=0 bad=""
  cmp -s "$d/ref.out" "$in" || reflossy=1
  if [ $cont = als ]; then
    timeout 300 "$ALS_DECODE" -q --restore-original "$s" -o "$d/orig.out" >/dev/null 2>&1
    # Where the reference decoder does not give back its encoder's input
    # (it writes big-endian float files little-endian), the input is the
    # original to restore.
    if [ $reflossy = 1 ]; then
      cmp -s "$d/orig.out" "$in" || bad="$bad orig"
    else
      cmp -s "$d/orig.out" "$d/ref.out" || bad="$bad orig"
    fi
  fi
  # The samples: the reference's where it is lossless.
  if [ $reflossy = 0 ] || [ "$fmt" = rawbe ]; then
    timeout 300 "$ALS_DECODE" -q --raw "$s" -o "$d/cli.pcm" >/dev/null 2>"$d/cli.log"
    cmp -s "$d/cli.pcm" "$exp" || bad="$bad cli"
    if [ "$ALS_GST" = 1 ]; then
      local pipe=(filesrc "location=$s" !)
      local h
      h=$(printf '%s' "$name" | cksum | cut -d' ' -f1)
      # decodebin puts aacparse in front of MP4 (it fails on more than 8
      # channels and on rates outside the AAC table): raw ALS only.
      if ((h % 3 == 0)) && [ $cont = als ]; then
        pipe+=(decodebin !)
      else
        [ $cont = mp4 ] && pipe+=(qtdemux !)
        pipe+=(vxaacdec !)
      fi
      pipe+=(filesink "location=$d/gst.pcm")
      timeout 300 gst-launch-1.0 -q "${pipe[@]}" >"$d/gst.log" 2>&1
      cmp -s "$d/gst.pcm" "$exp" || bad="$bad gst$(((h % 3 == 0)) && [ $cont = als ] && echo '(decodebin)')"
    fi
  fi
  local what="$fmt ${bits/#0/float} ${ch}ch ${rate}Hz n=$n $sig $cont [$opts]"
  if [ -n "$bad" ]; then
    echo "FAIL $name$bad: $what"
    if [ -n "$ALS_FAILDIR" ]; then
      mkdir -p "$ALS_FAILDIR"
      cp "$s" "$ALS_FAILDIR/$name.$cont"
      echo "$cmd" >"$ALS_FAILDIR/$name.cmd"
    fi
  elif [ $reflossy = 1 ]; then
    echo "ok   $name (the reference decode differs from the input; ours restores the input): $what"
  else
    echo "ok   $name: $what"
  fi
  [ -n "$bad" ] && [ "$ALS_KEEP" = 1 ] || rm -rf "$d"
}
export -f run_case

gen_cases | awk -v f="$filter" '$1 ~ f' >"$work/cases"
total=$(wc -l <"$work/cases")
echo "$total cases, $jobs at a time"
xargs -P "$jobs" -d '\n' -n 1 bash -c 'run_case $1' _ <"$work/cases" | tee "$work/results"
pass=$(grep -c '^ok' "$work/results")
fail=$(grep -c '^FAIL' "$work/results")
err=$(grep -c '^ERR' "$work/results")
lossy=$(grep -c 'reference decode differs' "$work/results")
echo "summary: $pass passed ($lossy where the reference decode differs from the input), $fail failed, $err not encoded"
for path in cli orig gst; do
  printf '  %-4s failed in %d\n' $path "$(grep '^FAIL' "$work/results" | grep -c " $path")"
done
[ "$fail" = 0 ]
