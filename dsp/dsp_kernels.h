// Kernel tables: how the codec library picks the code of one instruction
// set.
//
// Every dispatched kernel belongs to a family (vector arithmetic, transforms,
// QMF banks, PS hybrid filters, ALS prediction).  A family is one struct of
// function pointers; a DspKernels table holds one struct per family and is
// built for one instruction set: the generic kernels first, then those the
// instruction set provides over them (SSE2, then AVX2 on x86; NEON on
// aarch64).  The tables are constants; dspStaticInit picks the one the
// processor supports and the decoders call through DspActiveKernels().
// Tests and benchmarks take the table of any supported instruction set from
// dspKernelsFor() and call its kernels directly, leaving the selection alone.
//
// Kernels get checked arguments: the public primitives (dsp_vector.h,
// dsp_transform.h, the QMF banks) and the decoders validate before they call.
#pragma once

#include <cstdint>

#include "dsp/dsp_vector.h"

struct DspFftSpec_C_32fc;
struct MdctSpec;
struct MixedFft;
struct MdctOverlap;

enum DspIsa : int32_t {
  dspIsaGeneric = 0,
  dspIsaSse2 = 1,
  dspIsaAvx2 = 2,  // AVX2 with FMA
  dspIsaNeon = 3,  // aarch64 Advanced SIMD
  dspIsaCount = 4,
};

// Vector primitives (dsp_vector.h); kernels of vector_impl.h.
struct DspVectorKernels {
  void (*MulC_32f)(const float* src, float c, float* dst, int32_t n);
  void (*Add_32f)(const float* a, const float* b, float* dst, int32_t n);
  void (*Mul_32f)(const float* a, const float* b, float* dst, int32_t n);
  void (*MulAdd_32f)(const float* a, const float* b, const float* c, float* dst, int32_t n);
  void (*SumDiff_32f)(float* a, float* b, int32_t n);
  void (*AddProductC_32f)(const float* src, float c, float* srcdst, int32_t n);
  void (*Add_32fc)(const Dsp32fc* a, const Dsp32fc* b, Dsp32fc* dst, int32_t n);
  void (*Sub_32fc)(const Dsp32fc* a, const Dsp32fc* b, Dsp32fc* dst, int32_t n);
  int32_t (*Max_32s)(const int32_t* src, int32_t n);
  int16_t (*Max_16s)(const int16_t* src, int32_t n);
  int32_t (*Min_32s)(const int32_t* src, int32_t n);
  void (*ShiftLeft_32s)(int32_t k, int32_t* srcdst, int32_t n);
  void (*ShiftRight_32s)(int32_t k, int32_t* srcdst, int32_t n);
  void (*AddScaled_32s)(const int32_t* a, const int32_t* b, int32_t* dst, int32_t n, int32_t sf,
                        bool subtract);
  void (*InterleaveConvert_32f16s)(const float* const* ch, int32_t nch, int32_t n, int16_t* dst);
  void (*InterleaveScale_32f)(const float* const* ch, int32_t nch, int32_t n, float scale,
                              float* dst);
  uint32_t (*Crc32)(const uint8_t* src, int32_t n, uint32_t crc);
  void (*Pow43_16s32f)(const int16_t* q, float* dst, int32_t n);
  void (*ScalefactorGain_16s32f)(const int16_t* sf, int32_t offset, float* gains, int32_t n);
  void (*Pow43Bands_16s32f)(const int16_t* q, const float* gains, const int32_t* offsets,
                            int32_t nbands, float* dst);
  void (*Predict_32f)(float* x, int32_t begin, int32_t end, bool add, float* const* state);
  float (*Noise_32f)(float* dst, int32_t n, uint32_t* state);
};

// Complex FFT and MDCT cores (fft_impl.h, mdct_impl.h).
struct DspTransformKernels {
  void (*FftCore)(const DspFftSpec_C_32fc* spec, const Dsp32fc* src, Dsp32fc* dst, bool conj_in);
  void (*MdctInvCore)(const MdctSpec* spec, const float* src, float* dst, Dsp32fc* z);
  void (*MdctFwdCore)(const MdctSpec* spec, const float* src, float* dst, Dsp32fc* z);
  void (*MdctInvOverlapCore)(const MdctSpec* spec, const float* src, const MdctOverlap& o,
                             Dsp32fc* z);
  // The mixed-radix DFT inside the MDCTs of lengths that are not powers of
  // two (fft_mixed.h); each table's MDCT kernels run their own.
  void (*MixedFftCore)(const MixedFft* f, const Dsp32fc* src, Dsp32fc* dst);
};

// The six SBR QMF banks (sbr/sbr_qmf_impl.h).
using DspQmfAnalysisFn = void (*)(float* delay, const float* in, float* const* out, int32_t slots,
                                  int32_t kx, const float* window);
using DspQmfSynthesisFn = void (*)(float* delay, const float* const* in, float* out, int32_t slots,
                                   const float* window);
struct DspQmfKernels {
  DspQmfAnalysisFn AnalysisB, AnalysisA;
  DspQmfSynthesisFn Synthesis64B, Synthesis32B, Synthesis64A, Synthesis32A;
};

// Parametric stereo hybrid analysis filters (ps/ps_internal.h) over the
// first `slots` QMF slots of a frame (32, or 30 on 960-sample cores; even).
inline constexpr int kDspHybridSlots = 32;
using DspPsHybridComplexFn = void (*)(const float (*in)[2], const float (*coef)[6][2], float centre,
                                      int32_t bands, float (*out)[kDspHybridSlots][2],
                                      int32_t slots);
using DspPsHybridRealFn = void (*)(const float (*in)[2], const float* odd, float centre,
                                   float (*low)[2], float (*high)[2], int32_t slots);
// The all-pass chain of the PS decorrelator over `count` bands (each band
// independent; `slots` 32 or 30).  history: the last kDspAllPassHistory w
// values of each of the three links (oldest first), read and updated.
inline constexpr int kDspAllPassHistory = 5;
struct DspPsAllPassBand {
  const float (*in)[2];  // `slots` values
  float (*out)[2];       // `slots` values
  float (*history)[kDspAllPassHistory][2];
  const float* gain;  // transient gain per slot
  float phi[2];       // fractional delay of the band
  float q[3][2];      // fractional delays of the links
  float ag[3];        // link gains
};
using DspPsAllPassFn = void (*)(const DspPsAllPassBand* bands, int32_t count, int32_t slots);
// Mixing of one band over `len` slots: before each slot the matrix h
// (h11, h12, h21, h22) moves on by `step`, then s <- h11 s + h21 d and
// d <- h12 s + h22 d.  Real: h and step hold the four real entries;
// complex: the four real parts, then the four imaginary parts.
using DspPsMixFn = void (*)(float (*s)[2], float (*d)[2], int32_t len, const float* h,
                            const float* step);
// Transient gains of the PS decorrelator for `bands` parameter bands over
// `slots` slots, from the input power[i][n]; state[0..2][i] (peak, smoothed
// power, smoothed peak difference) is read and updated.  All rows up to
// kDspTransientRows exist, those from `bands` on with zero power and state.
inline constexpr int kDspTransientRows = 40;
using DspPsTransientFn = void (*)(const float (*power)[kDspHybridSlots],
                                  float (*state)[kDspTransientRows], int32_t bands, int32_t slots,
                                  float (*gain)[kDspHybridSlots]);
// Complex values between slot rows and band rows for bands b0 <= b < b1 and
// slots n < slots: x[b][n] is {rows[n][2b], rows[n][2b + 1]}.  ToBands
// fills x, ToSlots the rows.
using DspPsToBandsFn = void (*)(const float* const* rows, int32_t b0, int32_t b1, int32_t slots,
                                float (*x)[kDspHybridSlots][2]);
using DspPsToSlotsFn = void (*)(const float (*x)[kDspHybridSlots][2], int32_t b0, int32_t b1,
                                int32_t slots, float* const* rows);
struct DspPsHybridKernels {
  DspPsHybridComplexFn HybridComplex;
  DspPsHybridRealFn HybridReal;
  DspPsAllPassFn AllPass;
  DspPsMixFn MixReal;
  DspPsMixFn MixComplex;
  DspPsTransientFn Transient;
  DspPsToBandsFn ToBands;
  DspPsToSlotsFn ToSlots;
};

// SBR HF generation and envelope adjustment over the QMF slot matrices
// (sbr/sbr_hf_kernels.h): Xlow rows hold 64 floats (32 complex subbands),
// Xhigh rows 128 (64 complex subbands); complex values are {re, im} pairs.
struct DspSbrKernels {
  // Covariance sums of `bands` complex subbands from x (Xlow row 0 at the
  // first band) over rows 0..terms+1, in double: per band {sum |x_m|^2,
  // sum x_m+1 conj(x_m) (re, im)} over m = 1..terms-1 and sum x_m+2 conj(x_m)
  // (re, im) over m = 0..terms-1.
  void (*Covariance)(const float* x, int32_t bands, int32_t terms, double (*sums)[5]);
  // The second-order predictor of each band from its Covariance sums and
  // rows 0, 1, terms and terms + 1 of x (as Covariance): alpha0 and alpha1
  // get {re, im} per band, both zero when either reaches magnitude 4.
  void (*Solve)(const double (*sums)[5], const float* x, int32_t bands, int32_t terms,
                float* alpha0, float* alpha1);
  // Second-order prediction of `rows` Xhigh rows from Xlow: dst row j =
  // src row j+2 + a0 (src row j+1) + a1 (src row j), over n floats; coef
  // holds four arrays 128 floats apart: re(a0) twice, {-im, im}(a0), then a1.
  void (*Patch)(const float* src, float* dst, int32_t rows, const float* coef, int32_t n);
  // e[b] = mean over `rows` Xhigh rows of |x_b|^2, b < bands.
  void (*Energies)(const float* x, int32_t rows, int32_t bands, float* e);
  // out = the gain smoothing window over five history rows (oldest first).
  void (*Smooth)(const float* const* rows, float* out, int32_t n);
  // x = g x + q noise over n floats (q and noise may be null: x = g x).
  void (*Adjust)(float* x, const float* g, const float* q, const float* noise, int32_t n);
  // Per subband of an envelope, with t = 1 + q: qm = e q / t, sm = e / t
  // where flags has kSbrSine (else 0), g = (e q / t where flags has
  // kSbrBandSine, else e if noise_free, else e / t) / (ecurr + 1).
  void (*Gains)(const float* e, const float* q, const float* ecurr, const int32_t* flags,
                bool noise_free, int32_t n, float* g, float* qm, float* sm);
  // Limiter: where g >= gmax, qm = qm gmax / g and g = gmax.
  void (*Limit)(float* g, float* qm, const float* gmax, int32_t n);
  // g, qm, sm = sqrt(value boost): the boosted levels become amplitudes.
  void (*Boost)(float* g, float* qm, float* sm, const float* boost, int32_t n);
};

// ALS short-term synthesis filter (als/als_predict_impl.h).
struct DspAlsKernels {
  void (*PredictBlock)(const int32_t* rcof, int32_t order, const int32_t* e, int32_t* x, int32_t n);
};

struct DspKernels {
  DspIsa isa;
  DspVectorKernels vector;
  DspTransformKernels transform;
  DspQmfKernels qmf;
  DspPsHybridKernels ps_hybrid;
  DspAlsKernels als;
  DspSbrKernels sbr;
};

// The table of `isa`, or null when this build has no code for it or the
// processor (and operating system) cannot run it.
const DspKernels* dspKernelsFor(DspIsa isa);

// "generic", "sse2", "avx2", "neon"; "?" outside the range.
const char* dspIsaName(DspIsa isa);
// The instruction set of that name; dspIsaCount for an unknown one.
DspIsa dspIsaByName(const char* name);

// Points the selection at the table of `isa` (the class index follows: 0
// for generic, 1 or more otherwise).  Like dspForceCpuClass it changes what
// every decoder of the process uses: for tools and whole-decode comparisons
// that want one instruction set, set before decoding starts.  Returns -6
// when dspKernelsFor(isa) is null (nothing changes).
int32_t dspSelectKernels(DspIsa isa);

namespace dsp_detail {
extern const DspKernels* g_kernels;  // the selection; the generic table until dspStaticInit
// This build has code for `isa` and the processor can run it (dsp_core.cpp).
bool IsaRunnable(DspIsa isa);
}  // namespace dsp_detail

// The kernels the decoders use: one load, then the call.
inline const DspKernels& DspActiveKernels() {
  return *dsp_detail::g_kernels;
}

// ---- building the tables (dsp_kernels.cpp)
//
// Each instruction set's translation units put their kernels over those of
// the table they get (generic first; for AVX2 the SSE2 ones first).  A family
// an instruction set does not vectorise keeps what it had.  The fills run
// once, at start-up: cold, they sit together with the other code that runs
// rarely instead of each on a page of its kernels, which would otherwise
// stay resident for a process whose streams never use those kernels.
#define VX_KERNEL_FILLS(ns)                                         \
  namespace ns {                                                    \
  __attribute__((cold)) void FillVector(DspVectorKernels& k);       \
  __attribute__((cold)) void FillTransform(DspTransformKernels& k); \
  __attribute__((cold)) void FillQmf(DspQmfKernels& k);             \
  __attribute__((cold)) void FillPsHybrid(DspPsHybridKernels& k);   \
  __attribute__((cold)) void FillAls(DspAlsKernels& k);             \
  __attribute__((cold)) void FillSbr(DspSbrKernels& k);             \
  }
VX_KERNEL_FILLS(dsp_sse2)
VX_KERNEL_FILLS(dsp_avx2)
VX_KERNEL_FILLS(dsp_neon)
#undef VX_KERNEL_FILLS
