// Seeking without a parser, and the source pad's queries.
//
// Linked straight to filesrc or typefind (decodebin and playbin may do that:
// the element ranks above the AAC parser) the element receives bytes whose
// times nobody upstream knows.  A TIME seek that upstream refuses is turned
// into a BYTES seek here.  Seeks are exact wherever the stream allows it:
// decoding restarts from a point whose sample position is known (the stream
// start, an ADTS frame start or an ALS random-access unit passed while
// decoding, an entry of the ALS random-access table), whole frames up to the
// target are skipped without decoding where the framing gives their length
// (ADTS frame lengths, ALS random-access unit sizes), and decoded frames that
// end before the target are dropped.  Only an ADTS seek far beyond the
// decoded part and without the ACCURATE flag is estimated from the average
// input bytes per second; its time stamps then start at the requested time.
#include <algorithm>
#include <cstring>
#include <vector>

#include "als/als_decoder.h"
#include "gst/vxaacdec_private.h"
#include "umc/bit_reader.h"
#include "umc/inband_framer.h"
#include "umc/stream_detect.h"

namespace {

enum class Kind { kUnknown, kMaybeAdts, kAdts, kAdif, kAls };
enum class Walk { kNone, kAdts, kAls };

// A restart point: upstream byte offset and output samples before it.
struct Entry {
  guint64 offset = 0;
  guint64 sample = 0;
};

// Bytes of stream head examined for an ALS header (with the stored file
// header and trailer it carries).
constexpr gsize kMaxAlsHeader = 1u << 20;
// Bytes an ADTS seek without the ACCURATE flag may skip through to be exact
// (about two minutes at 128 kbit/s); farther targets are estimated, so that
// a seek over a slow source does not read everything up to the target.
constexpr guint64 kWalkBudget = 2u << 20;
// AAC frames decoded before the target frame: the first rebuilds the
// overlap, the second settles SBR and the window shape.
constexpr guint64 kWarmupFrames = 2;
// Restart points are kept about this often (in seconds).
constexpr guint kIndexSpacingDivisor = 2;
// An ALS random-access unit larger than this is taken as damage.
constexpr guint64 kMaxAlsUnit = 1u << 30;

// The ALS stream header, kept to restart decoding at a random-access unit.
struct AlsHeader {
  std::vector<guint8> bytes;  // "ALS\0" and the configuration as stored
  AlsConfig cfg{};
  gsize crc_at = 0;            // offset of the CRC word (0: none)
  gsize table_at = 0;          // offset of the random-access table (0: none)
  std::vector<guint32> units;  // random-access unit sizes of the table
};

guint32 LoadBE32(const guint8* p) {
  return (guint32{p[0]} << 24) | (guint32{p[1]} << 16) | (guint32{p[2]} << 8) | p[3];
}

void StoreBE32(guint8* p, guint32 v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<guint8>(v >> (24 - 8 * i));
}

// Parses "ALS\0" and the ALSSpecificConfig from `p`.  False while the bytes
// do not hold the whole header.
bool ParseAlsHeader(const guint8* p, gsize n, AlsHeader* h) {
  if (n < 8 || n > G_MAXINT32) return false;
  UMC::BitReader r;
  UMC::BitReaderInit(r, p + 4, static_cast<int32_t>(n - 4));
  AlsConfig c;
  if (ALSConfigParse(c, r) != 0) return false;
  const gsize length = 4 + static_cast<gsize>((UMC::BitReaderBitsConsumed(r) + 7) >> 3);
  int64_t bit = c.tables_bit + (c.chan_sort ? int64_t{c.channels} * c.chan_pos_bits : 0);
  bit = (bit + 7) & ~int64_t{7};
  gsize at = 4 + static_cast<gsize>(bit >> 3) + 8 + c.header_size + c.trailer_size;
  h->crc_at = 0;
  h->table_at = 0;
  h->units.clear();
  if (c.crc_enabled) {
    h->crc_at = at;
    at += 4;
  }
  if (c.ra_flag == 2 && c.random_access > 0) {
    if (at + gsize{c.ra_units} * 4 > length) return false;
    h->table_at = at;
    for (guint32 i = 0; i < c.ra_units; ++i) h->units.push_back(LoadBE32(p + at + 4 * i));
  }
  h->cfg = c;
  h->bytes.assign(p, p + length);
  return true;
}

// The header of a stream that starts at random-access frame `frame`: the
// sample count shortened by the frames before it (so the decoder finds the
// last frame where it is), the table without the units before it, and no
// CRC (it covers the whole stream).
std::vector<guint8> AlsHeaderFrom(const AlsHeader& h, guint64 frame) {
  std::vector<guint8> out = h.bytes;
  if (frame == 0) return out;
  const AlsConfig& c = h.cfg;
  if (h.table_at) {
    const guint64 unit = frame / static_cast<guint64>(c.random_access);
    const gsize drop = static_cast<gsize>(std::min<guint64>(unit, h.units.size())) * 4;
    out.erase(out.begin() + static_cast<long>(h.table_at),
              out.begin() + static_cast<long>(h.table_at + drop));
  }
  if (h.crc_at) {
    out.erase(out.begin() + static_cast<long>(h.crc_at),
              out.begin() + static_cast<long>(h.crc_at + 4));
    out[21] &= 0x7F;  // crc_enabled: bit 136 of the configuration
  }
  if (c.samples != 0xFFFFFFFFu) {
    const guint64 before = frame * static_cast<guint64>(c.frame_length);
    StoreBE32(out.data() + 8, static_cast<guint32>(before < c.samples ? c.samples - before : 0));
  }
  return out;
}

}  // namespace

struct VxAACDecSeek {
  // What the stream is, learned at its start (written by the streaming
  // thread under the object lock, read by seeks and queries).
  Kind kind = Kind::kUnknown;
  gboolean tag_checked = FALSE;
  gboolean head_done = FALSE;
  guint64 tag_end = 0;  // bytes of a leading ID3v2 tag
  gboolean have_als = FALSE;
  AlsHeader als;
  // Restart points in increasing order, and decoding progress.
  std::vector<Entry> index;
  gboolean position_known = FALSE;
  guint64 stream_sample = 0;  // output samples before the next frame
  Entry last;                 // end of the last decoded frame
  gboolean have_last = FALSE;
  guint64 frame_samples = 0;  // output samples of one AAC frame (raw data block)
  gint rate = 0;              // output rate
  // A converted seek waiting for its segment.
  gboolean pending = FALSE;
  guint32 pending_seqnum = 0;
  GstSegment pending_segment;
  gboolean pending_exact = FALSE;
  Walk pending_walk = Walk::kNone;
  Entry pending_from;
  guint64 pending_target = 0;
  guint64 pending_frame = 0;
  // The walk in progress (streaming thread only).
  Walk walk = Walk::kNone;
  guint64 walk_target = 0;     // ADTS: first sample to decode; ALS: target frame
  guint64 walk_frame = 0;      // ALS: frame at the adapter's head
  guint64 skip = 0;            // bytes of the frame or unit being skipped still to drop
  guint32 adts_key = 0;        // stream fields of the first frame walked
  std::vector<guint8> prefix;  // ALS header to put in front of a resumed unit
  gboolean prefix_given = FALSE;
};

namespace {

GstPad* SinkPad(VxAACDec* dec) {
  return GST_AUDIO_DECODER_SINK_PAD(dec);
}

GstAudioDecoderClass* ParentClass() {
  return GST_AUDIO_DECODER_CLASS(g_type_class_peek(GST_TYPE_AUDIO_DECODER));
}

// Upstream byte offset of the adapter's first byte.
bool HeadOffset(GstAdapter* adapter, guint64* offset) {
  guint64 distance = 0;
  const guint64 prev = gst_adapter_prev_offset(adapter, &distance);
  if (prev == GST_BUFFER_OFFSET_NONE) return false;
  *offset = prev + distance;
  return true;
}

void ForgetStream(VxAACDecSeek& s) {
  s.kind = Kind::kUnknown;
  s.tag_checked = s.head_done = FALSE;
  s.tag_end = 0;
  s.have_als = FALSE;
  s.als = AlsHeader{};
  s.index.clear();
  s.position_known = FALSE;
  s.stream_sample = 0;
  s.last = Entry{};
  s.have_last = FALSE;
  s.frame_samples = 0;
  s.rate = 0;
  s.walk = Walk::kNone;
  s.skip = 0;
  s.adts_key = 0;
  s.prefix.clear();
  s.prefix_given = FALSE;
}

gboolean Ready(VxAACDecSeek& s, Kind kind) {
  s.kind = kind;
  s.head_done = TRUE;
  return TRUE;
}

// Looks at the first bytes of a stream read from offset 0: framing, ID3 tag
// and the ALS header.  Returns FALSE while more bytes are needed.
gboolean ExamineHead(VxAACDec* dec, GstAdapter* adapter, VxAACDecSeek& s) {
  guint64 head = 0;
  const gsize avail = gst_adapter_available(adapter);
  if (!HeadOffset(adapter, &head)) return avail == 0 ? FALSE : Ready(s, Kind::kUnknown);
  if (!s.tag_checked) {
    if (head != 0) return Ready(s, Kind::kUnknown);  // the start was not seen
    if (avail < 10) return FALSE;
    guint8 id3[10];
    gst_adapter_copy(adapter, id3, 0, 10);
    s.tag_end = static_cast<guint64>(UMC::Id3TagLength(id3));
    s.tag_checked = TRUE;
    s.index.assign(1, Entry{});
    s.position_known = TRUE;
    s.stream_sample = 0;
  }
  if (head > s.tag_end) return Ready(s, Kind::kUnknown);
  const gsize at = static_cast<gsize>(s.tag_end - head);
  if (avail < at + 4) return FALSE;
  guint8 magic[4];
  gst_adapter_copy(adapter, magic, at, 4);
  if (dec->stream_type == 2 || std::memcmp(magic, "ADIF", 4) == 0) return Ready(s, Kind::kAdif);
  // LOAS: a restart would wait for the next StreamMuxConfig, and one frame
  // may hold several access units; no byte seeks.
  if (dec->stream_type == 3 || (magic[0] == 0x56 && (magic[1] & 0xE0) == 0xE0))
    return Ready(s, Kind::kUnknown);
  if (std::memcmp(magic, "ALS\0", 4) != 0) return Ready(s, Kind::kMaybeAdts);
  const gsize n = std::min(avail - at, kMaxAlsHeader);
  const guint8* p = static_cast<const guint8*>(gst_adapter_map(adapter, at + n));
  const bool parsed = p && ParseAlsHeader(p + at, n, &s.als);
  if (p) gst_adapter_unmap(adapter);
  if (!parsed && n < kMaxAlsHeader) return FALSE;
  s.have_als = parsed;
  if (parsed && s.als.cfg.random_access > 0)
    s.index.push_back(Entry{s.tag_end + s.als.bytes.size(), 0});
  return Ready(s, Kind::kAls);
}

// Bytes of the frame or unit being skipped that the adapter holds now
// (they are dropped as one undecoded frame).
gsize TakeSkipped(GstAdapter* adapter, VxAACDecSeek& s) {
  const gsize n = static_cast<gsize>(std::min<guint64>(s.skip, gst_adapter_available(adapter)));
  s.skip -= n;
  return n;
}

// ADTS: whole frames that end before the first frame to decode are
// skipped.  *drop: bytes to drop now; FALSE while more input is needed.  A
// header that does not fit ends the walk early (decoding then drops what
// comes before the target).
gboolean WalkAdts(GstAdapter* adapter, VxAACDecSeek& s, gsize* drop) {
  if (s.skip > 0) {
    *drop = TakeSkipped(adapter, s);
    return *drop > 0;
  }
  if (gst_adapter_available(adapter) < 9) return FALSE;
  guint8 h[9];
  gst_adapter_copy(adapter, h, 0, 9);
  UMC::AdtsFrameHeader header{};
  const UMC::AdtsHeaderResult r = UMC::ReadAdtsFrameHeader(h, 9, header);
  const bool plausible = r == UMC::kAdtsHeaderOk || r == UMC::kAdtsNeedBytes;
  const guint32 key = plausible ? UMC::AdtsStreamKey(h) : 0;
  // number_of_raw_data_blocks_in_frame + 1 AAC frames.
  const guint64 samples = s.frame_samples * static_cast<guint64>(header.blocks);
  if (!plausible || s.frame_samples == 0 || (s.adts_key && key != s.adts_key) ||
      s.stream_sample + samples > s.walk_target) {
    s.walk = Walk::kNone;  // decoding starts here
    return TRUE;
  }
  s.adts_key = key;
  s.stream_sample += samples;
  s.skip = static_cast<guint64>(header.variable.aac_frame_length);
  *drop = TakeSkipped(adapter, s);
  return *drop > 0;
}

// ALS: random-access units (each starts with its size) before the one
// holding the target frame are skipped.
gboolean WalkAls(GstAdapter* adapter, VxAACDecSeek& s, gsize* drop) {
  if (s.skip > 0) {
    *drop = TakeSkipped(adapter, s);
    return *drop > 0;
  }
  const AlsConfig& c = s.als.cfg;
  const guint64 ra = static_cast<guint64>(c.random_access);
  if (s.walk_frame + ra > s.walk_target || c.ra_flag != 1) {
    s.walk = Walk::kNone;
    return TRUE;
  }
  if (gst_adapter_available(adapter) < 4) return FALSE;
  guint8 b[4];
  gst_adapter_copy(adapter, b, 0, 4);
  const guint64 size = LoadBE32(b);
  if (size == 0 || size > kMaxAlsUnit) {
    s.walk = Walk::kNone;
    return TRUE;
  }
  s.skip = 4 + size;
  s.walk_frame += ra;
  s.stream_sample += ra * static_cast<guint64>(c.frame_length);
  *drop = TakeSkipped(adapter, s);
  return *drop > 0;
}

// Output samples per second and bytes per output sample seen so far.
bool AverageRate(const VxAACDecSeek& s, double* bytes_per_sample) {
  if (!s.have_last || s.index.empty() || s.last.sample == 0 || s.last.offset <= s.index[0].offset)
    return false;
  *bytes_per_sample = double(s.last.offset - s.index[0].offset) / double(s.last.sample);
  return true;
}

gint64 UpstreamBytes(VxAACDec* dec) {
  gint64 bytes = -1;
  if (!gst_pad_peer_query_duration(SinkPad(dec), GST_FORMAT_BYTES, &bytes)) return -1;
  return bytes;
}

// Stream duration from the ALS header, or from the upstream size and the
// average byte rate.  Object lock held.
GstClockTime Duration(VxAACDecSeek& s, gint64 upstream_bytes) {
  if (s.have_als && s.als.cfg.samples != 0xFFFFFFFFu && s.als.cfg.samp_freq > 0)
    return gst_util_uint64_scale(s.als.cfg.samples, GST_SECOND, s.als.cfg.samp_freq);
  double per_sample = 0;
  if (upstream_bytes <= 0 || s.rate <= 0 || !AverageRate(s, &per_sample))
    return GST_CLOCK_TIME_NONE;
  const double bytes = double(upstream_bytes) - double(s.index[0].offset);
  if (bytes <= 0) return GST_CLOCK_TIME_NONE;
  return static_cast<GstClockTime>(bytes / per_sample / s.rate * GST_SECOND);
}

// The last restart point at or before `sample` and at or after
// `min_offset` (the decoded end counts for ADTS).
Entry RestartBefore(const VxAACDecSeek& s, guint64 sample, guint64 min_offset) {
  Entry best{min_offset, 0};
  for (const Entry& e : s.index)
    if (e.sample <= sample && e.offset >= min_offset) best = e;
  if (s.have_last && s.last.sample <= sample && s.last.sample >= best.sample &&
      s.kind == Kind::kAdts)
    best = s.last;
  return best;
}

// Plans the restart for a seek to output sample `target`.  Object lock held.
// Returns false when the stream cannot be restarted there.
bool PlanSeek(VxAACDecSeek& s, guint64 target, gboolean accurate, gint64 upstream_bytes,
              guint64* offset) {
  s.pending_exact = TRUE;
  s.pending_walk = Walk::kNone;
  s.pending_frame = 0;
  s.pending_target = 0;
  switch (s.kind) {
    case Kind::kAdts: {
      if (s.frame_samples == 0) return false;
      const guint64 frame = target / s.frame_samples;
      const guint64 start = (frame > kWarmupFrames ? frame - kWarmupFrames : 0) * s.frame_samples;
      const Entry from = RestartBefore(s, start, 0);
      double per_sample = 0;
      const bool have_rate = AverageRate(s, &per_sample);
      const double walk_bytes = have_rate ? double(start - from.sample) * per_sample : 0;
      const bool within = s.have_last && start <= s.last.sample;
      if (accurate || within || !have_rate || walk_bytes <= double(kWalkBudget)) {
        s.pending_walk = Walk::kAdts;
        s.pending_from = from;
        s.pending_target = start;
        *offset = from.offset;
        return true;
      }
      // Estimated: decoding resumes at the next frame after the byte.
      double at = double(from.offset) + double(target - from.sample) * per_sample;
      if (upstream_bytes > 0) at = std::min(at, double(upstream_bytes - 1));
      s.pending_exact = FALSE;
      s.pending_from = Entry{static_cast<guint64>(at), target};
      *offset = s.pending_from.offset;
      return true;
    }
    case Kind::kAls: {
      const AlsConfig& c = s.als.cfg;
      if (!s.have_als || c.random_access <= 0 || c.frame_length <= 0) {
        s.pending_from = Entry{};  // no random access: decode from the start
        *offset = 0;
        return true;
      }
      const guint64 ra = static_cast<guint64>(c.random_access);
      const guint64 fl = static_cast<guint64>(c.frame_length);
      const guint64 frame = target / fl;
      const guint64 first = s.tag_end + s.als.bytes.size();
      Entry from = RestartBefore(s, frame * fl, first);
      if (c.ra_flag == 2 && !s.als.units.empty()) {
        // The table gives every unit's position.
        guint64 unit = std::min<guint64>(frame / ra, s.als.units.size() - 1);
        from = Entry{first, 0};
        for (guint64 u = 0; u < unit; ++u) from.offset += s.als.units[u];
        from.sample = unit * ra * fl;
      }
      s.pending_walk = Walk::kAls;
      s.pending_from = from;
      s.pending_frame = from.sample / fl;
      s.pending_target = frame;
      *offset = from.offset;
      return true;
    }
    case Kind::kAdif:
      s.pending_from = Entry{};  // no resynchronisation: decode from the start
      *offset = 0;
      return true;
    default:
      return false;
  }
}

// Seeks in TIME by a BYTES seek upstream.  The event stays the caller's.
gboolean ConvertSeek(VxAACDec* dec, GstEvent* event) {
  gdouble rate = 1.0;
  GstFormat format;
  GstSeekFlags flags;
  GstSeekType start_type, stop_type;
  gint64 start = 0, stop = 0;
  gst_event_parse_seek(event, &rate, &format, &flags, &start_type, &start, &stop_type, &stop);
  if (format != GST_FORMAT_TIME || rate <= 0.0) return FALSE;
  GstQuery* q = gst_query_new_seeking(GST_FORMAT_BYTES);
  gboolean seekable = FALSE;
  if (gst_pad_peer_query(SinkPad(dec), q))
    gst_query_parse_seeking(q, nullptr, &seekable, nullptr, nullptr);
  gst_query_unref(q);
  if (!seekable) return FALSE;
  const gint64 upstream_bytes = UpstreamBytes(dec);

  VxAACDecSeek& s = *dec->seek;
  guint64 offset = 0;
  GST_OBJECT_LOCK(dec);
  gboolean ok = !dec->codec_data && s.head_done && (s.rate > 0 || s.have_als);
  GstSegment seg;
  if (ok) {
    gst_segment_copy_into(&GST_AUDIO_DECODER(dec)->input_segment, &seg);
    if (seg.format != GST_FORMAT_TIME) gst_segment_init(&seg, GST_FORMAT_TIME);
    seg.duration = Duration(s, upstream_bytes);
    gboolean update = FALSE;
    ok = gst_segment_do_seek(&seg, rate, GST_FORMAT_TIME, flags, start_type, start, stop_type, stop,
                             &update);
  }
  if (ok) {
    const gint out_rate =
        s.kind == Kind::kAls && s.have_als ? static_cast<gint>(s.als.cfg.samp_freq) : s.rate;
    ok = out_rate > 0;
    const guint64 target = ok ? gst_util_uint64_scale(seg.start, out_rate, GST_SECOND) : 0;
    ok = ok && PlanSeek(s, target, (flags & GST_SEEK_FLAG_ACCURATE) != 0, upstream_bytes, &offset);
  }
  const gboolean exact = s.pending_exact;
  if (ok) {
    s.pending = TRUE;
    s.pending_seqnum = gst_event_get_seqnum(event);
    s.pending_segment = seg;
  }
  GST_OBJECT_UNLOCK(dec);
  if (!ok) return FALSE;

  GST_DEBUG_OBJECT(dec, "seek to %" GST_TIME_FORMAT " from byte %" G_GUINT64_FORMAT " (%s)",
                   GST_TIME_ARGS(seg.start), offset, exact ? "exact" : "estimated");
  GstEvent* bytes = gst_event_new_seek(
      1.0, GST_FORMAT_BYTES, static_cast<GstSeekFlags>(flags & GST_SEEK_FLAG_FLUSH),
      GST_SEEK_TYPE_SET, static_cast<gint64>(offset), GST_SEEK_TYPE_NONE, -1);
  gst_event_set_seqnum(bytes, gst_event_get_seqnum(event));
  const gboolean res = gst_pad_push_event(SinkPad(dec), bytes);
  if (!res) {
    GST_OBJECT_LOCK(dec);
    if (s.pending_seqnum == gst_event_get_seqnum(event)) s.pending = FALSE;
    GST_OBJECT_UNLOCK(dec);
  }
  return res;
}

gboolean QueryDuration(VxAACDec* dec, GstQuery* query) {
  GstFormat format;
  gst_query_parse_duration(query, &format, nullptr);
  if (format != GST_FORMAT_TIME || dec->codec_data) return FALSE;
  const gint64 upstream_bytes = UpstreamBytes(dec);
  GST_OBJECT_LOCK(dec);
  const GstClockTime d = Duration(*dec->seek, upstream_bytes);
  GST_OBJECT_UNLOCK(dec);
  if (!GST_CLOCK_TIME_IS_VALID(d)) return FALSE;
  gst_query_set_duration(query, GST_FORMAT_TIME, static_cast<gint64>(d));
  return TRUE;
}

// Seekable in TIME when upstream seeks in BYTES and the stream can be
// restarted (any in-band stream once its framing is known).
gboolean QuerySeeking(VxAACDec* dec, GstQuery* query) {
  GstFormat format;
  gst_query_parse_seeking(query, &format, nullptr, nullptr, nullptr);
  if (format != GST_FORMAT_TIME) return FALSE;
  GstQuery* q = gst_query_new_seeking(GST_FORMAT_BYTES);
  gboolean bytes_seekable = FALSE;
  if (gst_pad_peer_query(SinkPad(dec), q))
    gst_query_parse_seeking(q, nullptr, &bytes_seekable, nullptr, nullptr);
  gst_query_unref(q);
  const gint64 upstream_bytes = bytes_seekable ? UpstreamBytes(dec) : -1;
  GST_OBJECT_LOCK(dec);
  VxAACDecSeek& s = *dec->seek;
  const gboolean seekable = bytes_seekable && !dec->codec_data && s.head_done &&
                            s.kind != Kind::kUnknown && (s.rate > 0 || s.have_als);
  const GstClockTime d = seekable ? Duration(s, upstream_bytes) : GST_CLOCK_TIME_NONE;
  GST_OBJECT_UNLOCK(dec);
  gst_query_set_seeking(query, GST_FORMAT_TIME, seekable, 0,
                        GST_CLOCK_TIME_IS_VALID(d) ? static_cast<gint64>(d) : -1);
  return TRUE;
}

}  // namespace

void vx_aac_dec_seek_init(VxAACDec* dec) {
  dec->seek = new VxAACDecSeek();
  gst_segment_init(&dec->seek->pending_segment, GST_FORMAT_TIME);
  dec->drop_before = GST_CLOCK_TIME_NONE;
}

void vx_aac_dec_seek_free(VxAACDec* dec) {
  delete dec->seek;
  dec->seek = nullptr;
}

void vx_aac_dec_seek_new_stream(VxAACDec* dec) {
  if (!dec->seek) return;
  GST_OBJECT_LOCK(dec);
  ForgetStream(*dec->seek);
  dec->seek->pending = FALSE;
  GST_OBJECT_UNLOCK(dec);
  dec->drop_before = GST_CLOCK_TIME_NONE;
}

void vx_aac_dec_seek_flush(VxAACDec* dec) {
  dec->seek->walk = Walk::kNone;
  dec->seek->skip = 0;
  dec->seek->prefix.clear();
  dec->drop_before = GST_CLOCK_TIME_NONE;
}

gboolean vx_aac_dec_seek_segment(VxAACDec* dec, const GstSegment* bytes, guint32 seqnum,
                                 VxSeekRestart* restart) {
  VxAACDecSeek& s = *dec->seek;
  restart->active = FALSE;
  GST_OBJECT_LOCK(dec);
  const bool ours =
      s.pending && (s.pending_seqnum == seqnum || bytes->start == s.pending_from.offset);
  if (ours) {
    s.pending = FALSE;
    restart->active = TRUE;
    restart->exact = s.pending_exact;
    restart->sample = s.pending_from.sample;
    restart->segment = s.pending_segment;
    s.position_known = s.pending_exact;
    s.stream_sample = s.pending_from.sample;
    s.walk = s.pending_walk;
    s.walk_target = s.pending_target;
    s.walk_frame = s.pending_frame;
    s.skip = 0;
  } else {
    // Upstream's own byte seek: positions are known only from the start.
    s.position_known = bytes->start == 0 && s.tag_checked;
    s.stream_sample = 0;
    s.walk = Walk::kNone;
  }
  GST_OBJECT_UNLOCK(dec);
  return restart->active;
}

gboolean vx_aac_dec_seek_input(VxAACDec* dec, GstAdapter* adapter, gsize* skip,
                               const guint8** prefix, gsize* prefix_size) {
  VxAACDecSeek& s = *dec->seek;
  *skip = 0;
  *prefix = nullptr;
  *prefix_size = 0;
  if (!s.head_done) {
    GST_OBJECT_LOCK(dec);
    ExamineHead(dec, adapter, s);
    GST_OBJECT_UNLOCK(dec);
  }
  if (s.walk != Walk::kNone) {
    const Walk walk = s.walk;
    const gboolean progress =
        walk == Walk::kAdts ? WalkAdts(adapter, s, skip) : WalkAls(adapter, s, skip);
    if (!progress) return FALSE;
    if (s.walk != Walk::kNone) return TRUE;  // *skip bytes to drop
    // Decoding resumes here; an ALS unit needs the stream header in front.
    if (walk == Walk::kAls) {
      s.prefix = AlsHeaderFrom(s.als, s.walk_frame);
      s.prefix_given = FALSE;
    }
    GST_DEBUG_OBJECT(dec, "decoding resumes at sample %" G_GUINT64_FORMAT, s.stream_sample);
    dec->sample_count = s.stream_sample;
  }
  if (!s.prefix.empty() && !s.prefix_given) {
    *prefix = s.prefix.data();
    *prefix_size = s.prefix.size();
    s.prefix_given = TRUE;
  }
  return TRUE;
}

void vx_aac_dec_seek_frame(VxAACDec* dec, guint64 samples, guint64 end_offset, guint blocks) {
  VxAACDecSeek& s = *dec->seek;
  if (!s.position_known || samples == 0 || dec->codec_data) return;
  GST_OBJECT_LOCK(dec);
  s.stream_sample += samples;
  s.rate = dec->out.rate;
  if (s.kind == Kind::kMaybeAdts) s.kind = Kind::kAdts;
  if (s.kind == Kind::kAdts) s.frame_samples = samples / (blocks > 0 ? blocks : 1);
  if (end_offset != GST_BUFFER_OFFSET_NONE) {
    const guint64 end = end_offset;
    // The first blocks of an ADTS frame of several consume nothing: only an
    // input position that moved is a point to restart from.
    if (s.have_last && end == s.last.offset) {
      GST_OBJECT_UNLOCK(dec);
      return;
    }
    s.last = Entry{end, s.stream_sample};
    s.have_last = TRUE;
    const guint64 spacing = static_cast<guint64>(s.rate / kIndexSpacingDivisor);
    const bool spaced = s.index.empty() || s.stream_sample >= s.index.back().sample + spacing;
    bool restartable = s.kind == Kind::kAdts;
    if (s.kind == Kind::kAls && s.have_als && s.als.cfg.random_access > 0) {
      const guint64 fl = static_cast<guint64>(s.als.cfg.frame_length);
      restartable = s.stream_sample % fl == 0 &&
                    (s.stream_sample / fl) % static_cast<guint64>(s.als.cfg.random_access) == 0;
    }
    if (restartable && spaced && (s.index.empty() || end > s.index.back().offset))
      s.index.push_back(s.last);
  }
  GST_OBJECT_UNLOCK(dec);
}

gboolean vx_aac_dec_src_event(GstAudioDecoder* base, GstEvent* event) {
  VxAACDec* dec = GST_VX_AAC_DEC(base);
  if (GST_EVENT_TYPE(event) != GST_EVENT_SEEK) return ParentClass()->src_event(base, event);
  // A parser or demuxer upstream seeks in TIME itself.
  gst_event_ref(event);
  if (gst_pad_push_event(SinkPad(dec), event)) {
    gst_event_unref(event);
    return TRUE;
  }
  const gboolean res = ConvertSeek(dec, event);
  gst_event_unref(event);
  return res;
}

gboolean vx_aac_dec_src_query(GstAudioDecoder* base, GstQuery* query) {
  VxAACDec* dec = GST_VX_AAC_DEC(base);
  switch (GST_QUERY_TYPE(query)) {
    case GST_QUERY_DURATION:
      if (gst_pad_peer_query(SinkPad(dec), query)) return TRUE;
      return QueryDuration(dec, query);
    case GST_QUERY_SEEKING: {
      gboolean seekable = FALSE;
      if (gst_pad_peer_query(SinkPad(dec), query)) {
        GstFormat format;
        gst_query_parse_seeking(query, &format, &seekable, nullptr, nullptr);
        if (seekable || format != GST_FORMAT_TIME) return TRUE;
      }
      return QuerySeeking(dec, query);
    }
    default:
      // Position from upstream or from the output; latency adds the
      // frame an in-band stream waits for.
      return ParentClass()->src_query(base, query);
  }
}
