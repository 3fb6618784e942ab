// Inverse and forward MDCT against double-precision evaluation of their
// definitions for every implementation, perfect reconstruction, contexts
// staying inside their reported sizes, and the errors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "common/kernels.h"
#include "dsp/mdct_impl.h"

namespace {

using CoreFn = void (*)(const MdctSpec*, const float*, float*, Dsp32fc*);
using OverlapFn = void (*)(const MdctSpec*, const float*, const MdctOverlap&, Dsp32fc*);
struct Impl {
  const char* name;
  CoreFn inv, fwd;
  OverlapFn overlap;
};

// Generic first, then every vectorised table this processor runs.
std::vector<Impl> Implementations() {
  std::vector<Impl> v = {{"generic", dsp_generic::MdctInvCore, dsp_generic::MdctFwdCore,
                          dsp_generic::MdctInvOverlapCore}};
  for (const DspKernels* k : VectorisedKernels()) {
    v.push_back({dspIsaName(k->isa), k->transform.MdctInvCore, k->transform.MdctFwdCore,
                 k->transform.MdctInvOverlapCore});
  }
  return v;
}

// A context in misaligned memory with a guard area after the reported size.
struct Mdct {
  static constexpr int kGuard = 64;
  std::vector<uint8_t> memory, init, work;
  const MdctSpec* spec = nullptr;
  DspMdctInvSpec_32f* inv = nullptr;
  DspMdctFwdSpec_32f* fwd = nullptr;
  Mdct(int n, bool forward) {
    int32_t s = 0, i = 0, w = 0;
    EXPECT_EQ((forward ? dspMdctFwdGetSize_32f : dspMdctInvGetSize_32f)(n, &s, &i, &w), 0);
    memory.assign(s + 1 + kGuard, 0xA5);
    init.assign(i + 1, 0);
    work.assign(w, 0);
    if (forward) {
      EXPECT_EQ(dspMdctFwdInit_32f(&fwd, n, memory.data() + 1, init.data()), 0);
      spec = reinterpret_cast<const MdctSpec*>(fwd);
    } else {
      EXPECT_EQ(dspMdctInvInit_32f(&inv, n, memory.data() + 1, init.data()), 0);
      spec = reinterpret_cast<const MdctSpec*>(inv);
    }
    for (int g = 0; g < kGuard; ++g) EXPECT_EQ(memory[s + 1 + g], 0xA5) << "N " << n;
  }
  Dsp32fc* Work() { return dspAlignPtr<Dsp32fc>(work.data(), 32); }
};

double Angle(int n, int i, int k) {
  return 2.0 * M_PI / n * (i + n / 4.0 + 0.5) * (k + 0.5);
}

std::vector<double> DirectInverse(const std::vector<float>& x, int n) {
  std::vector<double> y(n);
  for (int i = 0; i < n; ++i) {
    double acc = 0.0;
    for (int k = 0; k < n / 2; ++k) acc += x[k] * std::cos(Angle(n, i, k));
    y[i] = acc * 2.0 / n;
  }
  return y;
}

std::vector<double> DirectForward(const std::vector<float>& x, int n) {
  std::vector<double> y(n / 2);
  for (int k = 0; k < n / 2; ++k) {
    double acc = 0.0;
    for (int i = 0; i < n; ++i) acc += x[i] * std::cos(Angle(n, i, k));
    y[k] = 2.0 * acc;
  }
  return y;
}

// Maximum error relative to the largest reference value (full scale).
double RelError(const std::vector<double>& ref, const std::vector<float>& out) {
  double err = 0.0, full = 0.0;
  for (size_t i = 0; i < ref.size(); ++i) {
    err = std::max(err, std::abs(ref[i] - out[i]));
    full = std::max(full, std::abs(ref[i]));
  }
  return err / full;
}

const int kLengths[] = {12, 36, 32, 64, 128, 256, 512, 1024, 2048, 4096, 240, 1920};

TEST(Mdct, EveryImplementationMatchesTheDefinitions) {
  std::mt19937 rng(4);
  std::uniform_real_distribution<float> d(-32768.0f, 32767.0f);
  for (int n : kLengths) {
    std::vector<float> coef(n / 2), time(n);
    for (auto& v : coef) v = 16.0f * d(rng);  // spectra run larger than PCM
    for (auto& v : time) v = d(rng);
    const auto ref_t = DirectInverse(coef, n);
    const auto ref_c = DirectForward(time, n);
    Mdct mi(n, false), mf(n, true);
    for (const Impl& impl : Implementations()) {
      std::vector<float> out_t(n), out_c(n / 2);
      impl.inv(mi.spec, coef.data(), out_t.data(), mi.Work());
      impl.fwd(mf.spec, time.data(), out_c.data(), mf.Work());
      const double et = RelError(ref_t, out_t), ec = RelError(ref_c, out_c);
      std::printf("N=%5d %-8s inverse max error %.2e of full scale, forward %.2e\n", n, impl.name,
                  et, ec);
      EXPECT_LT(et, 1e-6) << impl.name << " N " << n;
      EXPECT_LT(ec, 1e-6) << impl.name << " N " << n;
    }
  }
}

// Vectorised kernels against the reference on the same context (identical
// twiddles): they differ only by float rounding in another order of
// operations.
TEST(Mdct, VectorisedKernelsMatchReference) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  const auto impls = Implementations();
  for (int n : kLengths) {
    std::vector<float> coef(n / 2), time(n);
    for (auto& v : coef) v = d(rng);
    for (auto& v : time) v = d(rng);
    Mdct mi(n, false), mf(n, true);
    std::vector<float> ref_t(n), ref_c(n / 2);
    dsp_generic::MdctInvCore(mi.spec, coef.data(), ref_t.data(), mi.Work());
    dsp_generic::MdctFwdCore(mf.spec, time.data(), ref_c.data(), mf.Work());
    std::vector<double> rt(ref_t.begin(), ref_t.end()), rc(ref_c.begin(), ref_c.end());
    for (size_t i = 1; i < impls.size(); ++i) {
      std::vector<float> out_t(n), out_c(n / 2);
      impls[i].inv(mi.spec, coef.data(), out_t.data(), mi.Work());
      impls[i].fwd(mf.spec, time.data(), out_c.data(), mf.Work());
      // Tolerance: 5e-7 of full scale, a few single-precision roundings.
      EXPECT_LT(RelError(rt, out_t), 5e-7) << impls[i].name << " inverse N " << n;
      EXPECT_LT(RelError(rc, out_c), 5e-7) << impls[i].name << " forward N " << n;
    }
  }
}

// The fused window and overlap-add of every implementation equals its own
// inverse transform followed by a multiply and an add per sample, bit for
// bit, also with the overlap updated in place and the output written over
// it (as the decoder calls it).
TEST(Mdct, OverlapKernelsEqualTransformThenWindow) {
  std::mt19937 rng(8);
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  for (int n : kLengths) {
    const int half = n / 2;
    std::vector<float> coef(half), rise(half), fall(half), prev(half);
    for (auto* v : {&coef, &rise, &fall, &prev}) {
      for (auto& x : *v) x = d(rng);
    }
    Mdct mi(n, false);
    for (const Impl& impl : Implementations()) {
      std::vector<float> y(n), want_out(half), want_next(half);
      impl.inv(mi.spec, coef.data(), y.data(), mi.Work());
      for (int i = 0; i < half; ++i) {
        const float p = y[i] * rise[i];
        want_out[i] = p + prev[i];
        want_next[i] = y[half + i] * fall[i];
      }
      std::vector<float> out(half), next(half);
      impl.overlap(mi.spec, coef.data(),
                   {rise.data(), prev.data(), out.data(), fall.data(), next.data()}, mi.Work());
      EXPECT_EQ(out, want_out) << impl.name << " N " << n;
      EXPECT_EQ(next, want_next) << impl.name << " N " << n;
      std::vector<float> shared = prev, in_place = prev;
      impl.overlap(mi.spec, coef.data(),
                   {rise.data(), shared.data(), out.data(), fall.data(), shared.data()}, mi.Work());
      impl.overlap(mi.spec, coef.data(),
                   {rise.data(), in_place.data(), in_place.data(), fall.data(), next.data()},
                   mi.Work());
      EXPECT_EQ(out, want_out) << impl.name << " N " << n << " shared overlap";
      EXPECT_EQ(shared, want_next) << impl.name << " N " << n << " shared overlap";
      EXPECT_EQ(in_place, want_out) << impl.name << " N " << n << " output over the overlap";
    }
  }
}

TEST(Mdct, UnitCoefficientGivesOneCosine) {
  Mdct m(256, false);
  std::vector<float> x(128, 0.0f), y(256);
  x[0] = 1.0f;
  ASSERT_EQ(dspMdctInv_32f(x.data(), y.data(), m.inv, m.work.data()), 0);
  for (int i = 0; i < 256; ++i) {
    EXPECT_NEAR(y[i], 2.0 / 256 * std::cos(2.0 * M_PI / 256 * (i + 64.5) * 0.5), 1e-9) << i;
  }
}

// Sine-windowed forward transforms of overlapping frames, inverse
// transforms, window and overlap-add give the signal back (time-domain
// alias cancellation): the two directions' gains and phases fit together.
TEST(Mdct, WindowedOverlapAddReconstructs) {
  for (int n : {36, 240, 256, 1920, 2048}) {
    const int hop = n / 2, frames = 6;
    std::mt19937 rng(6);
    std::uniform_real_distribution<float> d(-1000.0f, 1000.0f);
    std::vector<float> x((frames + 1) * hop), y((frames + 1) * hop, 0.0f), w(n);
    for (auto& v : x) v = d(rng);
    for (int i = 0; i < n; ++i) w[i] = static_cast<float>(std::sin(M_PI / n * (i + 0.5)));
    Mdct mi(n, false), mf(n, true);
    std::vector<float> frame(n), coef(hop), out(n);
    for (int f = 0; f < frames; ++f) {
      for (int i = 0; i < n; ++i) frame[i] = x[f * hop + i] * w[i];
      ASSERT_EQ(dspMdctFwd_32f(frame.data(), coef.data(), mf.fwd, mf.work.data()), 0);
      ASSERT_EQ(dspMdctInv_32f(coef.data(), out.data(), mi.inv, mi.work.data()), 0);
      for (int i = 0; i < n; ++i) y[f * hop + i] += out[i] * w[i];
    }
    double err = 0.0;  // first and last half frames lack a partner
    for (int i = hop; i < frames * hop; ++i) err = std::max<double>(err, std::abs(y[i] - x[i]));
    EXPECT_LT(err, 1000.0 * 2e-6) << n;
  }
}

TEST(Mdct, NullWorkBufferGivesTheSameResult) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  for (int n : {12, 36, 64, 240, 2048}) {
    std::vector<float> coef(n / 2), time(n);
    for (auto& v : coef) v = d(rng);
    for (auto& v : time) v = d(rng);
    Mdct mi(n, false), mf(n, true);
    std::vector<float> a(n), b(n), c(n / 2), e(n / 2);
    ASSERT_EQ(dspMdctInv_32f(coef.data(), a.data(), mi.inv, mi.work.data()), 0);
    ASSERT_EQ(dspMdctInv_32f(coef.data(), b.data(), mi.inv, nullptr), 0);
    ASSERT_EQ(dspMdctFwd_32f(time.data(), c.data(), mf.fwd, mf.work.data()), 0);
    ASSERT_EQ(dspMdctFwd_32f(time.data(), e.data(), mf.fwd, nullptr), 0);
    EXPECT_EQ(a, b) << n;
    EXPECT_EQ(c, e) << n;
  }
}

TEST(Mdct, Errors) {
  int32_t s, i, w;
  for (int bad : {16, 0, 28, 4 * 21, 4 * 7 * 15, -256, -240, 1 << 30}) {
    EXPECT_EQ(dspMdctInvGetSize_32f(bad, &s, &i, &w), dspStsSizeErr) << bad;
    EXPECT_EQ(dspMdctFwdGetSize_32f(bad, &s, &i, &w), dspStsSizeErr) << bad;
  }
  // Null out-pointers are reported before the length is looked at.
  EXPECT_EQ(dspMdctInvGetSize_32f(28, nullptr, &i, &w), dspStsNullPtrErr);
  EXPECT_EQ(dspMdctFwdGetSize_32f(2048, &s, &i, nullptr), dspStsNullPtrErr);

  std::vector<uint8_t> mem(4096), init(64);
  DspMdctInvSpec_32f* inv = nullptr;
  EXPECT_EQ(dspMdctInvInit_32f(&inv, 28, mem.data(), init.data()), dspStsSizeErr);
  EXPECT_EQ(dspMdctInvInit_32f(nullptr, 256, mem.data(), init.data()), dspStsNullPtrErr);
  EXPECT_EQ(dspMdctInvInit_32f(&inv, 256, nullptr, init.data()), dspStsNullPtrErr);
  EXPECT_EQ(dspMdctInvInit_32f(&inv, 256, mem.data(), nullptr), dspStsNullPtrErr);
  EXPECT_EQ(inv, nullptr);
  EXPECT_EQ(dspMdctInvInit_32f(&inv, 36, mem.data(), nullptr), dspStsNoErr);  // no scratch needed
  EXPECT_EQ(dspMdctInvInit_32f(&inv, 240, mem.data(), nullptr), dspStsNoErr);

  Mdct mi(256, false), mf(256, true);
  std::vector<float> x(256, 1.0f), y(256, 3.0f);
  const auto before = y;
  EXPECT_EQ(dspMdctInv_32f(x.data(), y.data(), reinterpret_cast<const DspMdctInvSpec_32f*>(mf.fwd),
                           nullptr),
            dspStsContextMatchErr);
  EXPECT_EQ(dspMdctFwd_32f(x.data(), y.data(), reinterpret_cast<const DspMdctFwdSpec_32f*>(mi.inv),
                           nullptr),
            dspStsContextMatchErr);
  EXPECT_EQ(dspMdctInv_32f(nullptr, y.data(), mi.inv, nullptr), dspStsNullPtrErr);
  EXPECT_EQ(dspMdctInv_32f(x.data(), nullptr, mi.inv, nullptr), dspStsNullPtrErr);
  EXPECT_EQ(dspMdctInv_32f(x.data(), y.data(), nullptr, nullptr), dspStsNullPtrErr);
  EXPECT_EQ(dspMdctFwd_32f(x.data(), y.data(), nullptr, nullptr), dspStsNullPtrErr);
  EXPECT_EQ(y, before);

  // Without a work buffer under memory exhaustion: -9 and nothing written.
  DspMemoryHooks saved, failing;
  dspGetMemoryHooks(&saved);
  failing = saved;
  failing.alloc = [](size_t) -> void* { return nullptr; };
  dspSetMemoryHooks(&failing);
  const int32_t st = dspMdctInv_32f(x.data(), y.data(), mi.inv, nullptr);
  dspSetMemoryHooks(&saved);
  EXPECT_EQ(st, dspStsMemAllocErr);
  EXPECT_EQ(y, before);
}

}  // namespace
