// NEON QMF banks: four time slots per vector, window sums fused as on AVX2.
#include "dsp/dsp_kernels.h"
#include "dsp/simd_neon.h"
#include "sbr/sbr_qmf_vec.h"

void dsp_neon::FillQmf(DspQmfKernels& k) {
  FillQmfKernels<LaneNeon>(k);
}
