// MSB-first bit writer for hand-built bitstreams in the tests.
#pragma once

#include <cstdint>
#include <vector>

namespace vxtest {

class BitWriter {
 public:
  // Appends the low `bits` bits of `value`, most significant first.
  BitWriter& Put(uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) PutBit((value >> i) & 1);
    return *this;
  }
  // A code given as a string of '0' and '1'.
  BitWriter& PutCode(const char* code) {
    for (; *code; ++code) PutBit(*code == '1');
    return *this;
  }
  // Every bit another writer holds.
  BitWriter& Append(const BitWriter& w) {
    for (int64_t i = 0; i < w.bits_; ++i) PutBit((w.bytes_[i >> 3] >> (7 - (i & 7))) & 1);
    return *this;
  }
  int64_t bits() const { return bits_; }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  void PutBit(uint32_t b) {
    if ((bits_ & 7) == 0) bytes_.push_back(0);
    if (b) bytes_.back() |= static_cast<uint8_t>(0x80u >> (bits_ & 7));
    ++bits_;
  }
  std::vector<uint8_t> bytes_;
  int64_t bits_ = 0;
};

}  // namespace vxtest
