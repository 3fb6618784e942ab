// Lookup tables and bit cursor of the AAC Huffman decoders (spectral data
// and scale factors), specialised for speed.
//
// A table is an array of 32-bit entries; the root level has 2^R of them
// (R: kAacEscRootBits for the escape codebook, else kAacHuffRootBits),
// indexed by the next R stream bits.
// Entry layout:
//   leaf:     bits 0..4 the bits the code word uses at this level (1..31),
//             bits 16..31 the value fields (see below);
//   sub-table: bits 0..4 zero, bits 8..11 its width w (1..15), bits 12..31
//             the index of its first entry, indexed by the next w bits;
//   no code word: 0.
// Value fields: quadruples hold four signed 4-bit fields (first element in
// bits 28..31) and, in bits 6..15, their number in the decoder's table of
// quadruples (spectral_data.cpp), pairs two signed 8-bit fields (first in bits 24..31), scale
// factors the value 0..120 in bits 16..31.  The signs of the unsigned
// codebooks are part of the code words (as in the code lists), so one lookup
// gives the signed tuple.
#pragma once

#include <cstdint>
#include <cstring>

// Root level width of the AAC tables; the escape codebook's is wider: with
// its sign bits, 28% of its code words in typical streams are longer than
// 10 bits, and every sub-table look-up is a mispredicted branch, while its
// 16-KB root touches no more cache lines per frame than a frame has code
// words.
inline constexpr int32_t kAacHuffRootBits = 10;
inline constexpr int32_t kAacEscRootBits = 12;

// One codebook's table and decoding parameters.
struct AacHuffBook {
  const uint32_t* entries = nullptr;
  int32_t max_length = 0;  // longest code word, sign bits included
  int32_t per_refill = 0;  // code words decodable after one refill
};

// MSB-first reader over a padded buffer: `cache` holds `valid` (0..63; 56 or
// more after Refill) unread bits left-aligned, followed by stream bits or
// zeros; the stream bit at position p * 8 comes right after the valid ones.  Refill loads 8 bytes
// at p, so the caller guarantees 8 readable bytes beyond any position a decode can reach.
struct AacBits {
  const uint8_t* p;
  uint64_t cache;
  int32_t valid;

  static uint64_t LoadBE64(const uint8_t* at) {
    uint64_t v;
    std::memcpy(&v, at, 8);
    return __builtin_bswap64(v);
  }
  void Start(const uint8_t* data, int64_t bit_pos) {
    const uint8_t* at = data + (bit_pos >> 3);
    const int32_t off = static_cast<int32_t>(bit_pos & 7);
    cache = LoadBE64(at) << off;
    valid = 56 - off;  // below 64, as Refill needs
    p = at + 7;
  }
  // Bits consumed since `data`.
  int64_t Position(const uint8_t* data) const { return (p - data) * 8 - valid; }
  void Refill() {
    cache |= LoadBE64(p) >> valid;
    p += (63 - valid) >> 3;
    valid |= 56;
  }
  void Skip(int32_t n) {
    cache <<= n;
    valid -= n;
  }
};

// Resolves an entry that points to a sub-table (the root level's
// `root_bits` not yet consumed).  Returns a leaf whose length field counts
// every level's bits, or 0 for a bit pattern without a code word.
inline uint32_t AacHuffDeep(const uint32_t* t, uint64_t cache, int32_t root_bits, uint32_t e) {
  int32_t consumed = root_bits;
  for (int32_t level = 0; level < 4; ++level) {
    const int32_t w = static_cast<int32_t>((e >> 8) & 15);
    if (w == 0) return 0;
    const uint32_t idx = static_cast<uint32_t>((cache << consumed) >> (64 - w));
    e = t[(e >> 12) + idx];
    if (e & 31) {
      const int32_t total = consumed + static_cast<int32_t>(e & 31);
      return total > 31 ? 0 : (e & ~31u) | static_cast<uint32_t>(total);
    }
    consumed += w;
  }
  return 0;
}

// One code word; the cache holds at least book.max_length bits.  Returns
// the leaf (length field: bits used), 0 for no code word.  The shift by the
// entry itself (bits 5..7 of a leaf are zero, so its low six bits are the
// length) keeps a mask off the chain from one look-up to the next.
template <int32_t kRootBits>
inline uint32_t AacHuffDecode(const uint32_t* entries, AacBits& b) {
  uint32_t e = entries[b.cache >> (64 - kRootBits)];
  if (__builtin_expect((e & 31) == 0, 0)) {
    e = AacHuffDeep(entries, b.cache, kRootBits, e);
    if (e == 0) return 0;
  }
  b.cache <<= (e & 63);
  b.valid -= static_cast<int32_t>(e & 31);
  return e;
}
