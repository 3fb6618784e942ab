// Complex forward DFT of lengths 2^a 3^b 5^c that are not powers of two
// (the MDCTs of 960- and 120-line AAC frames need 480 and 60 points).
//
// Mixed-radix decimation in time: the input is gathered in digit-reversed
// order, then radix-r butterflies (r = 4, 2, 3, 5 in turn) combine sub-transforms
// of length S into blocks of length r*S with the twiddles W_rS^(q k), which
// are computed in double precision at init.  The powers of two come first,
// so that every stage after the first has a span that is a multiple of
// four and the vectorised kernels (fft_mixed_vec.h) run all of them.
#pragma once

#include <cstdint>

#include "dsp/dsp_core.h"
#include "dsp/dsp_vector.h"

inline constexpr int32_t kMixedFftMaxLength = 1 << 16;
inline constexpr int32_t kMixedFftMaxStages = 16;

struct MixedFft {
  int32_t len;
  int32_t stages;
  // Stage i combines blocks of span[i] values into blocks of radix[i] *
  // span[i]; stages run in index order (span 1 first).
  int32_t radix[kMixedFftMaxStages];
  int32_t span[kMixedFftMaxStages];
  const int32_t* gather;  // position -> input index
  // With a radix-4 first stage, whose group g takes the inputs j + q len/4
  // (q = 0..3) for j < len/4 with group[j] = g (the first stage's digit is
  // the inputs' most significant): the stage can run down four contiguous
  // rows.  Null for other first radices.
  const int32_t* group;
  const Dsp32fc* twiddle[kMixedFftMaxStages];  // (radix - 1) * span values
  // The same twiddles for interleaved complex vectors, stages after the
  // first: for each q = 1 .. radix - 1, span pairs (wr, wr), then span pairs
  // (-wi, wi), so that a product takes one swap.
  const float* vtwiddle[kMixedFftMaxStages];
};

// Whether `len` is 2^a 3^b 5^c with b + c > 0, up to kMixedFftMaxLength.
bool MixedFftLength(int32_t len);
// Bytes of memory MixedFftInit needs (alignment slack included), or -1.
int64_t MixedFftBytes(int32_t len);
// Builds the transform at the 32-byte aligned address inside `memory`.
// Returns null for an unsupported length.
const MixedFft* MixedFftInit(uint8_t* memory, int32_t len);
// dst[m] = sum_l src[l] exp(-2 pi i l m / len); src and dst must not
// overlap.  The reference kernel (DspTransformKernels::MixedFftCore).
void MixedFftForward(const MixedFft* f, const Dsp32fc* src, Dsp32fc* dst);
// Its parts, for the vectorised kernels: the digit-reversed gather fused
// with the first stage, and stage i >= 1 in place.
void MixedFftFirstStage(const MixedFft* f, const Dsp32fc* src, Dsp32fc* dst);
void MixedFftStage(const MixedFft* f, int32_t i, Dsp32fc* d);
