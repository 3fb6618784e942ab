// SBR header rules, frequency band tables and the QMF banks' unit gain.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "sbr/sbr_decoder.h"

namespace {

std::unique_ptr<SBRDecState> Slot(int32_t rate_index, int32_t start, int32_t stop) {
  auto s = std::make_unique<SBRDecState>();
  SbrInitSlot(*s);
  s->sbrRateIndex = rate_index;
  s->bs_start_freq = start;
  s->bs_stop_freq = stop;
  s->bs_xover_band = 0;
  return s;
}

TEST(SbrTables, CrossoverRangeLimitsByRate) {
  // 44.1 kHz SBR rate (index 4): k0 = 12 + offset; stop 15 gives k2 = 3 k0.
  EXPECT_EQ(SbrDeriveTables(*Slot(4, 9, 15)), kSbrError);  // k0 18, k2 54: 36 > 35
  EXPECT_EQ(SbrDeriveTables(*Slot(4, 8, 15)), 0);          // k0 17, k2 51: 34
  // 48 kHz (index 3): k0 = 11 + offset; 32 passes, 34 fails.
  EXPECT_EQ(SbrDeriveTables(*Slot(3, 8, 15)), 0);          // k0 16, k2 48
  EXPECT_EQ(SbrDeriveTables(*Slot(3, 9, 15)), kSbrError);  // k0 17, k2 51
  // Rate index -1 (core rate of 64 kHz and above) always fails.
  EXPECT_EQ(SbrDeriveTables(*Slot(-1, 5, 0)), kSbrError);
}

TEST(SbrTables, StopFrequency14IsTwiceTheStart) {
  auto s = Slot(5, 13, 14);  // 32 kHz SBR rate: k0 = 16 + 11 = 27, k2 = min(64, 54)
  ASSERT_EQ(SbrDeriveTables(*s), 0);
  EXPECT_EQ(s->f_master[0], 27);
  EXPECT_EQ(s->f_master[s->N_master], 54);
}

TEST(SbrTables, TablesAreConsistent) {
  for (int rate = 3; rate <= 8; ++rate) {
    for (int start = 0; start < 16; ++start) {
      for (int stop = 0; stop < 16; ++stop) {
        auto s = Slot(rate, start, stop);
        if (SbrDeriveTables(*s) != 0) continue;
        EXPECT_EQ(s->kx, s->f_high[0]);
        EXPECT_LE(s->kx + s->M, 64);
        EXPECT_EQ(s->f_low[0], s->f_high[0]);
        EXPECT_EQ(s->f_low[s->N_low], s->f_high[s->N_high]);
        for (int i = 0; i < s->N_master; ++i) ASSERT_LT(s->f_master[i], s->f_master[i + 1]);
        for (int i = 0; i < s->N_Q; ++i) ASSERT_LT(s->f_noise[i], s->f_noise[i + 1]);
        EXPECT_GE(s->N_Q, 1);
        EXPECT_LE(s->N_Q, 5);
        // The patches tile kx upwards from sources below k0; a last patch
        // of fewer than 3 subbands is dropped.
        int covered = 0;
        for (int p = 0; p < s->numPatches; ++p) {
          covered += s->patchNumSubbands[p];
          EXPECT_LE(s->patchStartSubband[p] + s->patchNumSubbands[p], s->k0);
        }
        EXPECT_LE(covered, s->M) << rate << " " << start << " " << stop;
        EXPECT_GE(covered, s->M - 2) << rate << " " << start << " " << stop;
        EXPECT_EQ(s->f_lim[0], s->kx);
        // The limiter bands reach the top of the range, except after a
        // dropped last patch: the top is then no patch border and may merge
        // away (the subbands above the last limiter band stay silent).
        if (covered == s->M) {
          EXPECT_EQ(s->f_lim[s->N_L], s->kx + s->M);
        } else {
          EXPECT_LE(s->f_lim[s->N_L], s->kx + s->M);
          EXPECT_GT(s->f_lim[s->N_L], s->kx);
        }
      }
    }
  }
}

// A low start and a wide range need six patches: 44.1 kHz SBR rate, start 0
// (k0 8), stop 8 (k2 43), linear bands of two (HE-AAC v2 encoders use
// these tables at 22.05 kHz cores).  Each copy from below k0 reaches six
// subbands at most, so five patches would leave the top of the range empty.
TEST(SbrTables, SixPatches) {
  auto s = Slot(4, 0, 8);
  s->bs_freq_scale = 0;
  ASSERT_EQ(SbrDeriveTables(*s), 0);
  EXPECT_EQ(s->kx, 8);
  EXPECT_EQ(s->M, 35);
  ASSERT_EQ(s->numPatches, 6);
  constexpr int32_t kCount[6] = {5, 6, 6, 6, 6, 6};
  constexpr int32_t kStart[6] = {2, 1, 1, 1, 1, 1};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(s->patchNumSubbands[i], kCount[i]) << i;
    EXPECT_EQ(s->patchStartSubband[i], kStart[i]) << i;
  }
  EXPECT_EQ(s->f_lim[0], 8);
  EXPECT_EQ(s->f_lim[s->N_L], 43);
}

TEST(SbrTables, NoiseAndLimiterBandCounts) {
  auto s = Slot(4, 5, 7);
  s->bs_noise_bands = 0;
  s->bs_limiter_bands = 0;
  ASSERT_EQ(SbrDeriveTables(*s), 0);
  EXPECT_EQ(s->N_Q, 1);
  EXPECT_EQ(s->N_L, 1);
}

// Header bits: amp_res, start 4, stop 4, xover 3, 2 reserved, extra flags.
std::vector<uint8_t> Header(int amp, int start, int stop, int limiter_bands) {
  uint64_t bits = 0;
  int n = 0;
  auto put = [&](uint32_t v, int w) {
    bits = (bits << w) | v;
    n += w;
  };
  put(amp, 1), put(start, 4), put(stop, 4), put(0, 3), put(0, 2), put(0, 1), put(1, 1);
  put(limiter_bands, 2), put(2, 2), put(1, 1), put(1, 1);
  bits <<= 64 - n;
  std::vector<uint8_t> out(16, 0);
  for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  return out;
}

TEST(SbrHeader, ResetOnlyWhenATableFieldChanges) {
  SBRDecState s;
  SbrInitSlot(s);
  UMC::BitReader r;
  auto h = Header(1, 5, 7, 2);
  UMC::BitReaderInit(r, h.data(), 16);
  EXPECT_EQ(SbrReadHeader(s, r), 22);
  EXPECT_EQ(s.reset, 1);
  h = Header(0, 5, 7, 1);  // amp_res and limiter fields changed only
  UMC::BitReaderInit(r, h.data(), 16);
  SbrReadHeader(s, r);
  EXPECT_EQ(s.reset, 0);
  EXPECT_EQ(s.bs_amp_res, 0);
  EXPECT_EQ(s.bs_limiter_bands, 1);
  h = Header(0, 6, 7, 1);
  UMC::BitReaderInit(r, h.data(), 16);
  SbrReadHeader(s, r);
  EXPECT_EQ(s.reset, 1);
}

}  // namespace
