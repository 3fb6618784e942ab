#include "aac/coupling.h"

#include <cmath>
#include <cstring>

#include "dsp/dsp_vector.h"

namespace {

using UMC::BitReader;

int32_t Rd(BitReader& r, int n) {
  return static_cast<int32_t>(UMC::BitReaderRead(r, n));
}

// One scale-factor codeword minus 60.  A reader already past its end, or a
// bad code, ends the element (the reader's padding holds the bits a code
// word may need).
int32_t ScaleFactorDelta(BitReader& r, const AacHuffmanTables& books) {
  if (UMC::BitReaderOverrun(r)) return 0;
  AacBits bits;
  bits.Start(r.data, r.pos);
  const AacHuffBook& book = books.fast[0];
  const uint32_t e = AacHuffDecode(book.entries, kAacSfRootBits, bits);
  if (e == kAacHuffInvalid) {
    UMC::BitReaderSetPosition(r, int64_t{r.size} * 8 + 1);
    return 0;
  }
  UMC::BitReaderSetPosition(r, bits.Position(r.data));
  return AacHuffScalefactor(e) - 60;
}

// Per-band gain values: one scale-factor codeword per band whose codebook is
// not ZERO_HCB, accumulated from 0 across groups and bands (the gain elements
// have no noise or intensity paths of their own).
int DecodeGainValues(const ChannelStream& s, BitReader& r, const AacHuffmanTables& books,
                     int16_t out[kAacMaxWindows][kAacMaxSfb]) {
  int32_t gain = 0;
  for (int32_t g = 0; g < s.num_window_groups && g < kAacMaxWindows; ++g) {
    for (int32_t b = 0; b < s.max_sfb && b < kAacMaxSfb; ++b) {
      if (s.sfb_cb[g][b] == ZERO_HCB) {
        out[g][b] = 0;
        continue;
      }
      if (UMC::BitReaderOverrun(r)) return -1;
      gain += ScaleFactorDelta(r, books);
      // Far beyond any audible gain; keeps the running value in 16 bits.
      if (gain < -2048 || gain > 2047) return -1;
      out[g][b] = static_cast<int16_t>(gain);
    }
  }
  return UMC::BitReaderOverrun(r) ? -1 : 0;
}

}  // namespace

int DecodeCouplingElement(CouplingRecord& rec, ChannelStream& stream, BitReader& r,
                          int32_t object_type, const AacHuffmanTables& books) {
  rec.element_instance_tag = Rd(r, 4);
  rec.ind_sw_cce_flag = Rd(r, 1);
  rec.num_coupled_elements = Rd(r, 3);
  int32_t lists = 0;
  for (int32_t c = 0; c <= rec.num_coupled_elements; ++c) {
    rec.first_list[c] = lists++;
    rec.cc_target_is_cpe[c] = Rd(r, 1);
    rec.cc_target_tag_select[c] = Rd(r, 4);
    rec.cc_lr[c] = 0;
    rec.target_channel[c] = -1;
    if (rec.cc_target_is_cpe[c]) {
      const int32_t l = Rd(r, 1), rr = Rd(r, 1);
      rec.cc_lr[c] = 2 * l + rr;
      if (l && rr) ++lists;
    }
  }
  rec.num_gain_element_lists = lists;
  rec.cc_domain = Rd(r, 1);
  rec.gain_element_sign = Rd(r, 1);
  rec.gain_element_scale = Rd(r, 2);
  if (DecodeChannelStream(stream, r, 0, object_type, books) != 0) return -1;
  rec.common_gain_element_present[0] = 1;
  rec.common_gain[0] = 0;
  for (int32_t c = 1; c < lists; ++c) {
    const int32_t cge = rec.ind_sw_cce_flag ? 1 : Rd(r, 1);
    rec.common_gain_element_present[c] = cge;
    rec.common_gain[c] = 0;
    if (cge) {
      rec.common_gain[c] = static_cast<int16_t>(ScaleFactorDelta(r, books));
    } else if (DecodeGainValues(stream, r, books, rec.gain_values[c]) != 0) {
      return -1;
    }
  }
  return UMC::BitReaderOverrun(r) ? -1 : 0;
}

namespace {

// cc_scale^-v with cc_scale = 2^(2^(scale - 3)).
float ScaleGain(int32_t v, int32_t scale) {
  return static_cast<float>(std::exp2(-static_cast<double>(v) * std::ldexp(1.0, scale - 3)));
}

}  // namespace

void ComputeCouplingGains(CouplingRecord& rec, const ChannelStream& s) {
  for (int32_t l = 0; l < rec.num_gain_element_lists && l < kCouplingMaxLists; ++l) {
    rec.common_gains[l] = ScaleGain(rec.common_gain[l], rec.gain_element_scale);
    for (int32_t g = 0; g < kAacMaxWindows; ++g) {
      for (int32_t b = 0; b < kAacMaxSfb; ++b) {
        float gain = 0.0f;
        if (g < s.num_window_groups && b < s.max_sfb && s.sfb_cb[g][b] != ZERO_HCB) {
          if (rec.common_gain_element_present[l]) {
            gain = rec.common_gains[l];
          } else {
            int32_t v = rec.gain_values[l][g][b];
            float sign = 1.0f;
            if (rec.gain_element_sign) {
              if (v & 1) sign = -1.0f;
              v >>= 1;
            }
            gain = sign * ScaleGain(v, rec.gain_element_scale);
          }
        }
        rec.gains[l][g][b] = gain;
      }
    }
  }
}

namespace {

// Calls fn(channel, list) for every channel a coupling element feeds: both
// channels of a CPE target with neither cc_l nor cc_r (same list), one with
// exactly one of them, both with their own lists when both are set.
template <typename Fn>
void ForEachCoupledChannel(const CouplingRecord& rec, Fn fn) {
  for (int32_t c = 0; c <= rec.num_coupled_elements && c < 8; ++c) {
    const int32_t k = rec.target_channel[c], list = rec.first_list[c];
    if (k < 0) continue;
    if (!rec.cc_target_is_cpe[c]) {
      fn(k, list);
      continue;
    }
    switch (rec.cc_lr[c]) {
      case 0:
        fn(k, list);
        fn(k + 1, list);
        break;
      case 1:
        fn(k + 1, list);
        break;
      case 2:
        fn(k, list);
        break;
      default:
        fn(k, list);
        fn(k + 1, list + 1);
        break;
    }
  }
}

void CoupleSpectrum(const CouplingRecord& rec, const ChannelStream& s, int32_t list,
                    const float* cc, float* target) {
  const bool shorts = s.window_sequence == EIGHT_SHORT_SEQUENCE;
  const int32_t* offsets = shorts ? s.bands.swb_offset_short : s.bands.swb_offset_long;
  if (!offsets) return;
  int32_t window = 0;
  for (int32_t g = 0; g < s.num_window_groups && g < kAacMaxWindows; ++g) {
    for (int32_t w = 0; w < s.window_group_length[g] && window < kAacMaxWindows; ++w, ++window) {
      const int32_t base = shorts ? s.bands.short_length * window : 0;
      for (int32_t b = 0; b < s.max_sfb && b < kAacMaxSfb; ++b) {
        const int32_t start = base + offsets[b], n = offsets[b + 1] - offsets[b];
        const float gain = rec.gains[list][g][b];
        if (n > 0 && gain != 0.0f && start + n <= kAacFrameLength) {
          dspAddProductC_32f(cc + start, gain, target + start, n);
        }
      }
    }
  }
}

}  // namespace

void ApplyCoupling(const CouplingRecord& rec, const ChannelStream& stream,
                   const float* coupling_spectrum, float* const* spectra, int32_t channels) {
  ForEachCoupledChannel(rec, [&](int32_t k, int32_t list) {
    if (k < channels && list < kCouplingMaxLists)
      CoupleSpectrum(rec, stream, list, coupling_spectrum, spectra[k]);
  });
}

void ApplyTimeCoupling(const CouplingRecord& rec, const float* coupling_output,
                       float* const* outputs, int32_t channels, int32_t samples) {
  ForEachCoupledChannel(rec, [&](int32_t k, int32_t list) {
    if (k < channels && list < kCouplingMaxLists) {
      dspAddProductC_32f(coupling_output, rec.common_gains[list], outputs[k], samples);
    }
  });
}
