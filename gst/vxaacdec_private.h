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
gboolean vx_aac_dec_src_event(GstPad* pad, GstObject* parent, GstEvent* event);
gboolean vx_aac_dec_src_query(GstPad* pad, GstObject* parent, GstQuery* query);
// Drops the decoder, the buffered input and the time base.
void vx_aac_dec_reset(VxAACDec* dec);
// Decodes what the adapter holds, then drops the decoder (the stream's
// configuration changes).
void vx_aac_dec_finish_stream(VxAACDec* dec);
// Everything back to the state after instance init (element stopped).
void vx_aac_dec_stop(VxAACDec* dec);
