// SBR HF generation and envelope adjustment kernels: the generic ones
// against the sums and products they stand for, every vectorised table
// against the generic one bit for bit, over widths that leave every kind of
// remainder after the last full vector.
#include "sbr/sbr_hf_kernels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <random>
#include <vector>

#include "common/kernels.h"

namespace {

std::vector<float> RandomFloats(std::mt19937& rng, size_t n, float scale) {
  std::uniform_real_distribution<float> d(-scale, scale);
  std::vector<float> v(n);
  for (auto& x : v) x = d(rng);
  return v;
}

bool SameBits(const void* a, const void* b, size_t bytes) {
  return std::memcmp(a, b, bytes) == 0;
}

constexpr int kRows = 40;

TEST(SbrHfKernels, GenericCovarianceIsTheLaggedProductSums) {
  std::mt19937 rng(7);
  const std::vector<float> x = RandomFloats(rng, kRows * kSbrLowRow, 3e4f);
  using C = std::complex<long double>;
  auto at = [&](int row, int band) {
    return C(x[row * kSbrLowRow + 2 * band], x[row * kSbrLowRow + 2 * band + 1]);
  };
  constexpr int kTerms = 38;
  double sums[32][5];
  sbr_generic::Covariance(x.data(), 32, kTerms, sums);
  for (int b = 0; b < 32; ++b) {
    C s0 = 0, s1 = 0, s2 = 0;
    for (int m = 1; m < kTerms; ++m) {
      s0 += std::norm(at(m, b));
      s1 += at(m + 1, b) * std::conj(at(m, b));
    }
    for (int m = 0; m < kTerms; ++m) s2 += at(m + 2, b) * std::conj(at(m, b));
    const double tol = 1e-12 * static_cast<double>(s0.real());
    EXPECT_NEAR(sums[b][0], static_cast<double>(s0.real()), tol) << b;
    EXPECT_NEAR(sums[b][1], static_cast<double>(s1.real()), tol) << b;
    EXPECT_NEAR(sums[b][2], static_cast<double>(s1.imag()), tol) << b;
    EXPECT_NEAR(sums[b][3], static_cast<double>(s2.real()), tol) << b;
    EXPECT_NEAR(sums[b][4], static_cast<double>(s2.imag()), tol) << b;
  }
}

TEST(SbrHfKernels, GenericPatchIsTheComplexPrediction) {
  std::mt19937 rng(8);
  const std::vector<float> src = RandomFloats(rng, kRows * kSbrLowRow, 1e3f);
  std::vector<float> coef(4 * kSbrHighRow);
  const std::vector<float> a = RandomFloats(rng, 4 * 32, 1.0f);
  for (int b = 0; b < 32; ++b) {  // a0 = a[4b] + i a[4b+1], a1 = a[4b+2] + i a[4b+3]
    for (int part = 0; part < 2; ++part) {
      float* c = coef.data() + 2 * part * kSbrHighRow;
      c[2 * b] = c[2 * b + 1] = a[4 * b + 2 * part];
      c[kSbrHighRow + 2 * b] = -a[4 * b + 2 * part + 1];
      c[kSbrHighRow + 2 * b + 1] = a[4 * b + 2 * part + 1];
    }
  }
  constexpr int kOut = 30;
  std::vector<float> dst(kOut * kSbrHighRow, 0.0f);
  sbr_generic::Patch(src.data(), dst.data(), kOut, coef.data(), 64);
  for (int j = 0; j < kOut; ++j) {
    for (int b = 0; b < 32; ++b) {
      auto x = [&](int row) {
        return std::complex<double>(src[row * kSbrLowRow + 2 * b],
                                    src[row * kSbrLowRow + 2 * b + 1]);
      };
      const std::complex<double> a0(a[4 * b], a[4 * b + 1]), a1(a[4 * b + 2], a[4 * b + 3]);
      const std::complex<double> want = x(j + 2) + a0 * x(j + 1) + a1 * x(j);
      EXPECT_NEAR(dst[j * kSbrHighRow + 2 * b], want.real(), 1e-3) << j << " " << b;
      EXPECT_NEAR(dst[j * kSbrHighRow + 2 * b + 1], want.imag(), 1e-3) << j << " " << b;
    }
  }
}

TEST(SbrHfKernels, VectorisedEqualGenericBitForBit) {
  const DspSbrKernels& g = GenericKernels().sbr;
  std::mt19937 rng(9);
  const std::vector<float> low = RandomFloats(rng, kRows * kSbrLowRow, 2e4f);
  const std::vector<float> high = RandomFloats(rng, kRows * kSbrHighRow, 2e4f);
  const std::vector<float> coef = RandomFloats(rng, 4 * kSbrHighRow, 1.5f);
  const std::vector<float> gain = RandomFloats(rng, kSbrHighRow, 4.0f);
  const std::vector<float> level = RandomFloats(rng, kSbrHighRow, 100.0f);
  const std::vector<float> noise = RandomFloats(rng, kSbrHighRow, 1.0f);
  const std::vector<float> hist = RandomFloats(rng, 5 * kSbrHighRow, 10.0f);
  const float* rows[5];
  for (int r = 0; r < 5; ++r) rows[r] = hist.data() + r * kSbrHighRow;
  for (const DspKernels* table : VectorisedKernels()) {
    const DspSbrKernels& v = table->sbr;
    SCOPED_TRACE(dspIsaName(table->isa));
    for (int bands = 1; bands <= 32; ++bands) {
      for (int terms : {1, 2, 36, 38}) {
        double want[32][5], got[32][5];
        g.Covariance(low.data() + 2 * (32 - bands), bands, terms, want);
        v.Covariance(low.data() + 2 * (32 - bands), bands, terms, got);
        EXPECT_TRUE(SameBits(want, got, sizeof(double) * 5 * bands)) << bands << " " << terms;
      }
      const int n = 2 * bands, at = 2 * (32 - bands);  // ends at the row's end
      std::vector<float> want(kRows * kSbrHighRow, 0.0f), got = want;
      g.Patch(low.data() + at, want.data() + 3, 36, coef.data() + 3, n);
      v.Patch(low.data() + at, got.data() + 3, 36, coef.data() + 3, n);
      EXPECT_TRUE(SameBits(want.data(), got.data(), sizeof(float) * want.size())) << bands;
    }
    for (int bands = 0; bands <= 64; ++bands) {
      float want[64], got[64];
      g.Energies(high.data() + 2 * (64 - bands), 9, bands, want);
      v.Energies(high.data() + 2 * (64 - bands), 9, bands, got);
      EXPECT_TRUE(SameBits(want, got, sizeof(float) * bands)) << bands;
    }
    for (int n = 0; n <= kSbrHighRow; n += 2) {
      float want[kSbrHighRow], got[kSbrHighRow];
      g.Smooth(rows, want, n);
      v.Smooth(rows, got, n);
      EXPECT_TRUE(SameBits(want, got, sizeof(float) * n)) << n;
      for (bool noisy : {false, true}) {
        std::vector<float> xw(high.begin(), high.begin() + kSbrHighRow), xg = xw;
        g.Adjust(xw.data(), gain.data(), noisy ? level.data() : nullptr, noise.data(), n);
        v.Adjust(xg.data(), gain.data(), noisy ? level.data() : nullptr, noise.data(), n);
        EXPECT_TRUE(SameBits(xw.data(), xg.data(), sizeof(float) * kSbrHighRow)) << n << noisy;
      }
    }
  }
}

// The predictor solve over rows where bands are silent (d and r11 zero), hold
// a steady tone (a nearly singular matrix: large coefficients, some over the
// limit) or noise, at every width and both frame lengths.
TEST(SbrHfKernels, VectorisedSolveEqualsGenericBitForBit) {
  std::mt19937 rng(11);
  std::vector<float> x = RandomFloats(rng, kRows * kSbrLowRow, 2e4f);
  for (int row = 0; row < kRows; ++row) {
    float* r = x.data() + row * kSbrLowRow;
    r[2 * 3] = r[2 * 3 + 1] = r[2 * 8] = r[2 * 8 + 1] = 0.0f;  // silent
    for (int b : {5, 12, 13, 30}) {                            // tones
      r[2 * b] = 1e3f * std::cos(0.7f * b * row);
      r[2 * b + 1] = 1e3f * std::sin(0.7f * b * row);
    }
  }
  const DspSbrKernels& g = GenericKernels().sbr;
  for (const DspKernels* table : VectorisedKernels()) {
    SCOPED_TRACE(dspIsaName(table->isa));
    for (int terms : {36, 38}) {
      double sums[32][5];
      g.Covariance(x.data(), 32, terms, sums);
      for (int bands = 1; bands <= 32; ++bands) {
        const int at = 32 - bands;
        float want[2][64], got[2][64];
        g.Solve(sums + at, x.data() + 2 * at, bands, terms, want[0], want[1]);
        table->sbr.Solve(sums + at, x.data() + 2 * at, bands, terms, got[0], got[1]);
        EXPECT_TRUE(SameBits(want, got, sizeof(float) * 2 * bands)) << bands << " " << terms;
        EXPECT_TRUE(SameBits(want[1], got[1], sizeof(float) * 2 * bands)) << bands << " " << terms;
      }
    }
  }
}

// The envelope gain kernels: levels spread over many octaves (zeros among
// them), every flag combination, limits that cut some subbands and not
// others, and widths with every remainder.
TEST(SbrHfKernels, VectorisedGainsEqualGenericBitForBit) {
  const DspSbrKernels& k = GenericKernels().sbr;
  std::mt19937 rng(10);
  auto levels = [&](float zero_share) {
    std::uniform_real_distribution<float> u(0.0f, 1.0f), octave(-20.0f, 40.0f);
    std::vector<float> v(64);
    for (auto& x : v) x = u(rng) < zero_share ? 0.0f : std::exp2(octave(rng));
    return v;
  };
  const std::vector<float> e = levels(0.1f), q = levels(0.2f), ecurr = levels(0.1f);
  const std::vector<float> gmax = levels(0.0f), boost = levels(0.0f);
  int32_t flags[64];
  for (int m = 0; m < 64; ++m) flags[m] = static_cast<int32_t>(rng() & 3);
  for (const DspKernels* table : VectorisedKernels()) {
    const DspSbrKernels& v = table->sbr;
    SCOPED_TRACE(dspIsaName(table->isa));
    for (int n = 1; n <= 64; ++n) {
      const int at = 64 - n;
      for (bool noise_free : {false, true}) {
        float want[3][64], got[3][64];
        k.Gains(&e[at], &q[at], &ecurr[at], flags + at, noise_free, n, want[0], want[1], want[2]);
        v.Gains(&e[at], &q[at], &ecurr[at], flags + at, noise_free, n, got[0], got[1], got[2]);
        for (int r = 0; r < 3; ++r) EXPECT_TRUE(SameBits(want[r], got[r], 4 * n)) << n << r;
        k.Limit(want[0], want[1], &gmax[at], n);
        v.Limit(got[0], got[1], &gmax[at], n);
        k.Boost(want[0], want[1], want[2], &boost[at], n);
        v.Boost(got[0], got[1], got[2], &boost[at], n);
        for (int r = 0; r < 3; ++r) EXPECT_TRUE(SameBits(want[r], got[r], 4 * n)) << n << r;
      }
    }
  }
}

}  // namespace
