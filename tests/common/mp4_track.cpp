#include "common/mp4_track.h"

#include "tools/common/mp4_sample_table.h"

namespace vxtest {

bool ReadMp4Track(const std::vector<uint8_t>& file, Mp4Track* track, std::string* error) {
  const uint8_t* moov = nullptr;
  size_t moov_size = 0;
  if (!vxmp4::FindBox(file.data(), file.size(), "moov", &moov, &moov_size))
    return *error = "no moov box", false;
  vxmp4::AudioTrack t;
  if (!vxmp4::ReadAudioTrack(moov, moov_size, file.size(), &t, error)) return false;
  track->config = t.config;
  track->units.clear();
  for (const vxmp4::Sample& s : t.samples)
    track->units.emplace_back(file.begin() + static_cast<ptrdiff_t>(s.offset),
                              file.begin() + static_cast<ptrdiff_t>(s.offset + s.size));
  return true;
}

}  // namespace vxtest
