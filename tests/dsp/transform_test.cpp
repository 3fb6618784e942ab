// FFT and MDCT against direct double-precision evaluation of their
// definitions, vectorised passes against the reference, and the errors.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <random>
#include <vector>

#include "dsp/dsp_transform.h"
#include "dsp/fft_impl.h"

namespace {

std::mt19937 rng(99);

struct Mem {
  std::vector<uint8_t> spec, init, work;
};

DspFftSpec_C_32fc* MakeFft(int order, int flag, Mem& m) {
  int32_t s, i, w;
  EXPECT_EQ(dspFftGetSize_C_32fc(order, flag, &s, &i, &w), 0);
  m.spec.assign(s, 0), m.init.assign(i + 1, 0), m.work.assign(w, 0);
  DspFftSpec_C_32fc* spec = nullptr;
  EXPECT_EQ(dspFftInit_C_32fc(&spec, order, flag, 0, m.spec.data(), m.init.data()), 0);
  return spec;
}

template <typename Spec, typename GetSize, typename Init>
Spec* MakeMdct(int n, Mem& m, GetSize get_size, Init init) {
  int32_t s, i, w;
  EXPECT_EQ(get_size(n, &s, &i, &w), 0);
  m.spec.assign(s, 0), m.init.assign(i + 1, 0), m.work.assign(w, 0);
  Spec* spec = nullptr;
  EXPECT_EQ(init(&spec, n, m.spec.data() + 1, m.init.data()), 0);  // unaligned memory
  return spec;
}

TEST(Fft, MatchesDirectDftForEveryOrderAndFlag) {
  for (int order = 0; order <= 12; ++order) {
    const int len = 1 << order;
    std::normal_distribution<double> d(0.0, 1.0);
    std::vector<Dsp32fc> x(len), y(len);
    for (auto& v : x) v = Dsp32fc{static_cast<float>(d(rng)), static_cast<float>(d(rng))};
    for (int flag : {1, 2, 4, 8}) {
      if (order > 10 && flag != 8) continue;  // keep the direct DFT cheap
      Mem m;
      auto* spec = MakeFft(order, flag, m);
      for (int inverse = 0; inverse < 2; ++inverse) {
        double scale = 1.0;
        if ((flag == 1 && !inverse) || (flag == 2 && inverse)) scale = 1.0 / len;
        if (flag == 4) scale = 1.0 / std::sqrt(double(len));
        ASSERT_EQ(inverse ? dspFftInv_CToC_32fc(x.data(), y.data(), spec, m.work.data())
                          : dspFftFwd_CToC_32fc(x.data(), y.data(), spec, m.work.data()),
                  0);
        double max_err = 0.0;
        for (int k = 0; k < len; ++k) {
          std::complex<double> acc = 0.0;
          for (int l = 0; l < len; ++l) {
            const double a = (inverse ? 2.0 : -2.0) * M_PI * double(l) * k / len;
            acc += std::complex<double>(x[l].re, x[l].im) * std::polar(1.0, a);
          }
          acc *= scale;
          max_err = std::max(max_err, std::abs(acc - std::complex<double>(y[k].re, y[k].im)));
        }
        // Error relative to the output's RMS size (sqrt(len) * scale).
        EXPECT_LT(max_err / (std::sqrt(double(len)) * scale), 2e-6 * (order + 1))
            << "order " << order << " flag " << flag << " inverse " << inverse;
      }
      // In place gives the same as out of place.
      std::vector<Dsp32fc> z = x;
      ASSERT_EQ(dspFftFwd_CToC_32fc(z.data(), z.data(), spec, nullptr), 0);
      ASSERT_EQ(dspFftFwd_CToC_32fc(x.data(), y.data(), spec, m.work.data()), 0);
      for (int k = 0; k < len; ++k) ASSERT_EQ(z[k].re, y[k].re);
    }
  }
}

TEST(Fft, Errors) {
  int32_t s, i, w;
  EXPECT_EQ(dspFftGetSize_C_32fc(31, 8, &s, &i, &w), dspStsFftOrderErr);
  EXPECT_EQ(dspFftGetSize_C_32fc(-1, 8, &s, &i, &w), dspStsFftOrderErr);
  EXPECT_EQ(dspFftGetSize_C_32fc(5, 3, &s, &i, &w), dspStsFftFlagErr);
  EXPECT_EQ(dspFftGetSize_C_32fc(5, 8, nullptr, &i, &w), dspStsNullPtrErr);
}

// Direct double-precision MDCT definitions.
std::vector<double> DirectInverse(const std::vector<float>& x, int n) {
  std::vector<double> y(n);
  for (int i = 0; i < n; ++i) {
    double acc = 0.0;
    for (int k = 0; k < n / 2; ++k)
      acc += x[k] * std::cos(2.0 * M_PI / n * (i + n / 4.0 + 0.5) * (k + 0.5));
    y[i] = acc * 2.0 / n;
  }
  return y;
}

std::vector<double> DirectForward(const std::vector<float>& x, int n) {
  std::vector<double> y(n / 2);
  for (int k = 0; k < n / 2; ++k) {
    double acc = 0.0;
    for (int i = 0; i < n; ++i)
      acc += x[i] * std::cos(2.0 * M_PI / n * (i + n / 4.0 + 0.5) * (k + 0.5));
    y[k] = 2.0 * acc;
  }
  return y;
}

TEST(Mdct, MatchesDefinitionsForEveryLength) {
  for (int n : {12, 36, 32, 64, 128, 256, 512, 1024, 2048, 4096}) {
    // Full-scale 16-bit spectra / signals.
    std::uniform_real_distribution<float> d(-32768.0f, 32767.0f);
    std::vector<float> coef(n / 2), time(n), out_t(n), out_c(n / 2);
    for (auto& v : coef) v = d(rng) * 16.0f;  // spectral values are larger than PCM
    for (auto& v : time) v = d(rng);
    Mem mi, mf;
    auto* inv = MakeMdct<DspMdctInvSpec_32f>(n, mi, dspMdctInvGetSize_32f, dspMdctInvInit_32f);
    auto* fwd = MakeMdct<DspMdctFwdSpec_32f>(n, mf, dspMdctFwdGetSize_32f, dspMdctFwdInit_32f);
    ASSERT_EQ(dspMdctInv_32f(coef.data(), out_t.data(), inv, mi.work.data()), 0);
    ASSERT_EQ(dspMdctFwd_32f(time.data(), out_c.data(), fwd, nullptr), 0);
    const auto ref_t = DirectInverse(coef, n);
    const auto ref_c = DirectForward(time, n);
    double err_t = 0, err_c = 0, full_t = 0, full_c = 0;
    for (int i = 0; i < n; ++i)
      err_t = std::max(err_t, std::abs(ref_t[i] - out_t[i])),
      full_t = std::max(full_t, std::abs(ref_t[i]));
    for (int k = 0; k < n / 2; ++k)
      err_c = std::max(err_c, std::abs(ref_c[k] - out_c[k])),
      full_c = std::max(full_c, std::abs(ref_c[k]));
    std::printf("N=%5d  inverse max error %.3g of full scale, forward %.3g\n", n, err_t / full_t,
                err_c / full_c);
    EXPECT_LT(err_t / full_t, 2e-6) << n;
    EXPECT_LT(err_c / full_c, 2e-6) << n;
  }
}

TEST(Mdct, UnitCoefficientAndErrors) {
  Mem m;
  auto* inv = MakeMdct<DspMdctInvSpec_32f>(256, m, dspMdctInvGetSize_32f, dspMdctInvInit_32f);
  std::vector<float> x(128, 0.0f), y(256);
  x[0] = 1.0f;
  ASSERT_EQ(dspMdctInv_32f(x.data(), y.data(), inv, m.work.data()), 0);
  for (int i = 0; i < 256; ++i) {
    EXPECT_NEAR(y[i], 2.0 / 256 * std::cos(2.0 * M_PI / 256 * (i + 64.5) * 0.5), 1e-8) << i;
  }
  int32_t s, i, w;
  for (int bad : {1920, 960, 16, 0, 240, -256}) {
    EXPECT_EQ(dspMdctInvGetSize_32f(bad, &s, &i, &w), dspStsSizeErr) << bad;
    EXPECT_EQ(dspMdctFwdGetSize_32f(bad, &s, &i, &w), dspStsSizeErr) << bad;
  }
  EXPECT_EQ(dspMdctInvGetSize_32f(2048, nullptr, &i, &w), dspStsNullPtrErr);
  Mem mf;
  auto* fwd = MakeMdct<DspMdctFwdSpec_32f>(256, mf, dspMdctFwdGetSize_32f, dspMdctFwdInit_32f);
  std::vector<float> before = y;
  EXPECT_EQ(
      dspMdctInv_32f(x.data(), y.data(), reinterpret_cast<const DspMdctInvSpec_32f*>(fwd), nullptr),
      dspStsContextMatchErr);
  EXPECT_EQ(y, before);  // nothing written
  EXPECT_EQ(dspMdctInv_32f(nullptr, y.data(), inv, nullptr), dspStsNullPtrErr);
  EXPECT_EQ(dspMdctInv_32f(x.data(), y.data(), nullptr, nullptr), dspStsNullPtrErr);
  DspMdctInvSpec_32f* out = nullptr;
  EXPECT_EQ(dspMdctInvInit_32f(&out, 256, m.spec.data(), nullptr), dspStsNullPtrErr);
}

TEST(FftKernels, VectorisedPassesMatchReference) {
  __builtin_cpu_init();
  const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  for (int order = 0; order <= 12; ++order) {
    const int len = 1 << order;
    Mem m;
    auto* spec = MakeFft(order, 8, m);
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    std::vector<Dsp32fc> x(len);
    for (auto& v : x) v = Dsp32fc{d(rng), d(rng)};
    auto ref = x, sse = x, av = x;
    dsp_generic::FftPasses(spec, ref.data());
    dsp_sse2::FftPasses(spec, sse.data());
    if (avx2) dsp_avx2::FftPasses(spec, av.data());
    double e1 = 0, e2 = 0;
    for (int k = 0; k < len; ++k) {
      e1 = std::max<double>(e1, std::hypot(ref[k].re - sse[k].re, ref[k].im - sse[k].im));
      if (avx2) e2 = std::max<double>(e2, std::hypot(ref[k].re - av[k].re, ref[k].im - av[k].im));
    }
    // Single-precision rounding: a few ulps of the output magnitude
    // (about sqrt(len)), growing with the number of stages.
    const double tol = 4e-7 * std::sqrt(double(len)) * (order + 1);
    EXPECT_LE(e1, tol) << "sse2 order " << order;
    EXPECT_LE(e2, tol) << "avx2 order " << order;
  }
}

}  // namespace
