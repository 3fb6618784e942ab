// ALS reconstruction (ISO/IEC 14496-3, 11.6.4): constant blocks, LSB shift,
// long-term prediction, parcor to predictor conversion, short-term
// synthesis and progressive prediction in random-access blocks.
#include <algorithm>

#include "als/als_internal.h"
#include "als/als_predict_impl.h"
#include "als/als_tables.h"
#include "dsp/dsp_kernels.h"

namespace {

// Extends the predictor cof[0..m-1] to order m + 1 with parcor value par.
void ExtendPredictor(int32_t* cof, int32_t m, int32_t par) {
  for (int32_t i = 0; i < (m + 1) / 2; ++i) {
    const int64_t a = cof[i], b = cof[m - 1 - i];
    if (i == m - 1 - i) {
      cof[i] = static_cast<int32_t>(a + ((par * a + (1 << 19)) >> 20));
    } else {
      cof[m - 1 - i] = static_cast<int32_t>(b + ((par * a + (1 << 19)) >> 20));
      cof[i] = static_cast<int32_t>(a + ((par * b + (1 << 19)) >> 20));
    }
  }
  cof[m] = par;
}

// parcor_scaled_values[q + 64] = 32 (2 (q + 64) + 1)^2 - 2^20.  Encoders
// write values outside -64..63 for degenerate (very short or constant)
// blocks; the same formula continues the table there.
int32_t ScaledParcor(int32_t q) {
  if (q >= -64 && q < 64) return kAlsParcorScaled[q + 64];
  const int64_t i = 2 * (std::clamp(int64_t{q}, int64_t{-1} << 26, int64_t{1} << 26) + 64) + 1;
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(32 * i * i - (1 << 20))));
}

void ParcorValues(const int32_t* q, int32_t order, int32_t* par) {
  for (int32_t j = 0; j < order; ++j) {
    if (j == 0) {
      par[0] = ScaledParcor(q[0]);
    } else if (j == 1) {
      par[1] = static_cast<int32_t>(0u - static_cast<uint32_t>(ScaledParcor(q[1])));
    } else {
      par[j] = static_cast<int32_t>(static_cast<uint32_t>(q[j]) * (1u << 14) + (1u << 13));
    }
  }
}

// One sample of progressive prediction: x[n] from the order-m predictor.
void SynthesiseOne(const int32_t* cof, int32_t m, const int32_t* e, int32_t* x, int32_t n) {
  uint64_t sum = 1u << 19;
  for (int32_t k = 0; k < m; ++k) sum += static_cast<uint64_t>(int64_t{cof[k]} * x[n - 1 - k]);
  x[n] = static_cast<int32_t>(static_cast<uint32_t>(e[n]) -
                              static_cast<uint32_t>(static_cast<int64_t>(sum) >> 20));
}

// x[from..n) with the full order-K predictor (coefficients reversed for the
// filter).
void SynthesiseRest(AlsState& s, const int32_t* cof, int32_t K, const int32_t* e, int32_t* x,
                    int32_t from, int32_t n) {
  for (int32_t j = 0; j < K; ++j) s.rcof[j] = cof[K - 1 - j];
  if (n > from) AlsPredictBlock(s.rcof, K, e + from, x + from, n - from);
}

}  // namespace

void als_generic::PredictBlock(const int32_t* rcof, int32_t order, const int32_t* e, int32_t* x,
                               int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    const int32_t* xp = x + i - order;
    uint64_t sum = 1u << 19;
    for (int32_t j = 0; j < order; ++j) sum += static_cast<uint64_t>(int64_t{rcof[j]} * xp[j]);
    x[i] = static_cast<int32_t>(static_cast<uint32_t>(e[i]) -
                                static_cast<uint32_t>(static_cast<int64_t>(sum) >> 20));
  }
}

void AlsPredictBlock(const int32_t* rcof, int32_t order, const int32_t* e, int32_t* x, int32_t n) {
  DspActiveKernels().als.PredictBlock(rcof, order, e, x, n);
}

void AlsApplyLtp(const AlsState& s, AlsBlock& b) {
  (void)s;
  const int32_t L = b.lag + (b.order + 1 > 4 ? b.order + 1 : 4);
  int32_t* e = b.residual;  // e[-L - 2 ..] lies in the zero lead
  for (int32_t i = 0; i < b.length; ++i) {
    const int64_t sum = int64_t{b.gain[0]} * e[i - L - 2] + int64_t{b.gain[1]} * e[i - L - 1] +
                        int64_t{b.gain[2]} * e[i - L] + int64_t{b.gain[3]} * e[i - L + 1] +
                        int64_t{b.gain[4]} * e[i - L + 2] + 64;
    e[i] = static_cast<int32_t>(static_cast<uint32_t>(e[i]) + static_cast<uint32_t>(sum >> 7));
  }
}

void AlsReconstructBlock(AlsState& s, AlsBlock& b) {
  int32_t* x = b.out;
  const int32_t n = b.length;
  if (b.type == 0) {
    const int32_t v = b.const_block ? b.const_value : 0;
    for (int32_t i = 0; i < n; ++i) x[i] = v;
    return;
  }
  const int32_t K = b.order;
  if (b.shift > 0) {
    for (int32_t k = 1; k <= K; ++k) {
      s.save[k - 1] = x[-k];
      x[-k] >>= b.shift;
    }
  }
  if (b.ltp) AlsApplyLtp(s, b);
  int32_t* cof = s.cof;
  int32_t* par = s.par;
  ParcorValues(b.quant, K, par);
  if (b.ra_block) {
    // Progressive prediction: sample i uses order i, then the order grows.
    const int32_t p = K < n ? K : n;
    for (int32_t i = 0; i < p; ++i) {
      SynthesiseOne(cof, i, b.residual, x, i);
      ExtendPredictor(cof, i, par[i]);
    }
    if (p == K) SynthesiseRest(s, cof, K, b.residual, x, K, n);
  } else {
    for (int32_t m = 0; m < K; ++m) ExtendPredictor(cof, m, par[m]);
    SynthesiseRest(s, cof, K, b.residual, x, 0, n);
  }
  if (b.shift > 0) {
    for (int32_t k = 1; k <= K; ++k) x[-k] = s.save[k - 1];
    for (int32_t i = 0; i < n; ++i)
      x[i] = static_cast<int32_t>(static_cast<uint32_t>(x[i]) << b.shift);
  }
}
