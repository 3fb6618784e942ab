// Vectorised FFT passes, written once over a vector traits type V and
// instantiated in the SSE2 and AVX2 translation units (each compiled with
// its own target flags).  V::kComplex complex values per vector.
#pragma once

#include <emmintrin.h>

#include "dsp/fft_impl.h"

namespace fft_passes {
// Internal linkage: each instruction set gets its own copy (no ODR merging
// of code compiled with different target flags).
namespace {

// (x0, x1, x2, x3) -> radix-4 butterfly of the first two stages (after the
// bit-reversed gather: stage 1 pairs (x0, x1), (x2, x3); stage 2 uses 1, -i).
inline void FirstRadix4(Dsp32fc* data, int32_t len) {
  const __m128 sign_hi = _mm_castsi128_ps(_mm_set_epi32(INT32_MIN, INT32_MIN, 0, 0));
  const __m128 sign_last = _mm_castsi128_ps(_mm_set_epi32(INT32_MIN, 0, 0, 0));
  float* p = &data->re;
  for (int32_t i = 0; i < 2 * len; i += 8) {
    const __m128 v01 = _mm_loadu_ps(p + i), v23 = _mm_loadu_ps(p + i + 4);
    // [x0 x0] +/- [x1 x1] -> [a', b'];  [x2 x2] +/- [x3 x3] -> [c', d']
    const __m128 ab =
        _mm_add_ps(_mm_movelh_ps(v01, v01), _mm_xor_ps(_mm_movehl_ps(v01, v01), sign_hi));
    const __m128 cd =
        _mm_add_ps(_mm_movelh_ps(v23, v23), _mm_xor_ps(_mm_movehl_ps(v23, v23), sign_hi));
    // [c', -i d'] = [c'r c'i d'i -d'r]
    const __m128 cdi = _mm_xor_ps(_mm_shuffle_ps(cd, cd, _MM_SHUFFLE(2, 3, 1, 0)), sign_last);
    _mm_storeu_ps(p + i, _mm_add_ps(ab, cdi));
    _mm_storeu_ps(p + i + 4, _mm_sub_ps(ab, cdi));
  }
}

template <typename V>
void Radix2Pass(float* p, int32_t len, int32_t h, const FftPassTwiddles& t) {
  for (int32_t k = 0; k < len; k += 2 * h) {
    float* a = p + 2 * k;
    float* b = a + 2 * h;
    for (int32_t j = 0; j < 2 * h; j += 2 * V::kComplex) {
      const auto x = V::Load(a + j);
      const auto y = V::Mul(V::Load(b + j), V::Load(t.w1_re + j), V::Load(t.w1_im + j));
      V::Store(a + j, V::Add(x, y));
      V::Store(b + j, V::Sub(x, y));
    }
  }
}

template <typename V>
void Radix22Pass(float* p, int32_t len, int32_t h, const FftPassTwiddles& t) {
  for (int32_t k = 0; k < len; k += 4 * h) {
    float* pa = p + 2 * k;
    float* pb = pa + 2 * h;
    float* pc = pb + 2 * h;
    float* pd = pc + 2 * h;
    for (int32_t j = 0; j < 2 * h; j += 2 * V::kComplex) {
      const auto w1r = V::Load(t.w1_re + j), w1i = V::Load(t.w1_im + j);
      const auto w2r = V::Load(t.w2_re + j), w2i = V::Load(t.w2_im + j);
      const auto a = V::Load(pa + j), c = V::Load(pc + j);
      const auto b1 = V::Mul(V::Load(pb + j), w1r, w1i);
      const auto d1 = V::Mul(V::Load(pd + j), w1r, w1i);
      const auto a1 = V::Add(a, b1), b2 = V::Sub(a, b1);
      const auto c1 = V::Add(c, d1), d2 = V::Sub(c, d1);
      const auto c3 = V::Mul(c1, w2r, w2i);
      const auto d3 = V::MulNegI(V::Mul(d2, w2r, w2i));
      V::Store(pa + j, V::Add(a1, c3));
      V::Store(pc + j, V::Sub(a1, c3));
      V::Store(pb + j, V::Add(b2, d3));
      V::Store(pd + j, V::Sub(b2, d3));
    }
  }
}

template <typename V>
void Passes(const DspFftSpec_C_32fc* spec, Dsp32fc* data) {
  const int32_t len = 1 << spec->order;
  if (spec->order < 2) {
    dsp_generic::FftPasses(spec, data);
    return;
  }
  FirstRadix4(data, len);
  float* p = &data->re;
  for (int32_t i = 1; i < spec->num_passes; ++i) {
    const int32_t h = spec->pass_h[i];  // >= 4
    if (spec->pass[i].w2_re) {
      Radix22Pass<V>(p, len, h, spec->pass[i]);
    } else {
      Radix2Pass<V>(p, len, h, spec->pass[i]);
    }
  }
}

}  // namespace
}  // namespace fft_passes
