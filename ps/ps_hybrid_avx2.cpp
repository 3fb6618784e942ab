// AVX2 PS kernels: the decorrelator's all-pass chain, eight bands per
// vector (the hybrid filters keep their SSE2 form: two slots per vector).
#include "dsp/dsp_kernels.h"
#include "dsp/simd_avx2.h"
#include "ps/ps_hybrid_vec.h"

void dsp_avx2::FillPsHybrid(DspPsHybridKernels& k) {
  k.AllPass = ps_vec::AllPass<LaneAvx2>;
  k.Transient = ps_vec::Transient<LaneAvx2>;
}
