// Synthetic HE-AAC streams (tools/vxaac-hesynth: random valid SBR payloads
// on FFmpeg-encoded LC cores, see tests/data/sbr_synth/README.md) against
// FFmpeg's float decode: full-rate SBR (and full parametric stereo for the
// HE-AAC v2 one) within RMS 0.5 LSB and maximum 2 LSB.  Between them they
// cover every frame class with 1..5 envelopes, coupled and independent
// pairs, both amplitude resolutions, time/frequency delta coding, inverse
// filtering modes, sinusoids, resets and header changes without a reset,
// unknown extensions, core rates 8000..48000 (SBR output 16..96 kHz).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "common/compare.h"
#include "common/stream_decode.h"
#include "common/wav.h"

namespace {

struct Fixture {
  const char* name;
  int rate;  // SBR output rate
  int channels;
  const char* what;  // what the stream guards beyond the common features
};

class SynthHeAac : public ::testing::TestWithParam<Fixture> {};

TEST_P(SynthHeAac, FullRateMatchesTheFloatReference) {
  const Fixture& f = GetParam();
  const std::string base = std::string(VX_TEST_DATA_DIR "/sbr_synth/") + f.name;
  vxtest::Wav ref;
  std::string error;
  ASSERT_TRUE(vxtest::ReadWav(base + ".wav", &ref, &error)) << error;
  vxtest::DecodeOptions o;
  o.sbr_rate_mode = 0;
  o.ps_mode = std::string(f.name).rfind("ps_", 0) == 0 ? 411 : 0;
  const vxtest::StreamDecode d = vxtest::DecodeStream(vxtest::ReadBytes(base + ".aac"), o);
  ASSERT_EQ(d.other, UMC::StatusOk);
  EXPECT_EQ(d.bad_frames, 0);
  EXPECT_TRUE(d.sbr);
  EXPECT_EQ(d.rate, f.rate);
  ASSERT_EQ(d.channels, f.channels);
  ASSERT_EQ(ref.channels, f.channels);
  const size_t frames = d.pcm.size() / static_cast<size_t>(d.channels);
  EXPECT_EQ(frames, ref.Frames());
  const vxtest::CompareResult r = vxtest::Compare16(d.pcm.data(), frames, d.channels, ref);
  ASSERT_TRUE(r.ok) << r.error;
  std::printf("%-26s %s\n", f.name, vxtest::FormatResult(r).c_str());
  EXPECT_LE(r.rms_lsb, 0.5) << f.what;
  EXPECT_LE(r.max_lsb, 2.0) << f.what;
}

INSTANTIATE_TEST_SUITE_P(
    Streams, SynthHeAac,
    ::testing::Values(
        Fixture{"sbr_mono_22050_limiter", 44100, 1, "bs_limiter_bands changes without a reset"},
        Fixture{"sbr_mono_22050_linear", 44100, 1,
                "linear master table whose short last patch is dropped"},
        Fixture{"sbr_stereo_22050_sines", 44100, 2,
                "sinusoids flagged in a frame without a transient envelope"},
        Fixture{"ps_22050_extension", 44100, 2, "an unknown extension after ps_data()"},
        Fixture{"sbr_mono_8000_reset", 16000, 1, "a reset at a 16 kHz SBR rate"},
        Fixture{"sbr_stereo_16000_reset", 32000, 2, "two resets, coupling on and off"},
        Fixture{"sbr_stereo_11025", 22050, 2, "22.05 kHz SBR rate, coupling on and off"},
        Fixture{"sbr_stereo_48000_coupled", 96000, 2, "96 kHz SBR rate, coupled throughout"},
        Fixture{"sbr_mono_32000", 64000, 1, "64 kHz SBR rate, five-envelope frames"},
        Fixture{"ps_16000_reset", 32000, 2, "parametric stereo over a reset that lowers the range"},
        Fixture{"sbr_stereo_16000_invf", 32000, 2,
                "inverse filtering after resets that change the noise bands, coupling on and off"},
        Fixture{"sbr_mono_22050_initial_header", 44100, 1,
                "a first header that repeats a new decoder's fields, bs_limiter_bands 0"},
        Fixture{"sbr_mono_22050_six_patches", 44100, 1,
                "tables with six patches (start 0, stop 8, linear)"}),
    [](const ::testing::TestParamInfo<Fixture>& info) { return std::string(info.param.name); });

}  // namespace
