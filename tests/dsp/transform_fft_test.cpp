// Complex FFT: every order and normalisation against a direct DFT, the
// vectorised kernels against the reference, contexts staying inside their
// reported sizes, and the errors.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "dsp/dsp_dispatch.h"
#include "dsp/fft_impl.h"
#include "dsp/fft_mixed.h"

namespace {

using Cd = std::complex<double>;

bool HaveAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

std::vector<Dsp32fc> RandomSignal(int len, std::mt19937& rng) {
  std::normal_distribution<float> d(0.0f, 1.0f);
  std::vector<Dsp32fc> x(len);
  for (auto& v : x) v = Dsp32fc{d(rng), d(rng)};
  return x;
}

std::vector<Cd> Dft(const std::vector<Dsp32fc>& x, bool inverse) {
  const int len = static_cast<int>(x.size());
  std::vector<Cd> y(len);
  for (int k = 0; k < len; ++k) {
    Cd acc = 0.0;
    for (int l = 0; l < len; ++l) {
      // exact index reduction keeps the reference itself accurate
      const double a = 2.0 * M_PI * static_cast<double>((int64_t{l} * k) % len) / len;
      acc += Cd(x[l].re, x[l].im) * std::polar(1.0, inverse ? a : -a);
    }
    y[k] = acc;
  }
  return y;
}

// A context in its own memory, deliberately misaligned, with a guard area
// after the reported size.
struct FftContext {
  static constexpr int kGuard = 64;
  std::vector<uint8_t> memory, work;
  DspFftSpec_C_32fc* spec = nullptr;
  FftContext(int order, int flag) {
    int32_t s = 0, i = 0, w = 0;
    EXPECT_EQ(dspFftGetSize_C_32fc(order, flag, &s, &i, &w), dspStsNoErr);
    memory.assign(s + 1 + kGuard, 0xA5);
    work.assign(w + 1, 0);
    std::vector<uint8_t> init(i + 1);
    EXPECT_EQ(dspFftInit_C_32fc(&spec, order, flag, 7, memory.data() + 1, init.data()),
              dspStsNoErr);
    for (int g = 0; g < kGuard; ++g) EXPECT_EQ(memory[s + 1 + g], 0xA5) << "order " << order;
  }
};

double Scale(int flag, bool inverse, int len) {
  if (flag == dspFftDivBySqrtN) return 1.0 / std::sqrt(double(len));
  if ((flag == dspFftDivFwdByN && !inverse) || (flag == dspFftDivInvByN && inverse)) {
    return 1.0 / len;
  }
  return 1.0;
}

// Routes the public entry points to one implementation (0 generic, 1 SSE2,
// 2 AVX2) for the lifetime of the object.
class ForceImplementation {
 public:
  explicit ForceImplementation(int impl) : saved_(dspGetCpuClass()) {
    dspForceCpuClass(impl == 0 ? 0 : 1);
    dsp_detail::ApplyAvx2(impl == 2);
  }
  ~ForceImplementation() {
    dspForceCpuClass(saved_);
    dsp_detail::ApplyAvx2(dspHasAvx2());
  }

 private:
  int32_t saved_;
};

TEST(Fft, MatchesDirectDftForEveryOrderNormalisationAndImplementation) {
  std::mt19937 rng(1);
  for (int order = 0; order <= 12; ++order) {
    const int len = 1 << order;
    const auto x = RandomSignal(len, rng);
    for (bool inverse : {false, true}) {
      const auto ref = Dft(x, inverse);
      for (int combo = 0; combo < 12; ++combo) {
        const int flag = 1 << (combo % 4), impl = combo / 4;
        if (impl == 2 && !HaveAvx2()) continue;
        ForceImplementation force(impl);
        FftContext c(order, flag);
        std::vector<Dsp32fc> y(len);
        const int32_t st = inverse ? dspFftInv_CToC_32fc(x.data(), y.data(), c.spec, c.work.data())
                                   : dspFftFwd_CToC_32fc(x.data(), y.data(), c.spec, c.work.data());
        ASSERT_EQ(st, dspStsNoErr);
        const double scale = Scale(flag, inverse, len);
        double err = 0.0;
        for (int k = 0; k < len; ++k)
          err = std::max(err, std::abs(ref[k] * scale - Cd(y[k].re, y[k].im)));
        // Relative to the RMS output magnitude; single precision with a
        // logarithmic growth over the stages.
        const double rel = err / (std::sqrt(double(len)) * scale);
        EXPECT_LT(rel, 1e-6 * (order + 1))
            << "order " << order << " flag " << flag << " inverse " << inverse << " impl " << impl;
      }
    }
  }
}

TEST(Fft, InPlaceAndWithoutWorkBufferEqualOutOfPlace) {
  std::mt19937 rng(2);
  for (int order : {0, 3, 5, 6, 9, 11, 12}) {
    const int len = 1 << order;
    const auto x = RandomSignal(len, rng);
    FftContext c(order, dspFftDivInvByN);
    std::vector<Dsp32fc> ref(len), y = x, z = x;
    ASSERT_EQ(dspFftInv_CToC_32fc(x.data(), ref.data(), c.spec, c.work.data()), dspStsNoErr);
    ASSERT_EQ(dspFftInv_CToC_32fc(y.data(), y.data(), c.spec, c.work.data()), dspStsNoErr);
    ASSERT_EQ(dspFftInv_CToC_32fc(z.data(), z.data(), c.spec, nullptr), dspStsNoErr);
    EXPECT_EQ(0, std::memcmp(ref.data(), y.data(), sizeof(Dsp32fc) * len)) << order;
    EXPECT_EQ(0, std::memcmp(ref.data(), z.data(), sizeof(Dsp32fc) * len)) << order;
  }
}

// Every vectorised kernel against the reference, on random data, for every
// order the decoder and the QMF banks could ask for and beyond.
TEST(Fft, VectorisedKernelsMatchReference) {
  std::mt19937 rng(3);
  const bool avx2 = HaveAvx2();
  for (int order = 0; order <= 13; ++order) {
    const int len = 1 << order;
    FftContext c(order, dspFftNoReNorm);
    for (bool conj : {false, true}) {
      const auto x = RandomSignal(len, rng);
      std::vector<Dsp32fc> ref(len), sse(len), av(len);
      dsp_generic::FftCore(c.spec, x.data(), ref.data(), conj);
      dsp_sse2::FftCore(c.spec, x.data(), sse.data(), conj);
      if (avx2) dsp_avx2::FftCore(c.spec, x.data(), av.data(), conj);
      double e_sse = 0.0, e_avx = 0.0;
      for (int k = 0; k < len; ++k) {
        e_sse = std::max<double>(e_sse, std::hypot(ref[k].re - sse[k].re, ref[k].im - sse[k].im));
        if (avx2)
          e_avx = std::max<double>(e_avx, std::hypot(ref[k].re - av[k].re, ref[k].im - av[k].im));
      }
      // Both sides carry single-precision rounding of outputs whose RMS is
      // sqrt(len): allow 1e-6 of that per stage.
      const double tol = 1e-6 * std::sqrt(double(len)) * (order + 1);
      EXPECT_LE(e_sse, tol) << "sse2 order " << order;
      EXPECT_LE(e_avx, tol) << "avx2 order " << order;
    }
  }
}

// The compile-time series must give correctly rounded twiddles.
TEST(Fft, BuiltInTwiddlesAreCorrectlyRounded) {
  double worst = 0.0;
  for (int j = 0; j < 512; ++j) {
    const double a = 2.0 * M_PI * j / 1024;
    worst = std::max(worst, std::abs(kFftTwiddle1024[2 * j] - std::cos(a)));
    worst = std::max(worst, std::abs(kFftTwiddle1024[2 * j + 1] + std::sin(a)));
  }
  for (int s = 4; s <= 256; s *= 4) {
    const float* re = kFftPassTwiddles.data() + 4 * (s - 4);  // W_4s^j, W_4s^2j, W_4s^3j
    for (int mj = 0; mj < 3 * s; ++mj) {
      const int m = 1 + mj / s, j = mj % s;
      const double a = 2.0 * M_PI * m * j / (4.0 * s);
      worst = std::max(worst, std::abs(re[4 * (m - 1) * s + 2 * j] - std::cos(a)));
      worst = std::max(worst, std::abs(re[4 * (m - 1) * s + 2 * s + 2 * j + 1] + std::sin(a)));
    }
  }
  EXPECT_LE(worst, std::ldexp(1.0, -25));  // half an ulp of values below 1
}

// Mixed radix (the 480- and 60-point transforms inside the MDCTs of
// 960-sample frames, and every radix combination around them) against the
// direct DFT, with the memory staying inside the reported size.
TEST(MixedFft, MatchesDirectDft) {
  std::mt19937 rng(11);
  for (int len : {3, 5, 6, 10, 12, 15, 20, 30, 45, 60, 75, 120, 240, 480, 960, 1920, 3000}) {
    ASSERT_TRUE(MixedFftLength(len)) << len;
    const int64_t bytes = MixedFftBytes(len);
    std::vector<uint8_t> memory(static_cast<size_t>(bytes) + 1 + 64, 0xA5);
    const MixedFft* f = MixedFftInit(memory.data() + 1, len);
    ASSERT_NE(f, nullptr) << len;
    for (int g = 0; g < 64; ++g) ASSERT_EQ(memory[bytes + 1 + g], 0xA5) << len;
    const auto x = RandomSignal(len, rng);
    std::vector<Dsp32fc> y(len);
    MixedFftForward(f, x.data(), y.data());
    const auto ref = Dft(x, false);
    double err = 0.0, full = 0.0;
    for (int k = 0; k < len; ++k) {
      err = std::max(err, std::abs(ref[k] - Cd(y[k].re, y[k].im)));
      full = std::max(full, std::abs(ref[k]));
    }
    EXPECT_LT(err / full, 1e-6) << len;
  }
  for (int len : {0, 1, 2, 64, 7, 21, 1 << 17, -15}) EXPECT_FALSE(MixedFftLength(len)) << len;
  EXPECT_EQ(MixedFftInit(std::vector<uint8_t>(256).data(), 14), nullptr);
}

TEST(Fft, Errors) {
  int32_t s, i, w;
  EXPECT_EQ(dspFftGetSize_C_32fc(31, 8, &s, &i, &w), dspStsFftOrderErr);
  EXPECT_EQ(dspFftGetSize_C_32fc(-1, 8, &s, &i, &w), dspStsFftOrderErr);
  EXPECT_EQ(dspFftGetSize_C_32fc(5, 3, &s, &i, &w), dspStsFftFlagErr);
  EXPECT_EQ(dspFftGetSize_C_32fc(5, 0, &s, &i, &w), dspStsFftFlagErr);
  EXPECT_EQ(dspFftGetSize_C_32fc(5, 8, nullptr, &i, &w), dspStsNullPtrErr);
  EXPECT_EQ(dspFftGetSize_C_32fc(5, 8, &s, &i, nullptr), dspStsNullPtrErr);
  // Valid orders whose context sizes do not fit 32 bits.
  EXPECT_EQ(dspFftGetSize_C_32fc(30, 8, &s, &i, &w), dspStsSizeErr);

  std::vector<uint8_t> mem(256);
  DspFftSpec_C_32fc* spec = nullptr;
  EXPECT_EQ(dspFftInit_C_32fc(nullptr, 4, 8, 0, mem.data(), nullptr), dspStsNullPtrErr);
  EXPECT_EQ(dspFftInit_C_32fc(&spec, 4, 8, 0, nullptr, nullptr), dspStsNullPtrErr);
  EXPECT_EQ(dspFftInit_C_32fc(&spec, 4, 16, 0, mem.data(), nullptr), dspStsFftFlagErr);
  EXPECT_EQ(spec, nullptr);

  std::vector<Dsp32fc> x(16, Dsp32fc{1.0f, 0.0f}), y(16, Dsp32fc{5.0f, 5.0f});
  const auto before = y;
  // Memory that never saw an init has no FFT tag.
  const auto* junk = reinterpret_cast<const DspFftSpec_C_32fc*>(mem.data());
  EXPECT_EQ(dspFftFwd_CToC_32fc(x.data(), y.data(), junk, nullptr), dspStsContextMatchErr);
  FftContext c(4, 8);
  EXPECT_EQ(dspFftFwd_CToC_32fc(nullptr, y.data(), c.spec, nullptr), dspStsNullPtrErr);
  EXPECT_EQ(dspFftInv_CToC_32fc(x.data(), nullptr, c.spec, nullptr), dspStsNullPtrErr);
  EXPECT_EQ(dspFftInv_CToC_32fc(x.data(), y.data(), nullptr, nullptr), dspStsNullPtrErr);
  EXPECT_EQ(0, std::memcmp(before.data(), y.data(), sizeof(Dsp32fc) * 16));
}

TEST(Fft, InPlaceLargeOrderReportsAllocationFailure) {
  FftContext c(11, 8);
  std::vector<Dsp32fc> x(2048, Dsp32fc{1.0f, 2.0f});
  const auto before = x;
  DspMemoryHooks saved, failing;
  dspGetMemoryHooks(&saved);
  failing = saved;
  failing.alloc = [](size_t) -> void* { return nullptr; };
  dspSetMemoryHooks(&failing);
  const int32_t st = dspFftFwd_CToC_32fc(x.data(), x.data(), c.spec, nullptr);
  dspSetMemoryHooks(&saved);
  EXPECT_EQ(st, dspStsMemAllocErr);
  EXPECT_EQ(0, std::memcmp(before.data(), x.data(), sizeof(Dsp32fc) * 2048));
}

}  // namespace
