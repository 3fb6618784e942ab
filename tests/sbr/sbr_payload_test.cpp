// SBR payloads built bit by bit and parsed through SbrExtensionPayload: the
// amplitude resolution of single-envelope FIXFIX frames, the grid limits,
// and the balance coding of a coupled pair, each down to the dequantised
// levels the process works with.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tests/sbr/sbr_payload_builder.h"

namespace {

using namespace sbr_test;

// Relative comparison of a dequantised level.
void ExpectLevel(float got, double want, const char* what, int k) {
  EXPECT_NEAR(got / want, 1.0, 1e-5) << what << " band " << k << ": " << got << " vs " << want;
}

// A FIXFIX frame with one envelope is coded at 1.5 dB whatever the header
// says (bs_amp_res is 0 for it): a 7-bit start value, the 1.5 dB tables and
// the levels 64 * 2^(E/2).  The next frame with two envelopes is back at the
// header's 3 dB: 6-bit start, 3 dB tables, 64 * 2^E.
TEST(SbrPayload, SingleEnvelopeFixFixFramesUseTheFineAmplitudeResolution) {
  Decoder d;
  d.slot(0).elementType = 0;
  Header h;  // bs_amp_res 1
  const auto t = Tables(h);
  ASSERT_GE(t->N_high, 4);
  std::vector<int> fine(t->N_high);  // 70 does not fit the 3 dB start field
  for (int k = 0; k < t->N_high; ++k) fine[k] = 70 + (k % 2 ? 5 : 0) - 3 * (k / 2);

  BitWriter w = Begin(&h);
  w.Put(0, 1);
  PutGrid(w, Grid{});  // FIXFIX, one envelope, high resolution
  w.Put(0, 1).Put(0, 1);
  for (int i = 0; i < t->N_Q; ++i) w.Put(0, 2);
  PutFreqLevels(w, fine, 7, kSbrHuffEnv15Freq);
  PutFreqLevels(w, std::vector<int>(t->N_Q, 20), 5, kSbrHuffEnv30Freq);
  w.Put(0, 1).Put(0, 1);
  ASSERT_EQ(d.Feed(0, w), Decoder::Bytes(w));
  const SbrChannel& c = d.slot(0).ch[0];
  EXPECT_EQ(c.bs_amp_res, 0);
  std::vector<float> time(2048, 0.0f);
  d.Process(0, 0, time);
  for (int k = 0; k < t->N_high; ++k) {
    EXPECT_EQ(c.envValues[0][k], fine[k]) << k;
    ExpectLevel(c.EOrig[0][k], 64.0 * std::exp2(fine[k] / 2.0), "1.5 dB", k);
  }
  for (int k = 0; k < t->N_Q; ++k) ExpectLevel(c.QOrig[0][k], std::exp2(6.0 - 20), "noise", k);

  Grid two;
  two.fixfix_log2 = 1;
  two.res = {0};
  std::vector<int> coarse[2];
  for (int l = 0; l < 2; ++l) {
    for (int k = 0; k < t->N_low; ++k) coarse[l].push_back(30 + 4 * l + (k % 3) - k);
  }
  BitWriter w2 = Begin(nullptr);
  w2.Put(0, 1);
  PutGrid(w2, two);
  w2.Put(0, 4);  // two envelopes and two noise floors in frequency direction
  for (int i = 0; i < t->N_Q; ++i) w2.Put(0, 2);
  for (const auto& v : coarse) PutFreqLevels(w2, v, 6, kSbrHuffEnv30Freq);
  for (int l = 0; l < 2; ++l)
    PutFreqLevels(w2, std::vector<int>(t->N_Q, 4 + l), 5, kSbrHuffEnv30Freq);
  w2.Put(0, 1).Put(0, 1);
  ASSERT_EQ(d.Feed(0, w2), Decoder::Bytes(w2));
  EXPECT_EQ(c.bs_amp_res, 1);
  d.Process(0, 0, time);
  for (int l = 0; l < 2; ++l) {
    for (int k = 0; k < t->N_low; ++k) {
      EXPECT_EQ(c.envValues[l][k], coarse[l][k]) << l << " " << k;
      ExpectLevel(c.EOrig[l][k], 64.0 * std::exp2(coarse[l][k]), "3 dB", k);
    }
  }
}

// The first header derives the tables even when its fields equal the values
// a slot starts with (start 5, stop 0, the default extra fields): the slot
// gets its SBR range and a limiter table inside it (before, no tables were
// derived and a new bs_limiter_bands built limiter bands below kx).
TEST(SbrPayload, FirstHeaderDerivesTablesEvenWhenItRepeatsTheInitialFields) {
  for (int limiter_bands : {0, 2}) {
    Decoder d;
    SBRDecState& s = d.slot(0);
    s.elementType = 0;
    Header h;
    h.stop = 0;
    h.limiter_bands = limiter_bands;
    const auto t = Tables(h);
    BitWriter w = Begin(&h);
    w.Put(0, 1);
    PutGrid(w, Grid{});
    w.Put(0, 1).Put(0, 1);
    for (int i = 0; i < t->N_Q; ++i) w.Put(0, 2);
    PutFreqLevels(w, std::vector<int>(t->N_high, 60), 7, kSbrHuffEnv15Freq);
    PutFreqLevels(w, std::vector<int>(t->N_Q, 20), 5, kSbrHuffEnv30Freq);
    w.Put(0, 1).Put(0, 1);
    ASSERT_EQ(d.Feed(0, w), Decoder::Bytes(w)) << limiter_bands;
    EXPECT_EQ(s.kx, t->kx);
    EXPECT_EQ(s.M, t->M);
    ASSERT_GE(s.N_L, 1);
    EXPECT_EQ(s.f_lim[0], s.kx);
    EXPECT_EQ(s.f_lim[s.N_L], s.kx + s.M);
    std::vector<float> time(2048, 0.0f);
    d.Process(0, 0, time);
  }
}

// Grid limits: at most five envelopes (VARVAR with bs_num_rel_0 +
// bs_num_rel_1 + 1 > 5 does not exist, nor FIXFIX with eight), borders
// inside the frame and in order, a pointer of at most bs_num_env + 1.  Such a
// payload fails, the reader ends at the payload's end, the slot's error
// state latches and the process of the frame bypasses without touching
// anything beyond the grid arrays.
TEST(SbrPayload, GridsBeyondTheLimitsAreErrors) {
  const Header h;
  const auto t = Tables(h);
  struct Case {
    const char* name;
    Grid g;
  };
  std::vector<Case> cases;
  auto add = [&](const char* name, int frame_class, std::vector<int> rel_0, std::vector<int> rel_1,
                 int bord_0 = 0, int bord_1 = 0, int pointer = 0) {
    Grid g;
    g.frame_class = frame_class;
    g.rel_0 = std::move(rel_0);
    g.rel_1 = std::move(rel_1);
    g.var_bord_0 = bord_0;
    g.var_bord_1 = bord_1;
    g.pointer = pointer;
    g.res.assign(g.rel_0.size() + g.rel_1.size() + 1, 0);
    cases.push_back({name, g});
  };
  add("VARVAR, 7 envelopes", VARVAR, {2, 2, 2}, {2, 2, 2});
  add("VARVAR, 6 envelopes", VARVAR, {2, 2, 2}, {2, 2});
  add("FIXVAR, borders before the frame", FIXVAR, {}, {8, 8, 8});
  add("VARFIX, borders past the trailing one", VARFIX, {8, 8, 2}, {}, 3);
  add("VARVAR, borders crossing", VARVAR, {8, 8}, {8}, 0, 0);
  add("VARFIX, pointer past the envelopes", VARFIX, {2, 2, 2}, {}, 0, 0, 6);
  Grid eight;
  eight.fixfix_log2 = 3;
  cases.push_back({"FIXFIX, 8 envelopes", eight});

  for (const Case& c : cases) {
    Decoder d;
    d.slot(0).elementType = 0;
    BitWriter good = Begin(&h);
    PutSce(good, *t, Grid{}, 40, 10);
    ASSERT_EQ(d.Feed(0, good), Decoder::Bytes(good)) << c.name;
    BitWriter bad = Begin(nullptr);
    bad.Put(0, 1);
    PutGrid(bad, c.g);
    bad.Put(0, 32).Put(0, 32);
    EXPECT_EQ(d.Feed(0, bad), kSbrError) << c.name;
    EXPECT_EQ(d.slot(0).errorState, kSbrError) << c.name;
    std::vector<float> time(2048);
    for (int n = 0; n < 1024; ++n) time[n] = 1000.0f * std::sin(0.1f * n);
    d.Process(0, 0, time);
    for (float v : time) ASSERT_TRUE(std::isfinite(v)) << c.name;
  }

  // The largest grid there is: VARVAR with five envelopes.  Borders from
  // both ends (bs_var_bord_0 1, relative 2 and 4 slot pairs; bs_var_bord_1
  // 2, relative 2 and 4 backwards from 16 + 2); the pointer 2 marks envelope
  // L_E + 1 - 2 = 4 as the transient one, whose start divides the noise floors.
  Grid five;
  five.frame_class = VARVAR;
  five.var_bord_0 = 1;
  five.var_bord_1 = 2;
  five.rel_0 = {2, 4};
  five.rel_1 = {2, 4};
  five.pointer = 2;
  five.res = {0, 1, 0, 1, 0};
  Decoder d;
  d.slot(0).elementType = 0;
  BitWriter w = Begin(&h);
  PutSce(w, *t, five, 30, 10);
  ASSERT_EQ(d.Feed(0, w), Decoder::Bytes(w));
  const SbrChannel& c = d.slot(0).ch[0];
  ASSERT_EQ(c.L_E, 5);
  const int borders[6] = {1, 3, 7, 12, 16, 18};
  for (int l = 0; l <= 5; ++l) EXPECT_EQ(c.t_E[l], borders[l]) << l;
  for (int l = 0; l < 5; ++l) EXPECT_EQ(c.freqRes[l], five.res[l]) << l;
  ASSERT_EQ(c.L_Q, 2);
  EXPECT_EQ(c.t_Q[0], 1);
  EXPECT_EQ(c.t_Q[1], 16);
  EXPECT_EQ(c.t_Q[2], 18);
  std::vector<float> time(2048, 100.0f);
  d.Process(0, 0, time);
  for (float v : time) ASSERT_TRUE(std::isfinite(v));
}

// Over a 960-sample core an SBR frame has 15 time slots: FIXFIX envelopes
// step NINT(15 / L_E) slots (8, or 4) and the last ends at 15; variable
// grids count their trailing border from 15.  The process then runs 30 QMF
// slots: 1920 output samples, the rest of the buffer untouched.
TEST(SbrPayload, FifteenSlotGridsOverA960SampleCore) {
  const Header h;
  const auto t = Tables(h);
  struct Case {
    Grid g;
    std::vector<int> borders;
  };
  std::vector<Case> cases(4);
  cases[0].g.fixfix_log2 = 1;
  cases[0].borders = {0, 8, 15};
  cases[1].g.fixfix_log2 = 2;
  cases[1].borders = {0, 4, 8, 12, 15};
  cases[2].g.frame_class = FIXVAR;
  cases[2].g.var_bord_1 = 3;
  cases[2].g.rel_1 = {4};
  cases[2].g.res = {1, 0};
  cases[2].borders = {0, 14, 18};
  cases[3].g.frame_class = VARVAR;
  cases[3].g.var_bord_0 = 2;
  cases[3].g.var_bord_1 = 1;
  cases[3].g.rel_0 = {6};
  cases[3].g.res = {0, 1};
  cases[3].borders = {2, 8, 16};
  Decoder d;
  d.slot(0).elementType = 0;
  SbrSetFrameLength(d.slot(0), 960);
  bool first = true;
  for (const Case& c : cases) {
    BitWriter w = Begin(first ? &h : nullptr);
    first = false;
    PutSce(w, *t, c.g, 30, 10);
    ASSERT_EQ(d.Feed(0, w), Decoder::Bytes(w));
    const SbrChannel& ch = d.slot(0).ch[0];
    ASSERT_EQ(ch.L_E + 1, static_cast<int>(c.borders.size()));
    for (int l = 0; l <= ch.L_E; ++l) EXPECT_EQ(ch.t_E[l], c.borders[l]) << l;
    std::vector<float> time(2048, 7.0f);
    for (int n = 0; n < 960; ++n) time[n] = 1000.0f * std::sin(0.05f * n);
    d.Process(0, 0, time);
    for (int n = 1920; n < 2048; ++n) ASSERT_EQ(time[n], 7.0f) << n;
  }
}

// A coupled pair (bs_coupling 1): one grid and one set of inverse filtering
// modes for both channels; channel 1 carries balance values in the balance
// tables (5-bit start at 3 dB, 6-bit at 1.5 dB, noise 5-bit) whose steps
// count twice, in frequency and in time direction.  Level E and balance B
// dequantise to
//   left  = 2^(E/a + 7) / (1 + 2^((12a - B)/a)),
//   right = 2^(E/a + 7) / (1 + 2^((B - 12a)/a))      (a = 1 at 3 dB, 2 at 1.5 dB)
// and noise Q, balance P to 2^(7 - Q) / (1 + 2^(12 - P)) and
// 2^(7 - Q) / (1 + 2^(P - 12)).
TEST(SbrPayload, CoupledPairDecodesLevelAndBalance) {
  Decoder d;
  SBRDecState& s = d.slot(0);
  s.elementType = 1;
  Header h;
  const auto t = Tables(h);
  const int nh = t->N_high, nq = t->N_Q;
  ASSERT_LE(nh, 16);  // the balance steps below stay within 0..24

  // 3 dB, two envelopes.  Levels 20 + k; balance 3 + k/3 coded (B = 6 + 2
  // (k/3)) in the first envelope and +2 coded (B + 4) in time for the second;
  // noise 8 everywhere, noise balance 9 coded (P = 18) then -3 coded in time
  // (P = 12, centred).
  std::vector<int> level(nh), balance(nh);
  for (int k = 0; k < nh; ++k) level[k] = 20 + k, balance[k] = 3 + k / 3;
  Grid two;
  two.fixfix_log2 = 1;
  BitWriter w = Begin(&h);
  w.Put(0, 1).Put(1, 1);  // no extra data, coupling
  PutGrid(w, two);
  w.Put(0, 2).Put(0, 2);                      // channel 0: frequency direction
  w.Put(0, 1).Put(1, 1).Put(0, 1).Put(1, 1);  // channel 1: second envelope and floor in time
  for (int i = 0; i < nq; ++i) w.Put(1, 2);
  PutFreqLevels(w, level, 6, kSbrHuffEnv30Freq);
  PutFreqLevels(w, level, 6, kSbrHuffEnv30Freq);
  PutFreqLevels(w, std::vector<int>(nq, 8), 5, kSbrHuffEnv30Freq);
  PutFreqLevels(w, std::vector<int>(nq, 8), 5, kSbrHuffEnv30Freq);
  PutFreqLevels(w, balance, 5, kSbrHuffBal30Freq);
  PutTimeLevels(w, std::vector<int>(nh, 2), kSbrHuffBal30Time);
  PutFreqLevels(w, std::vector<int>(nq, 9), 5, kSbrHuffBal30Freq);
  PutTimeLevels(w, std::vector<int>(nq, -3), kSbrHuffNoiseBal30Time);
  w.Put(0, 1).Put(0, 1).Put(0, 1);  // no sinusoids in either channel, no extended data
  ASSERT_EQ(d.Feed(0, w), Decoder::Bytes(w));
  EXPECT_EQ(s.bs_coupling, 1);
  EXPECT_EQ(s.ch[1].L_E, 2);
  EXPECT_EQ(s.ch[1].bs_invf_mode[0], 1);
  std::vector<float> time(2048, 0.0f);
  d.Process(0, 0, time);
  d.Process(0, 1, time);
  for (int l = 0; l < 2; ++l) {
    for (int k = 0; k < nh; ++k) {
      const int b = 2 * balance[k] + 4 * l;
      const double e = std::exp2(level[k] + 7.0);
      ExpectLevel(s.ch[0].EOrig[l][k], e / (1.0 + std::exp2(12.0 - b)), "left", k);
      ExpectLevel(s.ch[1].EOrig[l][k], e / (1.0 + std::exp2(b - 12.0)), "right", k);
    }
    const int p = l == 0 ? 18 : 12;
    for (int k = 0; k < nq; ++k) {
      ExpectLevel(s.ch[0].QOrig[l][k], std::exp2(7.0 - 8) / (1.0 + std::exp2(12.0 - p)), "noise l",
                  k);
      ExpectLevel(s.ch[1].QOrig[l][k], std::exp2(7.0 - 8) / (1.0 + std::exp2(p - 12.0)), "noise r",
                  k);
    }
  }

  // 1.5 dB (FIXFIX, one envelope): 7-bit level start, 6-bit balance start in
  // the 1.5 dB balance tables; balance 9 coded (B = 18) then +1 coded every
  // second band: (24 - B)/2 = 3, 3, 2, 2, ...
  std::vector<int> level15(nh), balance15(nh);
  for (int k = 0; k < nh; ++k) level15[k] = 41 + k, balance15[k] = 9 + k / 2;
  BitWriter w2 = Begin(nullptr);
  w2.Put(0, 1).Put(1, 1);
  PutGrid(w2, Grid{});
  w2.Put(0, 4);
  for (int i = 0; i < nq; ++i) w2.Put(0, 2);
  PutFreqLevels(w2, level15, 7, kSbrHuffEnv15Freq);
  PutFreqLevels(w2, std::vector<int>(nq, 6), 5, kSbrHuffEnv30Freq);
  PutFreqLevels(w2, balance15, 6, kSbrHuffBal15Freq);
  PutFreqLevels(w2, std::vector<int>(nq, 6), 5, kSbrHuffBal30Freq);
  w2.Put(0, 3);
  ASSERT_EQ(d.Feed(0, w2), Decoder::Bytes(w2));
  EXPECT_EQ(s.ch[1].bs_amp_res, 0);
  d.Process(0, 0, time);
  d.Process(0, 1, time);
  for (int k = 0; k < nh; ++k) {
    const double e = std::exp2(level15[k] / 2.0 + 7.0);
    const double x = (24.0 - 2 * balance15[k]) / 2.0;
    ExpectLevel(s.ch[0].EOrig[0][k], e / (1.0 + std::exp2(x)), "left 1.5 dB", k);
    ExpectLevel(s.ch[1].EOrig[0][k], e / (1.0 + std::exp2(-x)), "right 1.5 dB", k);
  }
  for (int k = 0; k < nq; ++k) {
    ExpectLevel(s.ch[0].QOrig[0][k], std::exp2(6.0 - 6), "noise centred", k);
    ExpectLevel(s.ch[1].QOrig[0][k], std::exp2(6.0 - 6), "noise centred", k);
  }
}

}  // namespace
