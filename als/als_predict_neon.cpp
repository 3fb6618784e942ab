// NEON short-term synthesis filter: four widening multiply-accumulates
// per step.
#include "als/als_predict_vec.h"
#include "dsp/dsp_kernels.h"
#include "dsp/simd_neon.h"

void dsp_neon::FillAls(DspAlsKernels& k) {
  k.PredictBlock = als_vec::PredictBlock<LaneNeon>;
}
