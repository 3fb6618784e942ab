// Synthetic HE-AAC v2 streams (tests/data/ps_synth: random valid ps_data()
// in a real stream's frames) against FFmpeg's float decode: 34 bands, fine
// IID, the second mixing procedure, IPD/OPD on both layouts, variable frame
// class and band-count changes between frames.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "common/compare.h"
#include "common/stream_decode.h"
#include "common/wav.h"

namespace {

struct SynthCase {
  const char* name;
  // The stream codes what the baseline mode drops (34 bands, phases or
  // the second mixing procedure), so that mode must miss the reference.
  bool full_only;
};

vxtest::StreamDecode Decode(const std::string& path, int ps_mode) {
  vxtest::DecodeOptions o;
  o.ps_mode = ps_mode;
  o.sbr_rate_mode = 0;
  return vxtest::DecodeStream(vxtest::ReadBytes(path), o);
}

vxtest::CompareResult AgainstReference(const vxtest::StreamDecode& d, const std::string& wav) {
  vxtest::Wav ref;
  std::string error;
  vxtest::CompareResult r;
  if (!vxtest::ReadWav(wav, &ref, &error)) {
    r.error = error;
    return r;
  }
  EXPECT_EQ(ref.channels, 2);
  EXPECT_EQ(ref.sample_rate, 32000);
  const size_t frames = d.channels > 0 ? d.pcm.size() / static_cast<size_t>(d.channels) : 0;
  EXPECT_EQ(frames, ref.Frames());
  return vxtest::Compare16(d.pcm.data(), frames, d.channels, ref);
}

class PsSynth : public ::testing::TestWithParam<SynthCase> {};

TEST_P(PsSynth, FullModeMatchesTheReference) {
  const SynthCase& c = GetParam();
  const std::string base = std::string(VX_TEST_DATA_DIR) + "/ps_synth/" + c.name;
  const vxtest::StreamDecode d = Decode(base + ".aac", 411);
  ASSERT_EQ(d.other, UMC::StatusOk);
  EXPECT_EQ(d.bad_frames, 0);
  ASSERT_EQ(d.channels, 2);
  EXPECT_EQ(d.rate, 32000);
  const vxtest::CompareResult r = AgainstReference(d, base + ".wav");
  ASSERT_TRUE(r.ok) << r.error;
  std::printf("%-12s full:     %s\n", c.name, vxtest::FormatResult(r).c_str());
  EXPECT_LE(r.rms_lsb, 0.5);
  EXPECT_LE(r.max_lsb, 2.0);

  if (c.full_only) {
    const vxtest::StreamDecode b = Decode(base + ".aac", 111);
    ASSERT_EQ(b.channels, 2);
    const vxtest::CompareResult rb = AgainstReference(b, base + ".wav");
    ASSERT_TRUE(rb.ok) << rb.error;
    std::printf("%-12s baseline: %s\n", c.name, vxtest::FormatResult(rb).c_str());
    EXPECT_GT(rb.rms_lsb, 50.0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Streams, PsSynth,
    ::testing::Values(SynthCase{"ps34_fine", true}, SynthCase{"ps_mix2", true},
                      SynthCase{"ps_ipdopd20", true}, SynthCase{"ps_ipdopd34", true},
                      SynthCase{"ps_varclass", false}, SynthCase{"ps_changes", false}),
    [](const ::testing::TestParamInfo<SynthCase>& i) { return std::string(i.param.name); });

}  // namespace
