// Complex FFT: context building, reference radix-2 passes, entry points.
#include <cmath>
#include <cstring>

#include "dsp/dsp_dispatch.h"
#include "dsp/fft_impl.h"

namespace {

using PassesFn = void (*)(const DspFftSpec_C_32fc*, Dsp32fc*);
DspTable<PassesFn> t_passes = DspMakeTable<PassesFn>(dsp_generic::FftPasses, dsp_sse2::FftPasses);
DspAvx2Variant<PassesFn> a_passes(t_passes, dsp_avx2::FftPasses);

constexpr size_t Align32(size_t n) {
  return (n + 31) & ~size_t{31};
}

// Stage half-lengths of the vectorised plan.
int32_t PlanPasses(int32_t order, int32_t h_out[16]) {
  int32_t n = 0, stage = 0;
  if (order >= 2) {
    h_out[n++] = 1;  // radix-4 pass over stages 1 and 2
    stage = 2;
  }
  while (stage < order) {
    h_out[n++] = 1 << stage;
    stage += (stage + 1 < order) ? 2 : 1;
  }
  return n;
}

bool PairPass(int32_t order, int32_t h) {
  return (h << 1) < (1 << order);
}

size_t TwiddleFloats(int32_t order) {
  int32_t hs[16];
  const int32_t np = PlanPasses(order, hs);
  size_t floats = 0;
  for (int32_t p = (order >= 2 ? 1 : 0); p < np; ++p) {
    floats += (PairPass(order, hs[p]) ? 8 : 4) * static_cast<size_t>(hs[p]);
  }
  return floats;
}

size_t SpecBytes(int32_t order) {
  const size_t len = size_t{1} << order;
  return 32 + Align32(sizeof(DspFftSpec_C_32fc)) + Align32(4 * len) + Align32(4 * len) +
         Align32(4 * TwiddleFloats(order));
}

void FillDup(float* re, float* im, int32_t count, int32_t period) {
  for (int32_t j = 0; j < count; ++j) {
    const double a = 2.0 * M_PI * j / period;
    re[2 * j] = re[2 * j + 1] = static_cast<float>(std::cos(a));
    const float wi = static_cast<float>(-std::sin(a));
    im[2 * j] = -wi;
    im[2 * j + 1] = wi;
  }
}

int32_t CheckFlag(int32_t flag) {
  return (flag == 1 || flag == 2 || flag == 4 || flag == 8) ? dspStsNoErr : dspStsFftFlagErr;
}

void ScaleAll(Dsp32fc* d, int32_t len, float s) {
  dspMulCInPlace_32f(s, &d->re, 2 * len);
}

int32_t Run(const Dsp32fc* src, Dsp32fc* dst, const DspFftSpec_C_32fc* spec, uint8_t* work,
            bool inverse) {
  if (!src || !dst || !spec) return dspStsNullPtrErr;
  if (spec->tag != kFftTag) return dspStsContextMatchErr;
  const int32_t len = 1 << spec->order;
  uint8_t* own = nullptr;
  Dsp32fc* buf = dst;
  if (src == dst) {
    if (!work) {
      own = static_cast<uint8_t*>(dspMalloc(spec->work_size));
      if (!own) return dspStsMemAllocErr;
      work = own;
    }
    buf = dspAlignPtr<Dsp32fc>(work, 32);
  }
  // Gather in bit-reversed order; the inverse runs the forward passes on the
  // conjugate and conjugates the result.
  for (int32_t i = 0; i < len; ++i) {
    const Dsp32fc v = src[spec->bitrev[i]];
    buf[i] = Dsp32fc{v.re, inverse ? -v.im : v.im};
  }
  FftRunPasses(spec, buf);
  if (inverse) {
    for (int32_t i = 0; i < len; ++i) buf[i].im = -buf[i].im;
  }
  if (buf != dst) std::memcpy(dst, buf, sizeof(Dsp32fc) * len);
  if (inverse ? spec->inv_scaled : spec->fwd_scaled) ScaleAll(dst, len, spec->scale);
  dspFree(own);
  return dspStsNoErr;
}

}  // namespace

void FftRunPasses(const DspFftSpec_C_32fc* spec, Dsp32fc* data) {
  DspSelect(t_passes)(spec, data);
}

namespace dsp_generic {

// Textbook decimation-in-time radix-2 butterflies.
void FftPasses(const DspFftSpec_C_32fc* spec, Dsp32fc* data) {
  const int32_t len = 1 << spec->order;
  const float* tw = spec->twiddle;
  for (int32_t h = 1; h < len; h <<= 1) {
    const int32_t stride = len / (2 * h);
    for (int32_t k = 0; k < len; k += 2 * h) {
      for (int32_t j = 0; j < h; ++j) {
        const float wr = tw[2 * j * stride], wi = tw[2 * j * stride + 1];
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
  if (order < 0 || order > 30) return dspStsFftOrderErr;
  if (const int32_t st = CheckFlag(flag)) return st;
  if (order > kMaxFftOrder) return dspStsSizeErr;
  *spec_size = static_cast<int32_t>(SpecBytes(order));
  *init_size = 0;
  *work_size = static_cast<int32_t>(32 + 8 * (size_t{1} << order));
  return dspStsNoErr;
}

int32_t dspFftInit_C_32fc(DspFftSpec_C_32fc** out, int32_t order, int32_t flag, int32_t hint,
                          uint8_t* memory, uint8_t* /*init*/) {
  if (!out || !memory) return dspStsNullPtrErr;
  if (order < 0 || order > 30) return dspStsFftOrderErr;
  if (const int32_t st = CheckFlag(flag)) return st;
  if (order > kMaxFftOrder) return dspStsSizeErr;
  const int32_t len = 1 << order;
  uint8_t* p = dspAlignPtr<uint8_t>(memory, 32);
  auto* spec = reinterpret_cast<DspFftSpec_C_32fc*>(p);
  std::memset(spec, 0, sizeof(*spec));
  p += Align32(sizeof(DspFftSpec_C_32fc));
  auto* bitrev = reinterpret_cast<int32_t*>(p);
  p += Align32(4 * size_t(len));
  auto* tw = reinterpret_cast<float*>(p);
  p += Align32(4 * size_t(len));
  auto* vtw = reinterpret_cast<float*>(p);

  for (int32_t i = 0; i < len; ++i) {
    int32_t r = 0;
    for (int32_t b = 0; b < order; ++b) r |= ((i >> b) & 1) << (order - 1 - b);
    bitrev[i] = r;
  }
  for (int32_t j = 0; j < len / 2; ++j) {
    const double a = 2.0 * M_PI * j / len;
    tw[2 * j] = static_cast<float>(std::cos(a));
    tw[2 * j + 1] = static_cast<float>(-std::sin(a));
  }
  spec->num_passes = PlanPasses(order, spec->pass_h);
  for (int32_t p2 = (order >= 2 ? 1 : 0); p2 < spec->num_passes; ++p2) {
    const int32_t h = spec->pass_h[p2];
    FftPassTwiddles& t = spec->pass[p2];
    t.w1_re = vtw;
    t.w1_im = vtw + 2 * h;
    FillDup(vtw, vtw + 2 * h, h, 2 * h);
    vtw += 4 * h;
    if (PairPass(order, h)) {
      t.w2_re = vtw;
      t.w2_im = vtw + 2 * h;
      FillDup(vtw, vtw + 2 * h, h, 4 * h);
      vtw += 4 * h;
    }
  }
  spec->tag = kFftTag;
  spec->order = order;
  spec->hint = hint;
  spec->bitrev = bitrev;
  spec->twiddle = tw;
  spec->fwd_scaled = flag == 1 || flag == 4;
  spec->inv_scaled = flag == 2 || flag == 4;
  spec->scale =
      flag == 4 ? static_cast<float>(1.0 / std::sqrt(double(len))) : static_cast<float>(1.0 / len);
  spec->work_size = static_cast<int32_t>(32 + 8 * size_t(len));
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
