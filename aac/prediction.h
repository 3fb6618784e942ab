// AAC Main-profile backward-adaptive prediction (ISO/IEC 14496-3, 4.6.7)
// and long-term prediction (4.6.6).
#pragma once

#include <cstdint>

#include "aac/channel_stream.h"
#include "dsp/dsp_vector.h"

// Prediction of one long-window spectrum: every predictor below
// pred_sfb_max runs, flagged bands get the prediction added; short windows
// reset all predictors; a reset group resets every 30th line.
void ApplyPrediction(DspPredictorState* state, const ChannelStream& s, float* spectrum);

// Long-term prediction of one channel from its history line (three buffers
// of a frame's samples, 1024 or 960 as the filter bank's transforms: the
// output two frames ago, the last output, the last overlap), added to the
// flagged bands of the spectrum (after TNS preparation, before TNS
// filtering).
void ApplyLtp(const float* const history[3], const ChannelStream& s, float* spectrum,
              int32_t window_shape_prev, const FilterBank& bank, const TnsFilterSet& tns);

// After synthesis: the frame's output and new overlap (`frame` samples
// each), rounded to 16-bit values, become the history buffers.
void LtpUpdateHistory(const float* output, const float* overlap, float* newest_output,
                      float* newest_overlap, int32_t frame);
