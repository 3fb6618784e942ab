// SSE2 short-term synthesis filter: four signed 32 x 32 -> 64-bit products
// per step (SSE2 multiplies unsigned lanes; the lane type corrects the signs).
#include "als/als_predict_vec.h"
#include "dsp/dsp_kernels.h"
#include "dsp/simd_sse2.h"

void dsp_sse2::FillAls(DspAlsKernels& k) {
  k.PredictBlock = als_vec::PredictBlock<LaneSse2>;
}
