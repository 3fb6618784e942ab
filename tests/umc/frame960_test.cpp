// Streams of 960-sample frames (frameLengthFlag 1), as DAB+ and some
// broadcasters send them, fed like the element feeds a demultiplexed MP4:
// codec data, then one access unit per call.  LC against FFmpeg's float
// decode; HE-AAC and HE-AAC v2 (1920 output samples per frame)
// against an independent decoder that handles SBR over 960-sample cores
// (tests/data/frame960/README.md).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/bit_writer.h"
#include "common/compare.h"
#include "common/mp4_track.h"
#include "common/stream_decode.h"
#include "common/wav.h"

namespace {

struct Fixture {
  vxtest::Mp4Track track;
  vxtest::Wav ref;
};

Fixture Load(const std::string& name) {
  const std::string base = std::string(VX_TEST_DATA_DIR) + "/frame960/" + name;
  Fixture f;
  std::string error;
  EXPECT_TRUE(vxtest::ReadMp4Track(vxtest::ReadBytes(base + ".m4a"), &f.track, &error)) << error;
  EXPECT_TRUE(vxtest::ReadWav(base + ".wav", &f.ref, &error)) << error;
  return f;
}

// Every frame decodes to `samples` per channel; the output against the
// reference (ours[i] with ref[i + offset]) stays within the limits.
void ExpectMatch(const Fixture& f, const vxtest::StreamDecode& d, size_t samples, double max_rms,
                 double max_abs, int64_t offset = 0) {
  ASSERT_EQ(d.other, UMC::StatusOk);
  EXPECT_EQ(d.bad_frames, 0);
  ASSERT_EQ(d.channels, f.ref.channels);
  EXPECT_EQ(d.rate, f.ref.sample_rate);
  const size_t frames = d.pcm.size() / static_cast<size_t>(d.channels);
  EXPECT_EQ(frames, f.track.units.size() * samples);
  vxtest::CompareOptions o;
  o.offset = offset;
  const vxtest::CompareResult r = vxtest::Compare16(d.pcm.data(), frames, d.channels, f.ref, o);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_LE(r.rms_lsb, max_rms) << vxtest::FormatResult(r);
  EXPECT_LE(r.max_lsb, max_abs) << vxtest::FormatResult(r);
  EXPECT_GT(r.frames, frames / 2);
}

// LC with long, start, short and stop windows (120-line short windows) and
// TNS: within rounding of the float reference.
TEST(Frame960, LcMatchesTheFloatReference) {
  const Fixture f = Load("lc960_48_mo");
  const vxtest::StreamDecode d = vxtest::DecodeAccessUnits(f.track.config, f.track.units);
  ExpectMatch(f, d, 960, 0.30, 1.0);
  // The same access units in LOAS: the StreamMuxConfig's configuration
  // sets the frame length as codec data does.
  const vxtest::StreamDecode loas = vxtest::DecodeStream(
      vxtest::ReadBytes(std::string(VX_TEST_DATA_DIR) + "/frame960/lc960_48_mo.loas"));
  EXPECT_EQ(loas.bad_frames, 0);
  EXPECT_EQ(loas.pcm, d.pcm);
}

// SBR over a 960-sample core: 15 time slots (30 QMF slots), 1920 output
// samples.  The reference decoder works in fixed point with 16-bit output:
// on 1024-sample HE-AAC streams it stays about 1.3 LSB RMS (11 LSB at most)
// from FFmpeg's float decode, so the limits sit just above that; a wrong
// time grid over 15 slots (say FIXFIX borders at 7 instead of 8) costs
// more than 3 LSB RMS and 100 LSB at most.  Its output starts 2048 samples
// later than ours.
TEST(Frame960, HeAacAndParametricStereoMatchTheIndependentDecoder) {
  vxtest::DecodeOptions full_rate;
  full_rate.sbr_rate_mode = 0;
  const Fixture he = Load("he960_48_st");
  const vxtest::StreamDecode d =
      vxtest::DecodeAccessUnits(he.track.config, he.track.units, full_rate);
  EXPECT_TRUE(d.sbr);
  ExpectMatch(he, d, 1920, 1.8, 20.0, -2048);

  // Explicit signalling (object type 5 around the core's configuration)
  // carries the same frame length: the same output.
  vxtest::BitWriter asc;
  asc.Put(5, 5).Put(6, 4).Put(2, 4).Put(3, 4);  // SBR, core 24 kHz, stereo, SBR at 48 kHz
  asc.Put(2, 5).Put(1, 1).Put(0, 2);            // LC, frameLengthFlag 1
  const vxtest::StreamDecode e = vxtest::DecodeAccessUnits(asc.bytes(), he.track.units, full_rate);
  EXPECT_EQ(e.pcm, d.pcm);

  // Downsampled SBR: 960 samples per frame at the core rate.
  const vxtest::StreamDecode ds = vxtest::DecodeAccessUnits(he.track.config, he.track.units);
  EXPECT_EQ(ds.rate, 24000);
  EXPECT_EQ(ds.pcm.size(), he.track.units.size() * 960 * 2);

  vxtest::DecodeOptions stereo = full_rate;
  stereo.ps_mode = 411;
  const Fixture ps = Load("ps960_48");
  ExpectMatch(ps, vxtest::DecodeAccessUnits(ps.track.config, ps.track.units, stereo), 1920, 1.0,
              6.0, -2048);
}

}  // namespace
