#include "gst/channel_layout.h"

#include <algorithm>

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
