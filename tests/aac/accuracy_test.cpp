// Real LC streams decode within the accuracy limits of a conforming decoder:
// our 16-bit output against a float reference, RMS <= 0.30 LSB and maximum
// <= 1 LSB; streams with noise substitution by level (0.5 dB per frame).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/compare.h"
#include "common/stream_decode.h"
#include "common/wav.h"
#include "umc/umc_status.h"

namespace {

struct Case {
  const char* name;
  bool noise;  // noise substitution: compare levels only
};

class LcAccuracy : public ::testing::TestWithParam<Case> {};

TEST_P(LcAccuracy, WithinLimits) {
  const std::string base = std::string(VX_TEST_DATA_DIR "/aac/") + GetParam().name;
  vxtest::Wav ref;
  std::string error;
  ASSERT_TRUE(vxtest::ReadWav(base + ".wav", &ref, &error)) << error;
  const vxtest::StreamDecode d = vxtest::DecodeStream(vxtest::ReadBytes(base + ".aac"));
  EXPECT_EQ(d.bad_frames, 0);
  EXPECT_EQ(d.other, UMC::StatusOk);
  ASSERT_EQ(d.channels, ref.channels);
  EXPECT_EQ(d.rate, ref.sample_rate);
  const size_t frames = d.pcm.size() / static_cast<size_t>(d.channels);
  EXPECT_EQ(frames, ref.Frames());
  vxtest::CompareOptions options;
  options.channel_map = d.wav_order;
  const vxtest::CompareResult r = vxtest::Compare16(d.pcm.data(), frames, d.channels, ref, options);
  ASSERT_TRUE(r.ok) << r.error;
  std::printf("%-20s %s\n", GetParam().name, vxtest::FormatResult(r).c_str());
  if (GetParam().noise) {
    EXPECT_LE(r.worst_level_db, 0.5);
    EXPECT_GT(r.level_frames, 0u);
  } else {
    EXPECT_LE(r.rms_lsb, 0.30);
    EXPECT_LE(r.max_lsb, 1.0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Streams, LcAccuracy,
    ::testing::Values(Case{"lc_8k_mo_12", false}, Case{"lc_7k_mo_16", false},
                      Case{"lc_11k_st_32", false}, Case{"lc_16k_mo_32", false},
                      Case{"lc_22k_st_64", false}, Case{"lc_24k_51_crc", false},
                      Case{"lc_32k_71_384", false}, Case{"lc_32k_pce_quad", false},
                      Case{"lc_44k_mo_tns", false}, Case{"lc_44k_st_ms", false},
                      Case{"lc_48k_mo_drum", false}, Case{"lc_64k_st_160", false},
                      Case{"lc_88k_mo_128", false}, Case{"lc_96k_st_256", false},
                      Case{"m2lc_22k_mo_48", false}, Case{"lc_44k_st_pns", true},
                      // Intensity bands under ms_mask_present 2: every band's direction inverted.
                      Case{"lc_44k_st_is_ms2", false},
                      // Main and LTP: whole clips, prediction errors would accumulate.
                      Case{"main_22k_mo_48", false}, Case{"main_44k_st_128", false},
                      Case{"ltp_16k_mo_32", false}, Case{"ltp_44k_st_128", false}),
    [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

// Garbage and an ID3v2 tag in front of the first frame change nothing.
TEST(LcRobustness, GarbageAndId3BeforeTheStream) {
  const auto clean = vxtest::ReadBytes(VX_TEST_DATA_DIR "/aac/lc_22k_st_64.aac");
  const vxtest::StreamDecode ref = vxtest::DecodeStream(clean);
  std::vector<uint8_t> garbage;
  uint32_t seed = 7;
  for (int i = 0; i < 100; ++i) {
    seed = seed * 1103515245u + 12345u;
    garbage.push_back(static_cast<uint8_t>((seed >> 16) % 255));  // never 0xFF: no false sync
  }
  garbage.insert(garbage.end(), clean.begin(), clean.end());
  EXPECT_EQ(vxtest::DecodeStream(garbage).pcm, ref.pcm);
  // ID3v2.4 tag of 300 bytes body with a footer.
  std::vector<uint8_t> tagged = {'I', 'D', '3', 4, 0, 0x10, 0, 0, 2, 44};
  tagged.resize(10 + 300 + 10, 0);
  tagged.insert(tagged.end(), clean.begin(), clean.end());
  EXPECT_EQ(vxtest::DecodeStream(tagged).pcm, ref.pcm);
}

// A flipped protected bit: that frame is silent, the others are untouched.
TEST(LcRobustness, CrcMismatchGivesOneSilentFrame) {
  auto bytes = vxtest::ReadBytes(VX_TEST_DATA_DIR "/aac/lc_24k_51_crc.aac");
  const vxtest::StreamDecode clean = vxtest::DecodeStream(bytes);
  // Frame 3: walk the ADTS headers.
  size_t pos = 0;
  for (int f = 0; f < 3; ++f)
    pos += ((bytes[pos + 3] & 3) << 11) | (bytes[pos + 4] << 3) | (bytes[pos + 5] >> 5);
  bytes[pos + 9 + 3] ^= 0x08;
  const vxtest::StreamDecode d = vxtest::DecodeStream(bytes);
  EXPECT_EQ(d.bad_frames, 1);
  ASSERT_EQ(d.pcm.size(), clean.pcm.size());
  const size_t frame = 1024 * 6;
  for (size_t i = 0; i < d.pcm.size(); ++i) {
    if (i / frame == 3) {
      ASSERT_EQ(d.pcm[i], 0) << i;
    } else if (i / frame < 3) {
      ASSERT_EQ(d.pcm[i], clean.pcm[i]) << i;
    }
  }
}

}  // namespace
