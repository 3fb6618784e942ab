// NEON (aarch64 Advanced SIMD) lanes: four floats or four 32-bit integers
// per vector (simd_sse2.h describes the vocabulary).  The library is built
// with -ffp-contract=off, so Mul and Add stay two roundings, as in the
// generic code (and the NEON kernels give the SSE2 ones' bits).
#pragma once

#include <arm_neon.h>

#include <cstdint>

namespace {

struct LaneNeon {
  using F = float32x4_t;
  using I = int32x4_t;
  static constexpr int kLanes = 4;
  using Narrow = void;

  // ---- floats
  static F Zero() { return vdupq_n_f32(0.0f); }
  static F Set1(float v) { return vdupq_n_f32(v); }
  static F Set2(float even, float odd) {
    const float v[4] = {even, odd, even, odd};
    return vld1q_f32(v);
  }
  static F SetHalves(float lo, float hi) { return vcombine_f32(vdup_n_f32(lo), vdup_n_f32(hi)); }
  static F Quad(float a, float b, float c, float d) {
    const float v[4] = {a, b, c, d};
    return vld1q_f32(v);
  }
  static F Load(const float* p) { return vld1q_f32(p); }
  static void Store(float* p, F v) { vst1q_f32(p, v); }
  static F Add(F a, F b) { return vaddq_f32(a, b); }
  static F Sub(F a, F b) { return vsubq_f32(a, b); }
  static F Mul(F a, F b) { return vmulq_f32(a, b); }
  static F Div(F a, F b) { return vdivq_f32(a, b); }
  // a > b ? x : y per lane (false when either is NaN).
  static F IfGreater(F a, F b, F x, F y) { return vbslq_f32(vcgtq_f32(a, b), x, y); }
  static F Min(F a, F b) { return vminq_f32(a, b); }
  static F Max(F a, F b) { return vmaxq_f32(a, b); }
  static F Xor(F a, F b) {
    return vreinterpretq_f32_u32(veorq_u32(vreinterpretq_u32_f32(a), vreinterpretq_u32_f32(b)));
  }
  static F And(F a, F b) {
    return vreinterpretq_f32_u32(vandq_u32(vreinterpretq_u32_f32(a), vreinterpretq_u32_f32(b)));
  }
  static F SwapPairs(F a) { return vrev64q_f32(a); }
  static F LoadPairTwice(const float* p) {
    const float32x2_t v = vld1_f32(p);
    return vcombine_f32(v, v);
  }
  static void StoreHalves(float* lo, float* hi, F v) {
    vst1_f32(lo, vget_low_f32(v));
    vst1_f32(hi, vget_high_f32(v));
  }
  static void Transpose(F* r) {
    const float32x4x2_t t01 = vtrnq_f32(r[0], r[1]);  // r0_0 r1_0 r0_2 r1_2 | r0_1 r1_1 ...
    const float32x4x2_t t23 = vtrnq_f32(r[2], r[3]);
    r[0] = vcombine_f32(vget_low_f32(t01.val[0]), vget_low_f32(t23.val[0]));
    r[1] = vcombine_f32(vget_low_f32(t01.val[1]), vget_low_f32(t23.val[1]));
    r[2] = vcombine_f32(vget_high_f32(t01.val[0]), vget_high_f32(t23.val[0]));
    r[3] = vcombine_f32(vget_high_f32(t01.val[1]), vget_high_f32(t23.val[1]));
  }
  static F AddProductWide(F d, F s, double c) {
    const float64x2_t vc = vdupq_n_f64(c);
    const float64x2_t lo =
        vaddq_f64(vcvt_f64_f32(vget_low_f32(d)), vmulq_f64(vcvt_f64_f32(vget_low_f32(s)), vc));
    const float64x2_t hi = vaddq_f64(vcvt_high_f64_f32(d), vmulq_f64(vcvt_high_f64_f32(s), vc));
    return vcvt_high_f32_f64(vcvt_f32_f64(lo), hi);
  }

  // ---- 32-bit integers
  static I LoadI(const int32_t* p) { return vld1q_s32(p); }
  static void StoreI(int32_t* p, I v) { vst1q_s32(p, v); }
  static I SetI(int32_t v) { return vdupq_n_s32(v); }
  static I AddI(I a, I b) { return vaddq_s32(a, b); }
  static I AndI(I a, I b) { return vandq_s32(a, b); }
  static I MaxI(I a, I b) { return vmaxq_s32(a, b); }
  static I MinI(I a, I b) { return vminq_s32(a, b); }
  static I ShlI(I a, int32_t k) { return vshlq_s32(a, vdupq_n_s32(k)); }
  static I SarI(I a, int32_t k) { return vshlq_s32(a, vdupq_n_s32(-k)); }
  static I SrlI(I a, int32_t k) {
    return vreinterpretq_s32_u32(vshlq_u32(vreinterpretq_u32_s32(a), vdupq_n_s32(-k)));
  }
  static I AsI(F a) { return vreinterpretq_s32_f32(a); }
  static F AsF(I a) { return vreinterpretq_f32_s32(a); }
  static I MulLoI(I a, I b) {  // modulo 2^32, on unsigned lanes
    return vreinterpretq_s32_u32(vmulq_u32(vreinterpretq_u32_s32(a), vreinterpretq_u32_s32(b)));
  }
  static F ToFloat(I a) { return vcvtq_f32_s32(a); }
  static I MaxS16(I a, I b) {
    return vreinterpretq_s32_s16(vmaxq_s16(vreinterpretq_s16_s32(a), vreinterpretq_s16_s32(b)));
  }
  static F Gather(const float* table, I idx) {
    const float v[4] = {table[vgetq_lane_s32(idx, 0)], table[vgetq_lane_s32(idx, 1)],
                        table[vgetq_lane_s32(idx, 2)], table[vgetq_lane_s32(idx, 3)]};
    return vld1q_f32(v);
  }

  static I ConvertClamp16(F v) {
    v = vreinterpretq_f32_u32(vandq_u32(vreinterpretq_u32_f32(v), vceqq_f32(v, v)));  // NaN -> 0
    v = vminq_f32(vmaxq_f32(v, vdupq_n_f32(-32768.0f)), vdupq_n_f32(32767.0f));
    return vcvtnq_s32_f32(v);  // nearest, ties to even
  }
  // Round to nearest (ties to even), saturating, NaN to 0: saturating the
  // word to 16 bits gives ConvertClamp16's result for every input.
  static I ConvertRound(F v) { return vcvtnq_s32_f32(v); }
  static bool AnyIndefinite(const I*, int) { return false; }
  static I Zip16(I a, I b) {
    const int16x4x2_t z = vzip_s16(vqmovn_s32(a), vqmovn_s32(b));
    return vreinterpretq_s32_s16(vcombine_s16(z.val[0], z.val[1]));
  }
  static I Pack16(I a, I b) {
    return vreinterpretq_s32_s16(vcombine_s16(vqmovn_s32(a), vqmovn_s32(b)));
  }
  static void Store16(int16_t* p, I v) { vst1q_s16(p, vreinterpretq_s16_s32(v)); }
  // 32-bit words a[i], b[i], c[i] at p + 6i (16-bit units).
  static void StoreInterleave3(int16_t* p, I a, I b, I c) {
    int32x4x3_t v = {{a, b, c}};
    vst3q_s32(reinterpret_cast<int32_t*>(p), v);
  }
  // 32-bit words a[i], b[i], c[i], d[i] at p + 8i.
  static void StoreInterleave4(int16_t* p, I a, I b, I c, I d) {
    int32x4x4_t v = {{a, b, c, d}};
    vst4q_s32(reinterpret_cast<int32_t*>(p), v);
  }

  // ---- signed 32 x 32 -> 64-bit products (widening multiply-accumulate)
  struct Acc64 {
    int64x2_t lo, hi;
  };
  static Acc64 Acc64Zero() { return {vdupq_n_s64(0), vdupq_n_s64(0)}; }
  static Acc64 MulAdd64(Acc64 acc, I a, I b) {
    acc.lo = vmlal_s32(acc.lo, vget_low_s32(a), vget_low_s32(b));
    acc.hi = vmlal_high_s32(acc.hi, a, b);
    return acc;
  }
  static uint64_t Sum64(Acc64 acc) {
    return static_cast<uint64_t>(vaddvq_s64(vaddq_s64(acc.lo, acc.hi)));
  }
};

}  // namespace
