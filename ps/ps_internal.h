// Internal interfaces of the parametric stereo modules: the hybrid filter
// kernels (generic and SSE2, compared by the tests), the decorrelator, the
// mixing and the index maps.
#pragma once

#include <cstdint>

#include "ps/ps_decoder.h"
#include "ps/ps_tables.h"

// Input window of one split QMF band: kPsLookAhead history slots, the 32
// (or 30) slots of the frame and kPsLookAhead look-ahead slots (complex
// values).
inline constexpr int kPsWindowSlots = kPsLookAhead + kPsSlots + kPsLookAhead;

// Complex Q-band hybrid filter over one window: out[q][n] for q < bands and
// the `slots` slots n (an even count, 32 or 30), from the symmetric
// coefficients c[q][0..5] and the real centre tap (ps_tables.h).
using PsHybridComplexFn = void (*)(const float (*in)[2], const float (*coef)[6][2], float centre,
                                   int32_t bands, float (*out)[kPsSlots][2], int32_t slots);
// Real two-band filter: low = centre + odd taps, high = centre - odd taps.
using PsHybridRealFn = void (*)(const float (*in)[2], const float* odd, float centre,
                                float (*low)[2], float (*high)[2], int32_t slots);

namespace ps_generic {
void HybridComplex(const float (*in)[2], const float (*coef)[6][2], float centre, int32_t bands,
                   float (*out)[kPsSlots][2], int32_t slots);
void HybridReal(const float (*in)[2], const float* odd, float centre, float (*low)[2],
                float (*high)[2], int32_t slots);
}  // namespace ps_generic

namespace ps_sse2 {
void HybridComplex(const float (*in)[2], const float (*coef)[6][2], float centre, int32_t bands,
                   float (*out)[kPsSlots][2], int32_t slots);
void HybridReal(const float (*in)[2], const float* odd, float centre, float (*low)[2],
                float (*high)[2], int32_t slots);
}  // namespace ps_sse2

// The implementations the processor dispatch selected.
PsHybridComplexFn PsHybridComplexKernel();
PsHybridRealFn PsHybridRealKernel();

// Layout index of the tables: 0 for kPsLayout20, 1 for kPsLayout34.
inline int PsLayoutIndex(int32_t layout) {
  return layout == kPsLayout34 ? 1 : 0;
}

// Hybrid analysis of one frame of st.slots slots: the split QMF bands of
// `qmf` (st.slots + 6 slots with the look-ahead) are filtered into
// sub-subbands, the others copied, into st.s (k domain).  The history of
// the split bands moves on by one frame.
void PsHybridAnalysis(PsSynthesisState& st, const PsLayoutTables& lay, const float* const* qmf);
// Hybrid synthesis: the sub-subbands of every split QMF band are summed,
// the other bands copied; `k_signal` (st.s or st.d) -> `slots` QMF slots,
// bands below `top_band`; bands from top_band to 63 are zeroed.
void PsHybridSynthesis(const float (*k_signal)[kPsSlots][2], const PsLayoutTables& lay,
                       float* const* qmf, int32_t top_band, int32_t slots);

// Decorrelation of st.s into st.d (st.slots slots) for the k bands below
// `top_k` (bands from top_k on are silent: their delay lines are cleared
// and st.d is zero).
void PsDecorrelate(PsSynthesisState& st, const PsLayoutTables& lay, int32_t top_k);
// Clears the delay lines of k bands from..to-1.
void PsClearDelays(PsSynthesisState& st, const PsLayoutTables& lay, int32_t from, int32_t to);
// Clears the decorrelator's delay lines and detector (layout switch).
void PsClearDecorrelator(PsSynthesisState& st);

// Mixing matrix targets of every envelope and parameter band of the frame
// (num_env envelopes, the layout's parameter bands), advancing the IPD/OPD
// smoothing histories.
void PsComputeMatrices(const PSDecState& ps, PsSynthesisState& st, const PsLayoutTables& lay,
                       PsMatrix (*target)[kPsMaxBands]);
// Left = h11 s + h21 d, right = h12 s + h22 d in place (st.s becomes left,
// st.d right) for the k bands below top_k, the matrices moving linearly
// from st.hPrev (first envelope) or the previous envelope's targets to each
// envelope's targets over its slots; st.hPrev becomes the last envelope's
// targets.
void PsMix(PsSynthesisState& st, const PsLayoutTables& lay, int32_t top_k, int32_t num_env,
           const int32_t* border, const PsMatrix (*target)[kPsMaxBands], bool phase);
// Carries the previous frame's matrices over to the other layout's bands.
void PsMapMatrices(PsMatrix* h, int32_t from_layout, int32_t to_layout);

// Integer index maps between the parameter grids (ISO/IEC 14496-3,
// 8.6.4.6.2): `count` results (20 or 34 for IID/ICC, 11 or 17 for phases).
void PsMapIndices34To20(const int16_t* a, int16_t* b, int32_t count);
void PsMapIndices20To34(const int16_t* a, int16_t* b, int32_t count);
