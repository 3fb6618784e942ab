// ps_data() parsing on hand-built frames: delta decoding in both
// directions, the envelope fix-up, the index maps between the 10/20- and
// 34-band grids, phase parameters, reserved modes, the bit budget and the
// index ranges.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "ps/ps_internal.h"
#include "tests/ps/ps_test_util.h"

namespace {

using ps_test::BitWriter;
using ps_test::Parse;
using ps_test::PutGrid;
using ps_test::PutHeader;

// Running sums of frequency-direction deltas.
std::vector<int> Cumulative(const std::vector<int>& d) {
  std::vector<int> v(d.size());
  int sum = 0;
  for (size_t i = 0; i < d.size(); ++i) v[i] = sum += d[i];
  return v;
}

std::vector<int> Plus(const std::vector<int>& a, const std::vector<int>& d) {
  std::vector<int> v(a.size());
  for (size_t i = 0; i < a.size(); ++i) v[i] = a[i] + d[i];
  return v;
}

// Coarse (10-band) values on the 20-band layout: each one on two bands.
std::vector<int> Doubled(const std::vector<int>& a) {
  std::vector<int> v;
  for (int x : a) v.insert(v.end(), {x, x});
  return v;
}

std::vector<int> Row(const int16_t* p, int n) {
  return std::vector<int>(p, p + n);
}

// The index maps of ISO/IEC 14496-3 (8.6.4.6.2) as written there, with
// integer division truncating toward zero.
std::vector<int> Iso34To20(const std::vector<int>& a, bool full) {
  std::vector<int> b = {(2 * a[0] + a[1]) / 3,
                        (a[1] + 2 * a[2]) / 3,
                        (2 * a[3] + a[4]) / 3,
                        (a[4] + 2 * a[5]) / 3,
                        (a[6] + a[7]) / 2,
                        (a[8] + a[9]) / 2,
                        a[10],
                        a[11],
                        (a[12] + a[13]) / 2,
                        (a[14] + a[15]) / 2,
                        a[16]};
  if (full) {
    b.insert(b.end(),
             {a[17], a[18], a[19], (a[20] + a[21]) / 2, (a[22] + a[23]) / 2, (a[24] + a[25]) / 2,
              (a[26] + a[27]) / 2, (a[28] + a[29] + a[30] + a[31]) / 4, (a[32] + a[33]) / 2});
  }
  return b;
}

std::vector<int> Iso20To34(const std::vector<int>& a, bool full) {
  std::vector<int> b = {a[0],
                        (a[0] + a[1]) / 2,
                        a[1],
                        a[2],
                        (a[2] + a[3]) / 2,
                        a[3],
                        a[4],
                        a[4],
                        a[5],
                        a[5],
                        a[6],
                        a[7],
                        a[8],
                        a[8],
                        a[9],
                        a[9],
                        a[10]};
  if (full) {
    b.insert(b.end(), {a[11], a[12], a[13], a[14], a[14], a[15], a[15], a[16], a[16], a[17], a[17],
                       a[18], a[18], a[18], a[18], a[19], a[19]});
  }
  return b;
}

// Two envelopes (fixed grid) of coarse IID and 20-band ICC, the second in
// time direction, then a frame without header whose single envelope
// refers to the last envelope of the first frame.
TEST(PsParse, DeltaDecodingInFrequencyAndTime) {
  auto ps = ps_test::MakeState();
  const std::vector<int> iid_f = {1, 2, -1, 0, 3, -2, -1, 1, 0, -3};
  const std::vector<int> iid_t = {-1, 0, 2, -3, 1, 1, 0, -2, 4, 0};
  const std::vector<int> icc_f = {0, 1, 1, 2, 0, -1, 0, 1, 2, -1, 0, 0, 1, 0, -2, 1, 0, 0, -1, 1};
  const std::vector<int> icc_t = {1, 0, -1, 0, 0, 1, 0, -1, -2, 0, 1, 0, 0, 0, 1, 0, 0, 1, 0, -1};
  BitWriter w;
  PutHeader(w, 1, 0, 1, 1, 0);
  PutGrid(w, 0, 2);  // two envelopes
  w.Set(ps_test::kIid, 0, iid_f).Set(ps_test::kIid, 1, iid_t);
  w.Set(ps_test::kIcc, 0, icc_f).Set(ps_test::kIcc, 1, icc_t);
  ASSERT_EQ(Parse(*ps, w), 0);
  EXPECT_EQ(ps->numBandsLayout, kPsLayout20);
  ASSERT_EQ(ps->num_env, 2);
  EXPECT_EQ(ps->border_position[0], 0);
  EXPECT_EQ(ps->border_position[1], 16);
  EXPECT_EQ(ps->border_position[2], 32);
  const std::vector<int> iid0 = Cumulative(iid_f), iid1 = Plus(iid0, iid_t);
  const std::vector<int> icc0 = Cumulative(icc_f), icc1 = Plus(icc0, icc_t);
  EXPECT_EQ(Row(ps->iidIndex[0], 20), Doubled(iid0));
  EXPECT_EQ(Row(ps->iidIndex[1], 20), Doubled(iid1));
  EXPECT_EQ(Row(ps->iccIndex[0], 20), icc0);
  EXPECT_EQ(Row(ps->iccIndex[1], 20), icc1);
  EXPECT_EQ(ps->mixingProcedure, 0);
  EXPECT_EQ(ps->fineIid, 0);

  // No header: the modes stay; time direction from the previous frame.
  const std::vector<int> iid_t2 = {1, 1, -2, 2, -1, 0, 0, 1, -3, 2};
  const std::vector<int> icc_t2(20, 1);
  BitWriter w2;
  w2.Put(0, 1);
  PutGrid(w2, 0, 1);  // one envelope
  w2.Set(ps_test::kIid, 1, iid_t2).Set(ps_test::kIcc, 1, icc_t2);
  ASSERT_EQ(Parse(*ps, w2), 0);
  ASSERT_EQ(ps->num_env, 1);
  EXPECT_EQ(Row(ps->iidIndex[0], 20), Doubled(Plus(iid1, iid_t2)));
  EXPECT_EQ(Row(ps->iccIndex[0], 20), Plus(icc1, icc_t2));
}

// Fine IID (iid_mode 4: 20 bands, 31 steps) and the second mixing
// procedure (icc_mode 4); values beyond the coarse range survive.
TEST(PsParse, FineIidKeepsItsRange) {
  auto ps = ps_test::MakeState();
  std::vector<int> iid_f = {15, -5, -10, -15, 30, -20, 3, 3, 3, 3,
                            -1, -1, -1,  -1,  -4, 0,   0, 0, 0, -10};
  BitWriter w;
  PutHeader(w, 1, 4, 1, 4, 0);
  PutGrid(w, 0, 1);
  w.Set(ps_test::kIidFine, 0, iid_f).Set(ps_test::kIcc, 0, std::vector<int>(20, 0));
  ASSERT_EQ(Parse(*ps, w), 0);
  EXPECT_EQ(ps->fineIid, 1);
  EXPECT_EQ(ps->mixingProcedure, 1);
  EXPECT_EQ(Row(ps->iidIndex[0], 20), Cumulative(iid_f));
}

// Variable grid: the borders as coded; a last border before slot 32 gets
// an envelope appended that repeats the last one.  A frame without
// envelopes keeps the previous values for the whole frame.  Borders that
// go back are an error.
TEST(PsParse, EnvelopeFixUp) {
  auto ps = ps_test::MakeState();
  BitWriter w;
  PutHeader(w, 1, 1, 0, 0, 0);
  PutGrid(w, 1, 1, {10, 21});  // two envelopes ending at slots 10 and 21
  const std::vector<int> d0 = {2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1};
  const std::vector<int> d1(20, 1);
  w.Set(ps_test::kIid, 0, d0).Set(ps_test::kIid, 1, d1);
  ASSERT_EQ(Parse(*ps, w), 0);
  ASSERT_EQ(ps->num_env, 3);
  EXPECT_EQ(ps->border_position[1], 10);
  EXPECT_EQ(ps->border_position[2], 21);
  EXPECT_EQ(ps->border_position[3], 32);
  const std::vector<int> e1 = Plus(Cumulative(d0), d1);
  EXPECT_EQ(Row(ps->iidIndex[1], 20), e1);
  EXPECT_EQ(Row(ps->iidIndex[2], 20), e1);
  for (int b = 0; b < 20; ++b) EXPECT_EQ(ps->iccIndex[2][b], 0);  // ICC off

  BitWriter none;  // no header, fixed grid with zero envelopes
  none.Put(0, 1);
  PutGrid(none, 0, 0);
  ASSERT_EQ(Parse(*ps, none), 0);
  ASSERT_EQ(ps->num_env, 1);
  EXPECT_EQ(ps->border_position[1], 32);
  EXPECT_EQ(Row(ps->iidIndex[0], 20), e1);

  // Four envelopes, the last ending at slot 32: nothing appended.
  BitWriter four;
  four.Put(0, 1);
  PutGrid(four, 1, 3, {4, 8, 8, 32});
  for (int e = 0; e < 4; ++e) four.Set(ps_test::kIid, 1, std::vector<int>(20, e == 2 ? 1 : 0));
  ASSERT_EQ(Parse(*ps, four), 0);
  ASSERT_EQ(ps->num_env, 4);
  EXPECT_EQ(ps->border_position[3], 8);
  EXPECT_EQ(ps->border_position[4], 32);
  EXPECT_EQ(Row(ps->iidIndex[3], 20), Plus(e1, std::vector<int>(20, 1)));

  BitWriter back;
  back.Put(0, 1);
  PutGrid(back, 1, 1, {20, 12});
  for (int e = 0; e < 2; ++e) back.Set(ps_test::kIid, 0, std::vector<int>(20, 0));
  EXPECT_EQ(Parse(*ps, back), kPsError);

  // Frames of 30 slots (960-sample cores): fixed borders at 30 e / num_env,
  // variable borders past the frame end at slot 30.
  PsSetFrameLength(*ps, 960);
  BitWriter fixed;
  fixed.Put(0, 1);
  PutGrid(fixed, 0, 3);
  for (int e = 0; e < 4; ++e) fixed.Set(ps_test::kIid, 1, std::vector<int>(20, 0));
  ASSERT_EQ(Parse(*ps, fixed), 0);
  ASSERT_EQ(ps->num_env, 4);
  const int quarters[5] = {0, 7, 15, 22, 30};
  for (int e = 0; e <= 4; ++e) EXPECT_EQ(ps->border_position[e], quarters[e]) << e;
  BitWriter late;
  late.Put(0, 1);
  PutGrid(late, 1, 1, {31, 32});
  for (int e = 0; e < 2; ++e) late.Set(ps_test::kIid, 1, std::vector<int>(20, 0));
  ASSERT_EQ(Parse(*ps, late), 0);
  ASSERT_EQ(ps->num_env, 2);
  EXPECT_EQ(ps->border_position[1], 30);
  EXPECT_EQ(ps->border_position[2], 30);
}

// The maps against the standard's, on values of both signs, for both
// widths (20/34 IID/ICC bands, 11/17 phase bands).
TEST(PsParse, IndexMapsFollowTheStandard) {
  std::mt19937 rng(1);
  std::uniform_int_distribution<int> v(-15, 15);
  for (int trial = 0; trial < 200; ++trial) {
    for (bool full : {true, false}) {
      int16_t a34[34], a20[20], out[34];
      std::vector<int> v34(34), v20(20);
      for (int i = 0; i < 34; ++i) a34[i] = static_cast<int16_t>(v34[i] = v(rng));
      for (int i = 0; i < 20; ++i) a20[i] = static_cast<int16_t>(v20[i] = v(rng));
      PsMapIndices34To20(a34, out, full ? 20 : 11);
      EXPECT_EQ(Row(out, full ? 20 : 11), Iso34To20(v34, full));
      PsMapIndices20To34(a20, out, full ? 34 : 17);
      EXPECT_EQ(Row(out, full ? 34 : 17), Iso20To34(v20, full));
    }
  }
}

// Through the parser: 34-band IID with coarse ICC selects the 34-band
// layout (ICC mapped up); the baseline mode maps 34-band data down to 20.
TEST(PsParse, MixedGridsAreMappedOntoTheLayout) {
  std::vector<int> iid_f(34), icc_f(10);
  for (int i = 0; i < 34; ++i) iid_f[i] = (i % 5 == 0) ? -3 : (i % 3 == 0 ? 2 : 0);
  iid_f[1] = 1;  // IIDs of both signs, odd sums in every averaged pair
  for (int i = 0; i < 10; ++i) icc_f[i] = i % 2 ? -1 : 2;
  BitWriter w;
  PutHeader(w, 1, 2, 1, 0, 0);
  PutGrid(w, 0, 1);
  w.Set(ps_test::kIid, 0, iid_f).Set(ps_test::kIcc, 0, icc_f);
  const std::vector<int> iid = Cumulative(iid_f);
  std::vector<int> icc = Cumulative(icc_f);
  for (int& x : icc) x = std::min(7, std::max(0, x));

  auto full = ps_test::MakeState(411);
  ASSERT_EQ(Parse(*full, w), 0);
  EXPECT_EQ(full->numBandsLayout, kPsLayout34);
  EXPECT_EQ(Row(full->iidIndex[0], 34), iid);
  EXPECT_EQ(Row(full->iccIndex[0], 34), Iso20To34(Doubled(icc), true));

  auto base = ps_test::MakeState(111);
  ASSERT_EQ(Parse(*base, w), 0);
  EXPECT_EQ(base->numBandsLayout, kPsLayout20);
  EXPECT_EQ(Row(base->iidIndex[0], 20), Iso34To20(iid, true));
  EXPECT_EQ(Row(base->iccIndex[0], 20), Doubled(icc));
}

// IPD/OPD in the extension: decoded modulo 8 in the full mode, parsed and
// dropped in the baseline mode (the parser still consumes exactly the
// frame).
TEST(PsParse, PhaseParameters) {
  const std::vector<int> ipd_f = {3, 7, 2, 0, 5, 1, 1, 6, 4, 0, 7};
  const std::vector<int> opd_f = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
  const std::vector<int> ipd_t = {6, 0, 0, 1, 0, 0, 0, 0, 0, 0, 2};
  BitWriter ext;
  ext.Put(1, 1);  // enable_ipdopd
  ext.Set(ps_test::kIpd, 0, ipd_f).Set(ps_test::kOpd, 0, opd_f);
  ext.Set(ps_test::kIpd, 1, ipd_t).Set(ps_test::kOpd, 1, std::vector<int>(11, 0));
  BitWriter w;
  PutHeader(w, 1, 1, 1, 1, 1);
  PutGrid(w, 0, 2);
  for (int e = 0; e < 2; ++e) w.Set(ps_test::kIid, 0, std::vector<int>(20, 0));
  for (int e = 0; e < 2; ++e) w.Set(ps_test::kIcc, 0, std::vector<int>(20, 0));
  ps_test::PutPhaseExtension(w, ext);

  std::vector<int> ipd0 = Cumulative(ipd_f), opd0 = Cumulative(opd_f);
  for (int& x : ipd0) x &= 7;
  for (int& x : opd0) x &= 7;
  std::vector<int> ipd1 = Plus(ipd0, ipd_t);
  for (int& x : ipd1) x &= 7;

  auto full = ps_test::MakeState(411);
  UMC::BitReader r;
  UMC::BitReaderInit(r, w.bytes().data(), static_cast<int32_t>(w.bytes().size()));
  ASSERT_EQ(PsParseExtension(full.get(), r, static_cast<int32_t>(w.bits())), w.bits());
  EXPECT_EQ(full->enable_ipdopd, 1);
  EXPECT_EQ(Row(full->ipdIndex[0], 11), ipd0);
  EXPECT_EQ(Row(full->opdIndex[0], 11), opd0);
  EXPECT_EQ(Row(full->ipdIndex[1], 11), ipd1);
  EXPECT_EQ(Row(full->opdIndex[1], 11), opd0);

  auto base = ps_test::MakeState(111);
  UMC::BitReaderInit(r, w.bytes().data(), static_cast<int32_t>(w.bytes().size()));
  ASSERT_EQ(PsParseExtension(base.get(), r, static_cast<int32_t>(w.bits())), w.bits());
  EXPECT_EQ(base->enable_ipdopd, 0);
  for (int e = 0; e < 2; ++e) EXPECT_EQ(Row(base->ipdIndex[e], 11), std::vector<int>(11, 0));
}

// iid_mode or icc_mode 6 and 7 are reserved: the frame fails, the header
// fields are cleared and the 10/20-band layout is selected; the next frame
// without header parses with IID and ICC off.
TEST(PsParse, ReservedModesClearTheHeader) {
  for (int bad : {6, 7}) {
    for (bool in_icc : {false, true}) {
      SCOPED_TRACE(::testing::Message() << "mode " << bad << (in_icc ? " icc" : " iid"));
      auto ps = ps_test::MakeState();
      BitWriter good;
      PutHeader(good, 1, 2, 1, 5, 0);
      PutGrid(good, 0, 1);
      good.Set(ps_test::kIid, 0, std::vector<int>(34, 0))
          .Set(ps_test::kIcc, 0, std::vector<int>(34, 0));
      ASSERT_EQ(Parse(*ps, good), 0);
      ASSERT_EQ(ps->numBandsLayout, kPsLayout34);

      BitWriter w;
      PutHeader(w, 1, in_icc ? 1 : bad, 1, in_icc ? bad : 1, 0);
      PutGrid(w, 0, 1);
      w.Set(ps_test::kIid, 0, std::vector<int>(20, 0))
          .Set(ps_test::kIcc, 0, std::vector<int>(20, 0));
      EXPECT_EQ(Parse(*ps, w), kPsError);
      EXPECT_EQ(ps->enable_iid, 0);
      EXPECT_EQ(ps->iid_mode, 0);
      EXPECT_EQ(ps->enable_icc, 0);
      EXPECT_EQ(ps->icc_mode, 0);
      EXPECT_EQ(ps->enable_ext, 0);
      EXPECT_EQ(ps->numBandsLayout, kPsLayout20);

      BitWriter next;
      next.Put(0, 1);
      PutGrid(next, 0, 1);
      EXPECT_EQ(Parse(*ps, next), 0);
      EXPECT_EQ(ps->numBandsLayout, kPsLayout20);
    }
  }
}

// A budget below the frame's size fails the frame without touching the
// state and without reading beyond the budget (the bytes after it are
// ones, which would decode as more data); the exact budget is enough.
TEST(PsParse, BudgetTooSmallIsAnError) {
  BitWriter w;
  PutHeader(w, 1, 1, 1, 1, 1);
  PutGrid(w, 1, 2, {5, 17, 30});
  for (int e = 0; e < 3; ++e) w.Set(ps_test::kIid, e > 0, std::vector<int>(20, e));
  for (int e = 0; e < 3; ++e) w.Set(ps_test::kIcc, 0, std::vector<int>(20, 0));
  BitWriter ext;
  ext.Put(1, 1);
  for (int e = 0; e < 3; ++e) {
    ext.Set(ps_test::kIpd, 0, std::vector<int>(11, 1))
        .Set(ps_test::kOpd, 0, std::vector<int>(11, 2));
  }
  ps_test::PutPhaseExtension(w, ext);
  const int64_t size = w.bits();
  BitWriter padded;
  padded.Append(w);
  for (int i = 0; i < 64; ++i) padded.Put(0xFF, 8);

  auto ps = ps_test::MakeState();
  BitWriter first;  // earlier parameters that must survive
  PutHeader(first, 1, 1, 1, 1, 0);
  PutGrid(first, 0, 1);
  first.Set(ps_test::kIid, 0, std::vector<int>(20, 0))
      .Set(ps_test::kIcc, 0, std::vector<int>(20, 0));
  ASSERT_EQ(Parse(*ps, first), 0);
  std::vector<uint8_t> before(sizeof(PSDecState));
  std::memcpy(before.data(), ps.get(), sizeof(PSDecState));
  for (int64_t budget : {int64_t{0}, int64_t{1}, int64_t{9}, size / 2, size - 9, size - 1}) {
    SCOPED_TRACE(budget);
    int64_t consumed = 0;
    EXPECT_EQ(Parse(*ps, padded, budget, &consumed), kPsError);
    EXPECT_LE(consumed, budget);
    EXPECT_EQ(std::memcmp(before.data(), ps.get(), sizeof(PSDecState)), 0);
  }
  int64_t consumed = 0;
  EXPECT_EQ(Parse(*ps, padded, size, &consumed), 0);
  EXPECT_EQ(consumed, size);
  EXPECT_EQ(ps->num_env, 4);
}

// Whatever the deltas (the largest codes, either direction, any mode
// sequence, garbage), the indices stay in the table ranges: IID within
// +-7 (+-15 fine), ICC and the phases within 0..7.
TEST(PsParse, IndicesStayInTheirRanges) {
  std::mt19937 rng(2024);
  auto ps = ps_test::MakeState();
  const int kBands[6] = {10, 20, 34, 10, 20, 34};
  const int kPhase[6] = {5, 11, 17, 5, 11, 17};
  auto check = [&](const char* what) {
    const int iid_max = ps->fineIid ? 15 : 7;
    const int bands = ps->numBandsLayout == kPsLayout34 ? 34 : 20;
    const int pbands = ps->numBandsLayout == kPsLayout34 ? 17 : 11;
    ASSERT_GE(ps->num_env, 1) << what;
    ASSERT_LE(ps->num_env, kPsMaxEnvelopes) << what;
    for (int e = 0; e < ps->num_env; ++e) {
      for (int b = 0; b < bands; ++b) {
        ASSERT_LE(std::abs(ps->iidIndex[e][b]), iid_max) << what;
        ASSERT_GE(ps->iccIndex[e][b], 0) << what;
        ASSERT_LE(ps->iccIndex[e][b], 7) << what;
      }
      for (int b = 0; b < pbands; ++b) {
        ASSERT_GE(ps->ipdIndex[e][b], 0) << what;
        ASSERT_LE(ps->ipdIndex[e][b], 7) << what;
        ASSERT_GE(ps->opdIndex[e][b], 0) << what;
        ASSERT_LE(ps->opdIndex[e][b], 7) << what;
      }
    }
  };
  for (int frame = 0; frame < 400; ++frame) {
    const int iid_mode = static_cast<int>(rng() % 6), icc_mode = static_cast<int>(rng() % 6);
    const int env_idx = static_cast<int>(rng() % 4);
    const int num_env = env_idx == 3 ? 4 : env_idx;  // fixed grid
    const bool extreme = frame % 3 != 0;             // only the largest deltas
    BitWriter w;
    PutHeader(w, 1, iid_mode, 1, icc_mode, 1);
    PutGrid(w, 0, env_idx);
    auto deltas = [&](int lav, int n) {
      std::vector<int> d(static_cast<size_t>(n));
      for (int& x : d) {
        x = extreme ? ((rng() & 1) ? lav : -lav) : static_cast<int>(rng() % (2 * lav + 1)) - lav;
      }
      return d;
    };
    const int iid_set = iid_mode >= 3 ? ps_test::kIidFine : ps_test::kIid;
    const int iid_lav = iid_mode >= 3 ? 30 : 14;
    for (int e = 0; e < num_env; ++e) {
      w.Set(iid_set, static_cast<int>(rng() & 1), deltas(iid_lav, kBands[iid_mode]));
    }
    for (int e = 0; e < num_env; ++e) {
      w.Set(ps_test::kIcc, static_cast<int>(rng() & 1), deltas(7, kBands[icc_mode]));
    }
    BitWriter ext;
    ext.Put(1, 1);
    for (int e = 0; e < num_env; ++e) {
      std::vector<int> ipd(static_cast<size_t>(kPhase[iid_mode])), opd(ipd.size());
      for (int& x : ipd) x = static_cast<int>(rng() % 8);
      for (int& x : opd) x = static_cast<int>(rng() % 8);
      ext.Set(ps_test::kIpd, static_cast<int>(rng() & 1), ipd);
      ext.Set(ps_test::kOpd, static_cast<int>(rng() & 1), opd);
    }
    ps_test::PutPhaseExtension(w, ext);
    ps->ps_mode = frame % 4 == 3 ? 111 : 411;
    ASSERT_EQ(Parse(*ps, w), 0) << "frame " << frame;
    check("coded");

    // Garbage in between: may fail, never leaves the ranges.
    BitWriter junk;
    for (int i = 0; i < 48; ++i) junk.Put(rng() & 0xFF, 8);
    Parse(*ps, junk, static_cast<int64_t>(rng() % 384));
    check("garbage");
  }
}

}  // namespace
