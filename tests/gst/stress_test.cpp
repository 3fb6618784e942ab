// The element under real pipelines: seeking with and without a parser,
// state changes, caps changes, odd buffer sizes and time stamps, damaged
// input, and the messages that tell a user what went wrong.
#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/check/gstharness.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "als/als_decoder.h"
#include "gst/gst_helpers.h"
#include "tools/vxaac-adtsblocks/adts_blocks.h"
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
Bytes AacClip(const char* name) {
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

// ADTS frames of several raw data blocks (2, 4, 1 and 3 in turn) give the
// samples and time line of the same blocks one per frame, and a seek walks
// whole frames by their block counts to the same samples as a straight
// decode.
TEST_F(Stress, SeveralBlocksPerFrameDecodeAndSeekLikeOnePerFrame) {
  REQUIRE_DECODER();
  const Bytes single = ShuffledAdts(Clip("lc_44k_st_128.aac"), 430, 1);
  std::vector<adts_blocks::Frame> frames;
  std::string error;
  Bytes multi;
  ASSERT_TRUE(adts_blocks::SplitFrames(single, &frames, &error)) << error;
  ASSERT_TRUE(adts_blocks::Rewrite(frames, {2, 4, 1, 3}, false, &multi, &error)) << error;
  const std::string path = TempFile(multi, ".aac");
  const vxgst::Output one =
      vxgst::RunPipeline("filesrc location=" + Quoted(TempFile(single, ".aac")) + " ! vxaacdec");
  const vxgst::Output straight =
      vxgst::RunPipeline("filesrc location=" + Quoted(path) + " ! vxaacdec");
  ASSERT_EQ(straight.error, "");
  ASSERT_EQ(straight.Frames(), 430u * 1024);
  EXPECT_TRUE(straight.pcm == one.pcm);
  EXPECT_EQ(CheckTimeline(straight), "");
  for (const GstSeekFlags flags :
       {GST_SEEK_FLAG_FLUSH,
        static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE)}) {
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

// Linked straight to filesrc the element answers the queries upstream
// cannot: duration (ALS header, or upstream bytes over the byte rate),
// position and seeking in TIME, before and after a TIME seek.
TEST_F(Stress, QueriesWithoutAParser) {
  REQUIRE_DECODER();
  const Bytes cbr = PaddedAdts(ShuffledAdts(Clip("lc_44k_st_128.aac"), 430, 7), 420);
  // Durations are the rounded times of the samples.
  const GstClockTime frame = gst_util_uint64_scale_round(1024, GST_SECOND, 44100);
  const struct {
    std::string path;
    GstClockTime duration;
    GstClockTime tolerance;
    GstClockTime frame;
  } cases[] = {
      {TempFile(cbr, ".aac"), gst_util_uint64_scale(430 * 1024, GST_SECOND, 44100), frame, frame},
      {std::string(VX_TEST_DATA_DIR) + "/als/als_16b_st_ra.als",
       gst_util_uint64_scale(24576, GST_SECOND, 32000), 0,
       gst_util_uint64_scale(1024, GST_SECOND, 32000)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    GstElement* p =
        vxgst::LaunchWithAppsink("filesrc location=" + Quoted(c.path) + " ! vxaacdec name=dec");
    ASSERT_NE(p, nullptr);
    gst_element_set_state(p, GST_STATE_PAUSED);
    ASSERT_EQ(gst_element_get_state(p, nullptr, nullptr, 10 * GST_SECOND),
              GST_STATE_CHANGE_SUCCESS);
    GstElement* dec = gst_bin_get_by_name(GST_BIN(p), "dec");
    GstElement* sink = gst_bin_get_by_name(GST_BIN(p), "vxsink");
    GstPad* src = gst_element_get_static_pad(dec, "src");
    gint64 duration = -1, position = -1;
    EXPECT_TRUE(gst_pad_query_duration(src, GST_FORMAT_TIME, &duration));
    EXPECT_NEAR(static_cast<double>(duration), static_cast<double>(c.duration),
                static_cast<double>(c.tolerance));
    EXPECT_TRUE(gst_pad_query_position(src, GST_FORMAT_TIME, &position));
    EXPECT_GT(position, 0);
    EXPECT_LE(position, duration);
    GstQuery* q = gst_query_new_seeking(GST_FORMAT_TIME);
    EXPECT_TRUE(gst_pad_query(src, q));
    gboolean seekable = FALSE;
    gint64 start = -1, end = -1;
    gst_query_parse_seeking(q, nullptr, &seekable, &start, &end);
    gst_query_unref(q);
    EXPECT_TRUE(seekable);
    EXPECT_EQ(start, 0);
    EXPECT_EQ(end, duration);
    // The whole pipeline reports the same.
    gint64 pipeline_duration = -1;
    EXPECT_TRUE(gst_element_query_duration(p, GST_FORMAT_TIME, &pipeline_duration));
    EXPECT_EQ(pipeline_duration, duration);
    // A TIME seek from PAUSED: the next preroll buffer holds the target, the
    // position is just after it and the duration stays.  Then back to the
    // start.
    for (const GstClockTime target :
         {static_cast<GstClockTime>(duration) / 2 + GST_MSECOND, static_cast<GstClockTime>(0)}) {
      SCOPED_TRACE(target);
      ASSERT_TRUE(gst_element_seek_simple(
          p, GST_FORMAT_TIME,
          static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE),
          static_cast<gint64>(target)));
      ASSERT_EQ(gst_element_get_state(p, nullptr, nullptr, 10 * GST_SECOND),
                GST_STATE_CHANGE_SUCCESS);
      GstSample* preroll = gst_app_sink_try_pull_preroll(GST_APP_SINK(sink), 10 * GST_SECOND);
      ASSERT_NE(preroll, nullptr);
      GstBuffer* buf = gst_sample_get_buffer(preroll);
      EXPECT_LE(GST_BUFFER_PTS(buf), target);
      EXPECT_GT(GST_BUFFER_PTS(buf) + GST_BUFFER_DURATION(buf), target);
      gst_sample_unref(preroll);
      EXPECT_TRUE(gst_pad_query_position(src, GST_FORMAT_TIME, &position));
      EXPECT_GT(position, static_cast<gint64>(target));
      EXPECT_LE(position, static_cast<gint64>(target + c.frame));
      gint64 after = -1;
      EXPECT_TRUE(gst_pad_query_duration(src, GST_FORMAT_TIME, &after));
      EXPECT_NEAR(static_cast<double>(after), static_cast<double>(c.duration),
                  static_cast<double>(c.tolerance));
    }
    gst_element_set_state(p, GST_STATE_NULL);
    gst_object_unref(sink);
    gst_object_unref(src);
    gst_object_unref(dec);
    gst_object_unref(p);
  }
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
      // within a microsecond of the exact one, or of the segment's end
      // (the MP4 track's duration, in milliseconds) where it is earlier:
      // output is clipped to the segment.
      const GstClockTime end = std::min<GstClockTime>(
          gst_util_uint64_scale(430 * 1024, GST_SECOND, 44100), run.segment.stop);
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

// Raw access units from an application, then a new stream with other caps
// (another rate and channel count, codec data instead of ADTS headers).
TEST_F(Stress, AppsrcChangesCapsMidStream) {
  REQUIRE_DECODER();
  const Bytes a = Clip("lc_44k_st_128.aac");
  const Bytes b = AacClip("lc_16k_mo_32.aac");
  const std::string pa = TempFile(a, ".aac"), pb = TempFile(b, ".aac");
  const vxgst::Output first = vxgst::RunPipeline("filesrc location=" + Quoted(pa) + " ! vxaacdec");
  const vxgst::Output second = vxgst::RunPipeline("filesrc location=" + Quoted(pb) + " ! vxaacdec");
  GstElement* p = vxgst::LaunchWithAppsink("appsrc name=src format=time ! vxaacdec");
  ASSERT_NE(p, nullptr);
  GstElement* src = gst_bin_get_by_name(GST_BIN(p), "src");
  GstElement* sink = gst_bin_get_by_name(GST_BIN(p), "vxsink");
  gst_element_set_state(p, GST_STATE_PLAYING);
  GstCaps* caps =
      gst_caps_from_string("audio/mpeg, mpegversion=(int)4, stream-format=(string)adts");
  gst_app_src_set_caps(GST_APP_SRC(src), caps);
  gst_caps_unref(caps);
  for (size_t at = 0; at < a.size(); at += 1000) {
    GstBuffer* buf = gst_buffer_new_memdup(a.data() + at, std::min<size_t>(1000, a.size() - at));
    if (at == 0) GST_BUFFER_PTS(buf) = 0;
    ASSERT_EQ(gst_app_src_push_buffer(GST_APP_SRC(src), buf), GST_FLOW_OK);
  }
  // AAC LC, 16000 Hz (index 8), one channel.
  caps = gst_caps_from_string(
      "audio/mpeg, mpegversion=(int)4, stream-format=(string)raw, rate=(int)16000, "
      "channels=(int)1, codec_data=(buffer)1408");
  gst_app_src_set_caps(GST_APP_SRC(src), caps);
  gst_caps_unref(caps);
  const GstClockTime start = gst_util_uint64_scale(first.Frames(), GST_SECOND, 44100);
  size_t index = 0;
  for (const auto& [at, n] : vxgst::AdtsFrames(b)) {
    const size_t header = (b[at + 1] & 1) ? 7 : 9;
    GstBuffer* buf = gst_buffer_new_memdup(b.data() + at + header, n - header);
    GST_BUFFER_PTS(buf) = start + gst_util_uint64_scale(1024 * index++, GST_SECOND, 16000);
    ASSERT_EQ(gst_app_src_push_buffer(GST_APP_SRC(src), buf), GST_FLOW_OK);
  }
  gst_app_src_end_of_stream(GST_APP_SRC(src));
  vxgst::Output out;
  std::string last_caps;
  while (GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 10 * GST_SECOND)) {
    vxgst::AppendSample(sample, &out, &last_caps);
    gst_sample_unref(sample);
  }
  EXPECT_TRUE(gst_app_sink_is_eos(GST_APP_SINK(sink)));
  gst_element_set_state(p, GST_STATE_NULL);
  gst_object_unref(src);
  gst_object_unref(sink);
  gst_object_unref(p);
  EXPECT_EQ(out.caps_changes, 2);
  EXPECT_EQ(out.rate, 16000);
  ASSERT_EQ(out.pcm.size(), first.pcm.size() + second.pcm.size());
  EXPECT_TRUE(Bytes(out.pcm.begin(), out.pcm.begin() + static_cast<long>(first.pcm.size())) ==
              first.pcm);
  EXPECT_TRUE(Bytes(out.pcm.begin() + static_cast<long>(first.pcm.size()), out.pcm.end()) ==
              second.pcm);
  for (size_t i = 1; i < out.pts.size(); ++i)
    ASSERT_EQ(out.pts[i], out.pts[i - 1] + out.duration[i - 1]) << i;
}

// One-byte and one-mebibyte input buffers give the same samples as any
// other cut, for every framing.
TEST_F(Stress, OneByteAndOneMebibyteBuffers) {
  REQUIRE_DECODER();
  const std::string long_adts = TempFile(ShuffledAdts(Clip("lc_44k_st_128.aac"), 3000, 4), ".aac");
  const std::string als = std::string(VX_TEST_DATA_DIR) + "/als/als_8b_mo.als";
  // 100 000 bytes without a frame in front of the stream: in one large
  // buffer the decoder's search for the framing gives up; the element
  // skips ahead and finds it.
  std::mt19937 rng(9);
  Bytes front(100000);
  for (uint8_t& b : front) b = static_cast<uint8_t>(rng() % 255);
  const Bytes clip = Clip("lc_44k_st_128.aac");
  front.insert(front.end(), clip.begin(), clip.end());
  const std::string garbage_first = TempFile(front, ".aac");
  const struct {
    std::string file;
    const char* route;
  } cases[] = {
      {vxgst::DataPath("lc_44k_st_128.aac"), " ! vxaacdec"},
      {vxgst::DataPath("lc_44k_st_128.adif"), " ! vxaacdec"},
      {vxgst::DataPath("ps_44k_24.aac"), " ! vxaacdec"},
      {als, " ! vxaacdec"},
      {long_adts, " ! vxaacdec"},
      {garbage_first, " ! vxaacdec"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file + c.route);
    const vxgst::Output whole =
        vxgst::RunPipeline("filesrc location=" + Quoted(c.file) + " blocksize=4096" + c.route);
    ASSERT_EQ(whole.error, "");
    ASSERT_GT(whole.Frames(), 0u);
    if (c.file == garbage_first) {
      EXPECT_EQ(whole.Frames(), 43u * 1024);
    }
    // One byte at a time costs a decode attempt per byte: the long stream
    // is read in mebibytes only.
    for (const char* blocksize : {" blocksize=1", " blocksize=1048576"}) {
      const bool large = c.file == long_adts || c.file == garbage_first;
      if (large && std::string(blocksize) == " blocksize=1") continue;
      SCOPED_TRACE(blocksize);
      const vxgst::Output out =
          vxgst::RunPipeline("filesrc location=" + Quoted(c.file) + blocksize + c.route);
      ASSERT_EQ(out.error, "");
      EXPECT_TRUE(out.pcm == whole.pcm);
      EXPECT_EQ(vxgst::CheckContinuity(out, 0), "");
    }
  }
}

// Input without time stamps, with DISCONT flags on buffers that continue
// the stream, and with a real gap (a DISCONT buffer stamped after it).
TEST_F(Stress, MissingTimestampsAndDiscontFlags) {
  REQUIRE_DECODER();
  const Bytes clip = Clip("lc_44k_st_128.aac");
  const auto frames = vxgst::AdtsFrames(clip);
  const vxgst::Output straight = vxgst::RunPipeline(
      "filesrc location=" + Quoted(vxgst::DataPath("lc_44k_st_128.aac")) + " ! vxaacdec");
  for (const bool gap : {false, true}) {
    SCOPED_TRACE(gap ? "gap" : "no gap");
    GstElement* p = vxgst::LaunchWithAppsink(
        "appsrc name=src format=time caps=\"audio/mpeg, mpegversion=(int)4, "
        "stream-format=(string)adts\" ! vxaacdec");
    ASSERT_NE(p, nullptr);
    GstElement* src = gst_bin_get_by_name(GST_BIN(p), "src");
    GstElement* sink = gst_bin_get_by_name(GST_BIN(p), "vxsink");
    gst_element_set_state(p, GST_STATE_PLAYING);
    // Three frames per buffer; buffers 4, 8, ... are flagged DISCONT.  With
    // a gap, frames 21..25 never arrive.
    for (size_t f = 0, n = 0; f < frames.size(); f += 3, ++n) {
      if (gap && f >= 21 && f < 24) f = 24;
      const size_t end = std::min(f + 3, frames.size());
      const size_t at = frames[f].first;
      GstBuffer* buf = gst_buffer_new_memdup(clip.data() + at,
                                             frames[end - 1].first + frames[end - 1].second - at);
      if (n % 4 == 3) GST_BUFFER_FLAG_SET(buf, GST_BUFFER_FLAG_DISCONT);
      if (gap && f == 24) {
        GST_BUFFER_FLAG_SET(buf, GST_BUFFER_FLAG_DISCONT);
        GST_BUFFER_PTS(buf) = gst_util_uint64_scale(24 * 1024, GST_SECOND, 44100);
      }
      ASSERT_EQ(gst_app_src_push_buffer(GST_APP_SRC(src), buf), GST_FLOW_OK);
    }
    gst_app_src_end_of_stream(GST_APP_SRC(src));
    vxgst::Output out;
    std::string last_caps;
    while (GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 10 * GST_SECOND)) {
      vxgst::AppendSample(sample, &out, &last_caps);
      gst_sample_unref(sample);
    }
    gst_element_set_state(p, GST_STATE_NULL);
    gst_object_unref(src);
    gst_object_unref(sink);
    gst_object_unref(p);
    if (!gap) {
      EXPECT_TRUE(out.pcm == straight.pcm);
      EXPECT_EQ(vxgst::CheckContinuity(out, 0), "");
      continue;
    }
    // 21 frames, then 19 from frame 24 on, stamped where they belong.
    ASSERT_EQ(out.pts.size(), 21u + 19u);
    for (size_t i = 0; i < out.pts.size(); ++i) {
      const size_t frame = i < 21 ? i : i + 3;
      const GstClockTime t = gst_util_uint64_scale(frame * 1024, GST_SECOND, 44100);
      EXPECT_NEAR(static_cast<double>(out.pts[i]), static_cast<double>(t), 1.0) << i;
    }
    EXPECT_TRUE(out.discont[21]);
    EXPECT_TRUE(Span(out, 0, 21 * 1024) == Span(straight, 0, 21 * 1024));
    // After one frame without its overlap, the samples are the stream's.
    EXPECT_TRUE(Span(out, 22 * 1024, 18 * 1024) == Span(straight, 25 * 1024, 18 * 1024));
  }
}

// HE-AAC v2 with parametric stereo and full-rate SBR output: two channels
// at 44100 Hz from a mono core at 22050 Hz, the same through the parser and
// from unparsed input in small pieces, and real stereo (the channels
// differ, not a copied mono signal).
TEST_F(Stress, ParametricStereoGivesTwoChannelsAtTheFullRate) {
  REQUIRE_DECODER();
  const std::string ps = Quoted(vxgst::DataPath("ps_44k_24.aac"));
  const std::string dec = " ! vxaacdec parametric-stereo=full sbr-output=full-rate";
  const vxgst::Output parsed = vxgst::RunPipeline("filesrc location=" + ps + " ! aacparse" + dec);
  const vxgst::Output direct = vxgst::RunPipeline("filesrc location=" + ps + " blocksize=64" + dec);
  for (const vxgst::Output* out : {&parsed, &direct}) {
    ASSERT_EQ(out->error, "");
    EXPECT_EQ(out->format, "S16LE");
    EXPECT_EQ(out->channels, 2);
    EXPECT_EQ(out->rate, 44100);
    EXPECT_EQ(out->caps_changes, 1);
    EXPECT_EQ(out->Frames(), 16u * 2048);
    EXPECT_EQ(vxgst::CheckContinuity(*out, 0), "");
  }
  EXPECT_TRUE(parsed.pcm == direct.pcm);
  size_t differing = 0;
  for (size_t i = 0; i + 4 <= direct.pcm.size(); i += 4)
    differing += direct.pcm[i] != direct.pcm[i + 2] || direct.pcm[i + 1] != direct.pcm[i + 3];
  EXPECT_GT(differing, direct.Frames() / 4);
  // Without the properties the same stream is the mono core's output.
  const vxgst::Output mono = vxgst::RunPipeline("filesrc location=" + ps + " ! vxaacdec");
  ASSERT_EQ(mono.error, "");
  EXPECT_EQ(mono.channels, 1);
  EXPECT_EQ(mono.rate, 22050);
}

// Collected bus messages of a run.
struct Message {
  GstMessageType type;
  GQuark domain;
  gint code;
  std::string text;
};

std::vector<Message> TakeMessages(GstBus* bus) {
  std::vector<Message> messages;
  while (GstMessage* m = gst_bus_pop_filtered(
             bus, static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_WARNING))) {
    GError* err = nullptr;
    if (GST_MESSAGE_TYPE(m) == GST_MESSAGE_ERROR)
      gst_message_parse_error(m, &err, nullptr);
    else
      gst_message_parse_warning(m, &err, nullptr);
    // Only the plug-in's messages: the decoder's and its LOAS parser's.
    const gchar* from = GST_OBJECT_NAME(GST_MESSAGE_SRC(m));
    if (g_strcmp0(from, "dec") == 0 || g_strcmp0(from, "parse") == 0)
      messages.push_back({GST_MESSAGE_TYPE(m), err->domain, err->code, err->message});
    g_clear_error(&err);
    gst_message_unref(m);
  }
  return messages;
}

// Runs `source` ! vxaacdec name=dec ! fakesink to EOS or error; returns the
// decoder's messages (and those of an element named "parse") and the
// samples it pushed.
std::vector<Message> RunForMessages(const std::string& source, vxgst::Output* out = nullptr,
                                    const std::string& properties = "") {
  GstElement* p = vxgst::LaunchWithAppsink(source + " ! vxaacdec name=dec" + properties);
  if (!p) return {};
  GstElement* sink = gst_bin_get_by_name(GST_BIN(p), "vxsink");
  GstBus* bus = gst_element_get_bus(p);
  gst_element_set_state(p, GST_STATE_PLAYING);
  vxgst::Output local;
  std::string caps;
  while (GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 10 * GST_SECOND)) {
    vxgst::AppendSample(sample, out ? out : &local, &caps);
    gst_sample_unref(sample);
  }
  // Before the state change to NULL, which drops pending messages.
  std::vector<Message> messages = TakeMessages(bus);
  gst_element_set_state(p, GST_STATE_NULL);
  gst_object_unref(bus);
  gst_object_unref(sink);
  gst_object_unref(p);
  return messages;
}

int Count(const std::vector<Message>& messages, GstMessageType type, const std::string& text) {
  int n = 0;
  for (const Message& m : messages)
    n += m.type == type && m.domain == GST_STREAM_ERROR && m.code == GST_STREAM_ERROR_DECODE &&
         m.text == text;
  return n;
}

std::string Describe(const std::vector<Message>& messages) {
  std::string all;
  for (const Message& m : messages)
    all += std::string(m.type == GST_MESSAGE_ERROR ? "ERROR " : "WARNING ") +
           g_quark_to_string(m.domain) + "/" + std::to_string(m.code) + " \"" + m.text + "\"\n";
  return all;
}

// The end of a stream cut inside a frame: every whole frame before the cut
// is decoded and nothing is an error.
TEST_F(Stress, EndOfStreamInsideAFrame) {
  REQUIRE_DECODER();
  const Bytes clip = Clip("lc_44k_st_128.aac");
  const auto frames = vxgst::AdtsFrames(clip);
  const std::string cut = TempFile(
      Bytes(clip.begin(), clip.begin() + static_cast<long>(frames[30].first + 100)), ".aac");
  const vxgst::Output straight = vxgst::RunPipeline(
      "filesrc location=" + Quoted(vxgst::DataPath("lc_44k_st_128.aac")) + " ! vxaacdec");
  for (const char* route : {"", " ! aacparse", " blocksize=64"}) {
    SCOPED_TRACE(route);
    vxgst::Output out;
    const std::vector<Message> m = RunForMessages("filesrc location=" + Quoted(cut) + route, &out);
    EXPECT_EQ(out.pts.size(), 30u);
    EXPECT_TRUE(out.pcm == Span(straight, 0, 30 * 1024));
    EXPECT_EQ(vxgst::CheckContinuity(out, 0), "");
    for (const Message& msg : m) EXPECT_NE(msg.type, GST_MESSAGE_ERROR) << Describe(m);
  }
  // ALS: the last frame is cut; the frames before it are exact.
  const Bytes als = AlsClip("als_16b_st.als");
  const vxgst::Output als_straight = vxgst::RunPipeline(
      "filesrc location=" + Quoted(std::string(VX_TEST_DATA_DIR) + "/als/als_16b_st.als") +
      " ! vxaacdec");
  const std::string als_cut = TempFile(Bytes(als.begin(), als.end() - 700), ".als");
  vxgst::Output out;
  const std::vector<Message> m = RunForMessages("filesrc location=" + Quoted(als_cut), &out);
  for (const Message& msg : m) EXPECT_NE(msg.type, GST_MESSAGE_ERROR) << Describe(m);
  ASSERT_GE(out.Frames(), 23u * 1024);
  EXPECT_TRUE(Span(out, 0, 23 * 1024) == Span(als_straight, 0, 23 * 1024));
}

// Cut and bit-flipped files through decodebin: no crash, no error, every
// frame before the damage decoded as in the clean file.
TEST_F(Stress, DamagedFilesThroughDecodebin) {
  REQUIRE_DECODER();
  const Bytes clip = ShuffledAdts(Clip("lc_44k_st_128.aac"), 200, 5);
  const auto frames = vxgst::AdtsFrames(clip);
  const vxgst::Output clean =
      vxgst::RunPipeline("filesrc location=" + Quoted(TempFile(clip, ".aac")) + " ! decodebin");
  ASSERT_EQ(clean.Frames(), 200u * 1024);
  std::mt19937 rng(6);
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    Bytes damaged = clip;
    const size_t first_damage = clip.size() / 4 + rng() % (clip.size() / 2);
    if (round % 3 == 0) {
      damaged.resize(first_damage);  // truncated
    } else {
      for (int i = 0; i < 1 + round * 3; ++i) {
        const size_t at = first_damage + (i ? rng() % (clip.size() - first_damage) : 0);
        damaged[at] ^= static_cast<uint8_t>(1 + rng() % 255);
      }
    }
    size_t intact = 0;  // frames that end before the damage
    while (intact < frames.size() && frames[intact].first + frames[intact].second <= first_damage)
      ++intact;
    const std::string path = TempFile(damaged, ".aac");
    for (const char* route : {" ! decodebin", " ! aacparse ! vxaacdec", " ! vxaacdec"}) {
      SCOPED_TRACE(route);
      const vxgst::Output out = vxgst::RunPipeline("filesrc location=" + Quoted(path) + route);
      EXPECT_EQ(out.error, "");
      ASSERT_GE(out.Frames(), intact * 1024);
      EXPECT_TRUE(Span(out, 0, intact * 1024) == Span(clean, 0, intact * 1024));
      for (size_t i = 1; i < out.pts.size(); ++i)
        EXPECT_GT(out.pts[i], out.pts[i - 1]) << "time stamps go forward";
      if (std::string(route) == " ! vxaacdec") {
        EXPECT_EQ(vxgst::CheckContinuity(out, 0), "");
      }
    }
  }
}

// What a user sees for each kind of bad input (the table "What bad input
// looks like" in README.md): message type, domain/code and text.
TEST_F(Stress, BadInputMessagesAreTheDocumentedOnes) {
  REQUIRE_DECODER();
  const std::string raw =
      "audio/mpeg, mpegversion=(int)4, stream-format=(string)raw, "
      "rate=(int)44100, channels=(int)2, codec_data=(buffer)";
  const uint8_t au[64] = {};
  auto push_au = [&](const std::string& caps) {
    GstHarness* h = gst_harness_new("vxaacdec");
    gst_object_set_name(GST_OBJECT(h->element), "dec");
    GstBus* bus = gst_bus_new();
    gst_element_set_bus(h->element, bus);
    gst_harness_set_src_caps_str(h, caps.c_str());
    gst_harness_push(h, gst_buffer_new_memdup(au, sizeof au));
    gst_harness_push_event(h, gst_event_new_eos());
    std::vector<Message> m = TakeMessages(bus);
    gst_element_set_bus(h->element, nullptr);
    gst_object_unref(bus);
    gst_harness_teardown(h);
    return m;
  };
  const GstMessageType kError = GST_MESSAGE_ERROR, kWarning = GST_MESSAGE_WARNING;

  // Unsupported object type: AAC SSR (3) in codec data and in ADTS headers.
  std::vector<Message> m = push_au(raw + "1a10");
  EXPECT_EQ(Count(m, kError, "Unsupported audio object type 3"), 1) << Describe(m);
  Bytes ssr = Clip("lc_44k_st_128.aac");
  for (const auto& [at, n] : vxgst::AdtsFrames(ssr)) ssr[at + 2] = (ssr[at + 2] & 0x3F) | 0x80;
  m = RunForMessages("filesrc location=" + Quoted(TempFile(ssr, ".aac")));
  EXPECT_EQ(Count(m, kError, "Unsupported audio object type 3"), 1) << Describe(m);
  EXPECT_EQ(m.size(), 1u) << Describe(m);
  // ... and in a LOAS stream's StreamMuxConfig (object type 2 in bits 16-20
  // of the first element), and a LATM multiplex of two programs (numProgram
  // ends at bit 12).
  // The plug-in's LOAS parser (decodebin's route) posts the same.
  const Bytes loas = vxgst::ReadFile(std::string(VX_TEST_DATA_DIR) + "/latm/lc_44k_st_ms.loas");
  Bytes loas_ssr = loas;
  loas_ssr[3 + 2] |= 0x08;
  Bytes programs = loas;
  programs[3 + 1] |= 0x08;
  // Its base class adds "Internal data stream error" (STREAM/FAILED).
  for (const char* parser : {"", " ! vxloasparse name=parse"}) {
    SCOPED_TRACE(parser);
    const size_t messages = *parser ? 2 : 1;
    m = RunForMessages("filesrc location=" + Quoted(TempFile(loas_ssr, ".loas")) + parser);
    EXPECT_EQ(Count(m, kError, "Unsupported audio object type 3"), 1) << Describe(m);
    EXPECT_EQ(m.size(), messages) << Describe(m);
    m = RunForMessages("filesrc location=" + Quoted(TempFile(programs, ".loas")) + parser);
    EXPECT_EQ(Count(m, kError, "Unsupported LATM multiplex: several programs in the multiplex"), 1)
        << Describe(m);
    EXPECT_EQ(m.size(), messages) << Describe(m);
  }

  // A valid configuration of a type the decoder does not implement: ER AAC
  // LD (23).
  m = push_au(raw + "b990");
  EXPECT_EQ(Count(m, kError, "Unsupported audio object type 23"), 1) << Describe(m);

  // Broken configuration: a reserved sampling frequency index.
  m = push_au(raw + "1690");
  EXPECT_EQ(Count(m, kError, "Invalid AAC configuration (codec data)"), 1) << Describe(m);

  // An ALS stream header that cannot be used: 48-bit samples.
  Bytes als48 = AlsClip("als_16b_st.als");
  als48[14] = static_cast<uint8_t>((als48[14] & 0xE3) | (5 << 2));
  m = RunForMessages("filesrc location=" + Quoted(TempFile(als48, ".als")));
  EXPECT_EQ(Count(m, kError, "Unsupported or invalid ALS stream header"), 1) << Describe(m);
  EXPECT_EQ(m.size(), 1u) << Describe(m);

  // Garbage: nothing decodable in the whole input.
  std::mt19937 rng(8);
  Bytes garbage(4096);
  for (uint8_t& b : garbage) b = static_cast<uint8_t>(rng() % 255);
  m = RunForMessages("filesrc location=" + Quoted(TempFile(garbage, ".bin")));
  EXPECT_EQ(Count(m, kError, "No AAC or ALS audio found in the stream"), 1) << Describe(m);
  EXPECT_EQ(m.size(), 1u) << Describe(m);

  // Truncated file: the last frame is cut.
  const Bytes clip = Clip("lc_44k_st_128.aac");
  m = RunForMessages("filesrc location=" +
                     Quoted(TempFile(Bytes(clip.begin(), clip.end() - 100), ".aac")));
  EXPECT_EQ(Count(m, kWarning, "The stream ends inside a frame"), 1) << Describe(m);
  EXPECT_EQ(m.size(), 1u) << Describe(m);

  // Damaged frames and an ADTS CRC mismatch: silence in their place,
  // counted against max-errors: nothing on the bus by default, an ERROR with
  // the frame's text once more frames in a row are damaged than it allows.
  Bytes damaged = clip;
  const auto frames = vxgst::AdtsFrames(clip);
  for (size_t f : {10, 20}) damaged[frames[f].first + 7] ^= 0xFF;
  const std::string damaged_file = TempFile(damaged, ".aac");
  vxgst::Output silenced;
  m = RunForMessages("filesrc location=" + Quoted(damaged_file), &silenced);
  EXPECT_TRUE(m.empty()) << Describe(m);
  EXPECT_EQ(silenced.pts.size(), frames.size());
  m = RunForMessages("filesrc location=" + Quoted(damaged_file), nullptr, " max-errors=0");
  EXPECT_EQ(Count(m, kError, "Damaged frame replaced by silence"), 1) << Describe(m);
  EXPECT_EQ(m.size(), 1u) << Describe(m);
  // A frame length that cannot hold the header: the frame is skipped, the
  // rest decoded.  One beyond the frame's block (a damaged length field)
  // costs nothing: the next header is sought where the block ends.
  auto with_length = [&](size_t len) {
    Bytes b = clip;
    const size_t at = frames[10].first;
    b[at + 3] = static_cast<uint8_t>((b[at + 3] & 0xFC) | (len >> 11));
    b[at + 4] = static_cast<uint8_t>(len >> 3);
    b[at + 5] = static_cast<uint8_t>((b[at + 5] & 0x1F) | ((len & 7) << 5));
    return TempFile(b, ".aac");
  };
  const std::string short_file = with_length(5);
  vxgst::Output skipped, whole, clean;
  m = RunForMessages("filesrc location=" + Quoted(short_file), &skipped);
  EXPECT_TRUE(m.empty()) << Describe(m);
  EXPECT_EQ(skipped.pts.size(), frames.size() - 1);
  m = RunForMessages("filesrc location=" + Quoted(short_file), nullptr, " max-errors=0");
  EXPECT_EQ(Count(m, kError, "Damaged frame skipped"), 1) << Describe(m);
  EXPECT_EQ(m.size(), 1u) << Describe(m);
  m = RunForMessages("filesrc location=" + Quoted(with_length(2000)), &whole);
  EXPECT_EQ(m.size(), 0u) << Describe(m);
  RunForMessages("filesrc location=" + Quoted(TempFile(clip, ".aac")), &clean);
  EXPECT_EQ(whole.pts.size(), frames.size());
  EXPECT_TRUE(whole.pcm == clean.pcm);
  Bytes crc = Clip("lc_44k_st_crc.aac");
  crc[vxgst::AdtsFrames(crc)[5].first + 9 + 2] ^= 0x10;
  m = RunForMessages("filesrc location=" + Quoted(TempFile(crc, ".aac")), nullptr, " max-errors=0");
  EXPECT_EQ(Count(m, kError, "Damaged frame replaced by silence"), 1) << Describe(m);
  EXPECT_EQ(m.size(), 1u) << Describe(m);

  // ALS CRC mismatch: the stored CRC word (after the stored file header).
  Bytes als = AlsClip("als_16b_st.als");
  AlsConfig cfg;
  const size_t header = AlsHeaderBytes(als, &cfg);
  ASSERT_TRUE(cfg.crc_enabled && cfg.random_access == 0 && header > 4);
  als[header - 1] ^= 1;
  vxgst::Output out;
  m = RunForMessages("filesrc location=" + Quoted(TempFile(als, ".als")), &out);
  EXPECT_EQ(Count(m, kWarning, "Decoded ALS samples do not match the stream's CRC"), 1)
      << Describe(m);
  EXPECT_EQ(m.size(), 1u) << Describe(m);
  EXPECT_EQ(out.Frames(), 24576u);
}

}  // namespace
