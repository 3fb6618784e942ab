// Hybrid analysis kernels: the SSE2 and generic builds of the complex
// Q-band filter and the real two-band filter, with every coefficient set
// both layouts use, against a direct 13-tap convolution in double
// precision (taps g(j) = c[j], g(6) = centre, g(12 - j) = conj(c[j])).
// Both builds within the rounding bound of the convolution puts them within
// twice that bound of each other; the largest SSE2/generic difference is
// printed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <complex>
#include <random>
#include <string>
#include <vector>

#include "common/kernels.h"
#include "ps/ps_internal.h"

namespace {

using Window = std::vector<std::array<float, 2>>;

Window RandomWindow(std::mt19937& rng, float scale) {
  std::uniform_real_distribution<float> u(-scale, scale);
  Window w(kPsWindowSlots);
  for (auto& v : w) v = {u(rng), u(rng)};
  return w;
}

const float (*Ptr(const Window& w))[2] {
  return reinterpret_cast<const float(*)[2]>(w.data());
}

struct ComplexSet {
  const char* name;
  const float (*coef)[6][2];
  float centre;
  int32_t bands;
};

// Each output is a sum of 13 complex products (25 real products per
// part).  Two orders of summation in single precision differ by at most
// about 26 rounding steps of the largest partial sum, which is bounded by
// the sum of the absolute products: |a - b| <= 26 * FLT_EPSILON * sum|terms|.
constexpr double kRoundingSteps = 26.0;

TEST(PsHybridKernels, ComplexFiltersMatchTheConvolution) {
  const ComplexSet sets[] = {
      {"8x20", kPsHybrid8x20, kPsHybridCentre8x20, 8},
      {"12x34", kPsHybrid12x34, kPsHybridCentre12x34, 12},
      {"8x34", kPsHybrid8x34, kPsHybridCentre8x34, 8},
      {"4x34", kPsHybrid4x34, kPsHybridCentre4x34, 4},
  };
  std::vector<PsHybridComplexFn> impls = {ps_generic::HybridComplex};
  for (const DspKernels* k : VectorisedKernels()) impls.push_back(k->ps_hybrid.HybridComplex);
  std::mt19937 rng(7);
  double worst = 0.0;       // largest error in units of the bound
  double worst_pair = 0.0;  // largest vectorised/generic difference, same units
  for (const ComplexSet& set : sets) {
    for (int trial = 0; trial < 20; ++trial) {
      const Window in = RandomWindow(rng, trial % 2 ? 1.0f : 30000.0f);
      // Reference and per-output bound.
      std::vector<std::complex<double>> ref(static_cast<size_t>(set.bands) * kPsSlots);
      std::vector<double> bound(ref.size());
      for (int32_t q = 0; q < set.bands; ++q) {
        for (int32_t n = 0; n < kPsSlots; ++n) {
          std::complex<double> acc = 0.0;
          double mag = 0.0;
          for (int j = 0; j < 13; ++j) {
            std::complex<double> g(set.centre, 0.0);
            if (j < 6) g = {set.coef[q][j][0], set.coef[q][j][1]};
            if (j > 6) g = {set.coef[q][12 - j][0], -set.coef[q][12 - j][1]};
            const std::complex<double> x(in[n + j][0], in[n + j][1]);
            acc += g * x;
            mag += (std::abs(g.real()) + std::abs(g.imag())) *
                   (std::abs(x.real()) + std::abs(x.imag()));
          }
          ref[q * kPsSlots + n] = acc;
          bound[q * kPsSlots + n] = kRoundingSteps * FLT_EPSILON * mag + 1e-30;
        }
      }
      // Frames of 30 slots (960-sample cores) leave the rest untouched.
      const int32_t slots = trial % 4 < 2 ? kPsSlots : kPsSlots960;
      float out[dspIsaCount][12][kPsSlots][2];  // generic first
      std::fill_n(&out[0][0][0][0], sizeof(out) / sizeof(float), 12345.0f);
      for (size_t i = 0; i < impls.size(); ++i) {
        impls[i](Ptr(in), set.coef, set.centre, set.bands, out[i], slots);
        for (int32_t q = 0; q < set.bands; ++q) {
          for (int32_t n = slots; n < kPsSlots; ++n) ASSERT_EQ(out[i][q][n][0], 12345.0f);
          for (int32_t n = 0; n < slots; ++n) {
            const std::complex<double>& r = ref[q * kPsSlots + n];
            const double b = bound[q * kPsSlots + n];
            const double er = std::abs(out[i][q][n][0] - r.real()),
                         ei = std::abs(out[i][q][n][1] - r.imag());
            worst = std::max(worst, std::max(er, ei) / b);
            ASSERT_LE(er, b) << set.name << " impl " << i << " q " << q << " n " << n;
            ASSERT_LE(ei, b) << set.name << " impl " << i << " q " << q << " n " << n;
          }
        }
      }
      for (size_t i = 1; i < impls.size(); ++i) {
        for (int32_t q = 0; q < set.bands; ++q) {
          for (int32_t n = 0; n < slots; ++n) {
            for (int c = 0; c < 2; ++c) {
              worst_pair = std::max(worst_pair, std::abs(out[0][q][n][c] - out[i][q][n][c]) /
                                                    bound[q * kPsSlots + n]);
            }
          }
        }
      }
    }
  }
  std::printf("complex hybrid filters: worst error %.3f, vectorised/generic %.3f of the bound\n",
              worst, worst_pair);
}

// The real two-band filter: low = centre + odd taps, high = centre - odd
// taps, each part filtered on its own (real taps do not mix re and im).
TEST(PsHybridKernels, RealFilterMatchesTheConvolution) {
  std::vector<PsHybridRealFn> impls = {ps_generic::HybridReal};
  for (const DspKernels* k : VectorisedKernels()) impls.push_back(k->ps_hybrid.HybridReal);
  std::mt19937 rng(5);
  for (int trial = 0; trial < 30; ++trial) {
    const Window in = RandomWindow(rng, trial % 2 ? 1.0f : 30000.0f);
    for (size_t i = 0; i < impls.size(); ++i) {
      float low[kPsSlots][2], high[kPsSlots][2];
      impls[i](Ptr(in), kPsHybrid2Odd, kPsHybrid2Centre, low, high, kPsSlots);
      for (int32_t n = 0; n < kPsSlots; ++n) {
        for (int c = 0; c < 2; ++c) {
          const double mid = double{kPsHybrid2Centre} * in[n + 6][c];
          double side = 0.0, mag = std::abs(mid);
          for (int t = 0; t < 3; ++t) {
            const double x = double{in[n + 1 + 2 * t][c]} + in[n + 11 - 2 * t][c];
            side += kPsHybrid2Odd[t] * x;
            mag += std::abs(kPsHybrid2Odd[t]) *
                   (std::abs(in[n + 1 + 2 * t][c]) + std::abs(in[n + 11 - 2 * t][c]));
          }
          const double b = kRoundingSteps * FLT_EPSILON * mag + 1e-30;
          ASSERT_NEAR(low[n][c], mid + side, b) << "impl " << i << " n " << n;
          ASSERT_NEAR(high[n][c], mid - side, b) << "impl " << i << " n " << n;
        }
      }
    }
  }
}

// Each complex filter bank splits a band into Q pieces that sum back to
// the band delayed by six slots (the synthesis is a plain sum): the taps
// of all Q filters add up to a unit impulse at the centre.
TEST(PsHybridKernels, ComplexBanksSumToTheDelayedInput) {
  const ComplexSet sets[] = {
      {"8x20", kPsHybrid8x20, kPsHybridCentre8x20, 8},
      {"12x34", kPsHybrid12x34, kPsHybridCentre12x34, 12},
      {"8x34", kPsHybrid8x34, kPsHybridCentre8x34, 8},
      {"4x34", kPsHybrid4x34, kPsHybridCentre4x34, 4},
  };
  std::mt19937 rng(3);
  const Window in = RandomWindow(rng, 1.0f);
  for (const ComplexSet& set : sets) {
    float out[12][kPsSlots][2];
    DspActiveKernels().ps_hybrid.HybridComplex(Ptr(in), set.coef, set.centre, set.bands, out,
                                               kPsSlots);
    for (int32_t n = 0; n < kPsSlots; ++n) {
      double re = 0.0, im = 0.0;
      for (int32_t q = 0; q < set.bands; ++q) re += out[q][n][0], im += out[q][n][1];
      EXPECT_NEAR(re, in[n + 6][0], 1e-5) << set.name << " n " << n;
      EXPECT_NEAR(im, in[n + 6][1], 1e-5) << set.name << " n " << n;
    }
  }
  // The real pair: low + high = 2 centre x(n + 6).
  float low[kPsSlots][2], high[kPsSlots][2];
  DspActiveKernels().ps_hybrid.HybridReal(Ptr(in), kPsHybrid2Odd, kPsHybrid2Centre, low, high,
                                          kPsSlots);
  for (int32_t n = 0; n < kPsSlots; ++n) {
    EXPECT_NEAR(low[n][0] + high[n][0], in[n + 6][0], 1e-5);
    EXPECT_NEAR(low[n][1] + high[n][1], in[n + 6][1], 1e-5);
  }
}

// The decorrelator's all-pass chain: every band against the recurrence in
// double precision (w[n] = x + a y, y = Q w[n - d] - a x, three links after
// the fractional delay phi, times the slot's gain), and every vectorised
// kernel equal to the generic one bit for bit, for band counts that leave
// partial vector groups, both frame lengths, over two frames (the link
// histories carry over).
TEST(PsAllPassKernels, ChainMatchesTheRecurrenceAndIsasAgree) {
  using Cd = std::complex<double>;
  constexpr int kDelays[3] = {3, 4, 5};
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<std::pair<const char*, DspPsAllPassFn>> impls = {{"generic", ps_generic::AllPass}};
  for (const DspKernels* k : VectorisedKernels())
    impls.push_back({dspIsaName(k->isa), k->ps_hybrid.AllPass});
  for (int count : {1, 3, 8, 13, 30}) {
    for (int slots : {32, 30}) {
      std::vector<float> in(2 * 2 * 32 * count), gain(32 * count);
      for (float& v : in) v = 1000.0f * u(rng);
      for (float& v : gain) v = 0.5f + 0.5f * u(rng);
      std::vector<DspPsAllPassBand> proto(count);
      std::vector<float> hist0(count * 3 * 5 * 2);
      for (float& v : hist0) v = 500.0f * u(rng);
      for (int b = 0; b < count; ++b) {
        DspPsAllPassBand& p = proto[b];
        const double a = 2 * M_PI * (b + 0.5) / 64;
        p.phi[0] = static_cast<float>(std::cos(a)), p.phi[1] = static_cast<float>(-std::sin(a));
        for (int m = 0; m < 3; ++m) {
          p.q[m][0] = static_cast<float>(std::cos(a * (m + 2))),
          p.q[m][1] = static_cast<float>(std::sin(a * (m + 2)));
          p.ag[m] = 0.6f * (1.0f - 0.1f * m) * (b % 4 == 3 ? 0.0f : 1.0f);
        }
      }
      std::vector<std::vector<float>> results;
      for (const auto& [name, fn] : impls) {
        SCOPED_TRACE(name);
        std::vector<float> hist = hist0, out(2 * 2 * 32 * count, 7.0f);
        std::vector<DspPsAllPassBand> bands = proto;
        std::vector<std::vector<std::array<Cd, 5>>> ref(count, std::vector<std::array<Cd, 5>>(3));
        for (int b = 0; b < count; ++b) {
          for (int m = 0; m < 3; ++m) {
            for (int j = 0; j < 5; ++j) {
              ref[b][m][j] =
                  Cd(hist0[((b * 3 + m) * 5 + j) * 2], hist0[((b * 3 + m) * 5 + j) * 2 + 1]);
            }
          }
        }
        for (int frame = 0; frame < 2; ++frame) {
          for (int b = 0; b < count; ++b) {
            bands[b].in =
                reinterpret_cast<const float(*)[2]>(&in[2 * (frame * 32 * count + 32 * b)]);
            bands[b].out = reinterpret_cast<float(*)[2]>(&out[2 * (frame * 32 * count + 32 * b)]);
            bands[b].history = reinterpret_cast<float(*)[5][2]>(&hist[b * 30]);
            bands[b].gain = &gain[32 * b];
          }
          fn(bands.data(), count, slots);
          for (int b = 0; b < count; ++b) {
            const DspPsAllPassBand& p = bands[b];
            std::vector<std::vector<Cd>> w(3);
            for (int m = 0; m < 3; ++m) w[m].assign(ref[b][m].begin(), ref[b][m].end());
            for (int n = 0; n < slots; ++n) {
              Cd x = Cd(p.in[n][0], p.in[n][1]) * Cd(p.phi[0], p.phi[1]);
              for (int m = 0; m < 3; ++m) {
                const Cd y =
                    Cd(p.q[m][0], p.q[m][1]) * w[m][w[m].size() - kDelays[m]] - double(p.ag[m]) * x;
                w[m].push_back(x + double(p.ag[m]) * y);
                x = y;
              }
              x *= p.gain[n];
              ASSERT_NEAR(p.out[n][0], x.real(), 1e-3 + 1e-5 * std::abs(x))
                  << count << " " << b << " " << n;
              ASSERT_NEAR(p.out[n][1], x.imag(), 1e-3 + 1e-5 * std::abs(x));
            }
            if (slots < 32) {
              ASSERT_EQ(p.out[slots][0], 7.0f) << "wrote past the frame";
            }
            for (int m = 0; m < 3; ++m) {
              for (int j = 0; j < 5; ++j) ref[b][m][j] = w[m][w[m].size() - 5 + j];
            }
          }
        }
        out.insert(out.end(), hist.begin(), hist.end());
        results.push_back(out);
      }
      for (size_t i = 1; i < results.size(); ++i) {
        EXPECT_EQ(results[i], results[0])
            << impls[i].first << " count " << count << " slots " << slots;
      }
    }
  }
}

// Mixing kernels: the generic one against the matrix product in double
// precision (h moved on by `step` before every slot, h11 and h21 on s, h12
// and h22 on d, the imaginary parts turning the phase), every vectorised one
// equal to it bit for bit, and no slot past `len` touched.
TEST(PsMixKernels, MatrixProductAndIsasAgree) {
  using Cd = std::complex<double>;
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  for (bool complex : {false, true}) {
    std::vector<std::pair<const char*, DspPsMixFn>> impls = {
        {"generic", complex ? ps_generic::MixComplex : ps_generic::MixReal}};
    for (const DspKernels* k : VectorisedKernels()) {
      impls.push_back(
          {dspIsaName(k->isa), complex ? k->ps_hybrid.MixComplex : k->ps_hybrid.MixReal});
    }
    for (int len : {1, 6, 7, 32}) {  // 7: pairs of slots and one left over
      float h[8], step[8];
      for (int c = 0; c < 8; ++c) {
        h[c] = complex || c < 4 ? u(rng) : 0.0f;
        step[c] = (complex || c < 4 ? u(rng) : 0.0f) / len;
      }
      std::vector<float> s0(2 * 33), d0(2 * 33);
      for (float& v : s0) v = 1000.0f * u(rng);
      for (float& v : d0) v = 1000.0f * u(rng);
      std::vector<float> first_s, first_d;
      for (const auto& [name, fn] : impls) {
        SCOPED_TRACE(std::string(name) + (complex ? " complex" : " real") + " len " +
                     std::to_string(len));
        std::vector<float> s = s0, d = d0;
        fn(reinterpret_cast<float(*)[2]>(s.data()), reinterpret_cast<float(*)[2]>(d.data()), len, h,
           step);
        ASSERT_EQ(s[2 * len], s0[2 * len]) << "wrote past the band";
        ASSERT_EQ(d[2 * len + 1], d0[2 * len + 1]) << "wrote past the band";
        if (first_s.empty()) {
          for (int n = 0; n < len; ++n) {
            Cd m[4];
            for (int c = 0; c < 4; ++c) {
              m[c] = Cd(double(h[c]) + (n + 1) * double(step[c]),
                        double(h[4 + c]) + (n + 1) * double(step[4 + c]));
            }
            const Cd x(s0[2 * n], s0[2 * n + 1]), y(d0[2 * n], d0[2 * n + 1]);
            const Cd ws = m[0] * x + m[2] * y, wd = m[1] * x + m[3] * y;
            ASSERT_NEAR(s[2 * n], ws.real(), 0.05) << n;
            ASSERT_NEAR(s[2 * n + 1], ws.imag(), 0.05) << n;
            ASSERT_NEAR(d[2 * n], wd.real(), 0.05) << n;
            ASSERT_NEAR(d[2 * n + 1], wd.imag(), 0.05) << n;
          }
          first_s = s, first_d = d;
        } else {
          ASSERT_EQ(s, first_s);
          ASSERT_EQ(d, first_d);
        }
      }
    }
  }
}

}  // namespace

namespace {

// Transient gain kernels: the generic one against the recurrence written
// out per band and slot, every vectorised one equal to it bit for bit, for
// both layouts' band counts, both frame lengths, over two frames (the
// state carries over), with power steps that drive the gain below 1.
TEST(PsTransientKernels, RecurrenceAndIsasAgree) {
  std::mt19937 rng(23);
  std::uniform_real_distribution<float> u(0.0f, 1.0f);
  std::vector<std::pair<const char*, DspPsTransientFn>> impls = {
      {"generic", ps_generic::Transient}};
  for (const DspKernels* k : VectorisedKernels())
    impls.push_back({dspIsaName(k->isa), k->ps_hybrid.Transient});
  using Rows = float[kDspTransientRows][kDspHybridSlots];
  for (int bands : {20, 34}) {
    for (int slots : {32, 30}) {
      SCOPED_TRACE("bands " + std::to_string(bands) + " slots " + std::to_string(slots));
      std::vector<Rows> power(2);
      for (Rows& p : power) {
        for (auto& row : p) std::fill(std::begin(row), std::end(row), 0.0f);
        for (int i = 0; i < bands; ++i) {
          for (int n = 0; n < slots; ++n) p[i][n] = 1e6f * u(rng) * (u(rng) < 0.2f ? 50.0f : 1.0f);
        }
      }
      // The recurrence, band by band.
      float want[2][kDspTransientRows][kDspHybridSlots];
      float peak[kDspTransientRows] = {}, smooth[kDspTransientRows] = {},
            diff[kDspTransientRows] = {};
      int attenuated = 0;
      for (int f = 0; f < 2; ++f) {
        for (int i = 0; i < bands; ++i) {
          for (int n = 0; n < slots; ++n) {
            const float p = power[f][i][n];
            peak[i] = std::max(kPsPeakDecay * peak[i], p);
            smooth[i] += kPsSmoothing * (p - smooth[i]);
            diff[i] += kPsSmoothing * (peak[i] - p - diff[i]);
            const float denom = kPsTransientImpact * diff[i];
            want[f][i][n] = denom > smooth[i] ? smooth[i] / denom : 1.0f;
            attenuated += want[f][i][n] < 1.0f;
          }
        }
      }
      EXPECT_GT(attenuated, slots);  // the test reaches the attenuating branch
      for (const auto& [name, fn] : impls) {
        SCOPED_TRACE(name);
        float state[3][kDspTransientRows] = {};
        for (int f = 0; f < 2; ++f) {
          Rows gain;
          fn(power[f], state, bands, slots, gain);
          for (int i = 0; i < bands; ++i) {
            for (int n = 0; n < slots; ++n) ASSERT_EQ(gain[i][n], want[f][i][n]) << i << " " << n;
          }
        }
        for (int i = 0; i < bands; ++i) {
          ASSERT_EQ(state[0][i], peak[i]);
          ASSERT_EQ(state[1][i], smooth[i]);
          ASSERT_EQ(state[2][i], diff[i]);
        }
      }
    }
  }
}

}  // namespace

namespace {

// Band/slot transposes: every table moves exactly the complex values of
// bands b0..b1-1 and the first `slots` slots, both ways, and writes nothing
// else (sentinels around), for block-sized and ragged band ranges.
TEST(PsTransposeKernels, MoveTheRangeAndNothingElse) {
  std::vector<std::pair<const char*, const DspPsHybridKernels*>> impls;
  DspPsHybridKernels generic{};
  generic.ToBands = ps_generic::ToBands;
  generic.ToSlots = ps_generic::ToSlots;
  impls.push_back({"generic", &generic});
  for (const DspKernels* k : VectorisedKernels())
    impls.push_back({dspIsaName(k->isa), &k->ps_hybrid});
  std::mt19937 rng(31);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  constexpr float kSentinel = 1234.5f;
  for (const auto& [name, k] : impls) {
    for (auto [b0, b1] : {std::pair{3, 64}, {5, 64}, {5, 38}, {3, 4}}) {
      for (int slots : {32, 30}) {
        SCOPED_TRACE(std::string(name) + " bands " + std::to_string(b0) + ".." +
                     std::to_string(b1) + " slots " + std::to_string(slots));
        std::vector<float> qmf(kDspHybridSlots * 128);
        for (float& v : qmf) v = u(rng);
        std::vector<const float*> rows(kDspHybridSlots);
        for (int n = 0; n < kDspHybridSlots; ++n) rows[n] = &qmf[128 * n];
        std::vector<float> xb(64 * kDspHybridSlots * 2, kSentinel);
        auto* x = reinterpret_cast<float(*)[kDspHybridSlots][2]>(xb.data());
        k->ToBands(rows.data(), b0, b1, slots, x);
        for (int b = 0; b < 64; ++b) {
          for (int n = 0; n < kDspHybridSlots; ++n) {
            const bool in = b >= b0 && b < b1 && n < slots;
            for (int c = 0; c < 2; ++c) {
              ASSERT_EQ(x[b][n][c], in ? qmf[128 * n + 2 * b + c] : kSentinel) << b << " " << n;
            }
          }
        }
        std::vector<float> back(kDspHybridSlots * 128, kSentinel);
        std::vector<float*> out(kDspHybridSlots);
        for (int n = 0; n < kDspHybridSlots; ++n) out[n] = &back[128 * n];
        k->ToSlots(x, b0, b1, slots, out.data());
        for (int n = 0; n < kDspHybridSlots; ++n) {
          for (int i = 0; i < 128; ++i) {
            const bool in = i >= 2 * b0 && i < 2 * b1 && n < slots;
            ASSERT_EQ(back[128 * n + i], in ? qmf[128 * n + i] : kSentinel) << n << " " << i;
          }
        }
      }
    }
  }
}

}  // namespace
