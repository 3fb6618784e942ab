#include "aac/prediction.h"

#include <cmath>
#include <cstring>

#include "dsp/dsp_transform.h"

namespace {

constexpr float kLtpGain[8] = {0.570829f, 0.696616f, 0.813004f, 0.911304f,
                               0.984900f, 1.067894f, 1.194601f, 1.369533f};

// The FIR inverse of the TNS synthesis filter over one window's lines.
void TnsAnalysis(const TnsFilterSet& set, int32_t window, float* x) {
  if (!set.present || window >= set.num_windows) return;
  for (int32_t f = 0; f < set.n_filt[window] && f < 4; ++f) {
    const TnsFilter& t = set.filter[window][f];
    if (t.order <= 0 || t.size <= 0) continue;
    float in[1024];
    const int32_t n = t.size > 1024 ? 1024 : t.size;
    float* p = x + t.start;
    for (int32_t i = 0; i < n; ++i) in[i] = p[i * t.step];
    for (int32_t i = 0; i < n; ++i) {
      float acc = in[i];
      const int32_t taps = i < t.order ? i : t.order;
      for (int32_t k = 1; k <= taps; ++k) acc += t.lpc[k] * in[i - k];
      p[i * t.step] = acc;
    }
  }
}

// Windowed forward MDCT of the estimate (2N samples long, 2S short, for
// frames of N lines and short windows of S; F = (N - S) / 2 is the flat
// part beside a short window's slope).
void Analysis(const FilterBank& bank, float* est, int32_t sequence, int32_t shape,
              int32_t shape_prev, float* coef) {
  const float* long_prev = bank.long_window[shape_prev & 1];
  const float* long_cur = bank.long_window[shape & 1];
  const float* short_prev = bank.short_window[shape_prev & 1];
  const float* short_cur = bank.short_window[shape & 1];
  const int32_t n = bank.n_long / 2, sh = bank.n_short / 2, f = (n - sh) / 2;
  if (sequence == EIGHT_SHORT_SEQUENCE) {
    dspMulInPlace_32f(short_prev, est, sh);
    dspMulInPlace_32f(short_cur + sh, est + sh, sh);
    dspMdctFwd_32f(est, coef, static_cast<const DspMdctFwdSpec_32f*>(bank.mdct_fwd_short),
                   bank.work);
    return;
  }
  if (sequence == LONG_STOP_SEQUENCE) {
    dspZero_32f(est, f);
    dspMulInPlace_32f(short_prev, est + f, sh);
  } else {
    dspMulInPlace_32f(long_prev, est, n);
  }
  if (sequence == LONG_START_SEQUENCE) {
    dspMulInPlace_32f(short_cur + sh, est + n + f, sh);
    dspZero_32f(est + n + f + sh, f);
  } else {
    dspMulInPlace_32f(long_cur + n, est + n, n);
  }
  dspMdctFwd_32f(est, coef, static_cast<const DspMdctFwdSpec_32f*>(bank.mdct_fwd_long), bank.work);
}

// g x the history line (three buffers of `frame` samples) from sample
// `start` on, zero outside it.
void Estimate(const float* const history[3], int32_t frame, int32_t start, float g, float* est,
              int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    const int32_t j = start + i;
    est[i] = (j >= 0 && j < 3 * frame) ? g * history[j / frame][j % frame] : 0.0f;
  }
}

}  // namespace

void ApplyPrediction(DspPredictorState* state, const ChannelStream& s, float* spectrum) {
  if (!state) return;
  if (s.window_sequence == EIGHT_SHORT_SEQUENCE) {
    dspPredictorReset_32f(state);
    return;
  }
  const int32_t bands = s.bands.pred_sfb_max;
  if (bands > 0) {
    uint8_t flags[kAacMaxPredSfb] = {};
    if (s.predictor_data_present) std::memcpy(flags, s.prediction_used, sizeof(flags));
    dspPredict_32f(spectrum, s.bands.swb_offset_long, bands, flags, state);
  }
  if (s.predictor_data_present && s.predictor_reset && s.predictor_reset_group_number >= 1 &&
      s.predictor_reset_group_number <= 30) {
    dspPredictorResetGroup_32f(30, s.predictor_reset_group_number - 1, state);
  }
}

void ApplyLtp(const float* const history[3], const ChannelStream& s, float* spectrum,
              int32_t window_shape_prev, const FilterBank& bank, const TnsFilterSet& tns) {
  if (!s.ltp_data_present || !bank.mdct_fwd_long) return;
  const float g = kLtpGain[s.ltp_coef & 7];
  // Frame and short window lengths: 1024 and 128, or 960 and 120.
  const int32_t n = bank.n_long / 2, sh = bank.n_short / 2;
  alignas(32) float est[2048];
  alignas(32) float coef[1024];
  if (s.window_sequence != EIGHT_SHORT_SEQUENCE) {
    Estimate(history, n, 2 * n - s.ltp_lag, g, est, 2 * n);
    Analysis(bank, est, s.window_sequence, s.window_shape, window_shape_prev, coef);
    TnsAnalysis(tns, 0, coef);
    const int32_t bands = s.max_sfb < kAacMaxLtpSfb ? s.max_sfb : kAacMaxLtpSfb;
    for (int32_t b = 0; b < bands; ++b) {
      if (!s.ltp_long_used[b]) continue;
      for (int32_t k = s.bands.swb_offset_long[b]; k < s.bands.swb_offset_long[b + 1]; ++k) {
        spectrum[k] += coef[k];
      }
    }
    return;
  }
  const int32_t bands = s.max_sfb < 8 ? s.max_sfb : 8;
  for (int32_t w = 0; w < kAacMaxWindows; ++w) {
    if (!s.ltp_short_used[w]) continue;
    // The last 2S samples of the line, moved back by the lag and by the
    // window's lag offset (ltp_short_lag - 8).
    Estimate(history, n, 3 * n - 2 * sh + 8 - s.ltp_lag - s.ltp_short_lag[w], g, est, 2 * sh);
    Analysis(bank, est, EIGHT_SHORT_SEQUENCE, s.window_shape, window_shape_prev, coef);
    // TNS of short windows works on window w's lines.
    float window[1024] = {};
    std::memcpy(window + sh * w, coef, sizeof(float) * sh);
    TnsAnalysis(tns, w, window + sh * w);
    for (int32_t b = 0; b < bands; ++b) {
      for (int32_t k = s.bands.swb_offset_short[b]; k < s.bands.swb_offset_short[b + 1]; ++k) {
        spectrum[sh * w + k] += window[sh * w + k];
      }
    }
  }
}

void LtpUpdateHistory(const float* output, const float* overlap, float* newest_output,
                      float* newest_overlap, int32_t frame) {
  auto round16 = [](float v) {
    const float r = v > 0.0f ? std::trunc(v + 0.5f) : std::trunc(v - 0.5f);
    return r > 32767.0f ? 32767.0f : (r < -32768.0f ? -32768.0f : r);
  };
  for (int32_t i = 0; i < frame; ++i) {
    newest_output[i] = round16(output[i]);
    newest_overlap[i] = round16(overlap[i]);
  }
}
