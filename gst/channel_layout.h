// Channel layouts of the decoder's output.
//
// The AAC decoder writes channels in bitstream element order (centre first:
// C, L, R, surrounds, LFE); the ALS decoder writes them in the order of the
// original recording (WAV order).  These helpers give the speaker position
// of every output channel and the reordering into GStreamer's canonical
// order, which for the positions used here equals WAV order.
#pragma once

#include <gst/audio/audio.h>

#include <cstddef>
#include <cstdint>

// Positions of `channels` output channels in decoder order, from the
// decoder's speaker of each channel (WAVE_FORMAT_EXTENSIBLE bit indices, -1
// for none; `speakers` may be null).  Without a complete set of distinct
// speakers the AAC default layout of the channel count is used.  Returns
// false (and fills NONE) for a count without a known layout.  At most 8
// channels.
bool VxDecoderChannelPositions(int channels, const int8_t* speakers, int speaker_count,
                               GstAudioChannelPosition* positions);

// The same positions sorted into GStreamer's canonical order.
void VxCanonicalOrder(int channels, const GstAudioChannelPosition* from,
                      GstAudioChannelPosition* to);

// For each canonical position to[c], the decoder channel that carries it.
void VxReorderMap(int channels, const GstAudioChannelPosition* from,
                  const GstAudioChannelPosition* to, int* map);

// Copies the whole sample frames of `bytes` interleaved bytes from `src` to
// `dst` (which may be `src`), output channel c taking input channel map[c];
// 1 to 8 channels of 1 to 4 bytes.  One pass instead of a copy and a
// reorder.
void VxCopyReordered(const uint8_t* src, uint8_t* dst, size_t bytes, int channels,
                     int bytes_per_sample, const int* map);

// WAVE_FORMAT_EXTENSIBLE speaker mask of a set of positions (0 when a
// position has no WAV speaker bit).
uint32_t VxWavChannelMask(int channels, const GstAudioChannelPosition* positions);
