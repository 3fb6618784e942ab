// NEON QMF banks: four time slots per vector, unfused like SSE2 (whose bits
// they give, which check-aarch64 relies on).
#include "dsp/dsp_kernels.h"
#include "dsp/simd_neon.h"
#include "sbr/sbr_qmf_vec.h"

void dsp_neon::FillQmf(DspQmfKernels& k) {
  FillQmfKernels<LaneNeon>(k);
}
