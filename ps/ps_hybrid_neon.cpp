// NEON hybrid analysis filters: two slots (two complex values) per vector.
#include "dsp/dsp_kernels.h"
#include "dsp/simd_neon.h"
#include "ps/ps_hybrid_vec.h"

void dsp_neon::FillPsHybrid(DspPsHybridKernels& k) {
  ps_vec::FillPsHybridKernels<LaneNeon>(k);
}
