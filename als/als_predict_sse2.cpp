// SSE2 short-term synthesis filter.  SSE2 multiplies only unsigned 32-bit
// lanes into 64 bits; the signed product is recovered with a correction of
// the high half.
#include <emmintrin.h>

#include "als/als_predict_impl.h"

namespace als_sse2 {
namespace {

// Signed 32 x 32 -> 64-bit products of lanes 0 and 2.
inline __m128i MulEven(__m128i a, __m128i b) {
  const __m128i p = _mm_mul_epu32(a, b);
  const __m128i corr = _mm_add_epi32(_mm_and_si128(_mm_srai_epi32(a, 31), b),
                                     _mm_and_si128(_mm_srai_epi32(b, 31), a));
  return _mm_sub_epi64(p, _mm_slli_epi64(corr, 32));
}

}  // namespace

// As in the AVX2 filter, the newest four taps stay scalar so that the vector
// part does not wait for the latest outputs.
void PredictBlock(const int32_t* rcof, int32_t order, const int32_t* e, int32_t* x, int32_t n) {
  const int32_t k4 = (order > 4 ? order - 4 : 0) & ~3;
  for (int32_t i = 0; i < n; ++i) {
    const int32_t* xp = x + i - order;
    __m128i acc = _mm_setzero_si128();
    for (int32_t j = 0; j < k4; j += 4) {
      const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rcof + j));
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(xp + j));
      acc = _mm_add_epi64(acc, MulEven(c, v));
      acc = _mm_add_epi64(acc, MulEven(_mm_srli_epi64(c, 32), _mm_srli_epi64(v, 32)));
    }
    acc = _mm_add_epi64(acc, _mm_unpackhi_epi64(acc, acc));
    uint64_t sum = static_cast<uint64_t>(_mm_cvtsi128_si64(acc)) + (1u << 19);
    for (int32_t j = k4; j < order; ++j) sum += static_cast<uint64_t>(int64_t{rcof[j]} * xp[j]);
    x[i] = static_cast<int32_t>(static_cast<uint32_t>(e[i]) -
                                static_cast<uint32_t>(static_cast<int64_t>(sum) >> 20));
  }
}

}  // namespace als_sse2
