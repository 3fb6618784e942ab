// Inverse quantisation, M/S, intensity, noise substitution and the short
// window reordering against hand-computed expectations.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "aac/channel_stream.h"
#include "tests/aac/ics_test_util.h"

using namespace ics_test;

namespace {

std::unique_ptr<ChannelStream> Long(int32_t max_sfb) {
  auto s = std::make_unique<ChannelStream>();
  EXPECT_EQ(InitChannelStream(*s, kSf44100, kObjectLc), 0);
  s->window_sequence = ONLY_LONG_SEQUENCE;
  s->max_sfb = max_sfb;
  return s;
}

// EIGHT_SHORT with the given group lengths (summing to 8).
std::unique_ptr<ChannelStream> Short(int32_t max_sfb, std::vector<int> groups) {
  auto s = std::make_unique<ChannelStream>();
  EXPECT_EQ(InitChannelStream(*s, kSf44100, kObjectLc), 0);
  s->window_sequence = EIGHT_SHORT_SEQUENCE;
  s->num_windows = 8;
  s->max_sfb = max_sfb;
  s->num_window_groups = static_cast<int32_t>(groups.size());
  for (size_t g = 0; g < groups.size(); ++g) s->window_group_length[g] = groups[g];
  return s;
}

double Dequant(int q, int sf) {
  const double m = std::pow(std::abs(q), 4.0 / 3.0) * std::pow(2.0, (sf - 100) / 4.0);
  return q < 0 ? -m : m;
}

TEST(InverseQuantise, LongBandsUseTheirScaleFactors) {
  auto s = Long(3);  // bands of 4 lines: 0..11
  const int16_t q[12] = {0, 1, -1, 2, 8, -8, 8191, -8206, 3, 0, -27, 64};
  for (int i = 0; i < 12; ++i) s->quant[i] = q[i];
  for (int i = 12; i < 1024; ++i) s->quant[i] = 99;  // not part of the frame
  s->scale_factors[0][0] = 100;
  s->scale_factors[0][1] = 104;
  s->scale_factors[0][2] = 37;
  std::vector<float> x(1024, 123.0f);
  InverseQuantise(*s, x.data());
  for (int i = 0; i < 12; ++i) {
    const double e = Dequant(q[i], s->scale_factors[0][i / 4]);
    EXPECT_NEAR(x[i], e, std::abs(e) * 1e-6) << i;
  }
  EXPECT_EQ(x[4], 16.0f * 2.0f);  // 8^(4/3) x 2
  for (int i = 12; i < 1024; ++i) ASSERT_EQ(x[i], 0.0f) << i;

  auto empty = Long(0);
  empty->quant[0] = 5;
  InverseQuantise(*empty, x.data());
  for (float v : x) ASSERT_EQ(v, 0.0f);
}

TEST(InverseQuantise, ShortGroupsInGroupedOrder) {
  auto s = Short(2, {3, 5});  // bands 0..3 and 4..7 of each window
  // Grouped order: group 0 occupies 3 x 8 lines, band 0 first (3 x 4 lines).
  for (int i = 0; i < 64; ++i) s->quant[i] = static_cast<int16_t>(i % 7 - 3);
  s->scale_factors[0][0] = 100;
  s->scale_factors[0][1] = 108;
  s->scale_factors[1][0] = 96;
  s->scale_factors[1][1] = 120;
  std::vector<float> x(1024, -1.0f);
  InverseQuantise(*s, x.data());
  for (int i = 0; i < 64; ++i) {
    int sf;
    if (i < 24) {
      sf = s->scale_factors[0][i < 12 ? 0 : 1];
    } else {
      sf = s->scale_factors[1][i - 24 < 20 ? 0 : 1];
    }
    const double e = Dequant(s->quant[i], sf);
    EXPECT_NEAR(x[i], e, std::abs(e) * 1e-6 + 1e-9) << i;
  }
  for (int i = 64; i < 1024; ++i) ASSERT_EQ(x[i], 0.0f);
}

struct Pair {
  std::unique_ptr<ChannelStream> l, r;
  std::vector<float> left, right;
};

Pair LongPair(int32_t max_sfb) {
  Pair p{Long(max_sfb), Long(max_sfb), std::vector<float>(1024), std::vector<float>(1024)};
  for (int i = 0; i < 1024; ++i) {
    p.left[i] = static_cast<float>(i % 13) - 6.0f;
    p.right[i] = static_cast<float>(i % 5) * 0.5f;
  }
  return p;
}

TEST(StereoTools, MidSideOnFlaggedBandsOnly) {
  Pair p = LongPair(4);
  for (int b = 0; b < 4; ++b) p.l->sfb_cb[0][b] = p.r->sfb_cb[0][b] = 1;
  p.l->ms_mask_present = 1;
  p.l->ms_used[0][0] = 1;
  p.l->ms_used[0][2] = 1;
  p.l->ms_used[0][3] = 1;
  p.r->sfb_cb[0][3] = NOISE_HCB;  // noise bands are not M/S coded
  MarkCodebooks(*p.l);
  MarkCodebooks(*p.r);
  const std::vector<float> l0 = p.left, r0 = p.right;
  ApplyMidSide(*p.l, *p.r, p.left.data(), p.right.data());
  for (int i = 0; i < 1024; ++i) {
    const bool ms = i < 4 || (i >= 8 && i < 12);
    EXPECT_EQ(p.left[i], ms ? l0[i] + r0[i] : l0[i]) << i;
    EXPECT_EQ(p.right[i], ms ? l0[i] - r0[i] : r0[i]) << i;
  }
  // A run up to the last band below max_sfb; the second channel's intensity
  // band inside it is not M/S coded.
  Pair u = LongPair(6);
  for (int b = 0; b < 6; ++b) u.l->sfb_cb[0][b] = u.r->sfb_cb[0][b] = 1;
  u.l->ms_mask_present = 1;
  for (int b = 1; b < 6; ++b) u.l->ms_used[0][b] = 1;
  u.r->sfb_cb[0][2] = INTENSITY_HCB;
  MarkCodebooks(*u.l);
  MarkCodebooks(*u.r);
  ApplyMidSide(*u.l, *u.r, u.left.data(), u.right.data());
  for (int i = 0; i < 1024; ++i) {
    const bool ms = (i >= 4 && i < 8) || (i >= 12 && i < 24);
    EXPECT_EQ(u.left[i], ms ? l0[i] + r0[i] : l0[i]) << i;
    EXPECT_EQ(u.right[i], ms ? l0[i] - r0[i] : r0[i]) << i;
  }
  // ms_mask_present 2: every band below max_sfb.
  Pair q = LongPair(4);
  for (int b = 0; b < 4; ++b) q.l->sfb_cb[0][b] = q.r->sfb_cb[0][b] = 2;
  q.l->ms_mask_present = 2;
  ApplyMidSide(*q.l, *q.r, q.left.data(), q.right.data());
  for (int i = 0; i < 1024; ++i) {
    EXPECT_EQ(q.left[i], i < 16 ? l0[i] + r0[i] : l0[i]);
    EXPECT_EQ(q.right[i], i < 16 ? l0[i] - r0[i] : r0[i]);
  }
}

TEST(StereoTools, IntensityScalesAndSigns) {
  Pair p = LongPair(4);
  p.r->sfb_cb[0][0] = INTENSITY_HCB;  // position 0: right = left
  p.r->scale_factors[0][0] = 0;
  p.r->sfb_cb[0][1] = INTENSITY_HCB2;  // out of phase, position 4: -left / 2
  p.r->scale_factors[0][1] = 4;
  p.r->sfb_cb[0][2] = INTENSITY_HCB;  // ms_used flips the sign, position -8: 4 x left
  p.r->scale_factors[0][2] = -8;
  p.r->sfb_cb[0][3] = 5;  // ordinary band: untouched
  p.l->ms_mask_present = 1;
  p.l->ms_used[0][2] = 1;
  const std::vector<float> r0 = p.right;
  MarkCodebooks(*p.r);
  ApplyIntensity(*p.l, *p.r, p.left.data(), p.right.data());
  for (int i = 0; i < 4; ++i) EXPECT_EQ(p.right[i], p.left[i]);
  for (int i = 4; i < 8; ++i) EXPECT_EQ(p.right[i], -0.5f * p.left[i]);
  for (int i = 8; i < 12; ++i) EXPECT_EQ(p.right[i], -4.0f * p.left[i]);
  for (int i = 12; i < 1024; ++i) EXPECT_EQ(p.right[i], r0[i]);
  // ms_mask_present 2 means every ms_used flag set: every band inverted
  // (what FFmpeg's encoder writes with forced M/S and intensity stereo).
  Pair q = LongPair(2);
  q.r->sfb_cb[0][0] = INTENSITY_HCB;
  q.r->sfb_cb[0][1] = INTENSITY_HCB2;
  q.l->ms_mask_present = 2;
  MarkCodebooks(*q.r);
  ApplyIntensity(*q.l, *q.r, q.left.data(), q.right.data());
  for (int i = 0; i < 4; ++i) EXPECT_EQ(q.right[i], -q.left[i]);
  for (int i = 4; i < 8; ++i) EXPECT_EQ(q.right[i], q.left[i]);
}

TEST(StereoTools, IntensityInShortGroups) {
  auto l = Short(2, {2, 6});
  auto r = Short(2, {2, 6});
  r->sfb_cb[1][1] = INTENSITY_HCB;  // group 1, band 1: lines 16 + 6 x 4 .. 16 + 6 x 8
  r->scale_factors[1][1] = 8;
  std::vector<float> left(1024), right(1024, 7.0f);
  for (int i = 0; i < 1024; ++i) left[i] = static_cast<float>(i);
  MarkCodebooks(*r);
  ApplyIntensity(*l, *r, left.data(), right.data());
  for (int i = 0; i < 1024; ++i) {
    EXPECT_EQ(right[i], i >= 40 && i < 64 ? 0.25f * left[i] : 7.0f) << i;
  }
}

// The values, the state left for the next band and the norm, for short and
// long bands.
TEST(NoiseSubstitution, GeneratorSequenceAndNormalisation) {
  for (const int count : {3, 8, 21, 1024}) {
    uint32_t state = 7;
    std::vector<float> v(count);
    const float norm = NoiseVector(v.data(), count, &state);
    uint32_t st = 7;
    double e = 0;
    for (int i = 0; i < count; ++i) {
      st = st * 1664525u + 1013904223u;
      ASSERT_EQ(v[i], static_cast<float>(static_cast<int32_t>(st))) << count << " " << i;
      e += double{v[i]} * v[i];
    }
    EXPECT_EQ(state, st) << count;
    EXPECT_NEAR(norm, 1.0 / std::sqrt(e), 1e-6 / std::sqrt(e)) << count;
  }
}

TEST(NoiseSubstitution, BandEnergyFollowsTheNoiseEnergy) {
  auto s = Long(3);
  s->sfb_cb[0][1] = NOISE_HCB;
  s->scale_factors[0][1] = 40;  // band energy 2^(40/2)
  s->sfb_cb[0][2] = NOISE_HCB;
  s->scale_factors[0][2] = -6;
  std::vector<float> x(1024, 0.0f);
  x[0] = 3.0f;
  uint32_t state = 0;
  MarkCodebooks(*s);
  ApplyNoiseSubstitution(*s, nullptr, x.data(), nullptr, &state);
  EXPECT_EQ(x[0], 3.0f);
  double e1 = 0, e2 = 0;
  for (int i = 4; i < 8; ++i) e1 += double{x[i]} * x[i];
  for (int i = 8; i < 12; ++i) e2 += double{x[i]} * x[i];
  EXPECT_NEAR(e1, std::pow(2.0, 20.0), std::pow(2.0, 20.0) * 1e-5);
  EXPECT_NEAR(e2, std::pow(2.0, -3.0), std::pow(2.0, -3.0) * 1e-5);
  EXPECT_NE(state, 0u);
  // The generator carries on: the same call again gives different noise.
  std::vector<float> y(1024, 0.0f);
  MarkCodebooks(*s);
  ApplyNoiseSubstitution(*s, nullptr, y.data(), nullptr, &state);
  EXPECT_NE(y[4], x[4]);
}

// In a group of several short windows each window's band carries the
// noise energy, as in a window of its own.
TEST(NoiseSubstitution, EveryWindowOfAGroupGetsTheEnergy) {
  auto s = Short(3, {3, 5});  // short bands of 4 lines
  s->sfb_cb[0][2] = NOISE_HCB;
  s->scale_factors[0][2] = 12;  // 2^6 per window
  s->sfb_cb[1][0] = NOISE_HCB;
  s->scale_factors[1][0] = 0;
  std::vector<float> x(1024, 0.0f);
  uint32_t state = 3;
  MarkCodebooks(*s);
  ApplyNoiseSubstitution(*s, nullptr, x.data(), nullptr, &state);
  // Grouped order: group 0 is 3 windows x 12 lines, band 2 at 3 x 8.
  for (int w = 0; w < 3; ++w) {
    double e = 0;
    for (int i = 24 + 4 * w; i < 28 + 4 * w; ++i) e += double{x[i]} * x[i];
    EXPECT_NEAR(e, 64.0, 64.0 * 1e-5) << w;
  }
  for (int w = 0; w < 5; ++w) {
    double e = 0;
    for (int i = 36 + 4 * w; i < 40 + 4 * w; ++i) e += double{x[i]} * x[i];
    EXPECT_NEAR(e, 1.0, 1e-5) << w;
  }
  for (int i = 0; i < 24; ++i) ASSERT_EQ(x[i], 0.0f) << i;
}

TEST(NoiseSubstitution, PairSharesNoiseWhereMsIsSet) {
  Pair p = LongPair(2);
  for (auto* s : {p.l.get(), p.r.get()}) {
    s->sfb_cb[0][0] = s->sfb_cb[0][1] = NOISE_HCB;
  }
  p.l->scale_factors[0][0] = 10;
  p.r->scale_factors[0][0] = 18;  // right = left x 2^(8/4)
  p.l->scale_factors[0][1] = 10;
  p.r->scale_factors[0][1] = 10;  // not flagged: independent noise
  p.l->ms_mask_present = 1;
  p.l->ms_used[0][0] = 1;
  uint32_t state = 5;
  MarkCodebooks(*p.l);
  MarkCodebooks(*p.r);
  ApplyNoiseSubstitution(*p.l, p.r.get(), p.left.data(), p.right.data(), &state);
  for (int i = 0; i < 4; ++i) EXPECT_FLOAT_EQ(p.right[i], 4.0f * p.left[i]);
  bool differs = false;
  for (int i = 4; i < 8; ++i) differs |= p.right[i] != p.left[i];
  EXPECT_TRUE(differs);
}

TEST(DeinterleaveShort, GroupedOrderToWindows) {
  auto s = Short(2, {3, 1, 4});  // band widths 4 and 4
  std::vector<float> x(1024, 0.0f);
  // Grouped: value = 1000 * window + 10 * band + line in band.
  int p = 0, window = 0;
  for (int len : {3, 1, 4}) {
    for (int b = 0; b < 2; ++b) {
      for (int w = 0; w < len; ++w) {
        for (int k = 0; k < 4; ++k) x[p++] = 1000.0f * (window + w) + 10.0f * b + k;
      }
    }
    window += len;
  }
  for (int i = p; i < 1024; ++i) x[i] = -5.0f;  // beyond the coded lines
  DeinterleaveShort(*s, x.data());
  for (int w = 0; w < 8; ++w) {
    for (int line = 0; line < 128; ++line) {
      const float e = line < 8 ? 1000.0f * w + 10.0f * (line / 4) + line % 4 : 0.0f;
      ASSERT_EQ(x[128 * w + line], e) << w << " " << line;
    }
  }
  // Groups covering only windows 0..2 (a single-window group first): the
  // rest stays silent, whatever the buffer held beyond the coded lines.
  auto partial = Short(3, {1, 2});  // band widths 4, 4 and 4
  std::vector<float> v(1024, -5.0f);
  p = 0;
  window = 0;
  for (int len : {1, 2}) {
    for (int b = 0; b < 3; ++b) {
      for (int w = 0; w < len; ++w) {
        for (int k = 0; k < 4; ++k) v[p++] = 1000.0f * (window + w) + 10.0f * b + k;
      }
    }
    window += len;
  }
  DeinterleaveShort(*partial, v.data());
  for (int w = 0; w < 8; ++w) {
    for (int line = 0; line < 128; ++line) {
      const float e = w < 3 && line < 12 ? 1000.0f * w + 10.0f * (line / 4) + line % 4 : 0.0f;
      ASSERT_EQ(v[128 * w + line], e) << w << " " << line;
    }
  }
  // max_sfb 0: every window silent.
  auto empty = Short(0, {8});
  std::vector<float> y(1024, 1.0f);
  DeinterleaveShort(*empty, y.data());
  for (float v : y) ASSERT_EQ(v, 0.0f);
  // Long windows are left alone.
  auto lng = Long(4);
  std::vector<float> z(1024, 2.0f);
  DeinterleaveShort(*lng, z.data());
  for (float v : z) ASSERT_EQ(v, 2.0f);
}

// Every band of the short tables (widths up to 16 at 44.1 kHz, up to 20 at
// 8 kHz), against the reordering written out: band copies wider than their
// band must land only where later bands or the cleared lines go, and
// nothing is written past the spectrum.
TEST(DeinterleaveShort, AllBandsOfWideTablesAndNothingBeyond) {
  for (const int32_t sf_index : {kSf44100, 11}) {
    for (const std::vector<int>& groups :
         {std::vector<int>{3, 1, 4}, std::vector<int>{2, 2, 2, 2}}) {
      auto s = std::make_unique<ChannelStream>();
      ASSERT_EQ(InitChannelStream(*s, sf_index, kObjectLc), 0);
      s->window_sequence = EIGHT_SHORT_SEQUENCE;
      s->num_windows = 8;
      s->max_sfb = s->bands.num_swb_short;
      s->num_window_groups = static_cast<int32_t>(groups.size());
      for (size_t g = 0; g < groups.size(); ++g) s->window_group_length[g] = groups[g];
      const int32_t* offset = s->bands.swb_offset_short;
      const int32_t bands = s->max_sfb;
      std::vector<float> buf(1024 + 64, -7.0f);
      std::vector<float> expect(1024, 0.0f);
      int p = 0, window = 0;
      for (int len : groups) {
        for (int b = 0; b < bands; ++b) {
          for (int w = 0; w < len; ++w) {
            for (int k = offset[b]; k < offset[b + 1]; ++k) {
              buf[p] = static_cast<float>(p + 1);
              expect[128 * (window + w) + k] = static_cast<float>(p + 1);
              ++p;
            }
          }
        }
        window += len;
      }
      DeinterleaveShort(*s, buf.data());
      for (int i = 0; i < 1024; ++i) ASSERT_EQ(buf[i], expect[i]) << sf_index << " " << i;
      for (int i = 1024; i < 1024 + 64; ++i) ASSERT_EQ(buf[i], -7.0f) << sf_index << " " << i;
    }
  }
}

}  // namespace
