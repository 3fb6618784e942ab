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
  // Inverse, power-of-two N >= 256: the tables of the vectorised kernels,
  // which run on split data (MdctSplitFloats); null otherwise.
  const float* split;
  const MixedFft* mixed;  // N/4 = 2^a 3^b 5^c (not a power of two); null otherwise
};

// The vectorised inverse keeps real and imaginary parts apart, in blocks of
// eight values stored in the lane order kMdctSplitOrder (so that mirroring
// a block is a reversal and interleaving two is one unpack per 128 bits).
// Its tables, in that order, one array after another: the twiddle c and s
// (E each, E = N/4), then for each pass after the first (eight-point) one
// the cosines and sines of its twiddles W_rs^mj, m = 1 .. r - 1, j < s, of
// a pass of radix r and span s (MdctSplitRadix).
inline constexpr int32_t kMdctSplitOrder[8] = {0, 1, 4, 5, 2, 3, 6, 7};
constexpr int32_t kMdctSplitMinN = 256;

constexpr int32_t MdctLog2(int64_t v) {
  int32_t bits = 0;
  while ((int64_t{1} << bits) < v) ++bits;
  return bits;
}

// Radix of the pass of span s (8, 8 r_1, ...) of an inverse of E = N/4 >= 64
// points (power of two).  The last pass feeds the post-twiddle and pairs
// each block with its mirror: radix-4, two butterflies at a time (as many
// blocks as the registers hold), or for E = 64 one radix-8 butterfly that
// holds the pairs itself.  Before it radix-4 passes, the first of them
// radix-2 when log2(E/8) is odd.
constexpr int32_t MdctSplitRadix(int64_t e, int64_t s) {
  if (e == 64) return 8;
  return s == 8 && MdctLog2(e / 8) % 2 == 1 ? 2 : 4;
}

constexpr int64_t MdctSplitFloats(int64_t n) {
  const int64_t e = n / 4;
  int64_t floats = 2 * e;
  if (e < 64) return floats;
  for (int64_t s = 8; s < e; s *= MdctSplitRadix(e, s))
    floats += 2 * (MdctSplitRadix(e, s) - 1) * s;
  return floats;
}

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
// A mixed-radix DFT kernel (DspTransformKernels::MixedFftCore).
using MixedFftFn = void (*)(const MixedFft* f, const Dsp32fc* src, Dsp32fc* dst);

namespace dsp_generic {
void MdctInvCore(const MdctSpec* spec, const float* src, float* dst, Dsp32fc* z);
void MdctFwdCore(const MdctSpec* spec, const float* src, float* dst, Dsp32fc* z);
void MdctInvOverlapCore(const MdctSpec* spec, const float* src, const MdctOverlap& o, Dsp32fc* z);
// The same with the mixed-radix DFT `dft` (the ones above run
// MixedFftForward; the vectorised kernels pass their own).
void MdctInvCore(const MdctSpec* spec, const float* src, float* dst, Dsp32fc* z, MixedFftFn dft);
void MdctFwdCore(const MdctSpec* spec, const float* src, float* dst, Dsp32fc* z, MixedFftFn dft);
void MdctInvOverlapCore(const MdctSpec* spec, const float* src, const MdctOverlap& o, Dsp32fc* z,
                        MixedFftFn dft);
}  // namespace dsp_generic
