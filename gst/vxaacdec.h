// vxaacdec: GStreamer 1.x element decoding MPEG-2/4 AAC, HE-AAC, HE-AAC v2
// and MPEG-4 ALS to interleaved PCM.
#pragma once

#include <gst/audio/audio.h>
#include <gst/base/gstadapter.h>
#include <gst/gst.h>

namespace UMC {
class AudioCodec;
class MediaData;
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
  guint64 channel_mask;
  gboolean reorder;  // decoder order differs from GStreamer's canonical order
  GstAudioChannelPosition from[8];
  GstAudioChannelPosition to[8];
};

struct VxAACDec {
  GstElement element;

  GstPad* sinkpad;
  GstPad* srcpad;
  GstAdapter* adapter;       // input bytes not yet consumed by the decoder
  UMC::AudioCodec* decoder;  // created on the first decode pass
  GstBuffer* codec_data;     // AudioSpecificConfig from the caps, or rebuilt
  gint rate;                 // from the caps, then the decoder's output rate
  gint channels;             // output channels once caps are set
  gint object_type;          // from codec_data (diagnostics)
  gint sampling_frequency_index;
  gint channel_configuration;
  guint64 sample_count;     // samples per channel pushed since base_time
  gboolean has_codec_data;  // current decoder was given codec data
  GstSegment* segment;
  GstClockTime base_time;  // time stamp of sample 0 of the current run
  gint stream_type;        // 1 adts, 2 adif, 3 loas, 0 otherwise (from the caps)

  // Input and output descriptors of the decode pass, reused across passes.
  UMC::MediaData* input;
  UMC::MediaData* output;
  guint input_capacity;     // bytes of `input`'s buffer
  guint output_size;        // bytes allocated per output buffer
  guint min_input;          // in-band ALS: wait for this many bytes
  guint open_input;         // bytes to hold before (re)creating the decoder
  guint frames_since_open;  // frames the current decoder produced
  GstClockTime next_time;   // end of the last pushed buffer
  gboolean discont;         // mark the next output buffer DISCONT
  gboolean framing_known;   // caps said how the stream is framed
  guint32 adts_fixed;       // fixed ADTS header bits of the current stream (0 unknown)
  guint64 stream_bytes;     // input bytes of the stream (since start or STREAM_START)
  guint64 stream_frames;    // frames decoded from it
  gboolean error_posted;    // an ERROR message went out for this stream
  GList* pending_events;    // serialized events held until caps are set
  VxAACDecOutput out;
  VxAACDecSettings settings;

  // Seeking without a parser (vxaacdec_seek.cpp).
  GstClockTime drop_before;  // frames that end by this time are not pushed
  guint64 pass_offset;       // upstream byte offset of the pass input (NONE unknown)
  gsize pass_window;         // bytes of the pass input
  struct VxAACDecSeek* seek;
};

struct VxAACDecClass {
  GstElementClass parent_class;
};

GType vx_aac_dec_get_type(void);

G_END_DECLS
