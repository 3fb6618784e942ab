// SSE2 lanes: four floats or four 32-bit integers per vector.
//
// A lane type is the vocabulary every family's kernel templates are written
// in (vector_vec.h, transform_vec.h, sbr_qmf_vec.h, ps_hybrid_vec.h,
// als_predict_vec.h); simd_avx2.h and simd_neon.h provide the same names.
// Families add their own shuffles by deriving from it.
//
// Internal linkage: a translation unit built with other target flags (the
// AVX2 one uses these lanes for its narrow steps) gets its own copy.
#pragma once

#include <emmintrin.h>
#ifdef __SSE4_1__
#include <smmintrin.h>
#endif

#include <cstdint>

namespace {

// Low 32 bits of each lane's product (SSE2 has only the 64-bit products of
// the even lanes).
inline __m128i MulLo32(__m128i a, __m128i b) {
#ifdef __SSE4_1__
  return _mm_mullo_epi32(a, b);
#else
  const __m128i even = _mm_mul_epu32(a, b);
  const __m128i odd = _mm_mul_epu32(_mm_srli_epi64(a, 32), _mm_srli_epi64(b, 32));
  return _mm_unpacklo_epi32(_mm_shuffle_epi32(even, _MM_SHUFFLE(0, 0, 2, 0)),
                            _mm_shuffle_epi32(odd, _MM_SHUFFLE(0, 0, 2, 0)));
#endif
}

struct LaneSse2 {
  using F = __m128;
  using I = __m128i;
  static constexpr int kLanes = 4;
  using Narrow = void;  // remainders go to the generic kernels

  // ---- floats
  static F Zero() { return _mm_setzero_ps(); }
  static F Set1(float v) { return _mm_set1_ps(v); }
  static F Set2(float even, float odd) { return _mm_setr_ps(even, odd, even, odd); }
  // lo in lanes 0, 1, hi in lanes 2, 3.
  static F SetHalves(float lo, float hi) { return _mm_setr_ps(lo, lo, hi, hi); }
  static F Quad(float a, float b, float c, float d) { return _mm_setr_ps(a, b, c, d); }
  static F Load(const float* p) { return _mm_loadu_ps(p); }
  static void Store(float* p, F v) { _mm_storeu_ps(p, v); }
  static F Add(F a, F b) { return _mm_add_ps(a, b); }
  static F Sub(F a, F b) { return _mm_sub_ps(a, b); }
  static F Mul(F a, F b) { return _mm_mul_ps(a, b); }
  static F Div(F a, F b) { return _mm_div_ps(a, b); }
  // a > b ? x : y per lane (false when either is NaN).
  static F IfGreater(F a, F b, F x, F y) {
    const F m = _mm_cmpgt_ps(a, b);
    return _mm_or_ps(_mm_and_ps(m, x), _mm_andnot_ps(m, y));
  }
  static F Min(F a, F b) { return _mm_min_ps(a, b); }
  static F Max(F a, F b) { return _mm_max_ps(a, b); }
  static F Xor(F a, F b) { return _mm_xor_ps(a, b); }
  static F And(F a, F b) { return _mm_and_ps(a, b); }
  // (a1, a0, a3, a2): real and imaginary parts of interleaved complex values.
  static F SwapPairs(F a) { return _mm_shuffle_ps(a, a, _MM_SHUFFLE(2, 3, 0, 1)); }
  // (p0, p1, p0, p1): one complex value in both halves.
  static F LoadPairTwice(const float* p) {
    const F v = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
    return _mm_movelh_ps(v, v);
  }
  // Lanes 0, 1 to lo[0..1], lanes 2, 3 to hi[0..1].
  static void StoreHalves(float* lo, float* hi, F v) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(lo), _mm_castps_si128(v));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(hi), _mm_castps_si128(_mm_movehl_ps(v, v)));
  }
  static void Transpose(F* r) { _MM_TRANSPOSE4_PS(r[0], r[1], r[2], r[3]); }
  // d + s c per lane in double precision (the product is exact), rounded
  // once to single precision.
  static F AddProductWide(F d, F s, double c) {
    const __m128d vc = _mm_set1_pd(c);
    const __m128d lo = _mm_add_pd(_mm_cvtps_pd(d), _mm_mul_pd(_mm_cvtps_pd(s), vc));
    const __m128d hi = _mm_add_pd(_mm_cvtps_pd(_mm_movehl_ps(d, d)),
                                  _mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(s, s)), vc));
    return _mm_movelh_ps(_mm_cvtpd_ps(lo), _mm_cvtpd_ps(hi));
  }

  // ---- 32-bit integers
  static I LoadI(const int32_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
  static void StoreI(int32_t* p, I v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
  static I SetI(int32_t v) { return _mm_set1_epi32(v); }
  static I AddI(I a, I b) { return _mm_add_epi32(a, b); }
  static I AndI(I a, I b) { return _mm_and_si128(a, b); }
  static I MaxI(I a, I b) {
    const __m128i gt = _mm_cmpgt_epi32(a, b);
    return _mm_or_si128(_mm_and_si128(gt, a), _mm_andnot_si128(gt, b));
  }
  static I MinI(I a, I b) {
    const __m128i lt = _mm_cmplt_epi32(a, b);
    return _mm_or_si128(_mm_and_si128(lt, a), _mm_andnot_si128(lt, b));
  }
  static I ShlI(I a, int32_t k) { return _mm_sll_epi32(a, _mm_cvtsi32_si128(k)); }
  static I SarI(I a, int32_t k) { return _mm_sra_epi32(a, _mm_cvtsi32_si128(k)); }
  static I SrlI(I a, int32_t k) { return _mm_srl_epi32(a, _mm_cvtsi32_si128(k)); }
  static I AsI(F a) { return _mm_castps_si128(a); }
  static F AsF(I a) { return _mm_castsi128_ps(a); }
  static I MulLoI(I a, I b) { return MulLo32(a, b); }
  // Signed integers to floats, rounded to nearest.
  static F ToFloat(I a) { return _mm_cvtepi32_ps(a); }
  // 16-bit lanes of the same register.
  static I MaxS16(I a, I b) { return _mm_max_epi16(a, b); }

  // table[idx] per lane (no gather instruction: four loads).
  static F Gather(const float* table, I idx) {
    alignas(16) int32_t at[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(at), idx);
    return _mm_setr_ps(table[at[0]], table[at[1]], table[at[2]], table[at[3]]);
  }

  // NaN -> 0, clamp to the 16-bit range, round to nearest (ties to even).
  static I ConvertClamp16(F v) {
    v = _mm_and_ps(v, _mm_cmpord_ps(v, v));
    v = _mm_min_ps(_mm_max_ps(v, _mm_set1_ps(-32768.0f)), _mm_set1_ps(32767.0f));
    return _mm_cvtps_epi32(v);
  }
  // Round to nearest (ties to even).  NaN and values beyond the 32-bit range
  // give INT_MIN, the only lanes where saturating the word to 16 bits differs
  // from ConvertClamp16; AnyIndefinite finds them.
  static I ConvertRound(F v) { return _mm_cvtps_epi32(v); }
  static bool AnyIndefinite(const I* r, int n) {
    const __m128i indefinite = _mm_set1_epi32(INT32_MIN);
    __m128i m = _mm_cmpeq_epi32(r[0], indefinite);
    for (int k = 1; k < n; ++k) m = _mm_or_si128(m, _mm_cmpeq_epi32(r[k], indefinite));
    return _mm_movemask_epi8(m) != 0;
  }
  // Saturated 16-bit pairs (a[i], b[i]) as 32-bit words, a in the low half.
  static I Zip16(I a, I b) {
    return _mm_packs_epi32(_mm_unpacklo_epi32(a, b), _mm_unpackhi_epi32(a, b));
  }
  // Saturated 16-bit values of a then b.
  static I Pack16(I a, I b) { return _mm_packs_epi32(a, b); }
  static void Store16(int16_t* p, I v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
  // 32-bit words a[i], b[i], c[i] at p + 6i (16-bit units).
  static void StoreInterleave3(int16_t* p, I a, I b, I c) {
    const F fa = AsF(a), fb = AsF(b), fc = AsF(c);
    const F ab_lo = _mm_unpacklo_ps(fa, fb), ab_hi = _mm_unpackhi_ps(fa, fb);
    const F bc_lo = _mm_unpacklo_ps(fb, fc), bc_hi = _mm_unpackhi_ps(fb, fc);
    const F ca = _mm_shuffle_ps(fc, fa, _MM_SHUFFLE(3, 1, 2, 0));  // c0 c2 a1 a3
    Store16(p, AsI(_mm_shuffle_ps(ab_lo, ca, _MM_SHUFFLE(2, 0, 1, 0))));
    Store16(p + 8, AsI(_mm_shuffle_ps(bc_lo, ab_hi, _MM_SHUFFLE(1, 0, 3, 2))));
    Store16(p + 16, AsI(_mm_shuffle_ps(ca, bc_hi, _MM_SHUFFLE(3, 2, 3, 1))));
  }
  // 32-bit words a[i], b[i], c[i], d[i] at p + 8i.
  static void StoreInterleave4(int16_t* p, I a, I b, I c, I d) {
    F r[4] = {AsF(a), AsF(b), AsF(c), AsF(d)};
    Transpose(r);
    for (int k = 0; k < 4; ++k) Store16(p + 8 * k, AsI(r[k]));
  }

  // ---- signed 32 x 32 -> 64-bit products, summed with wrap-around
  using Acc64 = __m128i;
  static Acc64 Acc64Zero() { return _mm_setzero_si128(); }
  static Acc64 MulAdd64(Acc64 acc, I a, I b) {
    acc = _mm_add_epi64(acc, MulEven(a, b));
    return _mm_add_epi64(acc, MulEven(_mm_srli_epi64(a, 32), _mm_srli_epi64(b, 32)));
  }
  static uint64_t Sum64(Acc64 acc) {
    return static_cast<uint64_t>(
        _mm_cvtsi128_si64(_mm_add_epi64(acc, _mm_unpackhi_epi64(acc, acc))));
  }

  // Signed products of lanes 0 and 2.  SSE2 multiplies only unsigned lanes;
  // the high half is corrected for the signs.
  static __m128i MulEven(__m128i a, __m128i b) {
#ifdef __SSE4_1__
    return _mm_mul_epi32(a, b);
#else
    const __m128i p = _mm_mul_epu32(a, b);
    const __m128i corr = _mm_add_epi32(_mm_and_si128(_mm_srai_epi32(a, 31), b),
                                       _mm_and_si128(_mm_srai_epi32(b, 31), a));
    return _mm_sub_epi64(p, _mm_slli_epi64(corr, 32));
#endif
  }
};

}  // namespace
