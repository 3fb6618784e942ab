// Parametric stereo synthesis of one frame: layout bookkeeping, hybrid
// analysis, decorrelation, mixing and hybrid synthesis of both channels.
#include <cstddef>
#include <cstring>

#include "ps/ps_internal.h"

namespace {

// The k bands that can carry signal below QMF band `top`.
int32_t TopK(const PsLayoutTables& lay, int32_t top) {
  if (top <= lay.split_qmf) return lay.hybrid_k;
  const int32_t k = top + lay.qmf_offset;
  return k < lay.k_bands ? k : lay.k_bands;
}

// A new layout clears the decorrelator (its bands mean something else now),
// carries the previous matrices over and restarts the phase smoothing.
void SwitchLayout(PsSynthesisState& st, int32_t layout) {
  if (layout == st.layoutPrev) return;
  PsClearDecorrelator(st);
  PsMapMatrices(st.hPrev, st.layoutPrev, layout);
  std::memset(st.ipdHistory, 0, sizeof(st.ipdHistory));
  std::memset(st.opdHistory, 0, sizeof(st.opdHistory));
  st.layoutPrev = layout;
}

// Both channels the mono signal.  The hybrid history takes the frame's last
// six slots, as the analysis would have kept them (slots..slots+5 are the
// next frame's look-ahead), so the first frame with parameters filters
// continuous input.
void CopyMono(PsSynthesisState& st, float* const* left, float* const* right, int32_t top) {
  const int32_t first = st.slots - kPsLookAhead;
  for (int32_t b = 0; b < kPsSplitBands; ++b) {
    for (int32_t n = 0; n < kPsLookAhead; ++n) {
      st.hybridHistory[b][n][0] = left[first + n][2 * b];
      st.hybridHistory[b][n][1] = left[first + n][2 * b + 1];
    }
  }
  for (int32_t n = 0; n < st.slots; ++n) {
    std::memset(left[n] + 2 * top, 0, sizeof(float) * 2 * static_cast<size_t>(64 - top));
    std::memcpy(right[n], left[n], sizeof(float) * 128);
  }
}

}  // namespace

void PsReset(PSDecState& ps) {
  static_assert(offsetof(PSDecState, huffman) + sizeof(PsHuffman) == sizeof(PSDecState));
  const int32_t slots = ps.num_slots == kPsSlots960 ? kPsSlots960 : kPsSlots;
  std::memset(&ps, 0, offsetof(PSDecState, huffman));
  ps.num_slots = slots;
  ps.numBandsLayout = kPsLayout20;
  ps.num_env = 1;
  ps.border_position[1] = slots;
  ps.synthesis.layoutPrev = kPsLayout20;
}

void PsSetFrameLength(PSDecState& ps, int32_t core_frame_length) {
  const int32_t slots = core_frame_length == 960 ? kPsSlots960 : kPsSlots;
  if (slots == ps.num_slots) return;
  ps.num_slots = slots;
  PsReset(ps);
}

void PsSynthesize(PSDecState& ps, float* const* left, float* const* right, int32_t top_band) {
  PsSynthesisState& st = ps.synthesis;
  st.slots = ps.num_slots == kPsSlots960 ? kPsSlots960 : kPsSlots;
  const int32_t now = top_band < 0 ? 0 : (top_band > 64 ? 64 : top_band);
  // After a reset that lowers the SBR range, the first slots of the frame
  // still carry the previous frame's high band up to the old top: those
  // bands are processed and kept in this frame, not cut off.
  const int32_t top = now > st.topPrev ? now : st.topPrev;
  st.topPrev = now;
  if (!ps.started) {
    CopyMono(st, left, right, top);
    return;
  }
  if (ps.fresh) SwitchLayout(st, ps.numBandsLayout);
  const PsLayoutTables& lay = kPsLayout[PsLayoutIndex(st.layoutPrev)];
  const int32_t top_k = TopK(lay, top);

  // Bands above the current range start from silent history, as they
  // always do; only the old high band of the first slots passes them.
  PsClearDelays(st, lay, TopK(lay, now), top_k);
  PsHybridAnalysis(st, lay, left);
  PsDecorrelate(st, lay, top_k);

  PsMatrix target[kPsMaxEnvelopes][kPsMaxBands];
  if (ps.fresh) {
    PsComputeMatrices(ps, st, lay, target);
    PsMix(st, lay, top_k, ps.num_env, ps.border_position, target, ps.enable_ipdopd != 0);
  } else {
    // No new parameters this frame: the last matrices hold.
    const int32_t whole_frame[2] = {0, st.slots};
    std::memcpy(target[0], st.hPrev, sizeof(target[0]));
    bool phase = false;
    for (const PsMatrix& m : st.hPrev) {
      for (float v : m.im) phase = phase || v != 0.0f;
    }
    PsMix(st, lay, top_k, 1, whole_frame, target, phase);
  }
  ps.fresh = 0;

  PsHybridSynthesis(st.s, lay, left, top, st.slots);
  PsHybridSynthesis(st.d, lay, right, top, st.slots);
}
