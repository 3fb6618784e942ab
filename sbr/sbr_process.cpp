// The per-channel SBR process (ISO/IEC 14496-3, 4.6.18.5-4.6.18.8): QMF
// analysis, dequantisation, HF generation, envelope adjustment (limiter,
// smoothing, noise, sinusoids), assembly and QMF synthesis, with the bypass
// that keeps the delay while SBR has no valid data.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "dsp/dsp_kernels.h"
#include "ps/ps_decoder.h"
#include "sbr/sbr_decoder.h"
#include "sbr/sbr_hf_kernels.h"
#include "sbr/sbr_tables.h"

void SbrPredictor(const SbrChannel& c, int32_t k, int32_t terms, float* alpha0, float* alpha1) {
  const DspSbrKernels& kernels = DspActiveKernels().sbr;
  double sums[1][5];
  kernels.Covariance(&c.Xlow[0][2 * k], 1, terms, sums);
  kernels.Solve(sums, &c.Xlow[0][2 * k], 1, terms, alpha0, alpha1);
}

namespace {

constexpr float kNewBw[4][4] = {{0.0f, 0.6f, 0.9f, 0.98f},
                                {0.6f, 0.75f, 0.9f, 0.98f},
                                {0.0f, 0.75f, 0.9f, 0.98f},
                                {0.0f, 0.75f, 0.9f, 0.98f}};
constexpr float kLimGain[4] = {0.70795f, 1.0f, 1.41254f, 1e10f};
constexpr float kPhiRe[4] = {1.0f, 0.0f, -1.0f, 0.0f};
constexpr float kPhiIm[4] = {0.0f, 1.0f, 0.0f, -1.0f};

// T[c] = 2 / (1 + 2^(12 - c)), c = 0..24: the balance gains of a coupled pair.
float Balance(int32_t c) {
  return static_cast<float>(2.0 / (1.0 + std::ldexp(1.0, 12 - c)));
}

int32_t Clamp(int32_t v, int32_t lo, int32_t hi) {
  return v < lo ? lo : (v > hi ? hi : v);
}

// QMF slots of a frame: 2 x numTimeSlots, 32 (or 30 over a 960-sample core).
int32_t QmfSlots(const SBRDecState& s) {
  return s.numTimeSlots == 15 ? 30 : kSbrTimeSlots;
}

// Band of every subband kx + m, m < 64 - kx, in the frame's tables (-1:
// none): the first band b whose borders f[b] <= k < f[b + 1] hold it.
struct BandMaps {
  int32_t high[64], low[64], noise[64];
};

void MapTable(const int32_t* f, int32_t n, int32_t kx, int32_t* out) {
  const int32_t count = 64 - kx;
  for (int32_t m = 0; m < count; ++m) out[m] = -1;
  for (int32_t b = 0; b < n; ++b) {
    const int32_t lo = std::max(f[b], kx), hi = std::min(f[b + 1], 64);
    for (int32_t k = lo; k < hi; ++k) {
      if (out[k - kx] < 0) out[k - kx] = b;
    }
  }
}

void MapBands(const SBRDecState& s, BandMaps& maps) {
  const int32_t kx = Clamp(s.kx, 0, 64);
  MapTable(s.f_high, s.N_high, kx, maps.high);
  MapTable(s.f_low, s.N_low, kx, maps.low);
  MapTable(s.f_noise, s.N_Q, kx, maps.noise);
}

// 2^e for an integer e (-126..), infinity past the float range: the values
// exp2f gives, built from the exponent bits.
float Pow2(int32_t e) {
  return e > 127 ? HUGE_VALF : std::bit_cast<float>(static_cast<uint32_t>(e + 127) << 23);
}

void Dequantise(SBRDecState& s) {
  // Envelope levels 2^(6 + v step): whole or half-step exponents (2^(1/2)
  // rounded to float scales exactly by a power of two).
  constexpr float kSqrt2 = 1.41421354f;
  auto env = [&](SbrChannel& c) {
    const int32_t half = c.bs_amp_res ? 0 : 1;
    for (int32_t l = 0; l < c.L_E; ++l) {
      const int32_t n = c.freqRes[l] ? s.N_high : s.N_low;
      for (int32_t k = 0; k < n; ++k) {
        const int32_t v = Clamp(c.envValues[l][k], 0, 128);
        const float level = Pow2(6 + (v >> half));
        c.EOrig[l][k] = (v & half) ? level * kSqrt2 : level;
      }
    }
    for (int32_t q = 0; q < c.L_Q; ++q) {
      for (int32_t k = 0; k < s.N_Q; ++k)
        c.QOrig[q][k] = Pow2(6 - Clamp(c.noiseValues[q][k], 0, 30));
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
  }
  // The previous frame's modes are its whole array, also the bands it did
  // not code: after a reset that adds noise bands they hold the last modes
  // read or, after a coupled frame, the first channel's.
  for (int32_t i = 0; i < kSbrMaxNoise; ++i) c.invfModePrev[i] = c.bs_invf_mode[i];
}

struct Complex {
  float re, im;
};

// The low-power predictor of one subband (real slots of 32 values) and its
// first reflection coefficient, limited to -1..1 (double sums as above).
float PredictorReal(const SbrChannel& c, int32_t k, int32_t terms, float* a0, float* a1) {
  double r01 = 0, r02 = 0, r11 = 0, r12 = 0, r22 = 0;
  for (int32_t n = 0; n < terms; ++n) {
    const double x0 = c.Xlow[n + 2][k], x1 = c.Xlow[n + 1][k], x2 = c.Xlow[n][k];
    r01 += x0 * x1;
    r02 += x0 * x2;
    r11 += x1 * x1;
    r12 += x1 * x2;
    r22 += x2 * x2;
  }
  const double d = r22 * r11 - r12 * r12 / (1.0 + 1e-6);
  const double b1 = d != 0.0 ? (r01 * r12 - r02 * r11) / d : 0.0;
  *a1 = static_cast<float>(b1);
  *a0 = r11 > 0.0 ? static_cast<float>(-(r01 + b1 * r12) / r11) : 0.0f;
  if (*a0 * *a0 >= 16.0f || *a1 * *a1 >= 16.0f) *a0 = *a1 = 0.0f;
  const float r = r11 > 0.0 ? static_cast<float>(-r01 / r11) : 0.0f;
  return r < -1.0f ? -1.0f : (r > 1.0f ? 1.0f : r);
}

// Degree of aliasing of the source subbands k < k0 from the signs of
// neighbouring reflection coefficients (r[0] counts as 0): a real-valued
// subband whose predictor points at its neighbour's image carries aliasing
// that the gain grouping of the envelope adjuster then smooths.
void DegreeOfAliasing(const float* r, int32_t k0, float* deg) {
  for (int32_t k = 0; k < k0; ++k) deg[k] = 0.0f;
  for (int32_t k = 2; k < k0; ++k) {
    float sign;
    if ((k & 1) == 0 && r[k] < 0.0f) {
      sign = 1.0f;
    } else if ((k & 1) == 1 && r[k] > 0.0f) {
      sign = -1.0f;
    } else {
      continue;
    }
    const float prev = k - 1 == 0 ? 0.0f : r[k - 1], prev2 = k - 2 == 0 ? 0.0f : r[k - 2];
    if (sign * prev < 0.0f) {
      deg[k] = 1.0f;
      if (sign * prev2 > 0.0f) deg[k - 1] = 1.0f - prev * prev;
    } else if (sign * prev2 > 0.0f) {
      deg[k] = 1.0f - prev * prev;
    }
  }
}

// Per frame predictor coefficients of the k0 source subbands.
struct Predictors {
  float alpha0[64], alpha1[64];  // complex: {re, im} per subband
  float deg_alias[32];           // low power only
};

void ComputePredictors(const SBRDecState& s, const SbrChannel& c, bool lp, Predictors& p) {
  const int32_t k0 = s.k0 < 32 ? s.k0 : 32;
  const int32_t terms = QmfSlots(s) + 6;
  if (!lp) {
    const DspSbrKernels& kernels = DspActiveKernels().sbr;
    double sums[32][5];
    if (k0 > 0) {
      kernels.Covariance(&c.Xlow[0][0], k0, terms, sums);
      kernels.Solve(sums, &c.Xlow[0][0], k0, terms, p.alpha0, p.alpha1);
    }
    return;
  }
  float r[32];
  for (int32_t k = 0; k < k0; ++k) {
    p.alpha0[2 * k + 1] = p.alpha1[2 * k + 1] = 0.0f;
    r[k] = PredictorReal(c, k, terms, &p.alpha0[2 * k], &p.alpha1[2 * k]);
  }
  DegreeOfAliasing(r, k0, p.deg_alias);
}

// Fills Xhigh kx..kx+M-1 over the current envelopes by patching; in low
// power also the degree of aliasing of every target subband (0 for the
// first subband of each patch and outside the SBR range).  Every other
// value of those rows becomes zero.
void GenerateHighBand(const SBRDecState& s, SbrChannel& c, bool lp, const BandMaps& maps,
                      float* deg_patched) {
  ChirpFactors(s, c);
  Predictors pred;
  ComputePredictors(s, c, lp, pred);
  const int32_t first = 2 * c.t_E[0], last = 2 * c.t_E[c.L_E];
  const int32_t rows = last - first;
  for (int32_t l = 0; l < 64; ++l) deg_patched[l] = 0.0f;
  // Complex: per target subband the filter coefficients as the patch
  // kernel takes them, then one kernel call per run of subbands.
  alignas(32) float coef[4][kSbrHighRow];
  bool written[64] = {};
  const DspSbrKernels& kernels = DspActiveKernels().sbr;
  int32_t l = s.kx;
  for (int32_t i = 0; i < s.numPatches; ++i) {
    int32_t run_l = -1, run_p = 0;
    auto flush = [&](int32_t end) {
      if (run_l >= 0 && end > run_l && rows > 0) {
        kernels.Patch(&c.Xlow[first][2 * run_p], &c.Xhigh[first + 2][2 * run_l], rows,
                      &coef[0][2 * run_l], 2 * (end - run_l));
      }
      run_l = -1;
    };
    for (int32_t j = 0; j < s.patchNumSubbands[i] && l < 64; ++j, ++l) {
      const int32_t p = s.patchStartSubband[i] + j;
      if (p < 0 || p >= 32 || p >= s.k0) {  // the table derivation rules this out
        if (!lp) flush(l);
        continue;
      }
      written[l] = true;
      const int32_t g = maps.noise[l - s.kx];
      const float bw = g >= 0 ? c.bwArray[g] : 0.0f;
      const Complex a0{bw * pred.alpha0[2 * p], bw * pred.alpha0[2 * p + 1]};
      const float bw2 = bw * bw;
      const Complex a1{bw2 * pred.alpha1[2 * p], bw2 * pred.alpha1[2 * p + 1]};
      if (lp) {
        deg_patched[l] = j == 0 ? 0.0f : pred.deg_alias[p];
        for (int32_t m = first; m < last; ++m) {
          c.Xhigh[m + 2][l] = c.Xlow[m + 2][p] + a0.re * c.Xlow[m + 1][p] + a1.re * c.Xlow[m][p];
        }
        continue;
      }
      coef[0][2 * l] = coef[0][2 * l + 1] = a0.re;
      coef[1][2 * l] = -a0.im;
      coef[1][2 * l + 1] = a0.im;
      coef[2][2 * l] = coef[2][2 * l + 1] = a1.re;
      coef[3][2 * l] = -a1.im;
      coef[3][2 * l + 1] = a1.im;
      if (run_l < 0) {
        run_l = l;
        run_p = p;
      }
    }
    if (!lp) flush(l);
  }
  // Zero what no patch wrote (below kx, above the last patch, and in low
  // power the other half of each row).
  const int32_t w = lp ? 1 : 2;
  for (int32_t lo = 0; lo < 64;) {
    if (written[lo]) {
      ++lo;
      continue;
    }
    int32_t hi = lo;
    while (hi < 64 && !written[hi]) ++hi;
    for (int32_t m = first; m < last; ++m) {
      std::memset(&c.Xhigh[m + 2][w * lo], 0, sizeof(float) * w * (hi - lo));
    }
    lo = hi;
  }
  if (lp) {
    for (int32_t m = first; m < last; ++m) std::memset(&c.Xhigh[m + 2][64], 0, sizeof(float) * 64);
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

// Levels and gains of one envelope, per SBR subband m (target kx + m).
struct EnvelopeGains {
  alignas(32) float E[64], Q[64], ECurr[64], G[64], QM[64], SM[64];
  int32_t sine[64];
  int32_t flags[64];  // kSbrSine, kSbrBandSine
};

// Mean energy of the generated subbands over the envelope's slots j0..j1-1
// (band averages without frequency interpolation).  Real-valued slots carry
// half the energy of complex ones, hence the doubling in low power.
void CurrentEnergies(const SBRDecState& s, const SbrChannel& c, bool lp, const int32_t* table,
                     int32_t nbands, int32_t j0, int32_t j1, float* ecurr) {
  const int32_t kx = s.kx, slots = j1 - j0;
  if (slots <= 0) {
    for (int32_t m = 0; m < s.M; ++m) ecurr[m] = 0.0f;
  } else if (lp) {
    for (int32_t m = 0; m < s.M; ++m) ecurr[m] = 0.0f;
    for (int32_t j = j0; j < j1; ++j) {
      const float* x = &c.Xhigh[j + 2][kx];
      for (int32_t m = 0; m < s.M; ++m) ecurr[m] += x[m] * x[m];
    }
    for (int32_t m = 0; m < s.M; ++m) ecurr[m] = ecurr[m] / slots * 2.0f;
  } else if (s.M > 0) {
    DspActiveKernels().sbr.Energies(&c.Xhigh[j0 + 2][2 * kx], slots, s.M, ecurr);
  }
  if (s.bs_interpol_freq) return;
  for (int32_t b = 0; b < nbands; ++b) {
    float acc = 0.0f;
    const int32_t lo = table[b] - kx, hi = table[b + 1] - kx;
    for (int32_t m = lo; m < hi; ++m) acc += ecurr[m];
    for (int32_t m = lo; m < hi; ++m) ecurr[m] = hi > lo ? acc / (hi - lo) : 0.0f;
  }
}

// Limiter and boost per limiter band; G, QM and SM become amplitudes.  The
// limiter bands (sorted borders from kx up) cover one run of subbands: the
// band sums stay sequential, the per-subband divisions and roots run in one
// kernel call each over the run.
void Limit(const SBRDecState& s, const DspSbrKernels& k, bool noise_free, EnvelopeGains& g) {
  const float lim_gain = kLimGain[s.bs_limiter_gains & 3];
  alignas(32) float level[64];  // per subband: its band's gmax, then its boost
  float sum_e[64];
  const int32_t first = s.N_L > 0 ? s.f_lim[0] - s.kx : 0;
  const int32_t end = s.N_L > 0 ? s.f_lim[s.N_L] - s.kx : 0;
  for (int32_t lb = 0; lb < s.N_L; ++lb) {
    const int32_t lo = s.f_lim[lb] - s.kx, hi = s.f_lim[lb + 1] - s.kx;
    float e = 0.0f, cur = 0.0f;
    for (int32_t m = lo; m < hi; ++m) {
      e += g.E[m];
      cur += g.ECurr[m];
    }
    sum_e[lb] = e;
    float gmax = (e + 1e-12f) / (cur + 1e-12f) * lim_gain * lim_gain;
    if (gmax > 1e10f) gmax = 1e10f;
    for (int32_t m = lo; m < hi; ++m) level[m] = gmax;
  }
  if (end > first) k.Limit(g.G + first, g.QM + first, level + first, end - first);
  for (int32_t lb = 0; lb < s.N_L; ++lb) {
    const int32_t lo = s.f_lim[lb] - s.kx, hi = s.f_lim[lb + 1] - s.kx;
    float denom = 1e-12f;
    for (int32_t m = lo; m < hi; ++m) {
      denom += g.ECurr[m] * g.G[m] + g.SM[m] + ((g.SM[m] == 0.0f && !noise_free) ? g.QM[m] : 0.0f);
    }
    float boost = (sum_e[lb] + 1e-12f) / denom;
    if (boost > 2.5118866f) boost = 2.5118866f;
    for (int32_t m = lo; m < hi; ++m) level[m] = boost;
  }
  if (end > first) k.Boost(g.G + first, g.QM + first, g.SM + first, level + first, end - first);
  // Subbands above the last limiter band (the table lost its top border,
  // see LimiterTable) get no gain, noise or sinusoid.
  for (int32_t m = s.N_L > 0 ? std::max(s.f_lim[s.N_L] - s.kx, 0) : 0; m < s.M; ++m) {
    g.G[m] = g.QM[m] = g.SM[m] = 0.0f;
  }
}

// Low power: within runs of subbands that carry aliasing (and no sinusoid)
// the gains are pulled towards the run's energy-weighted mean gain, so the
// aliasing of neighbouring real-valued subbands is not shaped apart.
void GroupGains(const SBRDecState& s, const float* deg_patched, EnvelopeGains& g) {
  const int32_t kx = s.kx, M = s.M;
  auto group = [&](int32_t lo, int32_t hi) {  // subbands kx + lo .. kx + hi - 1
    float num = 0.0f, den = 1e-12f;
    for (int32_t m = lo; m < hi; ++m) {
      num += g.ECurr[m] * g.G[m] * g.G[m];
      den += g.ECurr[m];
    }
    const float mean = num / den;
    for (int32_t m = lo; m < hi; ++m) {
      const int32_t i = kx + m;
      float a = deg_patched[i];
      if (m < M - 1 && deg_patched[i + 1] > a) a = deg_patched[i + 1];
      g.G[m] = std::sqrt((1.0f - a) * g.G[m] * g.G[m] + a * mean);
    }
  };
  int32_t start = -1;
  for (int32_t m = 0; m < M - 1; ++m) {
    if (deg_patched[kx + m + 1] != 0.0f && !g.sine[m]) {
      if (start < 0) start = m;
    } else if (start >= 0) {
      group(start, g.sine[m] ? m : m + 1);
      start = -1;
    }
  }
  if (start >= 0) group(start, M);
}

// Levels, gains, limiter (and low-power grouping) of envelope l.
void EnvelopeLevels(const SBRDecState& s, const SbrChannel& c, int32_t l, const int32_t* marks,
                    int32_t lA, bool lp, const float* deg_patched, const BandMaps& maps,
                    EnvelopeGains& g) {
  const int32_t M = s.M;
  const int32_t* table = c.freqRes[l] ? s.f_high : s.f_low;
  const int32_t nbands = c.freqRes[l] ? s.N_high : s.N_low;
  const int32_t* band = c.freqRes[l] ? maps.high : maps.low;
  const bool noise_free = l == lA || l == c.lAPrev;
  const int32_t q_floor = (c.L_Q == 2 && c.t_E[l] >= c.t_Q[1]) ? 1 : 0;
  int32_t band_sine[64];
  for (int32_t b = 0; b < nbands && b < 64; ++b) band_sine[b] = 0;
  for (int32_t m = 0; m < M; ++m) {
    const int32_t b = band[m];
    const int32_t nb = maps.noise[m];
    g.E[m] = b >= 0 ? c.EOrig[l][b] : 0.0f;
    g.Q[m] = nb >= 0 ? c.QOrig[q_floor][nb] : 0.0f;
    g.sine[m] = marks[m] && (l >= lA || c.sineFlagsPrev[m]);
    if (g.sine[m] && b >= 0) band_sine[b] = 1;
  }
  CurrentEnergies(s, c, lp, table, nbands, 2 * c.t_E[l], 2 * c.t_E[l + 1], g.ECurr);
  for (int32_t m = 0; m < M; ++m) {
    const int32_t b = band[m];
    g.flags[m] = (g.sine[m] ? kSbrSine : 0) | (b >= 0 && band_sine[b] ? kSbrBandSine : 0);
  }
  const DspSbrKernels& k = DspActiveKernels().sbr;
  if (M > 0) k.Gains(g.E, g.Q, g.ECurr, g.flags, noise_free, M, g.G, g.QM, g.SM);
  Limit(s, k, noise_free, g);
  if (lp) GroupGains(s, deg_patched, g);
}

// Low power: each sinusoid leaks into its neighbouring real-valued subbands;
// this cancels the leak (ISO/IEC 14496-3 low-power SBR).  `x` is the slot,
// `sm` the sinusoid levels, sign_minus/sign_plus the real parts of the
// sinusoid phase one step before and after.
void CancelSineLeak(const SBRDecState& s, const float* sm, float phi_minus, float phi_plus,
                    float* x) {
  constexpr float kLeak = 0.00815f;
  const int32_t kx = s.kx, M = s.M;
  auto sigma = [](int32_t n) { return (n & 1) ? -1.0f : 1.0f; };
  for (int32_t k = 0; k < M; ++k) {
    const int32_t i = kx + k;
    if (k == 0) {
      if (kx >= 1) x[kx - 1] = -kLeak * sigma(kx - 1) * sm[0] * phi_plus;
      if (M >= 2) x[i] -= kLeak * sigma(i) * sm[1] * phi_plus;
    } else if (k < M - 1) {
      x[i] -= kLeak * sigma(i) * (phi_minus * sm[k - 1] + phi_plus * sm[k + 1]);
    } else {
      x[i] -= kLeak * sigma(i) * sm[k - 1] * phi_minus;
      if (kx + M < 64) x[kx + M] = -kLeak * sigma(kx + M) * sm[k] * phi_minus;
    }
  }
}

// The gain and noise level history of the smoothing: five rows, oldest
// first, that name buffers of GTemp/QTemp (interleaved pairs: subband m at
// 2m and 2m + 1, as the slot's complex values).  The slots of an envelope
// share its buffer, so moving on a slot moves names, not values.
struct GainHistory {
  SbrChannel& c;
  int32_t row[5];
  explicit GainHistory(SbrChannel& channel) : c(channel) {
    for (int r = 0; r < 5; ++r)
      row[r] = static_cast<int32_t>(static_cast<uint32_t>(c.tempRows[r]) % 6);
  }
  const float* G(int r) const { return c.GTemp[row[r]]; }
  const float* Q(int r) const { return c.QTemp[row[r]]; }
  // An envelope's levels (n floats) become the newest row; after a reset
  // every row.
  void Start(const float* g, const float* q, int32_t n, bool reset) {
    int32_t free = 0;
    while (!reset && (free == row[0] || free == row[1] || free == row[2] || free == row[3])) ++free;
    std::memcpy(c.GTemp[free], g, sizeof(float) * n);
    std::memcpy(c.QTemp[free], q, sizeof(float) * n);
    for (int r = reset ? 0 : 4; r < 5; ++r) row[r] = free;
  }
  // After a slot: the oldest row drops out, the newest stays.
  void Advance() {
    for (int r = 0; r < 4; ++r) row[r] = row[r + 1];
  }
  void Save() {
    for (int r = 0; r < 5; ++r) c.tempRows[r] = row[r];
  }
};

// One slot of the complex high band: x = g x + q noise over the subbands
// kx.. (the noise table index runs on from `noise_start` and wraps at 512).
void AdjustSlot(const DspSbrKernels& k, float* x, const float* gf, const float* qf,
                int32_t noise_start, int32_t M) {
  const int32_t run = std::min(M, 512 - noise_start);
  k.Adjust(x, gf, qf, qf ? kSbrNoiseTable[noise_start] : nullptr, 2 * run);
  if (run < M) {
    k.Adjust(x + 2 * run, gf + 2 * run, qf ? qf + 2 * run : nullptr,
             qf ? kSbrNoiseTable[0] : nullptr, 2 * (M - run));
  }
}

void AdjustEnvelopes(SBRDecState& s, SbrChannel& c, bool lp, const BandMaps& maps,
                     const float* deg_patched) {
  const int32_t kx = s.kx, M = s.M, n = 2 * M;
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
  const DspSbrKernels& kernels = DspActiveKernels().sbr;
  const int32_t lA = TransientEnvelope(c);
  int32_t noise_index = c.indexNoisePrev, sine_index = c.indexSinePrev;
  bool any_slot = false;
  GainHistory history(c);
  EnvelopeGains g;
  // Per envelope: the gains and noise levels as interleaved pairs (noise 0
  // where a sinusoid is), the subbands with a sinusoid.
  alignas(32) float gx[kSbrHighRow], qx[kSbrHighRow], qmasked[kSbrHighRow];
  alignas(32) float gs[kSbrHighRow], qs[kSbrHighRow];
  int32_t sines[64];
  for (int32_t l = 0; l < c.L_E; ++l) {
    const bool noise_free = l == lA || l == c.lAPrev;
    const bool smooth = s.bs_smoothing_mode == 0 && !noise_free && !lp;
    EnvelopeLevels(s, c, l, marks, lA, lp, deg_patched, maps, g);
    int32_t nsines = 0;
    for (int32_t m = 0; m < M; ++m) {
      gx[2 * m] = gx[2 * m + 1] = g.G[m];
      qx[2 * m] = qx[2 * m + 1] = g.QM[m];
      const bool sine = g.SM[m] != 0.0f;
      qmasked[2 * m] = qmasked[2 * m + 1] = sine ? 0.0f : g.QM[m];
      if (sine) sines[nsines++] = m;
    }
    history.Start(gx, qx, n, c.resetHistory != 0);
    c.resetHistory = 0;
    for (int32_t j = 2 * c.t_E[l]; j < 2 * c.t_E[l + 1]; ++j) {
      const int32_t rel = j - 2 * c.t_E[0];
      sine_index = (rel + c.indexSinePrev) & 3;
      const int32_t noise_start = (M * rel + c.indexNoisePrev + 1) & 511;
      if (M > 0) noise_index = (noise_start + M - 1) & 511;
      float* x = c.Xhigh[j + 2];
      if (lp) {
        for (int32_t m = 0; m < M; ++m) {
          const int32_t k = kx + m;
          const float qf = (g.SM[m] != 0.0f || noise_free) ? 0.0f : g.QM[m];
          const float* noise = kSbrNoiseTable[(noise_start + m) & 511];
          x[k] = g.G[m] * x[k] + qf * noise[0] + g.SM[m] * kPhiRe[sine_index];
        }
        CancelSineLeak(s, g.SM, kPhiRe[(rel + c.indexSinePrev - 1) & 3],
                       kPhiRe[(rel + c.indexSinePrev + 1) & 3], x);
      } else if (M > 0) {
        const float* gf = gx;
        const float* qf = noise_free ? nullptr : qmasked;
        if (smooth) {
          const float* grows[5];
          const float* qrows[5];
          for (int row = 0; row < 5; ++row) {
            grows[row] = history.G(row);
            qrows[row] = history.Q(row);
          }
          kernels.Smooth(grows, gs, n);
          kernels.Smooth(qrows, qs, n);
          for (int32_t i = 0; i < nsines; ++i) qs[2 * sines[i]] = qs[2 * sines[i] + 1] = 0.0f;
          gf = gs;
          qf = qs;
        }
        AdjustSlot(kernels, x + 2 * kx, gf, qf, noise_start, M);
        for (int32_t i = 0; i < nsines; ++i) {
          const int32_t m = sines[i], k = kx + m;
          x[2 * k] += g.SM[m] * kPhiRe[sine_index];
          x[2 * k + 1] += g.SM[m] * ((k & 1) ? -kPhiIm[sine_index] : kPhiIm[sine_index]);
        }
      }
      any_slot = true;
      history.Advance();
    }
  }
  history.Save();
  // The next frame continues the sinusoids this frame's last envelope
  // carries: a new one that waits for the transient envelope (l_A) has not
  // started when the frame has none (l_A = L_E).
  const bool started = c.L_E - 1 >= lA;
  // (0/1 flags: bitwise, so the loop runs in vector lanes)
  const int32_t go = started ? 1 : 0;
  for (int32_t m = 0; m < 64; ++m) c.sineFlagsPrev[m] = marks[m] & (go | (c.sineFlagsPrev[m] != 0));
  c.lAPrev = lA == c.L_E ? 0 : -1;
  if (any_slot) {
    c.indexNoisePrev = noise_index;
    c.indexSinePrev = (sine_index + 1) & 3;
  }
}

}  // namespace

namespace {

// Re-initialises the channel's banks when the mode or the output rate
// changed (the low-power banks are real-valued, slots change layout, so the
// slot history is dropped as well).
void SelectBanks(SbrChannel& c, bool lp, int32_t bands) {
  const int32_t mode = lp ? 28 : 18;
  if (SbrQmfAnalysisMode(c.analysis) != mode) {
    SbrQmfAnalysisInit(c.analysis, mode);
    std::memset(c.Xlow, 0, sizeof(c.Xlow));
    std::memset(c.Xhigh, 0, sizeof(c.Xhigh));
  }
  if (SbrQmfSynthesisBands(c.synthesis) != bands || SbrQmfSynthesisMode(c.synthesis) != mode) {
    SbrQmfSynthesisInit(c.synthesis, bands, mode);
  }
}

// Synthesis input while SBR has no valid data: the analysed bands only,
// delayed like the active path.
void Bypass(SbrChannel& c, bool lp, int32_t slots) {
  const size_t values = lp ? 32 : 64;  // floats per Xlow slot
  for (int32_t slot = 0; slot < slots; ++slot) {
    std::memcpy(c.Y[slot], c.Xlow[slot + 2], sizeof(float) * values);
    std::memset(c.Y[slot] + values, 0, sizeof(float) * values);
  }
}

// Synthesis input: the core bands below kx (kxPrev in slots that still
// belong to the previous frame's last envelope), the adjusted high band
// above.  In low power the sinusoid leak below kx is added in.
void AssembleY(const SBRDecState& s, SbrChannel& c, bool lp) {
  const int32_t w = lp ? 1 : 2;  // floats per subband value
  for (int32_t slot = 0; slot < QmfSlots(s); ++slot) {
    const int32_t d = slot < c.overlapSlots ? s.kxPrev : s.kx;
    std::memcpy(c.Y[slot], c.Xlow[slot + 2], sizeof(float) * w * d);
    std::memcpy(c.Y[slot] + w * d, c.Xhigh[slot + 2] + w * d, sizeof(float) * w * (64 - d));
    if (lp && d >= 1) c.Y[slot][d - 1] += c.Xhigh[slot + 2][d - 1];
  }
}

// Complex banks without parametric stereo: the synthesis reads the Xhigh
// rows of the frame's slots themselves, their subbands below the crossover
// filled in from Xlow.  Below kx those rows hold nothing else: the high band
// is generated above kx, and the rows the next frame keeps (past the
// frame's slots) are not filled.
void AssembleInPlace(const SBRDecState& s, SbrChannel& c, const float** y) {
  for (int32_t slot = 0; slot < QmfSlots(s); ++slot) {
    const int32_t d = slot < c.overlapSlots ? s.kxPrev : s.kx;
    std::memcpy(c.Xhigh[slot + 2], c.Xlow[slot + 2], sizeof(float) * 2 * d);
    y[slot] = c.Xhigh[slot + 2];
  }
}

// The high band slots past the frame that its last envelope covered become
// the first slots of the next frame (after the two rows before slot 0,
// which no one reads).
void KeepOverlap(SbrChannel& c, int32_t slots) {
  const int32_t rows = Clamp(c.overlapSlots, 0, kSbrHistory - 2);
  if (rows > 0) std::memcpy(c.Xhigh[2], c.Xhigh[slots + 2], sizeof(c.Xhigh[0]) * rows);
}

// Parametric stereo output of a mono element: the hybrid filters' look-ahead
// (the newest analysis slots of the five lowest bands into the six Y slots
// after the frame's), PS synthesis of this channel's Y into both channels
// while SBR is active (a plain copy otherwise), and the right channel's
// synthesis through the element's second bank.
void ParametricStereo(SBRDecState& s, SbrChannel& c, bool active, int32_t bands, float* ps_right) {
  const int32_t slots = QmfSlots(s);
  for (int32_t slot = slots; slot < slots + kPsLookAhead; ++slot) {
    std::memcpy(c.Y[slot], c.Xlow[slot + 2], sizeof(float) * 2 * kPsSplitBands);
  }
  SbrChannel& r = s.ch[1];
  SelectBanks(r, false, bands);
  if (active && s.ps) {
    float* left[kSbrTimeSlots + kPsLookAhead];
    float* right[kSbrTimeSlots];
    for (int32_t slot = 0; slot < slots + kPsLookAhead; ++slot) left[slot] = c.Y[slot];
    for (int32_t slot = 0; slot < slots; ++slot) right[slot] = r.Y[slot];
    const int32_t top = s.N_high >= 0 && s.N_high <= 64 ? s.f_high[s.N_high] : 64;
    PsSynthesize(*s.ps, left, right, top);
  } else {
    for (int32_t slot = 0; slot < slots; ++slot) {
      std::memcpy(r.Y[slot], c.Y[slot], sizeof(c.Y[0]));
    }
  }
  const float* y[kSbrTimeSlots];
  for (int32_t slot = 0; slot < slots; ++slot) y[slot] = r.Y[slot];
  SbrQmfSynthesizeSlots(r.synthesis, y, ps_right, slots);
}

}  // namespace

void SbrProcess(SBRDecState& s, int32_t channel, float* time, float* ps_right,
                const SbrProcessOptions& o) {
  SbrChannel& c = s.ch[channel];
  // Parametric stereo works on complex subbands: it always takes the
  // complex banks.
  const bool lp = o.sbr_mode == 28 && ps_right == nullptr;
  const int32_t bands = o.downsampled ? 32 : 64;
  SelectBanks(c, lp, bands);
  const bool active = !o.bypass && s.headerCount > 0 && s.errorState == 0 &&
                      (s.elementType == 0 || s.elementType == 1);
  const int32_t slots = QmfSlots(s);
  // The bypass passes every core band: the analysis keeps all 32 (the
  // crossover of a header before an error does not apply).
  float* xlow[kSbrTimeSlots];
  for (int32_t slot = 0; slot < slots; ++slot) xlow[slot] = c.Xlow[kSbrHistory + slot];
  SbrQmfAnalyzeSlots(c.analysis, time, xlow, slots, active ? s.kx : 32);
  const float* y[kSbrTimeSlots];
  for (int32_t slot = 0; slot < slots; ++slot) y[slot] = c.Y[slot];
  if (!active) {
    Bypass(c, lp, slots);
    // No high band carries over into the next active frame.
    std::memset(c.Xhigh, 0, sizeof(c.Xhigh[0]) * kSbrHistory);
    c.overlapSlots = 0;
  } else {
    if (channel == 0) Dequantise(s);
    float deg_patched[64];
    BandMaps maps;
    MapBands(s, maps);
    GenerateHighBand(s, c, lp, maps, deg_patched);
    AdjustEnvelopes(s, c, lp, maps, deg_patched);
    if (lp || ps_right) {
      AssembleY(s, c, lp);
    } else {
      AssembleInPlace(s, c, y);
    }
  }
  if (ps_right) ParametricStereo(s, c, active, bands, ps_right);
  SbrQmfSynthesizeSlots(c.synthesis, y, time, slots);
  if (active) {
    c.overlapSlots = 2 * c.t_E[c.L_E] - slots;
    KeepOverlap(c, slots);
  }
  std::memcpy(c.Xlow[0], c.Xlow[slots], sizeof(c.Xlow[0]) * kSbrHistory);
  const bool last_channel = s.elementType != 1 || channel == 1;
  if (last_channel) {
    s.kxPrev = s.kx;
    s.MPrev = s.M;
    s.reset = 0;
  }
}
