// AVX2/FMA FFT and MDCT kernels: four complex values per vector.  The
// complex products fuse (CMul), so results differ from the
// generic kernels by rounding, within the transforms' tolerance.
#include "dsp/dsp_kernels.h"
#include "dsp/simd_avx2.h"
#include "dsp/transform_vec.h"

namespace {

// Eight floats in the split inverse MDCT's lane order (mdct_impl.h).
struct BlockAvx2 {
  using T = __m256;
  static T Load(const float* p) { return _mm256_loadu_ps(p); }
  static void Store(float* p, T v) { _mm256_storeu_ps(p, v); }
  static T Set1(float v) { return _mm256_set1_ps(v); }
  static T Add(T a, T b) { return _mm256_add_ps(a, b); }
  static T Sub(T a, T b) { return _mm256_sub_ps(a, b); }
  static T Mul(T a, T b) { return _mm256_mul_ps(a, b); }
  static T MulAdd(T a, T b, T c) { return _mm256_fmadd_ps(a, b, c); }      // a b + c
  static T NegMulAdd(T a, T b, T c) { return _mm256_fnmadd_ps(a, b, c); }  // c - a b
  static T Neg(T a) { return _mm256_xor_ps(a, _mm256_set1_ps(-0.0f)); }
  static T SwapLanes(T a) { return _mm256_permute2f128_ps(a, a, 1); }
  // p[0], p[2], ..., p[14]: one in-lane shuffle gives the block order.
  static T LoadEven(const float* p) {
    return _mm256_shuffle_ps(Load(p), Load(p + 8), _MM_SHUFFLE(2, 0, 2, 0));
  }
  // p[15], p[13], ..., p[1]
  static T LoadOddRev(const float* p) {
    return SwapLanes(_mm256_shuffle_ps(Load(p + 8), Load(p), _MM_SHUFFLE(1, 3, 1, 3)));
  }
  static T Rev(T a) { return _mm256_permute_ps(SwapLanes(a), _MM_SHUFFLE(0, 1, 2, 3)); }
  static T ZipLo(T a, T b) { return _mm256_unpacklo_ps(a, b); }
  static T ZipHi(T a, T b) { return _mm256_unpackhi_ps(a, b); }
  static void Transpose8(T* r) { LaneAvx2::Transpose(r); }
};

struct VecAvx2 : LaneAvx2 {
  using Block = BlockAvx2;
  static constexpr int32_t kComplex = 4;
  static F SignEven() {
    return _mm256_castsi256_ps(
        _mm256_set_epi32(0, INT32_MIN, 0, INT32_MIN, 0, INT32_MIN, 0, INT32_MIN));
  }
  static F SignOdd() {
    return _mm256_castsi256_ps(
        _mm256_set_epi32(INT32_MIN, 0, INT32_MIN, 0, INT32_MIN, 0, INT32_MIN, 0));
  }
  static F Neg(F a) { return _mm256_xor_ps(a, _mm256_set1_ps(-0.0f)); }
  static F Swap(F a) { return SwapPairs(a); }
  // Reversals as a 128-bit lane swap and an in-lane shuffle: a variable
  // cross-lane permute costs twice the lane swap on some cores.
  static F SwapLanes(F a) { return _mm256_permute2f128_ps(a, a, 1); }
  static F RevC(F a) { return _mm256_permute_ps(SwapLanes(a), _MM_SHUFFLE(1, 0, 3, 2)); }
  static F BlendEvenOdd(F a, F b) { return _mm256_blend_ps(a, b, 0xAA); }
  // b[7], b[5], b[3], b[1] into the odd floats
  static F EvenWithRevOdd(F a, F b) {
    return _mm256_blend_ps(a, _mm256_permute_ps(SwapLanes(b), _MM_SHUFFLE(1, 0, 3, 0)), 0xAA);
  }
  // x * w with w given as (wr, wr) and (-wi, wi) per complex value.
  static F CMul(F x, F re, F im) { return _mm256_fmadd_ps(Swap(x), im, _mm256_mul_ps(x, re)); }
  static F MulNegI(F x) { return _mm256_xor_ps(Swap(x), SignOdd()); }
  // 4 x 4 transpose of complex values; column c goes to dst + 8 rev[c].
  static void StoreColumns(float* dst, const int32_t* rev, F y0, F y1, F y2, F y3) {
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

void dsp_avx2::FillTransform(DspTransformKernels& k) {
  k.FftCore = transform_vec::FftCore<VecAvx2>;
  k.MdctInvCore = transform_vec::MdctInvCore<VecAvx2>;
  k.MdctFwdCore = transform_vec::MdctFwdCore<VecAvx2>;
  k.MdctInvOverlapCore = transform_vec::MdctInvOverlapCore<VecAvx2>;
  k.MixedFftCore = fft_mixed_vec::MixedFftCore<VecAvx2>;
}
