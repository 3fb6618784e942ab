// Type finder for raw MPEG-4 ALS streams ("audio/x-als").
#pragma once

#include <gst/gst.h>

// Registers the finder in the plug-in (from the plug-in's init).
gboolean vx_als_typefind_register(GstPlugin* plugin);
