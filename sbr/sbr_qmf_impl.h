// The generic QMF bank kernels, the reference for the vectorised ones
// (sbr_qmf_vec.h, reached through the DspQmfKernels of dsp_kernels.h),
// which give the same results bit for bit (same operations in the same
// order, lanes are time slots).
#pragma once

#include <cstdint>

#define VX_SBR_QMF_KERNELS                                                                    \
  /* Complex 32-band analysis of `slots` slots of 32 samples; delay holds the */              \
  /* 288 previous samples (oldest first) and is updated; bands kx..31 are zero. */            \
  void AnalysisB(float* delay, const float* in, float* const* out, int32_t slots, int32_t kx, \
                 const float* window);                                                        \
  /* Complex synthesis of 64 (window c) or 32 bands (window c[2i]); delay holds */            \
  /* 9 x 128 or 9 x 64 values and is updated. */                                              \
  void Synthesis64B(float* delay, const float* const* in, float* out, int32_t slots,          \
                    const float* window);                                                     \
  void Synthesis32B(float* delay, const float* const* in, float* out, int32_t slots,          \
                    const float* window);                                                     \
  /* Real-valued (low-power) banks: 32 real values per analysis slot, 64 or */                \
  /* 32 per synthesis slot; same delay layouts. */                                            \
  void AnalysisA(float* delay, const float* in, float* const* out, int32_t slots, int32_t kx, \
                 const float* window);                                                        \
  void Synthesis64A(float* delay, const float* const* in, float* out, int32_t slots,          \
                    const float* window);                                                     \
  void Synthesis32A(float* delay, const float* const* in, float* out, int32_t slots,          \
                    const float* window);

namespace qmf_generic {
VX_SBR_QMF_KERNELS
}

#undef VX_SBR_QMF_KERNELS
