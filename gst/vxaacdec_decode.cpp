// Decode loop, output buffers, time stamps and events.
#include <algorithm>
#include <cstring>
#include <new>

#include "gst/channel_layout.h"
#include "gst/vxaacdec_private.h"
#include "umc/aac_decoder.h"
#include "umc/audio_codec.h"
#include "umc/latm.h"
#include "umc/media_data.h"

namespace {

constexpr guint kInputPadding = 16;      // zero bytes after the input copy
constexpr guint kCodecDataPadding = 4;   // zero bytes after the codec data copy
constexpr guint kMinOutputSize = 32768;  // bytes per output buffer at least
// Bounded by the largest ALS frame the decoder accepts (kAlsMaxStateBytes).
constexpr guint kMaxOutputSize = 256u << 20;
// In-band input handed to the decoder per call (larger inputs take several).
constexpr gsize kPassWindow = 1u << 20;
// In-band bytes skipped at a time while no framing is recognised in them.
constexpr gsize kUnrecognisedSkip = 8u << 10;
// A raw access unit larger than this is not audio.
constexpr gsize kMaxAccessUnit = 16u << 20;
// In-band input held without any frame decoding before bytes are dropped:
// several of the largest ADTS frames (13-bit length).
constexpr gsize kMaxStalledInput = 64u << 10;
constexpr gint kObjectTypeAls = 36;
// ALS carries up to 65536 channels; raw audio carries them unpositioned.
constexpr gint kMaxOutputChannels = 65536;

// Texts of the messages posted on the bus (what a user sees; README.md,
// "What bad input looks like").
constexpr const char* kTextUnsupportedType = "Unsupported audio object type %d";
constexpr const char* kTextBadConfig = "Invalid AAC configuration (codec data)";
constexpr const char* kTextBadAlsConfig = "Unsupported or invalid ALS stream header";
constexpr const char* kTextNothingDecoded = "No AAC or ALS audio found in the stream";
constexpr const char* kTextDamagedFrame = "Damaged frame replaced by silence";
constexpr const char* kTextDamagedHeader = "Damaged frame skipped";
constexpr const char* kTextRestarted = "Decoding failed; the decoder was restarted";
constexpr const char* kTextTruncated = "The stream ends inside a frame";
constexpr const char* kTextAlsCrc = "Decoded ALS samples do not match the stream's CRC";
constexpr const char* kTextUnsupportedLatm = "Unsupported LATM multiplex: %s";

// Object types the decoder decodes: AAC Main, LC, LTP and ALS.
gboolean SupportedObjectType(gint aot) {
  return aot == 1 || aot == 2 || aot == 4 || aot == kObjectTypeAls;
}

// Posts a STREAM/DECODE error (takes both strings).
void PostError(VxAACDec* dec, gchar* text, gchar* debug) {
  dec->error_posted = TRUE;
  gst_element_message_full(GST_ELEMENT(dec), GST_MESSAGE_ERROR, GST_STREAM_ERROR,
                           GST_STREAM_ERROR_DECODE, text, debug, __FILE__, GST_FUNCTION, __LINE__);
}

UMC::AudioCodec* NewDecoder() {
  return new (std::nothrow) UMC::AACDecoder();
}

// The decoder's speaker of each output channel (count returned).
int DecoderSpeakers(UMC::AudioCodec* codec, int8_t* speakers) {
  UMC::AACDecoder* aac = UMC::ClassCast<UMC::AACDecoder>(codec);
  return aac ? aac->GetChannelSpeakers(speakers, 8) : 0;
}

gint DecoderObjectType(VxAACDec* dec) {
  const UMC::AACDecoder* aac = UMC::ClassCast<UMC::AACDecoder>(dec->decoder);
  return aac ? aac->ObjectType() : 0;
}

// Raw data blocks in the decoder's last output (an ADTS frame may hold up
// to four).
guint OutputBlocks(VxAACDec* dec) {
  const UMC::AACDecoder* aac = UMC::ClassCast<UMC::AACDecoder>(dec->decoder);
  return aac && aac->LastOutputBlocks() > 0 ? static_cast<guint>(aac->LastOutputBlocks()) : 1;
}

gboolean IsLoas(VxAACDec* dec) {
  const UMC::AACDecoder* aac = UMC::ClassCast<UMC::AACDecoder>(dec->decoder);
  return aac && aac->IsLoas();
}

gboolean IsAls(VxAACDec* dec) {
  const UMC::AACDecoder* aac = UMC::ClassCast<UMC::AACDecoder>(dec->decoder);
  return aac && aac->ObjectType() == kObjectTypeAls;
}

void FreeDecoder(VxAACDec* dec) {
  dec->adts_fixed = 0;
  if (!dec->decoder) return;
  dec->decoder->Close();
  delete dec->decoder;
  dec->decoder = nullptr;
}

void DropPendingEvents(VxAACDec* dec) {
  g_list_free_full(dec->pending_events, reinterpret_cast<GDestroyNotify>(gst_event_unref));
  dec->pending_events = nullptr;
}

gboolean PushPendingEvents(VxAACDec* dec) {
  gboolean ok = TRUE;
  GList* events = dec->pending_events;
  dec->pending_events = nullptr;
  for (GList* l = events; l; l = l->next)
    ok = gst_pad_push_event(dec->srcpad, GST_EVENT(l->data)) && ok;
  g_list_free(events);
  return ok;
}

// Copies the codec data, followed by zero padding, into a descriptor.
gboolean FillFromBuffer(UMC::MediaData* md, GstBuffer* buf, guint pad) {
  GstMapInfo map;
  if (!gst_buffer_map(buf, &map, GST_MAP_READ)) return FALSE;
  const gboolean ok =
      map.size <= G_MAXINT32 &&
      UMC::FillWithPadding(md, map.data, static_cast<uint32_t>(map.size), pad) == UMC::StatusOk;
  gst_buffer_unmap(buf, &map);
  return ok;
}

// Suggested buffer sizes of the decoder (known after Init, final once the
// stream is recognised).  In-band ALS frames carry no length, so the
// decoder is only called with a whole suggested input in hand.
void UpdateSizes(VxAACDec* dec) {
  UMC::BaseCodecParams info;
  dec->decoder->GetInfo(&info);  // fills the sizes even before the first frame
  // Sizes derived from stream headers are bounded before they are used.
  const guint suggested = std::min<guint>(
      info.suggested_output_size > 0 ? info.suggested_output_size : 0, kMaxOutputSize);
  dec->output_size = std::max({dec->output_size, kMinOutputSize, suggested});
  const UMC::AACDecoder* aac = UMC::ClassCast<UMC::AACDecoder>(dec->decoder);
  const gboolean als = aac && aac->ObjectType() == kObjectTypeAls;
  dec->min_input = (als && !dec->has_codec_data && info.suggested_input_size > 0)
                       ? std::min<guint>(info.suggested_input_size, kMaxAccessUnit)
                       : 0;
}

// Creates and initialises the decoder from the held codec data.
GstFlowReturn OpenDecoder(VxAACDec* dec) {
  UMC::AACDecoderParams params;
  GST_OBJECT_LOCK(dec);
  params.sbr_mode = dec->settings.sbr_mode;
  params.sbr_rate_mode = dec->settings.sbr_rate_mode;
  params.ps_mode = dec->settings.ps_mode;
  GST_OBJECT_UNLOCK(dec);

  UMC::MediaData config;
  if (dec->codec_data) {
    if (!FillFromBuffer(&config, dec->codec_data, kCodecDataPadding)) {
      GST_ELEMENT_ERROR(dec, RESOURCE, FAILED, (nullptr), ("cannot read the codec data"));
      return GST_FLOW_ERROR;
    }
    params.data = &config;
    params.in.stream_type = UMC::kStreamTypeMpeg4Config;
    dec->has_codec_data = TRUE;
  } else {
    params.in.stream_type = UMC::kStreamTypeInBand;
    dec->has_codec_data = FALSE;
  }
  dec->decoder = NewDecoder();
  if (!dec->decoder) {
    GST_ELEMENT_ERROR(dec, LIBRARY, INIT, (nullptr), ("no AAC decoder available"));
    return GST_FLOW_ERROR;
  }
  const UMC::Status st = dec->decoder->Init(&params);
  if (st != UMC::StatusOk) {
    GST_ERROR_OBJECT(dec, "init returned %d", st);
    const gint aot = DecoderObjectType(dec);
    gchar* debug = g_strdup_printf("decoder init returned %d for %" G_GSIZE_FORMAT
                                   " bytes of codec data with audio object type %d",
                                   st, dec->codec_data ? gst_buffer_get_size(dec->codec_data) : 0,
                                   aot ? aot : dec->object_type);
    if (st == UMC::StatusFailed && aot != 0 && !SupportedObjectType(aot))
      PostError(dec, g_strdup_printf(kTextUnsupportedType, aot), debug);
    else if (dec->has_codec_data)
      PostError(dec, g_strdup(kTextBadConfig), debug);
    else
      PostError(dec, g_strdup("Could not initialise the AAC decoder"), debug);
    FreeDecoder(dec);
    return GST_FLOW_ERROR;
  }
  UpdateSizes(dec);
  return GST_FLOW_OK;
}

GstAudioFormat FormatFor(gint bits, gboolean is_float) {
  switch (bits) {
    case 8:
      return is_float ? GST_AUDIO_FORMAT_UNKNOWN : GST_AUDIO_FORMAT_S8;
    case 16:
      return is_float ? GST_AUDIO_FORMAT_UNKNOWN : GST_AUDIO_FORMAT_S16LE;
    case 24:
      return is_float ? GST_AUDIO_FORMAT_UNKNOWN : GST_AUDIO_FORMAT_S24LE;
    case 32:
      return is_float ? GST_AUDIO_FORMAT_F32LE : GST_AUDIO_FORMAT_S32LE;
    default:
      return GST_AUDIO_FORMAT_UNKNOWN;
  }
}

// Sets source caps from the decoder's description of the last frame when
// they are not set yet or no longer match (a new stream).  Returns
// GST_FLOW_CUSTOM_SUCCESS when the decoder cannot describe its output yet.
GstFlowReturn UpdateCaps(VxAACDec* dec) {
  UMC::AudioCodecParams info;
  if (dec->decoder->GetInfo(&info) != UMC::StatusOk) return GST_FLOW_CUSTOM_SUCCESS;
  const gint channels = info.out.channels;
  const gint rate = info.out.sample_frequency;
  if (channels < 1 || channels > kMaxOutputChannels || rate < 1) {
    GST_ELEMENT_ERROR(dec, STREAM, DECODE, ("Unsupported decoded audio format"),
                      ("decoder reports %d output channels at %d Hz; raw audio output carries "
                       "1 to %d channels",
                       channels, rate, kMaxOutputChannels));
    return GST_FLOW_ERROR;
  }
  const GstAudioFormat format = FormatFor(info.out.bits_per_sample, info.out.is_float);
  if (format == GST_AUDIO_FORMAT_UNKNOWN) {
    GST_ELEMENT_ERROR(dec, STREAM, DECODE, ("Unsupported decoded audio format"),
                      ("decoder reports %d-bit %s samples", info.out.bits_per_sample,
                       info.out.is_float ? "float" : "integer"));
    return GST_FLOW_ERROR;
  }
  dec->stream_profile = info.profile;
  VxAACDecOutput& o = dec->out;
  // Positions for the layouts of up to 8 channels; more channels (ALS) are
  // unpositioned, in the stream's order.
  GstAudioChannelPosition from[8], to[8];
  gboolean positioned = FALSE;
  if (channels <= 8) {
    int8_t speakers[8];
    const int speaker_count = DecoderSpeakers(dec->decoder, speakers);
    positioned = VxDecoderChannelPositions(channels, speakers, speaker_count, from);
  }
  if (o.caps_set && o.rate == rate && o.channels == channels && o.format == format &&
      (!positioned || std::equal(from, from + channels, o.from)))
    return GST_FLOW_OK;

  GstAudioInfo ai;
  gst_audio_info_init(&ai);
  if (positioned) {
    VxCanonicalOrder(channels, from, to);
    gst_audio_info_set_format(&ai, format, rate, channels, to);
  } else {
    if (channels <= 8) {
      GST_ERROR_OBJECT(dec, "FIXME");
    } else {
      GST_INFO_OBJECT(dec, "%d unpositioned channels", channels);
    }
    std::fill(from, from + 8, GST_AUDIO_CHANNEL_POSITION_NONE);
    std::fill(to, to + 8, GST_AUDIO_CHANNEL_POSITION_NONE);
    gst_audio_info_set_format(&ai, format, rate, channels, nullptr);
  }
  GstCaps* caps = gst_audio_info_to_caps(&ai);
  if (!caps) {
    GST_ELEMENT_ERROR(dec, STREAM, DECODE, ("Unsupported decoded audio format"),
                      ("GStreamer raw audio cannot describe %d channels", channels));
    return GST_FLOW_NOT_NEGOTIATED;
  }
  if (!positioned) gst_caps_set_simple(caps, "channel-mask", GST_TYPE_BITMASK, guint64{0}, nullptr);
  GST_DEBUG_OBJECT(dec, "output caps %" GST_PTR_FORMAT, caps);
  const gboolean ok = gst_pad_set_caps(dec->srcpad, caps);
  gst_caps_unref(caps);
  if (!ok) {
    if (channels > 8) {
      GST_ELEMENT_ERROR(dec, CORE, NEGOTIATION, ("Cannot output %d channels", channels),
                        ("unpositioned raw audio of %d channels was refused", channels));
    }
    return GST_FLOW_NOT_NEGOTIATED;
  }

  // Time stamps count samples at the new rate from where the old run ended.
  if (o.caps_set && o.rate != rate && dec->sample_count > 0 &&
      GST_CLOCK_TIME_IS_VALID(dec->next_time)) {
    dec->base_time = dec->next_time;
    dec->sample_count = 0;
  }
  o.caps_set = TRUE;
  o.format = format;
  o.rate = dec->rate = rate;
  o.channels = dec->channels = channels;
  o.bytes_per_frame = GST_AUDIO_INFO_BPF(&ai);
  std::copy(from, from + 8, o.from);
  std::copy(to, to + 8, o.to);
  o.reorder = positioned && !std::equal(from, from + channels, to);
  UpdateSizes(dec);
  PushPendingEvents(dec);
  return GST_FLOW_OK;
}

// Stamps and pushes one decoded frame of `size` bytes.
GstFlowReturn PushFrame(VxAACDec* dec, GstBuffer* buf, guint size) {
  GST_DEBUG_OBJECT(dec, "decoded bytes %u", size);
  GstFlowReturn ret = UpdateCaps(dec);
  if (ret != GST_FLOW_OK) {
    gst_buffer_unref(buf);
    if (ret != GST_FLOW_CUSTOM_SUCCESS) return ret;
    GST_DEBUG_OBJECT(dec, "dropping a frame decoded before the stream is described");
    return GST_FLOW_OK;
  }
  const VxAACDecOutput& o = dec->out;
  const guint64 samples = size / static_cast<guint>(o.bytes_per_frame);
  if (samples == 0) {
    gst_buffer_unref(buf);
    return GST_FLOW_OK;
  }
  gst_buffer_set_size(buf, static_cast<gssize>(samples * o.bytes_per_frame));
  if (o.reorder) gst_audio_buffer_reorder_channels(buf, o.format, o.channels, o.from, o.to);

  const guint64 first = dec->sample_count;
  const guint64 last = first + samples;
  const GstClockTime start = gst_util_uint64_scale(first, GST_SECOND, o.rate);
  const GstClockTime end = gst_util_uint64_scale(last, GST_SECOND, o.rate);
  dec->sample_count = last;
  vx_aac_dec_seek_frame(dec, samples, OutputBlocks(dec));
  if (GST_CLOCK_TIME_IS_VALID(dec->base_time)) {
    // After a seek, frames decoded only to reach the target are dropped.
    if (GST_CLOCK_TIME_IS_VALID(dec->drop_before) && dec->base_time + end <= dec->drop_before) {
      gst_buffer_unref(buf);
      return GST_FLOW_OK;
    }
    const GstSegment* seg = dec->segment;
    if (seg->format == GST_FORMAT_TIME && seg->rate > 0 && GST_CLOCK_TIME_IS_VALID(seg->stop) &&
        dec->base_time + start >= seg->stop) {
      gst_buffer_unref(buf);
      return GST_FLOW_EOS;  // past the end of the segment
    }
    GST_BUFFER_PTS(buf) = dec->base_time + start;
    dec->next_time = dec->base_time + end;
  } else {
    GST_BUFFER_PTS(buf) = GST_CLOCK_TIME_NONE;
  }
  dec->drop_before = GST_CLOCK_TIME_NONE;
  GST_BUFFER_DURATION(buf) = end - start;
  GST_BUFFER_OFFSET(buf) = first;
  GST_BUFFER_OFFSET_END(buf) = last;
  if (dec->discont) {
    GST_BUFFER_FLAG_SET(buf, GST_BUFFER_FLAG_DISCONT);
    dec->discont = FALSE;
  }
  return gst_pad_push(dec->srcpad, buf);
}

// Makes `input` hold a copy of the first n adapter bytes plus padding.
gboolean LoadInput(VxAACDec* dec, gsize n) {
  const gsize need = n + kInputPadding;
  if (need > G_MAXUINT32) return FALSE;
  if (dec->input_capacity < need || !dec->input->GetBufferPointer()) {
    const guint capacity = static_cast<guint>(std::max<gsize>(need, 2 * dec->input_capacity));
    if (dec->input->Alloc(capacity) != UMC::StatusOk) {
      dec->input_capacity = 0;
      return FALSE;
    }
    dec->input_capacity = capacity;
  }
  dec->input->Reset();  // window at the buffer start, no time
  guint8* p = dec->input->GetBufferPointer();
  gst_adapter_copy(dec->adapter, p, 0, n);
  std::memset(p + n, 0, kInputPadding);
  return dec->input->SetDataSize(static_cast<uint32_t>(n)) == UMC::StatusOk;
}

// Drops stalled in-band bytes up to the next possible ADTS sync word.
void DropToNextSync(VxAACDec* dec) {
  const gsize n = gst_adapter_available(dec->adapter);
  const gssize at =
      gst_adapter_masked_scan_uint32(dec->adapter, 0xFFF00000u, 0xFFF00000u, 1, n - 1);
  const gsize drop = at > 0 ? static_cast<gsize>(at) : n - 1;
  GST_WARNING_OBJECT(dec, "no frame in %" G_GSIZE_FORMAT " bytes, dropping %" G_GSIZE_FORMAT, n,
                     drop);
  gst_adapter_flush(dec->adapter, drop);
  dec->discont = TRUE;
}

// Fixed ADTS header bits that identify a stream (ID, layer, profile,
// sampling frequency index, channel configuration) of a header at `p`, or 0
// when there is no plausible header.
guint32 AdtsFixedBits(const guint8* p, gsize n) {
  if (n < 7 || p[0] != 0xFF || (p[1] & 0xF6) != 0xF0) return 0;
  const guint len = ((p[3] & 3u) << 11) | (guint{p[4]} << 3) | (p[5] >> 5);
  if (len < 7) return 0;
  return (guint32{p[1]} & 0xFE) << 16 | (guint32{p[2]} & 0xFD) << 8 | (p[3] & 0xC0);
}

enum class AdtsNext { kSame, kNewStream, kUnsure };

// Whether the ADTS frame at `p` starts a new stream (another rate, profile
// or channel configuration): its header differs from `current` and the
// next frame's header agrees with it.  kUnsure while the next header is
// not in hand.
AdtsNext CheckAdtsStream(const guint8* p, gsize n, guint32 current) {
  const guint32 fixed = AdtsFixedBits(p, n);
  if (fixed == 0 || fixed == current) return AdtsNext::kSame;
  const gsize len = ((p[3] & 3u) << 11) | (guint{p[4]} << 3) | (p[5] >> 5);
  if (n < len + 7) return AdtsNext::kUnsure;
  return AdtsFixedBits(p + len, n - len) == fixed ? AdtsNext::kNewStream : AdtsNext::kSame;
}

// kRetry: the decoder recognised in-band ALS and decoded its first frame
// from less than a whole frame's input; it is re-created once that much is
// buffered.  kNewStream: in-band ADTS continues with another stream; a new
// decoder takes over at the input position.
enum class PassEnd { kNeedData, kError, kFlow, kRetry, kNewStream };

struct PassResult {
  PassEnd end = PassEnd::kNeedData;
  GstFlowReturn flow = GST_FLOW_OK;
  guint frames = 0;
  UMC::Status status = UMC::StatusOk;  // the failure of kError
};

// Runs GetFrame over `input` until the decoder wants more data, fails or a
// push fails.  One access unit per pass with codec data.
PassResult DecodeInput(VxAACDec* dec, gboolean draining) {
  PassResult r;
  UMC::MediaData* in = dec->input;
  UMC::MediaData* out = dec->output;
  guint idle = 0;  // consecutive calls that consumed nothing
  for (;;) {
    if (!draining && in->GetDataSize() < dec->min_input) return r;  // a partial ALS frame
    if (dec->adts_fixed) {
      const AdtsNext next =
          CheckAdtsStream(in->GetDataPointer(), in->GetDataSize(), dec->adts_fixed);
      if (next == AdtsNext::kNewStream || (next == AdtsNext::kUnsure && draining)) {
        r.end = PassEnd::kNewStream;
        return r;
      }
      if (next == AdtsNext::kUnsure) return r;  // wait for the next header
    }
    const guint8* frame_start = in->GetDataPointer();
    const uint32_t before = in->GetDataSize();
    GstBuffer* buf = gst_buffer_new_allocate(nullptr, dec->output_size, nullptr);
    GstMapInfo map;
    if (!buf || !gst_buffer_map(buf, &map, GST_MAP_WRITE)) {
      if (buf) gst_buffer_unref(buf);
      GST_ELEMENT_ERROR(dec, RESOURCE, FAILED, (nullptr), ("cannot allocate an output buffer"));
      r.end = PassEnd::kFlow;
      r.flow = GST_FLOW_ERROR;
      return r;
    }
    out->SetBufferPointer(map.data, static_cast<uint32_t>(map.size));
    const UMC::Status st = dec->decoder->GetFrame(in, out);
    const guint produced =
        (st == UMC::StatusOk || st == UMC::StatusInvalidStream) ? out->GetDataSize() : 0;
    out->SetBufferPointer(nullptr, 0);
    gst_buffer_unmap(buf, &map);
    const uint32_t consumed = before - in->GetDataSize();
    UpdateSizes(dec);
    if (produced > 0 && !dec->has_codec_data && !draining && dec->frames_since_open == 0 &&
        before < dec->min_input) {
      dec->open_input = dec->min_input;
      gst_buffer_unref(buf);
      r.end = PassEnd::kRetry;
      return r;
    }

    if (st == UMC::StatusNotEnoughBuffer) {
      GST_DEBUG_OBJECT(dec, "not enough buffer");
      gst_buffer_unref(buf);
      if (dec->output_size >= kMaxOutputSize) {
        GST_ERROR_OBJECT(dec, "status %d", st);
        r.end = PassEnd::kError;
        r.status = st;
        return r;
      }
      dec->output_size =
          std::min(2 * dec->output_size, kMaxOutputSize);  // frame kept for the retry
      continue;
    }
    if (st == UMC::StatusNotEnoughData) {
      GST_DEBUG_OBJECT(dec, "not enough data");
      gst_buffer_unref(buf);
      return r;
    }
    if (st != UMC::StatusOk && st != UMC::StatusInvalidStream) {
      GST_ERROR_OBJECT(dec, "status %d", st);
      gst_buffer_unref(buf);
      r.end = PassEnd::kError;
      r.status = st;
      return r;
    }
    if (st == UMC::StatusInvalidStream) {
      GST_ERROR_OBJECT(dec, "status %d", st);
      // Applications learn of damaged input; the silent frame keeps time.
      if (produced > 0)
        GST_ELEMENT_WARNING(dec, STREAM, DECODE, ("%s", kTextDamagedFrame),
                            ("frame %" G_GUINT64_FORMAT " (status %d): %u bytes of silence pushed",
                             dec->stream_frames, st, produced));
      else
        GST_ELEMENT_WARNING(
            dec, STREAM, DECODE, ("%s", kTextDamagedHeader),
            ("after frame %" G_GUINT64_FORMAT " (status %d)", dec->stream_frames, st));
    }
    // Frames must consume input: the only repeats allowed without are the
    // delivery of a frame kept after a refusal for space, the further
    // subframes of a LOAS frame (consumed with its first), and the first
    // blocks of an ADTS frame of several whose layout changes within it
    // (the frame's bytes go with its last block; up to four blocks).
    idle = consumed == 0 ? idle + 1 : 0;
    const guint max_idle = IsLoas(dec) ? guint{UMC::kLatmMaxSubFrames} : 4;
    if ((produced == 0 && consumed == 0) || idle > max_idle) {
      GST_ERROR_OBJECT(dec, "status %d", st);
      gst_buffer_unref(buf);
      r.end = PassEnd::kError;
      r.status = st;
      return r;
    }
    if (produced > 0) {
      // The first clean frames of an ADTS stream identify it.
      if (!dec->adts_fixed && dec->frames_since_open < 2 && !dec->has_codec_data &&
          dec->stream_type != 2 && st == UMC::StatusOk && !IsAls(dec))
        dec->adts_fixed = AdtsFixedBits(frame_start, before);
      ++r.frames;
      ++dec->frames_since_open;
      ++dec->stream_frames;
      r.flow = PushFrame(dec, buf, produced);
      if (r.flow != GST_FLOW_OK) {
        r.end = PassEnd::kFlow;
        return r;
      }
    } else {
      gst_buffer_unref(buf);
    }
    // With codec data an access unit is decoded whole, except that one MP4
    // sample may hold several ALS frames.
    if (dec->has_codec_data && (in->GetDataSize() == 0 || consumed == 0)) return r;
  }
}

// One decode pass over what the adapter holds.  `draining` (EOS) decodes
// in-band input even when less than a whole suggested input is buffered.
GstFlowReturn Process(VxAACDec* dec, gboolean draining) {
  if (!dec->input || !dec->output) return GST_FLOW_ERROR;
  if (dec->error_posted) return GST_FLOW_ERROR;  // the stream cannot be decoded
  if (!dec->decoder) {
    const gsize n = gst_adapter_available(dec->adapter);
    if (!dec->codec_data && !draining && n < dec->open_input) return GST_FLOW_OK;
    const GstFlowReturn ret = OpenDecoder(dec);
    if (ret != GST_FLOW_OK) return ret;
    dec->frames_since_open = 0;
  }
  for (;;) {
    const gsize n = gst_adapter_available(dec->adapter);
    GST_DEBUG_OBJECT(dec, "available %" G_GSIZE_FORMAT, n);
    if (n == 0) return GST_FLOW_OK;
    if (!dec->has_codec_data && !draining && n < dec->min_input) return GST_FLOW_OK;
    if (dec->has_codec_data && n > kMaxAccessUnit) {
      GST_ELEMENT_WARNING(dec, STREAM, DECODE, (nullptr),
                          ("dropping an access unit of %" G_GSIZE_FORMAT " bytes", n));
      gst_adapter_clear(dec->adapter);
      return GST_FLOW_OK;
    }
    // In-band ALS frames carry no length: a pass holds at least one whole.
    const gsize window_cap = std::max<gsize>(kPassWindow, dec->min_input);
    const gsize window = dec->has_codec_data ? n : std::min(n, window_cap);
    GST_DEBUG_OBJECT(dec, "pushing %" G_GSIZE_FORMAT, window);
    guint64 distance = 0;
    const guint64 prev = gst_adapter_prev_offset(dec->adapter, &distance);
    dec->pass_offset = prev == GST_BUFFER_OFFSET_NONE ? prev : prev + distance;
    dec->pass_window = window;
    if (!LoadInput(dec, window)) {
      GST_ELEMENT_ERROR(dec, RESOURCE, FAILED, (nullptr), ("cannot allocate the input copy"));
      return GST_FLOW_ERROR;
    }
    const PassResult r = DecodeInput(dec, draining);
    if (r.end == PassEnd::kRetry) {
      GST_DEBUG_OBJECT(dec, "ALS stream: waiting for %u bytes", dec->open_input);
      FreeDecoder(dec);
      return GST_FLOW_OK;
    }
    if (r.end == PassEnd::kError) {
      const gint aot = DecoderObjectType(dec);
      if (r.status == UMC::StatusFailed && aot != 0 && !SupportedObjectType(aot)) {
        // Nothing of this stream can be decoded.
        PostError(dec, g_strdup_printf(kTextUnsupportedType, aot),
                  g_strdup_printf("in-band stream of audio object type %d", aot));
        vx_aac_dec_reset(dec);
        return GST_FLOW_ERROR;
      }
      const UMC::AACDecoder* aac = UMC::ClassCast<UMC::AACDecoder>(dec->decoder);
      if (r.status == UMC::StatusUnsupportedStream && aac && aac->LatmRefusal()) {
        // A multiplex of several programs or layers is not taken apart.
        PostError(dec, g_strdup_printf(kTextUnsupportedLatm, aac->LatmRefusal()),
                  g_strdup("LOAS stream refused before its first frame"));
        vx_aac_dec_reset(dec);
        return GST_FLOW_ERROR;
      }
      if (aot == kObjectTypeAls && dec->frames_since_open == 0 &&
          (r.status == UMC::StatusInitFailed || r.status == UMC::StatusUnsupportedStream)) {
        PostError(dec, g_strdup(kTextBadAlsConfig),
                  g_strdup_printf("ALS stream header refused (status %d)", r.status));
        vx_aac_dec_reset(dec);
        return GST_FLOW_ERROR;
      }
      if (!dec->has_codec_data && r.status == UMC::StatusFailed && dec->frames_since_open == 0) {
        // No framing recognised in the first bytes of a large input: skip
        // some and look again (the decoder only searches so far).
        const gsize skip = std::min(kUnrecognisedSkip, gst_adapter_available(dec->adapter));
        GST_DEBUG_OBJECT(dec, "no stream found, skipping %" G_GSIZE_FORMAT " bytes", skip);
        gst_adapter_flush(dec->adapter, skip);
        dec->discont = TRUE;
        FreeDecoder(dec);
        if (OpenDecoder(dec) != GST_FLOW_OK) return GST_FLOW_ERROR;
        continue;
      }
      GST_ELEMENT_WARNING(dec, STREAM, DECODE, ("%s", kTextRestarted),
                          ("status %d; %" G_GSIZE_FORMAT " buffered bytes dropped", r.status,
                           gst_adapter_available(dec->adapter)));
      vx_aac_dec_reset(dec);
      return GST_FLOW_OK;
    }
    // Raw access units are consumed whole; in-band bytes the decoder left
    // (a partial frame) stay for the next pass.
    const gsize consumed = dec->has_codec_data ? window : window - dec->input->GetDataSize();
    gst_adapter_flush(dec->adapter, consumed);
    if (r.end == PassEnd::kFlow) return r.flow;
    if (r.end == PassEnd::kNewStream) {
      GST_INFO_OBJECT(dec, "a new ADTS stream starts");
      FreeDecoder(dec);
      vx_aac_dec_seek_new_stream(dec);
      if (OpenDecoder(dec) != GST_FLOW_OK) return GST_FLOW_ERROR;
      dec->frames_since_open = 0;
      continue;
    }
    if (dec->has_codec_data) continue;  // the next queued access unit, if any
    const gsize left = gst_adapter_available(dec->adapter);
    if (consumed > 0 && left > 0 && window == window_cap) continue;
    if (r.frames == 0 && left > std::max<gsize>(kMaxStalledInput, 2 * gsize{dec->min_input}))
      DropToNextSync(dec);
    return GST_FLOW_OK;
  }
}

// At the end of a stream: a frame cut short, an ALS CRC that does not
// match, or input of which nothing could be decoded.
void ReportStreamEnd(VxAACDec* dec) {
  const gsize left = gst_adapter_available(dec->adapter);
  guint8 head[3] = {};
  if (left >= 3) gst_adapter_copy(dec->adapter, head, 0, 3);
  const gboolean adts = head[0] == 0xFF && (head[1] & 0xF6) == 0xF0;
  const gboolean loas = head[0] == 0x56 && (head[1] & 0xE0) == 0xE0;
  if (left > 0 && !dec->has_codec_data && dec->stream_frames > 0 && (adts || loas))
    GST_ELEMENT_WARNING(
        dec, STREAM, DECODE, ("%s", kTextTruncated),
        ("%" G_GSIZE_FORMAT " bytes of a last %s frame not decoded", left, adts ? "ADTS" : "LOAS"));
  UMC::AACDecoder* aac = UMC::ClassCast<UMC::AACDecoder>(dec->decoder);
  if (aac && aac->AlsCrcStatus() == 0)
    GST_ELEMENT_WARNING(dec, STREAM, DECODE, ("%s", kTextAlsCrc),
                        ("after %" G_GUINT64_FORMAT " frames", dec->stream_frames));
  if (dec->stream_frames == 0 && dec->stream_bytes > 0 && !dec->error_posted)
    PostError(dec, g_strdup(kTextNothingDecoded),
              g_strdup_printf("%" G_GUINT64_FORMAT " bytes of input", dec->stream_bytes));
}

gboolean ForwardOrHold(VxAACDec* dec, GstEvent* event) {
  // Downstream must see caps before a segment; until the first frame has
  // set them, serialized sticky events wait.
  if (!dec->out.caps_set &&
      (static_cast<guint>(GST_EVENT_TYPE(event)) & GST_EVENT_TYPE_SERIALIZED) != 0 &&
      GST_EVENT_TYPE(event) > GST_EVENT_CAPS && GST_EVENT_TYPE(event) != GST_EVENT_EOS) {
    dec->pending_events = g_list_append(dec->pending_events, event);
    return TRUE;
  }
  return gst_pad_push_event(dec->srcpad, event);
}

// Byte positions after a seek converted here: the decoder restarts at the
// planned point with the seek's segment and a time base that continues from
// the restart sample (exact) or from the requested time (estimated).
void ApplyRestart(VxAACDec* dec, const VxSeekRestart& r) {
  FreeDecoder(dec);
  gst_adapter_clear(dec->adapter);
  dec->min_input = 0;
  dec->open_input = 0;
  dec->discont = TRUE;
  dec->next_time = GST_CLOCK_TIME_NONE;
  if (r.exact) {
    dec->base_time = 0;
    dec->sample_count = r.sample;
    dec->drop_before = r.segment.start;
  } else {
    dec->base_time = r.segment.start;
    dec->sample_count = 0;
    dec->drop_before = GST_CLOCK_TIME_NONE;
  }
}

gboolean HandleSegment(VxAACDec* dec, GstEvent* event) {
  const GstSegment* in = nullptr;
  gst_event_parse_segment(event, &in);
  VxSeekRestart restart{};
  GstSegment time;
  gst_segment_init(&time, GST_FORMAT_TIME);
  if (in->format == GST_FORMAT_TIME) {
    time = *in;
  } else if (in->format == GST_FORMAT_BYTES) {
    // Time stamps are produced here from the sample count.
    if (vx_aac_dec_seek_segment(dec, in, gst_event_get_seqnum(event), &restart)) {
      time = restart.segment;
    } else {
      time.rate = in->rate;
      time.applied_rate = in->applied_rate;
      time.flags = in->flags;
    }
    GstEvent* replaced = gst_event_new_segment(&time);
    gst_event_set_seqnum(replaced, gst_event_get_seqnum(event));
    gst_event_unref(event);
    event = replaced;
  }
  if (in->format == GST_FORMAT_TIME || in->format == GST_FORMAT_BYTES) {
    GST_OBJECT_LOCK(dec);
    gst_segment_copy_into(&time, dec->segment);
    GST_OBJECT_UNLOCK(dec);
  }
  if (restart.active) {
    ApplyRestart(dec, restart);
  } else {
    dec->sample_count = 0;
    dec->base_time = GST_CLOCK_TIME_NONE;  // from the next buffer or the segment start
    dec->next_time = GST_CLOCK_TIME_NONE;
    dec->drop_before = GST_CLOCK_TIME_NONE;
  }
  return ForwardOrHold(dec, event);
}

}  // namespace

void vx_aac_dec_reset(VxAACDec* dec) {
  GST_DEBUG_OBJECT(dec, "reset");
  FreeDecoder(dec);
  if (dec->adapter) gst_adapter_clear(dec->adapter);
  dec->sample_count = 0;
  dec->base_time = GST_CLOCK_TIME_NONE;
  dec->min_input = 0;
  dec->open_input = 0;
  dec->discont = TRUE;
}

void vx_aac_dec_finish_stream(VxAACDec* dec) {
  if (gst_adapter_available(dec->adapter) > 0) Process(dec, TRUE);
  FreeDecoder(dec);
  gst_adapter_clear(dec->adapter);
  dec->min_input = 0;
  dec->open_input = 0;
  vx_aac_dec_seek_new_stream(dec);
}

void vx_aac_dec_stop(VxAACDec* dec) {
  FreeDecoder(dec);
  if (dec->adapter) gst_adapter_clear(dec->adapter);
  if (dec->codec_data) gst_buffer_unref(dec->codec_data);
  dec->codec_data = nullptr;
  DropPendingEvents(dec);
  if (dec->segment) gst_segment_init(dec->segment, GST_FORMAT_TIME);
  dec->out = VxAACDecOutput{};
  dec->rate = dec->channels = 0;
  dec->stream_type = 0;
  dec->has_codec_data = FALSE;
  dec->sample_count = 0;
  dec->base_time = 0;
  dec->next_time = GST_CLOCK_TIME_NONE;
  dec->min_input = 0;
  dec->open_input = 0;
  dec->output_size = 0;
  dec->discont = FALSE;
  dec->stream_bytes = dec->stream_frames = 0;
  dec->error_posted = FALSE;
  vx_aac_dec_seek_new_stream(dec);
}

GstFlowReturn vx_aac_dec_chain(GstPad*, GstObject* parent, GstBuffer* buf) {
  VxAACDec* dec = GST_VX_AAC_DEC(parent);
  GST_DEBUG_OBJECT(dec, "got %" G_GSIZE_FORMAT " bytes", gst_buffer_get_size(buf));
  gboolean take_time = !GST_CLOCK_TIME_IS_VALID(dec->base_time);
  if (GST_BUFFER_FLAG_IS_SET(buf, GST_BUFFER_FLAG_DISCONT)) {
    // Bytes left from before the discontinuity cannot join the new data.
    if (!dec->has_codec_data && gst_adapter_available(dec->adapter) > 0) {
      GST_DEBUG_OBJECT(dec, "discont: dropping %" G_GSIZE_FORMAT " buffered bytes",
                       gst_adapter_available(dec->adapter));
      gst_adapter_clear(dec->adapter);
    }
    dec->discont = TRUE;
    take_time = take_time || GST_BUFFER_PTS_IS_VALID(buf);
  }
  if (take_time) {
    // Time stamps never go back within a segment: an upstream time behind
    // the output already pushed (a parser that lost count over damaged
    // frames) is not taken; one ahead of it (lost data) is.
    const GstClockTime pts = GST_BUFFER_PTS(buf);
    const GstClockTime next = dec->next_time;
    if (GST_CLOCK_TIME_IS_VALID(pts) && (!GST_CLOCK_TIME_IS_VALID(next) || pts >= next)) {
      dec->base_time = pts;
      dec->sample_count = 0;
    } else if (!GST_CLOCK_TIME_IS_VALID(dec->base_time)) {
      if (GST_CLOCK_TIME_IS_VALID(next)) {
        dec->base_time = next;  // continue after a reset
      } else {
        GST_WARNING_OBJECT(dec, "using segment start for base time.  bad idea");
        dec->base_time = dec->segment->format == GST_FORMAT_TIME ? dec->segment->start : 0;
      }
      dec->sample_count = 0;
    }
  }
  dec->stream_bytes += gst_buffer_get_size(buf);
  gst_adapter_push(dec->adapter, buf);
  if (!vx_aac_dec_seek_input(dec)) return GST_FLOW_OK;  // skipping to a seek target
  return Process(dec, FALSE);
}

gboolean vx_aac_dec_sink_event(GstPad*, GstObject* parent, GstEvent* event) {
  VxAACDec* dec = GST_VX_AAC_DEC(parent);
  GST_DEBUG_OBJECT(dec, "event %" GST_PTR_FORMAT, event);
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_CAPS: {
      // Consumed: the source caps come from the decoded frames.
      GstCaps* caps = nullptr;
      gst_event_parse_caps(event, &caps);
      const gboolean ok = vx_aac_dec_sink_setcaps(dec, caps);
      gst_event_unref(event);
      return ok;
    }
    case GST_EVENT_STREAM_START:
      dec->stream_bytes = dec->stream_frames = 0;
      dec->error_posted = FALSE;
      vx_aac_dec_seek_new_stream(dec);
      return ForwardOrHold(dec, event);
    case GST_EVENT_SEGMENT:
      return HandleSegment(dec, event);
    case GST_EVENT_EOS:
      if (gst_adapter_available(dec->adapter) > 0) Process(dec, TRUE);
      ReportStreamEnd(dec);
      gst_adapter_clear(dec->adapter);
      PushPendingEvents(dec);
      return gst_pad_push_event(dec->srcpad, event);
    case GST_EVENT_FLUSH_STOP:
      FreeDecoder(dec);  // re-created from the same codec data
      gst_adapter_clear(dec->adapter);
      DropPendingEvents(dec);
      dec->sample_count = 0;
      dec->base_time = GST_CLOCK_TIME_NONE;
      dec->next_time = GST_CLOCK_TIME_NONE;
      dec->min_input = 0;
      dec->open_input = 0;
      dec->discont = TRUE;
      vx_aac_dec_seek_flush(dec);
      return gst_pad_push_event(dec->srcpad, event);
    default:
      return ForwardOrHold(dec, event);
  }
}

gint vx_aac_dec_stream_profile(GstElement* element) {
  return GST_IS_VX_AAC_DEC(element) ? GST_VX_AAC_DEC(element)->stream_profile : 0;
}
