#include <immintrin.h>

#include "dsp/fft_passes.h"

namespace {
struct VecAvx2 {
  static constexpr int kComplex = 4;
  static __m256 Load(const float* p) { return _mm256_loadu_ps(p); }
  static void Store(float* p, __m256 v) { _mm256_storeu_ps(p, v); }
  static __m256 Add(__m256 a, __m256 b) { return _mm256_add_ps(a, b); }
  static __m256 Sub(__m256 a, __m256 b) { return _mm256_sub_ps(a, b); }
  static __m256 Mul(__m256 x, __m256 re, __m256 im) {
    return _mm256_fmadd_ps(_mm256_permute_ps(x, 0xB1), im, _mm256_mul_ps(x, re));
  }
  static __m256 MulNegI(__m256 x) {
    const __m256 sign = _mm256_castsi256_ps(
        _mm256_set_epi32(INT32_MIN, 0, INT32_MIN, 0, INT32_MIN, 0, INT32_MIN, 0));
    return _mm256_xor_ps(_mm256_permute_ps(x, 0xB1), sign);
  }
};
}  // namespace

namespace dsp_avx2 {
void FftPasses(const DspFftSpec_C_32fc* spec, Dsp32fc* data) {
  fft_passes::Passes<VecAvx2>(spec, data);
}
}  // namespace dsp_avx2
