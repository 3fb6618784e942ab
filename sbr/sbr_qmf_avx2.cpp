// AVX2 QMF banks: eight time slots per vector.  No fused multiply-add, so
// the results equal the generic kernels bit for bit.
#include "dsp/dsp_kernels.h"
#include "dsp/simd_avx2.h"
#include "sbr/sbr_qmf_vec.h"

void dsp_avx2::FillQmf(DspQmfKernels& k) {
  FillQmfKernels<LaneAvx2>(k);
}
