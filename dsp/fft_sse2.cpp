#include "dsp/fft_passes.h"

namespace {
struct VecSse2 {
  static constexpr int kComplex = 2;
  static __m128 Load(const float* p) { return _mm_loadu_ps(p); }
  static void Store(float* p, __m128 v) { _mm_storeu_ps(p, v); }
  static __m128 Add(__m128 a, __m128 b) { return _mm_add_ps(a, b); }
  static __m128 Sub(__m128 a, __m128 b) { return _mm_sub_ps(a, b); }
  // x * w with w given as (wr, wr) and (-wi, wi) per complex value.
  static __m128 Mul(__m128 x, __m128 re, __m128 im) {
    const __m128 swapped = _mm_shuffle_ps(x, x, _MM_SHUFFLE(2, 3, 0, 1));
    return _mm_add_ps(_mm_mul_ps(x, re), _mm_mul_ps(swapped, im));
  }
  // -i * (r + i m) = m - i r
  static __m128 MulNegI(__m128 x) {
    const __m128 sign = _mm_castsi128_ps(_mm_set_epi32(INT32_MIN, 0, INT32_MIN, 0));
    return _mm_xor_ps(_mm_shuffle_ps(x, x, _MM_SHUFFLE(2, 3, 0, 1)), sign);
  }
};
}  // namespace

namespace dsp_sse2 {
void FftPasses(const DspFftSpec_C_32fc* spec, Dsp32fc* data) {
  fft_passes::Passes<VecSse2>(spec, data);
}
}  // namespace dsp_sse2
