#!/usr/bin/env bash
# Shows the element as GStreamer sees it, then decodes the bundled LC sample
# through it and tells where the WAV is.
set -euo pipefail
build=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
case $build in /*) ;; *) build="$root/$build" ;; esac
export GST_PLUGIN_PATH="$build/plugin"
export GST_REGISTRY="$build/gst-registry.bin"

echo "== The element =="
gst-inspect-1.0 vxaacdec

sample="$root/tests/data/gst/lc_44k_st_128.m4a"
out_dir="$build/demo"
wav="$out_dir/lc_44k_st_128.wav"
mkdir -p "$out_dir"
rm -f "$wav"

echo
echo "== Decoding $sample =="
pipeline=(filesrc location="$sample" ! qtdemux ! vxaacdec name=dec ! audioconvert ! wavenc ! filesink location="$wav")
echo "gst-launch-1.0 ${pipeline[*]}"
if ! log=$(gst-launch-1.0 -v "${pipeline[@]}" 2>&1); then
  echo "$log" | tail -n 20
  echo "decoding failed" >&2
  exit 1
fi

caps_in=$(echo "$log" | grep -m1 '/VxAACDec:dec.GstPad:sink: caps = ' | sed 's/.*caps = //' || true)
caps_out=$(echo "$log" | grep -m1 '/VxAACDec:dec.GstPad:src: caps = ' | sed 's/.*caps = //' || true)
echo
echo "== Stream =="
echo "input:  ${caps_in:-unknown}"
echo "output: ${caps_out:-unknown}"
if [ -s "$wav" ]; then
  bytes=$(stat -c %s "$wav")
  rate=$(echo "$caps_out" | sed -n 's/.*rate=(int)\([0-9]*\).*/\1/p')
  channels=$(echo "$caps_out" | sed -n 's/.*channels=(int)\([0-9]*\).*/\1/p')
  if [ -n "$rate" ] && [ -n "$channels" ]; then
    samples=$(( (bytes - 44) / (2 * channels) ))
    echo "decoded: $samples samples per channel ($(awk "BEGIN{printf \"%.3f\", $samples/$rate}") s)"
  fi
  echo "WAV:    $wav ($bytes bytes)"
else
  echo "no audio was decoded" >&2
  exit 1
fi
