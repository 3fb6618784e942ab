// The SBR process on hand-built payloads: the levels a coupled pair gives
// left and right, the bypass an error latches until the next header (with
// the delay of the active path), and, through the frame decoder, frames
// without or with damaged SBR data and an LFE in a 5.1 frame.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <memory>
#include <vector>

#include "tests/sbr/sbr_payload_builder.h"

namespace {

using namespace sbr_test;

double Db(double ratio) {
  return 10.0 * std::log10(ratio);
}

// A coupled pair with level 10 (3 dB steps) in every band, balance `raw`
// (B = 2 raw) and a negligible noise floor, centred.
BitWriter CoupledFrame(const Header& h, const SBRDecState& t, int raw) {
  Grid two;
  two.fixfix_log2 = 1;
  BitWriter w = Begin(&h);
  w.Put(0, 1).Put(1, 1);
  PutGrid(w, two);
  w.Put(0, 4).Put(0, 4);
  for (int i = 0; i < t.N_Q; ++i) w.Put(0, 2);
  for (int l = 0; l < 2; ++l)
    PutFreqLevels(w, std::vector<int>(t.N_high, 10), 6, kSbrHuffEnv30Freq);
  for (int l = 0; l < 2; ++l) PutFreqLevels(w, std::vector<int>(t.N_Q, 30), 5, kSbrHuffEnv30Freq);
  for (int l = 0; l < 2; ++l)
    PutFreqLevels(w, std::vector<int>(t.N_high, raw), 5, kSbrHuffBal30Freq);
  for (int l = 0; l < 2; ++l) PutFreqLevels(w, std::vector<int>(t.N_Q, 6), 5, kSbrHuffBal30Freq);
  w.Put(0, 3);
  return w;
}

// A payload without header whose VARVAR grid asks for seven envelopes: the
// parser refuses it (at most five).
BitWriter SevenEnvelopePayload() {
  Grid seven;
  seven.frame_class = VARVAR;
  seven.rel_0 = seven.rel_1 = {2, 2, 2};
  seven.res.assign(7, 1);
  BitWriter bad = Begin(nullptr);
  bad.Put(0, 1);
  PutGrid(bad, seven);
  bad.Put(0, 32);
  return bad;
}

// The same core signal in both channels of a coupled pair: the high band's
// energy splits as the balance says, left / right = 2^(B - 12) (3 dB steps):
// -18.1 dB for B = 6, 0 dB for 12, +18.1 dB for 18.
TEST(SbrProcess, CoupledPairPansTheHighBand) {
  const Header h;
  const auto t = Tables(h);
  const int lo = 16 * (t->kx + 1), hi = 16 * (t->kx + t->M - 1);
  for (int raw : {3, 6, 9}) {
    Decoder d;
    d.slot(0).elementType = 1;
    uint32_t seed = 7;
    double e[2] = {0, 0};
    for (int frame = 0; frame < 5; ++frame) {
      std::vector<float> core(1024);
      for (float& v : core) {
        seed = seed * 1103515245u + 12345u;
        v = static_cast<float>(static_cast<int32_t>(seed >> 16 & 0x7FFF) - 16384) * 0.1f;
      }
      ASSERT_EQ(d.Feed(0, CoupledFrame(h, *t, raw)), Decoder::Bytes(CoupledFrame(h, *t, raw)));
      for (int ch = 0; ch < 2; ++ch) {
        std::vector<float> time = core;
        d.Process(0, ch, time);
        if (frame >= 2) e[ch] += BinEnergy(time.data(), 2048, lo, hi);
      }
    }
    const double want = Db(std::exp2(2.0 * raw - 12.0));
    EXPECT_NEAR(Db(e[0] / e[1]), want, 0.5) << "balance " << 2 * raw;
    EXPECT_GT(e[0] + e[1], 0.0);
  }
}

// A damaged payload latches the slot's error state: from that frame on the
// process bypasses — the whole core band (including what lies above the
// last header's crossover) with the delay of the active path, equal to a
// slot that never had a header — and payloads without a header are
// skipped; the next header ends it.  While active, the bands below kx are
// the same core signal with the same delay.
TEST(SbrProcess, ErrorLatchesTheBypassUntilTheNextHeader) {
  const Header h;
  const auto t = Tables(h);
  const int kx = t->kx;
  ASSERT_LT(kx, 28);
  Decoder d, ref;
  d.slot(0).elementType = ref.slot(0).elementType = 0;
  // Output bins (of 2048) 40 (band 2) and 488 (band 30, a core band above kx).
  auto core = [](int frame) {
    std::vector<float> x(1024);
    for (int n = 0; n < 1024; ++n) {
      const double i = 1024.0 * frame + n;
      x[n] = static_cast<float>(2000.0 * std::sin(2 * M_PI * 40 * i / 1024) +
                                1000.0 * std::sin(2 * M_PI * 488 * i / 1024 + 0.3));
    }
    return x;
  };
  BitWriter good_header = Begin(&h);
  PutSce(good_header, *t, Grid{}, 28, 10);
  BitWriter good = Begin(nullptr);
  PutSce(good, *t, Grid{}, 28, 10);
  const BitWriter bad = SevenEnvelopePayload();

  const BitWriter* payloads[6] = {&good_header, &bad, &good, &good, &good_header, &good};
  const bool active[6] = {true, false, false, false, true, true};
  for (int frame = 0; frame < 6; ++frame) {
    const int32_t rc = d.Feed(0, *payloads[frame]);
    EXPECT_EQ(rc, frame == 1 ? kSbrError : Decoder::Bytes(*payloads[frame])) << frame;
    EXPECT_EQ(d.slot(0).errorState, active[frame] ? 0 : kSbrError) << frame;
    std::vector<float> out = core(frame), bypass = core(frame);
    d.Process(0, 0, out);
    ref.Process(0, 0, bypass);
    std::vector<float> diff(2048);
    for (int n = 0; n < 2048; ++n) diff[n] = out[n] - bypass[n];
    const double low = BinEnergy(bypass.data(), 2048, 1, 16 * (kx - 1));
    const double low_diff = BinEnergy(diff.data(), 2048, 1, 16 * (kx - 1));
    EXPECT_LT(Db(low_diff / low), -40.0) << "frame " << frame;
    // Above kx (band 30 and its neighbours left out): the high band while
    // active, next to nothing in the bypass.
    const double high = BinEnergy(out.data(), 2048, 16 * (kx + 1), 16 * 29);
    const double high_bypass = BinEnergy(bypass.data(), 2048, 16 * (kx + 1), 16 * 29);
    if (frame == 2 || frame == 3) {
      double worst = 0;
      for (int n = 0; n < 2048; ++n) worst = std::max(worst, double(std::fabs(diff[n])));
      EXPECT_LT(worst, 0.5) << "frame " << frame;
    }
    if (active[frame] && frame > 0) {  // frame 0 starts with the banks' transient
      EXPECT_GT(Db(high / high_bypass), 30.0) << "frame " << frame;
    }
  }
}

// A frame's envelopes may reach into the next frame (the last border beyond
// slot 16) and start late (the first border beyond 0), the slots between
// coming from the high band kept from the frame before.  After a bypassed
// frame there is none: a loud frame, a damaged one, then a quiet frame
// whose envelope starts at slot 6 give the same output as a slot that
// never had SBR before the quiet frame.
TEST(SbrProcess, HighBandHistoryDoesNotOutliveTheBypass) {
  const Header h;
  const auto t = Tables(h);
  Grid reaching;  // one envelope, slots 0..36
  reaching.frame_class = FIXVAR;
  reaching.var_bord_1 = 2;
  Grid late;  // one envelope, slots 6..32
  late.frame_class = VARFIX;
  late.var_bord_0 = 3;
  BitWriter loud = Begin(&h), quiet = Begin(&h), bad = Begin(nullptr);
  PutSce(loud, *t, reaching, 30, 30);
  PutSce(quiet, *t, late, 10, 30);
  Grid seven;
  seven.frame_class = VARVAR;
  seven.rel_0 = seven.rel_1 = {2, 2, 2};
  seven.res.assign(7, 1);
  bad.Put(0, 1);
  PutGrid(bad, seven);
  bad.Put(0, 32);

  Decoder a, ref;
  a.slot(0).elementType = ref.slot(0).elementType = 0;
  uint32_t seed = 3;
  std::vector<float> out, expected;
  for (int frame = 0; frame < 3; ++frame) {
    std::vector<float> core(1024);
    for (float& v : core) {
      seed = seed * 1103515245u + 12345u;
      v = static_cast<float>(static_cast<int32_t>(seed >> 16 & 0x7FFF) - 16384) * 0.1f;
    }
    if (frame == 0) {
      EXPECT_EQ(a.Feed(0, loud), Decoder::Bytes(loud));
    } else if (frame == 1) {
      EXPECT_EQ(a.Feed(0, bad), kSbrError);
    } else {
      EXPECT_EQ(a.Feed(0, quiet), Decoder::Bytes(quiet));
      EXPECT_EQ(ref.Feed(0, quiet), Decoder::Bytes(quiet));
    }
    out = expected = core;
    a.Process(0, 0, out);
    ref.Process(0, 0, expected);
  }
  double worst = 0, level = 0;
  for (int n = 0; n < 2048; ++n) {
    worst = std::max(worst, double(std::fabs(out[n] - expected[n])));
    level = std::max(level, double(std::fabs(expected[n])));
  }
  EXPECT_LT(worst, 1e-3 * level) << "level " << level;
}

// ---- through the frame decoder ---------------------------------------------------

const frame_test::Quad kQuad = {60, -45, 30, 20};

BitWriter MonoUnit(const BitWriter* payload) {
  BitWriter w;
  frame_test::PutSce(w, 0, kQuad);
  if (payload) PutFill(w, *payload);
  w.Put(ID_END, 3);
  return w;
}

// A core frame the decoder must refuse: max_sfb beyond the bands of a long
// window.
BitWriter BrokenUnit() {
  BitWriter w;
  w.Put(ID_SCE, 3).Put(0, 4).Put(frame_test::kGain, 8);
  w.Put(0, 1).Put(ONLY_LONG_SEQUENCE, 2).Put(0, 1).Put(63, 6).Put(0, 1);
  w.Put(0, 32).Put(ID_END, 3);
  return w;
}

// Energy of the second half of a frame (after the banks' memory of the one
// before) in the SBR range, and of the whole frame below kx.
double HighHalf(const std::vector<int16_t>& x, int kx, int m) {
  std::vector<float> v(x.begin() + 1024, x.begin() + 2048);
  return BinEnergy(v.data(), 1024, 8 * (kx + 1), 8 * (kx + m - 1));
}
double Low(const std::vector<float>& x, int kx) {
  return BinEnergy(x.data(), 2048, 0, 16 * (kx - 1));
}

// An SBR stream with a frame without SBR data, one with a damaged payload
// and one whose core is damaged, against the continuous decode: every frame
// keeps 2048 samples at 44.1 kHz; the frames without (valid) SBR data keep
// the core band with the SBR path's delay and no high band; the next header
// brings SBR back.
TEST(SbrFrames, FramesWithoutValidSbrDataKeepRateAndDelay) {
  const Header h;
  const auto t = Tables(h);
  BitWriter payload = Begin(&h);
  PutSce(payload, *t, Grid{}, 24, 2);
  const BitWriter bad = SevenEnvelopePayload();

  constexpr int kFrames = 8;
  std::vector<BitWriter> steady, broken;
  for (int i = 0; i < kFrames; ++i) {
    steady.push_back(MonoUnit(&payload));
    if (i == 2) {
      broken.push_back(MonoUnit(nullptr));
    } else if (i == 4) {
      broken.push_back(MonoUnit(&bad));
    } else if (i == 6) {
      broken.push_back(BrokenUnit());
    } else {
      broken.push_back(MonoUnit(&payload));
    }
  }
  const Decoded a = DecodeUnits(1, steady), b = DecodeUnits(1, broken);
  ASSERT_EQ(a.channels, 1);
  ASSERT_EQ(b.channels, 1);
  EXPECT_EQ(a.rate, 44100);
  EXPECT_EQ(b.rate, 44100);
  for (int i = 0; i < kFrames; ++i) {
    EXPECT_EQ(a.status[i], UMC::StatusOk) << i;
    EXPECT_EQ(b.status[i] == UMC::StatusOk, i != 6) << i;
    ASSERT_EQ(a.frames[i].size(), 2048u) << i;
    ASSERT_EQ(b.frames[i].size(), 2048u) << i;
  }
  EXPECT_EQ(a.frames[1], b.frames[1]);
  for (int i : {2, 3, 4, 5}) {
    std::vector<float> diff(2048), sig(2048);
    for (int n = 0; n < 2048; ++n) {
      sig[n] = a.frames[i][n];
      diff[n] = static_cast<float>(a.frames[i][n] - b.frames[i][n]);
    }
    EXPECT_LT(Db(Low(diff, t->kx) / Low(sig, t->kx)), -30.0) << "frame " << i;
    const double ha = HighHalf(a.frames[i], t->kx, t->M), hb = HighHalf(b.frames[i], t->kx, t->M);
    if (i == 2 || i == 4) {
      EXPECT_LT(Db(hb / ha), -30.0) << "frame " << i << " keeps a high band";
    } else {
      EXPECT_NEAR(Db(hb / ha), 0.0, 1.0) << "frame " << i << ": SBR did not resume";
    }
  }
}

// 5.1 with SBR (channel configuration 6): the SCE's and CPEs' payloads in
// fill elements, either each after its element or all after the LFE.  The
// LFE has no SBR data of its own: it is passed through the bypass (same
// rate, same delay as the SBR channels) and both layouts decode alike.  A
// payload after the LFE that no element is left for is skipped.
TEST(SbrFrames, LfeIsPassedThroughInAMultichannelFrame) {
  const Header h;
  const auto t = Tables(h);
  BitWriter sce = Begin(&h), cpe = Begin(&h);
  PutSce(sce, *t, Grid{}, 24, 2);
  PutCpe(cpe, *t, Grid{}, 24, 2);
  auto unit = [&](int layout) {
    BitWriter w;
    frame_test::PutSce(w, 0, kQuad);
    if (layout != 1) PutFill(w, sce);
    frame_test::PutCpe(w, 0, kQuad, kQuad);
    if (layout != 1) PutFill(w, cpe);
    frame_test::PutCpe(w, 1, kQuad, kQuad);
    if (layout != 1) PutFill(w, cpe);
    w.Put(ID_LFE, 3).Put(0, 4);
    frame_test::PutIcs(w, kQuad);
    if (layout == 1) PutFill(w, sce), PutFill(w, cpe), PutFill(w, cpe);
    if (layout == 2) PutFill(w, sce);  // one payload too many
    w.Put(ID_END, 3);
    return w;
  };
  Decoded d[3];
  for (int layout = 0; layout < 3; ++layout) {
    d[layout] = DecodeUnits(6, std::vector<BitWriter>(4, unit(layout)));
    ASSERT_EQ(d[layout].channels, 6) << layout;
    EXPECT_EQ(d[layout].rate, 44100) << layout;
    for (size_t i = 0; i < d[layout].frames.size(); ++i) {
      EXPECT_EQ(d[layout].status[i], UMC::StatusOk) << layout;
      ASSERT_EQ(d[layout].frames[i].size(), 6u * 2048) << layout;
    }
  }
  EXPECT_EQ(d[1].frames, d[0].frames);
  EXPECT_EQ(d[2].frames, d[0].frames);
  // Channel order: C, L, R, Ls, Rs, LFE.  Centre and LFE carry the same
  // core signal: equal below kx, the LFE without a high band.
  const std::vector<int16_t>& f = d[0].frames[3];
  std::vector<float> centre(2048), lfe(2048), diff(2048);
  for (int n = 0; n < 2048; ++n) {
    centre[n] = f[6 * n];
    lfe[n] = f[6 * n + 5];
    diff[n] = centre[n] - lfe[n];
  }
  EXPECT_LT(Db(Low(diff, t->kx) / Low(centre, t->kx)), -30.0);
  const double hc = BinEnergy(centre.data(), 2048, 16 * (t->kx + 1), 16 * (t->kx + t->M - 1));
  const double hl = BinEnergy(lfe.data(), 2048, 16 * (t->kx + 1), 16 * (t->kx + t->M - 1));
  EXPECT_LT(Db(hl / hc), -30.0);
}

// A steady tone 50 dB above the rest of its source subband makes the
// predictor's covariance matrix singular but for the 1e-6 relaxation: the
// coefficients must still come out as exact arithmetic gives them (long
// double here).  Single-precision covariance sums moved them by about 1e-3,
// which the inverse-filtered copy of the tone turned into 2..6 LSB at low
// core rates (tests/data/sbr_synth/sbr_stereo_12000_tone).
TEST(SbrHfGeneration, PredictorOfASteadyToneKeepsExactPrecision) {
  using C = std::complex<long double>;
  auto ch = std::make_unique<SbrChannel>();
  constexpr int k = 3;
  uint32_t seed = 12345;
  auto noise = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return (static_cast<int32_t>(seed >> 8) - (1 << 23)) / static_cast<float>(1 << 23);
  };
  C x[kSbrMatrixSlots];
  for (int n = 0; n < kSbrMatrixSlots; ++n) {
    const float re = 2e5f * std::cos(2.2f * n) + 600.0f * noise();
    const float im = 2e5f * std::sin(2.2f * n) + 600.0f * noise();
    ch->Xlow[n][2 * k] = re;
    ch->Xlow[n][2 * k + 1] = im;
    x[n] = C(re, im);
  }
  auto phi = [&](int i, int j) {
    C sum = 0;
    for (int n = 0; n < 38; ++n) sum += x[n + 2 - i] * std::conj(x[n + 2 - j]);
    return sum;
  };
  const C p01 = phi(0, 1), p02 = phi(0, 2), p12 = phi(1, 2);
  const long double p11 = phi(1, 1).real(), p22 = phi(2, 2).real();
  const C ref1 = (p01 * p12 - p02 * p11) / (p22 * p11 - std::norm(p12) / (1 + 1e-6L));
  const C ref0 = -(p01 + ref1 * std::conj(p12)) / p11;
  float a0[2], a1[2];
  SbrPredictor(*ch, k, 38, a0, a1);
  EXPECT_NEAR(a0[0], static_cast<double>(ref0.real()), 1e-5);
  EXPECT_NEAR(a0[1], static_cast<double>(ref0.imag()), 1e-5);
  EXPECT_NEAR(a1[0], static_cast<double>(ref1.real()), 1e-5);
  EXPECT_NEAR(a1[1], static_cast<double>(ref1.imag()), 1e-5);
}

}  // namespace
