// Type finder for raw MPEG-4 ALS streams (ISO/IEC 14496-14 has no place for
// them; they are the bare ALSSpecificConfig with its "ALS\0" identifier,
// followed by the frames).  Without it decodebin and playbin cannot start a
// raw .als file, and the generic ADTS finder can take one for AAC when its
// bytes happen to hold ADTS-like sync words.
#include "gst/als_typefind.h"

namespace {

constexpr guint kHeaderBytes = 22;  // "ALS\0" and the fixed fields up to aux_data_enabled

guint32 Be32(const guint8* p) {
  return (guint32{p[0]} << 24) | (guint32{p[1]} << 16) | (guint32{p[2]} << 8) | p[3];
}

// The identifier and fixed fields that any usable stream has: a rate,
// 8 to 32-bit samples (floating point always 32-bit) and a defined
// random-access flag.
gboolean PlausibleHeader(const guint8* p, gint* rate, gint* channels) {
  if (p[0] != 'A' || p[1] != 'L' || p[2] != 'S' || p[3] != 0) return FALSE;
  const guint32 samp_freq = Be32(p + 4);
  const guint resolution = (p[14] >> 2) & 7;
  const gboolean floating = (p[14] >> 1) & 1;
  const guint ra_flag = p[18] >> 6;
  if (samp_freq == 0 || samp_freq > G_MAXINT32 || resolution > 3 || ra_flag == 3 ||
      (floating && resolution != 3))
    return FALSE;
  *rate = static_cast<gint>(samp_freq);
  *channels = ((gint{p[12]} << 8) | p[13]) + 1;
  return TRUE;
}

void AlsTypeFind(GstTypeFind* tf, gpointer) {
  const guint8* p = gst_type_find_peek(tf, 0, kHeaderBytes);
  gint rate = 0, channels = 0;
  if (!p || !PlausibleHeader(p, &rate, &channels)) return;
  gst_type_find_suggest_simple(tf, GST_TYPE_FIND_MAXIMUM, "audio/x-als", "rate", G_TYPE_INT, rate,
                               "channels", G_TYPE_INT, channels, nullptr);
}

}  // namespace

gboolean vx_als_typefind_register(GstPlugin* plugin) {
  // Above the ADTS finder (secondary rank), which stops looking once a
  // finder is certain.
  GstCaps* caps = gst_caps_new_empty_simple("audio/x-als");
  const gboolean ok = gst_type_find_register(plugin, "vxaacdec-als", GST_RANK_PRIMARY, AlsTypeFind,
                                             "als", caps, nullptr, nullptr);
  gst_caps_unref(caps);
  return ok;
}
