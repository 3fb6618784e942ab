// AVX2 QMF banks: eight time slots per vector.  No fused multiply-add, so
// the results equal the generic kernels bit for bit.
#include <immintrin.h>

#include "sbr/sbr_qmf_impl.h"
#include "sbr/sbr_qmf_kernels.h"

namespace {

struct LaneAvx2 {
  using T = __m256;
  static constexpr int L = 8;
  static T Zero() { return _mm256_setzero_ps(); }
  static T Set1(float v) { return _mm256_set1_ps(v); }
  static T Load(const float* p) { return _mm256_loadu_ps(p); }
  static void Store(float* p, T v) { _mm256_storeu_ps(p, v); }
  static T Add(T a, T b) { return _mm256_add_ps(a, b); }
  static T Sub(T a, T b) { return _mm256_sub_ps(a, b); }
  static T Mul(T a, T b) { return _mm256_mul_ps(a, b); }
  static void Transpose(T* r) {
    const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
    const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
    const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]), t5 = _mm256_unpackhi_ps(r[4], r[5]);
    const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]), t7 = _mm256_unpackhi_ps(r[6], r[7]);
    const __m256 s0 = _mm256_shuffle_ps(t0, t2, 0x44), s1 = _mm256_shuffle_ps(t0, t2, 0xEE);
    const __m256 s2 = _mm256_shuffle_ps(t1, t3, 0x44), s3 = _mm256_shuffle_ps(t1, t3, 0xEE);
    const __m256 s4 = _mm256_shuffle_ps(t4, t6, 0x44), s5 = _mm256_shuffle_ps(t4, t6, 0xEE);
    const __m256 s6 = _mm256_shuffle_ps(t5, t7, 0x44), s7 = _mm256_shuffle_ps(t5, t7, 0xEE);
    r[0] = _mm256_permute2f128_ps(s0, s4, 0x20);
    r[1] = _mm256_permute2f128_ps(s1, s5, 0x20);
    r[2] = _mm256_permute2f128_ps(s2, s6, 0x20);
    r[3] = _mm256_permute2f128_ps(s3, s7, 0x20);
    r[4] = _mm256_permute2f128_ps(s0, s4, 0x31);
    r[5] = _mm256_permute2f128_ps(s1, s5, 0x31);
    r[6] = _mm256_permute2f128_ps(s2, s6, 0x31);
    r[7] = _mm256_permute2f128_ps(s3, s7, 0x31);
  }
};

}  // namespace

namespace qmf_avx2 {
VX_SBR_QMF_DEFINE(LaneAvx2)
}  // namespace qmf_avx2
