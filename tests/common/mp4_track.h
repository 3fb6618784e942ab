// The AAC track of an MP4 file for tests that drive the codec library
// directly with codec data (the AudioSpecificConfig) and access units, as
// the element does behind a demultiplexer: streams that ADTS cannot carry
// (960-sample frames) are kept as MP4 fixtures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vxtest {

struct Mp4Track {
  std::vector<uint8_t> config;              // DecoderSpecificInfo of the esds box
  std::vector<std::vector<uint8_t>> units;  // access units in decoding order
};

// The first track with an mp4a sample entry (sizes from stsz, chunks from
// stsc and stco/co64).  False, with a reason, for anything else.
bool ReadMp4Track(const std::vector<uint8_t>& file, Mp4Track* track, std::string* error);

}  // namespace vxtest
