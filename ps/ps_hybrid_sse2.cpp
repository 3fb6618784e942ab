// SSE2 hybrid analysis filters: two slots (two complex values) per vector.
#include <emmintrin.h>

#include "ps/ps_internal.h"

namespace ps_sse2 {

void HybridComplex(const float (*in)[2], const float (*coef)[6][2], float centre, int32_t bands,
                   float (*out)[kPsSlots][2], int32_t slots) {
  const __m128 c6 = _mm_set1_ps(centre);
  for (int32_t q = 0; q < bands; ++q) {
    __m128 cr[6], ci[6];
    for (int j = 0; j < 6; ++j) {
      cr[j] = _mm_set1_ps(coef[q][j][0]);
      // (-ci, ci): the real part takes -ci * d_im, the imaginary +ci * d_re.
      ci[j] = _mm_setr_ps(-coef[q][j][1], coef[q][j][1], -coef[q][j][1], coef[q][j][1]);
    }
    for (int32_t n = 0; n < slots; n += 2) {
      const float* w = in[n];
      __m128 acc = _mm_mul_ps(c6, _mm_loadu_ps(w + 12));
      for (int j = 0; j < 6; ++j) {
        const __m128 a = _mm_loadu_ps(w + 2 * j);
        const __m128 b = _mm_loadu_ps(w + 2 * (12 - j));
        const __m128 sum = _mm_add_ps(a, b);
        const __m128 diff = _mm_sub_ps(a, b);
        const __m128 swapped = _mm_shuffle_ps(diff, diff, _MM_SHUFFLE(2, 3, 0, 1));
        acc = _mm_add_ps(acc, _mm_add_ps(_mm_mul_ps(cr[j], sum), _mm_mul_ps(ci[j], swapped)));
      }
      _mm_storeu_ps(out[q][n], acc);
    }
  }
}

void HybridReal(const float (*in)[2], const float* odd, float centre, float (*low)[2],
                float (*high)[2], int32_t slots) {
  const __m128 c6 = _mm_set1_ps(centre);
  const __m128 g1 = _mm_set1_ps(odd[0]), g3 = _mm_set1_ps(odd[1]), g5 = _mm_set1_ps(odd[2]);
  for (int32_t n = 0; n < slots; n += 2) {
    const float* w = in[n];
    const __m128 mid = _mm_mul_ps(c6, _mm_loadu_ps(w + 12));
    __m128 side = _mm_mul_ps(g1, _mm_add_ps(_mm_loadu_ps(w + 2), _mm_loadu_ps(w + 22)));
    side = _mm_add_ps(side, _mm_mul_ps(g3, _mm_add_ps(_mm_loadu_ps(w + 6), _mm_loadu_ps(w + 18))));
    side = _mm_add_ps(side, _mm_mul_ps(g5, _mm_add_ps(_mm_loadu_ps(w + 10), _mm_loadu_ps(w + 14))));
    _mm_storeu_ps(low[n], _mm_add_ps(mid, side));
    _mm_storeu_ps(high[n], _mm_sub_ps(mid, side));
  }
}

}  // namespace ps_sse2
