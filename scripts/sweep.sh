#!/usr/bin/env bash
# Decodes every stream listed in a test-data folder's manifest.tsv with the
# command-line decoder (full-rate SBR, and full parametric stereo for the
# streams that carry it: the output a float reference decoder gives) and
# compares it with the listed reference.
# AAC: RMS <= 0.30 LSB and maximum <= 1 LSB (LC, Main, LTP), RMS <= 0.5 and
# maximum <= 2 for SBR/PS, by level (0.5 dB) for noise substitution; ALS:
# sample for sample.  Inputs without a reference (damaged files) pass when
# the decoder ends with a status (0 clean, 1 errors, 2 unusable) rather than
# a crash.
#
#   scripts/sweep.sh DATA_DIR [build-dir]
set -uo pipefail
data=$(cd "$1" && pwd)
build=$(cd "${2:-build}" && pwd)
decode="$build/tools/vxaac-decode"
compare="$build/tools/vxaac-compare"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
pass=0 fail=0
while IFS=$'\t' read -r file container aot sbr ps _ _ _ mode _ ref _ _ _ notes _; do
  [ "$file" = file ] && continue
  in="$data/$file" out="$work/out.wav"
  rm -f "$out"
  case $aot in
    36*) limits=(--max-abs 0 --same-length) ;;
    *) if [ "$sbr" = yes ] || [ "$ps" = yes ]; then limits=(--max-rms 0.5 --max-abs 2)
       elif [[ "$file" == *pns* ]]; then limits=(--max-level 0.5)
       else limits=(--max-rms 0.30 --max-abs 1); fi ;;
  esac
  # Stereo output from parametric stereo only where the stream carries it:
  # with PS output on, a mono stream decodes to two channels.
  psopt=()
  [ "$ps" = no ] || [ "$ps" = - ] || psopt=(--ps full)
  "$decode" -q --sbr-output full-rate "${psopt[@]}" "$in" -o "$out" >/dev/null 2>&1
  rc=$?
  if [ "$ref" = - ]; then
    if [ $rc -le 2 ]; then
      printf 'ok   %-36s no reference; decoder exit %d\n' "$file" $rc; pass=$((pass + 1))
    else
      printf 'FAIL %-36s no reference; decoder died (exit %d)\n' "$file" $rc; fail=$((fail + 1))
    fi
    continue
  fi
  if [ $rc -gt 1 ] || [ ! -s "$out" ]; then
    printf 'FAIL %-36s decoder exit %d\n' "$file" $rc; fail=$((fail + 1)); continue
  fi
  if result=$("$compare" "${limits[@]}" "$out" "$data/$ref" 2>&1); then
    printf 'ok   %-36s %s\n' "$file" "$(head -1 <<<"$result" | cut -c1-90)"; pass=$((pass + 1))
  else
    printf 'FAIL %-36s %s\n' "$file" "$(head -1 <<<"$result" | cut -c1-90)"; fail=$((fail + 1))
  fi
done < <(sed -e 's/\t\t/\t-\t/g' -e 's/\t\t/\t-\t/g' "$data/manifest.tsv")
echo "$pass passed, $fail failed"
[ $fail -eq 0 ]
