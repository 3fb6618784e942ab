// SSE2 hybrid analysis filters: two slots (two complex values) per vector.
#include "dsp/dsp_kernels.h"
#include "dsp/simd_sse2.h"
#include "ps/ps_hybrid_vec.h"

void dsp_sse2::FillPsHybrid(DspPsHybridKernels& k) {
  ps_vec::FillPsHybridKernels<LaneSse2>(k);
}
