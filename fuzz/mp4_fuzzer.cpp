// The MP4 sample-table reader of the command-line decoder (and the tests):
// any bytes as a whole file.  Every sample it returns must lie in the file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tools/common/mp4_sample_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t* moov = nullptr;
  size_t moov_size = 0;
  if (!vxmp4::FindBox(data, size, "moov", &moov, &moov_size)) return 0;
  if (moov < data || moov + moov_size > data + size) std::abort();
  vxmp4::AudioTrack track;
  std::string error;
  if (!vxmp4::ReadAudioTrack(moov, moov_size, size, &track, &error)) return 0;
  for (const vxmp4::Sample& s : track.samples) {
    if (s.offset > size || s.size > size - s.offset) std::abort();
  }
  return 0;
}
