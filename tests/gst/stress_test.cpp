// The element under real pipelines: seeking with and without a parser,
// state changes, caps changes, odd buffer sizes and time stamps, damaged
// input, and the messages that tell a user what went wrong.
#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "als/als_decoder.h"
#include "gst/gst_helpers.h"
#include "umc/bit_reader.h"

namespace {

using Bytes = std::vector<uint8_t>;

#define REQUIRE_DECODER()                                                   \
  do {                                                                      \
    vxgst::EnsureGst();                                                     \
    if (!vxgst::DecoderAvailable()) GTEST_SKIP() << "no decoder linked in"; \
  } while (0)

// GLib warnings and criticals from any library fail the test that caused
// them.
int g_log_failures = 0;
std::string g_first_log;

void CountLog(const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer) {
  if (level & (G_LOG_LEVEL_WARNING | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_ERROR)) {
    if (g_log_failures++ == 0) g_first_log = std::string(domain ? domain : "") + ": " + message;
  }
}

class Stress : public ::testing::Test {
 protected:
  void SetUp() override {
    vxgst::EnsureGst();
    g_log_failures = 0;
    g_first_log.clear();
    previous_ = g_log_set_default_handler(CountLog, nullptr);
  }
  void TearDown() override {
    g_log_set_default_handler(previous_, nullptr);
    for (const std::string& f : temp_files_) std::remove(f.c_str());
    EXPECT_EQ(g_log_failures, 0) << g_first_log;
  }
  // A file that lives until the end of the test.
  std::string TempFile(const Bytes& bytes, const char* suffix) {
    gchar* name = nullptr;
    const gint fd =
        g_file_open_tmp(("vxstress-XXXXXX" + std::string(suffix)).c_str(), &name, nullptr);
    EXPECT_GE(fd, 0);
    const std::string path = name ? name : "";
    g_free(name);
    if (fd >= 0) {
      FILE* f = fdopen(fd, "wb");
      std::fwrite(bytes.data(), 1, bytes.size(), f);
      std::fclose(f);
    }
    temp_files_.push_back(path);
    return path;
  }

 private:
  GLogFunc previous_ = nullptr;
  std::vector<std::string> temp_files_;
};

Bytes Clip(const char* name) {
  return vxgst::ReadFile(vxgst::DataPath(name));
}
[[maybe_unused]] Bytes AacClip(const char* name) {
  return vxgst::ReadFile(std::string(VX_TEST_DATA_DIR) + "/aac/" + name);
}
Bytes AlsClip(const char* name) {
  return vxgst::ReadFile(std::string(VX_TEST_DATA_DIR) + "/als/" + name);
}

// `count` ADTS frames drawn from a clip in a fixed pseudo-random order: a
// long stream whose every second sounds different, so that a position can
// be recognised from the decoded samples.
Bytes ShuffledAdts(const Bytes& clip, size_t count, unsigned seed) {
  const auto frames = vxgst::AdtsFrames(clip);
  std::mt19937 rng(seed);
  Bytes out;
  for (size_t i = 0; i < count; ++i) {
    const auto& f = frames[rng() % frames.size()];
    out.insert(out.end(), clip.begin() + static_cast<long>(f.first),
               clip.begin() + static_cast<long>(f.first + f.second));
  }
  return out;
}

// Takes a parser out of auto-plugging while it lives, as on systems without
// it: decodebin then links the decoder straight to typefind.
class WithoutParser {
 public:
  explicit WithoutParser(const char* name)
      : feature_(gst_registry_lookup_feature(gst_registry_get(), name)) {
    if (feature_) {
      rank_ = gst_plugin_feature_get_rank(feature_);
      gst_plugin_feature_set_rank(feature_, GST_RANK_NONE);
    }
  }
  ~WithoutParser() {
    if (!feature_) return;
    gst_plugin_feature_set_rank(feature_, rank_);
    gst_object_unref(feature_);
  }
  WithoutParser(const WithoutParser&) = delete;
  WithoutParser& operator=(const WithoutParser&) = delete;

 private:
  GstPluginFeature* feature_;
  guint rank_ = 0;
};

// The same frames padded to `size` bytes each (zero bytes after the raw data
// block): a constant byte rate.
Bytes PaddedAdts(const Bytes& adts, size_t size) {
  Bytes out;
  for (const auto& [at, n] : vxgst::AdtsFrames(adts)) {
    const size_t start = out.size();
    out.insert(out.end(), adts.begin() + static_cast<long>(at),
               adts.begin() + static_cast<long>(at + n));
    out.resize(start + std::max(n, size), 0);
    const size_t len = out.size() - start;
    out[start + 3] = static_cast<uint8_t>((out[start + 3] & 0xFC) | (len >> 11));
    out[start + 4] = static_cast<uint8_t>(len >> 3);
    out[start + 5] = static_cast<uint8_t>((out[start + 5] & 0x1F) | ((len & 7) << 5));
  }
  return out;
}

// Frames [from, to) of an ADTS stream.
Bytes AdtsRange(const Bytes& s, size_t from, size_t to) {
  const auto frames = vxgst::AdtsFrames(s);
  to = std::min(to, frames.size());
  if (from >= to) return {};
  const size_t begin = frames[from].first, end = frames[to - 1].first + frames[to - 1].second;
  return Bytes(s.begin() + static_cast<long>(begin), s.begin() + static_cast<long>(end));
}

uint32_t LoadBE32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// Bytes of the "ALS\0" header of a raw ALS stream (0 if unreadable).
size_t AlsHeaderBytes(const Bytes& als, AlsConfig* cfg) {
  UMC::BitReader r;
  UMC::BitReaderInit(r, als.data() + 4, static_cast<int32_t>(als.size() - 4));
  if (ALSConfigParse(*cfg, r) != 0) return 0;
  return 4 + static_cast<size_t>((UMC::BitReaderBitsConsumed(r) + 7) >> 3);
}

// A stream with a random-access unit size before each unit (ra_flag 1)
// rewritten with the sizes in a table in the header (ra_flag 2).
Bytes AlsWithTable(const Bytes& als) {
  AlsConfig cfg;
  const size_t header = AlsHeaderBytes(als, &cfg);
  if (header == 0 || cfg.ra_flag != 1 || cfg.random_access == 0 || cfg.aux_data_enabled) return {};
  Bytes units, table;
  for (size_t at = header; at + 4 <= als.size();) {
    const uint32_t size = LoadBE32(als.data() + at);
    table.insert(table.end(), als.begin() + static_cast<long>(at),
                 als.begin() + static_cast<long>(at + 4));
    units.insert(units.end(), als.begin() + static_cast<long>(at + 4),
                 als.begin() + static_cast<long>(std::min(als.size(), at + 4 + size)));
    at += 4 + size;
  }
  Bytes out(als.begin(), als.begin() + static_cast<long>(header));
  out[18] = static_cast<uint8_t>((out[18] & 0x3F) | 0x80);  // ra_flag = 2
  out.insert(out.end(), table.begin(), table.end());        // after the CRC
  out.insert(out.end(), units.begin(), units.end());
  return out;
}

// Runs a pipeline that ends in its own sink; returns the error, if any.
std::string RunToEos(const std::string& description) {
  GError* err = nullptr;
  GstElement* p = gst_parse_launch(description.c_str(), &err);
  if (err || !p) {
    const std::string text = err ? err->message : "parse failed";
    g_clear_error(&err);
    if (p) gst_object_unref(p);
    return text;
  }
  gst_element_set_state(p, GST_STATE_PLAYING);
  GstBus* bus = gst_element_get_bus(p);
  GstMessage* m = gst_bus_timed_pop_filtered(
      bus, 60 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  std::string text = m ? "" : "time-out";
  if (m && GST_MESSAGE_TYPE(m) == GST_MESSAGE_ERROR) {
    gst_message_parse_error(m, &err, nullptr);
    text = err ? err->message : "error";
    g_clear_error(&err);
  }
  if (m) gst_message_unref(m);
  gst_element_set_state(p, GST_STATE_NULL);
  gst_object_unref(bus);
  gst_object_unref(p);
  return text;
}

std::string Quoted(const std::string& path) {
  return "\"" + path + "\"";
}

// Time stamps follow each other without gaps and count samples (buffer
// offsets) from the stream's start.
std::string CheckTimeline(const vxgst::Output& out) {
  for (size_t i = 0; i < out.pts.size(); ++i) {
    if (!GST_CLOCK_TIME_IS_VALID(out.pts[i])) return "buffer without time stamp";
    if (i > 0 && out.pts[i] != out.pts[i - 1] + out.duration[i - 1])
      return "gap before buffer " + std::to_string(i);
    if (i > 0 && out.offset[i] != out.offset_end[i - 1])
      return "offset jump before buffer " + std::to_string(i);
    // Within a sample: a buffer clipped to the segment start is stamped with
    // the start itself.
    const GstClockTime expect = gst_util_uint64_scale(out.offset[i], GST_SECOND, out.rate);
    if (out.pts[i] + GST_SECOND / out.rate < expect || out.pts[i] > expect + GST_SECOND / out.rate)
      return "time stamp " + std::to_string(out.pts[i]) + " does not follow the offset " +
             std::to_string(out.offset[i]) + " at buffer " + std::to_string(i);
  }
  return "";
}

size_t BytesPerFrame(const vxgst::Output& out) {
  return out.Frames() ? out.pcm.size() / out.Frames() : 0;
}

// Samples [first, first + count) of a decode, as bytes.
Bytes Span(const vxgst::Output& out, size_t first, size_t count) {
  const size_t bpf = BytesPerFrame(out);
  if ((first + count) * bpf > out.pcm.size()) return {};
  return Bytes(out.pcm.begin() + static_cast<long>(first * bpf),
               out.pcm.begin() + static_cast<long>((first + count) * bpf));
}

// After an exact seek to `target`: the segment starts there, the first
// buffer holds it, and every sample equals the straight decode's sample
// at the same time.
void ExpectExactSeek(const vxgst::SeekRun& run, const vxgst::Output& straight,
                     GstClockTime target) {
  ASSERT_TRUE(run.seek_handled);
  ASSERT_EQ(run.after.error, "");
  ASSERT_FALSE(run.after.pts.empty());
  EXPECT_EQ(run.segment.format, GST_FORMAT_TIME);
  EXPECT_EQ(run.segment.start, target);
  EXPECT_LE(run.after.pts[0], target);
  EXPECT_GT(run.after.pts[0] + run.after.duration[0], target);
  EXPECT_TRUE(run.after.discont[0]);
  EXPECT_EQ(CheckTimeline(run.after), "");
  const size_t first = run.after.offset[0];
  ASSERT_EQ(first + run.after.Frames(), straight.Frames()) << "the rest of the stream, no more";
  EXPECT_TRUE(Span(run.after, 0, run.after.Frames()) == Span(straight, first, run.after.Frames()));
}

TEST_F(Stress, PlaybinSeeksInUnparsedAdtsExactly) {
  REQUIRE_DECODER();
  const std::string path = TempFile(ShuffledAdts(Clip("lc_44k_st_128.aac"), 430, 1), ".aac");
  const vxgst::Output straight =
      vxgst::RunPipeline("filesrc location=" + Quoted(path) + " ! vxaacdec");
  ASSERT_EQ(straight.error, "");
  ASSERT_EQ(straight.Frames(), 430u * 1024);
  for (const GstSeekFlags flags :
       {GST_SEEK_FLAG_FLUSH,
        static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE),
        static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_KEY_UNIT)}) {
    SCOPED_TRACE(flags);
    WithoutParser no_parser("aacparse");
    GstElement* playbin = vxgst::PlaybinWithAppsink(path);
    ASSERT_NE(playbin, nullptr);
    const GstClockTime target = 5 * GST_SECOND + 123 * GST_MSECOND;
    const vxgst::SeekRun run = vxgst::RunWithSeek(playbin, flags, target);
    gst_object_unref(playbin);
    EXPECT_TRUE(run.after.used_vxaacdec);
    ExpectExactSeek(run, straight, target);
  }
}

// Far beyond the decoded part a seek without ACCURATE is estimated from the
// bytes per second seen so far; at a constant byte rate that lands on the
// frame after the target, and time stamps start at the target.
TEST_F(Stress, FarSeekIsEstimatedFromTheByteRate) {
  REQUIRE_DECODER();
  const Bytes stream = PaddedAdts(ShuffledAdts(Clip("lc_44k_st_128.aac"), 12000, 2), 420);
  const std::string path = TempFile(stream, ".aac");
  const GstClockTime target = 200 * GST_SECOND;
  GstElement* p = vxgst::LaunchWithAppsink("filesrc location=" + Quoted(path) + " ! vxaacdec");
  ASSERT_NE(p, nullptr);
  const vxgst::SeekRun run =
      vxgst::RunWithSeek(p, static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_KEY_UNIT),
                         target, target + GST_SECOND);
  gst_object_unref(p);
  ASSERT_TRUE(run.seek_handled);
  ASSERT_EQ(run.after.error, "");
  EXPECT_EQ(run.segment.start, target);
  EXPECT_EQ(run.segment.stop, target + GST_SECOND);
  ASSERT_FALSE(run.after.pts.empty());
  EXPECT_EQ(run.after.pts[0], target);
  for (size_t i = 1; i < run.after.pts.size(); ++i)
    EXPECT_EQ(run.after.pts[i], run.after.pts[i - 1] + run.after.duration[i - 1]);
  // The segment ends the stream: about a second of output, then EOS.
  EXPECT_GE(run.after.Frames(), 44100u - 1024);
  EXPECT_LE(run.after.Frames(), 44100u + 1024);

  // Frame f starts at byte 420 f: decoding resumes at the first whole
  // frame after the estimated byte, f0 = ceil(target in frames).  After one
  // frame that rebuilds the overlap, the output is the straight decode's.
  const size_t f0 = (gst_util_uint64_scale(target, 44100, GST_SECOND) + 1023) / 1024;
  const std::string cut = TempFile(AdtsRange(stream, f0 - 2, f0 + 20), ".aac");
  const vxgst::Output straight =
      vxgst::RunPipeline("filesrc location=" + Quoted(cut) + " ! vxaacdec");
  ASSERT_EQ(straight.error, "");
  EXPECT_TRUE(Span(run.after, 1024, 10 * 1024) == Span(straight, 3 * 1024, 10 * 1024));
}

// Raw ALS: exact seeks through random-access units (sizes in the frames or
// in the header's table) and, without random access, by decoding from the
// start.
TEST_F(Stress, RawAlsSeeksExactly) {
  REQUIRE_DECODER();
  const Bytes ra = AlsClip("als_16b_st_ra.als");
  const Bytes table = AlsWithTable(ra);
  ASSERT_FALSE(table.empty());
  const struct {
    const char* name;
    Bytes bytes;
  } streams[] = {{"ra in frames", ra}, {"ra table", table}, {"no ra", AlsClip("als_16b_st.als")}};
  vxgst::Output reference;
  for (const auto& s : streams) {
    SCOPED_TRACE(s.name);
    const std::string path = TempFile(s.bytes, ".als");
    const vxgst::Output straight =
        vxgst::RunPipeline("filesrc location=" + Quoted(path) + " ! vxaacdec");
    ASSERT_EQ(straight.error, "");
    ASSERT_EQ(straight.Frames(), 24576u);
    if (reference.pcm.empty()) reference = straight;
    EXPECT_TRUE(straight.pcm == reference.pcm);  // the same recording
    for (const GstClockTime target : {400 * GST_MSECOND, 31 * GST_MSECOND, 0 * GST_MSECOND}) {
      SCOPED_TRACE(target);
      GstElement* p = vxgst::LaunchWithAppsink("filesrc blocksize=3000 location=" + Quoted(path) +
                                               " ! vxaacdec");
      ASSERT_NE(p, nullptr);
      const vxgst::SeekRun run = vxgst::RunWithSeek(p, GST_SEEK_FLAG_FLUSH, target);
      gst_object_unref(p);
      ExpectExactSeek(run, straight, target);
    }
  }
}

// Every buffer after the first (whose overlap a fresh decoder lacks) holds
// the straight decode's samples at its time stamp.
void ExpectSamplesAtTheirTimes(const vxgst::Output& out, const vxgst::Output& straight,
                               size_t from_buffer) {
  size_t compared = 0;
  for (size_t i = from_buffer; i < out.pts.size(); ++i) {
    const size_t at = gst_util_uint64_scale_round(out.pts[i], straight.rate, GST_SECOND);
    const size_t n = out.sizes[i] / BytesPerFrame(out);
    size_t first = 0;
    for (size_t j = 0; j < i; ++j) first += out.sizes[j] / BytesPerFrame(out);
    ASSERT_TRUE(Span(out, first, n) == Span(straight, at, n)) << "buffer " << i;
    ++compared;
  }
  EXPECT_GT(compared, 0u);
}

// Flushing seeks while playing, forwards and backwards: through the ADTS
// parser and the MP4 demuxer (they seek in TIME themselves) and without a
// parser (converted here).
TEST_F(Stress, SeeksDuringPlayback) {
  REQUIRE_DECODER();
  const std::string adts = TempFile(ShuffledAdts(Clip("lc_44k_st_128.aac"), 430, 3), ".aac");
  const std::string m4a = TempFile({}, ".m4a");
  ASSERT_EQ(RunToEos("filesrc location=" + Quoted(adts) +
                     " ! aacparse ! mp4mux ! filesink location=" + Quoted(m4a)),
            "");
  const vxgst::Output straight =
      vxgst::RunPipeline("filesrc location=" + Quoted(adts) + " ! vxaacdec");
  ASSERT_EQ(straight.Frames(), 430u * 1024);
  const std::string routes[] = {
      "filesrc location=" + Quoted(adts) + " ! aacparse ! vxaacdec",
      "filesrc location=" + Quoted(m4a) + " ! qtdemux ! vxaacdec",
      "filesrc location=" + Quoted(adts) + " ! vxaacdec",
  };
  const GstSeekFlags accurate =
      static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE);
  for (const std::string& route : routes) {
    SCOPED_TRACE(route);
    for (const GstClockTime target : {7 * GST_SECOND + 10 * GST_MSECOND, 2 * GST_SECOND}) {
      SCOPED_TRACE(target);
      GstElement* p = vxgst::LaunchWithAppsink(route);
      ASSERT_NE(p, nullptr);
      const vxgst::SeekRun run = vxgst::RunWithSeek(p, accurate, target, GST_CLOCK_TIME_NONE, 100);
      gst_object_unref(p);
      ASSERT_TRUE(run.seek_handled);
      ASSERT_EQ(run.after.error, "");
      EXPECT_EQ(run.before.pts.size(), 100u);
      ASSERT_GT(run.after.pts.size(), 2u);
      EXPECT_EQ(run.segment.start, target);
      // The frame that holds the target comes first (parsers start earlier
      // and the sink drops what ends before the segment).
      EXPECT_LE(run.after.pts[0], target);
      EXPECT_GT(run.after.pts[0] + run.after.duration[0], target);
      for (size_t i = 1; i < run.after.pts.size(); ++i)
        ASSERT_EQ(run.after.pts[i], run.after.pts[i - 1] + run.after.duration[i - 1]) << i;
      // Parsers stamp their first frame with a rounded time: the end is
      // within a microsecond of the exact one.
      const GstClockTime end = gst_util_uint64_scale(430 * 1024, GST_SECOND, 44100);
      EXPECT_NEAR(static_cast<double>(run.after.pts.back() + run.after.duration.back()),
                  static_cast<double>(end), 1000.0);
      ExpectSamplesAtTheirTimes(run.after, straight, 1);
    }
  }
}

// Buffers that reach a sink pad, collected by a probe (sinks that queue,
// like appsink, may still hold buffers from before a state change).
struct Collector {
  std::mutex lock;
  vxgst::Output out;
  std::string caps;
  static GstPadProbeReturn Probe(GstPad* pad, GstPadProbeInfo* info, gpointer self) {
    Collector* c = static_cast<Collector*>(self);
    GstBuffer* buf = GST_PAD_PROBE_INFO_BUFFER(info);
    GstCaps* caps = gst_pad_get_current_caps(pad);
    GstSample* sample = gst_sample_new(buf, caps, nullptr, nullptr);
    std::lock_guard<std::mutex> guard(c->lock);
    vxgst::AppendSample(sample, &c->out, &c->caps);
    gst_sample_unref(sample);
    if (caps) gst_caps_unref(caps);
    return GST_PAD_PROBE_OK;
  }
  size_t Count() {
    std::lock_guard<std::mutex> guard(lock);
    return out.pts.size();
  }
  vxgst::Output Take() {
    std::lock_guard<std::mutex> guard(lock);
    vxgst::Output taken = out;
    out = vxgst::Output{};
    caps.clear();
    return taken;
  }
};

// PLAYING -> READY -> PLAYING starts the stream again from its beginning
// with a fresh decoder and fresh caps, whenever it happens.
TEST_F(Stress, StateChangesRestartTheStream) {
  REQUIRE_DECODER();
  const std::string clip = Quoted(vxgst::DataPath("lc_44k_st_128.aac"));
  const vxgst::Output straight = vxgst::RunPipeline("filesrc location=" + clip + " ! vxaacdec");
  for (const std::string& route :
       {"filesrc location=" + clip + " ! aacparse ! vxaacdec",
        "filesrc location=" + clip + " blocksize=700 ! vxaacdec", std::string("playbin")}) {
    SCOPED_TRACE(route);
    GError* err = nullptr;
    GstElement* p = nullptr;
    GstElement* sink = nullptr;
    if (route == "playbin") {
      p = gst_element_factory_make("playbin", nullptr);
      sink = gst_element_factory_make("fakesink", "s");
      gchar* uri = gst_filename_to_uri(vxgst::DataPath("lc_44k_st_128.aac").c_str(), nullptr);
      g_object_set(sink, "sync", TRUE, nullptr);
      g_object_set(p, "uri", uri, "audio-sink", gst_object_ref(sink), "flags", 0x2, nullptr);
      g_free(uri);
    } else {
      p = gst_parse_launch((route + " ! fakesink name=s sync=true").c_str(), &err);
      ASSERT_EQ(err, nullptr);
      sink = gst_bin_get_by_name(GST_BIN(p), "s");
    }
    GstPad* pad = gst_element_get_static_pad(sink, "sink");
    Collector c;
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, Collector::Probe, &c, nullptr);
    for (int round = 0; round < 6; ++round) {
      SCOPED_TRACE(round);
      ASSERT_NE(gst_element_set_state(p, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
      // Stopped before any output, after some, and after the end.
      const size_t want = round == 2 ? 0 : round == 5 ? 43 : size_t(2 + 3 * round);
      for (int wait = 0; wait < 2000 && c.Count() < want; ++wait) g_usleep(1000);
      ASSERT_NE(gst_element_set_state(p, GST_STATE_READY), GST_STATE_CHANGE_FAILURE);
      const vxgst::Output out = c.Take();
      ASSERT_GE(out.pts.size(), want);
      if (out.pts.empty()) continue;
      EXPECT_EQ(out.rate, 44100);
      EXPECT_EQ(vxgst::CheckContinuity(out, 0), "");
      EXPECT_TRUE(out.pcm == Span(straight, 0, out.Frames()));
    }
    gst_element_set_state(p, GST_STATE_NULL);
    gst_object_unref(pad);
    gst_object_unref(sink);
    gst_object_unref(p);
  }
}

// Two ADTS streams of different rates and channel counts back to back:
// the output caps follow, time stamps continue and no frame is lost.
TEST_F(Stress, NewStreamWithAnotherRateAndLayout) {
  REQUIRE_DECODER();
  const Bytes a = Clip("lc_44k_st_128.aac");
  const Bytes b = AacClip("lc_16k_mo_32.aac");
  Bytes both = a;
  both.insert(both.end(), b.begin(), b.end());
  const std::string pa = TempFile(a, ".aac"), pb = TempFile(b, ".aac"),
                    pab = TempFile(both, ".aac");
  const vxgst::Output first = vxgst::RunPipeline("filesrc location=" + Quoted(pa) + " ! vxaacdec");
  const vxgst::Output second = vxgst::RunPipeline("filesrc location=" + Quoted(pb) + " ! vxaacdec");
  ASSERT_EQ(second.channels, 1);
  ASSERT_EQ(second.rate, 16000);
  for (const char* route : {" ! aacparse ! vxaacdec", " ! vxaacdec", " blocksize=100 ! vxaacdec"}) {
    SCOPED_TRACE(route);
    const vxgst::Output out = vxgst::RunPipeline("filesrc location=" + Quoted(pab) + route);
    ASSERT_EQ(out.error, "");
    EXPECT_EQ(out.caps_changes, 2);
    EXPECT_EQ(out.rate, 16000);
    EXPECT_EQ(out.channels, 1);
    ASSERT_EQ(out.pcm.size(), first.pcm.size() + second.pcm.size());
    EXPECT_TRUE(Bytes(out.pcm.begin(), out.pcm.begin() + static_cast<long>(first.pcm.size())) ==
                first.pcm);
    EXPECT_TRUE(Bytes(out.pcm.begin() + static_cast<long>(first.pcm.size()), out.pcm.end()) ==
                second.pcm);
    for (size_t i = 1; i < out.pts.size(); ++i)
      ASSERT_EQ(out.pts[i], out.pts[i - 1] + out.duration[i - 1]) << i;
  }
}

}  // namespace
