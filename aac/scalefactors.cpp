// scale_factor_data() (ISO/IEC 14496-3, 4.4.2.7): DPCM-coded scale factors,
// intensity positions and noise energies.
#include "aac/channel_stream.h"
#include "dsp/dsp_vlc.h"

namespace {

constexpr int32_t kNoisePcmBits = 9;            // first noise energy: 9-bit value ...
constexpr int32_t kNoisePcmOffset = 256;        // ... minus 256
constexpr int32_t kScalefactorDiffOffset = 60;  // codeword value - 60 is the difference
// Scale factors outside 0..255 are not allowed by the standard; such a
// stream is malformed (and would overflow the float path).
constexpr int32_t kMaxScalefactor = 255;

}  // namespace

int DecodeScaleFactors(const ChannelStream& s, UMC::BitReader& r, const AacHuffmanTables& books,
                       int32_t sf_start, int32_t noise_start,
                       int16_t out[kAacMaxWindows][kAacMaxSfb]) {
  int32_t scalefactor = sf_start;
  int32_t position = 0;
  int32_t noise = noise_start;
  bool first_noise = true;
  const int32_t groups =
      s.num_window_groups < kAacMaxWindows ? s.num_window_groups : kAacMaxWindows;
  const int32_t bands = s.max_sfb < kAacMaxSfb ? s.max_sfb : kAacMaxSfb;
  for (int32_t g = 0; g < groups; ++g) {
    for (int32_t b = 0; b < bands; ++b) {
      const int32_t cb = s.sfb_cb[g][b];
      if (cb == ZERO_HCB) {
        out[g][b] = 0;
        continue;
      }
      // At most 8 x 51 codewords of at most 19 bits: all within the padding,
      // so one overrun check at the end suffices.
      int32_t delta;
      if (cb == NOISE_HCB && first_noise) {
        first_noise = false;
        delta = static_cast<int32_t>(UMC::BitReaderRead(r, kNoisePcmBits)) - kNoisePcmOffset;
      } else {
        const uint8_t* ptr = r.data + (r.pos >> 3);
        int32_t bit_offset = static_cast<int32_t>(r.pos & 7);
        int16_t value = 0;
        if (dspVlcDecodeOne_16s(&ptr, &bit_offset, &value, books.book[0]) != dspStsNoErr) return -1;
        UMC::BitReaderSetPosition(r, (ptr - r.data) * 8 + bit_offset);
        delta = value - kScalefactorDiffOffset;
      }
      if (cb == NOISE_HCB) {
        noise += delta;
        out[g][b] = static_cast<int16_t>(noise);
      } else if (cb == INTENSITY_HCB || cb == INTENSITY_HCB2) {
        position += delta;
        out[g][b] = static_cast<int16_t>(position);
      } else {
        scalefactor += delta;
        if (scalefactor < 0 || scalefactor > kMaxScalefactor) return -1;
        out[g][b] = static_cast<int16_t>(scalefactor);
      }
    }
  }
  return UMC::BitReaderOverrun(r) ? -1 : 0;
}
