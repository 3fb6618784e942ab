// The element's events, time stamps and error handling, driven buffer by
// buffer through a harness.
#include <gst/check/gstharness.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "gst/gst_helpers.h"

namespace {

using Bytes = std::vector<uint8_t>;

#define REQUIRE_DECODER()                                                   \
  do {                                                                      \
    vxgst::EnsureGst();                                                     \
    if (!vxgst::DecoderAvailable()) GTEST_SKIP() << "no decoder linked in"; \
  } while (0)

const char* kAdtsCaps = "audio/mpeg, mpegversion=(int)4, stream-format=(string)adts";

GstBuffer* Buffer(const uint8_t* p, size_t n, GstClockTime pts = GST_CLOCK_TIME_NONE) {
  GstBuffer* b = gst_buffer_new_memdup(p, n);
  GST_BUFFER_PTS(b) = pts;
  return b;
}

// A harness around a fresh element with its own bus.
struct Harness {
  GstHarness* h;
  GstBus* bus;
  explicit Harness(const char* caps) {
    vxgst::EnsureGst();
    h = gst_harness_new("vxaacdec");
    bus = gst_bus_new();
    gst_element_set_bus(h->element, bus);
    if (caps) gst_harness_set_src_caps_str(h, caps);
  }
  ~Harness() {
    gst_element_set_bus(h->element, nullptr);
    gst_object_unref(bus);
    gst_harness_teardown(h);
  }
  // Every buffer that reached the sink so far, with the sink caps.
  vxgst::Output Drain() {
    vxgst::Output out;
    GstCaps* caps = gst_pad_get_current_caps(h->sinkpad);
    vxgst::ReadCaps(caps, &out);
    if (caps) gst_caps_unref(caps);
    while (GstBuffer* b = gst_harness_try_pull(h)) {
      GstMapInfo map;
      gst_buffer_map(b, &map, GST_MAP_READ);
      out.pcm.insert(out.pcm.end(), map.data, map.data + map.size);
      out.sizes.push_back(map.size);
      gst_buffer_unmap(b, &map);
      out.pts.push_back(GST_BUFFER_PTS(b));
      out.duration.push_back(GST_BUFFER_DURATION(b));
      out.offset.push_back(GST_BUFFER_OFFSET(b));
      out.offset_end.push_back(GST_BUFFER_OFFSET_END(b));
      out.discont.push_back(GST_BUFFER_FLAG_IS_SET(b, GST_BUFFER_FLAG_DISCONT));
      gst_buffer_unref(b);
    }
    return out;
  }
  int CountErrors(GError** first = nullptr) {
    int n = 0;
    while (GstMessage* m = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR)) {
      GError* err = nullptr;
      gst_message_parse_error(m, &err, nullptr);
      if (first && !*first)
        *first = err;
      else
        g_clear_error(&err);
      gst_message_unref(m);
      ++n;
    }
    return n;
  }
};

Bytes Clip(const char* name) {
  return vxgst::ReadFile(vxgst::DataPath(name));
}

// Frames [from, to) of an ADTS stream.
Bytes AdtsRange(const Bytes& s, size_t from, size_t to) {
  const auto frames = vxgst::AdtsFrames(s);
  to = std::min(to, frames.size());
  if (from >= to) return {};
  const size_t begin = frames[from].first, end = frames[to - 1].first + frames[to - 1].second;
  return Bytes(s.begin() + static_cast<long>(begin), s.begin() + static_cast<long>(end));
}

// The reference decode: the whole stream in one buffer.
vxgst::Output DecodeWhole(const Bytes& adts) {
  Harness t(kAdtsCaps);
  EXPECT_EQ(gst_harness_push(t.h, Buffer(adts.data(), adts.size(), 0)), GST_FLOW_OK);
  gst_harness_push_event(t.h, gst_event_new_eos());
  return t.Drain();
}

Bytes FrameBytes(const vxgst::Output& out, size_t frame, size_t bytes_per_frame) {
  const auto first = out.pcm.begin() + static_cast<long>(frame * bytes_per_frame);
  return Bytes(first, first + static_cast<long>(bytes_per_frame));
}

TEST(Element, CapsEventsAreConsumedAndOutputCapsComeFromTheFrames) {
  REQUIRE_DECODER();
  // Upstream's claims are wrong on purpose.
  Harness t(
      "audio/mpeg, mpegversion=(int)4, stream-format=(string)adts, rate=(int)8000, "
      "channels=(int)6");
  const Bytes s = AdtsRange(Clip("lc_44k_st_128.aac"), 0, 4);
  ASSERT_EQ(gst_harness_push(t.h, Buffer(s.data(), s.size(), 0)), GST_FLOW_OK);
  int caps_events = 0;
  while (GstEvent* e = gst_harness_try_pull_event(t.h)) {
    if (GST_EVENT_TYPE(e) == GST_EVENT_CAPS) {
      ++caps_events;
      GstCaps* caps = nullptr;
      gst_event_parse_caps(e, &caps);
      EXPECT_TRUE(gst_structure_has_name(gst_caps_get_structure(caps, 0), "audio/x-raw"));
    }
    gst_event_unref(e);
  }
  EXPECT_EQ(caps_events, 1);
  const vxgst::Output out = t.Drain();
  EXPECT_EQ(out.rate, 44100);
  EXPECT_EQ(out.channels, 2);
  EXPECT_EQ(out.format, "S16LE");
  EXPECT_EQ(out.pts.size(), 4u);
}

TEST(Element, FramesSplitAcrossBuffersAreKept) {
  REQUIRE_DECODER();
  const Bytes s = Clip("lc_44k_st_128.aac");
  const vxgst::Output whole = DecodeWhole(s);
  ASSERT_EQ(whole.pts.size(), 43u);
  // Buffers of 1..97 bytes: every frame straddles several.
  Harness t(kAdtsCaps);
  std::mt19937 rng(7);
  size_t pos = 0;
  while (pos < s.size()) {
    const size_t n = std::min<size_t>(s.size() - pos, 1 + rng() % 97);
    ASSERT_EQ(gst_harness_push(t.h, Buffer(s.data() + pos, n)), GST_FLOW_OK);
    pos += n;
  }
  gst_harness_push_event(t.h, gst_event_new_eos());
  const vxgst::Output split = t.Drain();
  EXPECT_TRUE(split.pcm == whole.pcm);
  EXPECT_EQ(vxgst::CheckContinuity(split, 0), "");
}

TEST(Element, BytesSegmentBecomesTimeFromZero) {
  REQUIRE_DECODER();
  Harness t(nullptr);
  gst_harness_set_src_caps_str(t.h, kAdtsCaps);
  GstSegment bytes;
  gst_segment_init(&bytes, GST_FORMAT_BYTES);
  bytes.start = 1000;
  bytes.position = 1000;
  bytes.time = 1000;
  // Replaces the harness's own TIME segment.
  ASSERT_TRUE(gst_harness_push_event(t.h, gst_event_new_segment(&bytes)));
  const Bytes s = AdtsRange(Clip("lc_44k_st_128.aac"), 0, 6);
  ASSERT_EQ(gst_harness_push(t.h, Buffer(s.data(), s.size())), GST_FLOW_OK);
  const GstSegment* last = nullptr;
  GstEvent* seg_event = nullptr;
  while (GstEvent* e = gst_harness_try_pull_event(t.h)) {
    if (GST_EVENT_TYPE(e) == GST_EVENT_SEGMENT) {
      if (seg_event) gst_event_unref(seg_event);
      seg_event = e;
      continue;
    }
    gst_event_unref(e);
  }
  ASSERT_NE(seg_event, nullptr);
  gst_event_parse_segment(seg_event, &last);
  EXPECT_EQ(last->format, GST_FORMAT_TIME);
  EXPECT_EQ(last->start, 0u);
  EXPECT_EQ(last->time, 0u);
  EXPECT_EQ(last->stop, GST_CLOCK_TIME_NONE);
  gst_event_unref(seg_event);
  const vxgst::Output out = t.Drain();
  ASSERT_EQ(out.pts.size(), 6u);
  EXPECT_EQ(vxgst::CheckContinuity(out, 0), "");
}

TEST(Element, FlushInTheMiddleStartsAFreshDecoder) {
  REQUIRE_DECODER();
  const Bytes s = Clip("lc_44k_st_128.aac");
  Harness t(kAdtsCaps);
  // Twenty frames and half of the next, in 100-byte buffers.
  const Bytes head = AdtsRange(s, 0, 21);
  const size_t cut = AdtsRange(s, 0, 20).size() + 150;
  for (size_t pos = 0; pos < cut; pos += 100)
    ASSERT_EQ(gst_harness_push(t.h, Buffer(head.data() + pos, std::min<size_t>(100, cut - pos))),
              GST_FLOW_OK);
  EXPECT_EQ(t.Drain().pts.size(), 20u);

  ASSERT_TRUE(gst_harness_push_event(t.h, gst_event_new_flush_start()));
  ASSERT_TRUE(gst_harness_push_event(t.h, gst_event_new_flush_stop(TRUE)));
  GstSegment seg;
  gst_segment_init(&seg, GST_FORMAT_TIME);
  seg.start = seg.time = seg.position = 5 * GST_SECOND;
  ASSERT_TRUE(gst_harness_push_event(t.h, gst_event_new_segment(&seg)));
  const Bytes tail = AdtsRange(s, 30, 43);
  GstBuffer* b = Buffer(tail.data(), tail.size(), 5 * GST_SECOND);
  GST_BUFFER_FLAG_SET(b, GST_BUFFER_FLAG_DISCONT);
  ASSERT_EQ(gst_harness_push(t.h, b), GST_FLOW_OK);
  const vxgst::Output after = t.Drain();

  // Nothing of the half frame before the flush survives, and the output is
  // that of a decoder that starts at frame 30.
  const vxgst::Output fresh = DecodeWhole(tail);
  ASSERT_EQ(after.pts.size(), 13u);
  EXPECT_TRUE(after.pcm == fresh.pcm);
  EXPECT_TRUE(after.discont[0]);
  EXPECT_EQ(vxgst::CheckContinuity(after, 5 * GST_SECOND), "");
}

TEST(Element, MalformedFrameIsPushedAsSilence) {
  REQUIRE_DECODER();
  Bytes s = Clip("lc_44k_st_crc.aac");
  const vxgst::Output clean = DecodeWhole(s);
  ASSERT_EQ(clean.pts.size(), 16u);
  // A protected bit of frame 5 flipped: the CRC check fails.
  const auto frames = vxgst::AdtsFrames(s);
  s[frames[5].first + 9 + 2] ^= 0x10;
  Harness t(kAdtsCaps);
  for (size_t i = 0; i < frames.size(); ++i)
    ASSERT_EQ(gst_harness_push(t.h, Buffer(s.data() + frames[i].first, frames[i].second)),
              GST_FLOW_OK);
  gst_harness_push_event(t.h, gst_event_new_eos());
  const vxgst::Output out = t.Drain();
  ASSERT_EQ(out.pts.size(), 16u);
  EXPECT_EQ(vxgst::CheckContinuity(out, 0), "");
  const size_t frame_bytes = 1024 * 2 * 2;
  const Bytes silence(frame_bytes, 0);
  EXPECT_TRUE(FrameBytes(out, 5, frame_bytes) == silence);
  for (size_t f = 0; f < 5; ++f)
    EXPECT_TRUE(FrameBytes(out, f, frame_bytes) == FrameBytes(clean, f, frame_bytes));
  EXPECT_FALSE(FrameBytes(clean, 5, frame_bytes) == silence);
  // Damaged frames count against max-errors, by default never an error:
  // nothing on the bus (popping one message type discards the others, so
  // look at both in one pass).
  int warnings = 0, errors = 0;
  while (GstMessage* m = gst_bus_pop(t.bus)) {
    warnings += GST_MESSAGE_TYPE(m) == GST_MESSAGE_WARNING;
    errors += GST_MESSAGE_TYPE(m) == GST_MESSAGE_ERROR;
    gst_message_unref(m);
  }
  EXPECT_EQ(warnings, 0);
  EXPECT_EQ(errors, 0);
}

TEST(Element, GarbageInTheMiddleIsSkipped) {
  REQUIRE_DECODER();
  const Bytes s = Clip("lc_44k_st_128.aac");
  const vxgst::Output clean = DecodeWhole(s);
  Bytes damaged = AdtsRange(s, 0, 20);
  std::mt19937 rng(11);
  for (int i = 0; i < 3000; ++i) damaged.push_back(static_cast<uint8_t>(rng() & 0x7F));  // no sync
  const Bytes rest = AdtsRange(s, 20, 43);
  damaged.insert(damaged.end(), rest.begin(), rest.end());
  Harness t(kAdtsCaps);
  for (size_t pos = 0; pos < damaged.size(); pos += 512)
    ASSERT_EQ(gst_harness_push(
                  t.h, Buffer(damaged.data() + pos, std::min<size_t>(512, damaged.size() - pos))),
              GST_FLOW_OK);
  gst_harness_push_event(t.h, gst_event_new_eos());
  const vxgst::Output out = t.Drain();
  EXPECT_EQ(t.CountErrors(), 0);
  ASSERT_EQ(out.pts.size(), 43u);
  EXPECT_EQ(vxgst::CheckContinuity(out, 0), "");
  const size_t frame_bytes = 4096;
  for (size_t f = 22; f < 43; ++f)
    EXPECT_TRUE(FrameBytes(out, f, frame_bytes) == FrameBytes(clean, f, frame_bytes)) << f;
}

TEST(Element, RawAccessUnitsWithGivenOrRebuiltCodecData) {
  REQUIRE_DECODER();
  const Bytes s = Clip("lc_44k_st_128.aac");
  const vxgst::Output adts = DecodeWhole(s);
  const auto frames = vxgst::AdtsFrames(s);
  for (const char* caps :
       {"audio/mpeg, mpegversion=(int)4, stream-format=(string)raw, rate=(int)44100, "
        "channels=(int)2, codec_data=(buffer)1210",
        "audio/mpeg, mpegversion=(int)4, stream-format=(string)raw, rate=(int)44100, "
        "channels=(int)2"}) {
    SCOPED_TRACE(caps);
    Harness t(caps);
    for (size_t i = 0; i < frames.size(); ++i) {
      const size_t header = (s[frames[i].first + 1] & 1) ? 7 : 9;
      ASSERT_EQ(gst_harness_push(t.h, Buffer(s.data() + frames[i].first + header,
                                             frames[i].second - header, i * 23219954)),
                GST_FLOW_OK);
    }
    const vxgst::Output out = t.Drain();
    ASSERT_EQ(out.pts.size(), frames.size());  // one output buffer per access unit
    EXPECT_TRUE(out.pcm == adts.pcm);
    EXPECT_EQ(vxgst::CheckContinuity(out, 0), "");
  }
}

TEST(Element, InitFailureIsAnErrorMessage) {
  REQUIRE_DECODER();
  // Audio object type 40 (escape 31 + 8): not an AAC or ALS type.
  Harness t(
      "audio/mpeg, mpegversion=(int)4, stream-format=(string)raw, rate=(int)44100, "
      "channels=(int)2, codec_data=(buffer)f90880");
  const uint8_t au[16] = {};
  EXPECT_EQ(gst_harness_push(t.h, Buffer(au, sizeof au, 0)), GST_FLOW_ERROR);
  GError* err = nullptr;
  EXPECT_EQ(t.CountErrors(&err), 1);
  ASSERT_NE(err, nullptr);
  EXPECT_TRUE(g_error_matches(err, GST_STREAM_ERROR, GST_STREAM_ERROR_DECODE));
  g_clear_error(&err);
}

// A pass ends at the first refused push and reports the refusal upstream.
TEST(Element, DownstreamFlowReturnEndsThePass) {
  REQUIRE_DECODER();
  GstElement* e = gst_element_factory_make("vxaacdec", nullptr);
  GstPad* src = gst_pad_new("src", GST_PAD_SRC);
  GstPad* sink = gst_pad_new("sink", GST_PAD_SINK);
  static int chain_calls;
  chain_calls = 0;
  gst_pad_set_chain_function(sink, [](GstPad*, GstObject*, GstBuffer* b) {
    ++chain_calls;
    gst_buffer_unref(b);
    return GST_FLOW_FLUSHING;
  });
  GstPad* esink = gst_element_get_static_pad(e, "sink");
  GstPad* esrc = gst_element_get_static_pad(e, "src");
  ASSERT_EQ(gst_pad_link(src, esink), GST_PAD_LINK_OK);
  ASSERT_EQ(gst_pad_link(esrc, sink), GST_PAD_LINK_OK);
  gst_pad_set_active(src, TRUE);
  gst_pad_set_active(sink, TRUE);
  gst_element_set_state(e, GST_STATE_PLAYING);
  gst_pad_push_event(src, gst_event_new_stream_start("s"));
  GstCaps* caps = gst_caps_from_string(kAdtsCaps);
  gst_pad_push_event(src, gst_event_new_caps(caps));
  gst_caps_unref(caps);
  GstSegment seg;
  gst_segment_init(&seg, GST_FORMAT_TIME);
  gst_pad_push_event(src, gst_event_new_segment(&seg));
  const Bytes s = AdtsRange(Clip("lc_44k_st_128.aac"), 0, 10);
  EXPECT_EQ(gst_pad_push(src, Buffer(s.data(), s.size(), 0)), GST_FLOW_FLUSHING);
  EXPECT_EQ(chain_calls, 1);
  gst_element_set_state(e, GST_STATE_NULL);
  gst_object_unref(esink);
  gst_object_unref(esrc);
  gst_object_unref(src);
  gst_object_unref(sink);
  gst_object_unref(e);
}

}  // namespace
