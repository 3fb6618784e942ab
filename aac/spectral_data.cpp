// spectral_data() (ISO/IEC 14496-3, 4.4.2.7 and 4.6.3): Huffman-coded
// quantised values of every band.
//
// The code lists fold the sign bits of the unsigned codebooks into the
// codewords, so one lookup in the decoders' own tables (spectral_huffman.h)
// gives a signed quadruple or pair, written straight into the band; runs of
// bands with one codebook are decoded in one loop, escapes inline.
#include <array>
#include <cstring>

#include "aac/aac_huffman_tables.h"
#include "aac/channel_stream.h"

namespace {

constexpr int32_t kRefillBits = 56;  // bits in the cache after a refill, at least

// Quadruples of the four quad codebooks, each value -2..2, by the base-5
// number of their values + 2 (first value most significant): one 8-byte copy
// writes a decoded quadruple.  Quad leaves hold that number.
struct Quad {
  int16_t v[4];
};
constexpr int32_t kQuadCount = 625;
constexpr std::array<Quad, kQuadCount> MakeQuads() {
  std::array<Quad, kQuadCount> t{};
  for (int32_t i = 0; i < kQuadCount; ++i) {
    for (int32_t k = 0, r = i; k < 4; ++k, r /= 5) t[i].v[3 - k] = static_cast<int16_t>(r % 5 - 2);
  }
  return t;
}
constexpr std::array<Quad, kQuadCount> kQuads = MakeQuads();

// ---- spectral data -----------------------------------------------------------

// Escape of codebook 11 for a value of +/-16: N ones, a zero, then N + 4
// bits (N <= 8, at most 21 bits, which the cache must hold).
inline bool Escape(AacBits& b, int32_t* v) {
  const int32_t ones = __builtin_clzll(~b.cache | 1);  // 63 for 64 ones: > 8 all the same
  if (ones > 8) {
    b.Skip(9);  // read up to the ninth one, as a bit-serial reader would
    return false;
  }
  const int32_t a = ones + 4;
  const int32_t w = static_cast<int32_t>((b.cache << (ones + 1)) >> (64 - a));
  b.Skip(ones + 1 + a);
  const int32_t magnitude = (1 << a) + w;
  *v = *v < 0 ? -magnitude : magnitude;
  return true;
}

// A pair of codebook 11 with an escape in either value.  Inline, so that
// the decode loop keeps its reader in registers (a call taking the reader
// by reference made every code word store it and load it back).  One
// refill serves both escapes (2 x 21 bits); another leaves the cache full
// for the code words after in the refill group, if any.
__attribute__((always_inline)) inline bool EscapedPair(AacBits& b, int32_t y, int32_t z,
                                                       bool refill_after, int16_t* out) {
  b.Refill();
  if ((y == 16 || y == -16) && !Escape(b, &y)) return false;
  if ((z == 16 || z == -16) && !Escape(b, &z)) return false;
  if (refill_after) b.Refill();
  out[0] = static_cast<int16_t>(y);
  out[1] = static_cast<int16_t>(z);
  return true;
}

// One code word's values into out[0..kStep-1]; false for a malformed code
// word or escape.  After escapes the cache is refilled unless `last` (the
// last word of its refill group): the code words that follow in the same
// group find the bits a refill guarantees.
template <int kKind>
__attribute__((always_inline)) inline bool DecodeWord(AacBits& b, const uint16_t* entries,
                                                      int32_t root_bits, bool last, int16_t* out) {
  const uint32_t e = AacHuffDecode<kKind == 2>(entries, root_bits, b);
  if (e == kAacHuffInvalid) return false;
  if (kKind == 0) {
    std::memcpy(out, kQuads[AacHuffQuadIndex(e)].v, sizeof(Quad));
    return true;
  }
  const int32_t y = kKind == 2 ? AacHuffEscY(e) : AacHuffPairY(e);
  const int32_t z = kKind == 2 ? AacHuffEscZ(e) : AacHuffPairZ(e);
  if (kKind == 2 && __builtin_expect(y == 16 || y == -16 || z == 16 || z == -16, 0)) {
    return EscapedPair(b, y, z, !last, out);
  }
  out[0] = static_cast<int16_t>(y);
  out[1] = static_cast<int16_t>(z);
  return true;
}

// `lines` values of one codebook (kind 0 quadruples, 1 pairs, 2 pairs with
// escapes) into `out`, kPer code words per refill (kPer longest code words
// fit in the bits a refill leaves): a fixed trip count, so the branches
// follow the code words' count, not their lengths.
template <int kKind, int kPer>
int DecodeLines(AacBits& b, const AacHuffBook& book, int16_t* out, int32_t lines) {
  constexpr int32_t kStep = kKind == 0 ? 4 : 2;
  const int32_t n = lines / kStep;
  // In locals: the stores of decoded values could alias the book.
  const uint16_t* const entries = book.entries;
  const int32_t root_bits = book.root_bits;
  int32_t i = 0;
  for (; i + kPer <= n; i += kPer) {
    b.Refill();
#pragma GCC unroll 4
    for (int32_t j = 0; j < kPer; ++j) {
      if (!DecodeWord<kKind>(b, entries, root_bits, j == kPer - 1, out + kStep * (i + j))) {
        return -1;
      }
    }
  }
  for (; i < n; ++i) {
    b.Refill();
    if (!DecodeWord<kKind>(b, entries, root_bits, true, out + kStep * i)) return -1;
  }
  if (n * kStep < lines) std::memset(out + n * kStep, 0, (lines - n * kStep) * sizeof(int16_t));
  return 0;
}

template <int kKind>
int DecodeBook(AacBits& b, const AacHuffBook& book, int16_t* out, int32_t lines) {
  // Pair books take three code words per refill (AacHuffmanTablesInit checks
  // it): one loop less to crowd the instruction cache.
  if (kKind != 0 || book.per_refill >= 3) return DecodeLines<kKind, 3>(b, book, out, lines);
  return DecodeLines<kKind, 2>(b, book, out, lines);
}

// A run of bands with codebook `cb`: `lines` values into `out`.
int DecodeRun(AacBits& b, const AacHuffmanTables& books, int32_t cb, int32_t lines, int16_t* out) {
  if (cb <= ZERO_HCB || cb > ESC_HCB) {
    std::memset(out, 0, lines * sizeof(int16_t));
    return 0;
  }
  const AacHuffBook& book = books.fast[cb];
  switch (kAacCodebooks[cb].kind) {
    case 0:
      return DecodeBook<0>(b, book, out, lines);
    case 1:
      return DecodeBook<1>(b, book, out, lines);
    default:
      return DecodeBook<2>(b, book, out, lines);
  }
}

}  // namespace

namespace {

// The bands of every group, section by section (section_data() marks where
// each starts); `bits` ends where decoding stopped.
int DecodeGroups(ChannelStream& s, const int32_t* offset, AacBits& bits, const uint8_t* data,
                 int64_t limit, const AacHuffmanTables& books) {
  static_assert(kAacMaxSfb < 64, "a group's bands fit one mask");
  int32_t p = 0;
  for (int32_t g = 0; g < s.num_window_groups; ++g) {
    const int32_t length = s.window_group_length[g];
    const int32_t* cbs = s.sfb_cb[g];
    // Masked to max_sfb: no band beyond the offsets, whatever the record.
    const uint64_t below_max = (uint64_t{1} << s.max_sfb) - 1;
    for (uint64_t starts = s.section_starts[g] & below_max; starts != 0;) {
      const int32_t b = __builtin_ctzll(starts);
      starts &= starts - 1;
      const int32_t e = starts != 0 ? __builtin_ctzll(starts) : s.max_sfb;
      const int32_t lines = (offset[e] - offset[b]) * length;
      if (lines < 0 || p + lines > kAacFrameLength) return -1;
      if (bits.Position(data) > limit) return -1;
      if (DecodeRun(bits, books, cbs[b], lines, s.quant + p) != 0) return -1;
      p += lines;
    }
  }
  return 0;
}

}  // namespace

int DecodeSpectralData(ChannelStream& s, UMC::BitReader& r, const AacHuffmanTables& books) {
  const bool short_windows = s.window_sequence == EIGHT_SHORT_SEQUENCE;
  const int32_t* offset = short_windows ? s.bands.swb_offset_short : s.bands.swb_offset_long;
  const int32_t num_swb = short_windows ? s.bands.num_swb_short : s.bands.num_swb_long;
  if (!offset || s.max_sfb < 0 || s.max_sfb > num_swb || s.num_window_groups > kAacMaxWindows) {
    return -1;
  }
  if (UMC::BitReaderOverrun(r)) return -1;
  // At most 1024 lines of code words (with escapes, 512 pairs of at most 56
  // bits) follow the start: all within the reader's padding.  Runs of bands
  // with the same codebook go through one call; each starts within the data.
  // The reader ends where decoding stopped, also on failure: a caller tells
  // data that ends early (position past the end) from malformed data.
  AacBits bits;
  bits.Start(r.data, r.pos);
  const int status = DecodeGroups(s, offset, bits, r.data, int64_t{r.size} * 8, books);
  UMC::BitReaderSetPosition(r, bits.Position(r.data));
  return status == 0 && !UMC::BitReaderOverrun(r) ? 0 : -1;
}

int AacHuffmanTablesInit(AacHuffmanTables* tables) {
  static_assert(kAacHuffFastSfRootBits == kAacSfRootBits, "generated tables of another root width");
  if (!tables) return -1;
  for (int cb = 0; cb < 12; ++cb) {
    const int32_t max_length = kAacHuffFast[cb].max_length;
    // DecodeLines takes two per refill at least, three for pair books
    const int32_t kind = kAacCodebooks[cb].kind;
    if ((kind == 1 || kind == 2 ? 3 : 2) * max_length > kRefillBits) return -1;
    tables->fast[cb] = AacHuffBook{kAacHuffFast[cb].entries, kAacHuffFast[cb].root_bits, max_length,
                                   kRefillBits / max_length};
  }
  return 0;
}
