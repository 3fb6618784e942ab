// Spectral reconstruction (ISO/IEC 14496-3, 4.6.1 - 4.6.3, 4.6.8, 4.6.13):
// inverse quantisation, M/S and intensity stereo, perceptual noise
// substitution and the reordering of short windows.
//
// Before DeinterleaveShort an EIGHT_SHORT spectrum is in grouped order: group
// after group, each group L x swb_offset_short[max_sfb] lines long, and
// inside a group band after band with the L windows' lines of the band one
// after the other.  Band b of group g therefore covers the lines
// base(g) + L * offset[b] .. base(g) + L * offset[b + 1] - 1.
#include <cmath>
#include <cstring>

#include "aac/channel_stream.h"
#include "dsp/dsp_vector.h"

namespace {

// Largest exponents (in quarter steps of 2) accepted for noise energies and
// intensity positions; beyond them the float path would overflow, and real
// streams stay far inside.
constexpr int32_t kMaxNoiseEnergy = 255;
constexpr int32_t kMinNoiseEnergy = -256;
constexpr int32_t kMaxIntensityPosition = 255;
constexpr int32_t kMinIntensityPosition = -128;

int32_t Clamp(int32_t v, int32_t lo, int32_t hi) {
  return v < lo ? lo : (v > hi ? hi : v);
}

bool IsShort(const ChannelStream& s) {
  return s.window_sequence == EIGHT_SHORT_SEQUENCE;
}

const int32_t* BandOffsets(const ChannelStream& s) {
  return IsShort(s) ? s.bands.swb_offset_short : s.bands.swb_offset_long;
}

// max_sfb limited to the band table (it is checked when parsed; the tools do
// not rely on that).
int32_t BandCount(const ChannelStream& s) {
  const int32_t num_swb = IsShort(s) ? s.bands.num_swb_short : s.bands.num_swb_long;
  return Clamp(s.max_sfb, 0, num_swb < kAacMaxSfb ? num_swb : kAacMaxSfb);
}

int32_t GroupCount(const ChannelStream& s) {
  return IsShort(s) ? Clamp(s.num_window_groups, 0, kAacMaxWindows) : 1;
}

int32_t GroupLength(const ChannelStream& s, int32_t g) {
  return IsShort(s) ? Clamp(s.window_group_length[g], 0, kAacMaxWindows) : 1;
}

// 2^(e/4) in single precision, from the table of the scale-factor gains
// (the clamped positions and energies, and their differences, stay within
// its +/-512).
float Pow2Quarter(int32_t e) {
  return dspPow2Quarter(e);
}

}  // namespace

void InverseQuantise(const ChannelStream& s, float* spectrum) {
  const int32_t* offset = BandOffsets(s);
  const int32_t bands = offset ? BandCount(s) : 0;
  const int32_t window_lines = bands ? offset[bands] : 0;
  int32_t total = 0;
  if (window_lines > 0) {
    const int32_t groups = GroupCount(s);
    int32_t windows = 0;
    for (int32_t g = 0; g < groups; ++g) windows += GroupLength(s, g);
    if (windows > kAacMaxWindows) windows = kAacMaxWindows;
    total = window_lines * windows;
    float gains[kAacMaxSfb];
    int32_t group_offset[kAacMaxSfb + 1];
    int32_t base = 0;
    for (int32_t g = 0; g < groups; ++g) {
      const int32_t length = GroupLength(s, g);
      if (length == 0 || base + length * window_lines > total) break;
      dspScalefactorGain_16s32f(s.scale_factors[g], 100, gains, bands);
      for (int32_t b = 0; b <= bands; ++b) group_offset[b] = offset[b] * length;
      dspPow43Bands_16s32f(s.quant + base, gains, group_offset, bands, spectrum + base);
      base += length * window_lines;
    }
    // Windows of a malformed grouping that no group covers stay silent.
    if (base < total) dspZero_32f(spectrum + base, total - base);
  }
  if (total < kAacFrameLength) dspZero_32f(spectrum + total, kAacFrameLength - total);
}

namespace {

// Bands b < `bands` of group g whose codebook is one of the set `books`
// (bit c for codebook c), as bit 63 - b (kMsbFirst) or bit b: one test per
// section rather than per band.
template <bool kMsbFirst>
uint64_t BandsWithBooks(const ChannelStream& s, int32_t g, int32_t bands, uint32_t books) {
  static_assert(kAacMaxSfb < 64, "a group's bands fit one mask");
  uint64_t m = 0;
  const uint64_t below = (uint64_t{1} << bands) - 1;
  for (uint64_t starts = s.section_starts[g] & below; starts != 0;) {
    const int32_t b = __builtin_ctzll(starts);
    starts &= starts - 1;
    const int32_t e = starts != 0 ? __builtin_ctzll(starts) : bands;
    const uint64_t run = (uint64_t{1} << (e - b)) - 1;
    const uint64_t in = uint64_t{0} - ((books >> (s.sfb_cb[g][b] & 31)) & 1);
    m |= (kMsbFirst ? run << (64 - e) : run << b) & in;
  }
  return m;
}

// Bands (bit 63 - b for band b) of group g that are neither noise nor
// intensity bands, in either channel: never M/S coded.
uint64_t PlainBands(const ChannelStream& first, const ChannelStream& second, int32_t g,
                    int32_t bands) {
  constexpr uint32_t kNoise = 1u << NOISE_HCB;
  constexpr uint32_t kSpecial = kNoise | 1u << INTENSITY_HCB | 1u << INTENSITY_HCB2;
  if (((first.cb_used | second.cb_used) & kSpecial) == 0) return ~uint64_t{0};
  return ~(BandsWithBooks<true>(second, g, bands, kSpecial) |
           BandsWithBooks<true>(first, g, bands, kNoise));
}

}  // namespace

void ApplyMidSide(const ChannelStream& first, const ChannelStream& second, float* left,
                  float* right) {
  if (first.ms_mask_present == 0) return;
  const int32_t* offset = BandOffsets(first);
  if (!offset) return;
  const int32_t bands = BandCount(first);
  if (bands == 0) return;
  const int32_t window_lines = offset[bands];
  const uint64_t below_bands = ~uint64_t{0} << (64 - bands);
  int32_t base = 0;
  for (int32_t g = 0; g < GroupCount(first); ++g) {
    const int32_t length = GroupLength(first, g);
    if (base + length * window_lines > kAacFrameLength) break;
    uint64_t m = (first.ms_mask_present == 2 ? ~uint64_t{0} : first.ms_bands[g]) & below_bands &
                 PlainBands(first, second, g, bands);
    // Runs of adjacent M/S bands in one pass each; bands >= `bands` are
    // clear, so every run ends within the mask.
    while (m != 0) {
      const int32_t b = __builtin_clzll(m);
      const int32_t e = b + __builtin_clzll(~(m << b));
      m &= ~uint64_t{0} >> e;
      const int32_t start = base + length * offset[b];
      const int32_t n = base + length * offset[e] - start;
      if (n > 0) dspSumDiff_32f(left + start, right + start, n);
    }
    base += length * window_lines;
  }
}

void ApplyIntensity(const ChannelStream& first, const ChannelStream& second, const float* left,
                    float* right) {
  if (!(second.cb_used & (1u << INTENSITY_HCB | 1u << INTENSITY_HCB2))) return;
  const int32_t* offset = BandOffsets(first);
  if (!offset || IsShort(first) != IsShort(second)) return;
  const int32_t bands = BandCount(second) < BandCount(first) ? BandCount(second) : BandCount(first);
  const int32_t window_lines = offset[BandCount(first)];
  int32_t base = 0;
  for (int32_t g = 0; g < GroupCount(second); ++g) {
    const int32_t length = GroupLength(second, g);
    if (base + length * window_lines > kAacFrameLength) break;
    for (int32_t b = 0; b < bands; ++b) {
      const int32_t cb = second.sfb_cb[g][b];
      if (cb != INTENSITY_HCB && cb != INTENSITY_HCB2) continue;
      const int32_t position =
          Clamp(second.scale_factors[g][b], kMinIntensityPosition, kMaxIntensityPosition);
      float scale = Pow2Quarter(-position);
      if (cb == INTENSITY_HCB2) scale = -scale;
      // invert_intensity(): ms_used reverses the direction, and
      // ms_mask_present 2 sets every ms_used flag.
      if (first.ms_mask_present == 2 || (first.ms_mask_present == 1 && first.ms_used[g][b])) {
        scale = -scale;
      }
      const int32_t start = base + length * offset[b];
      dspMulC_32f(left + start, scale, right + start, length * (offset[b + 1] - offset[b]));
    }
    base += length * window_lines;
  }
}

float NoiseVector(float* values, int32_t count, uint32_t* noise_state) {
  float energy = 0.0f;
  if (dspNoise_32f(values, count, noise_state, &energy) != dspStsNoErr) return 0.0f;
  return energy > 0.0f ? 1.0f / std::sqrt(energy) : 0.0f;
}

namespace {

// Noise bands of one channel.  `pair_left` is the first channel of a pair
// when `s` is its second channel: M/S-flagged noise bands then reuse the left
// channel's noise (the same random vector), scaled by the energy difference.
void SubstituteNoise(const ChannelStream& s, float* spectrum, const ChannelStream* pair_left,
                     const float* left, uint32_t* noise_state) {
  if (!(s.cb_used & 1u << NOISE_HCB)) return;
  const int32_t* offset = BandOffsets(s);
  if (!offset) return;
  const int32_t bands = BandCount(s);
  const int32_t window_lines = offset[bands];
  int32_t base = 0;
  for (int32_t g = 0; g < GroupCount(s); ++g) {
    const int32_t length = GroupLength(s, g);
    if (base + length * window_lines > kAacFrameLength) break;
    // The group's noise bands as a mask, walked bit by bit: a test per
    // band mispredicts wherever noise and coded bands alternate.
    for (uint64_t noise = BandsWithBooks<false>(s, g, bands, 1u << NOISE_HCB); noise != 0;
         noise &= noise - 1) {
      const int32_t b = __builtin_ctzll(noise);
      const int32_t start = base + length * offset[b];
      const int32_t count = length * (offset[b + 1] - offset[b]);
      const int32_t energy = Clamp(s.scale_factors[g][b], kMinNoiseEnergy, kMaxNoiseEnergy);
      const bool correlated = pair_left && pair_left->sfb_cb[g][b] == NOISE_HCB &&
                              (pair_left->ms_mask_present == 2 ||
                               (pair_left->ms_mask_present == 1 && pair_left->ms_used[g][b]));
      if (correlated) {
        const int32_t left_energy =
            Clamp(pair_left->scale_factors[g][b], kMinNoiseEnergy, kMaxNoiseEnergy);
        const float scale = Pow2Quarter(energy - left_energy);
        for (int32_t k = 0; k < count; ++k) spectrum[start + k] = left[start + k] * scale;
        continue;
      }
      // Each window of the group carries the band's energy: ISO/IEC 14496-3
      // normalises the noise window by window, not over the grouped band
      // (which would leave every window 1/length of it).
      const int32_t width = offset[b + 1] - offset[b];
      const float gain = Pow2Quarter(energy);
      for (int32_t at = start; at < start + count; at += width) {
        const float scale = NoiseVector(spectrum + at, width, noise_state) * gain;
        for (int32_t k = 0; k < width; ++k) spectrum[at + k] *= scale;
      }
    }
    base += length * window_lines;
  }
}

}  // namespace

void ApplyNoiseSubstitution(const ChannelStream& first, const ChannelStream* second, float* left,
                            float* right, uint32_t* noise_state) {
  SubstituteNoise(first, left, nullptr, nullptr, noise_state);
  if (second && right) SubstituteNoise(*second, right, &first, left, noise_state);
}

namespace {

// Copies `n` lines in 16-byte pieces kept inline: a band is too short for a
// library call to pay.  The empty asm hides the pointer's progression, or
// the compiler turns the loop back into such a call.  Every short band
// table is in steps of 4 lines; the tail loop only keeps other widths exact.
void CopyLines(float* dst, const float* src, int32_t n) {
  int32_t k = 0;
  for (; k + 4 <= n; k += 4) {
    float* d = dst + k;
    asm("" : "+r"(d));
    std::memcpy(d, src + k, 4 * sizeof(float));
  }
  for (; k < n; ++k) dst[k] = src[k];
}

// Copies 16 lines whatever the band's width: one fixed copy instead of a
// loop whose trip count changes from band to band (and mispredicts).
void Copy16Lines(float* dst, const float* src) {
  std::memcpy(dst, src, 16 * sizeof(float));
}

void ZeroLines(float* dst, int32_t n) {
  const float zero[4] = {};
  int32_t k = 0;
  for (; k + 4 <= n; k += 4) {
    float* d = dst + k;
    asm("" : "+r"(d));
    std::memcpy(d, zero, sizeof zero);
  }
  for (; k < n; ++k) dst[k] = 0.0f;
}

}  // namespace

void DeinterleaveShort(const ChannelStream& s, float* spectrum) {
  if (!IsShort(s) || !s.bands.swb_offset_short) return;
  const int32_t* offset = s.bands.swb_offset_short;
  const int32_t bands = BandCount(s);
  const int32_t window_lines = offset[bands];
  const int32_t stride = s.bands.short_length;  // 128, or 120 in 960-line frames
  const int32_t groups = GroupCount(s);
  int32_t windows = 0;
  for (int32_t g = 0; g < groups; ++g) windows += GroupLength(s, g);
  if (windows > kAacMaxWindows) windows = kAacMaxWindows;
  // Only the grouped lines are read back; the band copies read up to 16
  // lines from their start, hence the padding.
  alignas(32) float grouped[kAacFrameLength + 16];
  std::memcpy(grouped, spectrum, sizeof(float) * window_lines * windows);
  const float* src = grouped;
  int32_t window = 0;
  for (int32_t g = 0; g < groups && window < kAacMaxWindows; ++g) {
    int32_t length = GroupLength(s, g);
    if (window + length > kAacMaxWindows) length = kAacMaxWindows - window;
    float* const first = spectrum + stride * window;
    if (length == 1) {
      // A group of one window is in window order already.
      CopyLines(first, src, window_lines);
      src += window_lines;
    } else {
      // Band by band, each window's copy in 16 lines where they stay in
      // the window: what lands beyond the band belongs to a later band of
      // the window (copied after it) or to the lines above window_lines
      // (cleared below).
      for (int32_t b = 0; b < bands; ++b) {
        const int32_t width = offset[b + 1] - offset[b];
        const float* from = src + length * offset[b];
        float* out = first + offset[b];
        if (width <= 16 && offset[b] + 16 <= stride) {
          for (int32_t w = 0; w < length; ++w, from += width, out += stride) Copy16Lines(out, from);
        } else {
          for (int32_t w = 0; w < length; ++w, from += width, out += stride)
            CopyLines(out, from, width);
        }
      }
      src += length * window_lines;
    }
    for (int32_t w = 0; w < length; ++w) {
      ZeroLines(first + stride * w + window_lines, stride - window_lines);
    }
    window += length;
  }
  // Windows not covered by any group (malformed grouping) stay silent.
  if (window < kAacMaxWindows) {
    std::memset(spectrum + stride * window, 0, (kAacMaxWindows - window) * stride * sizeof(float));
  }
}
