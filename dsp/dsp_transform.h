// Complex FFT and MDCT primitives with context objects in caller memory.
//
// get-size reports the context size, the init scratch size and the work
// buffer size in bytes (alignment slack included); init builds the context
// at the 32-byte aligned address inside the given memory; apply calls take
// an optional work buffer (null: one of the reported size is allocated per
// call with dspMalloc, -9 when that fails).  Contexts are read-only after
// init and may be shared by threads.
//
// Status: 0, -6 unsupported length (or a context that would exceed 32-bit
// sizes), -8 null pointer, -9 allocation failed, -15 FFT order outside
// 0..30, -16 FFT flag not 1, 2, 4, 8, -17 context of another kind.
#pragma once

#include <cstdint>

#include "dsp/dsp_core.h"
#include "dsp/dsp_vector.h"

// Normalisation flags of the complex FFT.
enum DspFftFlag : int32_t {
  dspFftDivFwdByN = 1,   // forward scaled by 1/L, inverse unscaled
  dspFftDivInvByN = 2,   // inverse scaled by 1/L, forward unscaled
  dspFftDivBySqrtN = 4,  // both scaled by 1/sqrt(L)
  dspFftNoReNorm = 8,    // neither scaled
};

struct DspFftSpec_C_32fc;
struct DspMdctInvSpec_32f;
struct DspMdctFwdSpec_32f;

// Complex FFT of length L = 2^order (forward: Y[m] = sum y[l] e^(-j2 pi lm/L),
// inverse with e^(+j2 pi lm/L)), orders 0..26.  Up to order 10 the twiddles
// are built in (contexts hold at most a bit-reversal table) and no work
// buffer is needed; src and dst are the same buffer or do not overlap.
int32_t dspFftGetSize_C_32fc(int32_t order, int32_t flag, int32_t* spec_size, int32_t* init_size,
                             int32_t* work_size);
int32_t dspFftInit_C_32fc(DspFftSpec_C_32fc** spec, int32_t order, int32_t flag, int32_t hint,
                          uint8_t* memory, uint8_t* init);
int32_t dspFftFwd_CToC_32fc(const Dsp32fc* src, Dsp32fc* dst, const DspFftSpec_C_32fc* spec,
                            uint8_t* work);
int32_t dspFftInv_CToC_32fc(const Dsp32fc* src, Dsp32fc* dst, const DspFftSpec_C_32fc* spec,
                            uint8_t* work);

// MDCT of N time samples / N/2 coefficients; N a power of two >= 32, 12, 36,
// or 4 x 2^a 3^b 5^c (not a power of two; 1920 and 240 for 960-sample AAC
// frames), N/4 at most 65536.  Source and destination must not overlap.
// Init needs the init scratch pointer (even when its size is 0) for
// power-of-two N.
//   inverse: y[n] = (2/N) sum_k X[k] cos(2pi/N (n + N/4 + 1/2)(k + 1/2))
//   forward: X[k] = 2 sum_n x[n] cos(2pi/N (n + N/4 + 1/2)(k + 1/2))
int32_t dspMdctInvGetSize_32f(int32_t n, int32_t* spec_size, int32_t* init_size,
                              int32_t* work_size);
int32_t dspMdctFwdGetSize_32f(int32_t n, int32_t* spec_size, int32_t* init_size,
                              int32_t* work_size);
int32_t dspMdctInvInit_32f(DspMdctInvSpec_32f** spec, int32_t n, uint8_t* memory, uint8_t* init);
int32_t dspMdctFwdInit_32f(DspMdctFwdSpec_32f** spec, int32_t n, uint8_t* memory, uint8_t* init);
int32_t dspMdctInv_32f(const float* src, float* dst, const DspMdctInvSpec_32f* spec, uint8_t* work);
int32_t dspMdctFwd_32f(const float* src, float* dst, const DspMdctFwdSpec_32f* spec, uint8_t* work);
// Inverse MDCT y of src with the window and overlap-add of a synthesis
// filter bank fused into its last pass: for i < N/2
//   dst[i] = y[i] rise[i] + prev[i],   next[i] = y[N/2 + i] fall[i]
// (the same roundings as a multiply, then an add).  prev and next may be
// the same buffer and dst may be prev; src overlaps none of them.
int32_t dspMdctInvOverlap_32f(const float* src, const float* rise, const float* prev, float* dst,
                              const float* fall, float* next, const DspMdctInvSpec_32f* spec,
                              uint8_t* work);
