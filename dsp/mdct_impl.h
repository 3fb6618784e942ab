// Internal layout of the MDCT contexts and the reference kernels.
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
  // x (c - j s) before and after the FFT, c = g cos t, s = g sin t,
  // t = 2 pi (k + 1/8) / N, g = 1/sqrt(N/2) (inverse) or sqrt(2) (forward):
  // N/4 pairs (c, c), then N/4 pairs (s, -s) at twiddle + N/2, so that an
  // interleaved complex vector takes the product with one swap (CMul).
  const float* twiddle;
  const DspFftSpec_C_32fc* fft;  // power-of-two N; null otherwise
  const MixedFft* mixed;         // N/4 = 2^a 3^b 5^c (not a power of two); null otherwise
};

// Where an inverse MDCT's output y (N samples) goes when the window and the
// overlap-add are fused into its last pass: for i < N/2,
//   out[i] = y[i] rise[i] + prev[i],   next[i] = y[N/2 + i] fall[i].
// prev and next may be the same buffer, out may be prev: each index is read
// before it is written.
struct MdctOverlap {
  const float* rise;
  const float* prev;
  float* out;
  const float* fall;
  float* next;
};

// One transform; z is the 32-byte aligned work area (N/4 complex values for
// power-of-two N, N/2 for the others).  The reference kernels; the
// vectorised ones (transform_vec.h, reached through DspTransformKernels)
// fall back to them for lengths below their vector width and for lengths
// that are not powers of two.
namespace dsp_generic {
void MdctInvCore(const MdctSpec* spec, const float* src, float* dst, Dsp32fc* z);
void MdctFwdCore(const MdctSpec* spec, const float* src, float* dst, Dsp32fc* z);
void MdctInvOverlapCore(const MdctSpec* spec, const float* src, const MdctOverlap& o, Dsp32fc* z);
}  // namespace dsp_generic
