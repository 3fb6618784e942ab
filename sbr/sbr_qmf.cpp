// QMF analysis and synthesis banks of SBR: the generic kernels, the context
// objects of the six bank primitives and the slot-level
// entry points of the SBR process.
#include "sbr/sbr_qmf.h"

#include <cstring>

#include "dsp/dsp_kernels.h"
#include "sbr/sbr_decoder.h"
#include "sbr/sbr_qmf_impl.h"
#include "sbr/sbr_qmf_vec.h"
#include "sbr/sbr_tables.h"

namespace qmf_generic {
VX_SBR_QMF_DEFINE(LaneScalar)
}  // namespace qmf_generic

namespace {

using AnalysisFn = DspQmfAnalysisFn;
using SynthesisFn = DspQmfSynthesisFn;

// Bank kinds: tag, bands, kernel in the QMF family table.
struct AnalysisKind {
  int32_t tag;
  AnalysisFn DspQmfKernels::*kernel;
};
struct SynthesisKind {
  int32_t tag;
  int32_t bands;
  SynthesisFn DspQmfKernels::*kernel;
};
constexpr int32_t kAnalysisDelay = 288;
constexpr int32_t DelayFloats(int32_t bands) {
  return 2 * bands * 9;
}

const AnalysisKind* FindAnalysis(int32_t tag) {
  static const AnalysisKind kinds[2] = {{kQmfTagAnalysisB, &DspQmfKernels::AnalysisB},
                                        {kQmfTagAnalysisA, &DspQmfKernels::AnalysisA}};
  for (const AnalysisKind& k : kinds) {
    if (k.tag == tag) return &k;
  }
  return nullptr;
}

const SynthesisKind* FindSynthesis(int32_t tag) {
  static const SynthesisKind kinds[4] = {{kQmfTagSynthesis64B, 64, &DspQmfKernels::Synthesis64B},
                                         {kQmfTagSynthesis32B, 32, &DspQmfKernels::Synthesis32B},
                                         {kQmfTagSynthesis64A, 64, &DspQmfKernels::Synthesis64A},
                                         {kQmfTagSynthesis32A, 32, &DspQmfKernels::Synthesis32A}};
  for (const SynthesisKind& k : kinds) {
    if (k.tag == tag) return &k;
  }
  return nullptr;
}

}  // namespace

// ---- primitives with contexts in caller memory --------------------------------------

struct DspQmfState {
  int32_t tag;
  int32_t position;  // slots processed, modulo the delay line (informational)
  float* delay;
};

namespace {

constexpr int32_t kStateBytes = (sizeof(DspQmfState) + 15) & ~15;

int32_t GetSize(int32_t delay_floats, int32_t* context_size, int32_t* init_size,
                int32_t* work_size) {
  if (!context_size || !init_size || !work_size) return dspStsNullPtrErr;
  *context_size = kStateBytes + delay_floats * static_cast<int32_t>(sizeof(float)) + 15;
  *init_size = 0;
  *work_size = 0;
  return dspStsNoErr;
}

int32_t Init(int32_t tag, int32_t delay_floats, DspQmfState** context, uint8_t* memory) {
  if (!context || !memory) return dspStsNullPtrErr;
  auto* state = dspAlignPtr<DspQmfState>(memory, 16);
  state->tag = tag;
  state->position = 0;
  state->delay = reinterpret_cast<float*>(reinterpret_cast<uint8_t*>(state) + kStateBytes);
  std::memset(state->delay, 0, sizeof(float) * static_cast<size_t>(delay_floats));
  *context = state;
  return dspStsNoErr;
}

// Slot pointers go to the kernels in chunks (the kernels take float rows).
template <typename Slot>
int32_t Analyze(int32_t tag, const float* src, Slot* const* slots, const float* window,
                int32_t num_slots, int32_t first, int32_t kx, DspQmfState* context) {
  if (!src || !slots || !window || !context) return dspStsNullPtrErr;
  if (context->tag != tag) return dspStsContextMatchErr;
  if (kx < 0 || kx > 32 || num_slots < 0 || first < 0) return dspStsSizeErr;
  const AnalysisFn fn = DspActiveKernels().qmf.*FindAnalysis(tag)->kernel;
  float* rows[32];
  for (int32_t done = 0; done < num_slots; done += 32) {
    const int32_t n = num_slots - done < 32 ? num_slots - done : 32;
    for (int32_t s = 0; s < n; ++s) {
      if (!slots[first + done + s]) return dspStsNullPtrErr;
      rows[s] = reinterpret_cast<float*>(slots[first + done + s]);
    }
    fn(context->delay, src + 32 * done, rows, n, kx, window);
  }
  context->position = (context->position + num_slots) % 10;
  return dspStsNoErr;
}

template <typename Slot>
int32_t Synthesize(int32_t tag, const Slot* const* slots, float* dst, const float* window,
                   int32_t num_slots, DspQmfState* context) {
  if (!slots || !dst || !window || !context) return dspStsNullPtrErr;
  if (context->tag != tag) return dspStsContextMatchErr;
  if (num_slots < 0) return dspStsSizeErr;
  const SynthesisKind& kind = *FindSynthesis(tag);
  const SynthesisFn fn = DspActiveKernels().qmf.*kind.kernel;
  const float* rows[32];
  for (int32_t done = 0; done < num_slots; done += 32) {
    const int32_t n = num_slots - done < 32 ? num_slots - done : 32;
    for (int32_t s = 0; s < n; ++s) {
      if (!slots[done + s]) return dspStsNullPtrErr;
      rows[s] = reinterpret_cast<const float*>(slots[done + s]);
    }
    fn(context->delay, rows, dst + kind.bands * done, n, window);
  }
  context->position = (context->position + num_slots) % 10;
  return dspStsNoErr;
}

}  // namespace

int32_t dspQmfAnalysis32GetSizeB_32f(int32_t* context_size, int32_t* init_size,
                                     int32_t* work_size) {
  return GetSize(kAnalysisDelay, context_size, init_size, work_size);
}
int32_t dspQmfAnalysis32GetSizeA_32f(int32_t* context_size, int32_t* init_size,
                                     int32_t* work_size) {
  return GetSize(kAnalysisDelay, context_size, init_size, work_size);
}
int32_t dspQmfSynthesis64GetSizeB_32f(int32_t* context_size, int32_t* init_size,
                                      int32_t* work_size) {
  return GetSize(DelayFloats(64), context_size, init_size, work_size);
}
int32_t dspQmfSynthesis32GetSizeB_32f(int32_t* context_size, int32_t* init_size,
                                      int32_t* work_size) {
  return GetSize(DelayFloats(32), context_size, init_size, work_size);
}
int32_t dspQmfSynthesis64GetSizeA_32f(int32_t* context_size, int32_t* init_size,
                                      int32_t* work_size) {
  return GetSize(DelayFloats(64), context_size, init_size, work_size);
}
int32_t dspQmfSynthesis32GetSizeA_32f(int32_t* context_size, int32_t* init_size,
                                      int32_t* work_size) {
  return GetSize(DelayFloats(32), context_size, init_size, work_size);
}

int32_t dspQmfAnalysis32InitB_32f(DspQmfState** context, uint8_t* memory, uint8_t*) {
  return Init(kQmfTagAnalysisB, kAnalysisDelay, context, memory);
}
int32_t dspQmfAnalysis32InitA_32f(DspQmfState** context, uint8_t* memory, uint8_t*) {
  return Init(kQmfTagAnalysisA, kAnalysisDelay, context, memory);
}
int32_t dspQmfSynthesis64InitB_32f(DspQmfState** context, uint8_t* memory, uint8_t*) {
  return Init(kQmfTagSynthesis64B, DelayFloats(64), context, memory);
}
int32_t dspQmfSynthesis32InitB_32f(DspQmfState** context, uint8_t* memory, uint8_t*) {
  return Init(kQmfTagSynthesis32B, DelayFloats(32), context, memory);
}
int32_t dspQmfSynthesis64InitA_32f(DspQmfState** context, uint8_t* memory, uint8_t*) {
  return Init(kQmfTagSynthesis64A, DelayFloats(64), context, memory);
}
int32_t dspQmfSynthesis32InitA_32f(DspQmfState** context, uint8_t* memory, uint8_t*) {
  return Init(kQmfTagSynthesis32A, DelayFloats(32), context, memory);
}

int32_t dspQmfAnalysis32B_32fc(const float* src, Dsp32fc* const* slots, const float* window,
                               int32_t num_slots, int32_t first, int32_t kx, DspQmfState* context,
                               uint8_t*) {
  return Analyze(kQmfTagAnalysisB, src, slots, window, num_slots, first, kx, context);
}
int32_t dspQmfAnalysis32A_32f(const float* src, float* const* slots, const float* window,
                              int32_t num_slots, int32_t first, int32_t kx, DspQmfState* context,
                              uint8_t*) {
  return Analyze(kQmfTagAnalysisA, src, slots, window, num_slots, first, kx, context);
}
int32_t dspQmfSynthesis64B_32fc(const Dsp32fc* const* slots, float* dst, const float* window,
                                int32_t num_slots, DspQmfState* context, uint8_t*) {
  return Synthesize(kQmfTagSynthesis64B, slots, dst, window, num_slots, context);
}
int32_t dspQmfSynthesis32B_32fc(const Dsp32fc* const* slots, float* dst, const float* window,
                                int32_t num_slots, DspQmfState* context, uint8_t*) {
  return Synthesize(kQmfTagSynthesis32B, slots, dst, window, num_slots, context);
}
int32_t dspQmfSynthesis64A_32f(const float* const* slots, float* dst, const float* window,
                               int32_t num_slots, DspQmfState* context, uint8_t*) {
  return Synthesize(kQmfTagSynthesis64A, slots, dst, window, num_slots, context);
}
int32_t dspQmfSynthesis32A_32f(const float* const* slots, float* dst, const float* window,
                               int32_t num_slots, DspQmfState* context, uint8_t*) {
  return Synthesize(kQmfTagSynthesis32A, slots, dst, window, num_slots, context);
}

// ---- the banks of an SBR channel ------------------------------------------------------

void SbrQmfTablesInit(SbrQmfTables& t) {
  t.window = kSbrQmfWindow;
  t.window_even = kSbrQmfWindowEven;
}

void SbrQmfAnalysisInit(SbrQmfAnalysis& a) {
  SbrQmfAnalysisInit(a, 18);
}

void SbrQmfAnalysisInit(SbrQmfAnalysis& a, int32_t sbr_mode) {
  std::memset(&a, 0, sizeof(a));
  a.tag = sbr_mode == 28 ? kQmfTagAnalysisA : kQmfTagAnalysisB;
}

void SbrQmfSynthesisInit(SbrQmfSynthesis& s, int32_t bands) {
  SbrQmfSynthesisInit(s, bands, 18);
}

void SbrQmfSynthesisInit(SbrQmfSynthesis& s, int32_t bands, int32_t sbr_mode) {
  std::memset(&s, 0, sizeof(s));
  if (sbr_mode == 28) {
    s.tag = bands == 32 ? kQmfTagSynthesis32A : kQmfTagSynthesis64A;
  } else {
    s.tag = bands == 32 ? kQmfTagSynthesis32B : kQmfTagSynthesis64B;
  }
}

int32_t SbrQmfSynthesisBands(const SbrQmfSynthesis& s) {
  const SynthesisKind* kind = FindSynthesis(s.tag);
  return kind ? kind->bands : 0;
}

int32_t SbrQmfSynthesisMode(const SbrQmfSynthesis& s) {
  if (s.tag == kQmfTagSynthesis64B || s.tag == kQmfTagSynthesis32B) return 18;
  if (s.tag == kQmfTagSynthesis64A || s.tag == kQmfTagSynthesis32A) return 28;
  return 0;
}

int32_t SbrQmfAnalysisMode(const SbrQmfAnalysis& a) {
  return a.tag == kQmfTagAnalysisB ? 18 : (a.tag == kQmfTagAnalysisA ? 28 : 0);
}

void SbrQmfAnalyzeSlots(SbrQmfAnalysis& a, const float* in, float* const* out, int32_t slots,
                        int32_t kx) {
  const AnalysisKind* kind = FindAnalysis(a.tag);
  if (!kind || slots <= 0) return;
  kx = kx < 0 ? 0 : (kx > 32 ? 32 : kx);
  (DspActiveKernels().qmf.*kind->kernel)(a.delay, in, out, slots, kx, kSbrQmfWindowEven);
}

void SbrQmfSynthesizeSlots(SbrQmfSynthesis& s, const float* const* in, float* out, int32_t slots) {
  const SynthesisKind* kind = FindSynthesis(s.tag);
  if (!kind || slots <= 0) return;
  const float* window = kind->bands == 64 ? kSbrQmfWindow : kSbrQmfWindowEven;
  (DspActiveKernels().qmf.*kind->kernel)(s.delay, in, out, slots, window);
}

void SbrQmfAnalyze(SbrQmfAnalysis& a, const SbrQmfTables&, const float* in, float* out,
                   int32_t kx) {
  SbrQmfAnalyzeSlots(a, in, &out, 1, kx);
}

void SbrQmfSynthesize(SbrQmfSynthesis& s, const SbrQmfTables&, const float* in, float* out,
                      int32_t bands) {
  if (SbrQmfSynthesisBands(s) != bands) return;
  SbrQmfSynthesizeSlots(s, &in, out, 1);
}
