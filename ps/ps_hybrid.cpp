// Hybrid analysis and synthesis filter banks of parametric stereo
// (ISO/IEC 14496-3, 8.6.4.3): the lowest QMF bands are split into
// sub-subbands by 13-tap filters (complex 4/8/12 bands, real 2 bands), the
// other bands pass unchanged; synthesis sums the sub-subbands back.  The
// filters use six look-ahead slots, so the hybrid bands stay aligned with
// the unsplit ones (no extra delay).
#include <cstring>

#include "dsp/dsp_kernels.h"
#include "ps/ps_internal.h"

namespace ps_generic {

void HybridComplex(const float (*in)[2], const float (*coef)[6][2], float centre, int32_t bands,
                   float (*out)[kPsSlots][2], int32_t slots) {
  for (int32_t q = 0; q < bands; ++q) {
    for (int32_t n = 0; n < slots; ++n) {
      const float(*w)[2] = in + n;
      float re = centre * w[6][0];
      float im = centre * w[6][1];
      for (int j = 0; j < 6; ++j) {
        const float cr = coef[q][j][0], ci = coef[q][j][1];
        const float sr = w[j][0] + w[12 - j][0], si = w[j][1] + w[12 - j][1];
        const float dr = w[j][0] - w[12 - j][0], di = w[j][1] - w[12 - j][1];
        re += cr * sr + -ci * di;
        im += cr * si + ci * dr;
      }
      out[q][n][0] = re;
      out[q][n][1] = im;
    }
  }
}

void HybridReal(const float (*in)[2], const float* odd, float centre, float (*low)[2],
                float (*high)[2], int32_t slots) {
  for (int32_t n = 0; n < slots; ++n) {
    const float(*w)[2] = in + n;
    for (int c = 0; c < 2; ++c) {
      const float mid = centre * w[6][c];
      const float side = odd[0] * (w[1][c] + w[11][c]) + odd[1] * (w[3][c] + w[9][c]) +
                         odd[2] * (w[5][c] + w[7][c]);
      low[n][c] = mid + side;
      high[n][c] = mid - side;
    }
  }
}

void ToBands(const float* const* rows, int32_t b0, int32_t b1, int32_t slots,
             float (*x)[kDspHybridSlots][2]) {
  for (int32_t b = b0; b < b1; ++b) {
    for (int32_t n = 0; n < slots; ++n) std::memcpy(x[b][n], rows[n] + 2 * b, sizeof(float) * 2);
  }
}

void ToSlots(const float (*x)[kDspHybridSlots][2], int32_t b0, int32_t b1, int32_t slots,
             float* const* rows) {
  for (int32_t n = 0; n < slots; ++n) {
    for (int32_t b = b0; b < b1; ++b) std::memcpy(rows[n] + 2 * b, x[b][n], sizeof(float) * 2);
  }
}

}  // namespace ps_generic

namespace {

// First k of every split QMF band, and the end of the hybrid k range.
constexpr int32_t kSplitStart20[4] = {0, 6, 8, 10};
constexpr int32_t kSplitStart34[6] = {0, 12, 20, 24, 28, 32};

}  // namespace

void PsHybridAnalysis(PsSynthesisState& st, const PsLayoutTables& lay, const float* const* qmf) {
  const int32_t slots = st.slots;
  // Windows of the five lowest bands (both layouts keep their history, so
  // a layout switch finds it in place).
  for (int32_t b = 0; b < kPsSplitBands; ++b) {
    float(*w)[2] = st.window[b];
    std::memcpy(w, st.hybridHistory[b], sizeof(st.hybridHistory[b]));
    for (int32_t n = 0; n < slots + kPsLookAhead; ++n) {
      w[kPsLookAhead + n][0] = qmf[n][2 * b];
      w[kPsLookAhead + n][1] = qmf[n][2 * b + 1];
    }
    std::memcpy(st.hybridHistory[b], w + slots, sizeof(st.hybridHistory[b]));
  }
  const PsHybridComplexFn complex = DspActiveKernels().ps_hybrid.HybridComplex;
  if (lay.par_bands == 34) {
    complex(st.window[0], kPsHybrid12x34, kPsHybridCentre12x34, 12, st.s, slots);
    complex(st.window[1], kPsHybrid8x34, kPsHybridCentre8x34, 8, st.s + 12, slots);
    for (int32_t b = 2; b < 5; ++b) {
      complex(st.window[b], kPsHybrid4x34, kPsHybridCentre4x34, 4, st.s + 20 + 4 * (b - 2), slots);
    }
  } else {
    // Eight bands of QMF band 0 into the scratch rows of d, then merged
    // onto six sub-subbands (k_of_subband adds s4 to s3 and s5 to s2).
    complex(st.window[0], kPsHybrid8x20, kPsHybridCentre8x20, 8, st.d, slots);
    std::memset(st.s, 0, sizeof(st.s[0]) * 6);
    for (int32_t q = 0; q < 8; ++q) {
      float(*dst)[2] = st.s[lay.k_of_subband[q]];
      for (int32_t n = 0; n < slots; ++n) {
        dst[n][0] += st.d[q][n][0];
        dst[n][1] += st.d[q][n][1];
      }
    }
    const PsHybridRealFn real = DspActiveKernels().ps_hybrid.HybridReal;
    for (int32_t b = 1; b < 3; ++b) {
      const int32_t s0 = 8 + 2 * (b - 1);  // sub-subbands of the low and high half
      real(st.window[b], kPsHybrid2Odd, kPsHybrid2Centre, st.s[lay.k_of_subband[s0]],
           st.s[lay.k_of_subband[s0 + 1]], slots);
    }
  }
  // The unsplit bands: slot rows to band rows.
  DspActiveKernels().ps_hybrid.ToBands(qmf, lay.split_qmf, 64, slots, st.s + lay.qmf_offset);
}

void PsHybridSynthesis(const float (*x)[kPsSlots][2], const PsLayoutTables& lay, float* const* qmf,
                       int32_t top_band, int32_t slots) {
  const int32_t* starts = lay.par_bands == 34 ? kSplitStart34 : kSplitStart20;
  const int32_t top = top_band < 0 ? 0 : (top_band > 64 ? 64 : top_band);
  // The split bands: their sub-subbands summed in k order, whole rows at a
  // time (vectorisable), then written into the slot rows.
  for (int32_t b = 0; b < lay.split_qmf; ++b) {
    float sum[kPsSlots][2];
    std::memcpy(sum, x[starts[b]], sizeof(sum));
    for (int32_t k = starts[b] + 1; k < starts[b + 1]; ++k) {
      for (int32_t n = 0; n < kPsSlots; ++n) {
        sum[n][0] += x[k][n][0];
        sum[n][1] += x[k][n][1];
      }
    }
    for (int32_t n = 0; n < slots; ++n) std::memcpy(qmf[n] + 2 * b, sum[n], sizeof(float) * 2);
  }
  // The unsplit bands: band rows to slot rows.
  if (top > lay.split_qmf) {
    DspActiveKernels().ps_hybrid.ToSlots(x + lay.qmf_offset, lay.split_qmf, top, slots, qmf);
  }
  const int32_t clear = top > lay.split_qmf ? top : lay.split_qmf;
  for (int32_t n = 0; n < slots; ++n) {
    float* row = qmf[n];
    std::memset(row + 2 * clear, 0, sizeof(float) * 2 * static_cast<size_t>(64 - clear));
    if (top < lay.split_qmf)
      std::memset(row + 2 * top, 0, sizeof(float) * 2 * (lay.split_qmf - top));
  }
}
