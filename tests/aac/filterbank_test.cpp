// Synthesis filter bank: windows, silence, and perfect reconstruction of a
// signal analysed with a direct forward MDCT over every window-sequence
// transition and window-shape change.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "aac/channel_stream.h"
#include "dsp/dsp_core.h"

namespace {

class FilterBankTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dspStaticInit();
    int32_t size = 0;
    ASSERT_EQ(FilterBankGetSize(kFilterBankInverse, 2, &size), 0);
    ASSERT_GT(size, 0);
    memory_.assign(static_cast<size_t>(size), 0xA5);
    bank_ = std::make_unique<FilterBank>();
    ASSERT_EQ(InitFilterBank(*bank_, memory_.data(), kFilterBankInverse, 2), 0);
  }
  std::vector<uint8_t> memory_;
  std::unique_ptr<FilterBank> bank_;
};

// X[k] = 2 sum x[n] cos(2 pi / N (n + N/4 + 1/2)(k + 1/2)), in double.
std::vector<double> ForwardMdct(const std::vector<double>& x) {
  const size_t n = x.size();
  std::vector<double> out(n / 2);
  for (size_t k = 0; k < n / 2; ++k) {
    double acc = 0.0;
    for (size_t i = 0; i < n; ++i) {
      acc += x[i] * std::cos(2.0 * M_PI / n * (i + n / 4.0 + 0.5) * (k + 0.5));
    }
    out[k] = 2.0 * acc;
  }
  return out;
}

// Frame lengths: `len` lines (1024 or 960), short windows of len / 8, the
// flat parts of LONG_START/STOP (448 or 420 samples).
struct Lengths {
  int len, s, flat;
};
Lengths LengthsOf(int len) {
  return {len, len / 8, (len - len / 8) / 2};
}

// The encoder-side window of a long frame: left half of shape `prev`,
// right half of shape `cur`, with the transition shapes of LONG_START/STOP.
std::vector<double> LongWindow(const FilterBank& bank, int seq, int prev, int cur, Lengths l) {
  std::vector<double> w(2 * l.len, 0.0);
  const float* lp = bank.long_window[prev];
  const float* lc = bank.long_window[cur];
  const float* sp = bank.short_window[prev];
  const float* sc = bank.short_window[cur];
  const int f = l.flat, s = l.s;
  for (int n = 0; n < l.len; ++n) {
    if (seq == LONG_STOP_SEQUENCE) {
      w[n] = n < f ? 0.0 : (n < f + s ? sp[n - f] : 1.0);
    } else {
      w[n] = lp[n];
    }
    if (seq == LONG_START_SEQUENCE) {
      w[l.len + n] = n < f ? 1.0 : (n < f + s ? sc[s + n - f] : 0.0);
    } else {
      w[l.len + n] = lc[l.len + n];
    }
  }
  return w;
}

// Spectrum of frame fr covering input samples len fr .. len (fr + 2).
std::vector<float> Analyse(const FilterBank& bank, const std::vector<double>& signal, int fr,
                           int seq, int prev, int cur, Lengths l) {
  const int base = l.len * fr;
  auto at = [&](int i) { return i >= 0 && i < static_cast<int>(signal.size()) ? signal[i] : 0.0; };
  std::vector<float> spec(l.len);
  if (seq != EIGHT_SHORT_SEQUENCE) {
    const std::vector<double> w = LongWindow(bank, seq, prev, cur, l);
    std::vector<double> x(2 * l.len);
    for (int n = 0; n < 2 * l.len; ++n) x[n] = at(base + n) * w[n];
    const std::vector<double> X = ForwardMdct(x);
    for (int k = 0; k < l.len; ++k) spec[k] = static_cast<float>(X[k]);
    return spec;
  }
  for (int win = 0; win < 8; ++win) {
    std::vector<double> x(2 * l.s);
    for (int n = 0; n < 2 * l.s; ++n) {
      const double wl =
          n < l.s ? bank.short_window[win == 0 ? prev : cur][n] : bank.short_window[cur][n];
      x[n] = at(base + l.flat + l.s * win + n) * wl;
    }
    const std::vector<double> X = ForwardMdct(x);
    for (int k = 0; k < l.s; ++k) spec[l.s * win + k] = static_cast<float>(X[k]);
  }
  return spec;
}

TEST_F(FilterBankTest, WindowsArePowerComplementaryAndSymmetric) {
  for (int shape = 0; shape < 2; ++shape) {
    const float* lw = bank_->long_window[shape];
    for (int n = 0; n < 1024; ++n) {
      EXPECT_NEAR(lw[n] * lw[n] + lw[n + 1024] * lw[n + 1024], 1.0, 1e-6);
      EXPECT_EQ(lw[n], lw[2047 - n]);
    }
    const float* sw = bank_->short_window[shape];
    for (int n = 0; n < 128; ++n) {
      EXPECT_NEAR(sw[n] * sw[n] + sw[n + 128] * sw[n + 128], 1.0, 1e-6);
      EXPECT_EQ(sw[n], sw[255 - n]);
    }
  }
  EXPECT_NEAR(bank_->long_window[0][0], std::sin(M_PI / 4096), 1e-9);
  EXPECT_NEAR(bank_->short_window[0][77], std::sin(77.5 * M_PI / 256), 1e-7);
  // KBD windows rise more slowly at the edges than sine windows.
  EXPECT_LT(bank_->long_window[1][10], bank_->long_window[0][10]);
  EXPECT_LT(bank_->short_window[1][5], bank_->short_window[0][5]);
}

TEST_F(FilterBankTest, ZeroSpectrumPassesTheOverlapThrough) {
  std::vector<float> spec(1024, 0.0f), overlap(1024), out(1024);
  for (int seq = 0; seq < 4; ++seq) {
    for (int i = 0; i < 1024; ++i) overlap[i] = static_cast<float>(i) - 300.0f;
    const std::vector<float> before = overlap;
    ASSERT_EQ(SynthesisFilterBank(*bank_, spec.data(), overlap.data(), seq, 1, 0, out.data(),
                                  overlap.data()),
              0);
    for (int i = 0; i < 1024; ++i) {
      ASSERT_EQ(out[i], before[i]) << seq;
      ASSERT_EQ(overlap[i], 0.0f) << seq;
    }
  }
  EXPECT_EQ(
      SynthesisFilterBank(*bank_, spec.data(), overlap.data(), 4, 0, 0, out.data(), overlap.data()),
      -1);
  // One line, the last one, is enough to make the frame a transform.
  spec[1023] = 1.0f;
  for (int seq = 0; seq < 4; ++seq) {
    std::fill(overlap.begin(), overlap.end(), 0.0f);
    ASSERT_EQ(SynthesisFilterBank(*bank_, spec.data(), overlap.data(), seq, 0, 0, out.data(),
                                  overlap.data()),
              0);
    // (The last short window lies wholly in the next frame.)
    if (seq != EIGHT_SHORT_SEQUENCE) {
      EXPECT_TRUE(std::any_of(out.begin(), out.end(), [](float v) { return v != 0.0f; })) << seq;
    }
    EXPECT_TRUE(std::any_of(overlap.begin(), overlap.end(), [](float v) { return v != 0.0f; }))
        << seq;
  }
}

TEST_F(FilterBankTest, StartThenShortLeavesTheOverlapTailEmpty) {
  std::vector<float> spec(1024), overlap(1024, 0.0f), out(1024);
  for (int k = 0; k < 1024; ++k) spec[k] = std::sin(0.37 * k) * 1000.0f;
  ASSERT_EQ(SynthesisFilterBank(*bank_, spec.data(), overlap.data(), LONG_START_SEQUENCE, 0, 0,
                                out.data(), overlap.data()),
            0);
  for (int i = 576; i < 1024; ++i) ASSERT_EQ(overlap[i], 0.0f);
  ASSERT_EQ(SynthesisFilterBank(*bank_, spec.data(), overlap.data(), EIGHT_SHORT_SEQUENCE, 0, 0,
                                out.data(), overlap.data()),
            0);
  for (int i = 576; i < 1024; ++i) ASSERT_EQ(overlap[i], 0.0f);
}

// Frames of (sequence, shape); each frame's left half uses the previous shape.
struct Frame {
  int seq;
  int shape;
};

void ExpectReconstruction(const FilterBank& bank, const std::vector<Frame>& frames,
                          int len = 1024) {
  const Lengths l = LengthsOf(len);
  const int count = static_cast<int>(frames.size());
  std::vector<double> signal(len * count);
  for (size_t i = 0; i < signal.size(); ++i) {
    signal[i] = 12000.0 * std::sin(0.0123 * i) + 3000.0 * std::sin(0.71 * i + 1.0);
  }
  std::vector<float> overlap(len, 0.0f), out(len);
  int prev_shape = frames[0].shape;
  for (int f = 0; f < count; ++f) {
    const std::vector<float> spec =
        Analyse(bank, signal, f, frames[f].seq, prev_shape, frames[f].shape, l);
    ASSERT_EQ(SynthesisFilterBank(bank, spec.data(), overlap.data(), frames[f].seq, frames[f].shape,
                                  prev_shape, out.data(), overlap.data()),
              0);
    prev_shape = frames[f].shape;
    if (f == 0) continue;  // the first output half has no predecessor
    // Output of frame f is input samples len f .. len (f + 1).
    double worst = 0.0;
    for (int n = 0; n < len; ++n) {
      worst = std::max(worst, std::abs(out[n] - signal[len * f + n]));
    }
    EXPECT_LT(worst, 0.05) << "frame " << f << " seq " << frames[f].seq << " length " << len;
  }
}

const std::vector<Frame> kShapeChanges = {{ONLY_LONG_SEQUENCE, 1},   {ONLY_LONG_SEQUENCE, 0},
                                          {ONLY_LONG_SEQUENCE, 1},   {LONG_START_SEQUENCE, 1},
                                          {EIGHT_SHORT_SEQUENCE, 0}, {EIGHT_SHORT_SEQUENCE, 1},
                                          {LONG_STOP_SEQUENCE, 0},   {LONG_START_SEQUENCE, 1},
                                          {LONG_STOP_SEQUENCE, 1},   {ONLY_LONG_SEQUENCE, 0}};

TEST_F(FilterBankTest, PerfectReconstructionAcrossSequences) {
  ExpectReconstruction(*bank_, {{ONLY_LONG_SEQUENCE, 0},
                                {ONLY_LONG_SEQUENCE, 0},
                                {LONG_START_SEQUENCE, 0},
                                {EIGHT_SHORT_SEQUENCE, 0},
                                {EIGHT_SHORT_SEQUENCE, 0},
                                {LONG_STOP_SEQUENCE, 0},
                                {ONLY_LONG_SEQUENCE, 0}});
}

TEST_F(FilterBankTest, PerfectReconstructionAcrossShapeChanges) {
  ExpectReconstruction(*bank_, kShapeChanges);
}

// 960-line frames: other transform lengths (mixed radix), short-window
// positions and transition halves.
TEST(FilterBank960, PerfectReconstructionAcrossShapeChanges) {
  dspStaticInit();
  int32_t size = 0;
  ASSERT_EQ(FilterBankGetSize(kFilterBankInverse, 2, &size), 0);
  std::vector<uint8_t> memory(static_cast<size_t>(size), 0xA5);
  auto bank = std::make_unique<FilterBank>();
  ASSERT_EQ(InitFilterBank(*bank, memory.data(), kFilterBankInverse, 2, 960), 0);
  ExpectReconstruction(*bank, kShapeChanges, 960);
}

}  // namespace
