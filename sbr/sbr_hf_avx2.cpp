// AVX2 SBR HF generation and envelope adjustment kernels (sbr_hf_vec.h).
#include "dsp/dsp_kernels.h"
#include "sbr/sbr_hf_vec.h"

void dsp_avx2::FillSbr(DspSbrKernels& k) {
  sbr_vec::FillSbrKernels<sbr_vec::SbrLanesAvx2>(k);
}
