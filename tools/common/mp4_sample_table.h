// The first audio track (mp4a sample entry) of an MP4 file's moov box: its
// DecoderSpecificInfo (the AudioSpecificConfig) and where each sample lies.
// Shared by the command-line decoder (which reads ALS tracks straight from
// the file) and the tests (which feed access units to the library).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vxmp4 {

struct Sample {
  uint64_t offset;
  uint32_t size;
};

struct AudioTrack {
  std::vector<uint8_t> config;  // DecoderSpecificInfo of the esds box
  std::vector<Sample> samples;  // in decoding order
  bool edit_list = false;       // the track has an edts box
};

// Payload of the first box of `kind` among the boxes of [p, p + n).
bool FindBox(const uint8_t* p, size_t n, const char* kind, const uint8_t** payload, size_t* size);

// Parses the payload of a moov box.  Every sample must lie within the first
// `file_size` bytes of the file.  False, with a reason, for anything else.
bool ReadAudioTrack(const uint8_t* moov, size_t n, uint64_t file_size, AudioTrack* track,
                    std::string* error);

}  // namespace vxmp4
