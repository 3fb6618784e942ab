#include "umc/bit_reader.h"

namespace UMC {

namespace {

constexpr uint16_t Crc16Entry(uint32_t byte) {
  uint32_t c = byte << 8;
  for (int i = 0; i < 8; ++i) c = (c & 0x8000) ? ((c << 1) ^ 0x8005) : (c << 1);
  return static_cast<uint16_t>(c & 0xFFFF);
}

constexpr auto MakeCrc16Table() {
  struct T {
    uint16_t v[256];
  } t{};
  for (uint32_t i = 0; i < 256; ++i) t.v[i] = Crc16Entry(i);
  return t;
}

constexpr auto kTable = MakeCrc16Table();

inline uint16_t BitStep(uint16_t crc, uint32_t bit) {
  const uint32_t top = (crc >> 15) & 1;
  const uint32_t c = static_cast<uint32_t>(crc) << 1;
  return static_cast<uint16_t>(((bit ^ top) ? (c ^ 0x8005) : c) & 0xFFFF);
}

inline uint16_t ByteStep(uint16_t crc, uint32_t byte) {
  return static_cast<uint16_t>(kTable.v[((crc >> 8) ^ byte) & 0xFF] ^ (crc << 8));
}

inline uint32_t ByteAt(const uint8_t* data, int32_t size, int64_t i) {
  return (i >= 0 && i < size) ? data[i] : 0;
}

}  // namespace

const uint16_t kCrc16Table[256] = {
#define VX_ROW(i) kTable.v[i], kTable.v[i + 1], kTable.v[i + 2], kTable.v[i + 3]
#define VX_ROW16(i) VX_ROW(i), VX_ROW(i + 4), VX_ROW(i + 8), VX_ROW(i + 12)
    VX_ROW16(0),   VX_ROW16(16),  VX_ROW16(32),  VX_ROW16(48),  VX_ROW16(64),  VX_ROW16(80),
    VX_ROW16(96),  VX_ROW16(112), VX_ROW16(128), VX_ROW16(144), VX_ROW16(160), VX_ROW16(176),
    VX_ROW16(192), VX_ROW16(208), VX_ROW16(224), VX_ROW16(240)
#undef VX_ROW16
#undef VX_ROW
};

void Crc16UpdateBits(const uint8_t* data, int32_t size, int64_t bit_pos, int64_t nbits,
                     uint16_t* crc) {
  if (!crc || nbits <= 0) return;
  if (!data) size = 0;
  uint16_t c = *crc;
  // Leading bits up to a byte boundary.
  while (nbits > 0 && (bit_pos & 7)) {
    const uint32_t bit = (ByteAt(data, size, bit_pos >> 3) >> (7 - (bit_pos & 7))) & 1;
    c = BitStep(c, bit);
    ++bit_pos;
    --nbits;
  }
  // Whole bytes.
  int64_t byte = bit_pos >> 3;
  while (nbits >= 8) {
    c = ByteStep(c, ByteAt(data, size, byte++));
    nbits -= 8;
  }
  // Trailing bits.
  const uint32_t last = ByteAt(data, size, byte);
  for (int i = 0; i < nbits; ++i) c = BitStep(c, (last >> (7 - i)) & 1);
  *crc = c;
}

void Crc16UpdateZeroBits(int64_t nbits, uint16_t* crc) {
  if (!crc || nbits <= 0) return;
  uint16_t c = *crc;
  for (int64_t i = 0; i < nbits / 8; ++i) c = ByteStep(c, 0);
  for (int64_t i = 0; i < nbits % 8; ++i) c = BitStep(c, 0);
  *crc = c;
}

}  // namespace UMC
