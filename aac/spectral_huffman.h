// Lookup tables and bit cursor of the AAC Huffman decoders (spectral data
// and scale factors), specialised for speed.
//
// A table is an array of 16-bit entries (half the cache lines of wider
// ones: the decode is bound by its table loads, and in a media pipeline
// the tables leave the cache between frames); the root level has 2^R of
// them (R: the book's root_bits), indexed by the next R stream bits.
// Entry layout:
//   leaf:      bits 0..3 the bits the code word uses at this level (1..15),
//              the value fields above (see below);
//   sub-table: bits 0..3 zero, bits 4..7 its width w (1..8), bits 8..15
//              its start: 16 x that number of entries after the root; it is
//              indexed by the next w bits;
//   no code word: 0.
// Value fields: quadruples hold, in bits 6..15, their number in the
// decoder's table of quadruples (spectral_data.cpp); pairs two signed 5-bit
// fields (first in bits 11..15, second in bits 6..10); pairs of the escape
// codebook two signed 6-bit fields (bits 10..15 and 4..9); scale factors
// the value 0..120 in bits 6..15.  Bits 4..5 of all but escape-codebook
// leaves are zero, so that the entry itself is the shift count.  The signs
// of the unsigned codebooks are part of the code words (as in the code
// lists), so one lookup gives the signed tuple.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Root level width of the scale factors' table (the spectral books' are in
// their AacHuffBook).
inline constexpr int32_t kAacSfRootBits = 8;

inline constexpr int32_t kAacHuffLengthMask = 15;
inline constexpr int32_t kAacHuffValueShift = 6;
// What AacHuffDecode returns for a bit pattern without a code word (any
// leaf fits 16 bits).
inline constexpr uint32_t kAacHuffInvalid = 1u << 16;

// One codebook's table and decoding parameters.
struct AacHuffBook {
  const uint16_t* entries = nullptr;
  int32_t root_bits = 0;   // width of the root level
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

// Resolves a root entry that points to a sub-table (the root level's
// `root_bits` not yet consumed from `cache`).  Returns the leaf with its
// length field cleared and, in bits 16..31, the bits the code word uses; 0
// for a bit pattern without a code word.  Out of line: a sub-table walk is
// rare, and its code would crowd the decode loops.  It reads nothing but
// constant tables: declared const, the call does not make the decode loops
// keep their reader in memory.
__attribute__((noinline, const)) inline uint32_t AacHuffDeep(const uint16_t* t, uint64_t cache,
                                                             int32_t root_bits, uint32_t e) {
  const uint16_t* const below_root = t + (size_t{1} << root_bits);
  uint32_t consumed = static_cast<uint32_t>(root_bits);
  for (int32_t level = 0; level < 4 && e != 0; ++level) {
    const uint32_t w = (e >> 4) & 15;
    const uint32_t idx = static_cast<uint32_t>((cache << consumed) >> (64 - w));
    e = below_root[(e >> 8) * 16 + idx];
    if (e & kAacHuffLengthMask) {
      consumed += e & kAacHuffLengthMask;
      return (e & ~static_cast<uint32_t>(kAacHuffLengthMask)) | consumed << 16;
    }
    consumed += w;
  }
  return 0;
}

// One code word; the cache holds at least book.max_length bits.  Returns
// the leaf, kAacHuffInvalid for no code word.  Outside the escape codebook
// the shift by the entry itself keeps a mask off the chain from one look-up
// to the next.
template <bool kEscBook = false>
inline uint32_t AacHuffDecode(const uint16_t* entries, int32_t root_bits, AacBits& b) {
  const uint32_t e = entries[b.cache >> (64 - root_bits)];
  if (__builtin_expect((e & kAacHuffLengthMask) == 0, 0)) {
    const uint32_t d = AacHuffDeep(entries, b.cache, root_bits, e);
    if (d == 0) return kAacHuffInvalid;
    b.Skip(static_cast<int32_t>(d >> 16));
    return d & 0xffff;
  }
  b.cache <<= kEscBook ? (e & kAacHuffLengthMask) : (e & 63);
  b.valid -= static_cast<int32_t>(e & kAacHuffLengthMask);
  return e;
}

// Value fields of a leaf.
inline int32_t AacHuffQuadIndex(uint32_t e) {
  return static_cast<int32_t>(e >> kAacHuffValueShift);
}
inline int32_t AacHuffPairY(uint32_t e) {
  return static_cast<int16_t>(e) >> 11;
}
inline int32_t AacHuffPairZ(uint32_t e) {
  return static_cast<int32_t>(e << 21) >> 27;
}
inline int32_t AacHuffEscY(uint32_t e) {
  return static_cast<int16_t>(e) >> 10;
}
inline int32_t AacHuffEscZ(uint32_t e) {
  return static_cast<int32_t>(e << 22) >> 26;
}
inline int32_t AacHuffScalefactor(uint32_t e) {
  return static_cast<int32_t>(e >> kAacHuffValueShift);
}
