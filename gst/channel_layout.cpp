#include "gst/channel_layout.h"

#include <algorithm>
#include <cstring>

namespace {

using P = GstAudioChannelPosition;

constexpr P kFC = GST_AUDIO_CHANNEL_POSITION_FRONT_CENTER;
constexpr P kFL = GST_AUDIO_CHANNEL_POSITION_FRONT_LEFT;
constexpr P kFR = GST_AUDIO_CHANNEL_POSITION_FRONT_RIGHT;
constexpr P kRC = GST_AUDIO_CHANNEL_POSITION_REAR_CENTER;
constexpr P kRL = GST_AUDIO_CHANNEL_POSITION_REAR_LEFT;
constexpr P kRR = GST_AUDIO_CHANNEL_POSITION_REAR_RIGHT;
constexpr P kSL = GST_AUDIO_CHANNEL_POSITION_SIDE_LEFT;
constexpr P kSR = GST_AUDIO_CHANNEL_POSITION_SIDE_RIGHT;
constexpr P kLFE = GST_AUDIO_CHANNEL_POSITION_LFE1;

// AAC output order by channel count; 7 channels have no standard layout.
struct Layout {
  int channels;
  P positions[8];
};
constexpr Layout kAacLayouts[] = {
    {1, {GST_AUDIO_CHANNEL_POSITION_MONO}},
    {2, {kFL, kFR}},
    {3, {kFC, kFL, kFR}},
    {4, {kFC, kFL, kFR, kRC}},
    {5, {kFC, kFL, kFR, kRL, kRR}},
    {6, {kFC, kFL, kFR, kRL, kRR, kLFE}},
    {8, {kFC, kFL, kFR, kSL, kSR, kRL, kRR, kLFE}},
};

// WAV speaker bits 0..17 in bit order.
constexpr P kWavBits[18] = {
    kFL,
    kFR,
    kFC,
    kLFE,
    kRL,
    kRR,
    GST_AUDIO_CHANNEL_POSITION_FRONT_LEFT_OF_CENTER,
    GST_AUDIO_CHANNEL_POSITION_FRONT_RIGHT_OF_CENTER,
    kRC,
    kSL,
    kSR,
    GST_AUDIO_CHANNEL_POSITION_TOP_CENTER,
    GST_AUDIO_CHANNEL_POSITION_TOP_FRONT_LEFT,
    GST_AUDIO_CHANNEL_POSITION_TOP_FRONT_CENTER,
    GST_AUDIO_CHANNEL_POSITION_TOP_FRONT_RIGHT,
    GST_AUDIO_CHANNEL_POSITION_TOP_REAR_LEFT,
    GST_AUDIO_CHANNEL_POSITION_TOP_REAR_CENTER,
    GST_AUDIO_CHANNEL_POSITION_TOP_REAR_RIGHT,
};

void FillNone(int channels, P* positions) {
  for (int i = 0; i < channels; ++i) positions[i] = GST_AUDIO_CHANNEL_POSITION_NONE;
}

}  // namespace

bool VxDecoderChannelPositions(int channels, const int8_t* speakers, int speaker_count,
                               P* positions) {
  if (channels < 1 || channels > 8) return false;
  if (channels == 1) {
    positions[0] = GST_AUDIO_CHANNEL_POSITION_MONO;
    return true;
  }
  if (speakers && speaker_count == channels) {
    uint32_t seen = 0;
    bool complete = true;
    for (int i = 0; i < channels && complete; ++i) {
      const int bit = speakers[i];
      complete = bit >= 0 && bit < 18 && !(seen & (1u << bit));
      if (complete) {
        seen |= 1u << bit;
        positions[i] = kWavBits[bit];
      }
    }
    if (complete) return true;
  }
  for (const Layout& l : kAacLayouts) {
    if (l.channels != channels) continue;
    std::copy(l.positions, l.positions + channels, positions);
    return true;
  }
  FillNone(channels, positions);
  return false;
}

void VxCanonicalOrder(int channels, const P* from, P* to) {
  std::copy(from, from + channels, to);
  std::sort(to, to + channels);
}

uint32_t VxWavChannelMask(int channels, const P* positions) {
  uint32_t mask = 0;
  for (int i = 0; i < channels; ++i) {
    if (positions[i] == GST_AUDIO_CHANNEL_POSITION_MONO) {
      mask |= 0x4;
      continue;
    }
    const P* bit = std::find(kWavBits, kWavBits + 18, positions[i]);
    if (bit == kWavBits + 18) return 0;
    mask |= 1u << (bit - kWavBits);
  }
  return mask;
}

void VxReorderMap(int channels, const GstAudioChannelPosition* from,
                  const GstAudioChannelPosition* to, int* map) {
  for (int c = 0; c < channels; ++c) {
    map[c] = static_cast<int>(std::find(from, from + channels, to[c]) - from);
    if (map[c] >= channels) map[c] = c;
  }
}

namespace {

// One sample size at a time, so the copies compile to plain moves.  In
// place, a frame goes through a local copy; otherwise each sample is read
// straight from the source (a local copy written in wide moves and read back
// in narrow ones stalls on store forwarding).
template <int kBytes>
void CopyReordered(const uint8_t* src, uint8_t* dst, size_t bytes, int channels, const int* map) {
  const size_t frame = static_cast<size_t>(channels) * kBytes;
  if (src != dst) {
    for (size_t pos = 0; pos + frame <= bytes; pos += frame) {
      for (int c = 0; c < channels; ++c)
        std::memcpy(dst + pos + c * kBytes, src + pos + map[c] * kBytes, kBytes);
    }
    return;
  }
  uint8_t tmp[8 * 4];
  for (size_t pos = 0; pos + frame <= bytes; pos += frame) {
    std::memcpy(tmp, src + pos, frame);
    for (int c = 0; c < channels; ++c)
      std::memcpy(dst + pos + c * kBytes, tmp + map[c] * kBytes, kBytes);
  }
}

// The same with the channel count known at compile time, out of place: one
// strided pass per output channel, a load and a store per sample.
template <typename Sample, int kChannels>
void CopyReorderedFixed(const uint8_t* src, uint8_t* dst, size_t bytes, const int* map) {
  const size_t frames = bytes / (sizeof(Sample) * kChannels);
  for (int c = 0; c < kChannels; ++c) {
    const int from = map[c] < kChannels && map[c] >= 0 ? map[c] : c;
    const uint8_t* s = src + from * sizeof(Sample);
    uint8_t* d = dst + c * sizeof(Sample);
#pragma GCC unroll 8
    for (size_t f = 0; f < frames; ++f) {
      Sample v;
      std::memcpy(&v, s + f * kChannels * sizeof(Sample), sizeof v);
      std::memcpy(d + f * kChannels * sizeof(Sample), &v, sizeof v);
    }
  }
}

template <typename Sample>
bool CopyReorderedBySize(const uint8_t* src, uint8_t* dst, size_t bytes, int channels,
                         const int* map) {
  switch (channels) {
    case 3:
      CopyReorderedFixed<Sample, 3>(src, dst, bytes, map);
      return true;
    case 4:
      CopyReorderedFixed<Sample, 4>(src, dst, bytes, map);
      return true;
    case 5:
      CopyReorderedFixed<Sample, 5>(src, dst, bytes, map);
      return true;
    case 6:
      CopyReorderedFixed<Sample, 6>(src, dst, bytes, map);
      return true;
    case 8:
      CopyReorderedFixed<Sample, 8>(src, dst, bytes, map);
      return true;
    default:
      return false;
  }
}

}  // namespace

void VxCopyReordered(const uint8_t* src, uint8_t* dst, size_t bytes, int channels,
                     int bytes_per_sample, const int* map) {
  if (channels < 1 || channels > 8) return;
  const bool overlap = src < dst + bytes && dst < src + bytes;
  if (!overlap && bytes_per_sample == 2 &&
      CopyReorderedBySize<uint16_t>(src, dst, bytes, channels, map))
    return;
  if (!overlap && bytes_per_sample == 4 &&
      CopyReorderedBySize<uint32_t>(src, dst, bytes, channels, map))
    return;
  switch (bytes_per_sample) {
    case 1:
      return CopyReordered<1>(src, dst, bytes, channels, map);
    case 2:
      return CopyReordered<2>(src, dst, bytes, channels, map);
    case 3:
      return CopyReordered<3>(src, dst, bytes, channels, map);
    case 4:
      return CopyReordered<4>(src, dst, bytes, channels, map);
    default:
      return;
  }
}
