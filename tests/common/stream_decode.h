// Whole in-band streams (ADTS, ADIF, raw ALS) through AACDecoder, the way a
// caller with the whole file in memory drives it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "umc/memory_allocator.h"
#include "umc/umc_status.h"

namespace vxtest {

std::vector<uint8_t> ReadBytes(const std::string& path);

struct DecodeOptions {
  int sbr_mode = 18;
  int sbr_rate_mode = 1;
  int ps_mode = 0;
  UMC::MemoryAllocator* allocator = nullptr;  // null: the decoder's own
};

struct StreamDecode {
  std::vector<int16_t> pcm;  // interleaved, decoder order
  int channels = 0;
  int stream_channels = 0;  // channels the stream codes (1 for PS, whatever the output)
  int rate = 0;
  int ok_frames = 0;
  int bad_frames = 0;                 // StatusInvalidStream: silence of the frame's length
  bool sbr = false;                   // the last frame carried SBR
  UMC::Status other = UMC::StatusOk;  // a status that ended decoding early
  // WAV-order (speaker-bit rank) channel of each output channel.
  std::vector<int> wav_order;
};

StreamDecode DecodeStream(std::vector<uint8_t> bytes, const DecodeOptions& options = {});

// Codec data (an AudioSpecificConfig) and one access unit per GetFrame, the
// way the element feeds a demultiplexed stream.
StreamDecode DecodeAccessUnits(const std::vector<uint8_t>& config,
                               const std::vector<std::vector<uint8_t>>& units,
                               const DecodeOptions& options = {});

}  // namespace vxtest
