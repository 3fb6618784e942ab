// QMF banks: the fast kernels against the defining equations (evaluated in
// double precision), vectorised kernels against the generic ones, analysis
// followed by synthesis (delay and gain), and the context checks.
#include "sbr/sbr_qmf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "common/kernels.h"
#include "dsp/dsp_core.h"
#include "sbr/sbr_decoder.h"
#include "sbr/sbr_qmf_impl.h"
#include "sbr/sbr_tables.h"

namespace {

using Cd = std::complex<double>;

std::vector<float> Noise(size_t n, uint32_t seed, float scale = 1000.0f) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(-scale, scale);
  std::vector<float> v(n);
  for (float& x : v) x = d(rng);
  return v;
}

// Analysis by the equations: x is the 320 newest samples (x[0] newest).
// Complex: W(k) = 2 sum u(n) exp(i pi (k + .5)(2n - .5) / 64); real:
// 2 sum u(n) cos(pi (k + .5)(2n - 96) / 64).
void DirectAnalysis(const std::vector<double>& x, bool real, double* out) {
  double u[64];
  for (int n = 0; n < 64; ++n) {
    u[n] = 0;
    for (int j = 0; j < 5; ++j) u[n] += x[n + 64 * j] * kSbrQmfWindow[2 * (n + 64 * j)];
  }
  for (int k = 0; k < 32; ++k) {
    Cd w = 0;
    for (int n = 0; n < 64; ++n) {
      const double a =
          real ? M_PI * (k + 0.5) * (2 * n - 96) / 64 : M_PI * (k + 0.5) * (2 * n - 0.5) / 64;
      w += u[n] * 2.0 * std::polar(1.0, a);
    }
    if (real) {
      out[k] = w.real();
    } else {
      out[2 * k] = w.real();
      out[2 * k + 1] = w.imag();
    }
  }
}

// v(n) of one slot by the equations (complex: gain 1/64 on Re(X e^(i..));
// real: gain 1/32 on X cos(pi (k + .5)(2n - N) / 2N)).
void DirectModulation(const float* x, int bands, bool real, double* v) {
  for (int n = 0; n < 2 * bands; ++n) {
    double acc = 0;
    for (int k = 0; k < bands; ++k) {
      if (real) {
        acc += x[k] * std::cos(M_PI * (k + 0.5) * (2 * n - bands) / (2 * bands)) / 32;
      } else {
        // The 32-band bank is the 64-band one at even n: (4n - 255) / 128.
        const Cd e = std::polar(1.0, M_PI * (k + 0.5) * (2.0 * n * (64 / bands) - 255) / 128);
        acc += (Cd(x[2 * k], x[2 * k + 1]) * e).real() / 64;
      }
    }
    v[n] = acc;
  }
}

struct BankCase {
  bool real;
  int bands;  // 0: analysis
};

class QmfEquations : public ::testing::TestWithParam<BankCase> {};

TEST_P(QmfEquations, FastKernelMatchesTheDefinition) {
  const BankCase c = GetParam();
  const int slots = 12;
  const std::vector<float> in = Noise(32 * slots, 7);
  if (c.bands == 0) {
    SbrQmfAnalysis a;
    SbrQmfAnalysisInit(a, c.real ? 28 : 18);
    std::vector<float> out(64 * slots);
    std::vector<float*> rows(slots);
    for (int s = 0; s < slots; ++s) rows[s] = &out[64 * s];
    SbrQmfAnalyzeSlots(a, in.data(), rows.data(), slots, 32);
    std::vector<double> x(320, 0.0);
    for (int s = 0; s < slots; ++s) {
      std::memmove(&x[32], &x[0], sizeof(double) * 288);
      for (int n = 0; n < 32; ++n) x[n] = in[32 * s + 31 - n];
      double ref[64];
      DirectAnalysis(x, c.real, ref);
      for (int k = 0; k < (c.real ? 32 : 64); ++k) {
        ASSERT_NEAR(out[64 * s + k], ref[k], 2e-3 + 2e-5 * std::fabs(ref[k]))
            << "slot " << s << " value " << k;
      }
    }
    return;
  }
  const int n = c.bands;
  const int values = c.real ? n : 2 * n;
  const std::vector<float> sub = Noise(static_cast<size_t>(128) * slots, 11);
  SbrQmfSynthesis syn;
  SbrQmfSynthesisInit(syn, n, c.real ? 28 : 18);
  std::vector<const float*> rows(slots);
  for (int s = 0; s < slots; ++s) rows[s] = &sub[128 * s];
  std::vector<float> out(n * slots);
  SbrQmfSynthesizeSlots(syn, rows.data(), out.data(), slots);
  // Reference: the delay line of 20 v vectors, newest first.
  std::vector<double> v(20 * n, 0.0);
  const float* w = n == 64 ? kSbrQmfWindow : kSbrQmfWindowEven;
  for (int s = 0; s < slots; ++s) {
    std::memmove(&v[2 * n], &v[0], sizeof(double) * 18 * n);
    DirectModulation(&sub[128 * s], n, c.real, v.data());
    for (int k = 0; k < n; ++k) {
      double ref = 0;
      for (int j = 0; j < 5; ++j) {
        ref +=
            v[4 * n * j + k] * w[2 * n * j + k] + v[4 * n * j + 3 * n + k] * w[2 * n * j + n + k];
      }
      ASSERT_NEAR(out[n * s + k], ref, 1e-3) << "slot " << s << " sample " << k;
    }
  }
  (void)values;
}

INSTANTIATE_TEST_SUITE_P(Banks, QmfEquations,
                         ::testing::Values(BankCase{false, 0}, BankCase{true, 0},
                                           BankCase{false, 64}, BankCase{false, 32},
                                           BankCase{true, 64}, BankCase{true, 32}));

// Kernels with fused multiply-adds (AVX2) round less than the generic
// ones: they stay within a few units in the last place of the block's peak
// (measured: under 7e-7 of it); the others give the same bits.  A wrong tap,
// twiddle or slot is off by far more.
void ExpectClose(const float* ref, const float* got, int n, bool fused) {
  float peak = 0;
  for (int i = 0; i < n; ++i) peak = std::max(peak, std::fabs(ref[i]));
  for (int i = 0; i < n; ++i) {
    if (fused) {
      ASSERT_NEAR(got[i], ref[i], 2e-6f * peak) << "value " << i;
    } else {
      ASSERT_EQ(got[i], ref[i]) << "value " << i;
    }
  }
}

// Every vectorised kernel gives the generic kernel's results (see
// ExpectClose), for slot counts that leave remainders after the vector groups and span chunks.
using AnalysisFn = void (*)(float*, const float*, float* const*, int32_t, int32_t, const float*);
using SynthesisFn = void (*)(float*, const float* const*, float*, int32_t, const float*);

void CompareAnalysis(AnalysisFn reference, AnalysisFn candidate, int values, bool fused) {
  for (int slots : {1, 3, 4, 7, 8, 13, 32, 45}) {
    for (int kx : {0, 5, 32}) {
      const std::vector<float> in = Noise(32 * slots * 3, slots * 31 + kx);
      std::vector<float> d1(288, 0.0f), d2(288, 0.0f);
      std::vector<float> o1(64 * slots), o2(64 * slots);
      std::vector<float*> r1(slots), r2(slots);
      for (int s = 0; s < slots; ++s) r1[s] = &o1[64 * s], r2[s] = &o2[64 * s];
      for (int call = 0; call < 3; ++call) {  // the delay line carries over
        reference(d1.data(), &in[32 * slots * call], r1.data(), slots, kx, kSbrQmfWindowEven);
        candidate(d2.data(), &in[32 * slots * call], r2.data(), slots, kx, kSbrQmfWindowEven);
        for (int s = 0; s < slots; ++s) {
          ExpectClose(r1[s], r2[s], values, fused);
        }
      }
      ASSERT_EQ(d1, d2);
    }
  }
}

void CompareSynthesis(SynthesisFn reference, SynthesisFn candidate, int bands, bool fused) {
  for (int slots : {1, 2, 5, 8, 11, 32, 41}) {
    const std::vector<float> sub = Noise(128 * slots * 2, slots * 17 + bands);
    std::vector<float> d1(1280, 0.0f), d2(1280, 0.0f);
    std::vector<float> o1(bands * slots), o2(bands * slots);
    for (int call = 0; call < 2; ++call) {
      std::vector<const float*> rows(slots);
      for (int s = 0; s < slots; ++s) rows[s] = &sub[128 * (slots * call + s)];
      const float* w = bands == 64 ? kSbrQmfWindow : kSbrQmfWindowEven;
      reference(d1.data(), rows.data(), o1.data(), slots, w);
      candidate(d2.data(), rows.data(), o2.data(), slots, w);
      ExpectClose(o1.data(), o2.data(), bands * slots, fused);
    }
    ExpectClose(d1.data(), d2.data(), 1280, fused);
  }
}

TEST(QmfKernels, VectorisedEqualGeneric) {
  for (const DspKernels* table : VectorisedKernels()) {
    SCOPED_TRACE(dspIsaName(table->isa));
    const DspQmfKernels& k = table->qmf;
    const bool fused = table->isa == dspIsaAvx2;
    CompareAnalysis(qmf_generic::AnalysisB, k.AnalysisB, 64, fused);
    CompareAnalysis(qmf_generic::AnalysisA, k.AnalysisA, 32, fused);
    CompareSynthesis(qmf_generic::Synthesis64B, k.Synthesis64B, 64, fused);
    CompareSynthesis(qmf_generic::Synthesis32B, k.Synthesis32B, 32, fused);
    CompareSynthesis(qmf_generic::Synthesis64A, k.Synthesis64A, 64, fused);
    CompareSynthesis(qmf_generic::Synthesis32A, k.Synthesis32A, 32, fused);
  }
}

// Signal-to-error ratio (dB) of `out` (at `step` times the input rate)
// against the input delayed by `delay` output samples, with unit gain.
double Reconstruction(const std::vector<float>& in, const std::vector<float>& out, int step,
                      int delay) {
  double err = 0, ref = 0;
  for (int j = 2000; j < 2000 + 1800 * step; ++j) {
    if ((j - delay) % step != 0) continue;
    const double r = in[(j - delay) / step];
    err += (out[j] - r) * (out[j] - r);
    ref += r * r;
  }
  return 10 * std::log10(ref / err);
}

// Analysis, then synthesis with nothing above the 32 analysis bands (the SBR
// bypass), gives the input back at unit gain, delayed by 289 samples at the
// core rate (32 bands) or twice that at twice the rate (64 bands), for the
// complex and the real-valued banks alike: switching the mode or the output
// rate keeps the timing.
TEST(QmfBanks, BypassReconstructsTheInput) {
  for (int mode : {18, 28}) {
    for (int bands : {64, 32}) {
      SbrQmfAnalysis a;
      SbrQmfSynthesis syn;
      SbrQmfAnalysisInit(a, mode);
      SbrQmfSynthesisInit(syn, bands, mode);
      const int slots = 128;
      std::vector<float> in(32 * slots);
      for (size_t i = 0; i < in.size(); ++i) {
        in[i] = 1000.0f * std::sin(0.05f * i) + 500.0f * std::sin(1.3f * i + 0.4f);
      }
      std::vector<float> sub(128 * slots, 0.0f), out(bands * slots);
      std::vector<float*> rows(slots);
      std::vector<const float*> crows(slots);
      for (int s = 0; s < slots; ++s) rows[s] = &sub[128 * s], crows[s] = rows[s];
      SbrQmfAnalyzeSlots(a, in.data(), rows.data(), slots, 32);
      SbrQmfSynthesizeSlots(syn, crows.data(), out.data(), slots);
      const int step = bands / 32;
      int best_delay = -1;
      double best = -1e9;
      for (int d = 0; d < 1200; ++d) {
        const double snr = Reconstruction(in, out, step, d);
        if (snr > best) best = snr, best_delay = d;
      }
      EXPECT_EQ(best_delay, bands == 64 ? 578 : 289) << "mode " << mode;
      EXPECT_GT(best, 50.0) << "mode " << mode << " bands " << bands;
    }
  }
}

// The SBR process before any header: the bypass in both modes and at both
// output rates gives the core signal back (every analysed band kept),
// delayed by the banks and the six slots of the active path (289 + 192
// core samples), the same in high quality and low power.
TEST(SbrProcessBypass, BothModesReproduceTheCoreSignal) {
  auto t = std::make_unique<SbrQmfTables>();
  SbrQmfTablesInit(*t);
  for (int downsampled : {0, 1}) {
    std::vector<float> outputs[2];
    for (int m = 0; m < 2; ++m) {
      auto s = std::make_unique<SBRDecState>();
      SbrInitSlot(*s);
      s->elementType = 0;
      const SbrProcessOptions o{m == 0 ? 18 : 28, downsampled, t.get(), 0};
      std::vector<float> time(2048);
      for (int frame = 0; frame < 4; ++frame) {
        for (int n = 0; n < 1024; ++n) {
          const int i = 1024 * frame + n;
          time[n] = 3000.0f * std::sin(0.031f * i) + 1000.0f * std::sin(2.2f * i);
        }
        SbrProcess(*s, 0, time.data(), nullptr, o);
        const int produced = downsampled ? 1024 : 2048;
        outputs[m].insert(outputs[m].end(), time.begin(), time.begin() + produced);
      }
    }
    const int step = downsampled ? 1 : 2, delay = downsampled ? 481 : 962;
    double err = 0, ref = 0, mode_diff = 0;
    for (size_t j = 1500; j < outputs[0].size(); ++j) {
      mode_diff = std::max(mode_diff, double(std::fabs(outputs[0][j] - outputs[1][j])));
      if ((j - delay) % step != 0) continue;
      const int i = static_cast<int>(j - delay) / step;
      const double r = 3000.0 * std::sin(0.031 * i) + 1000.0 * std::sin(2.2 * i);
      err += (outputs[0][j] - r) * (outputs[0][j] - r);
      ref += r * r;
    }
    EXPECT_GT(10 * std::log10(ref / err), 50.0) << "downsampled " << downsampled;
    EXPECT_LT(mode_diff, 8.0) << "downsampled " << downsampled;
  }
}

// The downsampled (32-band) synthesis is the full-rate one at every second
// sample when the upper 32 bands are empty, in both modes.
TEST(QmfBanks, DownsampledSynthesisIsEverySecondFullRateSample) {
  for (int mode : {18, 28}) {
    SbrQmfSynthesis s64, s32;
    SbrQmfSynthesisInit(s64, 64, mode);
    SbrQmfSynthesisInit(s32, 32, mode);
    const int slots = 24;
    std::vector<float> sub = Noise(128 * slots, 23 + mode);
    for (int s = 0; s < slots; ++s) {
      // 32 complex (or 32 real) bands used, the rest empty.
      std::fill(sub.begin() + 128 * s + (mode == 18 ? 64 : 32), sub.begin() + 128 * (s + 1), 0.0f);
    }
    std::vector<const float*> rows(slots);
    for (int s = 0; s < slots; ++s) rows[s] = &sub[128 * s];
    std::vector<float> full(64 * slots), down(32 * slots);
    SbrQmfSynthesizeSlots(s64, rows.data(), full.data(), slots);
    SbrQmfSynthesizeSlots(s32, rows.data(), down.data(), slots);
    for (int i = 0; i < 32 * slots; ++i) {
      ASSERT_NEAR(down[i], full[2 * i], 1e-3 + 1e-5 * std::fabs(full[2 * i]))
          << "mode " << mode << " sample " << i;
    }
  }
}

TEST(QmfPrimitives, ContextsSizesAndTags) {
  int32_t size = 0, init = 0, work = 0;
  ASSERT_EQ(dspQmfSynthesis64GetSizeB_32f(&size, &init, &work), 0);
  EXPECT_EQ(dspQmfSynthesis64GetSizeB_32f(nullptr, &init, &work), -8);
  std::vector<uint8_t> mem(size);
  DspQmfState* ctx = nullptr;
  ASSERT_EQ(dspQmfSynthesis64InitB_32f(&ctx, mem.data(), nullptr), 0);
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(ctx) % 16, 0u);
  std::vector<float> sub(64, 1.0f), out(64);
  const float* slots[1] = {sub.data()};
  // A set-B context given to a set-A operation, and the reverse.
  EXPECT_EQ(dspQmfSynthesis64A_32f(slots, out.data(), kSbrQmfWindow, 1, ctx, nullptr), -17);
  EXPECT_EQ(dspQmfSynthesis32B_32fc(nullptr, out.data(), kSbrQmfWindow, 1, ctx, nullptr), -8);
  std::vector<Dsp32fc> csub(64, Dsp32fc{1.0f, 0.0f});
  const Dsp32fc* cslots[1] = {csub.data()};
  EXPECT_EQ(dspQmfSynthesis64B_32fc(cslots, out.data(), kSbrQmfWindow, 1, ctx, nullptr), 0);

  ASSERT_EQ(dspQmfAnalysis32GetSizeA_32f(&size, &init, &work), 0);
  // Misaligned memory of the reported size: the context is aligned inside it.
  std::vector<uint8_t> amem(size + 3);
  DspQmfState* actx = nullptr;
  ASSERT_EQ(dspQmfAnalysis32InitA_32f(&actx, amem.data() + 3, nullptr), 0);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(actx) % 16, 0u);
  std::vector<float> in(64, 100.0f), band(32);
  float* out_slots[2] = {band.data(), band.data()};
  EXPECT_EQ(dspQmfAnalysis32A_32f(in.data(), out_slots, kSbrQmfWindowEven, 1, 0, 33, actx, nullptr),
            -6);
  EXPECT_EQ(dspQmfAnalysis32A_32f(in.data(), out_slots, kSbrQmfWindowEven, 1, 0, -1, actx, nullptr),
            -6);
  Dsp32fc* cout_slots[1] = {nullptr};
  EXPECT_EQ(
      dspQmfAnalysis32B_32fc(in.data(), cout_slots, kSbrQmfWindowEven, 1, 0, 32, actx, nullptr),
      -17);
  EXPECT_EQ(dspQmfAnalysis32A_32f(in.data(), out_slots, kSbrQmfWindowEven, 2, 0, 0, actx, nullptr),
            0);
  for (float v : band) EXPECT_EQ(v, 0.0f);  // kx = 0 zeroes every band
}

}  // namespace
