// libFuzzer target: the vxaacdec element in a GstHarness, fed a script of
// caps, buffers and events taken from the input, the way demuxers and
// parsers feed it: audio/mpeg caps of MPEG-2 or MPEG-4 with any stream
// format, codec data or none, framed/parsed flags, rate and channels;
// buffers of any split with or without time stamps and DISCONT; flushes,
// segments, EOS and caps changes in the middle of a stream; property
// changes that apply from the next decoder.
//
// Input: the size modulo 4 chooses what downstream accepts (any format,
// S16LE only, F32LE only), size bit 2 puts vxloasparse in front; the bytes are a list of records,
// each starting with an op byte (op & 7):
//   0-3  buffer: [len high][len low] bytes (DISCONT when op bit 3, a time
//        stamp when op bit 4)
//   4    caps: [fields][rate][channels] and, when fields bit 3, [len] bytes
//        of codec data (fields bit 7: stream-format loas)
//   5    op bit 3: a GAP (time and duration from the next byte); else a
//        flush (FLUSH_START, FLUSH_STOP)
//   6    segment (op bit 3: BYTES, else TIME; op bit 4: rate -1), start
//        from the next byte
//   7    op bit 3: EOS; else a property change from the next byte (the
//        decoder parameters and the base class's max-errors, plc,
//        tolerance, min-latency)
// One harness per input; the element is registered statically, so the
// target needs no plug-in path and no registry.
#include <gst/check/gstharness.h>
#include <gst/gst.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" void gst_plugin_vxaacdec_register(void);

namespace {

struct Reader {
  const uint8_t* p;
  size_t n;
  uint8_t Byte() {
    if (!n) return 0;
    --n;
    return *p++;
  }
};

// A buffer holding a copy of the next `len` input bytes.  An empty one has
// no memory at all (copying zero bytes gives no pointer to wrap).
GstBuffer* TakeBuffer(Reader& r, size_t len) {
  len = len < r.n ? len : r.n;
  GstBuffer* buf = len ? gst_buffer_new_memdup(r.p, len) : gst_buffer_new();
  r.p += len;
  r.n -= len;
  return buf;
}

void Drain(GstHarness* h) {
  while (GstBuffer* b = gst_harness_try_pull(h)) gst_buffer_unref(b);
  while (GstEvent* e = gst_harness_try_pull_event(h)) gst_event_unref(e);
  while (GstEvent* e = gst_harness_try_pull_upstream_event(h)) gst_event_unref(e);
}

void PushBuffer(GstHarness* h, Reader& r, uint8_t op, GstClockTime* pts) {
  const size_t len = (size_t{r.Byte()} << 8) | r.Byte();
  GstBuffer* buf = TakeBuffer(r, len);
  if (op & 0x08) GST_BUFFER_FLAG_SET(buf, GST_BUFFER_FLAG_DISCONT);
  if (op & 0x10) {
    GST_BUFFER_PTS(buf) = *pts;
    *pts += (op & 0x20) ? 23 * GST_MSECOND : GST_SECOND / 3;
  }
  gst_harness_push(h, buf);
}

void PushCaps(GstHarness* h, Reader& r) {
  static const char* const kFormats[4] = {nullptr, "adts", "raw", "adif"};
  static constexpr int kRates[8] = {44100, 48000, 22050, 8000, 96000, 7350, 12345, 0};
  const uint8_t fields = r.Byte();
  const uint8_t rate = r.Byte();
  const uint8_t channels = r.Byte();
  GstCaps* caps =
      gst_caps_new_simple("audio/mpeg", "mpegversion", G_TYPE_INT, (fields & 1) ? 2 : 4, nullptr);
  GstStructure* s = gst_caps_get_structure(caps, 0);
  // Bit 7 (unused before LOAS came) takes LOAS instead of the listed formats.
  if (const char* format = (fields & 0x80) ? "loas" : kFormats[(fields >> 1) & 3])
    gst_structure_set(s, "stream-format", G_TYPE_STRING, format, nullptr);
  if (fields & 0x08) {
    GstBuffer* cd = TakeBuffer(r, r.Byte());
    gst_structure_set(s, "codec_data", GST_TYPE_BUFFER, cd, nullptr);
    gst_buffer_unref(cd);
  }
  if (fields & 0x10) gst_structure_set(s, "framed", G_TYPE_BOOLEAN, (fields >> 5) & 1, nullptr);
  if (fields & 0x40) gst_structure_set(s, "parsed", G_TYPE_BOOLEAN, TRUE, nullptr);
  if (!(rate & 0x80))
    gst_structure_set(s, "rate", G_TYPE_INT, (rate & 8) ? int{rate} * 1000 : kRates[rate & 7],
                      nullptr);
  if (!(channels & 0x80)) gst_structure_set(s, "channels", G_TYPE_INT, channels & 15, nullptr);
  gst_harness_push_event(h, gst_event_new_caps(caps));
  gst_caps_unref(caps);
  // Demuxers and parsers follow caps with a segment.
  GstSegment seg;
  gst_segment_init(&seg, GST_FORMAT_TIME);
  gst_harness_push_event(h, gst_event_new_segment(&seg));
}

void PushSegment(GstHarness* h, Reader& r, uint8_t op) {
  GstSegment seg;
  gst_segment_init(&seg, (op & 0x08) ? GST_FORMAT_BYTES : GST_FORMAT_TIME);
  seg.start = (op & 0x08) ? r.Byte() * 1000u : r.Byte() * GST_SECOND / 10;
  seg.time = seg.start;
  seg.position = seg.start;
  if ((op & 0x10) && seg.format == GST_FORMAT_TIME) {
    seg.rate = -1.0;  // reverse playback: chunks of buffers, each starting with DISCONT
    seg.stop = seg.start + 2 * GST_SECOND;
  }
  gst_harness_push_event(h, gst_event_new_segment(&seg));
}

void PushGap(GstHarness* h, Reader& r, GstClockTime pts) {
  const uint8_t v = r.Byte();
  gst_harness_push_event(h, gst_event_new_gap(pts + (v >> 4) * 10 * GST_MSECOND,
                                              (v & 15) * 20 * GST_MSECOND + GST_MSECOND));
}

void SetProperty(GstElement* decoder, uint8_t v) {
  static const char* const kNames[7] = {"sbr-output", "sbr-quality", "parametric-stereo",
                                        "max-errors", "plc",         "tolerance",
                                        "min-latency"};
  static const char* const kValues[7][4] = {
      {"downsampled", "full-rate", "downsampled", "full-rate"},
      {"high", "low-power", "high", "low-power"},
      {"off", "parse", "baseline", "full"},
      {"-1", "0", "1", "3"},
      {"false", "true", "false", "true"},
      {"0", "40000000", "1000000", "2000000000"},
      {"0", "50000000", "0", "1000000000"}};
  const int which = (v & 7) % 7;
  gst_util_set_object_arg(G_OBJECT(decoder), kNames[which], kValues[which][(v >> 3) & 3]);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // No registry and no other plug-ins: the harness needs only this element.
  setenv("GST_REGISTRY_DISABLE", "yes", 0);
  setenv("GST_REGISTRY_FORK", "no", 0);
  gst_init(nullptr, nullptr);
  gst_plugin_vxaacdec_register();
  // Criticals are broken invariants in the element or misuse of the API:
  // abort, so that libFuzzer keeps the input (a fatal GLib log ends in a
  // breakpoint trap, which it does not catch).  GStreamer's warnings (data
  // before a segment the script never sent, rejected caps) are expected and
  // only slow the run down; other warnings are printed.
  g_log_set_default_handler(
      [](const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer) {
        const bool fatal = (level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL)) != 0;
        if (!fatal && domain && std::strcmp(domain, "GStreamer") == 0) return;
        std::fprintf(stderr, "element_fuzzer: %s: %s\n", domain ? domain : "", message);
        if (fatal) std::abort();
      },
      nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  // Size bit 2: the LOAS parser in front, as decodebin plugs it.
  const bool parser = (size & 4) != 0;
  GstHarness* h = parser ? gst_harness_new_parse("vxloasparse ! vxaacdec name=dec")
                         : gst_harness_new("vxaacdec");
  if (!h) std::abort();
  GstElement* decoder = parser ? gst_bin_get_by_name(GST_BIN(h->element), "dec")
                               : GST_ELEMENT(gst_object_ref(h->element));
  if (!decoder) std::abort();
  Reader r{data, size};
  static const char* const kDownstream[4] = {"audio/x-raw", "audio/x-raw, format=(string)S16LE",
                                             "audio/x-raw, format=(string)F32LE", "audio/x-raw"};
  gst_harness_set_sink_caps_str(h, kDownstream[size & 3]);
  GstClockTime pts = 0;
  for (int ops = 0; ops < 512 && r.n > 0; ++ops) {
    const uint8_t op = r.Byte();
    switch (op & 7) {
      case 4:
        PushCaps(h, r);
        break;
      case 5:
        if (op & 0x08) {
          PushGap(h, r, pts);
        } else {
          gst_harness_push_event(h, gst_event_new_flush_start());
          gst_harness_push_event(h, gst_event_new_flush_stop(TRUE));
        }
        break;
      case 6:
        PushSegment(h, r, op);
        break;
      case 7:
        if (op & 0x08)
          gst_harness_push_event(h, gst_event_new_eos());
        else
          SetProperty(decoder, r.Byte());
        break;
      default:
        PushBuffer(h, r, op, &pts);
        break;
    }
    Drain(h);
  }
  gst_harness_push_event(h, gst_event_new_eos());
  Drain(h);
  gst_object_unref(decoder);
  gst_harness_teardown(h);
  return 0;
}
