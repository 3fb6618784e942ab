// AVX2/FMA FFT and MDCT kernels: four complex values per vector.
#include <immintrin.h>

#include "dsp/transform_vec.h"

namespace {

struct VecAvx2 {
  using Vec = __m256;
  static constexpr int32_t kComplex = 4;
  static Vec Load(const float* p) { return _mm256_loadu_ps(p); }
  static void Store(float* p, Vec v) { _mm256_storeu_ps(p, v); }
  static Vec Add(Vec a, Vec b) { return _mm256_add_ps(a, b); }
  static Vec Sub(Vec a, Vec b) { return _mm256_sub_ps(a, b); }
  static Vec Xor(Vec a, Vec b) { return _mm256_xor_ps(a, b); }
  static Vec SignEven() {
    return _mm256_castsi256_ps(
        _mm256_set_epi32(0, INT32_MIN, 0, INT32_MIN, 0, INT32_MIN, 0, INT32_MIN));
  }
  static Vec SignOdd() {
    return _mm256_castsi256_ps(
        _mm256_set_epi32(INT32_MIN, 0, INT32_MIN, 0, INT32_MIN, 0, INT32_MIN, 0));
  }
  static Vec Neg(Vec a) { return _mm256_xor_ps(a, _mm256_set1_ps(-0.0f)); }
  static Vec Swap(Vec a) { return _mm256_permute_ps(a, _MM_SHUFFLE(2, 3, 0, 1)); }
  static Vec Rev(Vec a) {
    return _mm256_permutevar8x32_ps(a, _mm256_set_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  }
  static Vec RevC(Vec a) {
    return _mm256_permutevar8x32_ps(a, _mm256_set_epi32(1, 0, 3, 2, 5, 4, 7, 6));
  }
  static Vec BlendEvenOdd(Vec a, Vec b) { return _mm256_blend_ps(a, b, 0xAA); }
  static Vec EvenWithRevOdd(Vec a, Vec b) {
    return _mm256_blend_ps(a, _mm256_permutevar8x32_ps(b, _mm256_set_epi32(1, 0, 3, 0, 5, 0, 7, 0)),
                           0xAA);
  }
  // x * w with w given as (wr, wr) and (-wi, wi) per complex value.
  static Vec Mul(Vec x, Vec re, Vec im) {
    return _mm256_fmadd_ps(Swap(x), im, _mm256_mul_ps(x, re));
  }
  // x (c - j s) with t holding (s, c) pairs: even lanes x.re c + x.im s,
  // odd lanes x.im c - x.re s.
  static Vec MulConjTw(Vec x, Vec t) {
    const Vec ss = _mm256_moveldup_ps(t), cc = _mm256_movehdup_ps(t);
    return _mm256_fmsubadd_ps(x, cc, _mm256_mul_ps(Swap(x), ss));
  }
  static Vec MulNegI(Vec x) { return _mm256_xor_ps(Swap(x), SignOdd()); }
  // 4 x 4 transpose of complex values; column c goes to dst + 8 rev[c].
  static void StoreColumns(float* dst, const int32_t* rev, Vec y0, Vec y1, Vec y2, Vec y3) {
    const __m256d u0 = _mm256_unpacklo_pd(_mm256_castps_pd(y0), _mm256_castps_pd(y1));
    const __m256d u1 = _mm256_unpackhi_pd(_mm256_castps_pd(y0), _mm256_castps_pd(y1));
    const __m256d u2 = _mm256_unpacklo_pd(_mm256_castps_pd(y2), _mm256_castps_pd(y3));
    const __m256d u3 = _mm256_unpackhi_pd(_mm256_castps_pd(y2), _mm256_castps_pd(y3));
    _mm256_storeu_pd(reinterpret_cast<double*>(dst + 8 * rev[0]),
                     _mm256_permute2f128_pd(u0, u2, 0x20));
    _mm256_storeu_pd(reinterpret_cast<double*>(dst + 8 * rev[1]),
                     _mm256_permute2f128_pd(u1, u3, 0x20));
    _mm256_storeu_pd(reinterpret_cast<double*>(dst + 8 * rev[2]),
                     _mm256_permute2f128_pd(u0, u2, 0x31));
    _mm256_storeu_pd(reinterpret_cast<double*>(dst + 8 * rev[3]),
                     _mm256_permute2f128_pd(u1, u3, 0x31));
  }
};

}  // namespace

namespace dsp_avx2 {

void FftCore(const DspFftSpec_C_32fc* spec, const Dsp32fc* src, Dsp32fc* dst, bool conj_in) {
  transform_vec::FftCore<VecAvx2>(spec, src, dst, conj_in);
}

void MdctInvCore(const MdctSpec* spec, const float* src, float* dst, Dsp32fc* z) {
  transform_vec::MdctInvCore<VecAvx2>(spec, src, dst, z);
}

void MdctFwdCore(const MdctSpec* spec, const float* src, float* dst, Dsp32fc* z) {
  transform_vec::MdctFwdCore<VecAvx2>(spec, src, dst, z);
}

}  // namespace dsp_avx2
