// SSE2 QMF banks: four time slots per vector.
#include "dsp/dsp_kernels.h"
#include "dsp/simd_sse2.h"
#include "sbr/sbr_qmf_vec.h"

void dsp_sse2::FillQmf(DspQmfKernels& k) {
  FillQmfKernels<LaneSse2>(k);
}
