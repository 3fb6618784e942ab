#include "umc/bit_reader.h"

#include <gtest/gtest.h>

#include <vector>

using namespace UMC;

namespace {

TEST(BitReader, ReadsMsbFirstAtAnyAlignment) {
  alignas(8) uint8_t buf[16] = {0xFF, 0xA5, 0x3C, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE};
  for (int off = 0; off < 4; ++off) {
    BitReader r;
    BitReaderInit(r, buf + off, 10 - off);
    EXPECT_EQ(BitReaderBitsConsumed(r), 0);
    EXPECT_EQ(BitReaderRead(r, 8), buf[off]);
    EXPECT_EQ(BitReaderRead(r, 4), static_cast<uint32_t>(buf[off + 1] >> 4));
    EXPECT_EQ(BitReaderBitsConsumed(r), 12);
  }
  BitReader r;
  BitReaderInit(r, buf + 1, 9);
  EXPECT_EQ(BitReaderRead(r, 32), 0xA53C1234u);
  EXPECT_EQ(BitReaderRead(r, 3), 2u);  // 0x56 = 010 10110
  EXPECT_EQ(BitReaderRead(r, 32), 0xB3C4D5E6u);  // 10110 then 0x789ABC, then 0xDE's first 3 bits
}

TEST(BitReader, ByteAlign) {
  const uint8_t buf[4] = {0x80, 0x40, 0x00, 0x00};
  BitReader r;
  BitReaderInit(r, buf, 4);
  BitReaderByteAlign(r);
  EXPECT_EQ(BitReaderBitsConsumed(r), 0);
  BitReaderRead(r, 1);
  BitReaderByteAlign(r);
  EXPECT_EQ(BitReaderBitsConsumed(r), 8);
  EXPECT_EQ(BitReaderRead(r, 2), 1u);
}

TEST(BitReader, PastTheEndReadsZeroAndReportsOverrun) {
  // A buffer of exactly three bytes on the heap: the sanitizer build catches
  // any access beyond it.
  std::vector<uint8_t> v = {0xFF, 0xFF, 0xFF};
  BitReader r;
  BitReaderInit(r, v.data(), static_cast<int32_t>(v.size()));
  EXPECT_EQ(BitReaderRead(r, 20), 0xFFFFFu);
  EXPECT_FALSE(BitReaderOverrun(r));
  EXPECT_EQ(BitReaderRead(r, 8), 0xF0u);
  EXPECT_TRUE(BitReaderOverrun(r));
  for (int i = 0; i < 100; ++i) EXPECT_EQ(BitReaderRead(r, 32), 0u);
  EXPECT_EQ(BitReaderBitsConsumed(r), 28 + 3200);
  BitReaderInit(r, nullptr, 100);
  EXPECT_EQ(BitReaderRead(r, 32), 0u);
}

TEST(BitReader, SaveRestore) {
  const uint8_t buf[4] = {0x12, 0x34, 0x56, 0x78};
  BitReader r;
  BitReaderInit(r, buf, 4);
  BitReaderRead(r, 5);
  BitReaderSave(r);
  const uint32_t a = BitReaderRead(r, 11);
  BitReaderRestore(r);
  EXPECT_EQ(BitReaderRead(r, 11), a);
}

TEST(Crc16, AbcAsBitsAndBytes) {
  const uint8_t abc[3] = {'a', 'b', 'c'};
  uint16_t c1 = Crc16Init();
  Crc16UpdateBits(abc, 3, 0, 24, &c1);
  EXPECT_EQ(c1, 0x44D8);
  uint16_t c2 = Crc16Init();
  for (int i = 0; i < 24; i += 3) Crc16UpdateBits(abc, 3, i, 3, &c2);
  EXPECT_EQ(c2, 0x44D8);
  EXPECT_EQ(kCrc16Table[1], 0x8005);
  EXPECT_EQ(kCrc16Table[255], 0x0202);
  uint16_t z1 = 0x1234, z2 = 0x1234;
  Crc16UpdateZeroBits(8, &z1);
  const uint8_t zero = 0;
  Crc16UpdateBits(&zero, 1, 0, 8, &z2);
  EXPECT_EQ(z1, z2);
}

}  // namespace
