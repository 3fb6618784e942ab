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

#include "common/kernels.h"
#include "dsp/fft_impl.h"
#include "dsp/fft_mixed.h"

namespace {

using Cd = std::complex<double>;

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

// Largest error against `ref` times `scale`, relative to the RMS output
// magnitude; single precision with a logarithmic growth over the stages.
double RelativeError(const std::vector<Cd>& ref, const std::vector<Dsp32fc>& y, double scale) {
  double err = 0.0;
  for (size_t k = 0; k < ref.size(); ++k) {
    err = std::max(err, std::abs(ref[k] * scale - Cd(y[k].re, y[k].im)));
  }
  return err / (std::sqrt(double(ref.size())) * scale);
}

// The public entry points (with the selected kernels) in every
// normalisation, and the core of every kernel table, against a direct DFT.
TEST(Fft, MatchesDirectDftForEveryOrderNormalisationAndImplementation) {
  std::mt19937 rng(1);
  std::vector<const DspKernels*> tables = VectorisedKernels();
  tables.insert(tables.begin(), &GenericKernels());
  for (int order = 0; order <= 12; ++order) {
    const int len = 1 << order;
    const auto x = RandomSignal(len, rng);
    for (bool inverse : {false, true}) {
      const auto ref = Dft(x, inverse);
      for (int flag : {1, 2, 4, 8}) {
        FftContext c(order, flag);
        std::vector<Dsp32fc> y(len);
        const int32_t st = inverse ? dspFftInv_CToC_32fc(x.data(), y.data(), c.spec, c.work.data())
                                   : dspFftFwd_CToC_32fc(x.data(), y.data(), c.spec, c.work.data());
        ASSERT_EQ(st, dspStsNoErr);
        EXPECT_LT(RelativeError(ref, y, Scale(flag, inverse, len)), 1e-6 * (order + 1))
            << "order " << order << " flag " << flag << " inverse " << inverse;
      }
      FftContext c(order, dspFftNoReNorm);
      for (const DspKernels* k : tables) {
        std::vector<Dsp32fc> y(len);
        k->transform.FftCore(c.spec, x.data(), y.data(), inverse);  // DFT of conj(x)
        if (inverse) {
          for (auto& v : y) v.im = -v.im;
        }
        EXPECT_LT(RelativeError(ref, y, 1.0), 1e-6 * (order + 1))
            << "order " << order << " inverse " << inverse << " " << dspIsaName(k->isa);
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
  for (int order = 0; order <= 13; ++order) {
    const int len = 1 << order;
    FftContext c(order, dspFftNoReNorm);
    for (bool conj : {false, true}) {
      const auto x = RandomSignal(len, rng);
      std::vector<Dsp32fc> ref(len);
      dsp_generic::FftCore(c.spec, x.data(), ref.data(), conj);
      for (const DspKernels* k : VectorisedKernels()) {
        std::vector<Dsp32fc> got(len);
        k->transform.FftCore(c.spec, x.data(), got.data(), conj);
        double err = 0.0;
        for (int i = 0; i < len; ++i) {
          err = std::max<double>(err, std::hypot(ref[i].re - got[i].re, ref[i].im - got[i].im));
        }
        // Both sides carry single-precision rounding of outputs whose RMS is
        // sqrt(len): allow 1e-6 of that per stage.
        EXPECT_LE(err, 1e-6 * std::sqrt(double(len)) * (order + 1))
            << dspIsaName(k->isa) << " order " << order;
      }
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

// The vectorised mixed-radix kernels against the reference on the same
// context: lengths whose stages all vectorise (60, 480, 1920) and lengths
// with stages of spans the vector does not divide (reference stages in
// between).
TEST(MixedFft, VectorisedMatchesReference) {
  std::mt19937 rng(12);
  for (const DspKernels* k : VectorisedKernels()) {
    EXPECT_NE(k->transform.MixedFftCore, GenericKernels().transform.MixedFftCore)
        << dspIsaName(k->isa);
    for (int len : {6, 15, 24, 45, 60, 96, 120, 240, 480, 1920, 3000}) {
      std::vector<uint8_t> memory(static_cast<size_t>(MixedFftBytes(len)));
      const MixedFft* f = MixedFftInit(memory.data(), len);
      ASSERT_NE(f, nullptr) << len;
      const auto x = RandomSignal(len, rng);
      std::vector<Dsp32fc> ref(len), y(len);
      MixedFftForward(f, x.data(), ref.data());
      k->transform.MixedFftCore(f, x.data(), y.data());
      double err = 0.0, full = 0.0;
      for (int m = 0; m < len; ++m) {
        err = std::max<double>(err, std::hypot(ref[m].re - y[m].re, ref[m].im - y[m].im));
        full = std::max<double>(full, std::hypot(ref[m].re, ref[m].im));
      }
      EXPECT_LT(err / full, 2e-7) << dspIsaName(k->isa) << " " << len;
    }
  }
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
