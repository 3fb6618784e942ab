// vxaacdec: GStreamer 1.x audio decoder (a GstAudioDecoder) for MPEG-2/4
// AAC, HE-AAC, HE-AAC v2 and MPEG-4 ALS, giving interleaved PCM.
#pragma once

#include <gst/audio/audio.h>
#include <gst/audio/gstaudiodecoder.h>
#include <gst/gst.h>

namespace UMC {
class DecodeLoop;
}  // namespace UMC

G_BEGIN_DECLS

#define GST_TYPE_VX_AAC_DEC (vx_aac_dec_get_type())
#define GST_VX_AAC_DEC(obj) (G_TYPE_CHECK_INSTANCE_CAST((obj), GST_TYPE_VX_AAC_DEC, VxAACDec))
#define GST_IS_VX_AAC_DEC(obj) (G_TYPE_CHECK_INSTANCE_TYPE((obj), GST_TYPE_VX_AAC_DEC))

// Decoder settings taken when a decoder is created (object lock held while
// they are read or written).  Element properties map onto these fields.
struct VxAACDecSettings {
  gint sbr_mode;       // 18 high quality, 28 low power
  gint sbr_rate_mode;  // 1 downsampled SBR output, 0 full rate
  gint ps_mode;        // 0 off, 1 parse, 111 baseline, 411 full
};

// Output format announced on the source pad.
struct VxAACDecOutput {
  gboolean caps_set;
  GstAudioFormat format;
  gint rate;
  gint channels;
  gint bytes_per_frame;
  gboolean reorder;  // decoder order differs from GStreamer's canonical order
  GstAudioChannelPosition from[8];
  GstAudioChannelPosition to[8];
  int map[8];  // decoder channel of each output channel (when reordering)
};

struct VxAACDec {
  GstAudioDecoder parent;

  VxAACDecSettings settings;

  // From the sink caps.
  GstBuffer* codec_data;  // AudioSpecificConfig from the caps, or rebuilt
  gint stream_type;       // 1 adts, 2 adif, 3 loas, 0 otherwise
  gint rate;              // from the caps, then the decoder's output rate
  gint object_type;       // from codec_data (diagnostics)
  gint sampling_frequency_index;
  gint channel_configuration;

  // Decoding.
  UMC::DecodeLoop* loop;     // the decoder and its input/output areas
  gboolean loop_open;        // opened for the current caps
  gboolean float_output;     // AAC output as F32LE (downstream asked for it)
  gsize window;              // in-band bytes handed to the decoder at a time
  GList* pending;            // output buffers of the frame parse() decoded
  gboolean pending_frame;    // parse() found a frame (possibly without output)
  gboolean raw_unit;         // parse() took a raw access unit: handle_frame decodes it
  guint consecutive_errors;  // damaged frames in a row (max-errors)
  guint64 stream_bytes;      // input bytes of the stream (since start or STREAM_START)
  gsize load_counted;        // bytes of the loaded window already in stream_bytes
  guint64 stream_frames;     // frames decoded from it
  guint64 stream_samples;    // output samples of them
  gint stream_profile;       // the decoder's profile at the last frame (see below)
  gboolean error_posted;     // an ERROR message went out for this stream
  gboolean tags_sent;        // audio-codec posted for this stream
  guint bitrate_sent;        // last bitrate tag (0 none)
  guint64 bitrate_check_at;  // stream_samples from which the average is next looked at
  VxAACDecOutput out;
  GstBufferPool* pool;  // output buffers of `pool_size` bytes
  gsize pool_size;
  GstBuffer* target;       // a pool buffer offered as the decoder's output area
  GstMapInfo target_map;   // its mapping (for writing), while `target` is set
  gsize frame_bytes;       // bytes of the last decoded frame (the pool's size)
  GstClockTime next_time;  // end of the last pushed buffer (NONE after a flush or segment)
  gboolean crc_reported;   // the ALS CRC mismatch went out

  // Seeking without a parser (vxaacdec_seek.cpp).
  guint64 sample_count;      // stream sample of the next decoded frame (known positions)
  GstClockTime base_time;    // time of sample 0 (restarts)
  gboolean stamp_next;       // the next pushed frame carries its own time stamp
  GstClockTime drop_before;  // frames that end by this time are not pushed
  guint64 frame_end_offset;  // upstream byte offset after the frame just decoded (NONE unknown)
  struct VxAACDecSeek* seek;
};

struct VxAACDecClass {
  GstAudioDecoderClass parent_class;
};

GType vx_aac_dec_get_type(void);

// What the stream decoded last carries, as the codec interface's profile:
// the object type, plus 0x100 when it carries SBR and 0x200 when it carries
// parametric stereo data (whatever the output makes of them); 0 before the
// first frame.  For applications that link the element in (vxaac-decode).
gint vx_aac_dec_stream_profile(GstElement* element);

G_END_DECLS
