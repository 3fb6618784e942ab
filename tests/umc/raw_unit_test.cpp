// Raw access units: ALS units decoded where they lie (DecodeLoop::Borrow),
// frames decoded into the caller's output area (SetOutputArea), and a
// decoder first configured for ALS that later takes an AAC stream.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/mp4_track.h"
#include "common/stream_decode.h"
#include "dsp/dsp_core.h"
#include "umc/aac_decoder.h"
#include "umc/decode_loop.h"

namespace {

using Bytes = std::vector<uint8_t>;

vxtest::Mp4Track Track(const std::string& path) {
  vxtest::Mp4Track track;
  std::string error;
  EXPECT_TRUE(
      vxtest::ReadMp4Track(vxtest::ReadBytes(std::string(VX_TEST_DATA_DIR) + path), &track, &error))
      << error;
  return track;
}

struct UnitRun {
  Bytes pcm;
  int frames = 0;
  int failures = 0;
  int borrowed = 0;
};

// Every unit through one loop: in place from a buffer of exactly the unit's
// size (no readable byte after it), or as the loop's padded copy.
UnitRun Decode(const vxtest::Mp4Track& track, bool borrow) {
  dspStaticInit();
  UMC::DecodeLoop loop;
  UnitRun run;
  EXPECT_EQ(loop.Open(UMC::DecodeLoop::Settings{}, track.config.data(),
                      static_cast<uint32_t>(track.config.size())),
            UMC::StatusOk);
  for (const Bytes& unit : track.units) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[unit.size() + 1]);  // +1: never null
    std::memcpy(exact.get(), unit.data(), unit.size());
    if (borrow && loop.Borrow(exact.get(), unit.size(), true)) {
      ++run.borrowed;
    } else {
      loop.Load(unit.data(), unit.size(), true);
    }
    for (int guard = 0; guard < 100000; ++guard) {
      UMC::DecodeLoop::Frame f;
      const UMC::DecodeLoop::Event e = loop.Next(&f);
      if (e == UMC::DecodeLoop::Event::kFrame) {
        ++run.frames;
        run.pcm.insert(run.pcm.end(), f.pcm, f.pcm + f.bytes);
        continue;
      }
      run.failures += e == UMC::DecodeLoop::Event::kFailed;
      if (e != UMC::DecodeLoop::Event::kNewStream) break;
    }
    loop.Release();
  }
  return run;
}

void ExpectSame(const UnitRun& borrowed, const UnitRun& copied) {
  EXPECT_EQ(borrowed.frames, copied.frames);
  EXPECT_EQ(borrowed.failures, copied.failures);
  EXPECT_TRUE(borrowed.pcm == copied.pcm);
}

TEST(RawUnits, AlsUnitsDecodeInPlaceAsFromACopy) {
  for (const char* name : {"/als/als_16b_st_bgmc_last.mp4", "/als/als_24b_st_192k.mp4"}) {
    SCOPED_TRACE(name);
    const vxtest::Mp4Track track = Track(name);
    ASSERT_FALSE(track.units.empty());
    const UnitRun copied = Decode(track, false);
    const UnitRun borrowed = Decode(track, true);
    EXPECT_EQ(borrowed.borrowed, static_cast<int>(track.units.size()));
    EXPECT_GT(copied.frames, 0);
    EXPECT_EQ(copied.failures, 0);
    ExpectSame(borrowed, copied);

    // Damaged units: cut short or with flipped bytes, read only within
    // their bytes (an address sanitizer build checks) and decoded as the
    // zero-padded copy is.
    uint32_t seed = 12345;
    for (int round = 0; round < 24; ++round) {
      vxtest::Mp4Track bad = track;
      for (Bytes& unit : bad.units) {
        seed = seed * 1664525u + 1013904223u;
        if (unit.empty()) continue;
        if (round % 3 == 0) {
          unit.resize(seed % unit.size());
        } else {
          for (int k = 0; k < 4; ++k) {
            seed = seed * 1664525u + 1013904223u;
            unit[seed % unit.size()] ^= static_cast<uint8_t>(1u << (seed >> 29));
          }
        }
      }
      ExpectSame(Decode(bad, true), Decode(bad, false));
    }
  }
}

TEST(RawUnits, AacUnitsAreNotBorrowed) {
  const vxtest::Mp4Track track = Track("/frame960/lc960_48_mo.m4a");
  const UnitRun run = Decode(track, true);
  EXPECT_EQ(run.borrowed, 0);  // the AAC readers look past the data: a padded copy
  ExpectSame(run, Decode(track, false));
}

// Frames go into an offered area that holds them, else into the loop's own,
// with the same samples either way.
TEST(RawUnits, FramesGoToTheOfferedOutputArea) {
  dspStaticInit();
  const vxtest::Mp4Track track = Track("/frame960/lc960_48_mo.m4a");
  const UnitRun expected = Decode(track, false);
  ASSERT_GT(expected.frames, 0);
  for (const uint32_t capacity : {uint32_t{1} << 16, uint32_t{16}}) {
    UMC::DecodeLoop loop;
    ASSERT_EQ(loop.Open(UMC::DecodeLoop::Settings{}, track.config.data(),
                        static_cast<uint32_t>(track.config.size())),
              UMC::StatusOk);
    std::vector<uint8_t> area(capacity);
    Bytes pcm;
    for (const Bytes& unit : track.units) {
      loop.Load(unit.data(), unit.size(), true);
      loop.SetOutputArea(area.data(), capacity);
      UMC::DecodeLoop::Frame f;
      ASSERT_EQ(loop.Next(&f), UMC::DecodeLoop::Event::kFrame);
      EXPECT_EQ(f.pcm == area.data(), capacity > 16) << capacity;
      pcm.insert(pcm.end(), f.pcm, f.pcm + f.bytes);
      EXPECT_EQ(loop.Next(&f), UMC::DecodeLoop::Event::kNeedData);  // the offer was for one call
    }
    EXPECT_TRUE(pcm == expected.pcm) << capacity;
  }
}

// `dec` configured from the track's codec data.
UMC::Status Configure(UMC::AACDecoder& dec, const vxtest::Mp4Track& track) {
  Bytes config = track.config;
  config.resize(config.size() + 16, 0);
  UMC::MediaData cfg;
  cfg.SetBufferPointer(config.data(), static_cast<uint32_t>(config.size()));
  cfg.SetDataSize(static_cast<uint32_t>(track.config.size()));
  UMC::AACDecoderParams params;
  params.in.stream_type = UMC::kStreamTypeMpeg4Config;
  params.data = &cfg;
  return dec.Init(&params);
}

// AAC frames of `track` through `dec`, configured from the track's codec data.
Bytes DecodeWith(UMC::AACDecoder& dec, const vxtest::Mp4Track& track) {
  EXPECT_EQ(Configure(dec, track), UMC::StatusOk);
  Bytes pcm;
  Bytes out_buf(1 << 16);
  for (const Bytes& unit : track.units) {
    Bytes in_buf = unit;
    in_buf.resize(unit.size() + 16, 0);
    UMC::MediaData in, out;
    in.SetBufferPointer(in_buf.data(), static_cast<uint32_t>(in_buf.size()));
    in.SetDataSize(static_cast<uint32_t>(unit.size()));
    out.SetBufferPointer(out_buf.data(), static_cast<uint32_t>(out_buf.size()));
    if (dec.GetFrame(&in, &out) != UMC::StatusOk) {
      ADD_FAILURE() << "frame " << pcm.size();
      break;
    }
    pcm.insert(pcm.end(), out_buf.begin(), out_buf.begin() + out.GetDataSize());
  }
  return pcm;
}

// A decoder set up for ALS leaves the AAC channel state untouched; an AAC
// stream given to it later gets that state set up as a new decoder does.
TEST(RawUnits, DecoderFirstConfiguredForAlsDecodesAacLater) {
  dspStaticInit();
  const vxtest::Mp4Track als = Track("/als/als_16b_st_bgmc_last.mp4");
  const vxtest::Mp4Track aac = Track("/frame960/lc960_48_mo.m4a");
  UMC::AACDecoder fresh;
  const Bytes expected = DecodeWith(fresh, aac);
  ASSERT_FALSE(expected.empty());

  UMC::AACDecoder reused;
  ASSERT_EQ(Configure(reused, als), UMC::StatusOk);
  EXPECT_EQ(reused.Reset(), UMC::StatusOk);
  EXPECT_TRUE(DecodeWith(reused, aac) == expected);
}

}  // namespace
