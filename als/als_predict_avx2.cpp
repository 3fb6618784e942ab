// AVX2 short-term synthesis filter: eight signed 32 x 32 -> 64-bit products
// per step.
#include <immintrin.h>

#include "als/als_predict_impl.h"

namespace als_avx2 {

// The vector part covers the taps on samples at least four positions back,
// so it does not wait for the newest outputs (whose stores are still in
// flight); the newest taps are summed in scalar code.  The loop-carried
// dependency is then only the short scalar tail.
void PredictBlock(const int32_t* rcof, int32_t order, const int32_t* e, int32_t* x, int32_t n) {
  const int32_t kv = order > 4 ? order - 4 : 0;
  const int32_t k8 = kv & ~7;
  const int32_t k4 = kv & ~3;
  for (int32_t i = 0; i < n; ++i) {
    const int32_t* xp = x + i - order;
    // Two accumulators (even and odd taps) halve the chain of additions.
    __m256i acc = _mm256_setzero_si256();
    __m256i acc_odd = _mm256_setzero_si256();
    for (int32_t j = 0; j < k8; j += 8) {
      const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rcof + j));
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(xp + j));
      acc = _mm256_add_epi64(acc, _mm256_mul_epi32(c, v));
      acc_odd = _mm256_add_epi64(
          acc_odd, _mm256_mul_epi32(_mm256_srli_epi64(c, 32), _mm256_srli_epi64(v, 32)));
    }
    acc = _mm256_add_epi64(acc, acc_odd);
    __m128i a = _mm_add_epi64(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
    if (k4 > k8) {
      const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rcof + k8));
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(xp + k8));
      a = _mm_add_epi64(a, _mm_mul_epi32(c, v));
      a = _mm_add_epi64(a, _mm_mul_epi32(_mm_srli_epi64(c, 32), _mm_srli_epi64(v, 32)));
    }
    a = _mm_add_epi64(a, _mm_unpackhi_epi64(a, a));
    uint64_t sum = static_cast<uint64_t>(_mm_cvtsi128_si64(a)) + (1u << 19);
    for (int32_t j = k4; j < order; ++j) sum += static_cast<uint64_t>(int64_t{rcof[j]} * xp[j]);
    x[i] = static_cast<int32_t>(static_cast<uint32_t>(e[i]) -
                                static_cast<uint32_t>(static_cast<int64_t>(sum) >> 20));
  }
}

}  // namespace als_avx2
