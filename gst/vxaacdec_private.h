// Functions shared by the element's source files.
#pragma once

#include "gst/vxaacdec.h"

GST_DEBUG_CATEGORY_EXTERN(vx_aac_dec_debug);
#define GST_CAT_DEFAULT vx_aac_dec_debug

// Sink caps and codec data (vxaacdec_caps.cpp).
gboolean vx_aac_dec_sink_setcaps(VxAACDec* dec, GstCaps* caps);
GstBuffer* vx_aac_dec_get_codec_data(gint channels, gint rate);

// Decode loop, events and output (vxaacdec_decode.cpp).
GstFlowReturn vx_aac_dec_chain(GstPad* pad, GstObject* parent, GstBuffer* buf);
gboolean vx_aac_dec_sink_event(GstPad* pad, GstObject* parent, GstEvent* event);
// Drops the decoder, the buffered input and the time base.
void vx_aac_dec_reset(VxAACDec* dec);
// Decodes what the adapter holds, then drops the decoder (the stream's
// configuration changes).
void vx_aac_dec_finish_stream(VxAACDec* dec);
// Everything back to the state after instance init (element stopped).
void vx_aac_dec_stop(VxAACDec* dec);

// Seeking without a parser and the source pad's queries (vxaacdec_seek.cpp).
struct VxSeekRestart {
  gboolean active;  // the segment ends a seek converted here
  gboolean exact;   // decoding restarts at a known sample: `sample`
  guint64 sample;
  GstSegment segment;  // the TIME segment to push
};
gboolean vx_aac_dec_src_event(GstPad* pad, GstObject* parent, GstEvent* event);
gboolean vx_aac_dec_src_query(GstPad* pad, GstObject* parent, GstQuery* query);
void vx_aac_dec_seek_init(VxAACDec* dec);
void vx_aac_dec_seek_free(VxAACDec* dec);
// Forgets what was learned about the stream (a new stream starts).
void vx_aac_dec_seek_new_stream(VxAACDec* dec);
// Stops a walk to a seek target (flush).
void vx_aac_dec_seek_flush(VxAACDec* dec);
// A BYTES segment arrived; TRUE when it ends a seek converted here.
gboolean vx_aac_dec_seek_segment(VxAACDec* dec, const GstSegment* bytes, guint32 seqnum,
                                 VxSeekRestart* restart);
// Input joined the adapter: learns the stream head and skips frames before
// a seek target.  FALSE while nothing can be decoded yet.
gboolean vx_aac_dec_seek_input(VxAACDec* dec);
// A decoded frame of `samples` output samples ended at the input position.
void vx_aac_dec_seek_frame(VxAACDec* dec, guint64 samples, guint blocks);
