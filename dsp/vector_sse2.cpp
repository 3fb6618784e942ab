// SSE2 kernels; same results as dsp_generic, bit for bit.
#include <emmintrin.h>

#include <cstring>

#include "dsp/vector_impl.h"

namespace dsp_sse2 {

void MulC_32f(const float* src, float c, float* dst, int32_t n) {
  const __m128 vc = _mm_set1_ps(c);
  int32_t i = 0;
  for (; i + 4 <= n; i += 4) _mm_storeu_ps(dst + i, _mm_mul_ps(_mm_loadu_ps(src + i), vc));
  for (; i < n; ++i) dst[i] = src[i] * c;
}

void Add_32f(const float* a, const float* b, float* dst, int32_t n) {
  int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    _mm_storeu_ps(dst + i, _mm_add_ps(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i)));
  }
  for (; i < n; ++i) dst[i] = a[i] + b[i];
}

void Mul_32f(const float* a, const float* b, float* dst, int32_t n) {
  int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    _mm_storeu_ps(dst + i, _mm_mul_ps(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i)));
  }
  for (; i < n; ++i) dst[i] = a[i] * b[i];
}

void AddProductC_32f(const float* src, float c, float* srcdst, int32_t n) {
  const __m128d vc = _mm_set1_pd(c);
  int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m128 s = _mm_loadu_ps(src + i), d = _mm_loadu_ps(srcdst + i);
    const __m128d lo = _mm_add_pd(_mm_cvtps_pd(d), _mm_mul_pd(_mm_cvtps_pd(s), vc));
    const __m128d hi = _mm_add_pd(_mm_cvtps_pd(_mm_movehl_ps(d, d)),
                                  _mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(s, s)), vc));
    _mm_storeu_ps(srcdst + i, _mm_movelh_ps(_mm_cvtpd_ps(lo), _mm_cvtpd_ps(hi)));
  }
  dsp_generic::AddProductC_32f(src + i, c, srcdst + i, n - i);
}

void Add_32fc(const Dsp32fc* a, const Dsp32fc* b, Dsp32fc* dst, int32_t n) {
  Add_32f(&a->re, &b->re, &dst->re, 2 * n);
}

void Sub_32fc(const Dsp32fc* a, const Dsp32fc* b, Dsp32fc* dst, int32_t n) {
  const float* pa = &a->re;
  const float* pb = &b->re;
  float* pd = &dst->re;
  int32_t i = 0;
  for (; i + 4 <= 2 * n; i += 4) {
    _mm_storeu_ps(pd + i, _mm_sub_ps(_mm_loadu_ps(pb + i), _mm_loadu_ps(pa + i)));
  }
  for (; i < 2 * n; ++i) pd[i] = pb[i] - pa[i];
}

namespace {
inline __m128i Max32(__m128i a, __m128i b) {
  const __m128i gt = _mm_cmpgt_epi32(a, b);
  return _mm_or_si128(_mm_and_si128(gt, a), _mm_andnot_si128(gt, b));
}
inline __m128i Min32(__m128i a, __m128i b) {
  const __m128i lt = _mm_cmplt_epi32(a, b);
  return _mm_or_si128(_mm_and_si128(lt, a), _mm_andnot_si128(lt, b));
}
}  // namespace

int32_t Max_32s(const int32_t* src, int32_t n) {
  if (n < 8) return dsp_generic::Max_32s(src, n);
  __m128i m = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
  int32_t i = 4;
  for (; i + 4 <= n; i += 4)
    m = Max32(m, _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i)));
  alignas(16) int32_t lanes[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), m);
  int32_t r = dsp_generic::Max_32s(lanes, 4);
  for (; i < n; ++i) r = src[i] > r ? src[i] : r;
  return r;
}

int32_t Min_32s(const int32_t* src, int32_t n) {
  if (n < 8) return dsp_generic::Min_32s(src, n);
  __m128i m = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
  int32_t i = 4;
  for (; i + 4 <= n; i += 4)
    m = Min32(m, _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i)));
  alignas(16) int32_t lanes[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), m);
  int32_t r = dsp_generic::Min_32s(lanes, 4);
  for (; i < n; ++i) r = src[i] < r ? src[i] : r;
  return r;
}

int16_t Max_16s(const int16_t* src, int32_t n) {
  if (n < 16) return dsp_generic::Max_16s(src, n);
  __m128i m = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
  int32_t i = 8;
  for (; i + 8 <= n; i += 8) {
    m = _mm_max_epi16(m, _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i)));
  }
  alignas(16) int16_t lanes[8];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), m);
  int16_t r = dsp_generic::Max_16s(lanes, 8);
  for (; i < n; ++i) r = src[i] > r ? src[i] : r;
  return r;
}

void ShiftLeft_32s(int32_t k, int32_t* srcdst, int32_t n) {
  if (k >= 32) {
    std::memset(srcdst, 0, sizeof(int32_t) * n);
    return;
  }
  const __m128i cnt = _mm_cvtsi32_si128(k);
  int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    __m128i* p = reinterpret_cast<__m128i*>(srcdst + i);
    _mm_storeu_si128(p, _mm_sll_epi32(_mm_loadu_si128(p), cnt));
  }
  dsp_generic::ShiftLeft_32s(k, srcdst + i, n - i);
}

void ShiftRight_32s(int32_t k, int32_t* srcdst, int32_t n) {
  const __m128i cnt = _mm_cvtsi32_si128(k >= 32 ? 31 : k);
  int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    __m128i* p = reinterpret_cast<__m128i*>(srcdst + i);
    _mm_storeu_si128(p, _mm_sra_epi32(_mm_loadu_si128(p), cnt));
  }
  dsp_generic::ShiftRight_32s(k, srcdst + i, n - i);
}

// 64-bit intermediate sums have no SSE2 comparisons; the scalar code is
// already branch-light, so the vectorised entry shares it.
void AddScaled_32s(const int32_t* a, const int32_t* b, int32_t* dst, int32_t n, int32_t sf,
                   bool subtract) {
  dsp_generic::AddScaled_32s(a, b, dst, n, sf, subtract);
}

namespace {
// Clamp (NaN -> 0), then convert with the default rounding (nearest even).
inline __m128i ConvertClamp(__m128 v) {
  v = _mm_and_ps(v, _mm_cmpord_ps(v, v));
  v = _mm_min_ps(_mm_max_ps(v, _mm_set1_ps(-32768.0f)), _mm_set1_ps(32767.0f));
  return _mm_cvtps_epi32(v);
}

// Samples j..j+3 of channels k and k+1 as four 32-bit words, each one
// interleaved 16-bit pair (channel k in the low half).
inline __m128 Pair(const float* const* ch, int32_t k, int32_t j) {
  const __m128i a = ConvertClamp(_mm_loadu_ps(ch[k] + j));
  const __m128i b = ConvertClamp(_mm_loadu_ps(ch[k + 1] + j));
  return _mm_castsi128_ps(_mm_packs_epi32(_mm_unpacklo_epi32(a, b), _mm_unpackhi_epi32(a, b)));
}

inline void Store(int16_t* dst, __m128 v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_castps_si128(v));
}

// Six channels (5.1): the pairs a, b, c of four samples are stored as
// a0 b0 c0 a1 | b1 c1 a2 b2 | c2 a3 b3 c3.
int32_t Interleave6(const float* const* ch, int32_t n, int16_t* dst) {
  int32_t j = 0;
  for (; j + 4 <= n; j += 4) {
    const __m128 a = Pair(ch, 0, j), b = Pair(ch, 2, j), c = Pair(ch, 4, j);
    const __m128 ab_lo = _mm_unpacklo_ps(a, b), ab_hi = _mm_unpackhi_ps(a, b);
    const __m128 bc_lo = _mm_unpacklo_ps(b, c), bc_hi = _mm_unpackhi_ps(b, c);
    const __m128 ca = _mm_shuffle_ps(c, a, _MM_SHUFFLE(3, 1, 2, 0));  // c0 c2 a1 a3
    int16_t* out = dst + 6 * j;
    Store(out, _mm_shuffle_ps(ab_lo, ca, _MM_SHUFFLE(2, 0, 1, 0)));
    Store(out + 8, _mm_shuffle_ps(bc_lo, ab_hi, _MM_SHUFFLE(1, 0, 3, 2)));
    Store(out + 16, _mm_shuffle_ps(ca, bc_hi, _MM_SHUFFLE(3, 2, 3, 1)));
  }
  return j;
}

// Eight channels (7.1): a 4 x 4 transpose of the pair words.
int32_t Interleave8(const float* const* ch, int32_t n, int16_t* dst) {
  int32_t j = 0;
  for (; j + 4 <= n; j += 4) {
    __m128 a = Pair(ch, 0, j), b = Pair(ch, 2, j), c = Pair(ch, 4, j), d = Pair(ch, 6, j);
    _MM_TRANSPOSE4_PS(a, b, c, d);
    int16_t* out = dst + 8 * j;
    Store(out, a);
    Store(out + 8, b);
    Store(out + 16, c);
    Store(out + 24, d);
  }
  return j;
}
}  // namespace

void InterleaveConvert_32f16s(const float* const* ch, int32_t nch, int32_t n, int16_t* dst) {
  int32_t j = 0;
  if (nch == 1) {
    for (; j + 8 <= n; j += 8) {
      const __m128i a = ConvertClamp(_mm_loadu_ps(ch[0] + j));
      const __m128i b = ConvertClamp(_mm_loadu_ps(ch[0] + j + 4));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + j), _mm_packs_epi32(a, b));
    }
  } else if (nch == 2) {
    for (; j + 4 <= n; j += 4) {
      const __m128i l = ConvertClamp(_mm_loadu_ps(ch[0] + j));
      const __m128i r = ConvertClamp(_mm_loadu_ps(ch[1] + j));
      const __m128i lo = _mm_unpacklo_epi32(l, r), hi = _mm_unpackhi_epi32(l, r);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * j), _mm_packs_epi32(lo, hi));
    }
  } else if (nch == 6) {
    j = Interleave6(ch, n, dst);
  } else if (nch == 8) {
    j = Interleave8(ch, n, dst);
  } else {
    alignas(16) int32_t tmp[4];
    for (; j + 4 <= n; j += 4) {
      for (int32_t k = 0; k < nch; ++k) {
        _mm_store_si128(reinterpret_cast<__m128i*>(tmp), ConvertClamp(_mm_loadu_ps(ch[k] + j)));
        for (int32_t t = 0; t < 4; ++t) dst[(j + t) * nch + k] = static_cast<int16_t>(tmp[t]);
      }
    }
  }
  if (j < n) {
    const float* rest[64];
    for (int32_t k = 0; k < nch && k < 64; ++k) rest[k] = ch[k] + j;
    if (nch <= 64) {
      dsp_generic::InterleaveConvert_32f16s(rest, nch, n - j, dst + j * nch);
    } else {
      for (; j < n; ++j) {
        for (int32_t k = 0; k < nch; ++k) {
          const float* one[1] = {ch[k] + j};
          dsp_generic::InterleaveConvert_32f16s(one, 1, 1, dst + j * nch + k);
        }
      }
    }
  }
}

namespace {
// v * scale, with values that are not finite (v - v is NaN) set to 0.
inline __m128 ScaleFinite(__m128 v, __m128 scale) {
  const __m128 x = _mm_mul_ps(v, scale);
  return _mm_and_ps(x, _mm_cmpeq_ps(_mm_sub_ps(x, x), _mm_setzero_ps()));
}
}  // namespace

void InterleaveScale_32f(const float* const* ch, int32_t nch, int32_t n, float scale, float* dst) {
  const __m128 s = _mm_set1_ps(scale);
  int32_t j = 0;
  if (nch == 1) {
    for (; j + 4 <= n; j += 4) _mm_storeu_ps(dst + j, ScaleFinite(_mm_loadu_ps(ch[0] + j), s));
  } else if (nch == 2) {
    for (; j + 4 <= n; j += 4) {
      const __m128 l = ScaleFinite(_mm_loadu_ps(ch[0] + j), s);
      const __m128 r = ScaleFinite(_mm_loadu_ps(ch[1] + j), s);
      _mm_storeu_ps(dst + 2 * j, _mm_unpacklo_ps(l, r));
      _mm_storeu_ps(dst + 2 * j + 4, _mm_unpackhi_ps(l, r));
    }
  }
  for (; j < n; ++j) {
    for (int32_t k = 0; k < nch; ++k) {
      const float v = ch[k][j] * scale;
      dst[j * nch + k] = v - v == 0.0f ? v : 0.0f;
    }
  }
}

// Slice-by-8 table CRC: eight bytes per step.
uint32_t Crc32(const uint8_t* src, int32_t n, uint32_t crc) {
  using dsp_tables::kCrc32;
  int32_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint32_t lo, hi;
    std::memcpy(&lo, src + i, 4);
    std::memcpy(&hi, src + i + 4, 4);
    lo ^= crc;
    crc = kCrc32[7][lo & 0xFF] ^ kCrc32[6][(lo >> 8) & 0xFF] ^ kCrc32[5][(lo >> 16) & 0xFF] ^
          kCrc32[4][lo >> 24] ^ kCrc32[3][hi & 0xFF] ^ kCrc32[2][(hi >> 8) & 0xFF] ^
          kCrc32[1][(hi >> 16) & 0xFF] ^ kCrc32[0][hi >> 24];
  }
  return dsp_generic::Crc32(src + i, n - i, crc);
}

// Table look-ups: SSE2 has no gather, the scalar loop is the fast path.
void Pow43_16s32f(const int16_t* q, float* dst, int32_t n) {
  dsp_generic::Pow43_16s32f(q, dst, n);
}

void ScalefactorGain_16s32f(const int16_t* sf, int32_t offset, float* gains, int32_t n) {
  dsp_generic::ScalefactorGain_16s32f(sf, offset, gains, n);
}

namespace {
inline __m128 Trunc16(__m128 v) {
  return _mm_and_ps(v, _mm_castsi128_ps(_mm_set1_epi32(0xFFFF0000)));
}
inline __m128 Round16(__m128 v) {
  const __m128i u = _mm_add_epi32(_mm_castps_si128(v), _mm_set1_epi32(0x8000));
  return _mm_castsi128_ps(_mm_and_si128(u, _mm_set1_epi32(static_cast<int32_t>(0xFFFF0000u))));
}
inline __m128 Recip(__m128 v) {
  alignas(16) uint32_t u[4];
  alignas(16) float r[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(u), _mm_castps_si128(v));
  for (int t = 0; t < 4; ++t) {
    r[t] = kRecipMantissa[(u[t] >> 16) & 0x7F] * kRecipExponent[(u[t] >> 23) & 0xFF];
  }
  return _mm_load_ps(r);
}
}  // namespace

void Predict_32f(float* x, int32_t begin, int32_t end, bool add, float* const* s) {
  const __m128 alpha = _mm_set1_ps(0.90625f), a = _mm_set1_ps(0.953125f), half = _mm_set1_ps(0.5f);
  float *cor0 = s[kCor0], *cor1 = s[kCor1], *var0 = s[kVar0], *var1 = s[kVar1];
  float *r0p = s[kR0], *r1p = s[kR1];
  int32_t i = begin;
  for (; i + 4 <= end; i += 4) {
    const __m128 c0 = _mm_loadu_ps(cor0 + i), c1 = _mm_loadu_ps(cor1 + i);
    const __m128 v0 = _mm_loadu_ps(var0 + i), v1 = _mm_loadu_ps(var1 + i);
    const __m128 r0 = _mm_loadu_ps(r0p + i), r1 = _mm_loadu_ps(r1p + i);
    const __m128 k1 = _mm_mul_ps(c0, Recip(v0));
    const __m128 k2 = _mm_mul_ps(c1, Recip(v1));
    const __m128 pred = Round16(_mm_add_ps(_mm_mul_ps(k1, r0), _mm_mul_ps(k2, r1)));
    __m128 e0 = _mm_loadu_ps(x + i);
    if (add) {
      e0 = _mm_add_ps(e0, pred);
      _mm_storeu_ps(x + i, e0);
    }
    const __m128 e1 = _mm_sub_ps(e0, _mm_mul_ps(k1, r0));
    _mm_storeu_ps(cor0 + i, Trunc16(_mm_add_ps(_mm_mul_ps(alpha, c0), _mm_mul_ps(r0, e0))));
    _mm_storeu_ps(cor1 + i, Trunc16(_mm_add_ps(_mm_mul_ps(alpha, c1), _mm_mul_ps(r1, e1))));
    _mm_storeu_ps(
        var0 + i,
        Trunc16(_mm_add_ps(_mm_mul_ps(alpha, v0),
                           _mm_mul_ps(half, _mm_add_ps(_mm_mul_ps(r0, r0), _mm_mul_ps(e0, e0))))));
    _mm_storeu_ps(
        var1 + i,
        Trunc16(_mm_add_ps(_mm_mul_ps(alpha, v1),
                           _mm_mul_ps(half, _mm_add_ps(_mm_mul_ps(r1, r1), _mm_mul_ps(e1, e1))))));
    _mm_storeu_ps(r1p + i, Trunc16(_mm_mul_ps(a, _mm_sub_ps(r0, _mm_mul_ps(k1, e0)))));
    _mm_storeu_ps(r0p + i, Trunc16(_mm_mul_ps(a, e0)));
  }
  dsp_generic::Predict_32f(x, i, end, add, s);
}

}  // namespace dsp_sse2
