// What the element gets from being a GstAudioDecoder, in real pipelines:
// edit lists trimmed to the sample, time stamps that follow gaps in the
// input, reverse playback, the base class's properties and queries, buffers
// from a frame-sized pool, float output on request, tags, and the parser
// that lets decodebin play ADTS with a program config element.  avdec_aac
// is the comparison where it is installed.
#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/check/gstharness.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "common/compare.h"
#include "common/wav.h"
#include "gst/gst_helpers.h"

namespace {

using Bytes = std::vector<uint8_t>;

#define REQUIRE_DECODER()                                                   \
  do {                                                                      \
    vxgst::EnsureGst();                                                     \
    if (!vxgst::DecoderAvailable()) GTEST_SKIP() << "no decoder linked in"; \
  } while (0)

std::string Quoted(const std::string& path) {
  return "\"" + path + "\"";
}

std::string Src(const char* name) {
  return "filesrc location=" + Quoted(vxgst::DataPath(name));
}

bool HaveElement(const char* name) {
  GstElementFactory* f = gst_element_factory_find(name);
  if (f) gst_object_unref(f);
  return f != nullptr;
}

// Samples [first, first + count) of a decode, as bytes.
Bytes Span(const vxgst::Output& out, size_t first, size_t count) {
  const size_t bpf = out.Frames() ? out.pcm.size() / out.Frames() : 0;
  if ((first + count) * bpf > out.pcm.size()) return {};
  return Bytes(out.pcm.begin() + static_cast<long>(first * bpf),
               out.pcm.begin() + static_cast<long>((first + count) * bpf));
}

// Every access unit of an MP4's audio track, pushed into a fresh element
// with the track's caps and a plain segment: the whole decode, with the
// encoder delay the edit list removes.
vxgst::Output DecodeUntrimmed(const std::string& m4a) {
  // A probe before the sink takes every access unit (the sink would drop
  // those outside the segment).
  GstElement* p = gst_parse_launch(
      ("filesrc location=" + Quoted(m4a) + " ! qtdemux ! fakesink name=s").c_str(), nullptr);
  GstElement* s = gst_bin_get_by_name(GST_BIN(p), "s");
  GstPad* pad = gst_element_get_static_pad(s, "sink");
  static std::vector<GstBuffer*> units;
  units.clear();
  gst_pad_add_probe(
      pad, GST_PAD_PROBE_TYPE_BUFFER,
      [](GstPad*, GstPadProbeInfo* info, gpointer) {
        units.push_back(gst_buffer_copy(GST_PAD_PROBE_INFO_BUFFER(info)));
        return GST_PAD_PROBE_OK;
      },
      nullptr, nullptr);
  gst_element_set_state(p, GST_STATE_PLAYING);
  GstBus* bus = gst_element_get_bus(p);
  GstMessage* m = gst_bus_timed_pop_filtered(
      bus, 10 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  if (m) gst_message_unref(m);
  GstCaps* track = gst_pad_get_current_caps(pad);
  gst_element_set_state(p, GST_STATE_NULL);
  GstHarness* h = gst_harness_new("vxaacdec");
  if (track) gst_harness_set_src_caps(h, track);
  for (GstBuffer* au : units) {
    GST_BUFFER_PTS(au) = GST_BUFFER_DTS(au) = GST_CLOCK_TIME_NONE;
    gst_harness_push(h, au);
  }
  units.clear();
  gst_harness_push_event(h, gst_event_new_eos());
  vxgst::Output out;
  GstCaps* caps = gst_pad_get_current_caps(h->sinkpad);
  vxgst::ReadCaps(caps, &out);
  if (caps) gst_caps_unref(caps);
  while (GstBuffer* b = gst_harness_try_pull(h)) {
    GstMapInfo map;
    gst_buffer_map(b, &map, GST_MAP_READ);
    out.pcm.insert(out.pcm.end(), map.data, map.data + map.size);
    gst_buffer_unmap(b, &map);
    gst_buffer_unref(b);
  }
  gst_harness_teardown(h);
  gst_object_unref(bus);
  gst_object_unref(pad);
  gst_object_unref(s);
  gst_object_unref(p);
  return out;
}

// Edit lists (encoder delay at the start, padding at the end) through
// qtdemux: exactly the edit's samples, the first at stream position 0.
// FFmpeg gives 28096 samples for the first file (README.md in
// tests/data/gst); for the second it keeps the whole last frame (20928),
// where the edit says 20000.  avdec_aac keeps one sample more at the start.
TEST(AudioDecoder, EditListsTrimToTheSample) {
  REQUIRE_DECODER();
  const vxgst::Output whole = DecodeUntrimmed(vxgst::DataPath("gapless_2624.m4a"));
  ASSERT_EQ(whole.Frames(), 30u * 1024);
  const struct {
    const char* file;
    size_t samples;
  } cases[] = {{"gapless_2624.m4a", 28096}, {"gapless_2624_20000.m4a", 20000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const vxgst::Output out = vxgst::RunPipeline(Src(c.file) + " ! qtdemux ! vxaacdec");
    ASSERT_EQ(out.error, "");
    EXPECT_EQ(out.Frames(), c.samples);
    EXPECT_TRUE(out.pcm == Span(whole, 2624, c.samples)) << "aligned on the edit's first sample";
    ASSERT_FALSE(out.offset.empty());
    EXPECT_EQ(out.offset[0], 0u);
    EXPECT_TRUE(out.discont[0]);
    if (HaveElement("avdec_aac")) {
      const vxgst::Output av = vxgst::RunPipeline(
          Src(c.file) + " ! qtdemux ! avdec_aac ! audioconvert ! audio/x-raw,format=S16LE");
      EXPECT_LE(av.Frames() - out.Frames(), 1u);
    }
  }
}

// Containers with a 2 s hole (README.md): the output time stamps jump
// where and by as much as the demuxer's do, buffer for buffer as
// avdec_aac's (which follow the container's rounding).
TEST(AudioDecoder, InputGapsMoveTheTimeStamps) {
  REQUIRE_DECODER();
  for (const char* file : {"gap_2s.mkv", "gap_2s.m4a", "gap_2s.ts"}) {
    SCOPED_TRACE(file);
    const vxgst::Output out = vxgst::RunPipeline(Src(file) + " ! parsebin ! vxaacdec");
    ASSERT_EQ(out.error, "");
    ASSERT_EQ(out.pts.size(), 20u);
    std::vector<double> jumps;
    for (size_t i = 1; i < out.pts.size(); ++i) {
      const double gap = double(out.pts[i]) - double(out.pts[i - 1] + out.duration[i - 1]);
      if (gap != 0.0) jumps.push_back(gap);
    }
    ASSERT_EQ(jumps.size(), 1u) << "one jump, at the hole";
    if (std::string(file) != "gap_2s.ts") {
      EXPECT_NEAR(jumps[0], 2e9, 1e6);
    }
    if (!HaveElement("avdec_aac")) continue;
    const vxgst::Output av = vxgst::RunPipeline(Src(file) + " ! parsebin ! avdec_aac");
    ASSERT_EQ(av.pts.size(), out.pts.size());
    for (size_t i = 0; i < out.pts.size(); ++i)
      EXPECT_NEAR(double(out.pts[i]), double(av.pts[i]), 1e6) << i;
  }
}

// Raw access units stamped with jitter below `tolerance` get the running
// sample count; a jump beyond it is followed; with tolerance 0 every time
// stamp is taken, except one behind the output already pushed (time
// stamps never go back).
TEST(AudioDecoder, ToleranceDecidesWhichTimeStampsAreFollowed) {
  REQUIRE_DECODER();
  const Bytes s = vxgst::ReadFile(vxgst::DataPath("lc_44k_st_128.aac"));
  const auto frames = vxgst::AdtsFrames(s);
  for (const GstClockTime tolerance : {GstClockTime{40 * GST_MSECOND}, GstClockTime{0}}) {
    SCOPED_TRACE(tolerance);
    GstHarness* h = gst_harness_new("vxaacdec");
    g_object_set(h->element, "tolerance", static_cast<gint64>(tolerance), nullptr);
    gst_harness_set_src_caps_str(h,
                                 "audio/mpeg, mpegversion=(int)4, stream-format=(string)raw, "
                                 "rate=(int)44100, channels=(int)2, codec_data=(buffer)1210");
    std::vector<GstClockTime> stamps;
    for (size_t i = 0; i < 20; ++i) {
      // 3 ms of jitter, and frames 10.. after a 2 s hole.
      const GstClockTime t = gst_util_uint64_scale_round(i * 1024, GST_SECOND, 44100) +
                             (i % 2 ? 3 * GST_MSECOND : 0) + (i >= 10 ? 2 * GST_SECOND : 0);
      stamps.push_back(t);
      const size_t header = (s[frames[i].first + 1] & 1) ? 7 : 9;
      GstBuffer* au =
          gst_buffer_new_memdup(s.data() + frames[i].first + header, frames[i].second - header);
      GST_BUFFER_PTS(au) = t;
      ASSERT_EQ(gst_harness_push(h, au), GST_FLOW_OK);
    }
    GstClockTime end = 0;
    for (size_t i = 0; i < 20; ++i) {
      GstBuffer* b = gst_harness_pull(h);
      const size_t run = i >= 10 ? i - 10 : i;
      const GstClockTime counted =
          (i >= 10 ? stamps[10] : 0) + gst_util_uint64_scale_round(run * 1024, GST_SECOND, 44100);
      const GstClockTime expect = tolerance ? counted : std::max(stamps[i], end);
      EXPECT_EQ(GST_BUFFER_PTS(b), expect) << i;
      end = GST_BUFFER_PTS(b) + GST_BUFFER_DURATION(b);
      gst_buffer_unref(b);
    }
    gst_harness_teardown(h);
  }
}

// An MP4 of about 10 s, built from the bundled clip.
std::string TenSecondsMp4() {
  const std::string m4a = std::string(g_get_tmp_dir()) + "/vxaacdec-reverse.m4a";
  const Bytes clip = vxgst::ReadFile(vxgst::DataPath("lc_44k_st_128.aac"));
  const auto frames = vxgst::AdtsFrames(clip);
  Bytes adts;
  std::mt19937 rng(12);
  for (int i = 0; i < 430; ++i) {
    const auto& f = frames[rng() % frames.size()];
    adts.insert(adts.end(), clip.begin() + static_cast<long>(f.first),
                clip.begin() + static_cast<long>(f.first + f.second));
  }
  const std::string aac = m4a + ".aac";
  FILE* f = std::fopen(aac.c_str(), "wb");
  std::fwrite(adts.data(), 1, adts.size(), f);
  std::fclose(f);
  GstElement* p = gst_parse_launch(("filesrc location=" + Quoted(aac) +
                                    " ! aacparse ! mp4mux ! filesink location=" + Quoted(m4a))
                                       .c_str(),
                                   nullptr);
  gst_element_set_state(p, GST_STATE_PLAYING);
  GstBus* bus = gst_element_get_bus(p);
  GstMessage* m = gst_bus_timed_pop_filtered(
      bus, 30 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  if (m) gst_message_unref(m);
  gst_element_set_state(p, GST_STATE_NULL);
  gst_object_unref(bus);
  gst_object_unref(p);
  std::remove(aac.c_str());
  return m4a;
}

// Buffers after a seek with rate -1 from 4 s back to 2 s.
vxgst::Output PlayBackwards(const std::string& m4a, const char* decoder) {
  GstElement* p =
      vxgst::LaunchWithAppsink("filesrc location=" + Quoted(m4a) + " ! qtdemux ! " + decoder);
  GstElement* sink = gst_bin_get_by_name(GST_BIN(p), "vxsink");
  gst_element_set_state(p, GST_STATE_PAUSED);
  gst_element_get_state(p, nullptr, nullptr, 10 * GST_SECOND);
  vxgst::Output out;
  if (gst_element_seek(p, -1.0, GST_FORMAT_TIME,
                       static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE),
                       GST_SEEK_TYPE_SET, 2 * GST_SECOND, GST_SEEK_TYPE_SET, 4 * GST_SECOND)) {
    gst_element_set_state(p, GST_STATE_PLAYING);
    std::string caps;
    while (GstSample* s = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 10 * GST_SECOND)) {
      vxgst::AppendSample(s, &out, &caps);
      gst_sample_unref(s);
    }
  } else {
    out.error = "seek refused";
  }
  gst_element_set_state(p, GST_STATE_NULL);
  gst_object_unref(sink);
  gst_object_unref(p);
  return out;
}

// Reverse playback decodes the demuxer's chunks forwards and pushes their
// frames last first: every frame of the 2 s, time stamps descending.
TEST(AudioDecoder, ReversePlaybackGivesEveryFrameBackwards) {
  REQUIRE_DECODER();
  const std::string m4a = TenSecondsMp4();
  const vxgst::Output out = PlayBackwards(m4a, "vxaacdec");
  ASSERT_EQ(out.error, "");
  EXPECT_GE(out.pts.size(), 86u);
  EXPECT_LE(out.pts.size(), 90u);
  for (size_t i = 1; i < out.pts.size(); ++i) EXPECT_LT(out.pts[i], out.pts[i - 1]) << i;
  ASSERT_FALSE(out.pts.empty());
  EXPECT_LE(out.pts.back(), 2 * GST_SECOND);
  EXPECT_GE(out.pts.front() + out.duration.front(), 4 * GST_SECOND - GST_MSECOND);
  if (HaveElement("avdec_aac")) {
    const vxgst::Output av = PlayBackwards(m4a, "avdec_aac");
    EXPECT_NEAR(double(av.pts.size()), double(out.pts.size()), 1.0);
  }
  std::remove(m4a.c_str());
}

int CountErrors(GstBus* bus, const char* text) {
  int n = 0;
  while (GstMessage* m = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR)) {
    GError* err = nullptr;
    gst_message_parse_error(m, &err, nullptr);
    n += err && g_strcmp0(err->message, text) == 0;
    g_clear_error(&err);
    gst_message_unref(m);
  }
  return n;
}

// max-errors counts damaged frames in a row: one allows single damaged
// frames, two in a row end the stream with the frame's text.
TEST(AudioDecoder, MaxErrorsCountsDamagedFramesInARow) {
  REQUIRE_DECODER();
  const Bytes clean = vxgst::ReadFile(vxgst::DataPath("lc_44k_st_crc.aac"));
  const auto frames = vxgst::AdtsFrames(clean);
  for (const bool in_a_row : {false, true}) {
    SCOPED_TRACE(in_a_row);
    Bytes s = clean;
    for (size_t f : {size_t{5}, size_t{in_a_row ? 6u : 8u}}) s[frames[f].first + 9 + 2] ^= 0x10;
    GstHarness* h = gst_harness_new("vxaacdec");
    GstBus* bus = gst_bus_new();
    gst_element_set_bus(h->element, bus);
    g_object_set(h->element, "max-errors", 1, nullptr);
    gst_harness_set_src_caps_str(h, "audio/mpeg, mpegversion=(int)4, stream-format=(string)adts");
    GstFlowReturn last = GST_FLOW_OK;
    for (const auto& [at, n] : frames) {
      last = gst_harness_push(h, gst_buffer_new_memdup(s.data() + at, n));
      if (last != GST_FLOW_OK) break;
    }
    EXPECT_EQ(last, in_a_row ? GST_FLOW_ERROR : GST_FLOW_OK);
    EXPECT_EQ(CountErrors(bus, "Damaged frame replaced by silence"), in_a_row ? 1 : 0);
    EXPECT_EQ(gst_harness_buffers_received(h), in_a_row ? 6u : frames.size());
    gst_element_set_bus(h->element, nullptr);
    gst_object_unref(bus);
    gst_harness_teardown(h);
  }
}

// A GAP event: with plc, silence of its duration in the output; without,
// the GAP goes downstream.  Before the first frame the element picks a
// default format so that sinks can preroll on it.
TEST(AudioDecoder, GapsBecomeSilenceWithPlcOrGoDownstream) {
  REQUIRE_DECODER();
  const Bytes s = vxgst::ReadFile(vxgst::DataPath("lc_44k_st_128.aac"));
  const auto frames = vxgst::AdtsFrames(s);
  for (const gboolean plc : {gboolean{TRUE}, gboolean{FALSE}}) {
    SCOPED_TRACE(plc);
    GstHarness* h = gst_harness_new("vxaacdec");
    g_object_set(h->element, "plc", plc, nullptr);
    gst_harness_set_src_caps_str(h, "audio/mpeg, mpegversion=(int)4, stream-format=(string)adts");
    gst_harness_push(h, gst_buffer_new_memdup(s.data(), frames[4].first));
    gst_harness_push_event(h, gst_event_new_gap(4 * 23219955, 100 * GST_MSECOND));
    guint buffers = 0;
    gsize gap_bytes = 0;
    while (GstBuffer* b = gst_harness_try_pull(h)) {
      if (++buffers == 5) gap_bytes = gst_buffer_get_size(b);
      gst_buffer_unref(b);
    }
    int gaps = 0;
    while (GstEvent* e = gst_harness_try_pull_event(h)) {
      gaps += GST_EVENT_TYPE(e) == GST_EVENT_GAP;
      gst_event_unref(e);
    }
    EXPECT_EQ(buffers, plc ? 5u : 4u);
    EXPECT_EQ(gap_bytes, plc ? 4410u * 4 : 0u);
    EXPECT_EQ(gaps, plc ? 0 : 1);
    gst_harness_teardown(h);
  }
  // Nothing decoded yet: the GAP still reaches a sink, which prerolls.
  GstElement* p = gst_parse_launch(
      "appsrc name=src format=time caps=\"audio/mpeg, mpegversion=(int)4, "
      "stream-format=(string)adts\" ! vxaacdec ! fakesink name=sink",
      nullptr);
  GstElement* src = gst_bin_get_by_name(GST_BIN(p), "src");
  gst_element_set_state(p, GST_STATE_PAUSED);
  gst_element_send_event(src, gst_event_new_gap(0, GST_SECOND));
  EXPECT_EQ(gst_element_get_state(p, nullptr, nullptr, 5 * GST_SECOND), GST_STATE_CHANGE_SUCCESS);
  GstElement* sink = gst_bin_get_by_name(GST_BIN(p), "sink");
  GstPad* pad = gst_element_get_static_pad(sink, "sink");
  GstCaps* caps = gst_pad_get_current_caps(pad);
  ASSERT_NE(caps, nullptr);
  EXPECT_STREQ(gst_structure_get_string(gst_caps_get_structure(caps, 0), "format"), "S16LE");
  gst_caps_unref(caps);
  gst_object_unref(pad);
  gst_object_unref(sink);
  gst_object_unref(src);
  gst_element_set_state(p, GST_STATE_NULL);
  gst_object_unref(p);
}

// LATENCY: an in-band stream waits for a whole frame (23 ms here) on top of
// upstream's latency; min-latency gathers output into larger buffers when
// the pipeline is not live.
TEST(AudioDecoder, LatencyAndMinLatency) {
  REQUIRE_DECODER();
  GstElement* p = gst_parse_launch(
      "appsrc name=src is-live=true format=time caps=\"audio/mpeg, mpegversion=(int)4, "
      "stream-format=(string)adts\" ! vxaacdec name=dec ! fakesink",
      nullptr);
  GstElement* dec = gst_bin_get_by_name(GST_BIN(p), "dec");
  GstElement* src = gst_bin_get_by_name(GST_BIN(p), "src");
  gst_element_set_state(p, GST_STATE_PLAYING);
  const Bytes s = vxgst::ReadFile(vxgst::DataPath("lc_44k_st_128.aac"));
  GstBuffer* buf = gst_buffer_new_memdup(s.data(), s.size());
  GST_BUFFER_PTS(buf) = 0;
  gst_app_src_push_buffer(GST_APP_SRC(src), buf);
  GstQuery* q = gst_query_new_latency();
  GstPad* srcpad = gst_element_get_static_pad(dec, "src");
  for (int i = 0; i < 100 && !gst_pad_has_current_caps(srcpad); ++i) g_usleep(10000);
  ASSERT_TRUE(gst_pad_query(srcpad, q));
  gboolean live = FALSE;
  GstClockTime min = 0, max = 0;
  gst_query_parse_latency(q, &live, &min, &max);
  EXPECT_TRUE(live);
  EXPECT_EQ(min, gst_util_uint64_scale(1024, GST_SECOND, 44100));
  gst_query_unref(q);
  gst_object_unref(srcpad);
  gst_object_unref(src);
  gst_object_unref(dec);
  gst_element_set_state(p, GST_STATE_NULL);
  gst_object_unref(p);

  const vxgst::Output out =
      vxgst::RunPipeline(Src("lc_44k_st_128.aac") + " ! vxaacdec min-latency=100000000");
  ASSERT_EQ(out.error, "");
  EXPECT_EQ(out.Frames(), 43u * 1024);
  ASSERT_GE(out.duration.size(), 2u);
  for (size_t i = 0; i + 1 < out.duration.size(); ++i)
    EXPECT_GE(out.duration[i], 100 * GST_MSECOND) << i;
}

// Output buffers come from a pool of the frame's size: downstream's when it
// offers one in the ALLOCATION query, else the element's own.
TEST(AudioDecoder, OutputBuffersComeFromAFrameSizedPool) {
  REQUIRE_DECODER();
  const Bytes s = vxgst::ReadFile(vxgst::DataPath("lc_44k_st_128.aac"));
  for (const bool offer : {false, true}) {
    SCOPED_TRACE(offer);
    static GstBufferPool* offered;
    offered = offer ? gst_buffer_pool_new() : nullptr;
    GstElement* e = gst_element_factory_make("vxaacdec", nullptr);
    GstPad* src = gst_pad_new("src", GST_PAD_SRC);
    GstPad* sink = gst_pad_new("sink", GST_PAD_SINK);
    static std::vector<GstBuffer*> got;
    got.clear();
    gst_pad_set_chain_function(sink, [](GstPad*, GstObject*, GstBuffer* b) {
      got.push_back(b);
      return GST_FLOW_OK;
    });
    gst_pad_set_query_function(sink, [](GstPad* pad, GstObject* parent, GstQuery* q) -> gboolean {
      if (GST_QUERY_TYPE(q) == GST_QUERY_ALLOCATION && offered) {
        gst_query_add_allocation_pool(q, offered, 512, 0, 0);
        return TRUE;
      }
      return gst_pad_query_default(pad, parent, q);
    });
    GstPad* esink = gst_element_get_static_pad(e, "sink");
    GstPad* esrc = gst_element_get_static_pad(e, "src");
    gst_pad_link(src, esink);
    gst_pad_link(esrc, sink);
    gst_pad_set_active(src, TRUE);
    gst_pad_set_active(sink, TRUE);
    gst_element_set_state(e, GST_STATE_PLAYING);
    gst_pad_push_event(src, gst_event_new_stream_start("s"));
    GstCaps* caps =
        gst_caps_from_string("audio/mpeg, mpegversion=(int)4, stream-format=(string)adts");
    gst_pad_push_event(src, gst_event_new_caps(caps));
    gst_caps_unref(caps);
    GstSegment seg;
    gst_segment_init(&seg, GST_FORMAT_TIME);
    gst_pad_push_event(src, gst_event_new_segment(&seg));
    EXPECT_EQ(gst_pad_push(src, gst_buffer_new_memdup(s.data(), s.size())), GST_FLOW_OK);
    ASSERT_EQ(got.size(), 43u);
    for (GstBuffer* b : got) {
      EXPECT_EQ(gst_buffer_get_size(b), 4096u);
      gsize offset = 0, maxsize = 0;
      gst_buffer_get_sizes(b, &offset, &maxsize);
      EXPECT_LT(maxsize, 4096u + 64) << "frame-sized, not a larger buffer cut down";
      ASSERT_NE(b->pool, nullptr);
      if (offer) {
        EXPECT_EQ(b->pool, offered);
      }
    }
    for (GstBuffer* b : got) gst_buffer_unref(b);
    got.clear();
    gst_element_set_state(e, GST_STATE_NULL);
    for (GstObject* o :
         {GST_OBJECT(esink), GST_OBJECT(esrc), GST_OBJECT(src), GST_OBJECT(sink), GST_OBJECT(e)})
      gst_object_unref(o);
    if (offered) gst_object_unref(offered);
  }
}

// F32LE when downstream asks for it: the decoder's unrounded output,
// within 0.05 LSB of a float reference; S16LE stays the default wherever
// both are accepted.
TEST(AudioDecoder, FloatOutputOnRequest) {
  REQUIRE_DECODER();
  const vxgst::Output f32 =
      vxgst::RunPipeline(Src("lc_44k_st_128.aac") + " ! vxaacdec ! audio/x-raw,format=F32LE");
  ASSERT_EQ(f32.error, "");
  EXPECT_EQ(f32.format, "F32LE");
  vxtest::Wav ours;
  ours.channels = 2;
  ours.sample_rate = 44100;
  ours.bits_per_sample = 32;
  ours.is_float = true;
  const float* p = reinterpret_cast<const float*>(f32.pcm.data());
  ours.floats.assign(p, p + f32.pcm.size() / 4);
  vxtest::Wav ref;
  std::string error;
  ASSERT_TRUE(vxtest::ReadWav(vxgst::DataPath("lc_44k_st_128_ref.wav"), &ref, &error)) << error;
  const vxtest::CompareResult r = vxtest::Compare(ours, ref);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_LE(r.rms_lsb, 0.05) << vxtest::FormatResult(r);
  EXPECT_GT(r.frames, 8000u);
  const vxgst::Output dflt =
      vxgst::RunPipeline(Src("lc_44k_st_128.aac") + " ! vxaacdec ! audioconvert");
  EXPECT_EQ(dflt.format, "S16LE");
}

// The element names the coding in an audio-codec tag (upstream says
// nothing here), and the average bitrate once a second is decoded (the
// clip twice: 2 s).
TEST(AudioDecoder, TagsNameTheCodecAndBitrate) {
  REQUIRE_DECODER();
  GstHarness* h = gst_harness_new("vxaacdec");
  gst_harness_set_src_caps_str(h, "audio/mpeg, mpegversion=(int)4, stream-format=(string)adts");
  const Bytes s = vxgst::ReadFile(vxgst::DataPath("lc_44k_st_128.aac"));
  for (int twice = 0; twice < 2; ++twice)
    gst_harness_push(h, gst_buffer_new_memdup(s.data(), s.size()));
  gst_harness_push_event(h, gst_event_new_eos());
  std::string codec;
  guint bitrate = 0;
  while (GstEvent* e = gst_harness_try_pull_event(h)) {
    if (GST_EVENT_TYPE(e) == GST_EVENT_TAG) {
      GstTagList* tags = nullptr;
      gst_event_parse_tag(e, &tags);
      gchar* c = nullptr;
      if (gst_tag_list_get_string(tags, GST_TAG_AUDIO_CODEC, &c)) codec = c;
      g_free(c);
      gst_tag_list_get_uint(tags, GST_TAG_BITRATE, &bitrate);
    }
    gst_event_unref(e);
  }
  EXPECT_EQ(codec, "MPEG-4 AAC");
  // 15701 bytes over 43 frames of 1024 samples at 44100 Hz.
  EXPECT_NEAR(double(bitrate), 15701.0 * 8 * 44100 / (43 * 1024), 2000.0);
  gst_harness_teardown(h);
}

// ADTS whose layout is in a program config element, which the usual AAC
// parser cannot frame, plays through playbin: 6 channels (hexagonal) and
// 4 (quad), the same PCM as the element gives straight from the file.
// Other ADTS streams keep the usual parser.
TEST(AudioDecoder, PceLayoutsPlayThroughPlaybin) {
  REQUIRE_DECODER();
  const struct {
    const char* file;
    int channels;
    guint64 mask;
  } cases[] = {{"lc_48k_hex_pce.aac", 6, 0x137}, {"lc_32k_pce_quad.aac", 4, 0x33}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const vxgst::Output straight = vxgst::RunPipeline(Src(c.file) + " ! vxaacdec");
    ASSERT_EQ(straight.error, "");
    GstElement* playbin = vxgst::PlaybinWithAppsink(vxgst::DataPath(c.file));
    const vxgst::SeekRun run = vxgst::RunWithSeek(playbin, GST_SEEK_FLAG_FLUSH, 0);
    gst_object_unref(playbin);
    ASSERT_EQ(run.after.error, "");
    EXPECT_TRUE(run.after.used_vxaacdec);
    EXPECT_EQ(run.after.channels, c.channels);
    EXPECT_EQ(run.after.channel_mask, c.mask);
    EXPECT_EQ(straight.channel_mask, c.mask);
    EXPECT_TRUE(run.after.pcm == straight.pcm);
  }
  GstElementFactory* f = gst_element_factory_find("vxaacparse");
  ASSERT_NE(f, nullptr);
  GstCaps* with_channels = gst_caps_from_string(
      "audio/mpeg, mpegversion=(int)4, stream-format=(string)adts, channels=(int)2, "
      "rate=(int)44100");
  GstElement* parse = gst_element_factory_create(f, nullptr);
  GstPad* sink = gst_element_get_static_pad(parse, "sink");
  EXPECT_FALSE(gst_pad_query_accept_caps(sink, with_channels));
  GstCaps* without = gst_caps_from_string("audio/mpeg, mpegversion=(int)4, stream-format=adts");
  EXPECT_TRUE(gst_pad_query_accept_caps(sink, without));
  gst_caps_unref(without);
  gst_caps_unref(with_channels);
  gst_object_unref(sink);
  gst_object_unref(parse);
  gst_object_unref(f);
}

}  // namespace
