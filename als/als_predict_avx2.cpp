// AVX2 short-term synthesis filter: eight signed 32 x 32 -> 64-bit products
// per step, then one step of four.
#include "als/als_predict_vec.h"
#include "dsp/dsp_kernels.h"
#include "dsp/simd_avx2.h"

void dsp_avx2::FillAls(DspAlsKernels& k) {
  k.PredictBlock = als_vec::PredictBlock<LaneAvx2>;
}
