// Helpers for the channel-stream tests: an MSB-first bit writer and a reader
// over its bytes followed by the zero padding that parsers rely on.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "aac/aac_huffman_tables.h"
#include "aac/channel_stream.h"
#include "common/bit_writer.h"
#include "dsp/dsp_core.h"
#include "umc/bit_reader.h"

namespace ics_test {

using BitWriter = vxtest::BitWriter;

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

// ---- codewords from the decoder's own code lists ----

class Books {
 public:
  Books() {
    dspStaticInit();
    EXPECT_EQ(AacHuffmanTablesInit(&tables), 0);
  }
  AacHuffmanTables tables;
};

inline const Books& SharedBooks() {
  static const Books books;
  return books;
}

// cb_used as section_data() leaves it, for codebooks set by hand.
inline void MarkCodebooks(ChannelStream& s) {
  s.cb_used = 0;
  for (const auto& row : s.sfb_cb)
    for (const int32_t cb : row) s.cb_used |= 1u << (cb & 15);
}

// Writes the spectral or scale-factor codeword of `value` (packed as the code list packs it).
inline void PutCode(BitWriter& w, int cb, int32_t value) {
  const AacCodebookInfo& book = kAacCodebooks[cb];
  for (int32_t i = 0; i < book.count; ++i) {
    if (book.codes[i].value == value) {
      w.Put(static_cast<uint32_t>(book.codes[i].code), book.codes[i].length);
      return;
    }
  }
  ADD_FAILURE() << "no code for " << value << " in codebook " << cb;
}

inline void PutScalefactorDelta(BitWriter& w, int delta) {
  PutCode(w, 0, delta + 60);
}

inline void PutQuad(BitWriter& w, int cb, int a, int b, int c, int d) {
  const int s = cb <= 2 ? 2 : 3;
  const int o = cb <= 2 ? 2 : 4;
  PutCode(w, cb, (a << (3 * s)) + ((b + o) << (2 * s)) + ((c + o) << s) + (d + o));
}

inline void PutPair(BitWriter& w, int cb, int y, int z) {
  PutCode(w, cb, y * 256 + (z + 128));
}

// Codebook 11 pair with escapes for magnitudes of 16 and more.
inline void PutEscPair(BitWriter& w, int y, int z) {
  auto code = [](int v) { return std::abs(v) >= 16 ? (v < 0 ? -16 : 16) : v; };
  PutPair(w, 11, code(y), code(z));
  for (int v : {y, z}) {
    const int m = std::abs(v);
    if (m < 16) continue;
    int n = 4;
    while ((1 << (n + 1)) <= m) ++n;  // 2^n <= m < 2^(n+1)
    for (int i = 4; i < n; ++i) w.Put(1, 1);
    w.Put(0, 1).Put(m - (1 << n), n);
  }
}

}  // namespace ics_test
