// LOAS through the element: unparsed files, LATM from tsdemux, and a
// configuration change on the caps; the plug-in's LOAS parser alone and in
// decodebin (refused multiplexes: stress_test.cpp, the documented
// messages).
#include <gst/check/gstharness.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "gst/gst_helpers.h"

namespace {

#define REQUIRE_DECODER()                                                   \
  do {                                                                      \
    vxgst::EnsureGst();                                                     \
    if (!vxgst::DecoderAvailable()) GTEST_SKIP() << "no decoder linked in"; \
  } while (0)

std::string Path(const char* name) {
  return std::string(VX_TEST_DATA_DIR) + "/" + name;
}

vxgst::Output Launch(const char* name, const char* route) {
  return vxgst::RunPipeline("filesrc blocksize=700 location=\"" + Path(name) + "\" ! " + route);
}

// The fixtures carry the access units of the ADTS clip: the same PCM.
TEST(Loas, UnparsedFilesAndTransportStreamsDecodeLikeAdts) {
  REQUIRE_DECODER();
  const vxgst::Output adts = Launch("aac/lc_44k_st_ms.aac", "vxaacdec");
  ASSERT_EQ(adts.error, "");
  ASSERT_GT(adts.pcm.size(), 0u);
  const char* routes[][2] = {{"latm/lc_44k_st_ms.loas", "vxaacdec"},
                             {"latm/lc_44k_st_ms_v0_sub.loas", "vxaacdec"},
                             {"latm/lc_44k_st_ms_latm.ts", "tsdemux ! vxaacdec"}};
  for (const auto& r : routes) {
    SCOPED_TRACE(r[0]);
    const vxgst::Output out = Launch(r[0], r[1]);
    EXPECT_EQ(out.error, "");
    EXPECT_EQ(out.channels, 2);
    EXPECT_EQ(out.rate, 44100);
    EXPECT_TRUE(out.pcm == adts.pcm);
    EXPECT_EQ(vxgst::CheckContinuity(out, out.pts.empty() ? 0 : out.pts[0]), "");
  }
}

TEST(Loas, ConfigurationChangeChangesTheCaps) {
  REQUIRE_DECODER();
  const vxgst::Output a = Launch("aac/lc_44k_st_ms.aac", "vxaacdec");
  const vxgst::Output b = Launch("aac/lc_24k_51_crc.aac", "vxaacdec");
  const vxgst::Output s = Launch("latm/switch_st_51.loas", "vxaacdec");
  EXPECT_EQ(s.error, "");
  EXPECT_EQ(s.caps_changes, 2);
  EXPECT_EQ(s.channels, 6);
  EXPECT_EQ(s.rate, 24000);
  std::vector<uint8_t> both = a.pcm;
  both.insert(both.end(), b.pcm.begin(), b.pcm.end());
  EXPECT_TRUE(s.pcm == both);
}

using Bytes = std::vector<uint8_t>;

// Bytes of the LOAS frames of `s` from frame `first` on.
Bytes LoasFramesFrom(const Bytes& s, size_t first) {
  size_t at = 0;
  for (size_t i = 0; i < first && at + 3 <= s.size(); ++i)
    at += 3 + (size_t{s[at + 1] & 0x1Fu} << 8 | s[at + 2]);
  return Bytes(s.begin() + static_cast<std::ptrdiff_t>(std::min(at, s.size())), s.end());
}

// The raw data blocks of an ADTS clip (one per frame), without header and
// error check.
std::vector<Bytes> AccessUnits(const char* name) {
  const Bytes adts = vxgst::ReadFile(Path(name));
  std::vector<Bytes> units;
  for (const auto& [at, n] : vxgst::AdtsFrames(adts)) {
    const size_t header = (adts[at + 1] & 1) ? 7 : 9;
    units.emplace_back(adts.begin() + static_cast<std::ptrdiff_t>(at + header),
                       adts.begin() + static_cast<std::ptrdiff_t>(at + n));
  }
  return units;
}

std::string CodecData(const GstStructure* s) {
  GstBuffer* b = nullptr;
  if (!gst_structure_get(s, "codec_data", GST_TYPE_BUFFER, &b, nullptr) || !b) return "";
  GstMapInfo map;
  std::string hex;
  if (gst_buffer_map(b, &map, GST_MAP_READ)) {
    static const char kDigits[] = "0123456789abcdef";
    for (gsize i = 0; i < map.size; ++i) {
      hex += kDigits[map.data[i] >> 4];
      hex += kDigits[map.data[i] & 15];
    }
    gst_buffer_unmap(b, &map);
  }
  gst_buffer_unref(b);
  return hex;
}

// vxloasparse alone, fed `stream` in pieces of `chunk` bytes: a recording
// that starts between two StreamMuxConfigs, after some garbage, then a
// switch to another configuration with three subframes per element.  Every
// access unit goes out as a buffer of its own, from the first
// configuration on, timed by its frame, under caps that carry each
// AudioSpecificConfig.
TEST(Loas, ParserSendsEachAccessUnitWithItsConfiguration) {
  REQUIRE_DECODER();
  // lc_44k_st_ms.loas repeats its configuration every fourth element:
  // cut before element 1, elements 1-3 cannot be decoded.
  Bytes stream = {0x56, 0xE0, 0x00, 0x56, 0xE1, 0x23, 0x00};  // not LOAS frames
  const Bytes tail = LoasFramesFrom(vxgst::ReadFile(Path("latm/lc_44k_st_ms.loas")), 1);
  const Bytes v1 = vxgst::ReadFile(Path("latm/lc_24k_51_v1.loas"));
  stream.insert(stream.end(), tail.begin(), tail.end());
  stream.insert(stream.end(), v1.begin(), v1.end());
  std::vector<Bytes> expect = AccessUnits("aac/lc_44k_st_ms.aac");
  const size_t stereo_units = expect.size() - 4;
  expect.erase(expect.begin(), expect.begin() + 4);
  const std::vector<Bytes> surround = AccessUnits("aac/lc_24k_51_crc.aac");
  expect.insert(expect.end(), surround.begin(), surround.end());

  for (const size_t chunk : {size_t{7}, stream.size()}) {
    SCOPED_TRACE(chunk);
    GstHarness* h = gst_harness_new("vxloasparse");
    gst_harness_set_src_caps_str(h, "audio/mpeg, mpegversion=(int)4, stream-format=(string)loas");
    for (size_t at = 0; at < stream.size(); at += chunk) {
      GstBuffer* b = gst_buffer_new_memdup(stream.data() + at, std::min(chunk, stream.size() - at));
      if (at == 0) GST_BUFFER_PTS(b) = 0;
      gst_harness_push(h, b);
    }
    gst_harness_push_event(h, gst_event_new_eos());
    std::vector<std::string> caps;
    while (GstEvent* e = gst_harness_try_pull_event(h)) {
      if (GST_EVENT_TYPE(e) == GST_EVENT_CAPS) {
        GstCaps* c = nullptr;
        gst_event_parse_caps(e, &c);
        const GstStructure* st = gst_caps_get_structure(c, 0);
        gint rate = 0, channels = 0;
        gst_structure_get_int(st, "rate", &rate);
        gst_structure_get_int(st, "channels", &channels);
        caps.push_back(std::string(gst_structure_get_string(st, "stream-format")) + " " +
                       std::to_string(rate) + " " + std::to_string(channels) + " " + CodecData(st));
      }
      gst_event_unref(e);
    }
    // Object type 2 at 44.1 kHz, stereo; 24 kHz, 5.1.
    EXPECT_EQ(caps, (std::vector<std::string>{"raw 44100 2 1210", "raw 24000 6 1330"}));
    std::vector<Bytes> units;
    GstClockTime next = 0;
    while (GstBuffer* b = gst_harness_try_pull(h)) {
      const size_t i = units.size();
      const GstClockTime frame =
          gst_util_uint64_scale(1024, GST_SECOND, i < stereo_units ? 44100 : 24000);
      EXPECT_EQ(GST_BUFFER_PTS(b), next) << "buffer " << i;
      EXPECT_EQ(GST_BUFFER_DURATION(b), frame) << "buffer " << i;
      next = GST_BUFFER_PTS(b) + GST_BUFFER_DURATION(b);
      GstMapInfo map;
      ASSERT_TRUE(gst_buffer_map(b, &map, GST_MAP_READ));
      units.emplace_back(map.data, map.data + map.size);
      gst_buffer_unmap(b, &map);
      gst_buffer_unref(b);
    }
    EXPECT_EQ(units.size(), expect.size());
    EXPECT_TRUE(units == expect);
    gst_harness_teardown(h);
  }
}

// decodebin (and playbin) put the parser in front of the element: the same
// PCM as the element decoding the LOAS bytes itself, including the frames
// between a stream's first two configurations that the usual AAC parser
// drops, the subframes, a configuration change and ADTS that a muxer put in
// MPEG-TS as LATM.
TEST(Loas, DecodebinDecodesWhatTheElementDecodesAlone) {
  REQUIRE_DECODER();
  const char* cases[][2] = {{"latm/lc_44k_st_ms.loas", "vxaacdec"},
                            {"latm/lc_44k_st_ms_v0_sub.loas", "vxaacdec"},
                            {"latm/switch_st_51.loas", "vxaacdec"},
                            {"latm/ps_32k_16_bc.loas", "vxaacdec"},
                            {"latm/lc_44k_st_ms_latm.ts", "tsdemux ! vxaacdec"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c[0]);
    const vxgst::Output alone = Launch(c[0], c[1]);
    const vxgst::Output db = Launch(c[0], "decodebin");
    ASSERT_EQ(alone.error, "");
    EXPECT_EQ(db.error, "");
    EXPECT_GT(alone.pcm.size(), 0u);
    EXPECT_TRUE(db.pcm == alone.pcm);
    EXPECT_EQ(db.caps_changes, alone.caps_changes);
    EXPECT_EQ(db.channels, alone.channels);
    EXPECT_EQ(db.rate, alone.rate);
    const auto& e = db.elements;
    EXPECT_NE(std::find(e.begin(), e.end(), "vxloasparse"), e.end());
    EXPECT_NE(std::find(e.begin(), e.end(), "vxaacdec"), e.end());
  }
}

}  // namespace
