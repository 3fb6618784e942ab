// QMF analysis and synthesis banks of SBR (ISO/IEC 14496-3, 4.6.18.4 and
// 4.6.19.4) as primitives with context objects in caller memory.
//
// Set B is complex-valued (high quality), set A real-valued (low power).
// Every bank has a get-size / init / apply triple; the context starts with a
// tag that every apply call checks.  Status: 0, -6 kx outside 0..32 or a
// negative slot count, -8 null pointer, -17 a context of another kind.
//
// Slots of set B hold interleaved complex values (32 for analysis, 64 or 32
// bands for synthesis); slots of set A hold real values.  Synthesis writes
// 64 (64-band) or 32 (32-band) samples per slot.  Windows: the 64-band
// banks take the prototype c[0..639] (kSbrQmfWindow), the others its even
// part c[2i] (kSbrQmfWindowEven).
#pragma once

#include <cstdint>

#include "dsp/dsp_vector.h"

struct DspQmfState;

int32_t dspQmfAnalysis32GetSizeB_32f(int32_t* context_size, int32_t* init_size, int32_t* work_size);
int32_t dspQmfAnalysis32GetSizeA_32f(int32_t* context_size, int32_t* init_size, int32_t* work_size);
int32_t dspQmfSynthesis64GetSizeB_32f(int32_t* context_size, int32_t* init_size,
                                      int32_t* work_size);
int32_t dspQmfSynthesis32GetSizeB_32f(int32_t* context_size, int32_t* init_size,
                                      int32_t* work_size);
int32_t dspQmfSynthesis64GetSizeA_32f(int32_t* context_size, int32_t* init_size,
                                      int32_t* work_size);
int32_t dspQmfSynthesis32GetSizeA_32f(int32_t* context_size, int32_t* init_size,
                                      int32_t* work_size);

// Builds the context at the 16-byte aligned address inside `memory` (of the
// reported size) with a zero delay line.  `init` may be null.
int32_t dspQmfAnalysis32InitB_32f(DspQmfState** context, uint8_t* memory, uint8_t* init);
int32_t dspQmfAnalysis32InitA_32f(DspQmfState** context, uint8_t* memory, uint8_t* init);
int32_t dspQmfSynthesis64InitB_32f(DspQmfState** context, uint8_t* memory, uint8_t* init);
int32_t dspQmfSynthesis32InitB_32f(DspQmfState** context, uint8_t* memory, uint8_t* init);
int32_t dspQmfSynthesis64InitA_32f(DspQmfState** context, uint8_t* memory, uint8_t* init);
int32_t dspQmfSynthesis32InitA_32f(DspQmfState** context, uint8_t* memory, uint8_t* init);

// Analysis: 32 samples per slot into slots[first + s], s < num_slots; bands
// kx..31 are set to zero.  `work` may be null.
int32_t dspQmfAnalysis32B_32fc(const float* src, Dsp32fc* const* slots, const float* window,
                               int32_t num_slots, int32_t first, int32_t kx, DspQmfState* context,
                               uint8_t* work);
int32_t dspQmfAnalysis32A_32f(const float* src, float* const* slots, const float* window,
                              int32_t num_slots, int32_t first, int32_t kx, DspQmfState* context,
                              uint8_t* work);
// Synthesis: slots[0 .. num_slots) to 64 or 32 samples each.
int32_t dspQmfSynthesis64B_32fc(const Dsp32fc* const* slots, float* dst, const float* window,
                                int32_t num_slots, DspQmfState* context, uint8_t* work);
int32_t dspQmfSynthesis32B_32fc(const Dsp32fc* const* slots, float* dst, const float* window,
                                int32_t num_slots, DspQmfState* context, uint8_t* work);
int32_t dspQmfSynthesis64A_32f(const float* const* slots, float* dst, const float* window,
                               int32_t num_slots, DspQmfState* context, uint8_t* work);
int32_t dspQmfSynthesis32A_32f(const float* const* slots, float* dst, const float* window,
                               int32_t num_slots, DspQmfState* context, uint8_t* work);

// Context tags.
inline constexpr int32_t kQmfTagAnalysisB = 0x434D4156;
inline constexpr int32_t kQmfTagAnalysisA = 0x434D4158;
inline constexpr int32_t kQmfTagSynthesis64B = 0x434D4159;
inline constexpr int32_t kQmfTagSynthesis32B = 0x434D415C;
inline constexpr int32_t kQmfTagSynthesis64A = 0x434D415B;
inline constexpr int32_t kQmfTagSynthesis32A = 0x434D415E;
