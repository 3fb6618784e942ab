// SBR HF generation and envelope adjustment kernels written once over a
// lane set L and instantiated by sbr_hf_<isa>.cpp.  L provides V (the float
// lanes of simd_*.h), AddPairs(a, b) (sums of neighbouring lanes, those of a
// then those of b, in order) and D, double lanes holding D::kBands complex
// values: Zero, Load (2 kBands floats widened), Add, Mul, MulAdd, Swap (re <->
// im), Store.  Every kernel gives the generic one's results bit for bit (no
// fused multiply-add on floats; lanes are values); what is left over after
// the last full vector runs through the generic code.  MulAdd may fuse: the
// product of two widened floats is exact in double, so acc + a b rounds once
// either way.
#pragma once

#include "sbr/sbr_hf_kernels.h"

#if defined(__SSE2__)
#include "dsp/simd_sse2.h"
#endif
#if defined(__AVX2__)
#include "dsp/simd_avx2.h"
#endif
#if defined(__ARM_NEON)
#include "dsp/simd_neon.h"
#endif

namespace sbr_vec {
namespace {

// ---- lane sets

#if defined(__SSE2__)
// Four floats, or one complex value in double, per vector.
struct SbrLanesSse2 {
  using V = LaneSse2;
  using M = __m128;  // lane masks
  static __m128 Div(__m128 a, __m128 b) { return _mm_div_ps(a, b); }
  static __m128 Sqrt(__m128 a) { return _mm_sqrt_ps(a); }
  static M Ge(__m128 a, __m128 b) { return _mm_cmpge_ps(a, b); }
  static M Has(const int32_t* flags, int32_t bit) {
    const __m128i b = _mm_set1_epi32(bit);
    const __m128i f = _mm_loadu_si128(reinterpret_cast<const __m128i*>(flags));
    return _mm_castsi128_ps(_mm_cmpeq_epi32(_mm_and_si128(f, b), b));
  }
  static __m128 Select(M m, __m128 a, __m128 b) {
    return _mm_or_ps(_mm_and_ps(m, a), _mm_andnot_ps(m, b));
  }
  static __m128 AddPairs(__m128 a, __m128 b) {
    return _mm_add_ps(_mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)),
                      _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
  }
  // Solve: one band per double lane.
  struct S {
    using T = __m128d;
    using Fv = __m128;  // the low kBands lanes
    static constexpr int32_t kBands = 2;
    static T Sums(const double (*s)[5], int32_t i) { return _mm_setr_pd(s[0][i], s[1][i]); }
    static void Complex(const float* p, T& re, T& im) {
      const __m128 v = _mm_loadu_ps(p);  // re0 im0 re1 im1
      const __m128 t = _mm_shuffle_ps(v, v, _MM_SHUFFLE(3, 1, 2, 0));
      re = _mm_cvtps_pd(t);
      im = _mm_cvtps_pd(_mm_movehl_ps(t, t));
    }
    static T Set1(double v) { return _mm_set1_pd(v); }
    static T Add(T a, T b) { return _mm_add_pd(a, b); }
    static T Sub(T a, T b) { return _mm_sub_pd(a, b); }
    static T Mul(T a, T b) { return _mm_mul_pd(a, b); }
    static T Div(T a, T b) { return _mm_div_pd(a, b); }
    static T Neg(T a) { return _mm_xor_pd(a, _mm_set1_pd(-0.0)); }
    // a where a != 0 (NaN included), else 0; a where gt > 0, else 0.
    static T KeepNonZero(T test, T a) {
      return _mm_and_pd(_mm_cmpneq_pd(test, _mm_setzero_pd()), a);
    }
    static T KeepPositive(T test, T a) {
      return _mm_and_pd(_mm_cmpgt_pd(test, _mm_setzero_pd()), a);
    }
    static Fv ToFloat(T a) { return _mm_cvtpd_ps(a); }
    static Fv Mul(Fv a, Fv b) { return _mm_mul_ps(a, b); }
    static Fv Add(Fv a, Fv b) { return _mm_add_ps(a, b); }
    // Both pairs where neither magnitude reaches 4, else zeros.
    static void Limit(Fv& r0, Fv& i0, Fv& r1, Fv& i1) {
      const __m128 lim = _mm_set1_ps(16.0f);
      const __m128 big = _mm_or_ps(_mm_cmpge_ps(Add(Mul(r0, r0), Mul(i0, i0)), lim),
                                   _mm_cmpge_ps(Add(Mul(r1, r1), Mul(i1, i1)), lim));
      r0 = _mm_andnot_ps(big, r0);
      i0 = _mm_andnot_ps(big, i0);
      r1 = _mm_andnot_ps(big, r1);
      i1 = _mm_andnot_ps(big, i1);
    }
    static void Store(float* p, Fv re, Fv im) { _mm_storeu_ps(p, _mm_unpacklo_ps(re, im)); }
  };
  struct D {
    using F = __m128d;
    static constexpr int32_t kBands = 1;
    static F Zero() { return _mm_setzero_pd(); }
    static F Load(const float* p) {
      return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
    }
    static F Add(F a, F b) { return _mm_add_pd(a, b); }
    static F Mul(F a, F b) { return _mm_mul_pd(a, b); }
    static F MulAdd(F acc, F a, F b) { return _mm_add_pd(acc, _mm_mul_pd(a, b)); }
    static F Swap(F a) { return _mm_shuffle_pd(a, a, 1); }
    static void Store(double* p, F v) { _mm_storeu_pd(p, v); }
  };
};

#endif

#if defined(__AVX2__)
// Eight floats, or two complex values in double, per vector.
struct SbrLanesAvx2 {
  using V = LaneAvx2;
  using Narrow = SbrLanesSse2;
  using M = __m256;
  static __m256 Div(__m256 a, __m256 b) { return _mm256_div_ps(a, b); }
  static __m256 Sqrt(__m256 a) { return _mm256_sqrt_ps(a); }
  static M Ge(__m256 a, __m256 b) { return _mm256_cmp_ps(a, b, _CMP_GE_OQ); }
  static M Has(const int32_t* flags, int32_t bit) {
    const __m256i b = _mm256_set1_epi32(bit);
    const __m256i f = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(flags));
    return _mm256_castsi256_ps(_mm256_cmpeq_epi32(_mm256_and_si256(f, b), b));
  }
  static __m256 Select(M m, __m256 a, __m256 b) { return _mm256_blendv_ps(b, a, m); }
  static __m256 AddPairs(__m256 a, __m256 b) {
    const __m256 even = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));
    const __m256 odd = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
    // Per 128-bit half: a's two sums then b's; put the halves in order.
    const __m256d s = _mm256_castps_pd(_mm256_add_ps(even, odd));
    return _mm256_castpd_ps(_mm256_permute4x64_pd(s, 0xD8));
  }
  struct S {
    using T = __m256d;
    using Fv = __m128;
    static constexpr int32_t kBands = 4;
    static T Sums(const double (*s)[5], int32_t i) {
      return _mm256_setr_pd(s[0][i], s[1][i], s[2][i], s[3][i]);
    }
    static void Complex(const float* p, T& re, T& im) {
      const __m256 v =
          _mm256_permutevar8x32_ps(_mm256_loadu_ps(p), _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7));
      re = _mm256_cvtps_pd(_mm256_castps256_ps128(v));
      im = _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1));
    }
    static T Set1(double v) { return _mm256_set1_pd(v); }
    static T Add(T a, T b) { return _mm256_add_pd(a, b); }
    static T Sub(T a, T b) { return _mm256_sub_pd(a, b); }
    static T Mul(T a, T b) { return _mm256_mul_pd(a, b); }
    static T Div(T a, T b) { return _mm256_div_pd(a, b); }
    static T Neg(T a) { return _mm256_xor_pd(a, _mm256_set1_pd(-0.0)); }
    static T KeepNonZero(T test, T a) {
      return _mm256_and_pd(_mm256_cmp_pd(test, _mm256_setzero_pd(), _CMP_NEQ_UQ), a);
    }
    static T KeepPositive(T test, T a) {
      return _mm256_and_pd(_mm256_cmp_pd(test, _mm256_setzero_pd(), _CMP_GT_OQ), a);
    }
    static Fv ToFloat(T a) { return _mm256_cvtpd_ps(a); }
    static Fv Mul(Fv a, Fv b) { return _mm_mul_ps(a, b); }
    static Fv Add(Fv a, Fv b) { return _mm_add_ps(a, b); }
    static void Limit(Fv& r0, Fv& i0, Fv& r1, Fv& i1) { SbrLanesSse2::S::Limit(r0, i0, r1, i1); }
    static void Store(float* p, Fv re, Fv im) {
      _mm_storeu_ps(p, _mm_unpacklo_ps(re, im));
      _mm_storeu_ps(p + 4, _mm_unpackhi_ps(re, im));
    }
  };
  struct D {
    using F = __m256d;
    static constexpr int32_t kBands = 2;
    static F Zero() { return _mm256_setzero_pd(); }
    static F Load(const float* p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }
    static F Add(F a, F b) { return _mm256_add_pd(a, b); }
    static F Mul(F a, F b) { return _mm256_mul_pd(a, b); }
    static F MulAdd(F acc, F a, F b) { return _mm256_fmadd_pd(a, b, acc); }
    static F Swap(F a) { return _mm256_permute_pd(a, 0x5); }
    static void Store(double* p, F v) { _mm256_storeu_pd(p, v); }
  };
};

#endif

#if defined(__ARM_NEON)
// Four floats, or one complex value in double, per vector.
struct SbrLanesNeon {
  using V = LaneNeon;
  using M = uint32x4_t;
  static float32x4_t Div(float32x4_t a, float32x4_t b) { return vdivq_f32(a, b); }
  static float32x4_t Sqrt(float32x4_t a) { return vsqrtq_f32(a); }
  static M Ge(float32x4_t a, float32x4_t b) { return vcgeq_f32(a, b); }
  static M Has(const int32_t* flags, int32_t bit) {
    return vtstq_s32(vld1q_s32(flags), vdupq_n_s32(bit));
  }
  static float32x4_t Select(M m, float32x4_t a, float32x4_t b) { return vbslq_f32(m, a, b); }
  static float32x4_t AddPairs(float32x4_t a, float32x4_t b) { return vpaddq_f32(a, b); }
  struct S {
    using T = float64x2_t;
    using Fv = float32x2_t;
    static constexpr int32_t kBands = 2;
    static T Sums(const double (*s)[5], int32_t i) {
      return vsetq_lane_f64(s[1][i], vdupq_n_f64(s[0][i]), 1);
    }
    static void Complex(const float* p, T& re, T& im) {
      const float32x2x2_t v = vld2_f32(p);
      re = vcvt_f64_f32(v.val[0]);
      im = vcvt_f64_f32(v.val[1]);
    }
    static T Set1(double v) { return vdupq_n_f64(v); }
    static T Add(T a, T b) { return vaddq_f64(a, b); }
    static T Sub(T a, T b) { return vsubq_f64(a, b); }
    static T Mul(T a, T b) { return vmulq_f64(a, b); }
    static T Div(T a, T b) { return vdivq_f64(a, b); }
    static T Neg(T a) { return vnegq_f64(a); }
    static T KeepNonZero(T test, T a) {
      return vbslq_f64(vceqq_f64(test, vdupq_n_f64(0.0)), vdupq_n_f64(0.0), a);
    }
    static T KeepPositive(T test, T a) {
      return vbslq_f64(vcgtq_f64(test, vdupq_n_f64(0.0)), a, vdupq_n_f64(0.0));
    }
    static Fv ToFloat(T a) { return vcvt_f32_f64(a); }
    static Fv Mul(Fv a, Fv b) { return vmul_f32(a, b); }
    static Fv Add(Fv a, Fv b) { return vadd_f32(a, b); }
    static void Limit(Fv& r0, Fv& i0, Fv& r1, Fv& i1) {
      const float32x2_t lim = vdup_n_f32(16.0f);
      const uint32x2_t big = vorr_u32(vcge_f32(Add(Mul(r0, r0), Mul(i0, i0)), lim),
                                      vcge_f32(Add(Mul(r1, r1), Mul(i1, i1)), lim));
      const float32x2_t zero = vdup_n_f32(0.0f);
      r0 = vbsl_f32(big, zero, r0);
      i0 = vbsl_f32(big, zero, i0);
      r1 = vbsl_f32(big, zero, r1);
      i1 = vbsl_f32(big, zero, i1);
    }
    static void Store(float* p, Fv re, Fv im) { vst2_f32(p, float32x2x2_t{{re, im}}); }
  };
  struct D {
    using F = float64x2_t;
    static constexpr int32_t kBands = 1;
    static F Zero() { return vdupq_n_f64(0.0); }
    static F Load(const float* p) { return vcvt_f64_f32(vld1_f32(p)); }
    static F Add(F a, F b) { return vaddq_f64(a, b); }
    static F Mul(F a, F b) { return vmulq_f64(a, b); }
    static F MulAdd(F acc, F a, F b) { return vfmaq_f64(acc, a, b); }
    static F Swap(F a) { return vextq_f64(a, a, 1); }
    static void Store(double* p, F v) { vst1q_f64(p, v); }
  };
};

#endif

// A lane set may name a narrower one (AVX2 -> SSE2) for what is left over.
template <class L>
constexpr bool kHasNarrow = requires {
  typename L::Narrow;
};

// Sums of N vectors of bands side by side: one vector's five accumulators
// wait on their own additions every slot, so two vectors in flight keep the
// multiply-add units busy (AVX2: 787 -> 642 ns per 32 bands).
template <class L, int N>
void CovarianceBlock(const float* p, int32_t terms, double (*sums)[5]) {
  using D = typename L::D;
  using T = typename D::F;
  constexpr int32_t kB = D::kBands;
  T x0[N], x1[N], x2[N], e[N], a1[N], b1[N], a2[N], b2[N];
  for (int v = 0; v < N; ++v) {
    const float* q = p + 2 * kB * v;
    x0[v] = D::Load(q);
    x1[v] = D::Load(q + kSbrLowRow);
    x2[v] = D::Load(q + 2 * kSbrLowRow);
    // m = 0 adds to the lag-two sums only.
    a2[v] = D::Mul(x2[v], x0[v]);
    b2[v] = D::Mul(x2[v], D::Swap(x0[v]));
    e[v] = a1[v] = b1[v] = D::Zero();
  }
  for (int32_t m = 1; m < terms; ++m) {
    for (int v = 0; v < N; ++v) {
      x0[v] = x1[v];
      x1[v] = x2[v];
      x2[v] = D::Load(p + 2 * kB * v + kSbrLowRow * (m + 2));
      const T s0 = D::Swap(x0[v]);
      e[v] = D::MulAdd(e[v], x0[v], x0[v]);
      a1[v] = D::MulAdd(a1[v], x1[v], x0[v]);
      b1[v] = D::MulAdd(b1[v], x1[v], s0);
      a2[v] = D::MulAdd(a2[v], x2[v], x0[v]);
      b2[v] = D::MulAdd(b2[v], x2[v], s0);
    }
  }
  for (int v = 0; v < N; ++v) {
    double ve[2 * kB], va1[2 * kB], vb1[2 * kB], va2[2 * kB], vb2[2 * kB];
    D::Store(ve, e[v]);
    D::Store(va1, a1[v]);
    D::Store(vb1, b1[v]);
    D::Store(va2, a2[v]);
    D::Store(vb2, b2[v]);
    for (int32_t k = 0; k < kB; ++k) {
      double* out = sums[kB * v + k];
      out[0] = ve[2 * k] + ve[2 * k + 1];
      out[1] = va1[2 * k] + va1[2 * k + 1];
      out[2] = vb1[2 * k + 1] - vb1[2 * k];
      out[3] = va2[2 * k] + va2[2 * k + 1];
      out[4] = vb2[2 * k + 1] - vb2[2 * k];
    }
  }
}

template <class L>
void Covariance(const float* x, int32_t bands, int32_t terms, double (*sums)[5]) {
  constexpr int32_t kB = L::D::kBands;
  // Two vectors in flight need 16 vector registers and more: 128-bit lane
  // sets (16 registers under SSE2) run one.
  constexpr int kN = sizeof(typename L::D::F) >= 32 ? 2 : 1;
  int32_t b = 0;
  if (terms > 0) {  // (m = 0 exists)
    for (; b + kN * kB <= bands; b += kN * kB) CovarianceBlock<L, kN>(x + 2 * b, terms, sums + b);
    for (; b + kB <= bands; b += kB) CovarianceBlock<L, 1>(x + 2 * b, terms, sums + b);
  }
  if (b == bands) return;
  if constexpr (kHasNarrow<L>) {
    Covariance<typename L::Narrow>(x + 2 * b, bands - b, terms, sums + b);
  } else {
    sbr_generic::Covariance(x + 2 * b, bands - b, terms, sums + b);
  }
}

// The generic Solve per band lane: every division runs, and the masks keep
// the quotients the generic branches would take (a zero d or a non-positive
// r11 leaves zeros).
template <class L>
void Solve(const double (*sums)[5], const float* x, int32_t bands, int32_t terms, float* alpha0,
           float* alpha1) {
  using S = typename L::S;
  using T = typename S::T;
  constexpr int32_t kB = S::kBands;
  int32_t b = 0;
  for (; b + kB <= bands; b += kB) {
    const float* first = x + 2 * b;
    T f0r, f0i, f1r, f1i, lr, li, ar, ai;
    S::Complex(first, f0r, f0i);
    S::Complex(first + kSbrLowRow, f1r, f1i);
    S::Complex(first + kSbrLowRow * terms, lr, li);
    S::Complex(first + kSbrLowRow * (terms + 1), ar, ai);
    const double(*s)[5] = sums + b;
    const T s0 = S::Sums(s, 0), s1 = S::Sums(s, 1), s2 = S::Sums(s, 2);
    const T r02r = S::Sums(s, 3), r02i = S::Sums(s, 4);
    const T r11 = S::Add(s0, S::Add(S::Mul(lr, lr), S::Mul(li, li)));
    const T r22 = S::Add(s0, S::Add(S::Mul(f0r, f0r), S::Mul(f0i, f0i)));
    const T r01r = S::Add(s1, S::Add(S::Mul(ar, lr), S::Mul(ai, li)));
    const T r01i = S::Add(s2, S::Sub(S::Mul(ai, lr), S::Mul(ar, li)));
    const T r12r = S::Add(s1, S::Add(S::Mul(f1r, f0r), S::Mul(f1i, f0i)));
    const T r12i = S::Add(s2, S::Sub(S::Mul(f1i, f0r), S::Mul(f1r, f0i)));
    const T d = S::Sub(S::Mul(r22, r11),
                       S::Div(S::Add(S::Mul(r12r, r12r), S::Mul(r12i, r12i)), S::Set1(1.0 + 1e-6)));
    const T a1r = S::KeepNonZero(
        d, S::Div(S::Sub(S::Sub(S::Mul(r01r, r12r), S::Mul(r01i, r12i)), S::Mul(r02r, r11)), d));
    const T a1i = S::KeepNonZero(
        d, S::Div(S::Sub(S::Add(S::Mul(r01i, r12r), S::Mul(r01r, r12i)), S::Mul(r02i, r11)), d));
    const T a0r = S::KeepPositive(
        r11, S::Div(S::Neg(S::Add(S::Add(r01r, S::Mul(a1r, r12r)), S::Mul(a1i, r12i))), r11));
    const T a0i = S::KeepPositive(
        r11, S::Div(S::Neg(S::Sub(S::Add(r01i, S::Mul(a1i, r12r)), S::Mul(a1r, r12i))), r11));
    typename S::Fv p0r = S::ToFloat(a0r), p0i = S::ToFloat(a0i);
    typename S::Fv p1r = S::ToFloat(a1r), p1i = S::ToFloat(a1i);
    S::Limit(p0r, p0i, p1r, p1i);
    S::Store(alpha0 + 2 * b, p0r, p0i);
    S::Store(alpha1 + 2 * b, p1r, p1i);
  }
  if (b == bands) return;
  if constexpr (kHasNarrow<L>) {
    Solve<typename L::Narrow>(sums + b, x + 2 * b, bands - b, terms, alpha0 + 2 * b,
                              alpha1 + 2 * b);
  } else {
    sbr_generic::Solve(sums + b, x + 2 * b, bands - b, terms, alpha0 + 2 * b, alpha1 + 2 * b);
  }
}

// dst never overlaps src: a last vector that reaches back over values
// already written writes them again, equal.
template <class L>
void Patch(const float* src, float* dst, int32_t rows, const float* coef, int32_t n) {
  using V = typename L::V;
  using F = typename V::F;
  if (n < V::kLanes) {
    if constexpr (kHasNarrow<L>) {
      Patch<typename L::Narrow>(src, dst, rows, coef, n);
    } else {
      sbr_generic::Patch(src, dst, rows, coef, n);
    }
    return;
  }
  for (int32_t i = 0; i < n;) {
    const F c0r = V::Load(coef + i), c0i = V::Load(coef + kSbrHighRow + i);
    const F c1r = V::Load(coef + 2 * kSbrHighRow + i), c1i = V::Load(coef + 3 * kSbrHighRow + i);
    F x2 = V::Load(src + i), x1 = V::Load(src + kSbrLowRow + i);
    for (int32_t j = 0; j < rows; ++j) {
      const F x0 = V::Load(src + kSbrLowRow * (j + 2) + i);
      const F t0 = V::Add(V::Mul(c0r, x1), V::Mul(c0i, V::SwapPairs(x1)));
      const F t1 = V::Add(V::Mul(c1r, x2), V::Mul(c1i, V::SwapPairs(x2)));
      V::Store(dst + kSbrHighRow * j + i, V::Add(V::Add(x0, t0), t1));
      x2 = x1;
      x1 = x0;
    }
    i += V::kLanes;
    if (i < n && i + V::kLanes > n) i = n - V::kLanes;
  }
}

template <class L>
void Energies(const float* x, int32_t rows, int32_t bands, float* e) {
  using V = typename L::V;
  using F = typename V::F;
  int32_t b = 0;
  for (; b + V::kLanes <= bands; b += V::kLanes) {
    F acc = V::Zero();
    for (int32_t j = 0; j < rows; ++j) {
      const float* p = x + kSbrHighRow * j + 2 * b;
      const F lo = V::Load(p), hi = V::Load(p + V::kLanes);
      acc = V::Add(acc, L::AddPairs(V::Mul(lo, lo), V::Mul(hi, hi)));
    }
    V::Store(e + b, L::Div(acc, V::Set1(static_cast<float>(rows))));
  }
  if (b == bands) return;
  if constexpr (kHasNarrow<L>) {
    Energies<typename L::Narrow>(x + 2 * b, rows, bands - b, e + b);
  } else {
    sbr_generic::Energies(x + 2 * b, rows, bands - b, e + b);
  }
}

template <class L>
void Smooth(const float* const* rows, float* out, int32_t n) {
  using V = typename L::V;
  using F = typename V::F;
  const F w0 = V::Set1(kSbrSmoothing[0]), w1 = V::Set1(kSbrSmoothing[1]);
  const F w2 = V::Set1(kSbrSmoothing[2]), w3 = V::Set1(kSbrSmoothing[3]);
  const F w4 = V::Set1(kSbrSmoothing[4]);
  int32_t i = 0;
  for (; i + V::kLanes <= n; i += V::kLanes) {
    F acc = V::Mul(w0, V::Load(rows[0] + i));
    acc = V::Add(acc, V::Mul(w1, V::Load(rows[1] + i)));
    acc = V::Add(acc, V::Mul(w2, V::Load(rows[2] + i)));
    acc = V::Add(acc, V::Mul(w3, V::Load(rows[3] + i)));
    acc = V::Add(acc, V::Mul(w4, V::Load(rows[4] + i)));
    V::Store(out + i, acc);
  }
  if (i == n) return;
  const float* rest[5] = {rows[0] + i, rows[1] + i, rows[2] + i, rows[3] + i, rows[4] + i};
  if constexpr (kHasNarrow<L>) {
    Smooth<typename L::Narrow>(rest, out + i, n - i);
  } else {
    sbr_generic::Smooth(rest, out + i, n - i);
  }
}

template <class L>
void Adjust(float* x, const float* g, const float* q, const float* noise, int32_t n) {
  using V = typename L::V;
  int32_t i = 0;
  if (q == nullptr || noise == nullptr) {
    for (; i + V::kLanes <= n; i += V::kLanes) {
      V::Store(x + i, V::Mul(V::Load(g + i), V::Load(x + i)));
    }
  } else {
    for (; i + V::kLanes <= n; i += V::kLanes) {
      V::Store(x + i, V::Add(V::Mul(V::Load(g + i), V::Load(x + i)),
                             V::Mul(V::Load(q + i), V::Load(noise + i))));
    }
  }
  if (i == n) return;
  const bool noisy = q != nullptr && noise != nullptr;
  if constexpr (kHasNarrow<L>) {
    Adjust<typename L::Narrow>(x + i, g + i, noisy ? q + i : nullptr, noisy ? noise + i : nullptr,
                               n - i);
  } else {
    sbr_generic::Adjust(x + i, g + i, noisy ? q + i : nullptr, noisy ? noise + i : nullptr, n - i);
  }
}

template <class L>
void Gains(const float* e, const float* q, const float* ecurr, const int32_t* flags,
           bool noise_free, int32_t n, float* g, float* qm, float* sm) {
  using V = typename L::V;
  using F = typename V::F;
  const F one = V::Set1(1.0f);
  int32_t i = 0;
  for (; i + V::kLanes <= n; i += V::kLanes) {
    const F ve = V::Load(e + i), vq = V::Load(q + i);
    const F t = V::Add(one, vq);
    const F noise = L::Div(V::Mul(ve, vq), t), tone = L::Div(ve, t);
    V::Store(qm + i, noise);
    V::Store(sm + i, L::Select(L::Has(flags + i, kSbrSine), tone, V::Zero()));
    const F gain = L::Select(L::Has(flags + i, kSbrBandSine), noise, noise_free ? ve : tone);
    V::Store(g + i, L::Div(gain, V::Add(V::Load(ecurr + i), one)));
  }
  if (i == n) return;
  if constexpr (kHasNarrow<L>) {
    Gains<typename L::Narrow>(e + i, q + i, ecurr + i, flags + i, noise_free, n - i, g + i, qm + i,
                              sm + i);
  } else {
    sbr_generic::Gains(e + i, q + i, ecurr + i, flags + i, noise_free, n - i, g + i, qm + i,
                       sm + i);
  }
}

template <class L>
void Limit(float* g, float* qm, const float* gmax, int32_t n) {
  using V = typename L::V;
  using F = typename V::F;
  int32_t i = 0;
  for (; i + V::kLanes <= n; i += V::kLanes) {
    const F vg = V::Load(g + i), vq = V::Load(qm + i), vmax = V::Load(gmax + i);
    const typename L::M over = L::Ge(vg, vmax);
    V::Store(qm + i, L::Select(over, L::Div(V::Mul(vq, vmax), vg), vq));
    V::Store(g + i, L::Select(over, vmax, vg));
  }
  if (i == n) return;
  if constexpr (kHasNarrow<L>) {
    Limit<typename L::Narrow>(g + i, qm + i, gmax + i, n - i);
  } else {
    sbr_generic::Limit(g + i, qm + i, gmax + i, n - i);
  }
}

template <class L>
void Boost(float* g, float* qm, float* sm, const float* boost, int32_t n) {
  using V = typename L::V;
  using F = typename V::F;
  int32_t i = 0;
  for (; i + V::kLanes <= n; i += V::kLanes) {
    const F b = V::Load(boost + i);
    V::Store(g + i, L::Sqrt(V::Mul(V::Load(g + i), b)));
    V::Store(qm + i, L::Sqrt(V::Mul(V::Load(qm + i), b)));
    V::Store(sm + i, L::Sqrt(V::Mul(V::Load(sm + i), b)));
  }
  if (i == n) return;
  if constexpr (kHasNarrow<L>) {
    Boost<typename L::Narrow>(g + i, qm + i, sm + i, boost + i, n - i);
  } else {
    sbr_generic::Boost(g + i, qm + i, sm + i, boost + i, n - i);
  }
}

template <class L>
void FillSbrKernels(DspSbrKernels& k) {
  k.Covariance = Covariance<L>;
  k.Solve = Solve<L>;
  k.Patch = Patch<L>;
  k.Energies = Energies<L>;
  k.Smooth = Smooth<L>;
  k.Adjust = Adjust<L>;
  k.Gains = Gains<L>;
  k.Limit = Limit<L>;
  k.Boost = Boost<L>;
}

}  // namespace
}  // namespace sbr_vec
