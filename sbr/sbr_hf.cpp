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

// The covariance sums and the 2x2 solve run in double precision: when a
// steady tone fills the subband the covariance matrix is singular but for
// the standard's 1e-6 relaxation, and sums of 38 single-precision products
// carry rounding of that same order.  The coefficients then moved by 1e-3,
// and the inverse-filtered copy of the tone, after its gain, by 2..6 LSB.
// The kernel sums run over the slots every product shares; the end slots
// complete each one.
void Solve(const double (*sums)[5], const float* x, int32_t bands, int32_t terms, float* alpha0,
           float* alpha1) {
  for (int32_t b = 0; b < bands; ++b) {
    const double* s = sums[b];
    const float* first = x + 2 * b;
    const float* second = first + kSbrLowRow;
    const float* last = first + kSbrLowRow * terms;
    const float* after = last + kSbrLowRow;
    const double f0r = first[0], f0i = first[1], f1r = second[0], f1i = second[1];
    const double lr = last[0], li = last[1], ar = after[0], ai = after[1];
    const double r11 = s[0] + (lr * lr + li * li);
    const double r22 = s[0] + (f0r * f0r + f0i * f0i);
    const double r01r = s[1] + (ar * lr + ai * li), r01i = s[2] + (ai * lr - ar * li);
    const double r12r = s[1] + (f1r * f0r + f1i * f0i), r12i = s[2] + (f1i * f0r - f1r * f0i);
    const double r02r = s[3], r02i = s[4];
    const double d = r22 * r11 - (r12r * r12r + r12i * r12i) / (1.0 + 1e-6);
    double a1r = 0, a1i = 0, a0r = 0, a0i = 0;
    if (d != 0.0) {
      a1r = (r01r * r12r - r01i * r12i - r02r * r11) / d;
      a1i = (r01i * r12r + r01r * r12i - r02i * r11) / d;
    }
    if (r11 > 0.0) {
      a0r = -(r01r + a1r * r12r + a1i * r12i) / r11;
      a0i = -(r01i + a1i * r12r - a1r * r12i) / r11;
    }
    float* p0 = alpha0 + 2 * b;
    float* p1 = alpha1 + 2 * b;
    p0[0] = static_cast<float>(a0r);
    p0[1] = static_cast<float>(a0i);
    p1[0] = static_cast<float>(a1r);
    p1[1] = static_cast<float>(a1i);
    if (p0[0] * p0[0] + p0[1] * p0[1] >= 16.0f || p1[0] * p1[0] + p1[1] * p1[1] >= 16.0f) {
      p0[0] = p0[1] = p1[0] = p1[1] = 0.0f;
    }
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
