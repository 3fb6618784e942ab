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

// Copies `bits` bits from the reader's position (zeros past its end) to
// dst, zero-filled to `dst_bytes`; the reader does not move.
void CopyConfigBits(const BitReader& r, int64_t bits, uint8_t* dst, int32_t dst_bytes) {
  BitReader copy;
  BitReaderCopy(r, copy);
  std::memset(dst, 0, static_cast<size_t>(dst_bytes));
  int64_t i = 0;
  for (; i + 8 <= bits; i += 8) dst[i >> 3] = static_cast<uint8_t>(Rd(copy, 8));
  const int rest = static_cast<int>(bits - i);
  if (rest > 0) dst[i >> 3] = static_cast<uint8_t>(Rd(copy, rest) << (8 - rest));
}

// The AudioSpecificConfig of program 0, layer 0: in place (version 0, its
// length unknown) or after its length ascLen, followed by fill bits up to
// that length (version 1).  It is parsed from a copy that starts on a byte,
// because a program_config_element's byte_alignment() counts from the
// configuration's first bit, which version 1 does not align; the copy,
// trimmed to the configuration's length, stays in the record.
int32_t ReadConfig(BitReader& r, LatmMuxConfig& c) {
  constexpr int64_t kMaxBits = int64_t{kLatmMaxConfigBytes} * 8;
  int64_t length = 0;
  if (c.audio_mux_version == 1) {
    length = LatmGetValue(r);
    if (length > kMaxBits) return kLatmMalformed;
  }
  const int64_t left = BitReaderBitsLeft(r);
  const int64_t take = c.audio_mux_version == 1 ? length : (left < kMaxBits ? left : kMaxBits);
  if (take <= 0 || take > left) return kLatmMalformed;
  CopyConfigBits(r, take, c.asc_bytes, kLatmMaxConfigBytes);
  BitReader a;
  BitReaderInit(a, c.asc_bytes, static_cast<int32_t>((take + 7) >> 3));
  if (ParseAudioSpecificConfig(c.asc, a, length) != 0) {
    return BitReaderOverrun(a) ? kLatmMalformed : kLatmUnsupportedConfig;
  }
  const int64_t used = BitReaderBitsConsumed(a);
  if (BitReaderOverrun(a) || used > take) return kLatmMalformed;
  if (c.audio_mux_version == 0) length = used;
  BitReaderSkip(r, length);  // the configuration and its fillBits
  if (BitReaderOverrun(r)) return kLatmMalformed;
  c.asc_bits = static_cast<int32_t>(length);
  c.asc_config_bits = static_cast<int32_t>(used);
  // Zero bits after the configuration, so that equal bits compare equal.
  const int64_t whole = length >> 3;
  if (length & 7) c.asc_bytes[whole] &= static_cast<uint8_t>(0xFF00u >> (length & 7));
  const int64_t first_zero = (length + 7) >> 3;
  std::memset(c.asc_bytes + first_zero, 0, static_cast<size_t>(kLatmMaxConfigBytes - first_zero));
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
