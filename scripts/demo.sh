#!/usr/bin/env bash
# Shows the element as GStreamer sees it.
set -euo pipefail
build=${1:-build}
export GST_PLUGIN_PATH="$PWD/$build/plugin"
gst-inspect-1.0 vxaacdec
