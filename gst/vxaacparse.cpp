// vxaacparse: frames ADTS streams whose layout is in a program config
// element (channel configuration 0), which the usual AAC parser does not
// frame, so that decodebin and playbin can play them.  It ranks above that
// parser but accepts only caps without a channel count (what the type
// finder and demuxers give for such streams); any other ADTS stream is left
// to it.  Each frame goes out as a raw access unit, with codec data that
// carries the program config element: a parser plugged after this one
// passes that through unchanged.
#include <gst/base/gstbaseparse.h>
#include <gst/gst.h>

#include "gst/vxaacdec_private.h"
#include "umc/audio_specific_config.h"
#include "umc/bit_reader.h"
#include "umc/inband_framer.h"

namespace {

constexpr int32_t kIdPce = 5;  // id_syn_ele of a program_config_element
constexpr guint kSamplesPerFrame = 1024;

GstStaticPadTemplate parse_sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("audio/mpeg, mpegversion=(int){ 2, 4 }, stream-format=(string)adts"));

GstStaticPadTemplate parse_src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS,
                            GST_STATIC_CAPS("audio/mpeg, mpegversion=(int){ 2, 4 }, "
                                            "stream-format=(string)raw, framed=(boolean)true"));

}  // namespace

struct VxAacParse {
  GstBaseParse parent;
  gboolean configured;  // caps with codec data are set
};

struct VxAacParseClass {
  GstBaseParseClass parent_class;
};

#define GST_TYPE_VX_AAC_PARSE (vx_aac_parse_get_type())
GType vx_aac_parse_get_type(void);
G_DEFINE_TYPE(VxAacParse, vx_aac_parse, GST_TYPE_BASE_PARSE)

namespace {

// A plausible header with a frame length that holds it and its blocks.
bool FrameHeader(const guint8* p, gsize n, UMC::AdtsFrameHeader* h) {
  return UMC::ReadAdtsFrameHeader(p, static_cast<int64_t>(n), *h) == UMC::kAdtsHeaderOk;
}

// Caps with codec data from the frame's header and, for channel
// configuration 0, the program config element that starts its raw data
// block (FALSE when it does not).
gboolean Configure(VxAacParse* parse, const guint8* frame, const UMC::AdtsFrameHeader& h,
                   gsize len) {
  const guint8* block = frame + h.header_bytes;
  const gsize block_bytes = len - static_cast<gsize>(h.header_bytes);
  UMC::ProgramConfig pce{};
  gint channels = h.fixed.channel_configuration;
  if (channels == 0) {
    UMC::BitReader r;
    UMC::BitReaderInit(r, block, static_cast<int32_t>(block_bytes));
    if (static_cast<int32_t>(UMC::BitReaderRead(r, 3)) != kIdPce) return FALSE;
    UMC::ParseProgramConfig(pce, r);
    if (UMC::BitReaderOverrun(r)) return FALSE;
    channels = pce.front_channels + pce.side_channels + pce.back_channels + pce.lfe_channels;
  } else if (channels == 7) {
    channels = 8;
  }
  const gint sfi = h.fixed.sampling_frequency_index;
  guint8 asc[512];
  const int32_t asc_bytes = UMC::WriteAudioSpecificConfig(
      h.fixed.profile + 1, sfi, h.fixed.channel_configuration,
      h.fixed.channel_configuration == 0 ? &pce : nullptr, asc, static_cast<int32_t>(sizeof asc));
  if (asc_bytes <= 0 || channels < 1 || channels > 8) return FALSE;
  const gint rate = UMC::kSamplingFrequencies[sfi];
  GstBuffer* codec_data = gst_buffer_new_memdup(asc, static_cast<gsize>(asc_bytes));
  GstCaps* caps = gst_caps_new_simple(
      "audio/mpeg", "mpegversion", G_TYPE_INT, h.fixed.id ? 2 : 4, "stream-format", G_TYPE_STRING,
      "raw", "framed", G_TYPE_BOOLEAN, TRUE, "rate", G_TYPE_INT, rate, "channels", G_TYPE_INT,
      channels, "codec_data", GST_TYPE_BUFFER, codec_data, nullptr);
  gst_buffer_unref(codec_data);
  GST_DEBUG_OBJECT(parse, "caps %" GST_PTR_FORMAT, caps);
  const gboolean ok = gst_pad_set_caps(GST_BASE_PARSE_SRC_PAD(parse), caps);
  gst_caps_unref(caps);
  if (!ok) return FALSE;
  gst_base_parse_set_frame_rate(GST_BASE_PARSE(parse), static_cast<guint>(rate), kSamplesPerFrame,
                                0, 0);
  parse->configured = TRUE;
  return TRUE;
}

gboolean Start(GstBaseParse* base) {
  VxAacParse* parse = reinterpret_cast<VxAacParse*>(base);
  parse->configured = FALSE;
  gst_base_parse_set_min_frame_size(base, 9);
  return TRUE;
}

GstFlowReturn HandleFrame(GstBaseParse* base, GstBaseParseFrame* frame, gint* skipsize) {
  VxAacParse* parse = reinterpret_cast<VxAacParse*>(base);
  GstMapInfo map;
  if (!gst_buffer_map(frame->buffer, &map, GST_MAP_READ)) return GST_FLOW_ERROR;
  const guint8* p = map.data;
  const gsize n = map.size;
  UMC::AdtsFrameHeader h;
  gsize at = 0;
  while (at + 9 <= n && !FrameHeader(p + at, n - at, &h)) ++at;
  const gboolean draining = GST_BASE_PARSE_DRAINING(base);
  if (at > 0 || at + 9 > n) {
    *skipsize = static_cast<gint>(at > 0 ? at : 1);
  } else {
    const gsize len = static_cast<gsize>(h.variable.aac_frame_length);
    UMC::AdtsFrameHeader next;
    const gboolean confirm = GST_BASE_PARSE_LOST_SYNC(base) && !draining;
    if (len > n || (confirm && len + 9 > n)) {
      gst_base_parse_set_min_frame_size(base, static_cast<guint>(len + 9));  // more data
    } else if (confirm && !(FrameHeader(p + len, n - len, &next) &&
                            UMC::AdtsStreamKey(p + len) == UMC::AdtsStreamKey(p))) {
      *skipsize = 1;  // not followed by a header of its stream: a false sync word
    } else {
      gst_base_parse_set_min_frame_size(base, 9);
      if (!parse->configured && !Configure(parse, p, h, len)) {
        frame->flags |= GST_BASE_PARSE_FRAME_FLAG_DROP;  // no layout yet
      } else if (h.variable.number_of_raw_data_blocks_in_frame > 0) {
        GST_WARNING_OBJECT(parse, "dropping a frame of several raw data blocks");
        frame->flags |= GST_BASE_PARSE_FRAME_FLAG_DROP;
      } else {
        frame->out_buffer =
            gst_buffer_copy_region(frame->buffer, GST_BUFFER_COPY_ALL,
                                   static_cast<gsize>(h.header_bytes), len - h.header_bytes);
      }
      gst_buffer_unmap(frame->buffer, &map);
      return gst_base_parse_finish_frame(base, frame, static_cast<gint>(len));
    }
  }
  gst_buffer_unmap(frame->buffer, &map);
  return GST_FLOW_OK;
}

// Only streams the usual parser cannot frame: caps that give no channel
// count.
gboolean SinkQuery(GstBaseParse* base, GstQuery* query) {
  if (GST_QUERY_TYPE(query) == GST_QUERY_ACCEPT_CAPS) {
    GstCaps* caps = nullptr;
    gst_query_parse_accept_caps(query, &caps);
    GstCaps* templ = gst_pad_get_pad_template_caps(GST_BASE_PARSE_SINK_PAD(base));
    const GstStructure* s = gst_caps_get_size(caps) > 0 ? gst_caps_get_structure(caps, 0) : nullptr;
    gint channels = 0;
    const gboolean accept = s && gst_caps_is_subset(caps, templ) &&
                            (!gst_structure_get_int(s, "channels", &channels) || channels == 0);
    gst_caps_unref(templ);
    gst_query_set_accept_caps_result(query, accept);
    return TRUE;
  }
  return GST_BASE_PARSE_CLASS(vx_aac_parse_parent_class)->sink_query(base, query);
}

}  // namespace

static void vx_aac_parse_class_init(VxAacParseClass* klass) {
  GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
  GstBaseParseClass* parse_class = GST_BASE_PARSE_CLASS(klass);
  parse_class->start = GST_DEBUG_FUNCPTR(Start);
  parse_class->handle_frame = GST_DEBUG_FUNCPTR(HandleFrame);
  parse_class->sink_query = GST_DEBUG_FUNCPTR(SinkQuery);
  gst_element_class_add_static_pad_template(element_class, &parse_sink_template);
  gst_element_class_add_static_pad_template(element_class, &parse_src_template);
  gst_element_class_set_static_metadata(
      element_class, "AAC Parser for PCE layouts", "Codec/Parser/Audio",
      "Frames ADTS streams whose channel layout is in a program config element",
      "Corvane <support@corvane.example>");
}

static void vx_aac_parse_init(VxAacParse* parse) {
  parse->configured = FALSE;
}

gboolean vx_aac_parse_register(GstPlugin* plugin) {
  // Above the usual AAC parser (primary + 1) for the caps it accepts.
  return gst_element_register(plugin, "vxaacparse", GST_RANK_PRIMARY + 2, GST_TYPE_VX_AAC_PARSE);
}
