// ALS channel coupling (ISO/IEC 14496-3, 11.6.5): joint-stereo difference
// signals and multichannel correlation coding (MCC).
#include "als/als_internal.h"

namespace {

using UMC::BitReader;

uint32_t Rd(BitReader& r, int n) {
  return UMC::BitReaderRead(r, n);
}

constexpr int32_t kMccWeights[32] = {204, 192, 179,  166,  153,  140,  128,  115,  102,  89,  76,
                                     64,  51,  38,   25,   12,   0,    -12,  -25,  -38,  -51, -64,
                                     -76, -89, -102, -115, -128, -140, -153, -166, -179, -192};

// Weight for a coded index; false when the index lies outside the table.
bool MccWeight(int32_t index, int32_t* w) {
  if (index < 0 || index >= 32) return false;
  *w = kMccWeights[index];
  return true;
}

AlsMccStage* Stages(AlsState& s, int32_t ch) {
  return s.mcc + int64_t{ch} * kAlsMaxMccStages;
}

}  // namespace

// Modulo 2^32, as the encoder forms the difference: a 32-bit pair whose
// difference does not fit in 32 bits still decodes exactly.
void AlsJointCombine(int32_t* xa, int32_t* xb, int32_t* d, int32_t n, int32_t js_a, int32_t js_b) {
  auto u = [](int32_t v) { return static_cast<uint32_t>(v); };
  if (js_a) {
    for (int32_t i = 0; i < n; ++i) xa[i] = static_cast<int32_t>(u(xb[i]) - u(d[i]));
  } else if (js_b) {
    for (int32_t i = 0; i < n; ++i) xb[i] = static_cast<int32_t>(u(xa[i]) + u(d[i]));
  } else {
    for (int32_t i = 0; i < n; ++i) d[i] = static_cast<int32_t>(u(xb[i]) - u(xa[i]));
  }
}

int AlsReadMccParameters(AlsState& s, BitReader& r, int32_t ch) {
  AlsMccStage* st = Stages(s, ch);
  int32_t k = 0;
  bool ok = true;
  for (; k < kAlsMaxMccStages; ++k) {
    if (Rd(r, 1)) break;  // end flag
    AlsMccStage& m = st[k];
    m.present = 1;
    m.master = static_cast<int32_t>(Rd(r, s.cfg.chan_pos_bits));
    m.time_diff = 0;
    m.lag = 0;
    if (m.master >= s.cfg.channels) ok = false;
    if (m.master == ch) continue;
    m.time_diff = static_cast<int32_t>(Rd(r, 1));
    ok &= MccWeight(16 + AlsReadRice(r, 1), &m.w[0]);
    ok &= MccWeight(14 + AlsReadRice(r, 2), &m.w[1]);
    ok &= MccWeight(16 + AlsReadRice(r, 1), &m.w[2]);
    if (m.time_diff) {
      for (int32_t j = 3; j < 6; ++j) ok &= MccWeight(16 + AlsReadRice(r, 1), &m.w[j]);
      const int32_t sign = static_cast<int32_t>(Rd(r, 1));
      const int32_t lag = static_cast<int32_t>(Rd(r, s.mcc_lag_bits)) + 3;
      m.lag = sign ? -lag : lag;
    }
  }
  for (; k < kAlsMaxMccStages; ++k) st[k].present = 0;
  UMC::BitReaderByteAlign(r);
  return ok ? 0 : -1;
}

void AlsMccCorrect(int32_t* e, const int32_t* m, const AlsMccStage& st, int32_t n) {
  auto add = [](int32_t v, int64_t sum) {
    return static_cast<int32_t>(static_cast<uint32_t>(v) + static_cast<uint32_t>(sum >> 7));
  };
  if (!st.time_diff) {
    for (int32_t i = 1; i < n - 1; ++i) {
      const int64_t sum =
          int64_t{st.w[0]} * m[i - 1] + int64_t{st.w[1]} * m[i] + int64_t{st.w[2]} * m[i + 1] + 64;
      e[i] = add(e[i], sum);
    }
    return;
  }
  // The lagged taps m[i + g - 1 .. i + g + 1] stay inside 0..n-1.
  const int32_t g = st.lag;
  const int32_t start = 1 > 1 - g ? 1 : 1 - g;
  const int32_t stop = n - 1 - (g > 0 ? g : 0);
  for (int32_t i = start; i < stop; ++i) {
    const int64_t sum = int64_t{st.w[0]} * m[i - 1] + int64_t{st.w[1]} * m[i] +
                        int64_t{st.w[2]} * m[i + 1] + int64_t{st.w[3]} * m[i + g - 1] +
                        int64_t{st.w[4]} * m[i + g] + int64_t{st.w[5]} * m[i + g + 1] + 64;
    e[i] = add(e[i], sum);
  }
}

void AlsMccReconstruct(AlsState& s, int32_t n) {
  const int32_t channels = s.cfg.channels;
  int32_t stages = 0;
  for (int32_t ch = 0; ch < channels; ++ch) {
    AlsBlock& b = s.blocks[ch];
    if (b.type == 0) {
      const int32_t v = b.const_block ? b.const_value : 0;
      for (int32_t i = 0; i < n; ++i) b.residual[i] = v;
    }
    const AlsMccStage* st = Stages(s, ch);
    for (int32_t k = 0; k < kAlsMaxMccStages; ++k) {
      if (st[k].present && k + 1 > stages) stages = k + 1;
    }
  }
  // Stages are undone last to first; within a stage a channel is corrected
  // once its master is final, so chains of masters resolve in passes.
  for (int32_t stage = stages - 1; stage >= 0; --stage) {
    for (int32_t ch = 0; ch < channels; ++ch) s.blocks[ch].mcc_closed = 0;
    for (int32_t pass = 0; pass < channels; ++pass) {
      bool any_open = false;
      for (int32_t ch = 0; ch < channels; ++ch) {
        AlsBlock& b = s.blocks[ch];
        if (b.mcc_closed) continue;
        const AlsMccStage& st = Stages(s, ch)[stage];
        if (!st.present || st.master == ch || st.master >= channels) {
          b.mcc_closed = 1;
        } else if (s.blocks[st.master].mcc_closed) {
          AlsMccCorrect(b.residual, s.blocks[st.master].residual, st, n);
          b.mcc_closed = 1;
        } else {
          any_open = true;
        }
      }
      if (!any_open) break;
    }
  }
}
