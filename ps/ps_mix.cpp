// Mixing (ISO/IEC 14496-3, 8.6.4.6): 2x2 matrices per envelope and
// parameter band from IID and ICC (first or second mixing procedure, both
// tabulated), rotated by the smoothed IPD/OPD phases in the full mode,
// interpolated linearly across every envelope and applied to the mono and
// decorrelated signals.
#include <cstring>

#include "ps/ps_internal.h"

namespace {

int32_t Clamp(int32_t v, int32_t lo, int32_t hi) {
  return v < lo ? lo : (v > hi ? hi : v);
}

// Smoothed phasor of a phase index and the band's two earlier ones, which
// then move on.
const float* SmoothPhase(int8_t* history, int32_t index) {
  const int32_t i = index & 7;
  const float* p = kPsPhaseSmooth[history[1] * 64 + history[0] * 8 + i];
  history[1] = history[0];
  history[0] = static_cast<int8_t>(i);
  return p;
}

// Real matrices mapped between layouts: towards 34 bands a new band between
// two old ones takes their mean, towards 20 merged bands are weighted.
void Map20To34(float* v) {
  float t[34];
  static constexpr int8_t kFirst[34] = {0,  0,  1,  2,  2,  3,  4,  4,  5,  5,  6,  7,
                                        8,  8,  9,  9,  10, 11, 12, 13, 14, 14, 15, 15,
                                        16, 16, 17, 17, 18, 18, 18, 18, 19, 19};
  static constexpr int8_t kSecond[34] = {0,  1,  1,  2,  3,  3,  4,  4,  5,  5,  6,  7,
                                         8,  8,  9,  9,  10, 11, 12, 13, 14, 14, 15, 15,
                                         16, 16, 17, 17, 18, 18, 18, 18, 19, 19};
  for (int i = 0; i < 34; ++i) {
    t[i] = kFirst[i] == kSecond[i] ? v[kFirst[i]] : 0.5f * (v[kFirst[i]] + v[kSecond[i]]);
  }
  std::memcpy(v, t, sizeof(t));
}

void Map34To20(float* v) {
  constexpr float kThird = 0.33333333f;
  float t[20];
  t[0] = (2 * v[0] + v[1]) * kThird;
  t[1] = (v[1] + 2 * v[2]) * kThird;
  t[2] = (2 * v[3] + v[4]) * kThird;
  t[3] = (v[4] + 2 * v[5]) * kThird;
  t[4] = 0.5f * (v[6] + v[7]);
  t[5] = 0.5f * (v[8] + v[9]);
  t[6] = v[10];
  t[7] = v[11];
  t[8] = 0.5f * (v[12] + v[13]);
  t[9] = 0.5f * (v[14] + v[15]);
  t[10] = v[16];
  t[11] = v[17];
  t[12] = v[18];
  t[13] = v[19];
  t[14] = 0.5f * (v[20] + v[21]);
  t[15] = 0.5f * (v[22] + v[23]);
  t[16] = 0.5f * (v[24] + v[25]);
  t[17] = 0.5f * (v[26] + v[27]);
  t[18] = 0.5f * (0.5f * (v[28] + v[29]) + 0.5f * (v[30] + v[31]));
  t[19] = 0.5f * (v[32] + v[33]);
  std::memcpy(v, t, sizeof(t));
  std::memset(v + 20, 0, sizeof(float) * 14);
}

}  // namespace

void ps_generic::MixReal(float (*s)[2], float (*d)[2], int32_t len, const float* h,
                         const float* step) {
  float h11 = h[0], h12 = h[1], h21 = h[2], h22 = h[3];
  for (int32_t n = 0; n < len; ++n) {
    h11 += step[0];
    h12 += step[1];
    h21 += step[2];
    h22 += step[3];
    const float sr = s[n][0], si = s[n][1], dr = d[n][0], di = d[n][1];
    s[n][0] = h11 * sr + h21 * dr;
    s[n][1] = h11 * si + h21 * di;
    d[n][0] = h12 * sr + h22 * dr;
    d[n][1] = h12 * si + h22 * di;
  }
}

void ps_generic::MixComplex(float (*s)[2], float (*d)[2], int32_t len, const float* h,
                            const float* step) {
  float r[4], i[4];
  std::memcpy(r, h, sizeof(r));
  std::memcpy(i, h + 4, sizeof(i));
  for (int32_t n = 0; n < len; ++n) {
    for (int c = 0; c < 4; ++c) {
      r[c] += step[c];
      i[c] += step[4 + c];
    }
    const float sr = s[n][0], si = s[n][1], dr = d[n][0], di = d[n][1];
    s[n][0] = r[0] * sr + r[2] * dr - i[0] * si - i[2] * di;
    s[n][1] = r[0] * si + r[2] * di + i[0] * sr + i[2] * dr;
    d[n][0] = r[1] * sr + r[3] * dr - i[1] * si - i[3] * di;
    d[n][1] = r[1] * si + r[3] * di + i[1] * sr + i[3] * dr;
  }
}

void PsComputeMatrices(const PSDecState& ps, PsSynthesisState& st, const PsLayoutTables& lay,
                       PsMatrix (*target)[kPsMaxBands]) {
  const int32_t steps = ps.fineIid ? 15 : 7;
  const int32_t procedure = ps.mixingProcedure ? 1 : 0;
  const bool phase = ps.enable_ipdopd != 0;
  for (int32_t e = 0; e < ps.num_env; ++e) {
    std::memset(target[e], 0, sizeof(target[e]));
    for (int32_t b = 0; b < lay.par_bands; ++b) {
      const int32_t iid = Clamp(ps.iidIndex[e][b], -steps, steps) + steps;
      const int32_t icc = Clamp(ps.iccIndex[e][b], 0, 7);
      const float* h =
          ps.fineIid ? kPsMixFine[procedure][iid][icc] : kPsMixCoarse[procedure][iid][icc];
      PsMatrix& m = target[e][b];
      std::memcpy(m.re, h, sizeof(m.re));
      std::memset(m.im, 0, sizeof(m.im));
      if (!phase || b >= lay.phase_bands) continue;
      // h11, h21 turn by the OPD angle, h12, h22 by OPD - IPD.
      const float* opd = SmoothPhase(st.opdHistory[b], ps.opdIndex[e][b]);
      const float* ipd = SmoothPhase(st.ipdHistory[b], ps.ipdIndex[e][b]);
      const float adj_re = opd[0] * ipd[0] + opd[1] * ipd[1];
      const float adj_im = opd[1] * ipd[0] - opd[0] * ipd[1];
      const float rot_re[4] = {opd[0], adj_re, opd[0], adj_re};
      const float rot_im[4] = {opd[1], adj_im, opd[1], adj_im};
      for (int c = 0; c < 4; ++c) {
        m.im[c] = h[c] * rot_im[c];
        m.re[c] = h[c] * rot_re[c];
      }
    }
  }
}

void PsMix(PsSynthesisState& st, const PsLayoutTables& lay, int32_t top_k, int32_t num_env,
           const int32_t* border, const PsMatrix (*target)[kPsMaxBands], bool phase) {
  const DspPsHybridKernels& mix = DspActiveKernels().ps_hybrid;
  for (int32_t e = 0; e < num_env; ++e) {
    const int32_t start = border[e], len = border[e + 1] - border[e];
    if (len <= 0) continue;
    const float width = 1.0f / static_cast<float>(len);
    const PsMatrix* from = e == 0 ? st.hPrev : target[e - 1];
    for (int32_t k = 0; k < top_k; ++k) {
      const int32_t b = lay.k_to_i[k];
      PsMatrix h = from[b], to = target[e][b], step;
      if (phase && lay.negate_phase[k]) {
        // Negative centre frequency: the phase rotation turns the other way.
        for (int c = 0; c < 4; ++c) {
          h.im[c] = -h.im[c];
          to.im[c] = -to.im[c];
        }
      }
      for (int c = 0; c < 4; ++c) {
        step.re[c] = (to.re[c] - h.re[c]) * width;
        step.im[c] = (to.im[c] - h.im[c]) * width;
      }
      if (phase) {
        float hv[8], sv[8];  // real parts, then imaginary parts
        std::memcpy(hv, h.re, sizeof(h.re));
        std::memcpy(hv + 4, h.im, sizeof(h.im));
        std::memcpy(sv, step.re, sizeof(step.re));
        std::memcpy(sv + 4, step.im, sizeof(step.im));
        mix.MixComplex(st.s[k] + start, st.d[k] + start, len, hv, sv);
      } else {
        mix.MixReal(st.s[k] + start, st.d[k] + start, len, h.re, step.re);
      }
    }
  }
  std::memcpy(st.hPrev, target[num_env - 1], sizeof(st.hPrev));
}

void PsMapMatrices(PsMatrix* h, int32_t from_layout, int32_t to_layout) {
  if (from_layout == to_layout) return;
  float v[34];
  for (int c = 0; c < 8; ++c) {
    for (int b = 0; b < 34; ++b) v[b] = c < 4 ? h[b].re[c] : h[b].im[c - 4];
    if (to_layout == kPsLayout34) {
      Map20To34(v);
    } else {
      Map34To20(v);
    }
    for (int b = 0; b < 34; ++b) (c < 4 ? h[b].re[c] : h[b].im[c - 4]) = v[b];
  }
}
