// Decoding: parse() hands the input to the decode loop (raw access units one
// per buffer, in-band streams a window of the adapter at a time) and keeps
// the output of the frame it found; handle_frame() passes it to the base
// class, which stamps, clips to the segment and pushes it.  Also the output
// format and buffer pool, tags, packet loss concealment and the events.
#include <algorithm>
#include <cstring>
#include <new>

#include "gst/channel_layout.h"
#include "gst/vxaacdec_private.h"
#include "umc/aac_decoder.h"
#include "umc/decode_loop.h"

namespace {

using Event = UMC::DecodeLoop::Event;

// In-band bytes copied for the decoder at a time, at least: more than the
// largest ADTS frame (8 channels of 768 bytes and a header).  Grown while a
// frame does not fit.
constexpr gsize kMinWindow = 8192;
// A raw access unit larger than this is not audio.
constexpr gsize kMaxAccessUnit = 16u << 20;
constexpr gint kObjectTypeAls = 36;
// ALS carries up to 65536 channels; raw audio carries them unpositioned.
constexpr gint kMaxOutputChannels = 65536;
// The bitrate tag is posted after this much audio, then again when the
// average moves by more than a tenth (looked at once per that much audio).
constexpr guint64 kBitrateAfterSeconds = 1;

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
// The base class's error for input without output at the end of a stream.
constexpr const char* kTextBaseNoFrames = "No valid frames decoded before end of stream";

gboolean SupportedObjectType(gint aot) {
  return aot == 1 || aot == 2 || aot == 4 || aot == kObjectTypeAls;
}

// Posts a STREAM/DECODE error (takes both strings).
void PostError(VxAACDec* dec, gchar* text, gchar* debug) {
  dec->error_posted = TRUE;
  gst_element_message_full(GST_ELEMENT(dec), GST_MESSAGE_ERROR, GST_STREAM_ERROR,
                           GST_STREAM_ERROR_DECODE, text, debug, __FILE__, GST_FUNCTION, __LINE__);
}

void DropPending(VxAACDec* dec) {
  g_list_free_full(dec->pending, reinterpret_cast<GDestroyNotify>(gst_buffer_unref));
  dec->pending = nullptr;
  dec->pending_frame = FALSE;
}

GstPad* SrcPad(VxAACDec* dec) {
  return GST_AUDIO_DECODER_SRC_PAD(dec);
}

// Raw data blocks in the decoder's last output (an ADTS frame may hold up
// to four).
guint OutputBlocks(VxAACDec* dec) {
  const UMC::AACDecoder* aac = dec->loop ? dec->loop->Decoder() : nullptr;
  return aac && aac->LastOutputBlocks() > 0 ? static_cast<guint>(aac->LastOutputBlocks()) : 1;
}

// Downstream takes F32LE but not S16LE: the decoder's float output then.
gboolean DownstreamWantsFloat(VxAACDec* dec) {
  GstCaps* peer = gst_pad_peer_query_caps(SrcPad(dec), nullptr);
  if (!peer) return FALSE;
  GstCaps* s16 = gst_caps_from_string("audio/x-raw, format=(string)S16LE");
  GstCaps* f32 = gst_caps_from_string("audio/x-raw, format=(string)F32LE");
  const gboolean want = !gst_caps_can_intersect(peer, s16) && gst_caps_can_intersect(peer, f32);
  gst_caps_unref(f32);
  gst_caps_unref(s16);
  gst_caps_unref(peer);
  return want;
}

// Opens the decode loop for the current caps: with codec data (raw access
// units) or for an in-band stream.  The decoder itself is created by the
// loop on the first data.
gboolean OpenLoop(VxAACDec* dec) {
  if (!dec->loop) dec->loop = new (std::nothrow) UMC::DecodeLoop();
  if (!dec->loop) {
    GST_ELEMENT_ERROR(dec, LIBRARY, INIT, (nullptr), ("no AAC decoder available"));
    return FALSE;
  }
  UMC::DecodeLoop::Settings s;
  GST_OBJECT_LOCK(dec);
  s.sbr_mode = dec->settings.sbr_mode;
  s.sbr_rate_mode = dec->settings.sbr_rate_mode;
  s.ps_mode = dec->settings.ps_mode;
  GST_OBJECT_UNLOCK(dec);
  dec->float_output = DownstreamWantsFloat(dec);
  s.float_output = dec->float_output;
  UMC::Status st = UMC::StatusOk;
  if (dec->codec_data) {
    GstMapInfo map;
    if (!gst_buffer_map(dec->codec_data, &map, GST_MAP_READ)) {
      GST_ELEMENT_ERROR(dec, RESOURCE, FAILED, (nullptr), ("cannot read the codec data"));
      return FALSE;
    }
    st = map.size > 0 && map.size <= G_MAXUINT16
             ? dec->loop->Open(s, map.data, static_cast<uint32_t>(map.size))
             : UMC::StatusInvalidParams;
    gst_buffer_unmap(dec->codec_data, &map);
  } else {
    st = dec->loop->Open(s);
  }
  if (st != UMC::StatusOk) {
    PostError(dec,
              g_strdup(dec->codec_data ? kTextBadConfig : "Could not initialise the AAC decoder"),
              g_strdup_printf("decode loop refused the configuration (status %d)", st));
    return FALSE;
  }
  dec->loop_open = TRUE;
  dec->window = kMinWindow;
  dec->consecutive_errors = 0;
  return TRUE;
}

// The decoder ended: a bus ERROR when nothing of the stream can be decoded
// (FALSE), else a WARNING and decoding goes on with a new decoder.
gboolean ReportFailure(VxAACDec* dec) {
  const UMC::DecodeLoop& loop = *dec->loop;
  const gint aot = loop.ObjectType();
  const UMC::Status st = loop.FailureStatus();
  GST_ERROR_OBJECT(dec, "status %d", st);
  if (!loop.Fatal()) {
    GST_ELEMENT_WARNING(dec, STREAM, DECODE, ("%s", kTextRestarted),
                        ("status %d; the buffered input was dropped", st));
    return TRUE;
  }
  if (loop.LatmRefusal()) {
    // A multiplex of several programs or layers is not taken apart.
    PostError(dec, g_strdup_printf(kTextUnsupportedLatm, loop.LatmRefusal()),
              g_strdup("LOAS stream refused before its first frame"));
  } else if (aot != 0 && !SupportedObjectType(aot)) {
    PostError(dec, g_strdup_printf(kTextUnsupportedType, aot),
              g_strdup_printf("%s stream of audio object type %d",
                              loop.InBand() ? "in-band" : "configured", aot));
  } else if (aot == kObjectTypeAls && loop.InBand()) {
    PostError(dec, g_strdup(kTextBadAlsConfig),
              g_strdup_printf("ALS stream header refused (status %d)", st));
  } else if (!loop.InBand()) {
    PostError(
        dec, g_strdup(kTextBadConfig),
        g_strdup_printf("decoder init returned %d for %" G_GSIZE_FORMAT
                        " bytes of codec data with audio object type %d",
                        st, gst_buffer_get_size(dec->codec_data), aot ? aot : dec->object_type));
  } else {
    PostError(dec, g_strdup("Could not initialise the AAC decoder"),
              g_strdup_printf("status %d", st));
  }
  return FALSE;
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

// Name of the stream's coding for the audio-codec tag.
const char* CodecName(VxAACDec* dec, const UMC::AudioCodecParams& info) {
  const gint aot = info.profile & 0xFF;
  if (aot == kObjectTypeAls) return "MPEG-4 ALS";
  if (info.profile & 0x100) {
    const gboolean ps = info.in.channels == 1 && info.out.channels == 2;
    return ps ? "MPEG-4 HE-AAC v2" : "MPEG-4 HE-AAC";
  }
  if (aot == 1) return "MPEG-4 AAC Main";
  if (aot == 4) return "MPEG-4 AAC LTP";
  return dec->stream_type == 0 && dec->codec_data ? "MPEG-4 AAC LC" : "MPEG-4 AAC";
}

// audio-codec once per stream; the average bitrate once a second of audio
// is decoded, and again when it moves by more than a tenth (checked once a
// second: a division per frame is a measurable share of a small frame's cost).
void UpdateTags(VxAACDec* dec, const UMC::AudioCodecParams& info) {
  GstTagList* tags = nullptr;
  if (!dec->tags_sent) {
    tags = gst_tag_list_new(GST_TAG_AUDIO_CODEC, CodecName(dec, info), nullptr);
    dec->tags_sent = TRUE;
  }
  const gint rate = dec->out.rate;
  if (rate > 0 && dec->stream_samples >= kBitrateAfterSeconds * static_cast<guint>(rate) &&
      dec->stream_samples >= dec->bitrate_check_at) {
    dec->bitrate_check_at = dec->stream_samples + kBitrateAfterSeconds * static_cast<guint>(rate);
    const guint64 bps =
        gst_util_uint64_scale(dec->stream_bytes * 8, static_cast<guint>(rate), dec->stream_samples);
    const guint bitrate = static_cast<guint>(std::min<guint64>(bps, G_MAXUINT));
    const guint last = dec->bitrate_sent;
    if (bitrate > 0 && (last == 0 || bitrate > last + last / 10 || bitrate + last / 10 < last)) {
      if (!tags) tags = gst_tag_list_new_empty();
      gst_tag_list_add(tags, GST_TAG_MERGE_REPLACE, GST_TAG_BITRATE, bitrate, nullptr);
      dec->bitrate_sent = bitrate;
    }
  }
  if (!tags) return;
  gst_audio_decoder_merge_tags(GST_AUDIO_DECODER(dec), tags, GST_TAG_MERGE_REPLACE);
  gst_tag_list_unref(tags);
}

// Sets the output format from the decoder's description of the frame it
// just produced (`frame_bytes` long) when it is new or changed, and
// negotiates it (which sizes the buffer pool).  GST_FLOW_CUSTOM_SUCCESS when
// the decoder cannot describe its output.
GstFlowReturn UpdateFormat(VxAACDec* dec, const UMC::AudioCodecParams& info, gsize frame_bytes) {
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
  int8_t speakers[8] = {};
  if (channels <= 8) {
    const int speaker_count = dec->loop->Decoder()->GetChannelSpeakers(speakers, 8);
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
  GstAudioDecoder* base = GST_AUDIO_DECODER(dec);
  gboolean ok = gst_audio_decoder_set_output_caps(base, caps);
  gst_caps_unref(caps);
  o.caps_set = TRUE;
  o.format = format;
  o.rate = dec->rate = rate;
  o.channels = channels;
  o.bytes_per_frame = GST_AUDIO_INFO_BPF(&ai);
  std::copy(from, from + 8, o.from);
  std::copy(to, to + 8, o.to);
  o.reorder = positioned && !std::equal(from, from + channels, to);
  if (o.reorder) VxReorderMap(channels, from, to, o.map);
  // Later frames of this layout come from the decoder in GStreamer's order.
  dec->loop->SetOutputOrder(speakers, o.map, o.reorder ? channels : 0);
  dec->frame_bytes = frame_bytes;
  // An in-band frame is decoded once all of it is in hand: one frame of
  // latency for a live source.
  const GstClockTime frame_time = gst_util_uint64_scale(
      frame_bytes / static_cast<guint>(o.bytes_per_frame), GST_SECOND, static_cast<guint>(rate));
  const GstClockTime latency = dec->loop->InBand() ? frame_time : 0;
  gst_audio_decoder_set_latency(base, latency, latency);
  ok = ok && gst_audio_decoder_negotiate(base);
  if (!ok) {
    o.caps_set = FALSE;
    if (channels > 8) {
      GST_ELEMENT_ERROR(dec, CORE, NEGOTIATION, ("Cannot output %d channels", channels),
                        ("unpositioned raw audio of %d channels was refused", channels));
    }
    return GST_FLOW_NOT_NEGOTIATED;
  }
  return GST_FLOW_OK;
}

// A buffer for `bytes` of output: from the negotiated pool when it fits.
GstBuffer* AcquireOutput(VxAACDec* dec, gsize bytes) {
  if (dec->pool && bytes <= dec->pool_size) {
    GstBuffer* buf = nullptr;
    if (gst_buffer_pool_acquire_buffer(dec->pool, &buf, nullptr) == GST_FLOW_OK) {
      if (gst_buffer_get_size(buf) != bytes) gst_buffer_set_size(buf, static_cast<gssize>(bytes));
      return buf;
    }
  }
  return gst_audio_decoder_allocate_output_buffer(GST_AUDIO_DECODER(dec), bytes);
}

// A pool buffer offered to the decoder as its output area for the next
// frame, so that the frame goes out without a copy; one no frame took stays
// offered for the next call.
void OfferOutput(VxAACDec* dec) {
  if (!dec->pool || dec->pool_size == 0 || !dec->out.caps_set) return;
  if (!dec->target) {
    GstBuffer* buf = nullptr;
    if (gst_buffer_pool_acquire_buffer(dec->pool, &buf, nullptr) != GST_FLOW_OK) return;
    if (!gst_buffer_map(buf, &dec->target_map, GST_MAP_WRITE)) {
      gst_buffer_unref(buf);
      return;
    }
    dec->target = buf;
  }
  dec->loop->SetOutputArea(dec->target_map.data, static_cast<uint32_t>(dec->target_map.size));
}

void DropTarget(VxAACDec* dec) {
  if (!dec->target) return;
  gst_buffer_unmap(dec->target, &dec->target_map);
  gst_buffer_unref(dec->target);
  dec->target = nullptr;
}

// The offered buffer when the decoder wrote `frame` into it: taken from the
// offer (still mapped) before anything can renegotiate the pool under it.
class DecodedInto {
 public:
  DecodedInto(VxAACDec* dec, const UMC::DecodeLoop::Frame& frame) {
    if (!dec->target || frame.pcm != dec->target_map.data) return;
    buf_ = dec->target;
    map_ = dec->target_map;
    dec->target = nullptr;
  }
  ~DecodedInto() {
    if (!buf_) return;
    gst_buffer_unmap(buf_, &map_);
    gst_buffer_unref(buf_);
  }
  DecodedInto(const DecodedInto&) = delete;
  DecodedInto& operator=(const DecodedInto&) = delete;

  bool Holds() const { return buf_ != nullptr; }
  // The buffer holding `bytes` of the frame, unmapped and handed over (null
  // when the frame went to the loop's own area).
  GstBuffer* Take(gsize bytes) {
    if (!buf_) return nullptr;
    gst_buffer_unmap(buf_, &map_);
    if (gst_buffer_get_size(buf_) != bytes) gst_buffer_set_size(buf_, static_cast<gssize>(bytes));
    GstBuffer* out = buf_;
    buf_ = nullptr;
    return out;
  }

 private:
  GstBuffer* buf_ = nullptr;
  GstMapInfo map_{};
};

// One decoded frame: damaged-frame accounting (max-errors), the output
// format, and a buffer with its samples in GStreamer's channel order for
// handle_frame to push.  Frames that end before a seek target are decoded
// but not kept.
GstFlowReturn OnFrame(VxAACDec* dec, const UMC::DecodeLoop::Frame& frame, guint64 end_offset) {
  DecodedInto decoded(dec, frame);
  if (frame.status != UMC::StatusOk) {
    // The base class resets its count whenever data goes out, so the weight
    // is the run of damaged frames: max-errors counts them in a row.
    ++dec->consecutive_errors;
    GstFlowReturn ret = GST_FLOW_OK;
    GST_AUDIO_DECODER_ERROR(dec, static_cast<gint>(dec->consecutive_errors), STREAM, DECODE,
                            ("%s", frame.bytes > 0 ? kTextDamagedFrame : kTextDamagedHeader),
                            ("frame %" G_GUINT64_FORMAT " (status %d): %u bytes of silence",
                             dec->stream_frames, frame.status, frame.bytes),
                            ret);
    if (ret != GST_FLOW_OK) {
      dec->error_posted = TRUE;  // too many: the base class posted an ERROR
      return ret;
    }
  } else {
    dec->consecutive_errors = 0;
  }
  if (frame.bytes == 0) return GST_FLOW_OK;
  UMC::AudioCodecParams info;
  if (dec->loop->Decoder()->GetInfo(&info) != UMC::StatusOk) {
    GST_DEBUG_OBJECT(dec, "dropping a frame decoded before the stream is described");
    return GST_FLOW_OK;
  }
  GstFlowReturn ret = UpdateFormat(dec, info, frame.bytes);
  if (ret != GST_FLOW_OK) return ret;
  const VxAACDecOutput& o = dec->out;
  const guint64 samples = frame.bytes / static_cast<guint>(o.bytes_per_frame);
  if (samples == 0) return GST_FLOW_OK;
  ++dec->stream_frames;
  dec->stream_samples += samples;
  UpdateTags(dec, info);
  // The ALS CRC is known once the last frame is decoded.
  if ((info.profile & 0xFF) == kObjectTypeAls && !dec->crc_reported &&
      dec->loop->Decoder()->AlsCrcStatus() == 0) {
    dec->crc_reported = TRUE;
    GST_ELEMENT_WARNING(dec, STREAM, DECODE, ("%s", kTextAlsCrc),
                        ("after %" G_GUINT64_FORMAT " frames", dec->stream_frames));
  }
  const guint64 first = dec->sample_count;
  dec->sample_count += samples;
  vx_aac_dec_seek_frame(dec, samples, end_offset, OutputBlocks(dec));
  if (GST_CLOCK_TIME_IS_VALID(dec->drop_before)) {
    const GstClockTime end =
        dec->base_time + gst_util_uint64_scale(dec->sample_count, GST_SECOND, o.rate);
    if (end <= dec->drop_before) return GST_FLOW_OK;
    dec->drop_before = GST_CLOCK_TIME_NONE;
  }

  const gsize bytes = samples * static_cast<guint>(o.bytes_per_frame);
  const gboolean reorder = o.reorder && !frame.reordered;
  if (reorder && decoded.Holds()) {
    // In place: the offered buffer is the frame's own.
    VxCopyReordered(frame.pcm, const_cast<guint8*>(frame.pcm), bytes, o.channels,
                    o.bytes_per_frame / o.channels, o.map);
  }
  GstBuffer* buf = decoded.Take(bytes);
  if (!buf) {
    buf = AcquireOutput(dec, bytes);
    if (!buf) {
      GST_ELEMENT_ERROR(dec, RESOURCE, FAILED, (nullptr), ("cannot allocate an output buffer"));
      return GST_FLOW_ERROR;
    }
    if (reorder) {
      GstMapInfo map;
      if (!gst_buffer_map(buf, &map, GST_MAP_WRITE)) {
        gst_buffer_unref(buf);
        GST_ELEMENT_ERROR(dec, RESOURCE, FAILED, (nullptr), ("cannot map an output buffer"));
        return GST_FLOW_ERROR;
      }
      VxCopyReordered(frame.pcm, map.data, bytes, o.channels, o.bytes_per_frame / o.channels,
                      o.map);
      gst_buffer_unmap(buf, &map);
    } else {
      gst_buffer_fill(buf, 0, frame.pcm, bytes);
    }
  }
  if (dec->stamp_next) {
    // After a restart the frame carries its own time; those that follow
    // count samples from it.
    GST_BUFFER_PTS(buf) = dec->base_time + gst_util_uint64_scale(first, GST_SECOND, o.rate);
  }
  dec->pending = g_list_append(dec->pending, buf);
  return GST_FLOW_OK;
}

// Frames of the loaded input until one is found (`*found`), more input is
// needed or the decoder fails.
GstFlowReturn DecodeLoaded(VxAACDec* dec, guint64 head_offset, Event* last) {
  UMC::DecodeLoop& loop = *dec->loop;
  for (;;) {
    UMC::DecodeLoop::Frame frame;
    OfferOutput(dec);
    const Event e = loop.Next(&frame);
    *last = e;
    if (loop.InBand()) {  // input bytes count once consumed (the bitrate tag)
      dec->stream_bytes += loop.Consumed() - dec->load_counted;
      dec->load_counted = loop.Consumed();
    }
    if (e == Event::kNewStream) {
      GST_INFO_OBJECT(dec, "a new ADTS stream starts");
      vx_aac_dec_seek_new_stream(dec);
      continue;
    }
    if (e != Event::kFrame) return GST_FLOW_OK;
    dec->pending_frame = TRUE;
    const guint64 end =
        head_offset == GST_BUFFER_OFFSET_NONE ? head_offset : head_offset + loop.Consumed();
    const GstFlowReturn ret = OnFrame(dec, frame, end);
    if (ret != GST_FLOW_OK) return ret;
    // The further subframes of a LOAS frame come without input: they go out
    // with the frame's first.
    UMC::AACDecoder* aac = loop.Decoder();
    if (aac && aac->PendingSubframes() > 0) continue;
    if (loop.Consumed() > 0 || !loop.InBand()) return GST_FLOW_OK;
  }
}

// The end of an in-band stream inside an ADTS or LOAS frame.
void ReportTruncation(VxAACDec* dec, GstAdapter* adapter, gsize left) {
  guint8 head[3] = {};
  if (left >= 3) gst_adapter_copy(adapter, head, 0, 3);
  const gboolean adts = head[0] == 0xFF && (head[1] & 0xF6) == 0xF0;
  const gboolean loas = head[0] == 0x56 && (head[1] & 0xE0) == 0xE0;
  if (dec->stream_frames > 0 && (adts || loas))
    GST_ELEMENT_WARNING(
        dec, STREAM, DECODE, ("%s", kTextTruncated),
        ("%" G_GSIZE_FORMAT " bytes of a last %s frame not decoded", left, adts ? "ADTS" : "LOAS"));
}

// Raw access units: the whole adapter (one input buffer) is one unit,
// decoded in handle_frame so that the frames of a large unit (an MP4 sample
// of a whole ALS stream) go out one by one instead of piling up.
GstFlowReturn ParseRaw(VxAACDec* dec, gsize avail, gint* length) {
  *length = static_cast<gint>(avail);
  dec->pending_frame = TRUE;
  dec->stream_bytes += avail;
  if (avail > kMaxAccessUnit) {
    GST_ELEMENT_WARNING(dec, STREAM, DECODE, (nullptr),
                        ("dropping an access unit of %" G_GSIZE_FORMAT " bytes", avail));
    return GST_FLOW_OK;
  }
  dec->raw_unit = TRUE;
  return GST_FLOW_OK;
}

// In-band bytes: a window of the adapter at a time, grown while no frame
// fits in it.  *length: what the frame found (and any garbage before it)
// took; GST_FLOW_EOS while more input is needed.
GstFlowReturn ParseInBand(VxAACDec* dec, GstAdapter* adapter, gsize avail, gboolean eos,
                          gint* length) {
  gsize skip = 0;
  const guint8* prefix = nullptr;
  gsize prefix_size = 0;
  if (!vx_aac_dec_seek_input(dec, adapter, &skip, &prefix, &prefix_size)) return GST_FLOW_EOS;
  if (skip > 0) {  // walking to a seek target: whole frames dropped undecoded
    *length = static_cast<gint>(std::min(skip, avail));
    dec->pending_frame = TRUE;
    return GST_FLOW_OK;
  }
  UMC::DecodeLoop& loop = *dec->loop;
  if (prefix && loop.SetPrefix(prefix, prefix_size) != UMC::StatusOk) return GST_FLOW_ERROR;
  // Less than a whole ALS frame: not copied again for every buffer that
  // arrives (one-byte buffers made that quadratic).
  if (!eos && avail + prefix_size < loop.MinInput()) return GST_FLOW_EOS;
  guint64 distance = 0;
  const guint64 prev = gst_adapter_prev_offset(adapter, &distance);
  const guint64 head_offset = prev == GST_BUFFER_OFFSET_NONE ? prev : prev + distance;
  for (;;) {
    const gsize window = std::min(avail, std::max<gsize>(dec->window, loop.MinInput() + 1));
    guint8* area = loop.InputArea(window);
    if (!area) {
      GST_ELEMENT_ERROR(dec, RESOURCE, FAILED, (nullptr), ("cannot allocate the input copy"));
      return GST_FLOW_ERROR;
    }
    gst_adapter_copy(adapter, area, 0, window);
    loop.Loaded(window, eos && window == avail);
    dec->load_counted = 0;
    Event e = Event::kNeedData;
    const GstFlowReturn ret = DecodeLoaded(dec, head_offset, &e);
    if (ret != GST_FLOW_OK) return ret;
    const gsize used = loop.Consumed();
    if (e == Event::kFailed) {
      if (!ReportFailure(dec)) return GST_FLOW_ERROR;
      *length = static_cast<gint>(avail);  // the rest goes with the decoder
      dec->pending_frame = TRUE;
      dec->stream_bytes += avail - dec->load_counted;
      return GST_FLOW_OK;
    }
    if (used > 0) {  // a frame, or garbage skipped
      *length = static_cast<gint>(used);
      dec->pending_frame = TRUE;
      dec->window = std::max(kMinWindow, 2 * used);
      return GST_FLOW_OK;
    }
    if (dec->pending) {
      // Frames delivered without input (later frames of one unit): they go
      // out with the next frame found.
      dec->pending_frame = FALSE;
      return GST_FLOW_EOS;
    }
    if (window < avail) {
      dec->window = std::min(avail, 2 * window);
      continue;
    }
    if (eos && avail > 0) {
      dec->stream_bytes += avail - dec->load_counted;
      ReportTruncation(dec, adapter, avail);
    }
    return GST_FLOW_EOS;
  }
}

// Silence for a GAP when the plc property is set (the base class hands an
// empty buffer whose duration is the gap).
GstFlowReturn ConcealGap(VxAACDec* dec, GstBuffer* gap) {
  GstAudioDecoder* base = GST_AUDIO_DECODER(dec);
  const VxAACDecOutput& o = dec->out;
  const GstClockTime duration = GST_BUFFER_DURATION(gap);
  if (!o.caps_set || !GST_CLOCK_TIME_IS_VALID(duration))
    return gst_audio_decoder_finish_frame(base, nullptr, 1);
  const guint64 samples = gst_util_uint64_scale_round(duration, o.rate, GST_SECOND);
  if (samples == 0 || samples > guint64{G_MAXINT32} / static_cast<guint>(o.bytes_per_frame))
    return gst_audio_decoder_finish_frame(base, nullptr, 1);
  const gsize bytes = samples * static_cast<guint>(o.bytes_per_frame);
  GstBuffer* buf = gst_audio_decoder_allocate_output_buffer(base, bytes);
  if (!buf) return GST_FLOW_ERROR;
  gst_buffer_memset(buf, 0, 0, bytes);
  return gst_audio_decoder_finish_frame(base, buf, 1);
}

// After a seek converted here: the decoder restarts at the planned point
// with the seek's segment; the first frame kept is stamped with the time
// of its first sample (exact) or with the requested time (estimated).
void ApplyRestart(VxAACDec* dec, const VxSeekRestart& r) {
  vx_aac_dec_close_stream(dec);
  dec->stamp_next = TRUE;
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

// Byte segments (upstream seeks in bytes: the element linked to filesrc)
// become TIME segments: the segment of a seek converted here, else one from
// zero with time stamps counted from the samples.
GstEvent* HandleSegment(VxAACDec* dec, GstEvent* event) {
  const GstSegment* in = nullptr;
  gst_event_parse_segment(event, &in);
  if (in->format != GST_FORMAT_BYTES) {
    if (in->format == GST_FORMAT_TIME) {
      dec->stamp_next = FALSE;
      dec->drop_before = GST_CLOCK_TIME_NONE;
    }
    return event;
  }
  VxSeekRestart restart{};
  GstSegment time;
  gst_segment_init(&time, GST_FORMAT_TIME);
  if (vx_aac_dec_seek_segment(dec, in, gst_event_get_seqnum(event), &restart)) {
    time = restart.segment;
    ApplyRestart(dec, restart);
  } else {
    time.rate = in->rate;
    time.applied_rate = in->applied_rate;
    time.flags = in->flags;
    dec->base_time = 0;
    dec->sample_count = 0;
    dec->stamp_next = FALSE;
    dec->drop_before = GST_CLOCK_TIME_NONE;
  }
  GstEvent* replaced = gst_event_new_segment(&time);
  gst_event_set_seqnum(replaced, gst_event_get_seqnum(event));
  gst_event_unref(event);
  return replaced;
}

void ResetStreamCounters(VxAACDec* dec) {
  dec->stream_bytes = dec->stream_frames = dec->stream_samples = 0;
  dec->stream_profile = 0;
  dec->crc_reported = FALSE;
  dec->error_posted = FALSE;
  dec->tags_sent = FALSE;
  dec->bitrate_sent = 0;
  dec->bitrate_check_at = 0;
}

void ReleasePool(VxAACDec* dec) {
  DropTarget(dec);
  if (!dec->pool) return;
  gst_buffer_pool_set_active(dec->pool, FALSE);
  gst_object_unref(dec->pool);
  dec->pool = nullptr;
  dec->pool_size = 0;
}

}  // namespace

void vx_aac_dec_close_stream(VxAACDec* dec) {
  if (dec->loop) dec->loop->Close();
  dec->loop_open = FALSE;
  dec->window = kMinWindow;
  dec->consecutive_errors = 0;
  DropPending(dec);
}

gboolean vx_aac_dec_start(GstAudioDecoder* base) {
  VxAACDec* dec = GST_VX_AAC_DEC(base);
  // The base class clears its context before start: a GAP with the plc
  // property set comes to handle_frame() as an empty buffer.
  gst_audio_decoder_set_plc_aware(base, TRUE);
  dec->next_time = GST_CLOCK_TIME_NONE;
  vx_aac_dec_close_stream(dec);
  ResetStreamCounters(dec);
  dec->out = VxAACDecOutput{};
  dec->base_time = 0;
  dec->sample_count = 0;
  dec->stamp_next = FALSE;
  dec->drop_before = GST_CLOCK_TIME_NONE;
  vx_aac_dec_seek_new_stream(dec);
  return TRUE;
}

// Nothing survives a stop: a restarted element negotiates afresh.
gboolean vx_aac_dec_stop(GstAudioDecoder* base) {
  VxAACDec* dec = GST_VX_AAC_DEC(base);
  vx_aac_dec_close_stream(dec);
  delete dec->loop;
  dec->loop = nullptr;
  if (dec->codec_data) gst_buffer_unref(dec->codec_data);
  dec->codec_data = nullptr;
  ReleasePool(dec);
  dec->out = VxAACDecOutput{};
  dec->rate = 0;
  dec->stream_type = 0;
  dec->frame_bytes = 0;
  ResetStreamCounters(dec);
  dec->base_time = 0;
  dec->sample_count = 0;
  dec->stamp_next = FALSE;
  dec->drop_before = GST_CLOCK_TIME_NONE;
  vx_aac_dec_seek_new_stream(dec);
  return TRUE;
}

// A flush (FLUSH_STOP) starts a fresh decoder from the same caps.  A
// discontinuity keeps the decoder (its overlap still fits the data after
// a DISCONT flag), except in reverse playback, where each chunk of frames
// is decoded afresh.
void vx_aac_dec_flush(GstAudioDecoder* base, gboolean hard) {
  VxAACDec* dec = GST_VX_AAC_DEC(base);
  if (hard) dec->next_time = GST_CLOCK_TIME_NONE;
  if (hard || base->input_segment.rate < 0.0) vx_aac_dec_close_stream(dec);
  if (hard) vx_aac_dec_seek_flush(dec);
  DropPending(dec);
}

GstFlowReturn vx_aac_dec_parse(GstAudioDecoder* base, GstAdapter* adapter, gint* offset,
                               gint* length) {
  VxAACDec* dec = GST_VX_AAC_DEC(base);
  *offset = 0;
  dec->pending_frame = FALSE;
  dec->raw_unit = FALSE;
  if (dec->error_posted) return GST_FLOW_ERROR;  // the stream cannot be decoded
  if (!dec->loop_open && !OpenLoop(dec)) return GST_FLOW_ERROR;
  if (gst_pad_needs_reconfigure(SrcPad(dec))) {
    // Downstream may now want the other sample format.
    const gboolean want = DownstreamWantsFloat(dec);
    if (want != dec->float_output) {
      dec->float_output = want;
      dec->loop->SetFloatOutput(want);
    }
  }
  const gsize avail = gst_adapter_available(adapter);
  if (avail == 0) return GST_FLOW_EOS;
  gboolean sync = FALSE, eos = FALSE;
  gst_audio_decoder_get_parse_state(base, &sync, &eos);
  const GstFlowReturn ret = dec->loop->InBand() ? ParseInBand(dec, adapter, avail, eos, length)
                                                : ParseRaw(dec, avail, length);
  if (ret != GST_FLOW_OK && ret != GST_FLOW_EOS) DropPending(dec);
  return ret;
}

namespace {

// The input frame's time before its first output goes out: never behind the
// output already pushed, and the first output's own time after a restart.
void StampInput(VxAACDec* dec, GstBuffer* buffer, GstBuffer* first_output) {
  GstAudioDecoder* base = GST_AUDIO_DECODER(dec);
  const GstClockTime pts = GST_BUFFER_PTS(buffer);
  // The tolerance (read under the object lock) only for a time behind.
  if (GST_CLOCK_TIME_IS_VALID(pts) && GST_CLOCK_TIME_IS_VALID(dec->next_time) &&
      pts < dec->next_time && base->input_segment.rate > 0.0 &&
      pts + gst_audio_decoder_get_tolerance(base) < dec->next_time) {
    // Time stamps never go back within a segment: an upstream time behind
    // the output already pushed (a parser that lost count over damaged
    // frames) is replaced by the output's position; one ahead of it (lost
    // data) is taken.
    GST_DEBUG_OBJECT(dec, "input time %" GST_TIME_FORMAT " behind the output", GST_TIME_ARGS(pts));
    GST_BUFFER_PTS(buffer) = dec->next_time;
  }
  if (first_output && dec->stamp_next) {
    // The input frame's time becomes the output's (the base class stamps
    // from the frames it was given).
    GST_BUFFER_PTS(buffer) = GST_BUFFER_PTS(first_output);
    dec->stamp_next = FALSE;
  }
}

// Pushes `outputs` as parts of the current input frame (the list is freed);
// after an error the rest are dropped.
GstFlowReturn PushSubframes(GstAudioDecoder* base, GList* outputs) {
  GstFlowReturn ret = GST_FLOW_OK;
  for (GList* l = outputs; l; l = l->next) {
    GstBuffer* out = static_cast<GstBuffer*>(l->data);
    if (ret == GST_FLOW_OK)
      ret = gst_audio_decoder_finish_subframe(base, out);
    else
      gst_buffer_unref(out);
  }
  g_list_free(outputs);
  return ret;
}

// The unit as the loop's input: an ALS unit in place (mapped, and held
// against the base class releasing the input frame, for as long as this
// object lives), any other as a padded copy.
class RawInput {
 public:
  RawInput(UMC::DecodeLoop& loop, GstBuffer* buffer) : loop_(loop), buffer_(buffer) {}
  ~RawInput() {
    if (!mapped_) return;
    loop_.Release();
    gst_buffer_unmap(buffer_, &map_);
    gst_buffer_unref(buffer_);
  }
  RawInput(const RawInput&) = delete;
  RawInput& operator=(const RawInput&) = delete;

  gboolean Load() {
    if (gst_buffer_map(buffer_, &map_, GST_MAP_READ)) {
      mapped_ = loop_.Borrow(map_.data, map_.size, true);
      if (mapped_) {
        gst_buffer_ref(buffer_);
        return TRUE;
      }
      gst_buffer_unmap(buffer_, &map_);
    }
    const gsize avail = gst_buffer_get_size(buffer_);
    guint8* area = loop_.InputArea(avail);
    if (!area) return FALSE;
    gst_buffer_extract(buffer_, 0, area, avail);
    loop_.Loaded(avail, true);
    return TRUE;
  }

 private:
  UMC::DecodeLoop& loop_;
  GstBuffer* buffer_;
  GstMapInfo map_{};
  gboolean mapped_ = FALSE;
};

// Decodes the raw access unit `buffer`.  A unit of one frame goes out as
// the input frame's output; the frames of a larger unit go out as they are
// decoded, so memory holds one frame's output rather than the unit's.
GstFlowReturn DecodeRawUnit(VxAACDec* dec, GstBuffer* buffer) {
  GstAudioDecoder* base = GST_AUDIO_DECODER(dec);
  RawInput input(*dec->loop, buffer);
  if (!input.Load()) {
    GST_ELEMENT_ERROR(dec, RESOURCE, FAILED, (nullptr), ("cannot allocate the input copy"));
    return GST_FLOW_ERROR;
  }
  GList* held = nullptr;  // outputs not pushed yet
  gboolean pushed = FALSE, stamped = FALSE;
  Event e = Event::kNeedData;
  // Every frame of the unit (an MP4 sample may hold several ALS frames).
  for (;;) {
    const GstFlowReturn ret = DecodeLoaded(dec, GST_BUFFER_OFFSET_NONE, &e);
    held = g_list_concat(held, dec->pending);
    dec->pending = nullptr;
    if (ret != GST_FLOW_OK) {
      g_list_free_full(held, reinterpret_cast<GDestroyNotify>(gst_buffer_unref));
      return ret;
    }
    if (e != Event::kFrame) break;
    if (!stamped && held) {
      StampInput(dec, buffer, static_cast<GstBuffer*>(held->data));
      stamped = TRUE;
    }
    if (held && held->next) {  // a second frame: the unit goes out in parts
      GList* last = g_list_last(held);
      held = g_list_remove_link(held, last);
      const GstFlowReturn r = PushSubframes(base, held);
      held = last;
      pushed = TRUE;
      if (r != GST_FLOW_OK) {
        g_list_free_full(held, reinterpret_cast<GDestroyNotify>(gst_buffer_unref));
        return r;
      }
    }
  }
  if (e == Event::kFailed && !ReportFailure(dec)) {
    g_list_free_full(held, reinterpret_cast<GDestroyNotify>(gst_buffer_unref));
    return GST_FLOW_ERROR;
  }
  if (!stamped) StampInput(dec, buffer, held ? static_cast<GstBuffer*>(held->data) : nullptr);
  if (!pushed) {
    GstBuffer* out = held ? static_cast<GstBuffer*>(held->data) : nullptr;
    g_list_free(held);
    return gst_audio_decoder_finish_frame(base, out, 1);
  }
  const GstFlowReturn ret = PushSubframes(base, held);
  const GstFlowReturn done = gst_audio_decoder_finish_subframe(base, nullptr);
  return ret != GST_FLOW_OK ? ret : done;
}

}  // namespace

GstFlowReturn vx_aac_dec_handle_frame(GstAudioDecoder* base, GstBuffer* buffer) {
  VxAACDec* dec = GST_VX_AAC_DEC(base);
  if (!buffer) return GST_FLOW_OK;  // draining: parse() keeps nothing back
  if (!dec->pending_frame && gst_buffer_get_size(buffer) == 0) return ConcealGap(dec, buffer);
  if (dec->raw_unit) {
    dec->raw_unit = FALSE;
    dec->pending_frame = FALSE;
    return DecodeRawUnit(dec, buffer);
  }
  GList* outputs = dec->pending;
  dec->pending = nullptr;
  dec->pending_frame = FALSE;
  StampInput(dec, buffer, outputs ? static_cast<GstBuffer*>(outputs->data) : nullptr);
  if (!outputs) return gst_audio_decoder_finish_frame(base, nullptr, 1);
  if (!outputs->next) {
    GstBuffer* out = static_cast<GstBuffer*>(outputs->data);
    g_list_free(outputs);
    return gst_audio_decoder_finish_frame(base, out, 1);
  }
  const GstFlowReturn ret = PushSubframes(base, outputs);
  const GstFlowReturn done = gst_audio_decoder_finish_subframe(base, nullptr);
  return ret != GST_FLOW_OK ? ret : done;
}

namespace {

// The base class clips to the segment from times truncated to the
// nanosecond, which can keep one sample too many at a clipped edge (2624
// samples at 44100 Hz become 59501133 ns, which clipping reads as 2623.99
// samples and rounds down).  A buffer clipped at the segment's start or
// stop keeps exactly the samples between its edges' rounded positions;
// FALSE when none is left.
gboolean TrimClipped(GstAudioDecoder* base, GstBuffer* buf, gint rate, gint bpf) {
  const GstSegment& seg = base->output_segment;
  const GstClockTime pts = GST_BUFFER_PTS(buf), dur = GST_BUFFER_DURATION(buf);
  if (seg.format != GST_FORMAT_TIME || !GST_CLOCK_TIME_IS_VALID(dur) || seg.rate < 0.0) return TRUE;
  const gboolean at_start = seg.start > 0 && pts == seg.start;
  const gboolean at_stop = GST_CLOCK_TIME_IS_VALID(seg.stop) && pts + dur == seg.stop;
  if (!at_start && !at_stop) return TRUE;
  const guint64 first = gst_util_uint64_scale_round(pts, rate, GST_SECOND);
  const guint64 last = gst_util_uint64_scale_round(pts + dur, rate, GST_SECOND);
  const gsize samples = gst_buffer_get_size(buf) / static_cast<gsize>(bpf);
  const gsize keep = last > first ? static_cast<gsize>(last - first) : 0;
  if (samples <= keep) return TRUE;
  if (keep == 0) return FALSE;
  const gsize extra = (samples - keep) * static_cast<gsize>(bpf);
  gst_buffer_resize(buf, at_start ? static_cast<gssize>(extra) : 0,
                    static_cast<gssize>(keep * static_cast<gsize>(bpf)));
  return TRUE;
}

}  // namespace

// Buffer offsets are sample positions in the stream (its stream time).
GstFlowReturn vx_aac_dec_pre_push(GstAudioDecoder* base, GstBuffer** buffer) {
  VxAACDec* dec = GST_VX_AAC_DEC(base);
  const VxAACDecOutput& o = dec->out;
  if (!o.caps_set || !GST_BUFFER_PTS_IS_VALID(*buffer) || o.bytes_per_frame <= 0)
    return GST_FLOW_OK;
  *buffer = gst_buffer_make_writable(*buffer);
  if (!TrimClipped(base, *buffer, o.rate, o.bytes_per_frame)) {
    gst_buffer_unref(*buffer);  // no sample of it lies in the segment
    *buffer = nullptr;
    return GST_FLOW_OK;
  }
  if (GST_BUFFER_DURATION_IS_VALID(*buffer))
    dec->next_time = GST_BUFFER_PTS(*buffer) + GST_BUFFER_DURATION(*buffer);
  const guint64 time =
      gst_segment_to_stream_time(&base->output_segment, GST_FORMAT_TIME, GST_BUFFER_PTS(*buffer));
  if (!GST_CLOCK_TIME_IS_VALID(time)) return GST_FLOW_OK;
  const guint64 first = gst_util_uint64_scale_round(time, o.rate, GST_SECOND);
  GST_BUFFER_OFFSET(*buffer) = first;
  GST_BUFFER_OFFSET_END(*buffer) =
      first + gst_buffer_get_size(*buffer) / static_cast<guint>(o.bytes_per_frame);
  return GST_FLOW_OK;
}

gboolean vx_aac_dec_sink_event(GstAudioDecoder* base, GstEvent* event) {
  VxAACDec* dec = GST_VX_AAC_DEC(base);
  GST_DEBUG_OBJECT(dec, "event %" GST_PTR_FORMAT, event);
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_STREAM_START:
      dec->next_time = GST_CLOCK_TIME_NONE;
      ResetStreamCounters(dec);
      vx_aac_dec_seek_new_stream(dec);
      break;
    case GST_EVENT_SEGMENT:
      dec->next_time = GST_CLOCK_TIME_NONE;
      event = HandleSegment(dec, event);
      break;
    default:
      break;
  }
  return GST_AUDIO_DECODER_CLASS(g_type_class_peek(GST_TYPE_AUDIO_DECODER))
      ->sink_event(base, event);
}

// The base class reports input without output at the end of a stream in
// its own words; the element says why (an error it posted already, or its
// own text for input in which no stream was found).
gboolean vx_aac_dec_post_message(GstElement* element, GstMessage* message) {
  VxAACDec* dec = GST_VX_AAC_DEC(element);
  GstElementClass* parent = GST_ELEMENT_CLASS(g_type_class_peek(GST_TYPE_AUDIO_DECODER));
  if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR &&
      GST_MESSAGE_SRC(message) == GST_OBJECT(element)) {
    GError* err = nullptr;
    gst_message_parse_error(message, &err, nullptr);
    const gboolean nothing = err &&
                             g_error_matches(err, GST_STREAM_ERROR, GST_STREAM_ERROR_DECODE) &&
                             g_strcmp0(err->message, kTextBaseNoFrames) == 0;
    g_clear_error(&err);
    if (nothing) {
      gst_message_unref(message);
      if (dec->error_posted) return TRUE;
      dec->error_posted = TRUE;
      gchar* debug = g_strdup_printf("%" G_GUINT64_FORMAT " bytes of input", dec->stream_bytes);
      GError* ours =
          g_error_new_literal(GST_STREAM_ERROR, GST_STREAM_ERROR_DECODE, kTextNothingDecoded);
      message = gst_message_new_error(GST_OBJECT(element), ours, debug);
      g_error_free(ours);
      g_free(debug);
    }
  }
  return parent->post_message(element, message);
}

// Frame-sized buffers from a pool: downstream's when it offers one, else our
// own, with downstream's allocator.
gboolean vx_aac_dec_decide_allocation(GstAudioDecoder* base, GstQuery* query) {
  VxAACDec* dec = GST_VX_AAC_DEC(base);
  ReleasePool(dec);
  GstCaps* caps = nullptr;
  gst_query_parse_allocation(query, &caps, nullptr);
  GstBufferPool* pool = nullptr;
  guint size = 0, min = 0, max = 0;
  const gboolean have_pool = gst_query_get_n_allocation_pools(query) > 0;
  if (have_pool) gst_query_parse_nth_allocation_pool(query, 0, &pool, &size, &min, &max);
  const guint want = static_cast<guint>(dec->frame_bytes);
  if (want > 0 && caps) {
    GstAllocator* allocator = nullptr;
    GstAllocationParams params;
    gst_allocation_params_init(&params);
    if (gst_query_get_n_allocation_params(query) > 0)
      gst_query_parse_nth_allocation_param(query, 0, &allocator, &params);
    for (int attempt = 0; attempt < 2 && !dec->pool; ++attempt) {
      if (!pool) {
        pool = gst_buffer_pool_new();
        min = max = 0;
      }
      GstStructure* config = gst_buffer_pool_get_config(pool);
      gst_buffer_pool_config_set_params(config, caps, want, min, max);
      gst_buffer_pool_config_set_allocator(config, allocator, &params);
      if (gst_buffer_pool_set_config(pool, config) && gst_buffer_pool_set_active(pool, TRUE)) {
        dec->pool = pool;
        dec->pool_size = want;
      } else {
        gst_object_unref(pool);  // downstream's pool refused our size: our own
        pool = nullptr;
      }
    }
    if (allocator) gst_object_unref(allocator);
    if (dec->pool) {
      if (have_pool)
        gst_query_set_nth_allocation_pool(query, 0, dec->pool, want, min, max);
      else
        gst_query_add_allocation_pool(query, dec->pool, want, min, max);
      pool = nullptr;  // dec->pool holds our reference, the query its own
    }
  }
  if (pool) gst_object_unref(pool);
  return GST_AUDIO_DECODER_CLASS(g_type_class_peek(GST_TYPE_AUDIO_DECODER))
      ->decide_allocation(base, query);
}

gint vx_aac_dec_stream_profile(GstElement* element) {
  return GST_IS_VX_AAC_DEC(element) ? GST_VX_AAC_DEC(element)->stream_profile : 0;
}
