// SSE2 hybrid analysis filters: two slots (two complex values) per vector.
#include "dsp/dsp_kernels.h"
#include "dsp/simd_sse2.h"
#include "ps/ps_hybrid_vec.h"

namespace {

// Complex values as 64-bit lanes: 2 x 2 blocks of slots and bands swap
// through unpacklo/hi (same values moved, no arithmetic).
void ToBandsSse2(const float* const* rows, int32_t b0, int32_t b1, int32_t slots,
                 float (*x)[kDspHybridSlots][2]) {
  int32_t b = b0;
  for (; b + 2 <= b1; b += 2) {
    for (int32_t n = 0; n < slots; n += 2) {  // slots is even
      const __m128d r0 = _mm_castps_pd(_mm_loadu_ps(rows[n] + 2 * b));
      const __m128d r1 = _mm_castps_pd(_mm_loadu_ps(rows[n + 1] + 2 * b));
      _mm_storeu_ps(x[b][n], _mm_castpd_ps(_mm_unpacklo_pd(r0, r1)));
      _mm_storeu_ps(x[b + 1][n], _mm_castpd_ps(_mm_unpackhi_pd(r0, r1)));
    }
  }
  if (b < b1) ps_generic::ToBands(rows, b, b1, slots, x);
}

void ToSlotsSse2(const float (*x)[kDspHybridSlots][2], int32_t b0, int32_t b1, int32_t slots,
                 float* const* rows) {
  int32_t b = b0;
  for (; b + 2 <= b1; b += 2) {
    for (int32_t n = 0; n < slots; n += 2) {
      const __m128d r0 = _mm_castps_pd(_mm_loadu_ps(x[b][n]));
      const __m128d r1 = _mm_castps_pd(_mm_loadu_ps(x[b + 1][n]));
      _mm_storeu_ps(rows[n] + 2 * b, _mm_castpd_ps(_mm_unpacklo_pd(r0, r1)));
      _mm_storeu_ps(rows[n + 1] + 2 * b, _mm_castpd_ps(_mm_unpackhi_pd(r0, r1)));
    }
  }
  if (b < b1) ps_generic::ToSlots(x, b, b1, slots, rows);
}

}  // namespace

void dsp_sse2::FillPsHybrid(DspPsHybridKernels& k) {
  ps_vec::FillPsHybridKernels<LaneSse2>(k);
  k.ToBands = ToBandsSse2;
  k.ToSlots = ToSlotsSse2;
}
