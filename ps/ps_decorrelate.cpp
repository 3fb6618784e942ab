// Decorrelation (ISO/IEC 14496-3, 8.6.4.5): a fractional-delay all-pass
// chain of three links for the lower bands, a plain delay above, and a
// transient detector per parameter band that attenuates the decorrelated
// signal where the input power drops faster than its peak envelope.
#include <cstring>

#include "ps/ps_decorrelate_vec.h"
#include "ps/ps_internal.h"

namespace {

// The frame's slot count (32, or 30 over 960-sample cores) is a template
// argument so that both keep loops of a known length.

// Transient attenuation of every parameter band and slot: the input power
// per parameter band, then the recurrences of the kernel (rows padded to
// kDspTransientRows with zero power and state).
template <int32_t slots>
void TransientGains(PsSynthesisState& st, const PsLayoutTables& lay, int32_t top_k,
                    float (*gain)[kPsSlots]) {
  static_assert(kPsMaxBands <= kDspTransientRows);
  alignas(32) float power[kDspTransientRows][kPsSlots];
  std::memset(power, 0, sizeof(power));
  for (int32_t k = 0; k < top_k; ++k) {
    float* p = power[lay.k_to_i[k]];
    const float(*x)[2] = st.s[k];
    for (int32_t n = 0; n < slots; ++n) p[n] += x[n][0] * x[n][0] + x[n][1] * x[n][1];
  }
  const int32_t bands = lay.par_bands;
  alignas(32) float state[3][kDspTransientRows] = {};  // peak, smoothed power, peak difference
  std::memcpy(state[0], st.peakDecay, sizeof(float) * bands);
  std::memcpy(state[1], st.powerSmooth, sizeof(float) * bands);
  std::memcpy(state[2], st.peakDiffSmooth, sizeof(float) * bands);
  DspActiveKernels().ps_hybrid.Transient(power, state, bands, slots, gain);
  std::memcpy(st.peakDecay, state[0], sizeof(float) * bands);
  std::memcpy(st.powerSmooth, state[1], sizeof(float) * bands);
  std::memcpy(st.peakDiffSmooth, state[2], sizeof(float) * bands);
}

// Shifts the plain delay line of band k and appends this frame's input.
template <int32_t slots>
void FeedDelay(PsSynthesisState& st, int32_t k) {
  float(*line)[2] = st.delay[k];
  std::memmove(line, line + slots, sizeof(float) * 2 * kPsMaxDelay);
  std::memcpy(line + kPsMaxDelay, st.s[k], sizeof(float) * 2 * slots);
}

// The all-pass bands' parameters for the chain kernel.
void AllPassBand(PsSynthesisState& st, const PsLayoutTables& lay, int32_t k, const float* gain,
                 DspPsAllPassBand& b) {
  const bool wide = lay.par_bands == 34;
  const float* phi = wide ? kPsPhiFract34[k] : kPsPhiFract20[k];
  const float(*qf)[2] = wide ? kPsQFract34[k] : kPsQFract20[k];
  float slope = 1.0f - kPsDecaySlope * static_cast<float>(k - lay.decay_cutoff_k);
  slope = slope < 0.0f ? 0.0f : (slope > 1.0f ? 1.0f : slope);
  b.in = st.delay[k] + kPsMaxDelay - kPsAllpassPreDelay;
  b.out = st.d[k];
  b.history = st.apDelay[k];
  b.gain = gain;
  b.phi[0] = phi[0];
  b.phi[1] = phi[1];
  for (int m = 0; m < kPsAllpassLinks; ++m) {
    b.q[m][0] = qf[m][0];
    b.q[m][1] = qf[m][1];
    b.ag[m] = kPsLinkCoef[m] * slope;
  }
}

template <int32_t slots>
void PlainDelay(PsSynthesisState& st, int32_t k, int32_t delay, const float* gain) {
  const float(*in)[2] = st.delay[k] + kPsMaxDelay - delay;
  float(*out)[2] = st.d[k];
  for (int32_t n = 0; n < slots; ++n) {
    out[n][0] = gain[n] * in[n][0];
    out[n][1] = gain[n] * in[n][1];
  }
}

template <int32_t slots>
void Decorrelate(PsSynthesisState& st, const PsLayoutTables& lay, int32_t top_k) {
  alignas(32) float gain[kDspTransientRows][kPsSlots];
  TransientGains<slots>(st, lay, top_k, gain);
  DspPsAllPassBand bands[kPsMaxAllpassK];
  int32_t chained = 0;
  for (int32_t k = 0; k < top_k; ++k) {
    FeedDelay<slots>(st, k);
    const float* g = gain[lay.k_to_i[k]];
    if (k < lay.allpass_end_k) {
      AllPassBand(st, lay, k, g, bands[chained++]);
    } else {
      PlainDelay<slots>(st, k, k < lay.short_delay_k ? kPsLongDelay : kPsShortDelay, g);
    }
  }
  DspActiveKernels().ps_hybrid.AllPass(bands, chained, slots);
}

}  // namespace

void ps_generic::AllPass(const DspPsAllPassBand* bands, int32_t count, int32_t slots) {
  ps_vec::AllPass<ps_vec::LaneOne>(bands, count, slots);
}

void ps_generic::Transient(const float (*power)[kDspHybridSlots], float (*state)[kDspTransientRows],
                           int32_t bands, int32_t slots, float (*gain)[kDspHybridSlots]) {
  ps_vec::Transient<ps_vec::LaneOne>(power, state, bands, slots, gain);
}

void PsClearDecorrelator(PsSynthesisState& st) {
  std::memset(st.delay, 0, sizeof(st.delay));
  std::memset(st.apDelay, 0, sizeof(st.apDelay));
  st.silentFrom = 0;
  std::memset(st.peakDecay, 0, sizeof(st.peakDecay));
  std::memset(st.powerSmooth, 0, sizeof(st.powerSmooth));
  std::memset(st.peakDiffSmooth, 0, sizeof(st.peakDiffSmooth));
}

void PsDecorrelate(PsSynthesisState& st, const PsLayoutTables& lay, int32_t top_k) {
  // The bands below top_k take this frame's signal into their lines.
  if (st.silentFrom < top_k) st.silentFrom = top_k;
  if (st.slots == kPsSlots960) {
    Decorrelate<kPsSlots960>(st, lay, top_k);
  } else {
    Decorrelate<kPsSlots>(st, lay, top_k);
  }
  // Silent bands above the SBR range: no signal, no history.
  PsClearDelays(st, lay, top_k, lay.k_bands);
  for (int32_t k = top_k; k < lay.k_bands; ++k) std::memset(st.d[k], 0, sizeof(st.d[k]));
}

// Lines from silentFrom up are zero already: in steady state (the same SBR
// range frame after frame) nothing is left to clear.
void PsClearDelays(PsSynthesisState& st, const PsLayoutTables& lay, int32_t from, int32_t to) {
  const int32_t end = to < st.silentFrom ? to : st.silentFrom;
  if (to >= st.silentFrom && from < st.silentFrom) st.silentFrom = from < 0 ? 0 : from;
  for (int32_t k = from; k < end; ++k) {
    std::memset(st.delay[k], 0, sizeof(st.delay[k]));
    if (k < lay.allpass_end_k) std::memset(st.apDelay[k], 0, sizeof(st.apDelay[k]));
  }
}
