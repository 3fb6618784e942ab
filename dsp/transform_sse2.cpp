// SSE2 FFT and MDCT kernels: two complex values per vector.
#include "dsp/dsp_kernels.h"
#include "dsp/simd_sse2.h"
#include "dsp/transform_vec.h"

namespace {

struct VecSse2 : LaneSse2 {
  using Block = transform_vec::PairBlock<VecSse2>;
  static constexpr int32_t kComplex = 2;
  static F SignEven() { return _mm_castsi128_ps(_mm_set_epi32(0, INT32_MIN, 0, INT32_MIN)); }
  static F SignOdd() { return _mm_castsi128_ps(_mm_set_epi32(INT32_MIN, 0, INT32_MIN, 0)); }
  static F Neg(F a) { return _mm_xor_ps(a, _mm_set1_ps(-0.0f)); }
  static F Swap(F a) { return SwapPairs(a); }
  static F Rev(F a) { return _mm_shuffle_ps(a, a, _MM_SHUFFLE(0, 1, 2, 3)); }
  static F RevC(F a) { return _mm_shuffle_ps(a, a, _MM_SHUFFLE(1, 0, 3, 2)); }
  static F BlendEvenOdd(F a, F b) {
    const F t = _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 2, 0));  // a0 a2 b1 b3
    return _mm_shuffle_ps(t, t, _MM_SHUFFLE(3, 1, 2, 0));
  }
  static F EvenWithRevOdd(F a, F b) {
    const F t = _mm_shuffle_ps(a, b, _MM_SHUFFLE(1, 3, 2, 0));  // a0 a2 b3 b1
    return _mm_shuffle_ps(t, t, _MM_SHUFFLE(3, 1, 2, 0));
  }
  // x * w with w given as (wr, wr) and (-wi, wi) per complex value.
  static F CMul(F x, F re, F im) { return _mm_add_ps(_mm_mul_ps(x, re), _mm_mul_ps(Swap(x), im)); }
  static F EvenOf(F a, F b) { return _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)); }
  static F OddRevOf(F a, F b) { return _mm_shuffle_ps(a, b, _MM_SHUFFLE(1, 3, 1, 3)); }
  static F ZipLo(F a, F b) { return _mm_unpacklo_ps(a, b); }
  static F ZipHi(F a, F b) { return _mm_unpackhi_ps(a, b); }
  // -i x = (im, -re)
  static F MulNegI(F x) { return _mm_xor_ps(Swap(x), SignOdd()); }
  // Column c of (y0 y1 y2 y3) goes to dst + 8 rev[c].
  static void StoreColumns(float* dst, const int32_t* rev, F y0, F y1, F y2, F y3) {
    float* c0 = dst + 8 * rev[0];
    float* c1 = dst + 8 * rev[1];
    _mm_storeu_ps(c0, _mm_movelh_ps(y0, y1));
    _mm_storeu_ps(c0 + 4, _mm_movelh_ps(y2, y3));
    _mm_storeu_ps(c1, _mm_movehl_ps(y1, y0));
    _mm_storeu_ps(c1 + 4, _mm_movehl_ps(y3, y2));
  }
};

}  // namespace

void dsp_sse2::FillTransform(DspTransformKernels& k) {
  k.FftCore = transform_vec::FftCore<VecSse2>;
  k.MdctInvCore = transform_vec::MdctInvCore<VecSse2>;
  k.MdctFwdCore = transform_vec::MdctFwdCore<VecSse2>;
  k.MdctInvOverlapCore = transform_vec::MdctInvOverlapCore<VecSse2>;
  k.MixedFftCore = fft_mixed_vec::MixedFftCore<VecSse2>;
}
