#include "umc/latm.h"

#include <cstring>

namespace UMC {

namespace {

// An element is at most 8191 bytes: other data longer than that cannot be
// real, and the escape-coded length must not overflow.
constexpr int64_t kMaxOtherDataBits = int64_t{1} << 32;

int32_t Rd(BitReader& r, int n) {
  return static_cast<int32_t>(BitReaderRead(r, n));
}

// LatmGetValue(): bytesForValue (2 bits), then bytesForValue + 1 bytes.
int64_t LatmGetValue(BitReader& r) {
  const int32_t bytes = Rd(r, 2) + 1;
  int64_t v = 0;
  for (int32_t i = 0; i < bytes; ++i) v = (v << 8) | Rd(r, 8);
  return v;
}

// Copies `bytes` bytes that start `bit` bits into data[0, size) to dst; the
// caller has checked that they lie inside the data.
void CopyBits(const uint8_t* data, int32_t size, int64_t bit, int32_t bytes, uint8_t* dst) {
  const int64_t b = bit >> 3;
  const int s = static_cast<int>(bit & 7);
  if (s == 0) {
    std::memcpy(dst, data + b, static_cast<size_t>(bytes));
    return;
  }
  for (int32_t k = 0; k < bytes; ++k) {
    const uint32_t hi = data[b + k];
    const uint32_t lo = b + k + 1 < size ? data[b + k + 1] : 0;
    dst[k] = static_cast<uint8_t>((hi << s) | (lo >> (8 - s)));
  }
}

// The AudioSpecificConfig of program 0, layer 0: in place (version 0, its
// length unknown) or after its length ascLen, followed by fill bits up to
// that length (version 1).  Keeps a copy of its bits.
int32_t ReadConfig(BitReader& r, LatmMuxConfig& c) {
  int64_t length = 0;
  if (c.audio_mux_version == 1) {
    length = LatmGetValue(r);
    if (length > int64_t{kLatmMaxConfigBytes} * 8) return kLatmMalformed;
  }
  const int64_t start = BitReaderBitsConsumed(r);
  if (ParseAudioSpecificConfig(c.asc, r, length) != 0) {
    return BitReaderOverrun(r) ? kLatmMalformed : kLatmUnsupportedConfig;
  }
  const int64_t used = BitReaderBitsConsumed(r) - start;
  if (c.audio_mux_version == 1) {
    if (used > length) return kLatmMalformed;
    BitReaderSetPosition(r, start + length);  // fillBits
  } else {
    length = used;
    if (length > int64_t{kLatmMaxConfigBytes} * 8) return kLatmMalformed;
  }
  if (BitReaderOverrun(r)) return kLatmMalformed;
  c.asc_bits = static_cast<int32_t>(length);
  BitReader copy;
  BitReaderCopy(r, copy);
  BitReaderSetPosition(copy, start);
  std::memset(c.asc_bytes, 0, sizeof(c.asc_bytes));
  int64_t i = 0;
  for (; i + 8 <= length; i += 8) c.asc_bytes[i >> 3] = static_cast<uint8_t>(Rd(copy, 8));
  const int rest = static_cast<int>(length - i);
  if (rest > 0) c.asc_bytes[i >> 3] = static_cast<uint8_t>(Rd(copy, rest) << (8 - rest));
  return kLatmOk;
}

// A layout is refused only when its fields lie inside the data; zeros read
// past the end make a malformed element, not a refused one.
int32_t Refuse(const BitReader& r, LatmMuxConfig& c, int32_t refusal) {
  if (BitReaderOverrun(r)) return kLatmMalformed;
  c.refusal = refusal;
  return kLatmUnsupportedLayout;
}

}  // namespace

const char* LatmRefusalText(int32_t refusal) {
  switch (refusal) {
    case kLatmRefusalVersionA:
      return "audioMuxVersionA 1 (reserved)";
    case kLatmRefusalPrograms:
      return "several programs in the multiplex";
    case kLatmRefusalLayers:
      return "several layers in the multiplex";
    case kLatmRefusalTimeFraming:
      return "streams with their own time framing (allStreamsSameTimeFraming 0)";
    case kLatmRefusalFrameLengthType:
      return "payloads of a fixed or coded length (frameLengthType other than 0)";
    default:
      return "none";
  }
}

int32_t LoasFrameBytes(const uint8_t* p, int64_t n) {
  if (n < kLoasHeaderBytes || p[0] != 0x56 || (p[1] & 0xE0) != 0xE0) return 0;
  const int32_t length = ((p[1] & 0x1F) << 8) | p[2];
  return length > 0 ? kLoasHeaderBytes + length : 0;
}

bool LoasSyncPrefix(const uint8_t* p, int64_t n) {
  if (n <= 0) return true;
  if (p[0] != 0x56) return false;
  return n == 1 || (p[1] & 0xE0) == 0xE0;
}

int64_t FindLoasStart(const uint8_t* p, int64_t n, int64_t max_search, bool* pending) {
  *pending = false;
  for (int64_t i = 0; i + kLoasHeaderBytes <= n && i < max_search; ++i) {
    const int32_t length = LoasFrameBytes(p + i, n - i);
    if (length == 0) continue;
    const int64_t next = i + length;
    if (next == n) return i;  // the last frame of the data
    if (next + 2 > n) {
      *pending = true;
      return i;
    }
    if (LoasSyncPrefix(p + next, 2)) return i;
  }
  return -1;
}

int32_t ParseStreamMuxConfig(BitReader& r, LatmMuxConfig& c) {
  std::memset(&c, 0, sizeof(c));
  c.audio_mux_version = Rd(r, 1);
  c.audio_mux_version_a = c.audio_mux_version ? Rd(r, 1) : 0;
  if (c.audio_mux_version_a) return Refuse(r, c, kLatmRefusalVersionA);
  if (c.audio_mux_version == 1) {
    const int64_t tara = LatmGetValue(r);
    c.tara_buffer_fullness = static_cast<int32_t>(tara > INT32_MAX ? INT32_MAX : tara);
  }
  c.all_streams_same_time_framing = Rd(r, 1);
  c.num_sub_frames = Rd(r, 6);
  c.num_program = Rd(r, 4);
  if (c.num_program != 0) return Refuse(r, c, kLatmRefusalPrograms);
  c.num_layer = Rd(r, 3);
  if (c.num_layer != 0) return Refuse(r, c, kLatmRefusalLayers);
  // Program 0, layer 0 has no useSameConfig: its configuration follows.
  if (const int32_t st = ReadConfig(r, c); st != kLatmOk) return st;
  c.frame_length_type = Rd(r, 3);
  if (c.frame_length_type != 0) return Refuse(r, c, kLatmRefusalFrameLengthType);
  c.latm_buffer_fullness = Rd(r, 8);
  // With one layer there is no coreFrameOffset, but the payload lengths of
  // streams with their own time framing come in chunks: not taken apart.
  if (!c.all_streams_same_time_framing) return Refuse(r, c, kLatmRefusalTimeFraming);
  c.other_data_present = Rd(r, 1);
  if (c.other_data_present) {
    if (c.audio_mux_version == 1) {
      c.other_data_len_bits = LatmGetValue(r);
    } else {
      int32_t esc = 1;
      while (esc && c.other_data_len_bits < kMaxOtherDataBits) {
        esc = Rd(r, 1);
        c.other_data_len_bits = c.other_data_len_bits * 256 + Rd(r, 8);
      }
    }
    if (c.other_data_len_bits >= kMaxOtherDataBits) return kLatmMalformed;
  }
  c.crc_check_present = Rd(r, 1);
  if (c.crc_check_present) c.crc_check_sum = Rd(r, 8);
  return BitReaderOverrun(r) ? kLatmMalformed : kLatmOk;
}

int32_t ParseAudioMuxElement(const uint8_t* data, int32_t size, const LatmMuxConfig* current,
                             LatmMuxConfig& incoming, bool* new_config, LatmPayloads& out,
                             uint8_t* payload, int32_t capacity) {
  out.count = 0;
  *new_config = false;
  if (!data || size <= 0) return kLatmMalformed;
  BitReader r;
  BitReaderInit(r, data, size);
  const LatmMuxConfig* c = current;
  if (Rd(r, 1) == 0) {  // useSameStreamMux
    if (const int32_t st = ParseStreamMuxConfig(r, incoming); st != kLatmOk) return st;
    *new_config = true;
    c = &incoming;
  } else if (!c) {
    return kLatmNoConfig;
  }
  const int64_t end = int64_t{size} * 8;
  const int32_t count = c->num_sub_frames + 1;
  int32_t used = 0;
  for (int32_t i = 0; i < count; ++i) {
    // PayloadLengthInfo() of frameLengthType 0: bytes of 255 continue it.
    int32_t length = 0;
    int32_t tmp = 255;
    while (tmp == 255 && length <= size) {
      tmp = Rd(r, 8);
      length += tmp;
    }
    const int64_t at = BitReaderBitsConsumed(r);
    if (length > size || at + int64_t{length} * 8 > end || used + length > capacity) {
      return kLatmMalformed;
    }
    CopyBits(data, size, at, length, payload + used);  // PayloadMux()
    out.offset[i] = used;
    out.length[i] = length;
    used += length;
    BitReaderSkip(r, int64_t{length} * 8);
  }
  if (c->other_data_present) {
    if (BitReaderBitsConsumed(r) + c->other_data_len_bits > end) return kLatmMalformed;
    BitReaderSkip(r, c->other_data_len_bits);
  }
  out.count = count;
  return kLatmOk;
}

}  // namespace UMC
