// vxloasparse: frames LOAS streams (LATM in AudioSyncStream frames, ISO/IEC
// 14496-3, 1.7) for decodebin and playbin.  The usual AAC parser, which they
// would otherwise put in front of the decoder, drops every frame until it
// has seen a configuration twice; this parser ranks above it and takes
// every AudioMuxElement apart from the stream's first StreamMuxConfig on
// (umc/latm): each payload (numSubFrames + 1 per element) goes out as a raw
// access unit, with the AudioSpecificConfig as codec data.  A new
// configuration (stereo to 5.1) sets new caps; one the decoder cannot start
// on is treated as damaged, like a damaged element: its frame is dropped
// and the stream's configuration kept.  The framing is found in the bytes,
// as the decoder finds it (umc/inband_framer): ADTS that a muxer labelled
// LOAS (stream type 0x11 written from an ADTS source) goes on as ADTS, to
// the parsers and decoder of ADTS.
#include <gst/base/gstbaseparse.h>
#include <gst/gst.h>

#include <cstring>
#include <new>

#include "gst/vxaacdec_private.h"
#include "umc/aac_decoder.h"
#include "umc/audio_specific_config.h"
#include "umc/inband_framer.h"
#include "umc/latm.h"

namespace {

GstStaticPadTemplate loas_sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("audio/mpeg, mpegversion=(int)4, stream-format=(string)loas"));

GstStaticPadTemplate loas_src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("audio/mpeg, mpegversion=(int)4, stream-format=(string)raw, "
                    "framed=(boolean)true; "
                    "audio/mpeg, mpegversion=(int){ 2, 4 }, stream-format=(string)adts"));

}  // namespace

struct VxLoasParse {
  GstBaseParse parent;
  UMC::InbandFramer* framer;  // between start and stop
  guint32 adts_key;           // AdtsStreamKey of the ADTS caps set, 0 before
  // The stream's configuration (config[current], valid with have_config)
  // and room for the one an element carries.
  UMC::LatmMuxConfig config[2];
  gint current;
  gboolean have_config;
};

struct VxLoasParseClass {
  GstBaseParseClass parent_class;
};

#define GST_TYPE_VX_LOAS_PARSE (vx_loas_parse_get_type())
GType vx_loas_parse_get_type(void);
G_DEFINE_TYPE(VxLoasParse, vx_loas_parse, GST_TYPE_BASE_PARSE)

namespace {

VxLoasParse* Self(GstBaseParse* base) {
  return reinterpret_cast<VxLoasParse*>(base);
}

gint RateOfIndex(gint index, gint explicit_rate) {
  return index < 13 ? UMC::kSamplingFrequencies[index] : explicit_rate;
}

// Channels of a configuration (0 when it does not say).
gint Channels(const UMC::AudioSpecificConfig& a) {
  const gint c = a.channel_configuration;
  if (c >= 1 && c <= 6) return c;
  if (c == 7) return 8;
  if (c != 0) return 0;
  const UMC::ProgramConfig& p = a.ga.pce;
  return p.front_channels + p.side_channels + p.back_channels + p.lfe_channels;
}

// The core rate, which times the frames, and the rate the decoder gives:
// the SBR rate when SBR is signalled explicitly (and known), the core rate
// otherwise (as for codec data from any container).  False when the core
// rate is unknown.
bool Rates(const UMC::AudioSpecificConfig& a, gint* core, gint* rate) {
  *core = RateOfIndex(a.sampling_frequency_index, a.sampling_frequency);
  *rate = a.extension_object_type == 5
              ? RateOfIndex(a.extension_sampling_frequency_index, a.extension_sampling_frequency)
              : *core;
  if (*rate <= 0) *rate = *core;
  return *core > 0;
}

// Caps for a configuration whose rates are known: its AudioSpecificConfig
// as codec data, the decoder's rate and the frame duration of the core.
gboolean SetCaps(VxLoasParse* parse, const UMC::LatmMuxConfig& c) {
  const UMC::AudioSpecificConfig& a = c.asc;
  gint core_rate = 0, rate = 0;
  Rates(a, &core_rate, &rate);
  // The AudioSpecificConfig without the fill bits after it.
  guint8 asc[UMC::kLatmMaxConfigBytes];
  const gint bits = c.asc_config_bits;
  const gsize bytes = static_cast<gsize>(bits + 7) / 8;
  std::memcpy(asc, c.asc_bytes, bytes);
  if (bits & 7) asc[bytes - 1] &= static_cast<guint8>(0xFF00u >> (bits & 7));
  GstBuffer* codec_data = gst_buffer_new_memdup(asc, bytes);
  GstCaps* caps =
      gst_caps_new_simple("audio/mpeg", "mpegversion", G_TYPE_INT, 4, "stream-format",
                          G_TYPE_STRING, "raw", "framed", G_TYPE_BOOLEAN, TRUE, "rate", G_TYPE_INT,
                          rate, "codec_data", GST_TYPE_BUFFER, codec_data, nullptr);
  gst_buffer_unref(codec_data);
  if (const gint channels = Channels(a); channels > 0)
    gst_caps_set_simple(caps, "channels", G_TYPE_INT, channels, nullptr);
  GST_DEBUG_OBJECT(parse, "caps %" GST_PTR_FORMAT, caps);
  const gboolean ok = gst_pad_set_caps(GST_BASE_PARSE_SRC_PAD(parse), caps);
  gst_caps_unref(caps);
  if (!ok) return FALSE;
  const guint frame = a.ga.frame_length_flag ? 960 : 1024;
  gst_base_parse_set_frame_rate(GST_BASE_PARSE(parse), static_cast<guint>(core_rate), frame, 0, 0);
  return TRUE;
}

bool SameConfig(const UMC::LatmMuxConfig& a, const UMC::LatmMuxConfig& b) {
  return a.asc_bits == b.asc_bits &&
         std::memcmp(a.asc_bytes, b.asc_bytes, static_cast<size_t>(a.asc_bits + 7) / 8) == 0;
}

enum class Taken { kUsed, kUnusable, kUnsupportedType, kNotNegotiated };

// A StreamMuxConfig arrived in config[1 - current]: another
// AudioSpecificConfig than the stream's sets new caps.
Taken TakeConfig(VxLoasParse* parse) {
  const UMC::LatmMuxConfig& incoming = parse->config[1 - parse->current];
  const bool same = parse->have_config && SameConfig(incoming, parse->config[parse->current]);
  if (!same) {
    gint core = 0, rate = 0;
    if (!UMC::AacDecodesConfig(incoming.asc) || !Rates(incoming.asc, &core, &rate)) {
      // Before the first configuration an object type the decoder does
      // not take ends the stream; a rate it cannot use waits for the next
      // configuration.
      if (!parse->have_config && !UMC::AacDecodesObjectType(incoming.asc.object_type))
        return Taken::kUnsupportedType;
      return Taken::kUnusable;
    }
    if (!SetCaps(parse, incoming)) return Taken::kNotNegotiated;
  }
  parse->current = 1 - parse->current;
  parse->have_config = TRUE;
  return Taken::kUsed;
}

// Pushes each payload as a frame of its own; the last consumes the LOAS
// frame (`frame_bytes`).  finish_frame hands the frame's buffer downstream,
// so the next payload gets a fresh one to carry it.
GstFlowReturn PushPayloads(GstBaseParse* base, GstBaseParseFrame* frame, GstBuffer* payload,
                           const UMC::LatmPayloads& out, gint frame_bytes) {
  GstFlowReturn ret = GST_FLOW_OK;
  for (int32_t i = 0; i + 1 < out.count && ret == GST_FLOW_OK; ++i) {
    if (!frame->buffer) frame->buffer = gst_buffer_new();
    frame->out_buffer =
        gst_buffer_copy_region(payload, GST_BUFFER_COPY_MEMORY, static_cast<gsize>(out.offset[i]),
                               static_cast<gsize>(out.length[i]));
    ret = gst_base_parse_finish_frame(base, frame, 0);
    // A frame taken while the base class scans for a seek stays here.
    gst_clear_buffer(&frame->out_buffer);
  }
  if (!frame->buffer) frame->buffer = gst_buffer_new();
  if (ret != GST_FLOW_OK) {
    // The frame is consumed all the same: its payloads are not sent twice.
    frame->flags |= GST_BASE_PARSE_FRAME_FLAG_DROP;
    gst_base_parse_finish_frame(base, frame, frame_bytes);
    return ret;
  }
  const int32_t last = out.count - 1;
  frame->out_buffer =
      gst_buffer_copy_region(payload, GST_BUFFER_COPY_MEMORY, static_cast<gsize>(out.offset[last]),
                             static_cast<gsize>(out.length[last]));
  return gst_base_parse_finish_frame(base, frame, frame_bytes);
}

GstFlowReturn Drop(GstBaseParse* base, GstBaseParseFrame* frame, gint frame_bytes) {
  frame->flags |= GST_BASE_PARSE_FRAME_FLAG_DROP;
  return gst_base_parse_finish_frame(base, frame, frame_bytes);
}

// What becomes of an element.
enum class Verdict { kPush, kWait, kDamaged, kUnsupportedType, kRefusedLayout, kNotNegotiated };

// The verdict on an element that ParseAudioMuxElement gave `result` (with
// a new StreamMuxConfig when `fresh`).  Before the first usable
// configuration nothing can be decoded: a multiplex or object type that
// cannot be taken apart ends the stream, anything else waits for the next
// configuration.  Later, an element that cannot be used is damaged.
Verdict Judge(VxLoasParse* parse, int32_t result, bool fresh) {
  if (result == UMC::kLatmOk && fresh) {
    switch (TakeConfig(parse)) {
      case Taken::kUsed:
        return Verdict::kPush;
      case Taken::kUnsupportedType:
        return Verdict::kUnsupportedType;
      case Taken::kNotNegotiated:
        return Verdict::kNotNegotiated;
      case Taken::kUnusable:
        return parse->have_config ? Verdict::kDamaged : Verdict::kWait;
    }
  }
  if (result == UMC::kLatmOk) return Verdict::kPush;
  if (parse->have_config) return Verdict::kDamaged;
  if (result == UMC::kLatmUnsupportedLayout) return Verdict::kRefusedLayout;
  if (result == UMC::kLatmUnsupportedConfig) return Verdict::kUnsupportedType;
  return Verdict::kWait;
}

// The LOAS frame at p (`frame_bytes`, header included): its payloads go out
// once the stream has a configuration.  The element is parsed (its payloads
// copied) before the input is unmapped and the frame finished.
GstFlowReturn HandleElement(VxLoasParse* parse, GstBaseParseFrame* frame, const guint8* p,
                            gint frame_bytes, GstMapInfo* map) {
  GstBaseParse* base = GST_BASE_PARSE(parse);
  const gint size = frame_bytes - UMC::kLoasHeaderBytes;
  GstBuffer* payload = gst_buffer_new_allocate(nullptr, static_cast<gsize>(size), nullptr);
  GstMapInfo pm;
  if (!payload || !gst_buffer_map(payload, &pm, GST_MAP_WRITE)) {
    if (payload) gst_buffer_unref(payload);
    gst_buffer_unmap(frame->buffer, map);
    return GST_FLOW_ERROR;
  }
  UMC::LatmPayloads out;
  bool fresh = false;
  const UMC::LatmMuxConfig* current = parse->have_config ? &parse->config[parse->current] : nullptr;
  const int32_t result =
      UMC::ParseAudioMuxElement(p + UMC::kLoasHeaderBytes, size, current,
                                parse->config[1 - parse->current], &fresh, out, pm.data, size);
  gst_buffer_unmap(payload, &pm);
  gst_buffer_unmap(frame->buffer, map);

  const Verdict verdict = Judge(parse, result, fresh);
  if (verdict == Verdict::kPush && out.count > 0) {
    const GstFlowReturn ret = PushPayloads(base, frame, payload, out, frame_bytes);
    gst_buffer_unref(payload);
    return ret;
  }
  gst_buffer_unref(payload);
  // The configuration that was refused (TakeConfig did not take it).
  const UMC::LatmMuxConfig& refused = parse->config[1 - parse->current];
  GstFlowReturn ret = GST_FLOW_OK;
  switch (verdict) {
    case Verdict::kUnsupportedType:
      GST_ELEMENT_ERROR(parse, STREAM, DECODE,
                        ("Unsupported audio object type %d", refused.asc.object_type),
                        ("LOAS stream of audio object type %d", refused.asc.object_type));
      ret = GST_FLOW_ERROR;
      break;
    case Verdict::kRefusedLayout:
      GST_ELEMENT_ERROR(parse, STREAM, DECODE,
                        ("Unsupported LATM multiplex: %s", UMC::LatmRefusalText(refused.refusal)),
                        ("LOAS stream refused before its first frame"));
      ret = GST_FLOW_ERROR;
      break;
    case Verdict::kNotNegotiated:
      ret = GST_FLOW_NOT_NEGOTIATED;
      break;
    case Verdict::kDamaged:
      GST_WARNING_OBJECT(parse, "damaged LOAS frame dropped (%d)", result);
      break;
    default:
      GST_LOG_OBJECT(parse, "frame without a usable configuration dropped (%d)", result);
      break;
  }
  const GstFlowReturn dropped = Drop(base, frame, frame_bytes);
  return ret != GST_FLOW_OK ? ret : dropped;
}

// An ADTS frame goes on unchanged, under caps that say what its header
// does (the channel count only for a channel configuration, so that a
// layout in a program config element goes to the parser for those).
GstFlowReturn HandleAdts(VxLoasParse* parse, GstBaseParseFrame* frame,
                         const UMC::InbandFramer::Span& s, const guint8* p, GstMapInfo* map) {
  const UMC::AdtsFixedHeader& h = s.adts.fixed;
  const guint32 key = UMC::AdtsStreamKey(p);
  gst_buffer_unmap(frame->buffer, map);
  const gint rate = UMC::kSamplingFrequencies[h.sampling_frequency_index];
  if (key != parse->adts_key) {
    GstCaps* caps =
        gst_caps_new_simple("audio/mpeg", "mpegversion", G_TYPE_INT, h.id ? 2 : 4, "stream-format",
                            G_TYPE_STRING, "adts", "rate", G_TYPE_INT, rate, nullptr);
    const gint config = h.channel_configuration;
    if (config > 0)
      gst_caps_set_simple(caps, "channels", G_TYPE_INT, config == 7 ? 8 : config, nullptr);
    GST_DEBUG_OBJECT(parse, "ADTS in a stream labelled LOAS: %" GST_PTR_FORMAT, caps);
    const gboolean ok = gst_pad_set_caps(GST_BASE_PARSE_SRC_PAD(parse), caps);
    gst_caps_unref(caps);
    if (!ok) return GST_FLOW_NOT_NEGOTIATED;
    parse->adts_key = key;
    gst_base_parse_set_frame_rate(GST_BASE_PARSE(parse), static_cast<guint>(rate), 1024, 0, 0);
  }
  const guint samples = 1024u * (s.adts.variable.number_of_raw_data_blocks_in_frame + 1u);
  GST_BUFFER_DURATION(frame->buffer) =
      gst_util_uint64_scale(samples, GST_SECOND, static_cast<guint64>(rate));
  return gst_base_parse_finish_frame(GST_BASE_PARSE(parse), frame, static_cast<gint>(s.bytes));
}

gboolean Start(GstBaseParse* base) {
  VxLoasParse* parse = Self(base);
  delete parse->framer;
  // New ADTS stream fields (a muxer's ADTS source changing) set new caps.
  parse->framer = new (std::nothrow) UMC::InbandFramer(true);
  parse->adts_key = 0;
  parse->current = 0;
  parse->have_config = FALSE;
  gst_base_parse_set_min_frame_size(base, UMC::kLoasHeaderBytes);
  return parse->framer != nullptr;
}

gboolean Stop(GstBaseParse* base) {
  VxLoasParse* parse = Self(base);
  delete parse->framer;
  parse->framer = nullptr;
  return TRUE;
}

GstFlowReturn HandleFrame(GstBaseParse* base, GstBaseParseFrame* frame, gint* skipsize) {
  VxLoasParse* parse = Self(base);
  GstMapInfo map;
  if (!gst_buffer_map(frame->buffer, &map, GST_MAP_READ)) return GST_FLOW_ERROR;
  UMC::InbandFramer& framer = *parse->framer;
  const UMC::InbandFramer::Span s =
      framer.Next(map.data, static_cast<int64_t>(map.size), GST_BASE_PARSE_DRAINING(base));
  using Kind = UMC::InbandFramer::Kind;
  if (s.kind == Kind::kFrame && framer.Format() == UMC::InbandFormat::kLoas)
    return HandleElement(parse, frame, map.data, static_cast<gint>(s.bytes), &map);  // unmaps
  if (s.kind == Kind::kFrame && framer.Format() == UMC::InbandFormat::kAdts)
    return HandleAdts(parse, frame, s, map.data, &map);  // unmaps
  gst_buffer_unmap(frame->buffer, &map);
  switch (s.kind) {
    case Kind::kSkip:
    case Kind::kBadHeader:
      *skipsize = static_cast<gint>(s.bytes);
      return GST_FLOW_OK;
    case Kind::kNeedData:
      return GST_FLOW_OK;
    default:
      // An ADIF or ALS header: not what the caps announced, nor ADTS.
      GST_ELEMENT_ERROR(parse, STREAM, WRONG_TYPE, ("Not a LOAS stream"),
                        ("ADIF or ALS data in a stream labelled LOAS"));
      return GST_FLOW_ERROR;
  }
}

}  // namespace

static void vx_loas_parse_finalize(GObject* object) {
  VxLoasParse* parse = reinterpret_cast<VxLoasParse*>(object);
  delete parse->framer;
  parse->framer = nullptr;
  G_OBJECT_CLASS(vx_loas_parse_parent_class)->finalize(object);
}

static void vx_loas_parse_class_init(VxLoasParseClass* klass) {
  G_OBJECT_CLASS(klass)->finalize = vx_loas_parse_finalize;
  GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
  GstBaseParseClass* parse_class = GST_BASE_PARSE_CLASS(klass);
  parse_class->start = GST_DEBUG_FUNCPTR(Start);
  parse_class->stop = GST_DEBUG_FUNCPTR(Stop);
  parse_class->handle_frame = GST_DEBUG_FUNCPTR(HandleFrame);
  gst_element_class_add_static_pad_template(element_class, &loas_sink_template);
  gst_element_class_add_static_pad_template(element_class, &loas_src_template);
  gst_element_class_set_static_metadata(
      element_class, "LOAS Parser", "Codec/Parser/Audio",
      "Splits LOAS/LATM streams into raw AAC access units with their configuration",
      "Corvane <support@corvane.example>");
}

static void vx_loas_parse_init(VxLoasParse* parse) {
  parse->framer = nullptr;
  parse->adts_key = 0;
  parse->current = 0;
  parse->have_config = FALSE;
}

gboolean vx_loas_parse_register(GstPlugin* plugin) {
  // Above the usual AAC parser (primary + 1), which also takes LOAS.
  return gst_element_register(plugin, "vxloasparse", GST_RANK_PRIMARY + 2, GST_TYPE_VX_LOAS_PARSE);
}
