// The element in real pipelines: every route to the decoder must give the
// same PCM with continuous time stamps.
#include <gst/base/gsttypefindhelper.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/compare.h"
#include "common/wav.h"
#include "gst/gst_helpers.h"

namespace {

constexpr size_t kClipFrames = 43;  // access units in the lc_44k_st_128 clips

#define REQUIRE_DECODER()                                                   \
  do {                                                                      \
    vxgst::EnsureGst();                                                     \
    if (!vxgst::DecoderAvailable()) GTEST_SKIP() << "no decoder linked in"; \
  } while (0)

std::string FileSrc(const char* name, const char* extra = "") {
  return "filesrc location=\"" + vxgst::DataPath(name) + "\" " + extra + " ";
}

void ExpectStereo44k(const vxgst::Output& out, const std::string& route) {
  SCOPED_TRACE(route);
  EXPECT_EQ(out.error, "");
  EXPECT_TRUE(out.used_vxaacdec);
  EXPECT_EQ(out.format, "S16LE");
  EXPECT_EQ(out.rate, 44100);
  EXPECT_EQ(out.channels, 2);
  EXPECT_EQ(out.caps_changes, 1);
  EXPECT_EQ(out.Frames(), kClipFrames * 1024);
  EXPECT_EQ(vxgst::CheckContinuity(out, 0), "");
}

TEST(Pipelines, EveryRouteGivesTheSamePcm) {
  REQUIRE_DECODER();
  const vxgst::Output parsed =
      vxgst::RunPipeline(FileSrc("lc_44k_st_128.aac") + "! aacparse ! vxaacdec");
  ExpectStereo44k(parsed, "aacparse");
  // 1024-sample stereo frames at 44100 Hz: 4096-byte buffers.
  for (size_t s : parsed.sizes) EXPECT_EQ(s, 4096u);

  const char* routes[] = {
      "filesrc blocksize=100 location=\"%s\" ! vxaacdec",
      "filesrc location=\"%s\" ! qtdemux ! vxaacdec",
      "filesrc location=\"%s\" ! decodebin",
      "filesrc location=\"%s\" ! decodebin",
      "filesrc location=\"%s\" ! aacparse ! vxaacdec",
      "filesrc blocksize=333 location=\"%s\" ! vxaacdec",
  };
  const char* files[] = {"lc_44k_st_128.aac",  "lc_44k_st_128.m4a",  "lc_44k_st_128.aac",
                         "lc_44k_st_128.adif", "lc_44k_st_128.adif", "lc_44k_st_128.adif"};
  for (size_t i = 0; i < std::size(routes); ++i) {
    gchar* desc = g_strdup_printf(routes[i], vxgst::DataPath(files[i]).c_str());
    const vxgst::Output out = vxgst::RunPipeline(desc);
    ExpectStereo44k(out, desc);
    EXPECT_TRUE(out.pcm == parsed.pcm) << desc;
    g_free(desc);
  }

  // The element only moves samples: they are the reference decode's.
  vxtest::Wav ref;
  std::string error;
  ASSERT_TRUE(vxtest::ReadWav(vxgst::DataPath("lc_44k_st_128_ref.wav"), &ref, &error)) << error;
  const vxtest::CompareResult r = vxtest::Compare16(
      reinterpret_cast<const int16_t*>(parsed.pcm.data()), parsed.Frames(), 2, ref);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_LT(r.rms_lsb, 1.0) << vxtest::FormatResult(r);
  EXPECT_LT(r.max_lsb, 8.0) << vxtest::FormatResult(r);
}

TEST(Pipelines, MultichannelComesOutInCanonicalOrder) {
  REQUIRE_DECODER();
  const vxgst::Output out = vxgst::RunPipeline(FileSrc("lc_48k_51_384.aac") + "! decodebin");
  ASSERT_EQ(out.error, "");
  EXPECT_TRUE(out.used_vxaacdec);
  ASSERT_EQ(out.channels, 6);
  EXPECT_EQ(out.rate, 48000);
  // FL FR FC LFE RL RR: the WAV order of the reference.
  EXPECT_EQ(out.channel_mask, 0x3Fu);
  EXPECT_EQ(out.Frames(), 8u * 1024);
  vxtest::Wav ref;
  std::string error;
  ASSERT_TRUE(vxtest::ReadWav(vxgst::DataPath("lc_48k_51_384_ref16.wav"), &ref, &error)) << error;
  const vxtest::CompareResult r =
      vxtest::Compare16(reinterpret_cast<const int16_t*>(out.pcm.data()), out.Frames(), 6, ref);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.frames, 4096u);
  EXPECT_LT(r.rms_lsb, 1.0) << vxtest::FormatResult(r);
  EXPECT_LT(r.max_lsb, 8.0) << vxtest::FormatResult(r);
}

// Samples of a decoded ALS stream equal the original recording's.
void ExpectLossless(const vxgst::Output& out, const char* original, const char* format) {
  SCOPED_TRACE(original);
  ASSERT_EQ(out.error, "");
  EXPECT_EQ(out.format, format);
  vxtest::Wav ref;
  std::string error;
  ASSERT_TRUE(vxtest::ReadWav(std::string(VX_TEST_DATA_DIR) + "/als/" + original, &ref, &error))
      << error;
  EXPECT_EQ(out.channels, ref.channels);
  EXPECT_EQ(out.rate, ref.sample_rate);
  const size_t bytes = static_cast<size_t>(ref.bits_per_sample / 8);
  ASSERT_GE(out.pcm.size(), ref.ints.size() * bytes);
  size_t mismatches = 0;
  for (size_t i = 0; i < ref.ints.size(); ++i) {
    uint32_t u = 0;
    for (size_t b = 0; b < bytes; ++b) u |= uint32_t{out.pcm[i * bytes + b]} << (8 * b);
    const int shift = 32 - 8 * static_cast<int>(bytes);
    const int32_t v = static_cast<int32_t>(u << shift) >> shift;
    mismatches += v != ref.ints[i];
  }
  EXPECT_EQ(mismatches, 0u);
  EXPECT_EQ(vxgst::CheckContinuity(out, 0), "");
}

// Raw ALS streams carry no frame lengths: the element waits for a whole
// frame's worth of bytes however the input is cut.
TEST(Pipelines, AlsIsLosslessInBandAndInMp4) {
  REQUIRE_DECODER();
  const std::string als = std::string(VX_TEST_DATA_DIR) + "/als/";
  for (const char* blocksize : {"blocksize=100", "blocksize=4096", "blocksize=1000000"}) {
    SCOPED_TRACE(blocksize);
    const vxgst::Output out24 = vxgst::RunPipeline(
        "filesrc " + std::string(blocksize) + " location=\"" + als + "als_24b_st.als\" ! vxaacdec");
    ExpectLossless(out24, "alsA_24b_st.wav", "S24LE");
    EXPECT_EQ(out24.Frames(), 24576u);
    const vxgst::Output out8 = vxgst::RunPipeline(
        "filesrc " + std::string(blocksize) + " location=\"" + als + "als_8b_mo.als\" ! vxaacdec");
    ExpectLossless(out8, "alsA_8b_mo.wav", "S8");
  }
  const vxgst::Output mp4 = vxgst::RunPipeline(FileSrc("als_16b_st.mp4") + "! qtdemux ! vxaacdec");
  ExpectLossless(mp4, "alsA_16b_st.wav", "S16LE");
  EXPECT_EQ(mp4.Frames(), 64000u);  // the whole stream; the reference is its start
}

std::string AlsPath(const char* name) {
  return std::string(VX_TEST_DATA_DIR) + "/als/" + name;
}

// A raw ALS stream through decodebin: the plug-in's type finder names it and
// decodebin links the element straight to it, without an AAC parser.
TEST(Pipelines, RawAlsPlaysThroughDecodebin) {
  REQUIRE_DECODER();
  const vxgst::Output out =
      vxgst::RunPipeline("filesrc location=\"" + AlsPath("als_24b_st.als") + "\" ! decodebin");
  ExpectLossless(out, "alsA_24b_st.wav", "S24LE");
  EXPECT_TRUE(out.used_vxaacdec);
  EXPECT_EQ(std::count(out.elements.begin(), out.elements.end(), "aacparse"), 0);
}

// Typefinding over a raw ALS header followed by bytes that the ADTS finder
// takes for AAC: the ALS finder is certain and comes first.
TEST(Pipelines, AlsTypeFinderWinsOverAdts) {
  vxgst::EnsureGst();
  const std::vector<uint8_t> als = vxgst::ReadFile(AlsPath("als_8b_mo_last1.als"));
  const std::vector<uint8_t> adts = vxgst::ReadFile(vxgst::DataPath("lc_44k_st_128.aac"));
  ASSERT_GT(als.size(), 64u);
  ASSERT_GT(adts.size(), 8000u);
  std::vector<uint8_t> bytes(als.begin(), als.begin() + 64);
  bytes.insert(bytes.end(), adts.begin(), adts.begin() + 8000);
  auto found = [](const std::vector<uint8_t>& data) {
    GstTypeFindProbability p = GST_TYPE_FIND_NONE;
    GstCaps* caps = gst_type_find_helper_for_data(nullptr, data.data(), data.size(), &p);
    std::string name = caps ? gst_structure_get_name(gst_caps_get_structure(caps, 0)) : "";
    if (caps) gst_caps_unref(caps);
    return name;
  };
  EXPECT_EQ(found(bytes), "audio/x-als");
  bytes[0] = 'X';  // without the identifier the same bytes are AAC
  EXPECT_EQ(found(bytes), "audio/mpeg");
}

// ALS in MP4 the way qtdemux delivers it: without a rate above 65535 Hz,
// with 512 channels (unpositioned output), with BGMC data up to the end of
// the last access unit.  Each gives the samples of its raw twin.
TEST(Pipelines, AlsMp4EqualsTheRawStream) {
  REQUIRE_DECODER();
  const struct {
    const char* name;
    int rate, channels;
  } cases[] = {{"als_24b_st_192k", 192000, 2},
               {"als_16b_512ch", 2000, 512},
               {"als_16b_st_bgmc_last", 48000, 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string stem = AlsPath(c.name);
    const vxgst::Output mp4 =
        vxgst::RunPipeline("filesrc location=\"" + stem + ".mp4\" ! qtdemux ! vxaacdec");
    const vxgst::Output raw =
        vxgst::RunPipeline("filesrc location=\"" + stem + ".als\" ! vxaacdec");
    ASSERT_EQ(mp4.error, "");
    ASSERT_EQ(raw.error, "");
    EXPECT_EQ(mp4.rate, c.rate);
    EXPECT_EQ(mp4.channels, c.channels);
    if (c.channels > 8) {
      EXPECT_EQ(mp4.channel_mask, 0u);
    }
    EXPECT_FALSE(mp4.pcm.empty());
    EXPECT_TRUE(mp4.pcm == raw.pcm);
  }
}

// MSB-first bit writer for the synthetic stream below.
struct Bits {
  std::vector<uint8_t> bytes;
  int used = 8;  // bits used in the last byte
  void Put(uint32_t value, int n) {
    for (int i = n - 1; i >= 0; --i) {
      if (used == 8) {
        bytes.push_back(0);
        used = 0;
      }
      bytes.back() |= static_cast<uint8_t>(((value >> i) & 1) << (7 - used++));
    }
  }
  void Align() { used = 8; }
};

// A raw ALS stream of one frame larger than the element's usual input
// window (1 MiB): 5 channels of 65536 32-bit samples, order 0, every
// residual a Rice(31) code of 32 bits.  The pass must hold the whole frame.
TEST(Pipelines, AlsFrameLargerThanTheInputWindow) {
  REQUIRE_DECODER();
  constexpr int kChannels = 5, kSamples = 65536;
  Bits w;
  w.Put(0x414C5300u, 32);  // "ALS\0"
  w.Put(48000, 32);
  w.Put(kSamples, 32);
  w.Put(kChannels - 1, 16);
  w.Put(1, 3);  // file_type
  w.Put(3, 3);  // 32-bit
  w.Put(0, 2);  // integer, LSB first
  w.Put(kSamples - 1, 16);
  w.Put(0, 8);   // no random access
  w.Put(0, 16);  // ra_flag .. max_order: order 0, no LTP
  w.Put(0, 16);  // block_switching .. aux_data_enabled: no CRC
  w.Put(0, 32);  // header_size
  w.Put(0, 32);  // trailer_size
  std::vector<int32_t> samples;
  uint32_t seed = 7;
  for (int c = 0; c < kChannels; ++c) {
    w.Put(1, 1);   // normal block
    w.Put(0, 1);   // js_block
    w.Put(31, 5);  // Rice parameter
    w.Put(0, 1);   // no LSB shift
    for (int i = 0; i < kSamples; ++i) {
      seed = seed * 1664525u + 1013904223u;
      const int32_t v = static_cast<int32_t>(seed >> 1) - (1 << 30);  // -2^30 .. 2^30 - 1
      samples.push_back(v);
      // q = 0: a stop bit, then 31 bits whose top bit is the sign.
      const uint32_t r = v >= 0 ? (uint32_t(v) | (1u << 30)) : uint32_t(-(v + 1));
      w.Put(0, 1);
      w.Put(r, 31);
    }
    w.Align();
  }
  ASSERT_GT(w.bytes.size(), size_t{1} << 20);
  const std::string path = ::testing::TempDir() + "/vx_als_large_frame.als";
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(w.bytes.data(), 1, w.bytes.size(), f);
  std::fclose(f);
  const vxgst::Output out =
      vxgst::RunPipeline("filesrc blocksize=65536 location=\"" + path + "\" ! vxaacdec");
  std::remove(path.c_str());
  ASSERT_EQ(out.error, "");
  ASSERT_EQ(out.channels, kChannels);
  ASSERT_EQ(out.Frames(), size_t{kSamples});
  size_t mismatches = 0;
  for (int c = 0; c < kChannels; ++c) {
    for (int i = 0; i < kSamples; ++i) {
      int32_t v;
      std::memcpy(
          &v, out.pcm.data() + (static_cast<size_t>(i) * kChannels + static_cast<size_t>(c)) * 4,
          4);
      mismatches += v != samples[static_cast<size_t>(c * kSamples + i)];
    }
  }
  EXPECT_EQ(mismatches, 0u);
}

// HE-AAC v2 in ADTS: aacparse announces the core (22050 Hz mono); the output
// caps follow the decoded frames whatever it says.
TEST(Pipelines, HeAacCapsComeFromTheDecoder) {
  REQUIRE_DECODER();
  const vxgst::Output parsed =
      vxgst::RunPipeline(FileSrc("ps_44k_24.aac") + "! aacparse ! vxaacdec");
  const vxgst::Output direct =
      vxgst::RunPipeline(FileSrc("ps_44k_24.aac", "blocksize=64") + "! vxaacdec");
  ASSERT_EQ(parsed.error, "");
  ASSERT_EQ(direct.error, "");
  EXPECT_EQ(parsed.rate, direct.rate);
  EXPECT_EQ(parsed.channels, direct.channels);
  EXPECT_TRUE(parsed.pcm == direct.pcm);
  // 16 frames of 1024 core samples, twice as many at the SBR rate.
  ASSERT_TRUE(direct.rate == 22050 || direct.rate == 44100) << direct.rate;
  EXPECT_EQ(direct.Frames(), 16u * (direct.rate == 44100 ? 2048 : 1024));
  EXPECT_EQ(vxgst::CheckContinuity(direct, 0), "");
}

// ADTS whose layout is a program config element.  aacparse of GStreamer
// 1.22 mistakes it for LOAS, which the element does not accept; without the
// parser (unparsed input, or decodebin when no usable parser is
// registered) the element decodes it from its own headers.
TEST(Pipelines, AdtsWithProgramConfigElement) {
  REQUIRE_DECODER();
  const vxgst::Output direct =
      vxgst::RunPipeline(FileSrc("lc_32k_pce_quad.aac", "blocksize=500") + "! vxaacdec");
  ASSERT_EQ(direct.error, "");
  EXPECT_EQ(direct.channels, 4);
  EXPECT_EQ(direct.rate, 32000);
  EXPECT_EQ(direct.Frames(), 16u * 1024);
  EXPECT_EQ(vxgst::CheckContinuity(direct, 0), "");

  GstPluginFeature* parser = gst_registry_lookup_feature(gst_registry_get(), "aacparse");
  const guint rank = parser ? gst_plugin_feature_get_rank(parser) : 0;
  if (parser) gst_plugin_feature_set_rank(parser, GST_RANK_NONE);
  const vxgst::Output auto_plugged =
      vxgst::RunPipeline(FileSrc("lc_32k_pce_quad.aac") + "! decodebin");
  if (parser) {
    gst_plugin_feature_set_rank(parser, rank);
    gst_object_unref(parser);
  }
  ASSERT_EQ(auto_plugged.error, "");
  EXPECT_TRUE(auto_plugged.used_vxaacdec);
  EXPECT_TRUE(auto_plugged.pcm == direct.pcm);
}

}  // namespace
