// scale_factor_data() (ISO/IEC 14496-3, 4.4.2.7): DPCM-coded scale factors,
// intensity positions and noise energies.
#include "aac/channel_stream.h"

namespace {

constexpr int32_t kNoisePcmBits = 9;            // first noise energy: 9-bit value ...
constexpr int32_t kNoisePcmOffset = 256;        // ... minus 256
constexpr int32_t kScalefactorDiffOffset = 60;  // codeword value - 60 is the difference
// Scale factors outside 0..255 are not allowed by the standard; such a
// stream is malformed (and would overflow the float path).
constexpr int32_t kMaxScalefactor = 255;

}  // namespace

namespace {

// One scale factor band's code word (the cache holds 19 bits or more);
// false for a malformed code word or a value outside 0..255.
__attribute__((always_inline)) inline bool ScalefactorBand(AacBits& bits, const uint16_t* entries,
                                                           int32_t cb, int32_t* scalefactor,
                                                           int16_t* out) {
  if (cb == ZERO_HCB) {
    *out = 0;
    return true;
  }
  const uint32_t e = AacHuffDecode(entries, kAacSfRootBits, bits);
  if (e == kAacHuffInvalid) return false;
  *scalefactor += AacHuffScalefactor(e) - kScalefactorDiffOffset;
  if (static_cast<uint32_t>(*scalefactor) > uint32_t{kMaxScalefactor}) return false;
  *out = static_cast<int16_t>(*scalefactor);
  return true;
}

// Noise energies or intensity positions of bands [b, e): one code word
// each, added to the running value; the channel's first noise energy is a
// 9-bit value instead.
void RunningValues(AacBits& bits, const uint16_t* entries, int32_t b, int32_t e, bool* pcm_first,
                   int32_t* value, int16_t* out, bool* bad) {
  if (*pcm_first && b < e) {
    *pcm_first = false;
    bits.Refill();
    *value += static_cast<int32_t>(bits.cache >> (64 - kNoisePcmBits)) - kNoisePcmOffset;
    bits.Skip(kNoisePcmBits);
    out[b++] = static_cast<int16_t>(*value);
  }
  for (; b < e; ++b) {
    bits.Refill();
    const uint32_t w = AacHuffDecode(entries, kAacSfRootBits, bits);
    if (w == kAacHuffInvalid) {
      *bad = true;
      return;
    }
    *value += AacHuffScalefactor(w) - kScalefactorDiffOffset;
    out[b] = static_cast<int16_t>(*value);
  }
}

// Channels with noise or intensity bands: section by section (section_data
// records where each starts), so that the kind of value a band carries is
// looked at once per section, not per band.
int DecodeValues(const ChannelStream& s, AacBits& bits, const AacHuffBook& book, int32_t sf_start,
                 int32_t noise_start, int16_t out[kAacMaxWindows][kAacMaxSfb]) {
  static_assert(kAacMaxSfb < 64, "a group's bands fit one mask");
  const uint16_t* const entries = book.entries;
  int32_t scalefactor = sf_start;
  int32_t position = 0;
  int32_t noise = noise_start;
  bool first_noise = true, no_pcm = false, bad = false;
  const int32_t groups =
      s.num_window_groups < kAacMaxWindows ? s.num_window_groups : kAacMaxWindows;
  const int32_t bands = s.max_sfb < kAacMaxSfb ? s.max_sfb : kAacMaxSfb;
  const uint64_t below = (uint64_t{1} << bands) - 1;
  for (int32_t g = 0; g < groups; ++g) {
    const int32_t* cbs = s.sfb_cb[g];
    int16_t* o = out[g];
    // Band 0 always starts a section.
    for (uint64_t starts = (s.section_starts[g] | 1) & below; starts != 0;) {
      int32_t b = __builtin_ctzll(starts);
      starts &= starts - 1;
      const int32_t e = starts != 0 ? __builtin_ctzll(starts) : bands;
      const int32_t cb = cbs[b];
      if (cb == ZERO_HCB) {
        for (; b < e; ++b) o[b] = 0;
      } else if (cb == NOISE_HCB) {
        RunningValues(bits, entries, b, e, &first_noise, &noise, o, &bad);
      } else if (cb == INTENSITY_HCB || cb == INTENSITY_HCB2) {
        RunningValues(bits, entries, b, e, &no_pcm, &position, o, &bad);
      } else {
        for (; b + 1 < e; b += 2) {
          bits.Refill();
          if (!ScalefactorBand(bits, entries, cb, &scalefactor, o + b)) return -1;
          if (!ScalefactorBand(bits, entries, cb, &scalefactor, o + b + 1)) return -1;
        }
        if (b < e) {
          bits.Refill();
          if (!ScalefactorBand(bits, entries, cb, &scalefactor, o + b)) return -1;
        }
      }
      if (bad) return -1;
    }
  }
  return 0;
}

// Channels whose sections hold neither noise nor intensity bands (most of
// them): one kind of running value, no branch on the band's kind, and one
// refill per two bands (two code words of at most 19 bits fit the 56 bits a
// refill leaves).
int DecodeScalefactorsOnly(const ChannelStream& s, AacBits& bits, const AacHuffBook& book,
                           int32_t sf_start, int16_t out[kAacMaxWindows][kAacMaxSfb]) {
  const uint16_t* const entries = book.entries;
  int32_t scalefactor = sf_start;
  const int32_t groups =
      s.num_window_groups < kAacMaxWindows ? s.num_window_groups : kAacMaxWindows;
  const int32_t bands = s.max_sfb < kAacMaxSfb ? s.max_sfb : kAacMaxSfb;
  for (int32_t g = 0; g < groups; ++g) {
    const int32_t* cb = s.sfb_cb[g];
    int16_t* o = out[g];
    int32_t b = 0;
    for (; b + 1 < bands; b += 2) {
      bits.Refill();
      if (!ScalefactorBand(bits, entries, cb[b], &scalefactor, o + b)) return -1;
      if (!ScalefactorBand(bits, entries, cb[b + 1], &scalefactor, o + b + 1)) return -1;
    }
    if (b < bands) {
      bits.Refill();
      if (!ScalefactorBand(bits, entries, cb[b], &scalefactor, o + b)) return -1;
    }
  }
  return 0;
}

}  // namespace

int DecodeScaleFactors(const ChannelStream& s, UMC::BitReader& r, const AacHuffmanTables& books,
                       int32_t sf_start, int32_t noise_start,
                       int16_t out[kAacMaxWindows][kAacMaxSfb]) {
  if (UMC::BitReaderOverrun(r)) return -1;
  // At most 8 x 51 code words of at most 19 bits: all within the reader's
  // padding, so one overrun check at the end suffices.  The reader ends where
  // decoding stopped, also on failure (data that ends early shows as an
  // overrun).
  AacBits bits;
  bits.Start(r.data, r.pos);
  // cb_used comes from section_data() (tests setting codebooks by hand
  // derive it the same way).
  constexpr uint32_t kSpecialBands = 1u << NOISE_HCB | 1u << INTENSITY_HCB | 1u << INTENSITY_HCB2;
  const int status = (s.cb_used & kSpecialBands) == 0
                         ? DecodeScalefactorsOnly(s, bits, books.fast[0], sf_start, out)
                         : DecodeValues(s, bits, books.fast[0], sf_start, noise_start, out);
  UMC::BitReaderSetPosition(r, bits.Position(r.data));
  return status == 0 && !UMC::BitReaderOverrun(r) ? 0 : -1;
}
