// AVX2 lanes: eight floats or eight 32-bit integers per vector (simd_sse2.h
// describes the vocabulary).  Remainders shorter than eight run through the
// SSE2 lanes (Narrow).  Mul and Add round separately, as in the generic
// code; Fma is the one fused operation, for families that choose it and say so.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "dsp/simd_sse2.h"

namespace {

struct LaneAvx2 {
  using F = __m256;
  using I = __m256i;
  static constexpr int kLanes = 8;
  using Narrow = LaneSse2;

  // ---- floats
  static F Zero() { return _mm256_setzero_ps(); }
  static F Set1(float v) { return _mm256_set1_ps(v); }
  static F Set2(float even, float odd) {
    return _mm256_setr_ps(even, odd, even, odd, even, odd, even, odd);
  }
  // t[idx] per lane for idx 0..15, t0 = t[0..7], t1 = t[8..15]: two
  // permutes and a blend on bit 3 (a gather costs far more).
  static F Permute16(F t0, F t1, I idx) {
    const F lo = _mm256_permutevar8x32_ps(t0, idx);
    const F hi = _mm256_permutevar8x32_ps(t1, idx);
    return _mm256_blendv_ps(lo, hi, _mm256_castsi256_ps(_mm256_slli_epi32(idx, 28)));
  }
  // t[idx mod 8] per lane.
  static F Permute8(F t, I idx) { return _mm256_permutevar8x32_ps(t, idx); }
  // Some lane of a is greater than the same lane of b.
  static bool AnyGreaterI(I a, I b) { return _mm256_movemask_epi8(_mm256_cmpgt_epi32(a, b)) != 0; }
  // lo in lanes 0..3, hi in lanes 4..7.
  static F SetHalves(float lo, float hi) {
    return _mm256_set_m128(_mm_set1_ps(hi), _mm_set1_ps(lo));
  }
  static F Load(const float* p) { return _mm256_loadu_ps(p); }
  static void Store(float* p, F v) { _mm256_storeu_ps(p, v); }
  static F Add(F a, F b) { return _mm256_add_ps(a, b); }
  static F Sub(F a, F b) { return _mm256_sub_ps(a, b); }
  static F Mul(F a, F b) { return _mm256_mul_ps(a, b); }
  static F Div(F a, F b) { return _mm256_div_ps(a, b); }
  // a > b ? x : y per lane (false when either is NaN).
  static F IfGreater(F a, F b, F x, F y) {
    return _mm256_blendv_ps(y, x, _mm256_cmp_ps(a, b, _CMP_GT_OQ));
  }
  // acc + a b with one rounding.
  static F Fma(F acc, F a, F b) { return _mm256_fmadd_ps(a, b, acc); }
  static F Min(F a, F b) { return _mm256_min_ps(a, b); }
  static F Max(F a, F b) { return _mm256_max_ps(a, b); }
  static F Xor(F a, F b) { return _mm256_xor_ps(a, b); }
  static F And(F a, F b) { return _mm256_and_ps(a, b); }
  static F SwapPairs(F a) { return _mm256_permute_ps(a, _MM_SHUFFLE(2, 3, 0, 1)); }
  static void Transpose(F* r) {
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

  // ---- 32-bit integers
  static I LoadI(const int32_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  }
  static void StoreI(int32_t* p, I v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
  // Eight 16-bit values widened to 32 bits.
  static I LoadWiden16(const int16_t* p) {
    return _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  }
  static I SetI(int32_t v) { return _mm256_set1_epi32(v); }
  static I AddI(I a, I b) { return _mm256_add_epi32(a, b); }
  static I AndI(I a, I b) { return _mm256_and_si256(a, b); }
  static I OrI(I a, I b) { return _mm256_or_si256(a, b); }
  static I MaxI(I a, I b) { return _mm256_max_epi32(a, b); }
  static I MinI(I a, I b) { return _mm256_min_epi32(a, b); }
  static I AbsI(I a) { return _mm256_abs_epi32(a); }
  static I ShlI(I a, int32_t k) { return _mm256_sll_epi32(a, _mm_cvtsi32_si128(k)); }
  static I SarI(I a, int32_t k) { return _mm256_sra_epi32(a, _mm_cvtsi32_si128(k)); }
  static I SrlI(I a, int32_t k) { return _mm256_srl_epi32(a, _mm_cvtsi32_si128(k)); }
  static I AsI(F a) { return _mm256_castps_si256(a); }
  static F AsF(I a) { return _mm256_castsi256_ps(a); }
  static I MulLoI(I a, I b) { return _mm256_mullo_epi32(a, b); }
  static F ToFloat(I a) { return _mm256_cvtepi32_ps(a); }
  static F Gather(const float* table, I idx) { return _mm256_i32gather_ps(table, idx, 4); }

  static I ConvertClamp16(F v) {
    v = _mm256_and_ps(v, _mm256_cmp_ps(v, v, _CMP_ORD_Q));
    v = _mm256_min_ps(_mm256_max_ps(v, _mm256_set1_ps(-32768.0f)), _mm256_set1_ps(32767.0f));
    return _mm256_cvtps_epi32(v);
  }
  // Round to nearest (ties to even).  NaN and values beyond the 32-bit range
  // give INT_MIN, the only lanes where saturating the word to 16 bits differs
  // from ConvertClamp16; AnyIndefinite finds them.
  static I ConvertRound(F v) { return _mm256_cvtps_epi32(v); }
  static bool AnyIndefinite(const I* r, int n) {
    I m = r[0];
    for (int k = 1; k < n; ++k) m = _mm256_min_epi32(m, r[k]);
    return _mm256_movemask_epi8(_mm256_cmpeq_epi32(m, _mm256_set1_epi32(INT32_MIN))) != 0;
  }
  // Per 128-bit half the pairs of samples 0-3 then 4-7: in order.  packs
  // gives a0..a3 b0..b3 per half; one byte shuffle pairs them.
  static I Zip16(I a, I b) {
    const I pairs = _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15, 0, 1, 8,
                                     9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15);
    return _mm256_shuffle_epi8(_mm256_packs_epi32(a, b), pairs);
  }
  // packs works per 128-bit half: a permute restores the order.
  static I Pack16(I a, I b) { return _mm256_permute4x64_epi64(_mm256_packs_epi32(a, b), 0xD8); }
  static void Store16(int16_t* p, I v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
  // 32-bit words a[i], b[i], c[i] at p + 6i (16-bit units).  The outputs
  // hold a at word positions 0, 3, 6 / 1, 4, 7 / 2, 5 in turn (b and c
  // shifted by one and two), so one permute per input puts every word where
  // each output wants it, and blends pick them.
  static void StoreInterleave3(int16_t* p, I a, I b, I c) {
    const I pa = _mm256_permutevar8x32_epi32(a, _mm256_setr_epi32(0, 3, 6, 1, 4, 7, 2, 5));
    const I pb = _mm256_permutevar8x32_epi32(b, _mm256_setr_epi32(5, 0, 3, 6, 1, 4, 7, 2));
    const I pc = _mm256_permutevar8x32_epi32(c, _mm256_setr_epi32(2, 5, 0, 3, 6, 1, 4, 7));
    // x at positions 0, 3, 6; y at 1, 4, 7; z at 2, 5
    const auto mix = [](I x, I y, I z) {
      return _mm256_blend_epi32(_mm256_blend_epi32(x, y, 0x92), z, 0x24);
    };
    Store16(p, mix(pa, pb, pc));
    Store16(p + 16, mix(pc, pa, pb));
    Store16(p + 32, mix(pb, pc, pa));
  }
  // 32-bit words a[i], b[i], c[i], d[i] at p + 8i.
  static void StoreInterleave4(int16_t* p, I a, I b, I c, I d) {
    const I ab_lo = _mm256_unpacklo_epi32(a, b), ab_hi = _mm256_unpackhi_epi32(a, b);
    const I cd_lo = _mm256_unpacklo_epi32(c, d), cd_hi = _mm256_unpackhi_epi32(c, d);
    // Per 128-bit half: words i (u0), i + 1 (u1), i + 2 (u2), i + 3 (u3) of
    // a, b, c, d, for i = 0 in the low half and 4 in the high one.
    const I u0 = _mm256_unpacklo_epi64(ab_lo, cd_lo), u1 = _mm256_unpackhi_epi64(ab_lo, cd_lo);
    const I u2 = _mm256_unpacklo_epi64(ab_hi, cd_hi), u3 = _mm256_unpackhi_epi64(ab_hi, cd_hi);
    Store16(p, _mm256_permute2x128_si256(u0, u1, 0x20));
    Store16(p + 16, _mm256_permute2x128_si256(u2, u3, 0x20));
    Store16(p + 32, _mm256_permute2x128_si256(u0, u1, 0x31));
    Store16(p + 48, _mm256_permute2x128_si256(u2, u3, 0x31));
  }

  // ---- signed 32 x 32 -> 64-bit products: even and odd lanes accumulate
  // apart, which halves the chain of additions.
  struct Acc64 {
    __m256i even, odd;
  };
  static Acc64 Acc64Zero() { return {_mm256_setzero_si256(), _mm256_setzero_si256()}; }
  static Acc64 MulAdd64(Acc64 acc, I a, I b) {
    acc.even = _mm256_add_epi64(acc.even, _mm256_mul_epi32(a, b));
    acc.odd = _mm256_add_epi64(
        acc.odd, _mm256_mul_epi32(_mm256_srli_epi64(a, 32), _mm256_srli_epi64(b, 32)));
    return acc;
  }
  static uint64_t Sum64(Acc64 acc) {
    const __m256i s = _mm256_add_epi64(acc.even, acc.odd);
    const __m128i h = _mm_add_epi64(_mm256_castsi256_si128(s), _mm256_extracti128_si256(s, 1));
    return static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_add_epi64(h, _mm_unpackhi_epi64(h, h))));
  }
};

}  // namespace
