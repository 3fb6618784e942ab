// MDCT of N samples through a complex FFT of E = N/4 points between a
// pre-twiddle (folding) and a post-twiddle (unfolding); for N = 12 and 36
// the same folding wraps a direct 3- or 9-point DFT, for E = 2^a 3^b 5^c
// (N = 1920, 240 of 960-sample AAC frames) a mixed-radix DFT.  Contexts,
// entry points and the reference implementation.
#include <array>
#include <cmath>
#include <cstring>

#include "dsp/dsp_kernels.h"
#include "dsp/mdct_impl.h"

namespace {

constexpr int64_t kHeaderBytes = 64;  // MdctSpec rounded up to the table alignment
static_assert(sizeof(MdctSpec) <= kHeaderBytes);
static_assert(31 + sizeof(MdctSpec) <= 92, "N = 12, 36: the context holds header and twiddles");

// Bytes of the twiddle arrays (MdctSpec::twiddle).
constexpr int64_t TwiddleBytes(int32_t n) {
  return 4 * int64_t{n};
}
// Bytes of the split tables (power-of-two N), 32-byte multiples.
constexpr int64_t SplitBytes(int32_t n) {
  return 4 * MdctSplitFloats(n);
}

constexpr std::array<float, 18> MakeW9() {
  std::array<float, 18> t{};
  for (int32_t j = 0; j < 9; ++j) {
    const FftCosSin w = FftTurn(j, 9);
    t[2 * j] = static_cast<float>(w.c);
    t[2 * j + 1] = static_cast<float>(-w.s);
  }
  return t;
}
constexpr std::array<float, 18> kW9 = MakeW9();  // W_9^j as (cos, -sin)

bool PowerOfTwoLength(int32_t n) {
  return n >= 32 && (n & (n - 1)) == 0;
}
bool DirectLength(int32_t n) {
  return n == 12 || n == 36;
}
bool MixedLength(int32_t n) {
  return n > 0 && n % 4 == 0 && !DirectLength(n) && MixedFftLength(n / 4);
}
int32_t Log2(int32_t n) {
  return 31 - __builtin_clz(static_cast<uint32_t>(n));
}

struct Sizes {
  int64_t spec, init, work;
};

int32_t SizesFor(int32_t n, Sizes* out) {
  if (DirectLength(n)) {
    *out = Sizes{TwiddleBytes(n) + 92, 0, 4 * int64_t{n} + 64};
    return dspStsNoErr;
  }
  if (MixedLength(n)) {
    *out = Sizes{MixedFftBytes(n / 4) + TwiddleBytes(n) + 92, 0, 4 * int64_t{n} + 64};
    return dspStsNoErr;
  }
  if (!PowerOfTwoLength(n)) return dspStsSizeErr;
  int32_t fs, fi, fw;
  if (const int32_t st = dspFftGetSize_C_32fc(Log2(n / 4), dspFftNoReNorm, &fs, &fi, &fw)) {
    return st;
  }
  *out = Sizes{fs + 32 + TwiddleBytes(n) + SplitBytes(n) + 92, fi, fw + 32 + 4 * int64_t{n} + 64};
  if (out->spec > INT32_MAX || out->work > INT32_MAX) return dspStsSizeErr;
  return dspStsNoErr;
}

int32_t GetSize(int32_t n, int32_t* spec_size, int32_t* init_size, int32_t* work_size) {
  if (!spec_size || !init_size || !work_size) return dspStsNullPtrErr;
  Sizes s;
  if (const int32_t st = SizesFor(n, &s)) return st;
  *spec_size = static_cast<int32_t>(s.spec);
  *init_size = static_cast<int32_t>(s.init);
  *work_size = static_cast<int32_t>(s.work);
  return dspStsNoErr;
}

// One array of n values per twiddle power: entry b + l (block b, lane l)
// holds f(b + kMdctSplitOrder[l]).
template <typename F>
float* FillSplitArray(float* t, int32_t n, F f) {
  for (int32_t b = 0; b < n; b += 8) {
    for (int32_t l = 0; l < 8; ++l) t[b + l] = f(b + kMdctSplitOrder[l]);
  }
  return t + n;
}

// The split tables (mdct_impl.h) for N >= 256.
void FillSplit(float* t, int32_t n, double gain) {
  const int32_t e = n / 4;
  const auto turn = [n](int32_t k) { return FftTurn(8 * int64_t{k} + 1, 8 * int64_t{n}); };
  t = FillSplitArray(t, e, [&](int32_t k) { return static_cast<float>(gain * turn(k).c); });
  t = FillSplitArray(t, e, [&](int32_t k) { return static_cast<float>(gain * turn(k).s); });
  const auto pass = [&t](int32_t s, int32_t radix) {
    for (int32_t m = 1; m < radix; ++m) {
      t = FillSplitArray(
          t, s, [&](int32_t j) { return static_cast<float>(FftTurn(m * j, radix * s).c); });
      t = FillSplitArray(
          t, s, [&](int32_t j) { return static_cast<float>(FftTurn(m * j, radix * s).s); });
    }
  };
  for (int32_t s = 8; s < e; s *= MdctSplitRadix(e, s)) pass(s, MdctSplitRadix(e, s));
}

template <typename Out>
int32_t Init(Out** out, int32_t n, uint8_t* memory, uint8_t* init, bool forward) {
  Sizes sizes;
  if (!DirectLength(n) && !PowerOfTwoLength(n) && !MixedLength(n)) return dspStsSizeErr;
  if (!out || !memory) return dspStsNullPtrErr;
  if (PowerOfTwoLength(n) && !init) return dspStsNullPtrErr;
  if (const int32_t st = SizesFor(n, &sizes)) return st;
  auto* spec = dspAlignPtr<MdctSpec>(memory, 32);
  std::memset(spec, 0, sizeof(*spec));
  // Power-of-two lengths keep the table 32-byte aligned for vector loads.
  uint8_t* p =
      reinterpret_cast<uint8_t*>(spec) + (PowerOfTwoLength(n) ? kHeaderBytes : sizeof(MdctSpec));
  auto* tw = reinterpret_cast<float*>(p);
  float* tw_sin = tw + n / 2;
  const double gain = forward ? std::sqrt(2.0) : 1.0 / std::sqrt(n / 2.0);
  for (int32_t k = 0; k < n / 4; ++k) {
    const FftCosSin w = FftTurn(8 * int64_t{k} + 1, 8 * int64_t{n});
    tw[2 * k] = tw[2 * k + 1] = static_cast<float>(gain * w.c);
    tw_sin[2 * k] = static_cast<float>(gain * w.s);
    tw_sin[2 * k + 1] = -tw_sin[2 * k];
  }
  if (PowerOfTwoLength(n)) {
    auto* split = reinterpret_cast<float*>(p + TwiddleBytes(n));
    if (!forward && n >= kMdctSplitMinN) {
      FillSplit(split, n, gain);
      spec->split = split;
    }
    DspFftSpec_C_32fc* fft = nullptr;
    spec->fft_order = Log2(n / 4);
    const int32_t st = dspFftInit_C_32fc(&fft, spec->fft_order, dspFftNoReNorm, 0,
                                         p + TwiddleBytes(n) + SplitBytes(n), init);
    if (st != dspStsNoErr) return st;
    spec->fft = fft;
  }
  if (MixedLength(n)) {
    spec->mixed = MixedFftInit(p + TwiddleBytes(n), n / 4);
    if (!spec->mixed) return dspStsSizeErr;
  }
  spec->n = n;
  spec->work_size = static_cast<int32_t>(sizes.work);
  spec->twiddle = tw;
  spec->tag = forward ? kMdctFwdTag : kMdctInvTag;
  *out = reinterpret_cast<Out*>(spec);
  return dspStsNoErr;
}

// One transform; with `overlap` (inverse only) its output is windowed and
// overlap-added as the MdctOverlap describes instead of stored at dst.
int32_t Apply(const float* src, float* dst, const MdctSpec* s, uint8_t* work, int32_t tag,
              const MdctOverlap* overlap = nullptr) {
  if (!s) return dspStsNullPtrErr;
  // The transform must be the one the length needs (a mixed-radix context
  // is recognised by its own length, not by factorising N on every call).
  const bool pow2 = PowerOfTwoLength(s->n);
  const bool mixed = !pow2 && s->mixed && s->mixed->len == s->n / 4 && s->n % 4 == 0;
  if (s->tag != tag || (pow2 && !s->fft) || (!pow2 && !mixed && !DirectLength(s->n)) ||
      (!pow2 && s->fft)) {
    return dspStsContextMatchErr;
  }
  if (!src || !dst) return dspStsNullPtrErr;
  uint8_t* own = nullptr;
  if (!work) {
    own = static_cast<uint8_t*>(dspMalloc(s->work_size));
    if (!own) return dspStsMemAllocErr;
    work = own;
  }
  auto* z = dspAlignPtr<Dsp32fc>(work, 32);
  const DspTransformKernels& k = DspActiveKernels().transform;
  if (overlap) {
    k.MdctInvOverlapCore(s, src, *overlap, z);
  } else {
    (tag == kMdctInvTag ? k.MdctInvCore : k.MdctFwdCore)(s, src, dst, z);
  }
  dspFree(own);
  return dspStsNoErr;
}

// Full bit reversal of i over log2(E) bits (E >= 4) from the FFT's table.
int32_t Reverse(const DspFftSpec_C_32fc* fft, int32_t i, int32_t quarter) {
  static constexpr int32_t kRev2[4] = {0, 2, 1, 3};
  return fft->bitrev[i >> 2] + kRev2[i & 3] * quarter;
}

// E-point DFT for E = 3, 9 (double accumulation), out of place.
void SmallDft(const Dsp32fc* z, Dsp32fc* out, int32_t e) {
  const int32_t step = 9 / e;
  for (int32_t m = 0; m < e; ++m) {
    double re = 0.0, im = 0.0;
    for (int32_t l = 0; l < e; ++l) {
      const int32_t j = (l * m % e) * step;
      const double wr = kW9[2 * j], wi = kW9[2 * j + 1];
      re += z[l].re * wr - z[l].im * wi;
      im += z[l].re * wi + z[l].im * wr;
    }
    out[m] = Dsp32fc{static_cast<float>(re), static_cast<float>(im)};
  }
}

// Runs the E-point transform over the pre-twiddled values in z (natural
// order); returns where the result is (natural order).
Dsp32fc* Transform(const MdctSpec* s, Dsp32fc* z, MixedFftFn dft) {
  const int32_t e = s->n / 4;
  if (s->mixed) {
    dft(s->mixed, z, z + e);
    return z + e;
  }
  if (!s->fft) {
    SmallDft(z, z + e, e);
    return z + e;
  }
  // Bit-reversal permutation (an involution) in place, then the passes.
  for (int32_t i = 0; i < e; ++i) {
    const int32_t r = Reverse(s->fft, i, e / 4);
    if (r > i) {
      const Dsp32fc t = z[i];
      z[i] = z[r];
      z[r] = t;
    }
  }
  dsp_generic::FftPasses(s->fft, z);
  return z;
}

}  // namespace

namespace dsp_generic {

namespace {

// Pre-twiddle, transform and post-twiddle of the inverse MDCT; the N
// outputs go to lo(i, v) (i < N/2) and hi(i - N/2, v) (the second half),
// for each k the first half's before the second half's of the same index.
template <typename Lo, typename Hi>
void InvCore(const MdctSpec* s, const float* x, Dsp32fc* z, MixedFftFn dft, Lo lo, Hi hi) {
  const int32_t n = s->n, e = n / 4, h = (e + 1) / 2;
  const float *tc = s->twiddle, *ts = tc + n / 2;
  for (int32_t i = 0; i < e; ++i) {
    const float a = x[2 * i], b = x[n / 2 - 1 - 2 * i];
    const float sn = ts[2 * i], c = tc[2 * i];
    z[i] = Dsp32fc{a * c + b * sn, b * c - a * sn};
  }
  const Dsp32fc* f = Transform(s, z, dft);
  for (int32_t k = 0; k < e; ++k) {
    const float re = f[k].re, im = f[k].im;
    const float sn = ts[2 * k], c = tc[2 * k];
    const float u = re * c + im * sn, v = im * c - re * sn;
    if (k < h) {
      lo(n / 4 + 2 * k, v);
      lo(n / 4 - 1 - 2 * k, -v);
      hi(n / 4 + 2 * k, -u);
      hi(n / 4 - 1 - 2 * k, -u);
    } else {
      lo(2 * k - n / 4, u);
      lo(3 * n / 4 - 1 - 2 * k, -u);
      hi(2 * k - n / 4, v);
      hi(3 * n / 4 - 1 - 2 * k, v);
    }
  }
}

}  // namespace

void MdctInvCore(const MdctSpec* s, const float* x, float* y, Dsp32fc* z, MixedFftFn dft) {
  float* upper = y + s->n / 2;
  InvCore(
      s, x, z, dft, [y](int32_t i, float v) { y[i] = v; },
      [upper](int32_t i, float v) { upper[i] = v; });
}

void MdctInvOverlapCore(const MdctSpec* s, const float* x, const MdctOverlap& o, Dsp32fc* z,
                        MixedFftFn dft) {
  InvCore(
      s, x, z, dft,
      [&o](int32_t i, float v) {
        const float p = v * o.rise[i];
        o.out[i] = p + o.prev[i];
      },
      [&o](int32_t i, float v) { o.next[i] = v * o.fall[i]; });
}

void MdctFwdCore(const MdctSpec* s, const float* x, float* y, Dsp32fc* z, MixedFftFn dft) {
  const int32_t n = s->n, e = n / 4, h = (e + 1) / 2;
  const float *tc = s->twiddle, *ts = tc + n / 2;
  for (int32_t m = 0; m < e; ++m) {
    const float sn = ts[2 * m], c = tc[2 * m];
    if (m < h) {
      const float d = x[n / 4 - 1 - 2 * m] - x[n / 4 + 2 * m];
      const float a = -x[3 * n / 4 + 2 * m] - x[3 * n / 4 - 1 - 2 * m];
      z[m] = Dsp32fc{d * sn + a * c, d * c - a * sn};
    } else {
      const float d = x[2 * m - n / 4] - x[3 * n / 4 - 1 - 2 * m];
      const float a = -x[n / 4 + 2 * m] - x[5 * n / 4 - 1 - 2 * m];
      z[m] = Dsp32fc{d * c + a * sn, a * c - d * sn};
    }
  }
  const Dsp32fc* f = Transform(s, z, dft);
  for (int32_t l = 0; l < e; ++l) {
    const float sn = ts[2 * l], c = tc[2 * l];
    y[2 * l] = f[l].re * c + f[l].im * sn;
    y[n / 2 - 1 - 2 * l] = f[l].re * sn - f[l].im * c;
  }
}

void MdctInvCore(const MdctSpec* s, const float* x, float* y, Dsp32fc* z) {
  MdctInvCore(s, x, y, z, MixedFftForward);
}

void MdctInvOverlapCore(const MdctSpec* s, const float* x, const MdctOverlap& o, Dsp32fc* z) {
  MdctInvOverlapCore(s, x, o, z, MixedFftForward);
}

void MdctFwdCore(const MdctSpec* s, const float* x, float* y, Dsp32fc* z) {
  MdctFwdCore(s, x, y, z, MixedFftForward);
}

}  // namespace dsp_generic

int32_t dspMdctInvGetSize_32f(int32_t n, int32_t* spec_size, int32_t* init_size,
                              int32_t* work_size) {
  return GetSize(n, spec_size, init_size, work_size);
}

int32_t dspMdctFwdGetSize_32f(int32_t n, int32_t* spec_size, int32_t* init_size,
                              int32_t* work_size) {
  return GetSize(n, spec_size, init_size, work_size);
}

int32_t dspMdctInvInit_32f(DspMdctInvSpec_32f** spec, int32_t n, uint8_t* memory, uint8_t* init) {
  return Init(spec, n, memory, init, false);
}

int32_t dspMdctFwdInit_32f(DspMdctFwdSpec_32f** spec, int32_t n, uint8_t* memory, uint8_t* init) {
  return Init(spec, n, memory, init, true);
}

int32_t dspMdctInv_32f(const float* src, float* dst, const DspMdctInvSpec_32f* spec,
                       uint8_t* work) {
  return Apply(src, dst, reinterpret_cast<const MdctSpec*>(spec), work, kMdctInvTag);
}

int32_t dspMdctFwd_32f(const float* src, float* dst, const DspMdctFwdSpec_32f* spec,
                       uint8_t* work) {
  return Apply(src, dst, reinterpret_cast<const MdctSpec*>(spec), work, kMdctFwdTag);
}

int32_t dspMdctInvOverlap_32f(const float* src, const float* rise, const float* prev, float* dst,
                              const float* fall, float* next, const DspMdctInvSpec_32f* spec,
                              uint8_t* work) {
  if (!rise || !prev || !fall || !next) return dspStsNullPtrErr;
  const MdctOverlap o{rise, prev, dst, fall, next};
  return Apply(src, dst, reinterpret_cast<const MdctSpec*>(spec), work, kMdctInvTag, &o);
}
