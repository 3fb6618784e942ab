// The all-pass chain of the PS decorrelator written once over a lane type V
// (simd_*.h, or the one-lane type below for the generic kernel and the
// bands left over): each lane is one frequency band, so the three links of
// V::kLanes bands run side by side and the chain's latency is paid once per
// group instead of once per band.  The operations of every band are those
// of the scalar chain in its order, so all instruction sets agree bit for
// bit.
#pragma once

#include <cstdint>
#include <cstring>

#include "dsp/dsp_kernels.h"
#include "ps/ps_tables.h"

namespace ps_vec {
namespace {

struct LaneOne {
  using F = float;
  static constexpr int kLanes = 1;
  static F Zero() { return 0.0f; }
  static F Set1(float v) { return v; }
  static F Load(const float* p) { return *p; }
  static void Store(float* p, F v) { *p = v; }
  static F Add(F a, F b) { return a + b; }
  static F Sub(F a, F b) { return a - b; }
  static F Mul(F a, F b) { return a * b; }
  static void Transpose(F*) {}
};

constexpr int kApSlots = kDspHybridSlots;
constexpr int kApHistory = kDspAllPassHistory;

// V::kLanes bands from `b`.
template <class V>
void AllPassGroup(const DspPsAllPassBand* b, int32_t slots) {
  using T = typename V::F;
  constexpr int L = V::kLanes;
  auto gather = [b](auto field) {
    alignas(64) float t[L];
    for (int l = 0; l < L; ++l) t[l] = field(b[l]);
    return V::Load(t);
  };
  // Band rows (interleaved complex, zero beyond `slots`) <-> lane vectors.
  alignas(64) float rows[L][2 * kApSlots];
  alignas(64) float gains[L][kApSlots];
  for (int l = 0; l < L; ++l) {
    std::memcpy(rows[l], b[l].in, sizeof(float) * 2 * static_cast<size_t>(slots));
    std::memset(rows[l] + 2 * slots, 0, sizeof(float) * 2 * static_cast<size_t>(kApSlots - slots));
    std::memcpy(gains[l], b[l].gain, sizeof(float) * static_cast<size_t>(slots));
    std::memset(gains[l] + slots, 0, sizeof(float) * static_cast<size_t>(kApSlots - slots));
  }
  T x[2 * kApSlots], g[kApSlots];
  for (int q = 0; q < 2 * kApSlots; q += L) {
    T* z = x + q;
    for (int l = 0; l < L; ++l) z[l] = V::Load(rows[l] + q);
    V::Transpose(z);
  }
  for (int q = 0; q < kApSlots; q += L) {
    T* z = g + q;
    for (int l = 0; l < L; ++l) z[l] = V::Load(gains[l] + q);
    V::Transpose(z);
  }
  const T phr = gather([](const DspPsAllPassBand& a) { return a.phi[0]; });
  const T phi = gather([](const DspPsAllPassBand& a) { return a.phi[1]; });
  T qr[3], qi[3], ag[3];
  T wr[3][kApHistory + kApSlots], wi[3][kApHistory + kApSlots];
  for (int m = 0; m < 3; ++m) {
    qr[m] = gather([m](const DspPsAllPassBand& a) { return a.q[m][0]; });
    qi[m] = gather([m](const DspPsAllPassBand& a) { return a.q[m][1]; });
    ag[m] = gather([m](const DspPsAllPassBand& a) { return a.ag[m]; });
    for (int j = 0; j < kApHistory; ++j) {
      wr[m][j] = gather([m, j](const DspPsAllPassBand& a) { return a.history[m][j][0]; });
      wi[m][j] = gather([m, j](const DspPsAllPassBand& a) { return a.history[m][j][1]; });
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
  for (int q = 0; q < 2 * kApSlots; q += L) {
    T* z = x + q;
    V::Transpose(z);
    for (int l = 0; l < L; ++l) V::Store(rows[l] + q, z[l]);
  }
  for (int l = 0; l < L; ++l) {
    std::memcpy(b[l].out, rows[l], sizeof(float) * 2 * static_cast<size_t>(slots));
  }
  for (int m = 0; m < 3; ++m) {
    for (int j = 0; j < kApHistory; ++j) {
      alignas(64) float tr[L], ti[L];
      V::Store(tr, wr[m][slots + j]);
      V::Store(ti, wi[m][slots + j]);
      for (int l = 0; l < L; ++l) {
        b[l].history[m][j][0] = tr[l];
        b[l].history[m][j][1] = ti[l];
      }
    }
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
