// Rewrites an ADTS stream of one raw data block per frame into frames of
// several blocks (ISO/IEC 14496-3, 1.A.3.2: number_of_raw_data_blocks_in_frame
// 1 to 3), with or without the error check.  Shared by vxaac-adtsblocks and
// the tests, which compare the decode of both forms sample for sample.
//
// With the error check, a frame of several blocks carries after its header
// raw_data_block_position[1..n] (byte offsets of the later blocks from the
// frame's first byte) and the CRC word of adts_header_error_check (over the
// 56 header bits and the positions), and after every block the CRC word of
// adts_raw_data_block_error_check (over the block's protected bits alone).
// The block CRCs are not computed from a parse of the blocks: each input
// frame's own CRC word, made by its encoder over the header bits followed
// by the block's protected bits, is carried over to a register that starts
// at 0xFFFF instead.  The CRC is linear in the register, so only the number
// of protected bits matters, and that follows from the channel
// configuration (192 bits per SCE and LFE, 192 + 128 per CPE, fill elements
// unprotected); input frames must hold just those elements besides FIL.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "umc/bit_reader.h"

namespace adts_blocks {

using Bytes = std::vector<uint8_t>;

struct Frame {
  Bytes header;      // 7 bytes, protection as in the input
  Bytes payload;     // the raw data block
  int32_t crc = -1;  // the input's CRC word, -1 without
};

inline int32_t FrameLength(const uint8_t* p) {
  return ((p[3] & 3) << 11) | (p[4] << 3) | (p[5] >> 5);
}

// Splits a stream of one-block frames; false (with `error`) otherwise.
inline bool SplitFrames(const Bytes& in, std::vector<Frame>* frames, std::string* error) {
  size_t at = 0;
  while (at + 7 <= in.size()) {
    const uint8_t* p = in.data() + at;
    if (p[0] != 0xFF || (p[1] & 0xF6) != 0xF0) {
      *error = "no ADTS header at byte " + std::to_string(at);
      return false;
    }
    const size_t length = static_cast<size_t>(FrameLength(p));
    const bool crc = (p[1] & 1) == 0;
    const size_t head = crc ? 9 : 7;
    if ((p[6] & 3) != 0 || length <= head || at + length > in.size()) {
      *error = "frame at byte " + std::to_string(at) + " is not one whole raw data block";
      return false;
    }
    Frame f;
    f.header.assign(p, p + 7);
    if (crc) f.crc = (p[7] << 8) | p[8];
    f.payload.assign(p + head, p + length);
    frames->push_back(std::move(f));
    at += length;
  }
  if (at != in.size()) {
    *error = "the stream ends inside a frame";
    return false;
  }
  return true;
}

// Protected bits of one raw data block of channel configuration 1 to 7.
inline int64_t ProtectedBits(int configuration) {
  constexpr int64_t kSingle = 192, kPair = 192 + 128;
  switch (configuration) {
    case 1:
      return kSingle;
    case 2:
      return kPair;
    case 3:
      return kSingle + kPair;
    case 4:
      return 2 * kSingle + kPair;
    case 5:
      return kSingle + 2 * kPair;
    case 6:
      return 2 * kSingle + 2 * kPair;
    case 7:
      return 2 * kSingle + 3 * kPair;
    default:
      return -1;
  }
}

// CRC of the block's protected bits from a register at 0xFFFF, given the
// encoder's CRC over the header's 56 bits followed by them.
inline uint16_t BlockCrc(const Frame& f, int64_t protected_bits) {
  uint16_t header = UMC::Crc16Init();
  UMC::Crc16UpdateBits(f.header.data(), 7, 0, 56, &header);
  // Registers that differ by d at the block's start differ by the zero-bit
  // steps of d at its end.
  uint16_t shift = static_cast<uint16_t>(header ^ UMC::Crc16Init());
  UMC::Crc16UpdateZeroBits(protected_bits, &shift);
  return static_cast<uint16_t>(f.crc ^ shift);
}

// One frame of `group` (1 to 4 frames of the input).
inline Bytes JoinFrames(const Frame* group, int count, bool crc, int64_t protected_bits) {
  const int extra = count - 1;
  const bool several = count > 1;
  size_t length = 7 + (crc ? 2 + 2 * static_cast<size_t>(extra) : 0);
  std::vector<size_t> start(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    start[static_cast<size_t>(i)] = length;
    length += group[i].payload.size() + (crc && several ? 2 : 0);
  }
  Bytes out(group[0].header);
  out[1] = static_cast<uint8_t>((out[1] & 0xFE) | (crc ? 0 : 1));
  out[3] = static_cast<uint8_t>((out[3] & 0xFC) | ((length >> 11) & 3));
  out[4] = static_cast<uint8_t>(length >> 3);
  out[5] = static_cast<uint8_t>(((length & 7) << 5) | (out[5] & 0x1F));
  out[6] = static_cast<uint8_t>((out[6] & 0xFC) | extra);
  auto put16 = [&out](uint32_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
  };
  if (crc) {
    for (int i = 1; i < count; ++i) put16(static_cast<uint32_t>(start[static_cast<size_t>(i)]));
    uint16_t check = UMC::Crc16Init();
    if (several) {
      UMC::Crc16UpdateBits(out.data(), static_cast<int32_t>(out.size()), 0, 56 + 16 * extra,
                           &check);
    } else {
      // One block: the input's CRC covers this same header (only the
      // length field can differ, and it does not: the frame is the same).
      check = static_cast<uint16_t>(group[0].crc);
    }
    put16(check);
  }
  for (int i = 0; i < count; ++i) {
    out.insert(out.end(), group[i].payload.begin(), group[i].payload.end());
    if (crc && several) put16(BlockCrc(group[i], protected_bits));
  }
  return out;
}

// Groups the frames by the block counts of `pattern` (cycled; the last
// frame takes what is left).  With `crc` every input frame must carry one.
inline bool Rewrite(const std::vector<Frame>& frames, const std::vector<int>& pattern, bool crc,
                    Bytes* out, std::string* error) {
  if (frames.empty() || pattern.empty()) {
    *error = "nothing to rewrite";
    return false;
  }
  const int configuration = ((frames[0].header[2] & 1) << 2) | (frames[0].header[3] >> 6);
  const int64_t protected_bits = ProtectedBits(configuration);
  if (crc && protected_bits < 0) {
    *error = "CRC words need channel configuration 1 to 7";
    return false;
  }
  size_t at = 0, k = 0;
  while (at < frames.size()) {
    const int want = pattern[k++ % pattern.size()];
    if (want < 1 || want > 4) {
      *error = "block counts are 1 to 4";
      return false;
    }
    const int count =
        static_cast<int>(std::min<size_t>(static_cast<size_t>(want), frames.size() - at));
    for (int i = 0; i < count; ++i) {
      if (crc && frames[at + static_cast<size_t>(i)].crc < 0) {
        *error = "the input frames carry no CRC to carry over";
        return false;
      }
    }
    const Bytes joined = JoinFrames(&frames[at], count, crc, protected_bits);
    if (joined.size() > 8191) {
      *error = "a joined frame exceeds the 13-bit frame length";
      return false;
    }
    out->insert(out->end(), joined.begin(), joined.end());
    at += static_cast<size_t>(count);
  }
  return true;
}

}  // namespace adts_blocks
