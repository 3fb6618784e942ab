// SSE2 FFT and MDCT kernels: two complex values per vector.
#include <emmintrin.h>

#include "dsp/transform_vec.h"

namespace {

struct VecSse2 {
  using Vec = __m128;
  static constexpr int32_t kComplex = 2;
  static Vec Load(const float* p) { return _mm_loadu_ps(p); }
  static void Store(float* p, Vec v) { _mm_storeu_ps(p, v); }
  static Vec Add(Vec a, Vec b) { return _mm_add_ps(a, b); }
  static Vec Sub(Vec a, Vec b) { return _mm_sub_ps(a, b); }
  static Vec Xor(Vec a, Vec b) { return _mm_xor_ps(a, b); }
  static Vec SignEven() { return _mm_castsi128_ps(_mm_set_epi32(0, INT32_MIN, 0, INT32_MIN)); }
  static Vec SignOdd() { return _mm_castsi128_ps(_mm_set_epi32(INT32_MIN, 0, INT32_MIN, 0)); }
  static Vec Neg(Vec a) { return _mm_xor_ps(a, _mm_set1_ps(-0.0f)); }
  static Vec Swap(Vec a) { return _mm_shuffle_ps(a, a, _MM_SHUFFLE(2, 3, 0, 1)); }
  static Vec Rev(Vec a) { return _mm_shuffle_ps(a, a, _MM_SHUFFLE(0, 1, 2, 3)); }
  static Vec RevC(Vec a) { return _mm_shuffle_ps(a, a, _MM_SHUFFLE(1, 0, 3, 2)); }
  static Vec BlendEvenOdd(Vec a, Vec b) {
    const Vec t = _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 2, 0));  // a0 a2 b1 b3
    return _mm_shuffle_ps(t, t, _MM_SHUFFLE(3, 1, 2, 0));
  }
  static Vec EvenWithRevOdd(Vec a, Vec b) {
    const Vec t = _mm_shuffle_ps(a, b, _MM_SHUFFLE(1, 3, 2, 0));  // a0 a2 b3 b1
    return _mm_shuffle_ps(t, t, _MM_SHUFFLE(3, 1, 2, 0));
  }
  // x * w with w given as (wr, wr) and (-wi, wi) per complex value.
  static Vec Mul(Vec x, Vec re, Vec im) {
    return _mm_add_ps(_mm_mul_ps(x, re), _mm_mul_ps(Swap(x), im));
  }
  // x (c - j s) with t holding (s, c) pairs.
  static Vec MulConjTw(Vec x, Vec t) {
    const Vec ss = _mm_shuffle_ps(t, t, _MM_SHUFFLE(2, 2, 0, 0));
    const Vec cc = _mm_shuffle_ps(t, t, _MM_SHUFFLE(3, 3, 1, 1));
    return _mm_add_ps(_mm_mul_ps(x, cc), _mm_xor_ps(_mm_mul_ps(Swap(x), ss), SignOdd()));
  }
  // -i x = (im, -re)
  static Vec MulNegI(Vec x) { return _mm_xor_ps(Swap(x), SignOdd()); }
  // Column c of (y0 y1 y2 y3) goes to dst + 8 rev[c].
  static void StoreColumns(float* dst, const int32_t* rev, Vec y0, Vec y1, Vec y2, Vec y3) {
    float* c0 = dst + 8 * rev[0];
    float* c1 = dst + 8 * rev[1];
    _mm_storeu_ps(c0, _mm_movelh_ps(y0, y1));
    _mm_storeu_ps(c0 + 4, _mm_movelh_ps(y2, y3));
    _mm_storeu_ps(c1, _mm_movehl_ps(y1, y0));
    _mm_storeu_ps(c1 + 4, _mm_movehl_ps(y3, y2));
  }
};

}  // namespace

namespace dsp_sse2 {

void FftCore(const DspFftSpec_C_32fc* spec, const Dsp32fc* src, Dsp32fc* dst, bool conj_in) {
  transform_vec::FftCore<VecSse2>(spec, src, dst, conj_in);
}

void MdctInvCore(const MdctSpec* spec, const float* src, float* dst, Dsp32fc* z) {
  transform_vec::MdctInvCore<VecSse2>(spec, src, dst, z);
}

void MdctFwdCore(const MdctSpec* spec, const float* src, float* dst, Dsp32fc* z) {
  transform_vec::MdctFwdCore<VecSse2>(spec, src, dst, z);
}

}  // namespace dsp_sse2
