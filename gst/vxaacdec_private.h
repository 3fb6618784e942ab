// Functions shared by the element's source files.
#pragma once

#include "gst/vxaacdec.h"

GST_DEBUG_CATEGORY_EXTERN(vx_aac_dec_debug);
#define GST_CAT_DEFAULT vx_aac_dec_debug

// The parser for ADTS with a program config element (vxaacparse.cpp).
gboolean vx_aac_parse_register(GstPlugin* plugin);
// The parser that turns LOAS into raw access units (vxloasparse.cpp).
gboolean vx_loas_parse_register(GstPlugin* plugin);

// Sink caps and codec data (vxaacdec_caps.cpp).
gboolean vx_aac_dec_set_format(GstAudioDecoder* base, GstCaps* caps);
GstBuffer* vx_aac_dec_get_codec_data(gint channels, gint rate);

// Decoding, output and events (vxaacdec_decode.cpp).
gboolean vx_aac_dec_start(GstAudioDecoder* base);
gboolean vx_aac_dec_stop(GstAudioDecoder* base);
void vx_aac_dec_flush(GstAudioDecoder* base, gboolean hard);
GstFlowReturn vx_aac_dec_parse(GstAudioDecoder* base, GstAdapter* adapter, gint* offset,
                               gint* length);
GstFlowReturn vx_aac_dec_handle_frame(GstAudioDecoder* base, GstBuffer* buffer);
GstFlowReturn vx_aac_dec_pre_push(GstAudioDecoder* base, GstBuffer** buffer);
gboolean vx_aac_dec_sink_event(GstAudioDecoder* base, GstEvent* event);
gboolean vx_aac_dec_decide_allocation(GstAudioDecoder* base, GstQuery* query);
gboolean vx_aac_dec_post_message(GstElement* element, GstMessage* message);
// The decoder is dropped; the next data creates one from the current caps.
void vx_aac_dec_close_stream(VxAACDec* dec);

// Seeking without a parser and the source pad's queries (vxaacdec_seek.cpp).
struct VxSeekRestart {
  gboolean active;  // the segment ends a seek converted here
  gboolean exact;   // decoding restarts at a known sample: `sample`
  guint64 sample;
  GstSegment segment;  // the TIME segment to push
};
gboolean vx_aac_dec_src_event(GstAudioDecoder* base, GstEvent* event);
gboolean vx_aac_dec_src_query(GstAudioDecoder* base, GstQuery* query);
void vx_aac_dec_seek_init(VxAACDec* dec);
void vx_aac_dec_seek_free(VxAACDec* dec);
// Forgets what was learned about the stream (a new stream starts).
void vx_aac_dec_seek_new_stream(VxAACDec* dec);
// Stops a walk to a seek target (flush).
void vx_aac_dec_seek_flush(VxAACDec* dec);
// A BYTES segment arrived; TRUE when it ends a seek converted here.
gboolean vx_aac_dec_seek_segment(VxAACDec* dec, const GstSegment* bytes, guint32 seqnum,
                                 VxSeekRestart* restart);
// Before decoding in-band input at the adapter's head: learns the stream
// head, and while walking to a seek target says how many bytes to drop
// without decoding (*skip) or that more input is needed (FALSE).  *prefix
// (owned by the seek state) are bytes to put in front of the input when
// decoding resumes (an ALS header for a random-access unit).
gboolean vx_aac_dec_seek_input(VxAACDec* dec, GstAdapter* adapter, gsize* skip,
                               const guint8** prefix, gsize* prefix_size);
// A decoded output of `samples` output samples (`blocks` raw data blocks:
// an ADTS frame may hold up to four) ended at the upstream byte offset
// `end_offset` (GST_BUFFER_OFFSET_NONE when unknown).
void vx_aac_dec_seek_frame(VxAACDec* dec, guint64 samples, guint64 end_offset, guint blocks);
