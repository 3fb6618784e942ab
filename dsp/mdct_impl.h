// Internal layout of the MDCT contexts and the per-instruction-set kernels
// (declared here so tests can compare them).
#pragma once

#include <cstdint>

#include "dsp/fft_impl.h"
#include "dsp/fft_mixed.h"

constexpr int32_t kMdctFwdTag = 55;
constexpr int32_t kMdctInvTag = 56;

struct MdctSpec {
  int32_t tag;
  int32_t n;
  int32_t work_size;
  int32_t fft_order;  // log2(N/4); 0 for the other lengths
  int32_t owned;      // 0: the context lives in caller memory
  // N/4 pairs (g sin t, g cos t), t = 2 pi (k + 1/8) / N, g = 1/sqrt(N/2)
  // (inverse) or sqrt(2) (forward): applied before and after the FFT.
  const float* twiddle;
  const DspFftSpec_C_32fc* fft;  // power-of-two N; null otherwise
  const MixedFft* mixed;         // N/4 = 2^a 3^b 5^c (not a power of two); null otherwise
};

// One transform; z is the 32-byte aligned work area (N/4 complex values for
// power-of-two N, N/2 for the others).  Vectorised versions fall back to the
// reference for lengths below their vector width and for lengths that are
// not powers of two.
namespace dsp_generic {
void MdctInvCore(const MdctSpec* spec, const float* src, float* dst, Dsp32fc* z);
void MdctFwdCore(const MdctSpec* spec, const float* src, float* dst, Dsp32fc* z);
}  // namespace dsp_generic
namespace dsp_sse2 {
void MdctInvCore(const MdctSpec* spec, const float* src, float* dst, Dsp32fc* z);
void MdctFwdCore(const MdctSpec* spec, const float* src, float* dst, Dsp32fc* z);
}  // namespace dsp_sse2
namespace dsp_avx2 {
void MdctInvCore(const MdctSpec* spec, const float* src, float* dst, Dsp32fc* z);
void MdctFwdCore(const MdctSpec* spec, const float* src, float* dst, Dsp32fc* z);
}  // namespace dsp_avx2
