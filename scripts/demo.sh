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
  # Duration from the WAV's fmt and data chunks.
  python3 - "$wav" <<'PY'
import struct, sys
d = open(sys.argv[1], "rb").read()
pos, fmt = 12, None
while pos + 8 <= len(d):
    cid, n = d[pos:pos + 4], struct.unpack("<I", d[pos + 4:pos + 8])[0]
    if cid == b"fmt ":
        fmt = struct.unpack("<HHIIHH", d[pos + 8:pos + 24])
    elif cid == b"data" and fmt:
        frames = min(n, len(d) - pos - 8) // fmt[4]
        print("decoded: %d samples per channel, %d channels at %d Hz (%.3f s)"
              % (frames, fmt[1], fmt[2], frames / fmt[2]))
        break
    pos += 8 + n + (n & 1)
PY
  echo "WAV:    $wav ($bytes bytes)"
else
  echo "no audio was decoded" >&2
  exit 1
fi
