// Stereo synthesis on QMF-domain input: the mono pass-through before any
// parameters, the stereo image of simple parameter sets (equal channels,
// level differences as coded), and layout switches with hostile parameter
// sequences that must stay finite and bounded.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "ps/ps_internal.h"
#include "tests/ps/ps_test_util.h"

namespace {

using ps_test::BitWriter;
using ps_test::PutGrid;
using ps_test::PutHeader;

// A continuous QMF-domain signal (64 complex bands per slot) cut into
// frames the way the SBR process hands them over: slots 0..31 of the frame
// and the next frame's first six slots as look-ahead.
class QmfSignal {
 public:
  QmfSignal(uint32_t seed, float amplitude, int frames)
      : slots_(static_cast<size_t>(frames) * kPsSlots + kPsLookAhead) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-amplitude, amplitude);
    for (auto& s : slots_) {
      s.resize(128);
      for (float& v : s) v = u(rng);
    }
  }
  // Copies frame `f` into the synthesis buffers.
  void Load(int f) {
    for (int n = 0; n < kPsSlots + kPsLookAhead; ++n) left_[n] = slots_[f * kPsSlots + n];
    for (int n = 0; n < kPsSlots + kPsLookAhead; ++n) lp_[n] = left_[n].data();
    for (int n = 0; n < kPsSlots; ++n) {
      right_[n].assign(128, 12345.0f);  // must be overwritten
      rp_[n] = right_[n].data();
    }
  }
  const std::vector<float>& In(int f, int n) const { return slots_[f * kPsSlots + n]; }
  float* const* L() { return lp_; }
  float* const* R() { return rp_; }
  const std::vector<float>& Left(int n) const { return left_[n]; }
  const std::vector<float>& Right(int n) const { return right_[n]; }

 private:
  std::vector<std::vector<float>> slots_;
  std::vector<float> left_[kPsSlots + kPsLookAhead], right_[kPsSlots];
  float* lp_[kPsSlots + kPsLookAhead];
  float* rp_[kPsSlots];
};

// One envelope with every IID and ICC index equal (20-band layout, coarse
// or fine IID, first or second mixing procedure).
BitWriter ConstantFrame(int iid, int icc, bool fine, bool second_procedure) {
  BitWriter w;
  PutHeader(w, 1, fine ? 4 : 1, 1, second_procedure ? 4 : 1, 0);
  PutGrid(w, 0, 1);
  std::vector<int> iid_d(20, 0), icc_d(20, 0);
  iid_d[0] = iid;
  icc_d[0] = icc;
  w.Set(fine ? ps_test::kIidFine : ps_test::kIid, 0, iid_d).Set(ps_test::kIcc, 0, icc_d);
  return w;
}

// Before any parameters (after PsInit, and after PsReset of a state that
// had some) both channels are the mono input; bands from top_band on are
// silent in both, except in the frame after the range was lowered (an SBR
// reset), which keeps the bands up to the previous frame's top: the first
// slots of that frame still carry the old high band.
TEST(PsSynthesis, ResetGivesTheMonoSignalOnBothChannels) {
  auto ps = ps_test::MakeState();
  QmfSignal sig(1, 1000.0f, 6);
  for (int round = 0; round < 2; ++round) {
    if (round == 1) {
      // Parameters that would pan hard, then a reset.
      ASSERT_EQ(ps_test::Parse(*ps, ConstantFrame(-7, 5, false, false)), 0);
      sig.Load(0);
      PsSynthesize(*ps, sig.L(), sig.R(), 64);
      PsReset(*ps);
      ps->ps_mode = 411;
    }
    for (int f = 1; f < 4; ++f) {
      const int top = f == 1 ? 64 : 37, reach = f == 2 ? 64 : top;
      sig.Load(f);
      PsSynthesize(*ps, sig.L(), sig.R(), top);
      for (int n = 0; n < kPsSlots; ++n) {
        for (int i = 0; i < 128; ++i) {
          const float want = i < 2 * reach ? sig.In(f, n)[i] : 0.0f;
          ASSERT_EQ(sig.Left(n)[i], want) << "round " << round << " slot " << n << " at " << i;
          ASSERT_EQ(sig.Right(n)[i], want) << "round " << round << " slot " << n << " at " << i;
        }
      }
    }
  }
}

// Fully correlated parameters (ICC index 0): both channels are the mono
// signal scaled by the two gains of the coded level difference, the same
// in every band, for both mixing procedures and both IID resolutions.
// From the second frame on (the first moves from the reset matrices).
TEST(PsSynthesis, CorrelatedChannelsCarryTheCodedLevelDifference) {
  static constexpr double kCoarseDb[15] = {-25, -18, -14, -10, -7, -4, -2, 0,
                                           2,   4,   7,   10,  14, 18, 25};
  static constexpr double kFineDb[31] = {-50, -45, -40, -35, -30, -25, -22, -19, -16, -13, -10,
                                         -8,  -6,  -4,  -2,  0,   2,   4,   6,   8,   10,  13,
                                         16,  19,  22,  25,  30,  35,  40,  45,  50};
  struct Case {
    int iid;
    bool fine, second;
  };
  const Case cases[] = {{0, false, false}, {0, false, true},   {3, false, false}, {-5, false, true},
                        {7, false, false}, {-11, true, false}, {15, true, true},  {6, true, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "iid " << c.iid << (c.fine ? " fine" : "")
                                      << (c.second ? " second procedure" : ""));
    const double db = c.fine ? kFineDb[c.iid + 15] : kCoarseDb[c.iid + 7];
    auto ps = ps_test::MakeState();
    QmfSignal sig(2, 100.0f, 4);
    for (int f = 0; f < 4; ++f) {
      ASSERT_EQ(ps_test::Parse(*ps, ConstantFrame(c.iid, 0, c.fine, c.second)), 0);
      sig.Load(f);
      PsSynthesize(*ps, sig.L(), sig.R(), 64);
      if (f == 0) continue;
      double el = 0, er = 0, em = 0, cross = 0;
      for (int n = 0; n < kPsSlots; ++n) {
        for (int i = 0; i < 128; ++i) {
          const double m = sig.In(f, n)[i], l = sig.Left(n)[i], r = sig.Right(n)[i];
          el += l * l;
          er += r * r;
          em += m * m;
          cross += l * m;
        }
      }
      // Level difference as coded (either sign convention), total power
      // twice the mono power, and the left channel in phase with the input.
      EXPECT_NEAR(std::abs(10 * std::log10(el / er)), std::abs(db), 0.01) << "frame " << f;
      EXPECT_NEAR((el + er) / em, 2.0, 0.01) << "frame " << f;
      EXPECT_NEAR(cross / std::sqrt(el * em), 1.0, 1e-4) << "frame " << f;
    }
  }
}

// A positive and a negative index of the same size swap the channels.
TEST(PsSynthesis, OppositeLevelDifferencesSwapTheChannels) {
  auto a = ps_test::MakeState(), b = ps_test::MakeState();
  QmfSignal sa(3, 100.0f, 3), sb(3, 100.0f, 3);
  for (int f = 0; f < 3; ++f) {
    ASSERT_EQ(ps_test::Parse(*a, ConstantFrame(4, 0, false, false)), 0);
    ASSERT_EQ(ps_test::Parse(*b, ConstantFrame(-4, 0, false, false)), 0);
    sa.Load(f);
    sb.Load(f);
    PsSynthesize(*a, sa.L(), sa.R(), 64);
    PsSynthesize(*b, sb.L(), sb.R(), 64);
    if (f == 0) continue;
    for (int n = 0; n < kPsSlots; ++n) {
      for (int i = 0; i < 128; ++i) {
        ASSERT_NEAR(sa.Left(n)[i], sb.Right(n)[i], 1e-3) << "frame " << f;
        ASSERT_NEAR(sa.Right(n)[i], sb.Left(n)[i], 1e-3) << "frame " << f;
      }
    }
  }
}

// Random parameter sets whose layout changes between 20 and 34 bands, in
// both modes, with reserved modes, repeated ps_data() in one frame and
// frames without data in between: every output value finite, the output
// power bounded by the input's.
TEST(PsSynthesis, LayoutSwitchesStayFiniteAndBounded) {
  std::mt19937 rng(77);
  const int kBands[6] = {10, 20, 34, 10, 20, 34};
  const int kPhase[6] = {5, 11, 17, 5, 11, 17};
  constexpr int kFrames = 120;
  constexpr float kAmplitude = 30000.0f;
  for (int mode : {411, 111}) {
    SCOPED_TRACE(mode);
    auto ps = ps_test::MakeState(mode);
    QmfSignal sig(static_cast<uint32_t>(mode), kAmplitude, kFrames);
    double in_energy = 0, out_energy = 0;
    float peak = 0.0f;
    int top_prev = 0;
    for (int f = 0; f < kFrames; ++f) {
      const int parses = f % 7 == 3 ? 0 : (f % 5 == 0 ? 2 : 1);
      for (int p = 0; p < parses; ++p) {
        // Layout from the frame number: 34 bands on odd frames.
        const bool wide = (f + p) % 2 == 1;
        const int iid_mode = (wide ? 2 : 1) + ((rng() & 1) ? 3 : 0);
        const int icc_mode = static_cast<int>(rng() % 6);
        const bool reserved = f % 11 == 10 && p == 0;
        BitWriter w;
        PutHeader(w, 1, reserved ? 6 : iid_mode, 1, icc_mode, 1);
        const int env_idx = static_cast<int>(rng() % 4);
        std::vector<int> borders;
        if (rng() & 1) {
          int at = 0;
          for (int e = 0; e <= env_idx; ++e)
            borders.push_back(at = std::min(32, at + 1 + static_cast<int>(rng() % 12)));
          PutGrid(w, 1, env_idx, borders);
        } else {
          PutGrid(w, 0, env_idx);
        }
        const int num_env = borders.empty() ? (env_idx == 3 ? 4 : env_idx) : env_idx + 1;
        const int lav = iid_mode >= 3 ? 30 : 14;
        for (int e = 0; e < num_env; ++e) {
          std::vector<int> d(static_cast<size_t>(kBands[iid_mode]));
          for (int& x : d) x = static_cast<int>(rng() % (2 * lav + 1)) - lav;
          w.Set(iid_mode >= 3 ? ps_test::kIidFine : ps_test::kIid, static_cast<int>(rng() & 1), d);
        }
        for (int e = 0; e < num_env; ++e) {
          std::vector<int> d(static_cast<size_t>(kBands[icc_mode]));
          for (int& x : d) x = static_cast<int>(rng() % 15) - 7;
          w.Set(ps_test::kIcc, static_cast<int>(rng() & 1), d);
        }
        BitWriter ext;
        ext.Put(1, 1);
        for (int e = 0; e < num_env; ++e) {
          std::vector<int> d(static_cast<size_t>(kPhase[iid_mode]));
          for (int& x : d) x = static_cast<int>(rng() % 8);
          ext.Set(ps_test::kIpd, 0, d).Set(ps_test::kOpd, 1, d);
        }
        ps_test::PutPhaseExtension(w, ext);
        const int32_t rc = ps_test::Parse(*ps, w);
        if (!reserved) {
          ASSERT_EQ(rc, 0) << "frame " << f;
        }
        if (rc == 0 && mode == 411) {
          EXPECT_EQ(ps->numBandsLayout, wide || icc_mode % 3 == 2 ? kPsLayout34 : kPsLayout20);
        }
      }
      sig.Load(f);
      const int top = 16 + static_cast<int>(rng() % 49), reach = std::max(top, top_prev);
      top_prev = top;
      PsSynthesize(*ps, sig.L(), sig.R(), top);
      for (int n = 0; n < kPsSlots; ++n) {
        for (int i = 0; i < 128; ++i) {
          const float l = sig.Left(n)[i], r = sig.Right(n)[i];
          ASSERT_TRUE(std::isfinite(l) && std::isfinite(r)) << "frame " << f;
          if (i >= 2 * reach) {
            ASSERT_EQ(l, 0.0f);
            ASSERT_EQ(r, 0.0f);
          }
          const double m = sig.In(f, n)[i];
          in_energy += m * m;
          out_energy += double{l} * l + double{r} * r;
          peak = std::max(peak, std::max(std::abs(l), std::abs(r)));
        }
      }
      // The decorrelator lines of the bands above the reach are silent, so
      // that a band the range takes in again restarts from silence.
      const PsSynthesisState& st = ps->synthesis;
      const PsLayoutTables& lay = kPsLayout[PsLayoutIndex(st.layoutPrev)];
      const int silent =
          reach <= lay.split_qmf ? lay.hybrid_k : std::min(reach + lay.qmf_offset, lay.k_bands);
      for (int k = silent; k < lay.k_bands; ++k) {
        for (const auto& v : st.delay[k]) ASSERT_TRUE(v[0] == 0.0f && v[1] == 0.0f) << k;
        if (k >= lay.allpass_end_k) continue;
        for (const auto& link : st.apDelay[k]) {
          for (const auto& v : link) ASSERT_TRUE(v[0] == 0.0f && v[1] == 0.0f) << k;
        }
      }
    }
    std::printf("ps_mode %d: output/input power %.3f, peak %.2f x input amplitude\n", mode,
                out_energy / in_energy, peak / kAmplitude);
    // The matrices carry at most twice the power of the mono and
    // decorrelated signals together (c1^2 + c2^2 = 2), the decorrelator
    // passes power unchanged or attenuated.
    EXPECT_LT(out_energy, 3.0 * in_energy);
    EXPECT_LT(peak, 8.0f * kAmplitude);
  }
}

}  // namespace
