// AVX2 PS kernels: the decorrelator's all-pass chain and transient gains,
// eight bands per vector, and the band/slot transposes in 4 x 4 blocks (the
// hybrid filters keep their SSE2 form: two slots per vector).
#include <cstring>

#include "dsp/dsp_kernels.h"
#include "dsp/simd_avx2.h"
#include "ps/ps_hybrid_vec.h"

namespace {

// Complex values as 64-bit lanes: 4 x 4 blocks of slots and bands swap
// through unpacklo/hi and 128-bit permutes (same values moved, no
// arithmetic); the bands and slots past the last whole blocks go through
// the generic kernel.
// Four rows of four complex values each: out[j] gets value j of every row.
// Named registers throughout (an array kept the block on the stack).
[[gnu::always_inline]] inline void Swap4(const float* a0, const float* a1, const float* a2,
                                         const float* a3, float* o0, float* o1, float* o2,
                                         float* o3) {
  const __m256d r0 = _mm256_castps_pd(_mm256_loadu_ps(a0));
  const __m256d r1 = _mm256_castps_pd(_mm256_loadu_ps(a1));
  const __m256d r2 = _mm256_castps_pd(_mm256_loadu_ps(a2));
  const __m256d r3 = _mm256_castps_pd(_mm256_loadu_ps(a3));
  const __m256d t0 = _mm256_unpacklo_pd(r0, r1), t1 = _mm256_unpackhi_pd(r0, r1);
  const __m256d t2 = _mm256_unpacklo_pd(r2, r3), t3 = _mm256_unpackhi_pd(r2, r3);
  _mm256_storeu_ps(o0, _mm256_castpd_ps(_mm256_permute2f128_pd(t0, t2, 0x20)));
  _mm256_storeu_ps(o1, _mm256_castpd_ps(_mm256_permute2f128_pd(t1, t3, 0x20)));
  _mm256_storeu_ps(o2, _mm256_castpd_ps(_mm256_permute2f128_pd(t0, t2, 0x31)));
  _mm256_storeu_ps(o3, _mm256_castpd_ps(_mm256_permute2f128_pd(t1, t3, 0x31)));
}

void ToBandsAvx2(const float* const* rows, int32_t b0, int32_t b1, int32_t slots,
                 float (*x)[kDspHybridSlots][2]) {
  const int32_t whole = slots & ~3;
  int32_t b = b0;
  for (; b + 4 <= b1; b += 4) {
    for (int32_t n = 0; n < whole; n += 4) {
      Swap4(rows[n] + 2 * b, rows[n + 1] + 2 * b, rows[n + 2] + 2 * b, rows[n + 3] + 2 * b, x[b][n],
            x[b + 1][n], x[b + 2][n], x[b + 3][n]);
    }
  }
  for (int32_t n = whole; n < slots; ++n) {  // the last two slots of a 30-slot frame
    for (int32_t k = b0; k < b; ++k) std::memcpy(x[k][n], rows[n] + 2 * k, sizeof(float) * 2);
  }
  if (b < b1) ps_generic::ToBands(rows, b, b1, slots, x);
}

void ToSlotsAvx2(const float (*x)[kDspHybridSlots][2], int32_t b0, int32_t b1, int32_t slots,
                 float* const* rows) {
  const int32_t whole = slots & ~3;
  int32_t b = b0;
  for (; b + 4 <= b1; b += 4) {
    for (int32_t n = 0; n < whole; n += 4) {
      Swap4(x[b][n], x[b + 1][n], x[b + 2][n], x[b + 3][n], rows[n] + 2 * b, rows[n + 1] + 2 * b,
            rows[n + 2] + 2 * b, rows[n + 3] + 2 * b);
    }
  }
  for (int32_t n = whole; n < slots; ++n) {
    for (int32_t k = b0; k < b; ++k) std::memcpy(rows[n] + 2 * k, x[k][n], sizeof(float) * 2);
  }
  if (b < b1) ps_generic::ToSlots(x, b, b1, slots, rows);
}

}  // namespace

void dsp_avx2::FillPsHybrid(DspPsHybridKernels& k) {
  k.AllPass = ps_vec::AllPass<LaneAvx2>;
  k.Transient = ps_vec::Transient<LaneAvx2>;
  k.ToBands = ToBandsAvx2;
  k.ToSlots = ToSlotsAvx2;
}
