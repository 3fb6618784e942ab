// AVX2 kernels for the primitives where eight lanes pay; same results as
// dsp_generic, bit for bit (no fused multiply-add: every product is rounded
// as in the reference).
#include <immintrin.h>

#include "dsp/vector_impl.h"

namespace dsp_avx2 {

void MulC_32f(const float* src, float c, float* dst, int32_t n) {
  const __m256 vc = _mm256_set1_ps(c);
  int32_t i = 0;
  for (; i + 8 <= n; i += 8) _mm256_storeu_ps(dst + i, _mm256_mul_ps(_mm256_loadu_ps(src + i), vc));
  dsp_sse2::MulC_32f(src + i, c, dst + i, n - i);
}

void Add_32f(const float* a, const float* b, float* dst, int32_t n) {
  int32_t i = 0;
  for (; i + 8 <= n; i += 8) {
    _mm256_storeu_ps(dst + i, _mm256_add_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i)));
  }
  dsp_sse2::Add_32f(a + i, b + i, dst + i, n - i);
}

void Mul_32f(const float* a, const float* b, float* dst, int32_t n) {
  int32_t i = 0;
  for (; i + 8 <= n; i += 8) {
    _mm256_storeu_ps(dst + i, _mm256_mul_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i)));
  }
  dsp_sse2::Mul_32f(a + i, b + i, dst + i, n - i);
}

void Add_32fc(const Dsp32fc* a, const Dsp32fc* b, Dsp32fc* dst, int32_t n) {
  Add_32f(&a->re, &b->re, &dst->re, 2 * n);
}

namespace {
inline __m256i ConvertClamp(__m256 v) {
  v = _mm256_and_ps(v, _mm256_cmp_ps(v, v, _CMP_ORD_Q));
  v = _mm256_min_ps(_mm256_max_ps(v, _mm256_set1_ps(-32768.0f)), _mm256_set1_ps(32767.0f));
  return _mm256_cvtps_epi32(v);
}
}  // namespace

void InterleaveConvert_32f16s(const float* const* ch, int32_t nch, int32_t n, int16_t* dst) {
  int32_t j = 0;
  if (nch == 1) {
    for (; j + 16 <= n; j += 16) {
      const __m256i a = ConvertClamp(_mm256_loadu_ps(ch[0] + j));
      const __m256i b = ConvertClamp(_mm256_loadu_ps(ch[0] + j + 8));
      // packs works per 128-bit lane: fix the order with a permute.
      const __m256i p = _mm256_permute4x64_epi64(_mm256_packs_epi32(a, b), 0xD8);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + j), p);
    }
  } else if (nch == 2) {
    for (; j + 8 <= n; j += 8) {
      const __m256i l = ConvertClamp(_mm256_loadu_ps(ch[0] + j));
      const __m256i r = ConvertClamp(_mm256_loadu_ps(ch[1] + j));
      // lane 0: samples 0-3, lane 1: samples 4-7.
      const __m256i lo = _mm256_unpacklo_epi32(l, r), hi = _mm256_unpackhi_epi32(l, r);
      const __m256i p = _mm256_packs_epi32(lo, hi);  // [s0 s1 | s2 s3] per lane
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 2 * j), p);
    }
  }
  if (j < n) {
    const float* rest[64];
    if (nch <= 64) {
      for (int32_t k = 0; k < nch; ++k) rest[k] = ch[k] + j;
      dsp_sse2::InterleaveConvert_32f16s(rest, nch, n - j, dst + j * nch);
    } else {
      dsp_sse2::InterleaveConvert_32f16s(ch, nch, n, dst);
    }
  }
}

namespace {
inline __m256 Trunc16(__m256 v) {
  return _mm256_and_ps(v,
                       _mm256_castsi256_ps(_mm256_set1_epi32(static_cast<int32_t>(0xFFFF0000u))));
}
inline __m256 Round16(__m256 v) {
  const __m256i u = _mm256_add_epi32(_mm256_castps_si256(v), _mm256_set1_epi32(0x8000));
  return _mm256_castsi256_ps(
      _mm256_and_si256(u, _mm256_set1_epi32(static_cast<int32_t>(0xFFFF0000u))));
}
inline __m256 Recip(__m256 v) {
  const __m256i u = _mm256_castps_si256(v);
  const __m256i m = _mm256_and_si256(_mm256_srli_epi32(u, 16), _mm256_set1_epi32(0x7F));
  const __m256i e = _mm256_and_si256(_mm256_srli_epi32(u, 23), _mm256_set1_epi32(0xFF));
  return _mm256_mul_ps(_mm256_i32gather_ps(kRecipMantissa, m, 4),
                       _mm256_i32gather_ps(kRecipExponent, e, 4));
}
}  // namespace

void Predict_32f(float* x, int32_t begin, int32_t end, bool add, float* const* s) {
  const __m256 alpha = _mm256_set1_ps(0.90625f), a = _mm256_set1_ps(0.953125f);
  const __m256 half = _mm256_set1_ps(0.5f);
  float *cor0 = s[kCor0], *cor1 = s[kCor1], *var0 = s[kVar0], *var1 = s[kVar1];
  float *r0p = s[kR0], *r1p = s[kR1];
  int32_t i = begin;
  for (; i + 8 <= end; i += 8) {
    const __m256 c0 = _mm256_loadu_ps(cor0 + i), c1 = _mm256_loadu_ps(cor1 + i);
    const __m256 v0 = _mm256_loadu_ps(var0 + i), v1 = _mm256_loadu_ps(var1 + i);
    const __m256 r0 = _mm256_loadu_ps(r0p + i), r1 = _mm256_loadu_ps(r1p + i);
    const __m256 k1 = _mm256_mul_ps(c0, Recip(v0));
    const __m256 k2 = _mm256_mul_ps(c1, Recip(v1));
    const __m256 pred = Round16(_mm256_add_ps(_mm256_mul_ps(k1, r0), _mm256_mul_ps(k2, r1)));
    __m256 e0 = _mm256_loadu_ps(x + i);
    if (add) {
      e0 = _mm256_add_ps(e0, pred);
      _mm256_storeu_ps(x + i, e0);
    }
    const __m256 e1 = _mm256_sub_ps(e0, _mm256_mul_ps(k1, r0));
    const __m256 sq0 = _mm256_add_ps(_mm256_mul_ps(r0, r0), _mm256_mul_ps(e0, e0));
    const __m256 sq1 = _mm256_add_ps(_mm256_mul_ps(r1, r1), _mm256_mul_ps(e1, e1));
    _mm256_storeu_ps(cor0 + i,
                     Trunc16(_mm256_add_ps(_mm256_mul_ps(alpha, c0), _mm256_mul_ps(r0, e0))));
    _mm256_storeu_ps(cor1 + i,
                     Trunc16(_mm256_add_ps(_mm256_mul_ps(alpha, c1), _mm256_mul_ps(r1, e1))));
    _mm256_storeu_ps(var0 + i,
                     Trunc16(_mm256_add_ps(_mm256_mul_ps(alpha, v0), _mm256_mul_ps(half, sq0))));
    _mm256_storeu_ps(var1 + i,
                     Trunc16(_mm256_add_ps(_mm256_mul_ps(alpha, v1), _mm256_mul_ps(half, sq1))));
    _mm256_storeu_ps(r1p + i, Trunc16(_mm256_mul_ps(a, _mm256_sub_ps(r0, _mm256_mul_ps(k1, e0)))));
    _mm256_storeu_ps(r0p + i, Trunc16(_mm256_mul_ps(a, e0)));
  }
  dsp_sse2::Predict_32f(x, i, end, add, s);
}

// Eight table lookups per gather, on clamped magnitudes; the sign is copied
// from the input.
void Pow43_16s32f(const int16_t* q, float* dst, int32_t n) {
  const __m256i limit = _mm256_set1_epi32(8206);
  int32_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256i v =
        _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q + i)));
    const __m256i m = _mm256_min_epi32(_mm256_abs_epi32(v), limit);
    const __m256 p = _mm256_i32gather_ps(dsp_tables::kPow43, m, 4);
    const __m256 sign = _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_srli_epi32(v, 31), 31));
    _mm256_storeu_ps(dst + i, _mm256_or_ps(p, sign));
  }
  dsp_generic::Pow43_16s32f(q + i, dst + i, n - i);
}

}  // namespace dsp_avx2
