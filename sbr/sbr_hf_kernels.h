// The generic SBR HF generation and envelope adjustment kernels, the
// reference for the vectorised ones (sbr_hf_vec.h, reached through the
// DspSbrKernels of dsp/dsp_kernels.h), which give the same results bit for
// bit: the same operations on each value in the same order.
#pragma once

#include <cstdint>

#include "dsp/dsp_kernels.h"

inline constexpr int32_t kSbrLowRow = 64;    // floats per Xlow row
inline constexpr int32_t kSbrHighRow = 128;  // floats per Xhigh row (and coefficient array)

// Gains flags per subband: it carries a sinusoid; its envelope band has one.
inline constexpr int32_t kSbrSine = 1;
inline constexpr int32_t kSbrBandSine = 2;

// Gain smoothing window over the five history rows, oldest first.
inline constexpr float kSbrSmoothing[5] = {0.0318305f, 0.11516383f, 0.2181695f, 0.30150282f,
                                           0.33333334f};

namespace sbr_generic {
void Covariance(const float* x, int32_t bands, int32_t terms, double (*sums)[5]);
void Solve(const double (*sums)[5], const float* x, int32_t bands, int32_t terms, float* alpha0,
           float* alpha1);
void Patch(const float* src, float* dst, int32_t rows, const float* coef, int32_t n);
void Energies(const float* x, int32_t rows, int32_t bands, float* e);
void Smooth(const float* const* rows, float* out, int32_t n);
void Adjust(float* x, const float* g, const float* q, const float* noise, int32_t n);
void Gains(const float* e, const float* q, const float* ecurr, const int32_t* flags,
           bool noise_free, int32_t n, float* g, float* qm, float* sm);
void Limit(float* g, float* qm, const float* gmax, int32_t n);
void Boost(float* g, float* qm, float* sm, const float* boost, int32_t n);
}  // namespace sbr_generic
