// Sink caps: how the stream is framed, and the codec data.
#include <cstring>

#include "gst/vxaacdec_private.h"
#include "umc/audio_specific_config.h"
#include "umc/bit_reader.h"

namespace {

// MPEG-4 sampling frequency table (index 0..12).
constexpr gint kSampleRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                   22050, 16000, 12000, 11025, 8000,  7350};

// Channel configuration for a channel count (0: needs a program config
// element, which cannot be rebuilt from a count).
gint ChannelConfiguration(gint channels) {
  if (channels >= 1 && channels <= 6) return channels;
  return channels == 8 ? 7 : 0;
}

// Audio object type of an AudioSpecificConfig (with the escape for >= 32).
gint ObjectType(const guint8* p, gsize size) {
  if (size < 1) return 0;
  const gint aot = p[0] >> 3;
  if (aot != 31 || size < 2) return aot;
  return 32 + (((p[0] & 7) << 3) | (p[1] >> 5));
}

// True when both buffers hold the same bytes (or both are absent).
gboolean SameBytes(GstBuffer* a, GstBuffer* b) {
  if (!a || !b) return a == b;
  const gsize n = gst_buffer_get_size(a);
  if (n != gst_buffer_get_size(b)) return FALSE;
  GstMapInfo ma, mb;
  if (!gst_buffer_map(a, &ma, GST_MAP_READ)) return FALSE;
  if (!gst_buffer_map(b, &mb, GST_MAP_READ)) {
    gst_buffer_unmap(a, &ma);
    return FALSE;
  }
  const gboolean same = std::memcmp(ma.data, mb.data, n) == 0;
  gst_buffer_unmap(b, &mb);
  gst_buffer_unmap(a, &ma);
  return same;
}

void ReadDiagnostics(VxAACDec* dec) {
  GstMapInfo map;
  if (!gst_buffer_map(dec->codec_data, &map, GST_MAP_READ)) return;
  if (map.size >= 2) {
    const guint v = (guint{map.data[0]} << 8) | map.data[1];
    dec->object_type = ObjectType(map.data, map.size);
    dec->sampling_frequency_index = (v >> 7) & 15;
    dec->channel_configuration = (v >> 3) & 15;
    GST_DEBUG_OBJECT(dec, "object_type %d", dec->object_type);
    GST_DEBUG_OBJECT(dec, "sampling_frequency_index %d", dec->sampling_frequency_index);
    GST_DEBUG_OBJECT(dec, "channel_configuration %d", dec->channel_configuration);
  }
  gst_buffer_unmap(dec->codec_data, &map);
}

// Sampling rate the codec data itself gives: the AudioSpecificConfig's
// index or explicit rate, or for ALS the rate of its ALSSpecificConfig.  0
// when the bytes do not parse.
gint RateFromCodecData(GstBuffer* codec_data) {
  GstMapInfo map;
  if (!gst_buffer_map(codec_data, &map, GST_MAP_READ)) return 0;
  gint rate = 0;
  if (map.size <= G_MAXINT32) {
    UMC::BitReader r;
    UMC::BitReaderInit(r, map.data, static_cast<int32_t>(map.size));
    UMC::AudioSpecificConfig asc;
    if (UMC::ParseAudioSpecificConfig(asc, r) == 0) {
      if (asc.object_type == 36) {
        const guint32 als_rate = UMC::BitReaderRead(r, 32);  // samp_freq follows "ALS\0"
        if (!UMC::BitReaderOverrun(r) && als_rate <= G_MAXINT32) rate = static_cast<gint>(als_rate);
      } else if (asc.sampling_frequency_index < 13) {
        rate = UMC::kSamplingFrequencies[asc.sampling_frequency_index];
      } else {
        rate = asc.sampling_frequency;
      }
    }
  }
  gst_buffer_unmap(codec_data, &map);
  return rate;
}

const gchar* StreamFormat(const GstStructure* s) {
  const gchar* format = gst_structure_get_string(s, "stream-format");
  return format ? format : gst_structure_get_string(s, "stream-type");
}

// The stream carries no headers of its own: "parsed"/"framed" true, or
// stream-format "raw".  Absent fields leave the decoder to find headers in
// the bytes.
gboolean IsRawWithoutConfig(const GstStructure* s, const gchar* format) {
  gboolean flag = FALSE;
  if (gst_structure_get_boolean(s, "parsed", &flag) && flag) return TRUE;
  if (gst_structure_get_boolean(s, "framed", &flag) && flag) return TRUE;
  return format && std::strcmp(format, "raw") == 0;
}

}  // namespace

GstBuffer* vx_aac_dec_get_codec_data(gint channels, gint rate) {
  gint index = -1;
  for (gint i = 0; i < 13; ++i)
    if (kSampleRates[i] == rate) index = i;
  const guint config = static_cast<guint>(ChannelConfiguration(channels));
  if (index >= 0) {
    const guint v = (2u << 11) | (static_cast<guint>(index) << 7) | (config << 3);
    guint8 bytes[2] = {static_cast<guint8>(v >> 8), static_cast<guint8>(v)};
    return gst_buffer_new_memdup(bytes, 2);
  }
  // A rate outside the table is written explicitly (index 15 and a 24-bit
  // frequency): object type 5 bits, 4 + 24 bits rate, 4 bits channels, 3
  // zero bits.
  GST_WARNING("eeek");
  const guint64 bits = (guint64{2} << 35) | (guint64{15} << 31) |
                       (guint64(static_cast<guint>(rate) & 0xFFFFFF) << 7) | (guint64{config} << 3);
  guint8 bytes[5];
  for (int i = 0; i < 5; ++i) bytes[i] = static_cast<guint8>(bits >> (8 * (4 - i)));
  return gst_buffer_new_memdup(bytes, 5);
}

// Decides from the caps how the stream is framed and which codec data the
// next decoder gets.  A configuration that differs from the one in use
// ends the current decoder (what the adapter holds goes to the next one).
gboolean vx_aac_dec_set_format(GstAudioDecoder* base, GstCaps* caps) {
  VxAACDec* dec = GST_VX_AAC_DEC(base);
  const GstStructure* s = gst_caps_get_structure(caps, 0);
  if (!s) return FALSE;
  const gchar* format = StreamFormat(s);
  GstBuffer* new_codec_data = nullptr;
  gint new_stream_type = 0;
  gboolean ok = TRUE;

  if (gst_structure_has_name(s, "audio/x-als")) {
    // A raw ALS stream: the decoder reads its header in band.
  } else if (format && std::strcmp(format, "adts") == 0) {
    new_stream_type = 1;
  } else if (format && std::strcmp(format, "adif") == 0) {
    new_stream_type = 2;
  } else if (format && std::strcmp(format, "loas") == 0) {
    new_stream_type = 3;  // found in the bytes, like unparsed input
  } else if (const GValue* value = gst_structure_get_value(s, "codec_data")) {
    if (!G_VALUE_HOLDS(value, GST_TYPE_BUFFER) || !gst_value_get_buffer(value)) return FALSE;
    // Demuxers leave out what the container cannot hold (an MP4 sample
    // entry has no room for rates above 65535 Hz): the codec data says it.
    GstBuffer* buffer = gst_value_get_buffer(value);
    if (!gst_structure_get_int(s, "rate", &dec->rate)) {
      dec->rate = RateFromCodecData(buffer);
      if (dec->rate <= 0) return FALSE;
      GST_DEBUG_OBJECT(dec, "rate %d from the codec data", dec->rate);
    }
    new_codec_data = gst_buffer_ref(buffer);
  } else {
    GST_WARNING_OBJECT(dec, "Reconstructing codec data from channels/rate.  Might be bogus.");
    if (IsRawWithoutConfig(s, format)) {
      gint rate = 0, channels = 0;
      ok = gst_structure_get_int(s, "rate", &rate) &&
           gst_structure_get_int(s, "channels", &channels) && rate > 0 &&
           ChannelConfiguration(channels) > 0;
      if (!ok) return FALSE;
      dec->rate = rate;
      new_codec_data = vx_aac_dec_get_codec_data(channels, rate);
    }
  }

  // In-band framing never uses codec data: a configuration held from
  // earlier caps would make the decoder read ADTS or ADIF bytes as raw
  // access units.
  const gboolean changed =
      !SameBytes(new_codec_data, dec->codec_data) || new_stream_type != dec->stream_type;
  if (changed) {
    vx_aac_dec_close_stream(dec);
    dec->error_posted = FALSE;  // a new configuration may decode
  }
  if (dec->codec_data) gst_buffer_unref(dec->codec_data);
  dec->codec_data = new_codec_data;
  dec->stream_type = new_stream_type;
  if (dec->codec_data) ReadDiagnostics(dec);
  return ok;
}
