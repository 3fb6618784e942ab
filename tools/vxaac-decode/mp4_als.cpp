// MPEG-4 ALS tracks of MP4 files, read straight from the file.
#include <algorithm>
#include <cstring>

#include "decode.h"
#include "tools/common/mp4_sample_table.h"

namespace {

constexpr uint64_t kMaxMoov = 64u << 20;  // sample tables of days of audio

// The payload of the top-level moov box, read with seeks past the others.
bool ReadMoov(FILE* in, uint64_t file_size, std::vector<uint8_t>* moov) {
  uint64_t pos = 0;
  while (file_size >= 8 && pos <= file_size - 8) {
    uint8_t h[16];
    if (fseeko(in, static_cast<off_t>(pos), SEEK_SET) != 0 || std::fread(h, 1, 8, in) != 8)
      return false;
    uint64_t size = uint64_t{h[0]} << 24 | h[1] << 16 | h[2] << 8 | h[3];
    uint64_t header = 8;
    if (size == 1) {
      if (std::fread(h + 8, 1, 8, in) != 8) return false;
      size = 0;
      for (int i = 8; i < 16; ++i) size = size << 8 | h[i];
      header = 16;
    } else if (size == 0) {
      size = file_size - pos;
    }
    if (size < header || size > file_size - pos) return false;
    if (std::memcmp(h + 4, "moov", 4) == 0) {
      if (size - header > kMaxMoov) return false;
      moov->resize(static_cast<size_t>(size - header));
      if (fseeko(in, static_cast<off_t>(pos + header), SEEK_SET) != 0) return false;
      return std::fread(moov->data(), 1, moov->size(), in) == moov->size();
    }
    pos += size;
  }
  return false;
}

// The ALSSpecificConfig in an AudioSpecificConfig of object type 36 (an
// escaped type: 5 bits 31, 6 bits 4), which starts on the byte after the
// rate, channel configuration and fill bits: byte 3, or 6 with an explicit
// 24-bit rate.  Empty for anything else.
std::vector<uint8_t> AlsSpecificConfig(const std::vector<uint8_t>& asc) {
  if (asc.size() < 2 || (asc[0] >> 3) != 31 || (((asc[0] & 7) << 3) | (asc[1] >> 5)) != 4)
    return {};
  const bool explicit_rate = ((asc[1] >> 1) & 0xF) == 0xF;
  const size_t at = explicit_rate ? 6 : 3;
  static const uint8_t kAlsId[4] = {'A', 'L', 'S', 0};
  if (asc.size() < at + 4 || std::memcmp(asc.data() + at, kAlsId, 4) != 0) return {};
  return std::vector<uint8_t>(asc.begin() + static_cast<ptrdiff_t>(at), asc.end());
}

}  // namespace

bool Mp4AlsStream::Open(FILE* in, uint64_t file_size) {
  std::vector<uint8_t> moov;
  vxmp4::AudioTrack track;
  std::string error;
  if (!ReadMoov(in, file_size, &moov) ||
      !vxmp4::ReadAudioTrack(moov.data(), moov.size(), file_size, &track, &error) ||
      track.edit_list) {
    return false;
  }
  header_ = AlsSpecificConfig(track.config);
  if (header_.empty()) return false;
  runs_.clear();
  for (const vxmp4::Sample& s : track.samples) {
    if (!runs_.empty() && runs_.back().offset + runs_.back().size == s.offset)
      runs_.back().size += s.size;
    else if (s.size > 0)
      runs_.push_back(Run{s.offset, s.size});
  }
  in_ = in;
  run_ = 0;
  done_ = 0;
  return true;
}

size_t Mp4AlsStream::Read(uint8_t* buffer, size_t n) {
  size_t got = 0;
  while (got < n && run_ < runs_.size()) {
    const Run& r = runs_[run_];
    const uint64_t left = r.size - done_;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(left, n - got));
    if (fseeko(in_, static_cast<off_t>(r.offset + done_), SEEK_SET) != 0) break;
    const size_t read = std::fread(buffer + got, 1, want, in_);
    got += read;
    done_ += read;
    if (read < want) {  // the file is shorter than its sample table says
      run_ = runs_.size();
      break;
    }
    if (done_ == r.size) {
      ++run_;
      done_ = 0;
    }
  }
  return got;
}
