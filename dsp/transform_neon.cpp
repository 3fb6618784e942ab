// NEON FFT and MDCT kernels: two complex values per vector, the operations
// of the SSE2 kernels (no fused multiply-add).
#include "dsp/dsp_kernels.h"
#include "dsp/simd_neon.h"
#include "dsp/transform_vec.h"

namespace {

struct VecNeon : LaneNeon {
  using Block = transform_vec::PairBlock<VecNeon>;
  static constexpr int32_t kComplex = 2;
  static F Signs(uint32_t even, uint32_t odd) {
    const uint32_t v[4] = {even, odd, even, odd};
    return vreinterpretq_f32_u32(vld1q_u32(v));
  }
  static F SignEven() { return Signs(0x80000000u, 0); }
  static F SignOdd() { return Signs(0, 0x80000000u); }
  static F Neg(F a) { return vnegq_f32(a); }
  static F Swap(F a) { return SwapPairs(a); }
  static F Rev(F a) {
    const F r = vrev64q_f32(a);  // a1 a0 a3 a2
    return vextq_f32(r, r, 2);
  }
  static F RevC(F a) { return vextq_f32(a, a, 2); }
  static F BlendEvenOdd(F a, F b) { return vtrn2q_f32(vtrn1q_f32(a, a), b); }
  static F EvenWithRevOdd(F a, F b) { return BlendEvenOdd(a, RevC(b)); }
  // x * w with w given as (wr, wr) and (-wi, wi) per complex value.
  static F CMul(F x, F re, F im) { return vaddq_f32(vmulq_f32(x, re), vmulq_f32(Swap(x), im)); }
  static F EvenOf(F a, F b) { return vuzp1q_f32(a, b); }
  static F OddRevOf(F a, F b) { return vrev64q_f32(vuzp2q_f32(a, b)); }
  static F ZipLo(F a, F b) { return vzip1q_f32(a, b); }
  static F ZipHi(F a, F b) { return vzip2q_f32(a, b); }
  // -i x = (im, -re)
  static F MulNegI(F x) { return Xor(Swap(x), SignOdd()); }
  // Column c of (y0 y1 y2 y3) goes to dst + 8 rev[c].
  static void StoreColumns(float* dst, const int32_t* rev, F y0, F y1, F y2, F y3) {
    float* c0 = dst + 8 * rev[0];
    float* c1 = dst + 8 * rev[1];
    vst1q_f32(c0, vcombine_f32(vget_low_f32(y0), vget_low_f32(y1)));
    vst1q_f32(c0 + 4, vcombine_f32(vget_low_f32(y2), vget_low_f32(y3)));
    vst1q_f32(c1, vcombine_f32(vget_high_f32(y0), vget_high_f32(y1)));
    vst1q_f32(c1 + 4, vcombine_f32(vget_high_f32(y2), vget_high_f32(y3)));
  }
};

}  // namespace

void dsp_neon::FillTransform(DspTransformKernels& k) {
  k.FftCore = transform_vec::FftCore<VecNeon>;
  k.MdctInvCore = transform_vec::MdctInvCore<VecNeon>;
  k.MdctFwdCore = transform_vec::MdctFwdCore<VecNeon>;
  k.MdctInvOverlapCore = transform_vec::MdctInvOverlapCore<VecNeon>;
  k.MixedFftCore = fft_mixed_vec::MixedFftCore<VecNeon>;
}
