// The generic hybrid analysis filters of parametric stereo, the reference
// for the vectorised ones (ps_hybrid_vec.h, reached through the
// DspPsHybridKernels of dsp_kernels.h).
#pragma once

#include <cstdint>

#include "dsp/dsp_kernels.h"

// Complex Q-band hybrid filter over one window: out[q][n] for q < bands and
// the first `slots` slots n (32 or 30), from the symmetric coefficients c[q][0..5] and the real
// centre tap (ps_tables.h).
using PsHybridComplexFn = DspPsHybridComplexFn;
// Real two-band filter: low = centre + odd taps, high = centre - odd taps.
using PsHybridRealFn = DspPsHybridRealFn;

namespace ps_generic {
void HybridComplex(const float (*in)[2], const float (*coef)[6][2], float centre, int32_t bands,
                   float (*out)[kDspHybridSlots][2], int32_t slots);
void HybridReal(const float (*in)[2], const float* odd, float centre, float (*low)[2],
                float (*high)[2], int32_t slots);
void AllPass(const DspPsAllPassBand* bands, int32_t count, int32_t slots);
void MixReal(float (*s)[2], float (*d)[2], int32_t len, const float* h, const float* step);
void MixComplex(float (*s)[2], float (*d)[2], int32_t len, const float* h, const float* step);
void ToBands(const float* const* rows, int32_t b0, int32_t b1, int32_t slots,
             float (*x)[kDspHybridSlots][2]);
void ToSlots(const float (*x)[kDspHybridSlots][2], int32_t b0, int32_t b1, int32_t slots,
             float* const* rows);
void Transient(const float (*power)[kDspHybridSlots], float (*state)[kDspTransientRows],
               int32_t bands, int32_t slots, float (*gain)[kDspHybridSlots]);
}  // namespace ps_generic
