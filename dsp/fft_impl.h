// Internal layout of the complex FFT context and its kernels.
#pragma once

#include <cstdint>

#include "dsp/dsp_transform.h"

constexpr int32_t kFftTag = 4;
constexpr int32_t kMaxFftOrder = 24;  // larger contexts exceed 32-bit sizes

// Twiddles of one vectorised pass, each complex value duplicated so that a
// vector of interleaved (re, im) pairs multiplies without shuffles:
// re = (wr, wr), im = (-wi, wi).
struct FftPassTwiddles {
  const float* w1_re;
  const float* w1_im;
  const float* w2_re;  // null for a single radix-2 pass
  const float* w2_im;
};

struct DspFftSpec_C_32fc {
  int32_t tag;
  int32_t order;
  int32_t fwd_scaled;  // the forward direction multiplies by `scale`
  int32_t inv_scaled;
  float scale;
  int32_t hint;
  float reserved[2];
  const int32_t* bitrev;  // L entries (an involution)
  const float* twiddle;   // W_L^j = (cos, -sin)(2 pi j / L), j < L/2, interleaved
  // Vectorised passes: first a radix-4 pass without twiddles (order >= 2),
  // then radix-2^2 passes over stage pairs (h, 2h), then possibly one
  // radix-2 pass.  pass_h[p] is the first stage's half-length.
  int32_t num_passes;
  int32_t pass_h[16];
  FftPassTwiddles pass[16];
  int32_t work_size;
};

// Radix passes over data already in bit-reversed order, in place; unscaled.
namespace dsp_generic {
void FftPasses(const DspFftSpec_C_32fc* spec, Dsp32fc* data);
}
namespace dsp_sse2 {
void FftPasses(const DspFftSpec_C_32fc* spec, Dsp32fc* data);
}
namespace dsp_avx2 {
void FftPasses(const DspFftSpec_C_32fc* spec, Dsp32fc* data);
}

// Runs the selected passes (dispatch table).
void FftRunPasses(const DspFftSpec_C_32fc* spec, Dsp32fc* data);
