// Helpers for the channel-stream tests: an MSB-first bit writer and a reader
// over its bytes followed by the zero padding that parsers rely on.
#pragma once

#include <cstdint>
#include <vector>

#include "aac/channel_stream.h"
#include "umc/bit_reader.h"

namespace ics_test {

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

// Owns the stream bytes plus kAacReaderPadding zero bytes; the reader's size
// is the real byte count.
class PaddedStream {
 public:
  explicit PaddedStream(const BitWriter& w) : PaddedStream(w.bytes()) {}
  explicit PaddedStream(const std::vector<uint8_t>& bytes)
      : storage_(bytes.size() + kAacReaderPadding + 64, 0) {
    // 32-byte aligned start, as the frame decoder's internal copy.
    const uintptr_t base = reinterpret_cast<uintptr_t>(storage_.data());
    offset_ = static_cast<size_t>((32 - (base & 31)) & 31);
    for (size_t i = 0; i < bytes.size(); ++i) storage_[offset_ + i] = bytes[i];
    UMC::BitReaderInit(reader, storage_.data() + offset_, static_cast<int32_t>(bytes.size()));
  }
  UMC::BitReader reader;

 private:
  std::vector<uint8_t> storage_;
  size_t offset_ = 0;
};

// Sampling frequency indices used by the tests.
inline constexpr int32_t kSf44100 = 4;
inline constexpr int32_t kSf32000 = 5;
inline constexpr int32_t kObjectMain = 1;
inline constexpr int32_t kObjectLc = 2;
inline constexpr int32_t kObjectLtp = 4;

}  // namespace ics_test
