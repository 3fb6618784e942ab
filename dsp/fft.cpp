// Complex FFT: context layout and building, entry points, and the reference
// radix-2 implementation.
#include <cmath>
#include <cstring>

#include "dsp/dsp_kernels.h"
#include "dsp/fft_impl.h"

namespace {

constexpr int64_t Align32(int64_t n) {
  return (n + 31) & ~int64_t{31};
}

constexpr int64_t kHeaderBytes = Align32(sizeof(DspFftSpec_C_32fc));
static_assert(kHeaderBytes + 31 <= 116, "orders <= 5 keep only the header");

// Byte offsets from the aligned context start, and the sizes get-size
// reports (alignment slack included).
struct Layout {
  int64_t spec = 0, work = 0;
  int64_t bitrev = 0, twiddle = 0, large = 0;
};

// Largest quarter-span whose pass table an order needs: the radix-4 passes
// go up to L/4, an odd order's final radix-2 pass reads the table of L/2.
int64_t LargestPassSpan(int32_t order) {
  return int64_t{1} << (order % 2 == 0 ? order - 2 : order - 1);
}

Layout LayoutFor(int32_t order) {
  const int64_t len = int64_t{1} << order;
  Layout l;
  if (order <= 5) {
    l.spec = 116;  // header only: built-in tables
  } else if (order <= kFftMaxTableOrder) {
    // L/4 bit-reversal entries.  The size rule also reserves 8L bytes for
    // per-context twiddles, which the built-in tables make unnecessary.
    l.bitrev = kHeaderBytes;
    l.spec = ((8 * len + 39) & ~int64_t{31}) + ((len + 35) & ~int64_t{31}) + 128;
  } else {
    l.bitrev = kHeaderBytes;
    l.twiddle = l.bitrev + Align32(4 * (len / 4));
    l.large = l.twiddle + Align32(8 * (len / 2));
    l.spec = 32 + l.large + Align32(4 * FftLargePassFloats(LargestPassSpan(order)));
    l.work = 32 + 8 * len;  // staging copy for in-place calls
  }
  return l;
}

int32_t CheckOrderFlag(int32_t order, int32_t flag) {
  if (order < 0 || order > 30) return dspStsFftOrderErr;
  if (flag != 1 && flag != 2 && flag != 4 && flag != 8) return dspStsFftFlagErr;
  if (order > kFftMaxOrder) return dspStsSizeErr;
  return dspStsNoErr;
}

const int32_t* SmallBitrev(int32_t order) {
  return order >= 2 ? kFftSmallBitrev.data() + (1 << (order - 2)) - 1 : nullptr;
}

// Conjugates (inverse) and scales the output in one sweep.
void Finish(Dsp32fc* d, int32_t len, bool conj, bool scaled, float scale) {
  if (!conj && !scaled) return;
  const float sr = scaled ? scale : 1.0f;
  const float si = conj ? -sr : sr;
  for (int32_t i = 0; i < len; ++i) {
    d[i].re *= sr;
    d[i].im *= si;
  }
}

int32_t Run(const Dsp32fc* src, Dsp32fc* dst, const DspFftSpec_C_32fc* spec, uint8_t* work,
            bool inverse) {
  if (!src || !dst || !spec) return dspStsNullPtrErr;
  // The order is re-checked so that a damaged context cannot drive the
  // passes outside the caller's buffers.
  if (spec->tag != kFftTag || spec->order < 0 || spec->order > kFftMaxOrder) {
    return dspStsContextMatchErr;
  }
  const int32_t len = 1 << spec->order;
  alignas(32) Dsp32fc stage[1 << kFftMaxTableOrder];
  uint8_t* own = nullptr;
  if (src == dst) {  // the gather needs a separate source
    Dsp32fc* copy = stage;
    if (spec->order > kFftMaxTableOrder) {
      if (!work) {
        own = static_cast<uint8_t*>(dspMalloc(spec->work_size));
        if (!own) return dspStsMemAllocErr;
        work = own;
      }
      copy = dspAlignPtr<Dsp32fc>(work, 32);
    }
    std::memcpy(copy, src, sizeof(Dsp32fc) * len);
    src = copy;
  }
  DspActiveKernels().transform.FftCore(spec, src, dst, inverse);  // inverse: conj(DFT(conj(x)))
  Finish(dst, len, inverse, inverse ? spec->inv_scaled : spec->fwd_scaled, spec->scale);
  dspFree(own);
  return dspStsNoErr;
}

}  // namespace

namespace dsp_generic {

void FftCore(const DspFftSpec_C_32fc* spec, const Dsp32fc* src, Dsp32fc* dst, bool conj_in) {
  const int32_t len = 1 << spec->order;
  const float sign = conj_in ? -1.0f : 1.0f;
  if (spec->order < 2) {
    for (int32_t i = 0; i < len; ++i) dst[i] = Dsp32fc{src[i].re, sign * src[i].im};
  } else {
    static constexpr int32_t kRev2[4] = {0, 2, 1, 3};
    const int32_t quarter = len / 4;
    for (int32_t i = 0; i < len; ++i) {
      const Dsp32fc v = src[spec->bitrev[i >> 2] + kRev2[i & 3] * quarter];
      dst[i] = Dsp32fc{v.re, sign * v.im};
    }
  }
  FftPasses(spec, dst);
}

// Textbook decimation-in-time radix-2 butterflies.
void FftPasses(const DspFftSpec_C_32fc* spec, Dsp32fc* data) {
  const int32_t len = 1 << spec->order;
  const float* tw = spec->twiddle;
  for (int32_t h = 1; h < len; h <<= 1) {
    const int32_t step = 2 * (len / (2 * h)) * spec->tw_stride;  // floats per j
    for (int32_t k = 0; k < len; k += 2 * h) {
      for (int32_t j = 0; j < h; ++j) {
        const float wr = tw[j * step], wi = tw[j * step + 1];
        Dsp32fc& a = data[k + j];
        Dsp32fc& b = data[k + j + h];
        const float tr = b.re * wr - b.im * wi, ti = b.re * wi + b.im * wr;
        b.re = a.re - tr;
        b.im = a.im - ti;
        a.re += tr;
        a.im += ti;
      }
    }
  }
}

}  // namespace dsp_generic

int32_t dspFftGetSize_C_32fc(int32_t order, int32_t flag, int32_t* spec_size, int32_t* init_size,
                             int32_t* work_size) {
  if (!spec_size || !init_size || !work_size) return dspStsNullPtrErr;
  if (const int32_t st = CheckOrderFlag(order, flag)) return st;
  const Layout l = LayoutFor(order);
  *spec_size = static_cast<int32_t>(l.spec);
  *init_size = 0;  // tables are computed straight into the context
  *work_size = static_cast<int32_t>(l.work);
  return dspStsNoErr;
}

int32_t dspFftInit_C_32fc(DspFftSpec_C_32fc** out, int32_t order, int32_t flag, int32_t hint,
                          uint8_t* memory, uint8_t* /*init*/) {
  if (!out || !memory) return dspStsNullPtrErr;
  if (const int32_t st = CheckOrderFlag(order, flag)) return st;
  const int32_t len = 1 << order;
  const Layout l = LayoutFor(order);
  uint8_t* base = dspAlignPtr<uint8_t>(memory, 32);
  auto* spec = reinterpret_cast<DspFftSpec_C_32fc*>(base);
  std::memset(spec, 0, sizeof(*spec));
  if (order <= 5) {
    spec->bitrev = SmallBitrev(order);
  } else {
    auto* rev = reinterpret_cast<int32_t*>(base + l.bitrev);
    FftFillBitrev(rev, order - 2);
    spec->bitrev = rev;
  }
  if (order <= kFftMaxTableOrder) {
    spec->twiddle = kFftTwiddle1024.data();
    spec->tw_stride = order > 0 ? (1 << kFftMaxTableOrder) / len : 1;
  } else {
    auto* tw = reinterpret_cast<float*>(base + l.twiddle);
    for (int32_t j = 0; j < len / 2; ++j) {
      const FftCosSin w = FftTurn(j, len);
      tw[2 * j] = static_cast<float>(w.c);
      tw[2 * j + 1] = static_cast<float>(-w.s);
    }
    auto* large = reinterpret_cast<float*>(base + l.large);
    for (int64_t s = 1024; s <= LargestPassSpan(order); s *= 4) {
      FftFillPassTable(large + 4 * (s - 1024), s);
    }
    spec->twiddle = tw;
    spec->large_pass_tw = large;
    spec->tw_stride = 1;
  }
  spec->tag = kFftTag;
  spec->order = order;
  spec->hint = hint;
  spec->fwd_scaled = flag == dspFftDivFwdByN || flag == dspFftDivBySqrtN;
  spec->inv_scaled = flag == dspFftDivInvByN || flag == dspFftDivBySqrtN;
  spec->scale = flag == dspFftDivBySqrtN
                    ? static_cast<float>(1.0 / std::sqrt(static_cast<double>(len)))
                    : static_cast<float>(1.0 / len);
  spec->work_size = static_cast<int32_t>(l.work);
  *out = spec;
  return dspStsNoErr;
}

int32_t dspFftFwd_CToC_32fc(const Dsp32fc* src, Dsp32fc* dst, const DspFftSpec_C_32fc* spec,
                            uint8_t* work) {
  return Run(src, dst, spec, work, false);
}

int32_t dspFftInv_CToC_32fc(const Dsp32fc* src, Dsp32fc* dst, const DspFftSpec_C_32fc* spec,
                            uint8_t* work) {
  return Run(src, dst, spec, work, true);
}
