// MDCT through a complex FFT of N/4 points with pre- and post-twiddles, and
// direct evaluation for the lengths 12 and 36.
#include <cmath>
#include <cstring>

#include "dsp/fft_impl.h"

namespace {

constexpr int32_t kMdctFwdTag = 55;
constexpr int32_t kMdctInvTag = 56;

constexpr size_t Align32(size_t n) {
  return (n + 31) & ~size_t{31};
}

struct MdctSpec {
  int32_t tag;
  int32_t n;
  int32_t work_size;
  int32_t fft_order;
  int32_t owned;
  const float* twiddle;  // N/4 pairs (s*sin t, s*cos t), t = 2 pi (k + 1/8) / N
  const DspFftSpec_C_32fc* fft;
  const float* cosines;  // direct lengths: N/2 x N table
};

bool PowerOfTwoLength(int32_t n) {
  return n >= 32 && n <= (1 << 26) && (n & (n - 1)) == 0;
}
bool DirectLength(int32_t n) {
  return n == 12 || n == 36;
}
int32_t Log2(int32_t n) {
  return 31 - __builtin_clz(static_cast<uint32_t>(n));
}

int32_t GetSize(int32_t n, int32_t* spec_size, int32_t* init_size, int32_t* work_size) {
  if (!spec_size || !init_size || !work_size) return dspStsNullPtrErr;
  if (DirectLength(n)) {
    *spec_size = static_cast<int32_t>(64 + Align32(sizeof(MdctSpec)) + 4 * size_t(n) * n / 2);
    *init_size = 0;
    *work_size = 4 * n + 64;
    return dspStsNoErr;
  }
  if (!PowerOfTwoLength(n)) return dspStsSizeErr;
  int32_t fs, fi, fw;
  if (const int32_t st = dspFftGetSize_C_32fc(Log2(n / 4), dspFftNoReNorm, &fs, &fi, &fw))
    return st;
  *spec_size = fs + 32 + static_cast<int32_t>(Align32(sizeof(MdctSpec))) + 2 * n + 92;
  *init_size = fi > 0 ? fi : 32;
  *work_size = fw + 32 + 4 * n + 64;
  return dspStsNoErr;
}

int32_t Init(MdctSpec** out, int32_t n, uint8_t* memory, uint8_t* init, bool forward) {
  if (!DirectLength(n) && !PowerOfTwoLength(n)) return dspStsSizeErr;
  if (!out || !memory) return dspStsNullPtrErr;
  if (!DirectLength(n) && !init) return dspStsNullPtrErr;
  auto* spec = dspAlignPtr<MdctSpec>(memory, 32);
  std::memset(spec, 0, sizeof(*spec));
  uint8_t* p = reinterpret_cast<uint8_t*>(spec) + Align32(sizeof(MdctSpec));
  spec->n = n;
  int32_t ss, is, ws;
  GetSize(n, &ss, &is, &ws);
  spec->work_size = ws;
  if (DirectLength(n)) {
    auto* c = reinterpret_cast<float*>(p);
    for (int32_t k = 0; k < n / 2; ++k) {
      for (int32_t i = 0; i < n; ++i) {
        c[k * n + i] =
            static_cast<float>(std::cos(2.0 * M_PI / n * (i + n / 4.0 + 0.5) * (k + 0.5)));
      }
    }
    spec->cosines = c;
  } else {
    const int32_t quarter = n / 4;
    auto* tw = reinterpret_cast<float*>(p);
    const double scale = forward ? std::sqrt(2.0) : 1.0 / std::sqrt(n / 2.0);
    for (int32_t k = 0; k < quarter; ++k) {
      const double t = 2.0 * M_PI * (k + 0.125) / n;
      tw[2 * k] = static_cast<float>(scale * std::sin(t));
      tw[2 * k + 1] = static_cast<float>(scale * std::cos(t));
    }
    p += Align32(8 * size_t(quarter));
    DspFftSpec_C_32fc* fft = nullptr;
    spec->fft_order = Log2(quarter);
    if (const int32_t st = dspFftInit_C_32fc(&fft, spec->fft_order, dspFftNoReNorm, 0, p, init)) {
      return st;
    }
    spec->twiddle = tw;
    spec->fft = fft;
  }
  spec->tag = forward ? kMdctFwdTag : kMdctInvTag;
  *out = spec;
  return dspStsNoErr;
}

// Direct evaluation (lengths 12 and 36).
void DirectInverse(const MdctSpec* s, const float* x, float* y) {
  const int32_t n = s->n;
  for (int32_t i = 0; i < n; ++i) {
    double acc = 0.0;
    for (int32_t k = 0; k < n / 2; ++k) acc += double{x[k]} * s->cosines[k * n + i];
    y[i] = static_cast<float>(acc * 2.0 / n);
  }
}

void DirectForward(const MdctSpec* s, const float* x, float* y) {
  const int32_t n = s->n;
  for (int32_t k = 0; k < n / 2; ++k) {
    double acc = 0.0;
    for (int32_t i = 0; i < n; ++i) acc += double{x[i]} * s->cosines[k * n + i];
    y[k] = static_cast<float>(2.0 * acc);
  }
}

void Inverse(const MdctSpec* s, const float* x, float* y, Dsp32fc* z) {
  const int32_t n = s->n, e = n / 4, h = (e + 1) / 2;
  const float* tw = s->twiddle;
  const int32_t* rev = s->fft->bitrev;
  // Pre-twiddle, stored in bit-reversed order for the FFT passes.
  for (int32_t i = 0; i < e; ++i) {
    const float a = x[2 * i], b = x[n / 2 - 1 - 2 * i];
    const float sn = tw[2 * i], c = tw[2 * i + 1];
    z[rev[i]] = Dsp32fc{a * c + b * sn, b * c - a * sn};
  }
  FftRunPasses(s->fft, z);
  for (int32_t k = 0; k < e; ++k) {
    const float re = z[k].re, im = z[k].im;
    const float sn = tw[2 * k], c = tw[2 * k + 1];
    const float u = re * c + im * sn, v = im * c - re * sn;
    if (k < h) {
      y[3 * n / 4 + 2 * k] = -u;
      y[3 * n / 4 - 1 - 2 * k] = -u;
      y[n / 4 + 2 * k] = v;
      y[n / 4 - 1 - 2 * k] = -v;
    } else {
      y[2 * k - n / 4] = u;
      y[3 * n / 4 - 1 - 2 * k] = -u;
      y[n / 4 + 2 * k] = v;
      y[5 * n / 4 - 1 - 2 * k] = v;
    }
  }
}

void Forward(const MdctSpec* s, const float* x, float* y, Dsp32fc* z) {
  const int32_t n = s->n, e = n / 4, h = (e + 1) / 2;
  const float* tw = s->twiddle;
  const int32_t* rev = s->fft->bitrev;
  for (int32_t m = 0; m < e; ++m) {
    const float sn = tw[2 * m], c = tw[2 * m + 1];
    float re, im;
    if (m < h) {
      const float d = x[n / 4 - 1 - 2 * m] - x[n / 4 + 2 * m];
      const float a = -x[3 * n / 4 + 2 * m] - x[3 * n / 4 - 1 - 2 * m];
      re = d * sn + a * c;
      im = d * c - a * sn;
    } else {
      const float d = x[2 * m - n / 4] - x[3 * n / 4 - 1 - 2 * m];
      const float a = -x[n / 4 + 2 * m] - x[5 * n / 4 - 1 - 2 * m];
      re = d * c + a * sn;
      im = a * c - d * sn;
    }
    z[rev[m]] = Dsp32fc{re, im};
  }
  FftRunPasses(s->fft, z);
  for (int32_t l = 0; l < e; ++l) {
    const float sn = tw[2 * l], c = tw[2 * l + 1];
    y[2 * l] = z[l].re * c + z[l].im * sn;
    y[n / 2 - 1 - 2 * l] = z[l].re * sn - z[l].im * c;
  }
}

int32_t Apply(const float* src, float* dst, const MdctSpec* s, uint8_t* work, int32_t tag) {
  if (!s) return dspStsNullPtrErr;
  if (s->tag != tag) return dspStsContextMatchErr;
  if (!src || !dst) return dspStsNullPtrErr;
  const bool forward = tag == kMdctFwdTag;
  if (s->cosines) {
    forward ? DirectForward(s, src, dst) : DirectInverse(s, src, dst);
    return dspStsNoErr;
  }
  uint8_t* own = nullptr;
  if (!work) {
    own = static_cast<uint8_t*>(dspMalloc(s->work_size));
    if (!own) return dspStsMemAllocErr;
    work = own;
  }
  auto* z = dspAlignPtr<Dsp32fc>(work, 32);
  forward ? Forward(s, src, dst, z) : Inverse(s, src, dst, z);
  dspFree(own);
  return dspStsNoErr;
}

}  // namespace

int32_t dspMdctInvGetSize_32f(int32_t n, int32_t* spec_size, int32_t* init_size,
                              int32_t* work_size) {
  return GetSize(n, spec_size, init_size, work_size);
}

int32_t dspMdctFwdGetSize_32f(int32_t n, int32_t* spec_size, int32_t* init_size,
                              int32_t* work_size) {
  return GetSize(n, spec_size, init_size, work_size);
}

int32_t dspMdctInvInit_32f(DspMdctInvSpec_32f** spec, int32_t n, uint8_t* memory, uint8_t* init) {
  MdctSpec* s = nullptr;
  const int32_t st = Init(&s, n, memory, init, false);
  if (st == dspStsNoErr) *spec = reinterpret_cast<DspMdctInvSpec_32f*>(s);
  return st;
}

int32_t dspMdctFwdInit_32f(DspMdctFwdSpec_32f** spec, int32_t n, uint8_t* memory, uint8_t* init) {
  MdctSpec* s = nullptr;
  const int32_t st = Init(&s, n, memory, init, true);
  if (st == dspStsNoErr) *spec = reinterpret_cast<DspMdctFwdSpec_32f*>(s);
  return st;
}

int32_t dspMdctInv_32f(const float* src, float* dst, const DspMdctInvSpec_32f* spec,
                       uint8_t* work) {
  return Apply(src, dst, reinterpret_cast<const MdctSpec*>(spec), work, kMdctInvTag);
}

int32_t dspMdctFwd_32f(const float* src, float* dst, const DspMdctFwdSpec_32f* spec,
                       uint8_t* work) {
  return Apply(src, dst, reinterpret_cast<const MdctSpec*>(spec), work, kMdctFwdTag);
}
