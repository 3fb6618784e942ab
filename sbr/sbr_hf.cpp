// Generic SBR HF generation and envelope adjustment kernels (sbr_hf_kernels.h).
#include <cmath>

#include "sbr/sbr_hf_kernels.h"

namespace sbr_generic {

// Each product term of a complex sum accumulates apart (re*re, im*im, ...),
// as the lanes of the vector kernels do, and the parts meet at the end.
void Covariance(const float* x, int32_t bands, int32_t terms, double (*sums)[5]) {
  for (int32_t b = 0; b < bands; ++b) {
    const float* p = x + 2 * b;
    double er = 0, ei = 0, a1r = 0, a1i = 0, b1r = 0, b1i = 0;
    double a2r = 0, a2i = 0, b2r = 0, b2i = 0;
    for (int32_t m = 0; m < terms; ++m) {
      const float* r0 = p + kSbrLowRow * m;
      const double xr = r0[0], xi = r0[1];
      const double yr = r0[kSbrLowRow], yi = r0[kSbrLowRow + 1];
      const double zr = r0[2 * kSbrLowRow], zi = r0[2 * kSbrLowRow + 1];
      if (m > 0) {
        er += xr * xr;
        ei += xi * xi;
        a1r += yr * xr;
        a1i += yi * xi;
        b1r += yr * xi;
        b1i += yi * xr;
      }
      a2r += zr * xr;
      a2i += zi * xi;
      b2r += zr * xi;
      b2i += zi * xr;
    }
    sums[b][0] = er + ei;
    sums[b][1] = a1r + a1i;
    sums[b][2] = b1i - b1r;
    sums[b][3] = a2r + a2i;
    sums[b][4] = b2i - b2r;
  }
}

void Patch(const float* src, float* dst, int32_t rows, const float* coef, int32_t n) {
  const float* c0r = coef;
  const float* c0i = coef + kSbrHighRow;
  const float* c1r = coef + 2 * kSbrHighRow;
  const float* c1i = coef + 3 * kSbrHighRow;
  for (int32_t j = 0; j < rows; ++j) {
    const float* x2 = src + kSbrLowRow * j;
    const float* x1 = x2 + kSbrLowRow;
    const float* x0 = x1 + kSbrLowRow;
    float* y = dst + kSbrHighRow * j;
    for (int32_t i = 0; i + 1 < n; i += 2) {
      const float re =
          x0[i] + (c0r[i] * x1[i] + c0i[i] * x1[i + 1]) + (c1r[i] * x2[i] + c1i[i] * x2[i + 1]);
      const float im = x0[i + 1] + (c0r[i + 1] * x1[i + 1] + c0i[i + 1] * x1[i]) +
                       (c1r[i + 1] * x2[i + 1] + c1i[i + 1] * x2[i]);
      y[i] = re;
      y[i + 1] = im;
    }
  }
}

void Energies(const float* x, int32_t rows, int32_t bands, float* e) {
  const float count = static_cast<float>(rows);
  for (int32_t b = 0; b < bands; ++b) {
    float acc = 0.0f;
    for (int32_t j = 0; j < rows; ++j) {
      const float* v = x + kSbrHighRow * j + 2 * b;
      acc += v[0] * v[0] + v[1] * v[1];
    }
    e[b] = acc / count;
  }
}

void Smooth(const float* const* rows, float* out, int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    float acc = kSbrSmoothing[0] * rows[0][i];
    for (int r = 1; r < 5; ++r) acc += kSbrSmoothing[r] * rows[r][i];
    out[i] = acc;
  }
}

void Adjust(float* x, const float* g, const float* q, const float* noise, int32_t n) {
  if (q == nullptr || noise == nullptr) {
    for (int32_t i = 0; i < n; ++i) x[i] = g[i] * x[i];
    return;
  }
  for (int32_t i = 0; i < n; ++i) x[i] = g[i] * x[i] + q[i] * noise[i];
}

void Gains(const float* e, const float* q, const float* ecurr, const int32_t* flags,
           bool noise_free, int32_t n, float* g, float* qm, float* sm) {
  for (int32_t i = 0; i < n; ++i) {
    const float t = 1.0f + q[i];
    const float noise = e[i] * q[i] / t, tone = e[i] / t;
    qm[i] = noise;
    sm[i] = (flags[i] & kSbrSine) ? tone : 0.0f;
    const float gain = (flags[i] & kSbrBandSine) ? noise : (noise_free ? e[i] : tone);
    g[i] = gain / (ecurr[i] + 1.0f);
  }
}

void Limit(float* g, float* qm, const float* gmax, int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    if (g[i] >= gmax[i]) {
      qm[i] = qm[i] * gmax[i] / g[i];
      g[i] = gmax[i];
    }
  }
}

void Boost(float* g, float* qm, float* sm, const float* boost, int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    g[i] = std::sqrt(g[i] * boost[i]);
    qm[i] = std::sqrt(qm[i] * boost[i]);
    sm[i] = std::sqrt(sm[i] * boost[i]);
  }
}

}  // namespace sbr_generic
