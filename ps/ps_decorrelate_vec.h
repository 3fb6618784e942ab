// The all-pass chain of the PS decorrelator written once over a lane type V
// (simd_*.h, or the one-lane type below for the generic kernel and the
// bands left over): each lane is one frequency band, so the three links of
// V::kLanes bands run side by side and the chain's latency is paid once per
// group instead of once per band.  The operations of every band are those
// of the scalar chain in its order, so all instruction sets agree bit for
// bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "dsp/dsp_kernels.h"
#include "dsp/simd_scalar.h"
#include "ps/ps_tables.h"

namespace ps_vec {
namespace {

using LaneOne = LaneScalar;

constexpr int kApSlots = kDspHybridSlots;
constexpr int kApHistory = kDspAllPassHistory;

// Rows of `n` floats (one per band, n <= kMax) <-> lane vectors: z[i] lane
// l = rows[l][i].  Whole blocks of L go straight between the rows and the
// transposes; only a last partial block passes through a staging block
// (zero-padded), and the vectors past it up to kPadded are zero.
template <class V, int kMax>
struct Lanes {
  using T = typename V::F;
  static constexpr int L = V::kLanes;
  static constexpr int kPadded = (kMax + L - 1) / L * L;
  alignas(64) float stage[L][L];

  void In(const float* const* rows, int n, T* z) {
    const int full = n / L * L;
    for (int q = 0; q < full; q += L) {
      for (int l = 0; l < L; ++l) z[q + l] = V::Load(rows[l] + q);
      V::Transpose(z + q);
    }
    int q = full;
    if (n > full) {
      const size_t part = static_cast<size_t>(n - full);
      for (int l = 0; l < L; ++l) {
        std::memcpy(stage[l], rows[l] + full, sizeof(float) * part);
        std::memset(stage[l] + part, 0, sizeof(float) * (L - part));
        z[full + l] = V::Load(stage[l]);
      }
      V::Transpose(z + full);
      q += L;
    }
    for (; q < kPadded; ++q) z[q] = V::Zero();
  }
  void Out(T* z, int n, float* const* rows) {
    const int full = n / L * L;
    for (int q = 0; q < full; q += L) {
      V::Transpose(z + q);
      for (int l = 0; l < L; ++l) V::Store(rows[l] + q, z[q + l]);
    }
    if (n > full) {
      V::Transpose(z + full);
      for (int l = 0; l < L; ++l) {
        V::Store(stage[l], z[full + l]);
        std::memcpy(rows[l] + full, stage[l], sizeof(float) * static_cast<size_t>(n - full));
      }
    }
  }
};

// V::kLanes bands from `b`.
template <class V>
void AllPassGroup(const DspPsAllPassBand* b, int32_t slots) {
  using T = typename V::F;
  constexpr int L = V::kLanes;
  constexpr int kHist = 3 * kApHistory * 2;  // floats of a band's link history
  constexpr int kParams = 11;                // phi[2], q[3][2], ag[3]
  static_assert(offsetof(DspPsAllPassBand, ag) - offsetof(DspPsAllPassBand, phi) ==
                (kParams - 3) * sizeof(float));
  const float* in[L];
  const float* gains[L];
  const float* params[L];
  float* hist[L];
  float* out[L];
  for (int l = 0; l < L; ++l) {
    in[l] = b[l].in[0];
    out[l] = b[l].out[0];
    gains[l] = b[l].gain;
    params[l] = b[l].phi;
    hist[l] = b[l].history[0][0];
  }
  Lanes<V, 2 * kApSlots> io;
  Lanes<V, kApSlots> gl;
  Lanes<V, kHist> hl;
  Lanes<V, kParams> pl;
  T x[Lanes<V, 2 * kApSlots>::kPadded], g[Lanes<V, kApSlots>::kPadded];
  T h[Lanes<V, kHist>::kPadded], pv[Lanes<V, kParams>::kPadded];
  io.In(in, 2 * slots, x);
  gl.In(gains, slots, g);
  hl.In(hist, kHist, h);
  pl.In(params, kParams, pv);
  const T phr = pv[0], phi = pv[1];
  T qr[3], qi[3], ag[3];
  T wr[3][kApHistory + kApSlots], wi[3][kApHistory + kApSlots];
  for (int m = 0; m < 3; ++m) {
    qr[m] = pv[2 + 2 * m];
    qi[m] = pv[3 + 2 * m];
    ag[m] = pv[8 + m];
    for (int j = 0; j < kApHistory; ++j) {
      wr[m][j] = h[(m * kApHistory + j) * 2];
      wi[m][j] = h[(m * kApHistory + j) * 2 + 1];
    }
  }
  for (int32_t n = 0; n < slots; ++n) {
    const T xr = x[2 * n], xi = x[2 * n + 1];
    T re = V::Sub(V::Mul(xr, phr), V::Mul(xi, phi));
    T im = V::Add(V::Mul(xr, phi), V::Mul(xi, phr));
    for (int m = 0; m < 3; ++m) {
      // w[n] = x + ag y, y = Q w[n - d] - ag x.
      const int late = n + kApHistory - kPsLinkDelay[m];
      const T lr = wr[m][late], li = wi[m][late];
      const T yr = V::Sub(V::Sub(V::Mul(lr, qr[m]), V::Mul(li, qi[m])), V::Mul(ag[m], re));
      const T yi = V::Sub(V::Add(V::Mul(lr, qi[m]), V::Mul(li, qr[m])), V::Mul(ag[m], im));
      wr[m][n + kApHistory] = V::Add(re, V::Mul(ag[m], yr));
      wi[m][n + kApHistory] = V::Add(im, V::Mul(ag[m], yi));
      re = yr;
      im = yi;
    }
    x[2 * n] = V::Mul(g[n], re);
    x[2 * n + 1] = V::Mul(g[n], im);
  }
  io.Out(x, 2 * slots, out);
  for (int m = 0; m < 3; ++m) {
    for (int j = 0; j < kApHistory; ++j) {
      h[(m * kApHistory + j) * 2] = wr[m][slots + j];
      h[(m * kApHistory + j) * 2 + 1] = wi[m][slots + j];
    }
  }
  hl.Out(h, kHist, hist);
}

// Transient gains (DspPsTransientFn), V::kLanes parameter bands per vector:
// blocks of L bands x L slots are transposed so that each lane runs one
// band's serial recurrence, and back.  Per band the operations of the
// scalar recurrence in its order, so all instruction sets agree bit for bit.
template <class V>
void Transient(const float (*power)[kApSlots], float (*state)[kDspTransientRows], int32_t bands,
               int32_t slots, float (*gain)[kApSlots]) {
  using T = typename V::F;
  constexpr int L = V::kLanes;
  static_assert(kDspTransientRows % L == 0 && kApSlots % L == 0);
  const T decay = V::Set1(kPsPeakDecay), smoothing = V::Set1(kPsSmoothing);
  const T impact = V::Set1(kPsTransientImpact), one = V::Set1(1.0f);
  for (int32_t i0 = 0; i0 < bands; i0 += L) {
    T peak = V::Load(state[0] + i0), smooth = V::Load(state[1] + i0);
    T diff = V::Load(state[2] + i0);
    for (int32_t n0 = 0; n0 < slots; n0 += L) {
      T z[L];
      for (int l = 0; l < L; ++l) z[l] = V::Load(power[i0 + l] + n0);
      V::Transpose(z);  // z[j] lane l: band i0 + l, slot n0 + j
      const int32_t steps = slots - n0 < L ? slots - n0 : L;
      for (int32_t j = 0; j < steps; ++j) {
        const T p = z[j];
        const T decayed = V::Mul(decay, peak);
        peak = V::IfGreater(decayed, p, decayed, p);
        smooth = V::Add(smooth, V::Mul(smoothing, V::Sub(p, smooth)));
        diff = V::Add(diff, V::Mul(smoothing, V::Sub(V::Sub(peak, p), diff)));
        // Attenuate where the smoothed peak difference outgrows the power.
        const T denom = V::Mul(impact, diff);
        z[j] = V::IfGreater(denom, smooth, V::Div(smooth, denom), one);
      }
      V::Transpose(z);
      for (int l = 0; l < L; ++l) V::Store(gain[i0 + l] + n0, z[l]);
    }
    V::Store(state[0] + i0, peak);
    V::Store(state[1] + i0, smooth);
    V::Store(state[2] + i0, diff);
  }
}

template <class V>
void AllPass(const DspPsAllPassBand* bands, int32_t count, int32_t slots) {
  int32_t b = 0;
  for (; b + V::kLanes <= count; b += V::kLanes) AllPassGroup<V>(bands + b, slots);
  if (b == count) return;
  // The bands left over fill one more group; the free lanes run on scratch.
  alignas(64) float in[kApSlots][2] = {}, out[kApSlots][2], gain[kApSlots] = {};
  float history[3][kApHistory][2] = {};
  DspPsAllPassBand last[V::kLanes];
  for (int l = 0; l < V::kLanes; ++l) {
    if (b + l < count) {
      last[l] = bands[b + l];
    } else {
      last[l] = DspPsAllPassBand{in, out, history, gain, {0, 0}, {}, {}};
    }
  }
  AllPassGroup<V>(last, slots);
}

}  // namespace
}  // namespace ps_vec
