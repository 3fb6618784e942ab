// AVX2 PS kernels: the decorrelator's all-pass chain and transient gains,
// eight bands per vector, the band/slot transposes in 4 x 4 blocks and the
// real mixing two slots per vector, the complex hybrid filters four slots
// per vector (the real one keeps its SSE2 form).
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

// Mixing with real matrices, two slots per vector: 64-bit lanes s(n),
// d(n), s(n + 1), d(n + 1) of products and sums as in the SSE2 kernel.  The
// matrix rows still step once per slot (two dependent additions per pair),
// so the bits agree with the generic kernel.
void MixRealAvx2(float (*s)[2], float (*d)[2], int32_t len, const float* h, const float* step) {
  __m128 hs = _mm_setr_ps(h[0], h[0], h[1], h[1]), hd = _mm_setr_ps(h[2], h[2], h[3], h[3]);
  const __m128 ss = _mm_setr_ps(step[0], step[0], step[1], step[1]);
  const __m128 sd = _mm_setr_ps(step[2], step[2], step[3], step[3]);
  // Two consecutive complex values, each repeated: c0 c0 c1 c1.
  auto twice = [](const float* p) {
    const __m256d v = _mm256_castpd128_pd256(_mm_castps_pd(_mm_loadu_ps(p)));
    return _mm256_castpd_ps(_mm256_permute4x64_pd(v, 0x50));
  };
  int32_t n = 0;
  for (; n + 2 <= len; n += 2) {
    const __m128 hs0 = _mm_add_ps(hs, ss), hd0 = _mm_add_ps(hd, sd);
    hs = _mm_add_ps(hs0, ss);
    hd = _mm_add_ps(hd0, sd);
    const __m256 r = _mm256_add_ps(_mm256_mul_ps(_mm256_set_m128(hs, hs0), twice(s[n])),
                                   _mm256_mul_ps(_mm256_set_m128(hd, hd0), twice(d[n])));
    // s(n) d(n) s(n + 1) d(n + 1) -> s(n) s(n + 1) d(n) d(n + 1).
    const __m256 o = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(r), 0xD8));
    _mm_storeu_ps(s[n], _mm256_castps256_ps128(o));
    _mm_storeu_ps(d[n], _mm256_extractf128_ps(o, 1));
  }
  if (n < len) {
    hs = _mm_add_ps(hs, ss);
    hd = _mm_add_ps(hd, sd);
    const __m128 r = _mm_add_ps(_mm_mul_ps(hs, LaneSse2::LoadPairTwice(s[n])),
                                _mm_mul_ps(hd, LaneSse2::LoadPairTwice(d[n])));
    LaneSse2::StoreHalves(s[n], d[n], r);
  }
}

}  // namespace

void dsp_avx2::FillPsHybrid(DspPsHybridKernels& k) {
  k.AllPass = ps_vec::AllPass<LaneAvx2>;
  k.Transient = ps_vec::Transient<LaneAvx2>;
  k.ToBands = ToBandsAvx2;
  k.ToSlots = ToSlotsAvx2;
  k.MixReal = MixRealAvx2;
  k.HybridComplex = ps_vec::HybridComplex<LaneAvx2>;
}
