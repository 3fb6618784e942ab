// spectral_data() (ISO/IEC 14496-3, 4.4.2.7 and 4.6.3): Huffman-coded
// quantised values of every band, and the decoder tables of the twelve
// codebooks.
//
// The code lists fold the sign bits of the unsigned codebooks into the
// codewords, so one lookup in the decoders' own tables (spectral_huffman.h)
// gives a signed quadruple or pair, written straight into the band; runs of
// bands with one codebook are decoded in one loop, escapes inline.
#include <algorithm>
#include <array>
#include <cstring>

#include "aac/aac_huffman_tables.h"
#include "aac/channel_stream.h"
#include "dsp/dsp_core.h"
#include "dsp/dsp_vlc.h"

namespace {

constexpr int32_t kAlign = 32;
constexpr int32_t kMaxSubBits = 12;
constexpr int32_t kRefillBits = 56;  // bits in the cache after a refill, at least

// ---- the AAC decoders' own tables (spectral_huffman.h) ---------------------

// Quadruples of the four quad codebooks, each value -2..2, by the base-5
// number of their values + 2 (first value most significant): one 8-byte copy
// writes a decoded quadruple.  Quad leaves hold that number in bits 6..15.
struct Quad {
  int16_t v[4];
};
constexpr int32_t kQuadCount = 625;
constexpr int32_t kQuadShift = 6;
constexpr std::array<Quad, kQuadCount> MakeQuads() {
  std::array<Quad, kQuadCount> t{};
  for (int32_t i = 0; i < kQuadCount; ++i) {
    for (int32_t k = 0, r = i; k < 4; ++k, r /= 5) t[i].v[3 - k] = static_cast<int16_t>(r % 5 - 2);
  }
  return t;
}
constexpr std::array<Quad, kQuadCount> kQuads = MakeQuads();

// A code list value as the entry's value fields; 0 for a quadruple outside
// -2..2 (no AAC codebook has one).
uint32_t FieldsOf(const AacCodebookInfo& book, int32_t value) {
  const int32_t s = book.shift, o = book.offset, mask = (1 << s) - 1;
  if (book.kind == 0) {
    const int32_t q[4] = {value >> (3 * s), ((value >> (2 * s)) & mask) - o,
                          ((value >> s) & mask) - o, (value & mask) - o};
    uint32_t f = 0, index = 0;
    for (int32_t k = 0; k < 4; ++k) {
      if (q[k] < -2 || q[k] > 2) return 0;
      f |= (static_cast<uint32_t>(q[k]) & 15u) << (28 - 4 * k);
      index = 5 * index + static_cast<uint32_t>(q[k] + 2);
    }
    return f | index << kQuadShift;
  }
  if (book.kind == 1 || book.kind == 2) {
    const int32_t y = value >> s, z = (value & mask) - o;
    return ((static_cast<uint32_t>(y) & 255u) << 24) | ((static_cast<uint32_t>(z) & 255u) << 16);
  }
  return static_cast<uint32_t>(value) << 16;
}

// Fills (or, without `out`, only sizes) one codebook's table: a root level
// of the codebook's root width, and under each root entry whose code words are longer a
// sub-table as wide as the longest of them needs (levels of at most
// kMaxSubBits).  The code words are taken in the order of their bits, so
// those under one entry are adjacent.  Fails on a list that is not a prefix
// code.
class FastTableBuilder {
 public:
  FastTableBuilder(const AacCodebookInfo& book, uint32_t* out, int32_t capacity)
      : book_(book),
        root_bits_(book.kind == 2 ? kAacEscRootBits : kAacHuffRootBits),
        out_(out),
        capacity_(capacity) {}

  int32_t Build() {
    if (book_.count <= 0 || book_.count > kMaxCodes) return -1;
    for (int32_t i = 0; i < book_.count; ++i) {
      const DspVlcCode& c = book_.codes[i];
      if (c.length <= 0 || c.length > 31) return -1;
      order_[i] = static_cast<int16_t>(i);
    }
    std::sort(order_, order_ + book_.count,
              [this](int16_t a, int16_t b) { return Aligned(a) < Aligned(b); });
    free_ = 1 << root_bits_;
    if (out_) {
      if (free_ > capacity_) return -1;
      std::memset(out_, 0, sizeof(uint32_t) * free_);
    }
    return Fill(0, root_bits_, 0, 0, book_.count);
  }
  int32_t size() const { return free_; }

 private:
  static constexpr int32_t kMaxCodes = 2048;

  // The code word left-aligned in 32 bits.
  uint32_t Aligned(int32_t i) const {
    const DspVlcCode& c = book_.codes[i];
    return static_cast<uint32_t>(c.code) << (32 - c.length);
  }
  // The `width` bits after the first `consumed` of code word i.
  uint32_t Index(int32_t i, int32_t consumed, int32_t width) const {
    return static_cast<uint32_t>((uint64_t{Aligned(i)} << consumed) >> (32 - width)) &
           ((1u << width) - 1);
  }

  // The table at `at` resolving `width` bits after `consumed`, for the code
  // words order_[lo..hi) (which share the bits consumed before it).
  int32_t Fill(int32_t consumed, int32_t width, int32_t at, int32_t lo, int32_t hi) {
    for (int32_t k = lo; k < hi;) {
      const int32_t i = order_[k];
      const DspVlcCode& c = book_.codes[i];
      if (c.length <= consumed) return -1;  // a prefix of a longer code word
      const uint32_t idx = Index(i, consumed, width);
      if (c.length <= consumed + width) {
        const int32_t used = c.length - consumed;
        const uint32_t fields = FieldsOf(book_, c.value);
        if (book_.kind == 0 && fields == 0) return -1;
        const uint32_t leaf = fields | static_cast<uint32_t>(used);
        for (uint32_t j = 0; out_ && j < (1u << (width - used)); ++j) {
          if (out_[at + idx + j] != 0) return -1;
          out_[at + idx + j] = leaf;
        }
        ++k;
        continue;
      }
      // Longer code words under this entry: a sub-table for the run.
      int32_t end = k, longest = 0;
      while (end < hi && book_.codes[order_[end]].length > consumed + width &&
             Index(order_[end], consumed, width) == idx) {
        longest =
            book_.codes[order_[end]].length > longest ? book_.codes[order_[end]].length : longest;
        ++end;
      }
      const int32_t deeper = longest - consumed - width;
      const int32_t w = deeper < kMaxSubBits ? deeper : kMaxSubBits;
      const int32_t sub = free_;
      free_ += 1 << w;
      if (out_) {
        if (free_ > capacity_ || out_[at + idx] != 0) return -1;
        std::memset(out_ + sub, 0, sizeof(uint32_t) << w);
        out_[at + idx] = (static_cast<uint32_t>(sub) << 12) | (static_cast<uint32_t>(w) << 8);
      }
      if (Fill(consumed + width, w, sub, k, end) != 0) return -1;
      k = end;
    }
    return 0;
  }

  const AacCodebookInfo& book_;
  int32_t root_bits_;
  uint32_t* out_;
  int32_t capacity_;
  int32_t free_ = 0;
  int16_t order_[kMaxCodes];
};

int32_t FastTableEntries(const AacCodebookInfo& book) {
  FastTableBuilder sizer(book, nullptr, 0);
  return sizer.Build() == 0 ? sizer.size() : -1;
}

int32_t MaxLength(const AacCodebookInfo& book) {
  int32_t l = 0;
  for (int32_t i = 0; i < book.count; ++i) l = book.codes[i].length > l ? book.codes[i].length : l;
  return l;
}

// ---- spectral data -----------------------------------------------------------

// Escape of codebook 11 for a value of +/-16: N ones, a zero, then N + 4
// bits (N <= 8, at most 21 bits, which the cache must hold).
inline bool Escape(AacBits& b, int32_t* v) {
  const uint64_t inverted = ~b.cache;
  const int32_t ones = inverted ? __builtin_clzll(inverted) : 64;
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

// A pair of codebook 11 with an escape in either value, kept out of line so
// that the code word decoder inlines.  One refill serves both escapes
// (2 x 21 bits); another leaves the cache full for the code words after.
__attribute__((noinline)) bool EscapedPair(AacBits& b, int32_t y, int32_t z, int16_t* out) {
  b.Refill();
  if ((y == 16 || y == -16) && !Escape(b, &y)) return false;
  if ((z == 16 || z == -16) && !Escape(b, &z)) return false;
  b.Refill();
  out[0] = static_cast<int16_t>(y);
  out[1] = static_cast<int16_t>(z);
  return true;
}

// One code word's values into out[0..kStep-1]; false for a malformed code
// word or escape.  After escapes the cache is refilled: the code words that
// follow in the same refill group find the bits a refill guarantees.
template <int kKind>
__attribute__((always_inline)) inline bool DecodeWord(AacBits& b, const uint32_t* entries,
                                                      int16_t* out) {
  const uint32_t e = AacHuffDecode < kKind == 2 ? kAacEscRootBits : kAacHuffRootBits > (entries, b);
  if (e == 0) return false;
  const int32_t v = static_cast<int32_t>(e);
  if (kKind == 0) {
    std::memcpy(out, kQuads[(e >> kQuadShift) & 1023].v, sizeof(Quad));
    return true;
  }
  const int32_t y = v >> 24, z = (v << 8) >> 24;
  if (kKind == 2 && __builtin_expect(y == 16 || y == -16 || z == 16 || z == -16, 0)) {
    return EscapedPair(b, y, z, out);
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
  const uint32_t* entries = book.entries;
  int32_t i = 0;
  for (; i + kPer <= n; i += kPer) {
    b.Refill();
#pragma GCC unroll 4
    for (int32_t j = 0; j < kPer; ++j) {
      if (!DecodeWord<kKind>(b, entries, out + kStep * (i + j))) return -1;
    }
  }
  for (; i < n; ++i) {
    b.Refill();
    if (!DecodeWord<kKind>(b, entries, out + kStep * i)) return -1;
  }
  if (n * kStep < lines) std::memset(out + n * kStep, 0, (lines - n * kStep) * sizeof(int16_t));
  return 0;
}

template <int kKind>
int DecodeBook(AacBits& b, const AacHuffBook& book, int16_t* out, int32_t lines) {
  return book.per_refill >= 3 ? DecodeLines<kKind, 3>(b, book, out, lines)
                              : DecodeLines<kKind, 2>(b, book, out, lines);
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

// Bit b set where band b starts a run of bands with one codebook (found
// without a branch per band: a run's end is as unpredictable as its data).
uint64_t RunStarts(const int32_t* cbs, int32_t bands) {
  uint64_t m = bands > 0 ? 1 : 0;
  for (int32_t b = 1; b < bands; ++b) m |= uint64_t{cbs[b] != cbs[b - 1]} << b;
  return m;
}

// The bands of every group, run by run; `bits` ends where decoding stopped.
int DecodeGroups(ChannelStream& s, const int32_t* offset, AacBits& bits, const uint8_t* data,
                 int64_t limit, const AacHuffmanTables& books) {
  static_assert(kAacMaxSfb < 64, "a group's bands fit one mask");
  int32_t p = 0;
  for (int32_t g = 0; g < s.num_window_groups; ++g) {
    const int32_t length = s.window_group_length[g];
    const int32_t* cbs = s.sfb_cb[g];
    for (uint64_t starts = RunStarts(cbs, s.max_sfb); starts != 0;) {
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

int AacHuffmanTablesGetSize(int32_t* size) {
  if (!size) return -1;
  int32_t total = 0;
  for (int cb = 0; cb < 12; ++cb) {
    int32_t book_size = 0;
    if (dspVlcDecodeGetSize_32s(kAacCodebooks[cb].codes, kAacCodebooks[cb].count,
                                kAacCodebooks[cb].widths, kAacCodebooks[cb].num_widths,
                                &book_size) != dspStsNoErr) {
      return -1;
    }
    const int32_t entries = FastTableEntries(kAacCodebooks[cb]);
    if (entries < 0) return -1;
    total += book_size + kAlign + entries * 4 + kAlign;
  }
  *size = total;
  return 0;
}

int AacHuffmanTablesInit(AacHuffmanTables* tables, void* memory) {
  if (!tables || !memory) return -1;
  uint8_t* p = static_cast<uint8_t*>(memory);
  for (int cb = 0; cb < 12; ++cb) {
    int32_t book_size = 0;
    if (dspVlcDecodeGetSize_32s(kAacCodebooks[cb].codes, kAacCodebooks[cb].count,
                                kAacCodebooks[cb].widths, kAacCodebooks[cb].num_widths,
                                &book_size) != dspStsNoErr) {
      return -1;
    }
    uint8_t* table = dspAlignPtr<uint8_t>(p, kAlign);
    DspVlcDecodeSpec_32s* spec = nullptr;
    if (dspVlcDecodeInit_32s(kAacCodebooks[cb].codes, kAacCodebooks[cb].count,
                             kAacCodebooks[cb].widths, kAacCodebooks[cb].num_widths, table,
                             &spec) != dspStsNoErr) {
      return -1;
    }
    tables->book[cb] = spec;
    p += book_size + kAlign;
    const int32_t entries = FastTableEntries(kAacCodebooks[cb]);
    auto* fast = dspAlignPtr<uint32_t>(p, kAlign);
    FastTableBuilder builder(kAacCodebooks[cb], fast, entries);
    if (entries < 0 || builder.Build() != 0) return -1;
    const int32_t max_length = MaxLength(kAacCodebooks[cb]);
    if (2 * max_length > kRefillBits) return -1;  // DecodeLines takes two per refill at least
    tables->fast[cb] = AacHuffBook{fast, max_length, kRefillBits / max_length};
    p += entries * 4 + kAlign;
  }
  return 0;
}
