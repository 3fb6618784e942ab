// The per-channel SBR process (ISO/IEC 14496-3, 4.6.18.5-4.6.18.8): QMF
// analysis, dequantisation, HF generation, envelope adjustment (limiter,
// smoothing, noise, sinusoids), assembly and QMF synthesis, with the bypass
// that keeps the delay while SBR has no valid data.
#include <cmath>
#include <cstring>

#include "sbr/sbr_decoder.h"
#include "sbr/sbr_tables.h"

namespace {

constexpr float kNewBw[4][4] = {{0.0f, 0.6f, 0.9f, 0.98f},
                                {0.6f, 0.75f, 0.9f, 0.98f},
                                {0.0f, 0.75f, 0.9f, 0.98f},
                                {0.0f, 0.75f, 0.9f, 0.98f}};
constexpr float kLimGain[4] = {0.70795f, 1.0f, 1.41254f, 1e10f};
constexpr float kSmooth[5] = {0.0318305f, 0.11516383f, 0.2181695f, 0.30150282f, 0.33333334f};
constexpr float kPhiRe[4] = {1.0f, 0.0f, -1.0f, 0.0f};
constexpr float kPhiIm[4] = {0.0f, 1.0f, 0.0f, -1.0f};

// T[c] = 2 / (1 + 2^(12 - c)), c = 0..24: the balance gains of a coupled pair.
float Balance(int32_t c) {
  return static_cast<float>(2.0 / (1.0 + std::ldexp(1.0, 12 - c)));
}

int32_t Clamp(int32_t v, int32_t lo, int32_t hi) {
  return v < lo ? lo : (v > hi ? hi : v);
}

// Band of `f` (borders f[0..n]) that holds subband k, or -1.
int32_t BandOf(const int32_t* f, int32_t n, int32_t k) {
  for (int32_t b = 0; b < n; ++b) {
    if (f[b] <= k && k < f[b + 1]) return b;
  }
  return -1;
}

void Dequantise(SBRDecState& s) {
  auto env = [&](SbrChannel& c) {
    const float step = c.bs_amp_res ? 1.0f : 0.5f;
    for (int32_t l = 0; l < c.L_E; ++l) {
      const int32_t n = c.freqRes[l] ? s.N_high : s.N_low;
      for (int32_t k = 0; k < n; ++k) {
        c.EOrig[l][k] = std::exp2(Clamp(c.envValues[l][k], 0, 128) * step + 6.0f);
      }
    }
    for (int32_t q = 0; q < c.L_Q; ++q) {
      for (int32_t k = 0; k < s.N_Q; ++k)
        c.QOrig[q][k] = std::exp2(6.0f - Clamp(c.noiseValues[q][k], 0, 30));
    }
  };
  SbrChannel& a = s.ch[0];
  env(a);
  if (s.elementType != 1) return;
  SbrChannel& b = s.ch[1];
  if (!s.bs_coupling) {
    env(b);
    return;
  }
  const int32_t shift = 1 - a.bs_amp_res;
  for (int32_t l = 0; l < a.L_E; ++l) {
    const int32_t n = a.freqRes[l] ? s.N_high : s.N_low;
    for (int32_t k = 0; k < n; ++k) {
      const int32_t c = Clamp(b.envValues[l][k] >> shift, 0, 24);
      const float v = a.EOrig[l][k];
      b.EOrig[l][k] = Balance(24 - c) * v;
      a.EOrig[l][k] = Balance(c) * v;
    }
  }
  for (int32_t q = 0; q < a.L_Q; ++q) {
    for (int32_t k = 0; k < s.N_Q; ++k) {
      const int32_t c = Clamp(b.noiseValues[q][k], 0, 24);
      const float v = a.QOrig[q][k];
      b.QOrig[q][k] = Balance(24 - c) * v;
      a.QOrig[q][k] = Balance(c) * v;
    }
  }
}

// ---- HF generation -------------------------------------------------------------

void ChirpFactors(const SBRDecState& s, SbrChannel& c) {
  for (int32_t i = 0; i < s.N_Q; ++i) {
    const int32_t prev = Clamp(c.invfModePrev[i], 0, 3), cur = Clamp(c.bs_invf_mode[i], 0, 3);
    const float b = kNewBw[prev][cur], a = c.bwArray[i];
    float t = a > b ? 0.75f * b + 0.25f * a : 0.90625f * b + 0.09375f * a;
    if (t < 0.015625f) t = 0.0f;
    c.bwArray[i] = t;
    c.invfModePrev[i] = c.bs_invf_mode[i];
  }
}

struct Complex {
  float re, im;
};

// Second-order predictor of one source subband over the 40 Xlow slots.
void Predictor(const SbrChannel& c, int32_t k, Complex* a0, Complex* a1) {
  float r01r = 0, r01i = 0, r02r = 0, r02i = 0, r11 = 0, r12r = 0, r12i = 0, r22 = 0;
  for (int32_t n = 0; n < 38; ++n) {
    const float* x0 = &c.Xlow[n + 2][2 * k];
    const float* x1 = &c.Xlow[n + 1][2 * k];
    const float* x2 = &c.Xlow[n][2 * k];
    r01r += x0[0] * x1[0] + x0[1] * x1[1];
    r01i += x0[1] * x1[0] - x0[0] * x1[1];
    r02r += x0[0] * x2[0] + x0[1] * x2[1];
    r02i += x0[1] * x2[0] - x0[0] * x2[1];
    r11 += x1[0] * x1[0] + x1[1] * x1[1];
    r12r += x1[0] * x2[0] + x1[1] * x2[1];
    r12i += x1[1] * x2[0] - x1[0] * x2[1];
    r22 += x2[0] * x2[0] + x2[1] * x2[1];
  }
  const float d = r22 * r11 - (r12r * r12r + r12i * r12i) * 0.99999905f;
  *a1 = Complex{0, 0};
  if (d != 0.0f) {
    a1->re = (r01r * r12r - r01i * r12i - r02r * r11) / d;
    a1->im = (r01i * r12r + r01r * r12i - r02i * r11) / d;
  }
  *a0 = Complex{0, 0};
  if (r11 > 0.0f) {
    a0->re = -(r01r + a1->re * r12r + a1->im * r12i) / r11;
    a0->im = -(r01i + a1->im * r12r - a1->re * r12i) / r11;
  }
  if (a0->re * a0->re + a0->im * a0->im >= 16.0f || a1->re * a1->re + a1->im * a1->im >= 16.0f) {
    *a0 = *a1 = Complex{0, 0};
  }
}

void GenerateHighBand(const SBRDecState& s, SbrChannel& c) {
  ChirpFactors(s, c);
  Complex alpha0[32], alpha1[32];
  for (int32_t k = 0; k < s.k0 && k < 32; ++k) Predictor(c, k, &alpha0[k], &alpha1[k]);
  const int32_t first = 2 * c.t_E[0], last = 2 * c.t_E[c.L_E];
  for (int32_t m = first; m < last; ++m) std::memset(c.Xhigh[m + 2], 0, sizeof(c.Xhigh[0]));
  int32_t l = s.kx;
  for (int32_t i = 0; i < s.numPatches; ++i) {
    for (int32_t j = 0; j < s.patchNumSubbands[i] && l < 64; ++j, ++l) {
      const int32_t p = s.patchStartSubband[i] + j;
      const int32_t g = BandOf(s.f_noise, s.N_Q, l);
      const float bw = g >= 0 ? c.bwArray[g] : 0.0f;
      const Complex a0{bw * alpha0[p].re, bw * alpha0[p].im};
      const float bw2 = bw * bw;
      const Complex a1{bw2 * alpha1[p].re, bw2 * alpha1[p].im};
      for (int32_t m = first; m < last; ++m) {
        const float* x0 = &c.Xlow[m + 2][2 * p];
        const float* x1 = &c.Xlow[m + 1][2 * p];
        const float* x2 = &c.Xlow[m][2 * p];
        float* y = &c.Xhigh[m + 2][2 * l];
        y[0] = x0[0] + (a0.re * x1[0] - a0.im * x1[1]) + (a1.re * x2[0] - a1.im * x2[1]);
        y[1] = x0[1] + (a0.re * x1[1] + a0.im * x1[0]) + (a1.re * x2[1] + a1.im * x2[0]);
      }
    }
  }
}

// ---- envelope adjustment ---------------------------------------------------------

int32_t TransientEnvelope(const SbrChannel& c) {
  const int32_t p = c.bs_pointer;
  switch (c.bs_frame_class) {
    case FIXFIX:
      return -1;
    case VARFIX:
      return p <= 1 ? -1 : p - 1;
    default:
      return p == 0 ? -1 : c.L_E + 1 - p;
  }
}

void AdjustEnvelopes(SBRDecState& s, SbrChannel& c) {
  const int32_t kx = s.kx, M = s.M;
  if (s.reset) {
    c.resetHistory = 1;
    c.indexNoisePrev = 0;
  }
  int32_t marks[64] = {};
  for (int32_t i = 0; i < s.N_high; ++i) {
    if (!c.bs_add_harmonic[i]) continue;
    const int32_t m = (s.f_high[i] + s.f_high[i + 1]) / 2 - kx;
    if (m >= 0 && m < 64) marks[m] = 1;
  }
  const int32_t lA = TransientEnvelope(c);
  int32_t noise_index = c.indexNoisePrev, sine_index = c.indexSinePrev;
  bool any_slot = false;
  for (int32_t l = 0; l < c.L_E; ++l) {
    const int32_t* table = c.freqRes[l] ? s.f_high : s.f_low;
    const int32_t nbands = c.freqRes[l] ? s.N_high : s.N_low;
    const bool noise_free = l == lA || l == c.lAPrev;
    const bool smooth = s.bs_smoothing_mode == 0 && !noise_free;
    const int32_t j0 = 2 * c.t_E[l], j1 = 2 * c.t_E[l + 1];
    const int32_t q_floor = (c.L_Q == 2 && c.t_E[l] >= c.t_Q[1]) ? 1 : 0;
    float E[64], Q[64], ECurr[64], G[64], QM[64], SM[64];
    int32_t sine[64], band_sine[64] = {};
    for (int32_t m = 0; m < M; ++m) {
      const int32_t b = BandOf(table, nbands, kx + m);
      const int32_t nb = BandOf(s.f_noise, s.N_Q, kx + m);
      E[m] = b >= 0 ? c.EOrig[l][b] : 0.0f;
      Q[m] = nb >= 0 ? c.QOrig[q_floor][nb] : 0.0f;
      sine[m] = marks[m] && (l >= lA || c.sineFlagsPrev[m]);
      if (sine[m] && b >= 0) band_sine[b] = 1;
    }
    // Current energies.
    const int32_t slots = j1 - j0;
    for (int32_t m = 0; m < M; ++m) {
      float acc = 0.0f;
      for (int32_t j = j0; j < j1; ++j) {
        const float* x = &c.Xhigh[j + 2][2 * (kx + m)];
        acc += x[0] * x[0] + x[1] * x[1];
      }
      ECurr[m] = slots > 0 ? acc / slots : 0.0f;
    }
    if (!s.bs_interpol_freq) {
      for (int32_t b = 0; b < nbands; ++b) {
        float acc = 0.0f;
        const int32_t lo = table[b] - kx, hi = table[b + 1] - kx;
        for (int32_t m = lo; m < hi; ++m) acc += ECurr[m];
        for (int32_t m = lo; m < hi; ++m) ECurr[m] = hi > lo ? acc / (hi - lo) : 0.0f;
      }
    }
    for (int32_t m = 0; m < M; ++m) {
      const int32_t b = BandOf(table, nbands, kx + m);
      const float q = Q[m], e = E[m];
      QM[m] = e * q / (1.0f + q);
      SM[m] = sine[m] ? e / (1.0f + q) : 0.0f;
      float g;
      if (b >= 0 && band_sine[b]) {
        g = e * q / (1.0f + q);
      } else {
        g = noise_free ? e : e / (1.0f + q);
      }
      G[m] = g / (ECurr[m] + 1.0f);
    }
    // Limiter.
    const float lim_gain = kLimGain[s.bs_limiter_gains & 3];
    for (int32_t lb = 0; lb < s.N_L; ++lb) {
      const int32_t lo = s.f_lim[lb] - kx, hi = s.f_lim[lb + 1] - kx;
      float sum_e = 0.0f, sum_cur = 0.0f;
      for (int32_t m = lo; m < hi; ++m) {
        sum_e += E[m];
        sum_cur += ECurr[m];
      }
      float gmax = (sum_e + 1e-12f) / (sum_cur + 1e-12f) * lim_gain * lim_gain;
      if (gmax > 1e10f) gmax = 1e10f;
      for (int32_t m = lo; m < hi; ++m) {
        if (G[m] >= gmax) {
          QM[m] = QM[m] * gmax / G[m];
          G[m] = gmax;
        }
      }
      float denom = 1e-12f;
      for (int32_t m = lo; m < hi; ++m) {
        denom += ECurr[m] * G[m] + SM[m] + ((SM[m] == 0.0f && !noise_free) ? QM[m] : 0.0f);
      }
      float boost = (sum_e + 1e-12f) / denom;
      if (boost > 2.5118866f) boost = 2.5118866f;
      for (int32_t m = lo; m < hi; ++m) {
        G[m] = std::sqrt(G[m] * boost);
        QM[m] = std::sqrt(QM[m] * boost);
        SM[m] = std::sqrt(SM[m] * boost);
      }
    }
    if (c.resetHistory) {
      for (int row = 0; row < 4; ++row) {
        std::memcpy(c.GTemp[row], G, sizeof(float) * M);
        std::memcpy(c.QTemp[row], QM, sizeof(float) * M);
      }
      c.resetHistory = 0;
    }
    std::memcpy(c.GTemp[4], G, sizeof(float) * M);
    std::memcpy(c.QTemp[4], QM, sizeof(float) * M);
    for (int32_t j = j0; j < j1; ++j) {
      const int32_t rel = j - 2 * c.t_E[0];
      sine_index = (rel + c.indexSinePrev) & 3;
      float* x = c.Xhigh[j + 2];
      for (int32_t m = 0; m < M; ++m) {
        float gf = G[m], qf = QM[m];
        if (smooth) {
          gf = qf = 0.0f;
          for (int row = 0; row < 5; ++row) {
            gf += kSmooth[row] * c.GTemp[row][m];
            qf += kSmooth[row] * c.QTemp[row][m];
          }
        }
        if (SM[m] != 0.0f || noise_free) qf = 0.0f;
        noise_index = (m + M * rel + c.indexNoisePrev + 1) & 511;
        const int32_t k = kx + m;
        float re = gf * x[2 * k] + qf * kSbrNoiseTable[noise_index][0];
        float im = gf * x[2 * k + 1] + qf * kSbrNoiseTable[noise_index][1];
        if (SM[m] != 0.0f) {
          re += SM[m] * kPhiRe[sine_index];
          im += SM[m] * ((k & 1) ? -kPhiIm[sine_index] : kPhiIm[sine_index]);
        }
        x[2 * k] = re;
        x[2 * k + 1] = im;
      }
      any_slot = true;
      for (int row = 0; row < 4; ++row) {
        std::memcpy(c.GTemp[row], c.GTemp[row + 1], sizeof(float) * M);
        std::memcpy(c.QTemp[row], c.QTemp[row + 1], sizeof(float) * M);
      }
    }
  }
  for (int32_t m = 0; m < 64; ++m) c.sineFlagsPrev[m] = marks[m];
  c.lAPrev = lA == c.L_E ? 0 : -1;
  if (any_slot) {
    c.indexNoisePrev = noise_index;
    c.indexSinePrev = (sine_index + 1) & 3;
  }
}

}  // namespace

void SbrProcess(SBRDecState& s, int32_t channel, float* time, float* ps_right,
                const SbrProcessOptions& o) {
  SbrChannel& c = s.ch[channel];
  float* xlow[kSbrTimeSlots];
  for (int32_t slot = 0; slot < kSbrTimeSlots; ++slot) xlow[slot] = c.Xlow[kSbrHistory + slot];
  SbrQmfAnalyzeSlots(c.analysis, time, xlow, kSbrTimeSlots, s.kx);
  const bool active =
      s.headerCount > 0 && s.errorState == 0 && (s.elementType == 0 || s.elementType == 1);
  if (!active) {
    for (int32_t slot = 0; slot < kSbrTimeSlots; ++slot) {
      std::memcpy(c.Y[slot], c.Xlow[slot + 2], sizeof(c.Xlow[0]));
      std::memset(c.Y[slot] + 64, 0, sizeof(float) * 64);
    }
  } else {
    if (channel == 0 || !s.bs_coupling) {
      if (channel == 0) Dequantise(s);
    }
    GenerateHighBand(s, c);
    AdjustEnvelopes(s, c);
    for (int32_t slot = 0; slot < kSbrTimeSlots; ++slot) {
      const int32_t d = slot < c.overlapSlots ? s.kxPrev : s.kx;
      std::memcpy(c.Y[slot], c.Xlow[slot + 2], sizeof(float) * 2 * d);
      std::memcpy(c.Y[slot] + 2 * d, c.Xhigh[slot + 2] + 2 * d, sizeof(float) * 2 * (64 - d));
    }
    std::memcpy(c.Xhigh[0], c.Xhigh[kSbrTimeSlots], sizeof(c.Xhigh[0]) * kSbrHistory);
    c.overlapSlots = 2 * c.t_E[c.L_E] - kSbrTimeSlots;
  }
  (void)ps_right;
  const int32_t bands = o.downsampled ? 32 : 64;
  if (SbrQmfSynthesisBands(c.synthesis) != bands) SbrQmfSynthesisInit(c.synthesis, bands);
  const float* y[kSbrTimeSlots];
  for (int32_t slot = 0; slot < kSbrTimeSlots; ++slot) y[slot] = c.Y[slot];
  SbrQmfSynthesizeSlots(c.synthesis, y, time, kSbrTimeSlots);
  std::memcpy(c.Xlow[0], c.Xlow[kSbrTimeSlots], sizeof(c.Xlow[0]) * kSbrHistory);
  const bool last_channel = s.elementType != 1 || channel == 1;
  if (last_channel) {
    s.kxPrev = s.kx;
    s.MPrev = s.M;
    s.reset = 0;
  }
}
