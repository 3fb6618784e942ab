// Main-profile prediction and long-term prediction on synthetic spectra and
// histories: what is predicted from where, what resets, how the history is
// rounded.
#include "aac/prediction.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "tests/aac/ics_test_util.h"

using namespace ics_test;

namespace {

class Predictor {
 public:
  Predictor() {
    SharedBooks();  // primitives initialised
    int32_t size = 0;
    EXPECT_EQ(dspPredictorGetSize_32f(1024, &size), 0);
    memory_.resize(static_cast<size_t>(size) + 64);
    EXPECT_EQ(dspPredictorInit_32f(&state, 1024, memory_.data()), 0);
  }
  DspPredictorState* state = nullptr;

 private:
  std::vector<uint8_t> memory_;
};

std::unique_ptr<ChannelStream> LongStream(int32_t object_type, bool flags) {
  auto s = std::make_unique<ChannelStream>();
  EXPECT_EQ(InitChannelStream(*s, kSf44100, object_type), 0);
  s->window_sequence = ONLY_LONG_SEQUENCE;
  s->num_windows = s->num_window_groups = 1;
  s->window_group_length[0] = 1;
  s->max_sfb = s->bands.num_swb_long;
  s->predictor_data_present = flags;
  for (uint8_t& f : s->prediction_used) f = flags;
  return s;
}

// A slowly varying spectrum the predictors can learn: line k at frame t.
float Line(int k, int t) {
  return 1000.0f * std::sin(0.37f * static_cast<float>(k) + 0.2f * static_cast<float>(t));
}

// Runs `frames` frames without prediction flags so the predictors adapt.
void Train(Predictor& p, int frames) {
  auto s = LongStream(kObjectMain, false);
  std::vector<float> x(1024);
  for (int t = 0; t < frames; ++t) {
    for (int k = 0; k < 1024; ++k) x[k] = Line(k, t);
    ApplyPrediction(p.state, *s, x.data());
  }
}

TEST(MainPrediction, FreshStatePredictsNothing) {
  Predictor p;
  auto s = LongStream(kObjectMain, true);
  std::vector<float> x(1024, 0.0f);
  ApplyPrediction(p.state, *s, x.data());
  for (float v : x) ASSERT_EQ(v, 0.0f);
}

TEST(MainPrediction, LearnedPredictionIsAddedOnlyToFlaggedBands) {
  Predictor p;
  Train(p, 40);
  auto s = LongStream(kObjectMain, true);
  s->prediction_used[3] = 0;
  std::vector<float> x(1024, 0.0f);  // residual zero: the output is the prediction
  ApplyPrediction(p.state, *s, x.data());
  const int32_t* off = s->bands.swb_offset_long;
  const int32_t limit = off[s->bands.pred_sfb_max];
  double err = 0, energy = 0;
  for (int k = 0; k < limit; ++k) {
    const bool flagged = !(k >= off[3] && k < off[4]);
    if (!flagged) {
      ASSERT_EQ(x[k], 0.0f) << k;
      continue;
    }
    err += (x[k] - Line(k, 40)) * (x[k] - Line(k, 40));
    energy += Line(k, 40) * Line(k, 40);
  }
  // A second-order predictor tracks a sinusoid per line closely.
  EXPECT_LT(err, 0.05 * energy);
  for (int k = limit; k < 1024; ++k) ASSERT_EQ(x[k], 0.0f) << "above pred_sfb_max " << k;
}

TEST(MainPrediction, ResetGroupsAndShortWindowsClearPredictors) {
  Predictor p;
  Train(p, 40);
  auto s = LongStream(kObjectMain, false);
  s->predictor_data_present = 1;
  s->predictor_reset = 1;
  s->predictor_reset_group_number = 30;  // lines 29, 59, 89, ...
  std::vector<float> x(1024);
  for (int k = 0; k < 1024; ++k) x[k] = Line(k, 40);
  ApplyPrediction(p.state, *s, x.data());
  auto predict = LongStream(kObjectMain, true);
  std::vector<float> y(1024, 0.0f);
  ApplyPrediction(p.state, *predict, y.data());
  const int limit = predict->bands.swb_offset_long[predict->bands.pred_sfb_max];
  for (int k = 0; k < limit; ++k) {
    if (k % 30 == 29) {
      EXPECT_EQ(y[k], 0.0f) << "reset line " << k;
    } else if (std::fabs(Line(k, 41)) > 100.0f) {
      EXPECT_NE(y[k], 0.0f) << "kept line " << k;
    }
  }
  // An EIGHT_SHORT frame resets every predictor.
  auto shorts = LongStream(kObjectMain, false);
  shorts->window_sequence = EIGHT_SHORT_SEQUENCE;
  ApplyPrediction(p.state, *shorts, x.data());
  std::fill(y.begin(), y.end(), 0.0f);
  ApplyPrediction(p.state, *predict, y.data());
  for (float v : y) ASSERT_EQ(v, 0.0f);
}

TEST(LongTermPrediction, HistoryIsRoundedAndSaturated) {
  std::vector<float> out(1024, 0.0f), overlap(1024, 0.0f);
  const float in[] = {40000.4f, -0.4f, 0.5f, -0.5f, 1.5f, -1.5f, 2.49f, -40000.0f};
  const float expect[] = {32767, 0, 1, -1, 2, -2, 2, -32768};
  for (int i = 0; i < 8; ++i) out[i] = overlap[1016 + i] = in[i];
  std::vector<float> h_out(1024), h_overlap(1024);
  LtpUpdateHistory(out.data(), overlap.data(), h_out.data(), h_overlap.data(), 1024);
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(h_out[i], expect[i]) << in[i];
    EXPECT_EQ(h_overlap[1016 + i], expect[i]) << in[i];
  }
}

class LtpBank {
 public:
  LtpBank() {
    SharedBooks();
    int32_t size = 0;
    EXPECT_EQ(FilterBankGetSize(kFilterBankInverse | kFilterBankForward, kObjectLtp, &size), 0);
    memory_.resize(static_cast<size_t>(size) + 64);
    EXPECT_EQ(
        InitFilterBank(bank, memory_.data(), kFilterBankInverse | kFilterBankForward, kObjectLtp),
        0);
  }
  FilterBank bank{};

 private:
  std::vector<uint8_t> memory_;
};

TEST(LongTermPrediction, LagSelectsTheHistorySpan) {
  const LtpBank fb;
  // Loud old output, silent overlap: lag 0 reaches only the overlap and the
  // zeros past it; lag 1024 reaches the last output; lag 2047 nearly all.
  std::vector<float> old_out(1024), last_out(1024), overlap(1024, 0.0f);
  for (int i = 0; i < 1024; ++i) {
    old_out[i] = 8000.0f * std::sin(0.05f * static_cast<float>(i));
    last_out[i] = 8000.0f * std::sin(0.05f * static_cast<float>(i + 1024));
  }
  const float* history[3] = {old_out.data(), last_out.data(), overlap.data()};
  auto s = LongStream(kObjectLtp, false);
  s->ltp_data_present = 1;
  s->ltp_coef = 3;
  for (int b = 0; b < kAacMaxLtpSfb; ++b) s->ltp_long_used[b] = 1;
  s->ltp_long_used[2] = 0;
  TnsFilterSet no_tns{};
  auto energy = [&](int lag) {
    s->ltp_lag = lag;
    std::vector<float> x(1024, 0.0f);
    ApplyLtp(history, *s, x.data(), 0, fb.bank, no_tns);
    const int32_t* off = s->bands.swb_offset_long;
    for (int k = off[2]; k < off[3]; ++k) EXPECT_EQ(x[k], 0.0f) << "unflagged line " << k;
    for (int k = off[kAacMaxLtpSfb]; k < 1024; ++k) EXPECT_EQ(x[k], 0.0f) << "above LTP bands";
    double e = 0;
    for (float v : x) e += double{v} * v;
    return e;
  };
  EXPECT_EQ(energy(0), 0.0);
  const double mid = energy(1024), far = energy(2047);
  EXPECT_GT(mid, 1e6);
  EXPECT_GT(far, 1e6);
}

}  // namespace
