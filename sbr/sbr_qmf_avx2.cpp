// AVX2 QMF banks: eight time slots per vector.  The window sums use fused
// multiply-adds, so the results differ from the generic kernels in the last
// bits (sbr_qmf_vec.h).
#include "dsp/dsp_kernels.h"
#include "dsp/simd_avx2.h"
#include "sbr/sbr_qmf_vec.h"

namespace {

// Eight rows as 128-bit halves: rows l and l + 4 share a vector, so the
// transpose is two in-lane 4 x 4 transposes (no cross-lane permutes) and
// the loads and stores split at the half.
template <>
struct QmfRows<LaneAvx2> {
  static void Transpose4(__m256* r) {
    const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
    const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
    r[0] = _mm256_shuffle_ps(t0, t2, 0x44);
    r[1] = _mm256_shuffle_ps(t0, t2, 0xEE);
    r[2] = _mm256_shuffle_ps(t1, t3, 0x44);
    r[3] = _mm256_shuffle_ps(t1, t3, 0xEE);
  }
  static void Load(const float* const* rows, int q, __m256* z) {
#pragma GCC unroll 2
    for (int h = 0; h < 8; h += 4) {
#pragma GCC unroll 4
      for (int l = 0; l < 4; ++l) {
        z[h + l] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(rows[l] + q + h)),
                                        _mm_loadu_ps(rows[l + 4] + q + h), 1);
      }
      Transpose4(z + h);
    }
  }
  static void Store(__m256* z, int q, float* const* rows) {
#pragma GCC unroll 2
    for (int h = 0; h < 8; h += 4) {
      Transpose4(z + h);
#pragma GCC unroll 4
      for (int l = 0; l < 4; ++l) {
        _mm_storeu_ps(rows[l] + q + h, _mm256_castps256_ps128(z[h + l]));
        _mm_storeu_ps(rows[l + 4] + q + h, _mm256_extractf128_ps(z[h + l], 1));
      }
    }
  }
};

}  // namespace

void dsp_avx2::FillQmf(DspQmfKernels& k) {
  FillQmfKernels<LaneAvx2>(k);
}
