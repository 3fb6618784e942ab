// Most-significant-bit-first reader over a byte buffer, and the CRC-16 of
// the ADTS error check (ISO/IEC 13818-7 / 14496-3).
//
// The reader never touches memory outside [data, data + size): bits past the
// end read as zero, exactly as if the buffer were followed by zero padding.
// BitReaderOverrun() tells a parser that it has consumed bits beyond the end,
// which on well-formed input never happens.
#pragma once

#include <cstdint>
#include <cstring>

namespace UMC {

struct BitReader {
  const uint8_t* data = nullptr;
  int32_t size = 0;   // stream bytes
  int64_t pos = 0;    // bits consumed since data
  int64_t saved = 0;  // snapshot of pos (BitReaderSave / BitReaderRestore)
};

namespace bitreader_detail {

inline uint64_t LoadBE64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return __builtin_bswap64(v);
}

// Eight stream bytes from byte index `byte` on, zeros past the end.
inline uint64_t Load64(const BitReader& r, int64_t byte) {
  if (byte >= 0 && byte + 8 <= r.size) return LoadBE64(r.data + byte);
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) {
    const int64_t b = byte + i;
    const uint64_t octet = (b >= 0 && b < r.size) ? r.data[b] : 0;
    v = (v << 8) | octet;
  }
  return v;
}

}  // namespace bitreader_detail

inline void BitReaderInit(BitReader& r, const uint8_t* data, int32_t size) {
  r.data = data;
  r.size = (data && size > 0) ? size : 0;
  r.pos = 0;
  r.saved = 0;
}

// Next n bits (0 <= n <= 32) without consuming them.
inline uint32_t BitReaderPeek(const BitReader& r, int n) {
  if (n <= 0) return 0;
  const uint64_t w = bitreader_detail::Load64(r, r.pos >> 3);
  return static_cast<uint32_t>((w << (r.pos & 7)) >> (64 - n));
}

// Reads n bits, 1 <= n <= 32 (0 reads nothing and returns 0).
inline uint32_t BitReaderRead(BitReader& r, int n) {
  const uint32_t v = BitReaderPeek(r, n);
  r.pos += n > 0 ? n : 0;
  return v;
}

inline uint32_t BitReaderRead1(BitReader& r) {
  return BitReaderRead(r, 1);
}

inline void BitReaderSkip(BitReader& r, int64_t n) {
  if (n > 0) r.pos += n;
}

inline void BitReaderByteAlign(BitReader& r) {
  r.pos = (r.pos + 7) & ~int64_t{7};
}

inline int64_t BitReaderBitsConsumed(const BitReader& r) {
  return r.pos;
}

// Bits left before the end of the data (negative after an overrun).
inline int64_t BitReaderBitsLeft(const BitReader& r) {
  return int64_t{r.size} * 8 - r.pos;
}

inline bool BitReaderOverrun(const BitReader& r) {
  return r.pos > int64_t{r.size} * 8;
}

inline void BitReaderSave(BitReader& r) {
  r.saved = r.pos;
}
inline void BitReaderRestore(BitReader& r) {
  r.pos = r.saved;
}
inline void BitReaderCopy(const BitReader& src, BitReader& dst) {
  dst.data = src.data;
  dst.size = src.size;
  dst.pos = src.pos;
}

// Moves to an absolute bit position (used after primitives that advance a
// byte pointer and bit offset of their own).
inline void BitReaderSetPosition(BitReader& r, int64_t bit_pos) {
  r.pos = bit_pos < 0 ? 0 : bit_pos;
}

// ---- CRC-16, polynomial 0x8005, MSB first, initial value 0xFFFF ----------

inline uint16_t Crc16Init() {
  return 0xFFFF;
}

// Feeds nbits stream bits starting at bit position bit_pos of data[0, size)
// (zero bits past the end).
void Crc16UpdateBits(const uint8_t* data, int32_t size, int64_t bit_pos, int64_t nbits,
                     uint16_t* crc);

// Feeds nbits bits from the reader's current position (does not move it).
inline void Crc16UpdateBits(const BitReader& r, int64_t nbits, uint16_t* crc) {
  Crc16UpdateBits(r.data, r.size, r.pos, nbits, crc);
}

void Crc16UpdateZeroBits(int64_t nbits, uint16_t* crc);

// Table of the byte step (table[1] = 0x8005, table[255] = 0x0202).
extern const uint16_t kCrc16Table[256];

}  // namespace UMC
