// Multi-level Huffman lookup tables and their decoders.
//
// Table: a 32-byte header, then an array of E-bit signed entries.  Entry 0
// is the root level's width w0, followed by its 2^w0 entries.  A leaf has
// bit 0 set, the number of bits it uses at its level in bits 1..F, and the
// value above; a pointer has bit 0 clear and holds twice the index of a
// sub-table's width entry.  Unfilled entries hold -2 (no code word).
#include <algorithm>
#include <cstring>

#include "dsp/dsp_vlc.h"

namespace {

constexpr int32_t kDecodeTag = 0x434d4160;
constexpr int32_t kEncodeTag = 0x434d415f;
constexpr int32_t kHeaderBytes = 32;
constexpr int32_t kMaxLevels = 32;
constexpr int64_t kMaxEntries = int64_t{1} << 24;  // larger tables are refused

struct DecodeHeader {
  int32_t tag;
  int32_t zero;
  int32_t max_length;  // L
  int32_t entries_offset;
  int32_t entry_bits;   // E: 8, 16 or 32
  int32_t length_bits;  // F
  int32_t entry_count;
  int32_t reserved;
};
static_assert(sizeof(DecodeHeader) == kHeaderBytes);

int32_t BitsFor(uint32_t v) {  // smallest n with 2^n > v
  int32_t n = 0;
  while (n < 32 && (uint64_t{1} << n) <= v) ++n;
  return n;
}

struct Levels {
  int32_t count = 0;
  int32_t width[kMaxLevels];
  int32_t start[kMaxLevels];  // bits resolved before the level
};

int32_t MakeLevels(const DspVlcCode* codes, int32_t count, const int32_t* widths, int32_t nw,
                   int32_t* max_len, Levels* lv) {
  int32_t L = 0;
  for (int32_t i = 0; i < count; ++i) {
    if (codes[i].length <= 0 || codes[i].length > 32) return dspStsVlcBadLenErr;
    L = codes[i].length > L ? codes[i].length : L;
  }
  int32_t sum = 0;
  lv->count = 0;
  for (int32_t i = 0; i < nw && sum < L; ++i) {
    if (widths[i] <= 0 || lv->count == kMaxLevels) return dspStsVlcBadLenErr;
    const int32_t w = widths[i] < L - sum ? widths[i] : L - sum;
    lv->start[lv->count] = sum;
    lv->width[lv->count++] = w;
    sum += w;
  }
  if (sum < L || L == 0) return dspStsVlcBadLenErr;
  *max_len = L;
  return dspStsNoErr;
}

// Builds the entry array (sized by CountEntries).  Entries are kept as
// int64 while building and narrowed when stored.
class Builder {
 public:
  Builder(const Levels& lv, int32_t F, int64_t* entries, int32_t capacity)
      : lv_(lv), F_(F), e_(entries), cap_(capacity) {}

  int32_t Build(const DspVlcCode* codes, int32_t count) {
    root_ = NewTable(0);
    if (root_ < 0) return dspStsVlcBadLenErr;
    for (int32_t i = 0; i < count; ++i) {
      if (const int32_t st = Insert(codes[i])) return st;
    }
    return dspStsNoErr;
  }
  int32_t size() const { return free_; }

 private:
  // The new table's index, or -1 past the capacity CountEntries gave.
  int32_t NewTable(int32_t level) {
    const int32_t at = free_;
    const int32_t n = 1 << lv_.width[level];
    if (at + 1 + n > cap_) return -1;
    e_[at] = lv_.width[level];
    for (int32_t i = 1; i <= n; ++i) e_[at + i] = -2;
    free_ += 1 + n;
    return at;
  }

  int32_t Insert(const DspVlcCode& c) {
    int32_t table = root_;
    for (int32_t level = 0; level < lv_.count; ++level) {
      const int32_t w = lv_.width[level], before = lv_.start[level];
      const uint32_t code = static_cast<uint32_t>(c.code);
      if (c.length <= before + w) {
        const int32_t used = c.length - before;
        const uint32_t bits = used ? (code & ((uint64_t{1} << used) - 1)) : 0;
        const uint32_t first = bits << (w - used);
        const int64_t leaf = (int64_t{c.value} << (F_ + 1)) | (int64_t{used} << 1) | 1;
        for (uint32_t k = 0; k < (1u << (w - used)); ++k) {
          int64_t& slot = e_[table + 1 + first + k];
          if (slot != -2) return dspStsVlcBadLenErr;  // not a prefix code
          slot = leaf;
        }
        return dspStsNoErr;
      }
      const uint32_t idx = (code >> (c.length - before - w)) & ((1u << w) - 1);
      int64_t& slot = e_[table + 1 + idx];
      if (slot == -2) {
        const int32_t sub = NewTable(level + 1);
        if (sub < 0) return dspStsVlcBadLenErr;
        slot = int64_t{sub} * 2;
        table = sub;
      } else if (slot & 1) {
        return dspStsVlcBadLenErr;  // a shorter code is a prefix of this one
      } else {
        table = static_cast<int32_t>(slot / 2);
      }
    }
    return dspStsVlcBadLenErr;
  }

  const Levels& lv_;
  int32_t F_;
  int64_t* e_;
  int32_t cap_;
  int32_t free_ = 0;
  int32_t root_ = 0;
};

// Entries the Builder lays out, without building: the root table, and at
// each further level one table per distinct prefix (the bits resolved before
// that level) of the code words longer than that prefix.  Prefixes are
// sorted and counted, O(n log n) per level.
int32_t CountEntries(const DspVlcCode* codes, int32_t count, const Levels& lv, int32_t* entries) {
  if (count > kMaxEntries) return dspStsVlcBadLenErr;
  auto* prefix = static_cast<uint32_t*>(dspMalloc(static_cast<int32_t>(4 * count)));
  if (!prefix) return dspStsMemAllocErr;
  int64_t total = 1 + (int64_t{1} << lv.width[0]);
  for (int32_t level = 1; level < lv.count && total <= kMaxEntries; ++level) {
    const int32_t before = lv.start[level];
    int32_t n = 0;
    for (int32_t i = 0; i < count; ++i) {
      if (codes[i].length > before) {
        prefix[n++] = static_cast<uint32_t>(codes[i].code) >> (codes[i].length - before);
      }
    }
    std::sort(prefix, prefix + n);
    const int64_t tables = std::unique(prefix, prefix + n) - prefix;
    total += tables * (1 + (int64_t{1} << lv.width[level]));
  }
  dspFree(prefix);
  if (total > kMaxEntries) return dspStsVlcBadLenErr;
  *entries = static_cast<int32_t>(total);
  return dspStsNoErr;
}

struct Layout {
  int32_t L, F, E, entries;
  Levels lv;
};

int32_t Plan(const DspVlcCode* codes, int32_t count, const int32_t* widths, int32_t nw,
             Layout* out) {
  if (!codes || !widths) return dspStsNullPtrErr;
  if (count <= 0 || nw <= 0) return dspStsVlcBadLenErr;
  if (const int32_t st = MakeLevels(codes, count, widths, nw, &out->L, &out->lv)) return st;
  int32_t maxw = 0;
  uint32_t maxv = 0;
  for (int32_t i = 0; i < out->lv.count; ++i)
    maxw = out->lv.width[i] > maxw ? out->lv.width[i] : maxw;
  for (int32_t i = 0; i < count; ++i) {
    const int64_t v = codes[i].value;
    const uint64_t mag = static_cast<uint64_t>(v < 0 ? -v : v);
    maxv = mag > maxv ? static_cast<uint32_t>(mag) : maxv;
  }
  out->F = BitsFor(static_cast<uint32_t>(maxw));
  if (const int32_t st = CountEntries(codes, count, out->lv, &out->entries)) return st;
  const int32_t need_value = BitsFor(maxv) + out->F + 2;
  const int32_t need_index = BitsFor(static_cast<uint32_t>(2 * out->entries + 2)) + 1;
  const int32_t need = need_value > need_index ? need_value : need_index;
  if (need > 32) return dspStsVlcBadLenErr;
  out->E = need <= 8 ? 8 : need <= 16 ? 16 : 32;
  return dspStsNoErr;
}

const DecodeHeader* Header(const DspVlcDecodeSpec_32s* spec) {
  return reinterpret_cast<const DecodeHeader*>(spec);
}

inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return __builtin_bswap64(v);
}

// Decodes one code word from `bits` (the next L bits, left-aligned in the
// low L bits).  Returns false for an entry that holds no code word.
template <typename Entry>
inline bool Lookup(const Entry* e, int32_t count, int32_t L, int32_t F, uint32_t bits,
                   int32_t* value, int32_t* used) {
  int32_t w = e[0];
  int32_t consumed = 0;
  int32_t idx = 1 + static_cast<int32_t>(bits >> (L - w));
  for (;;) {
    const int32_t entry = e[idx];
    if (entry & 1) {
      *value = entry >> (F + 1);
      *used = consumed + ((entry & ((1 << (F + 1)) - 1)) >> 1);
      return true;
    }
    const int32_t sub = entry / 2;
    if (sub <= 0 || sub >= count) return false;
    consumed += w;
    w = e[sub];
    if (w <= 0 || consumed + w > L) return false;
    idx = sub + 1 + static_cast<int32_t>((bits >> (L - consumed - w)) & ((1u << w) - 1));
  }
}

// Reads the stream through a left-aligned 64-bit cache, reloaded from the
// byte holding the next unread bit when fewer bits remain than a step needs
// (a reload yields at least 57 bits).  Callers guarantee 8 readable bytes
// past any position they reach (the decoders' padding contract).
struct Cursor {
  Cursor(const uint8_t* p, int32_t off) : base(p), start(off) { Reload(); }
  void Reload() {
    const int32_t total = start + used;
    base += total >> 3;
    start = total & 7;
    used = 0;
    cache = Load64(base) << start;
    valid = 64 - start;
  }
  void Ensure(int32_t n) {
    if (valid < n) Reload();
  }
  uint32_t Peek(int32_t n) const { return static_cast<uint32_t>(cache >> (64 - n)); }
  void Skip(int32_t n) {
    cache <<= n;
    valid -= n;
    used += n;
  }
  // Final position as a byte pointer and a bit offset 0..7.
  void Store(const uint8_t** p, int32_t* off) const {
    const int32_t total = start + used;
    *p = base + (total >> 3);
    *off = total & 7;
  }
  const uint8_t* base;
  int32_t start;  // bit offset of the cache's first bit in *base
  int32_t used = 0;
  int32_t valid = 0;
  uint64_t cache = 0;
};

template <typename Entry>
int32_t DecodeRun(Cursor& c, const DecodeHeader* h, int16_t* values, int32_t n) {
  const auto* e =
      reinterpret_cast<const Entry*>(reinterpret_cast<const uint8_t*>(h) + h->entries_offset);
  const int32_t L = h->max_length, F = h->length_bits, count = h->entry_count;
  const int32_t w0 = e[0];
  const int32_t length_mask = (1 << (F + 1)) - 1;
  for (int32_t i = 0; i < n; ++i) {
    c.Ensure(L);
    const uint32_t bits = c.Peek(L);
    const int32_t entry = e[1 + (bits >> (L - w0))];
    int32_t v, used;
    if (entry & 1) {  // one-level code word: the common case
      v = entry >> (F + 1);
      used = (entry & length_mask) >> 1;
    } else if (!Lookup(e, count, L, F, bits, &v, &used)) {
      return dspStsVlcBadArgErr;
    }
    c.Skip(used);
    values[i] = static_cast<int16_t>(v);
  }
  return dspStsNoErr;
}

int32_t Decode(Cursor& c, const DecodeHeader* h, int16_t* values, int32_t n) {
  switch (h->entry_bits) {
    case 8:
      return DecodeRun<int8_t>(c, h, values, n);
    case 16:
      return DecodeRun<int16_t>(c, h, values, n);
    default:
      return DecodeRun<int32_t>(c, h, values, n);
  }
}

// Escape of codebook 11: N ones, a zero, then N + 4 bits (N <= 8).
int32_t Escape(Cursor& c, int32_t* v) {
  c.Ensure(9 + 1 + 12);
  int32_t ones = 0;
  while (c.Peek(1)) {
    c.Skip(1);
    if (++ones > 8) return dspStsVlcBadArgErr;
  }
  c.Skip(1);
  const int32_t a = ones + 4;
  const int32_t w = static_cast<int32_t>(c.Peek(a));
  c.Skip(a);
  *v = (*v < 0 ? -1 : 1) * ((1 << a) + w);
  return dspStsNoErr;
}

}  // namespace

int32_t dspVlcDecodeGetSize_32s(const DspVlcCode* codes, int32_t count, const int32_t* widths,
                                int32_t num_widths, int32_t* size) {
  if (!size) return dspStsNullPtrErr;
  Layout lay;
  if (const int32_t st = Plan(codes, count, widths, num_widths, &lay)) return st;
  *size = lay.entries * (lay.E / 8) + 88;
  return dspStsNoErr;
}

int32_t dspVlcDecodeInit_32s(const DspVlcCode* codes, int32_t count, const int32_t* widths,
                             int32_t num_widths, uint8_t* memory, DspVlcDecodeSpec_32s** spec) {
  if (!memory || !spec) return dspStsNullPtrErr;
  Layout lay;
  if (const int32_t st = Plan(codes, count, widths, num_widths, &lay)) return st;
  auto* h = dspAlignPtr<DecodeHeader>(memory, 32);
  // Build into the caller's memory as int64 entries would not fit: use a
  // temporary from the library's allocator.
  auto* tmp = static_cast<int64_t*>(dspMalloc(static_cast<int32_t>(8 * lay.entries)));
  if (!tmp) return dspStsMemAllocErr;
  Builder b(lay.lv, lay.F, tmp, lay.entries);
  int32_t st = b.Build(codes, count);
  if (st == dspStsNoErr) {
    *h = DecodeHeader{kDecodeTag, 0, lay.L, kHeaderBytes, lay.E, lay.F, lay.entries, 0};
    uint8_t* out = reinterpret_cast<uint8_t*>(h) + kHeaderBytes;
    for (int32_t i = 0; i < lay.entries; ++i) {
      if (lay.E == 8) {
        reinterpret_cast<int8_t*>(out)[i] = static_cast<int8_t>(tmp[i]);
      } else if (lay.E == 16) {
        reinterpret_cast<int16_t*>(out)[i] = static_cast<int16_t>(tmp[i]);
      } else {
        reinterpret_cast<int32_t*>(out)[i] = static_cast<int32_t>(tmp[i]);
      }
    }
    *spec = reinterpret_cast<DspVlcDecodeSpec_32s*>(h);
  }
  dspFree(tmp);
  return st;
}

int32_t dspVlcDecodeBlock_16s(const uint8_t** stream, int32_t* bit_offset, int16_t* values,
                              int32_t count, const DspVlcDecodeSpec_32s* spec) {
  if (!stream || !*stream || !bit_offset || !values || !spec) return dspStsNullPtrErr;
  if (count <= 0 || *bit_offset < 0 || *bit_offset > 7 || Header(spec)->tag != kDecodeTag) {
    return dspStsVlcBadArgErr;
  }
  Cursor c(*stream, *bit_offset);
  const int32_t st = Decode(c, Header(spec), values, count);
  c.Store(stream, bit_offset);
  return st;
}

int32_t dspVlcDecodeOne_16s(const uint8_t** stream, int32_t* bit_offset, int16_t* value,
                            const DspVlcDecodeSpec_32s* spec) {
  return dspVlcDecodeBlock_16s(stream, bit_offset, value, 1, spec);
}

int32_t dspVlcDecodePairsBlock_16s(const uint8_t** stream, int32_t* bit_offset, int16_t* values,
                                   int32_t count, const DspVlcDecodeSpec_32s* spec) {
  if (!stream || !*stream || !bit_offset || !values || !spec) return dspStsNullPtrErr;
  if (*bit_offset < 0 || *bit_offset > 7) return dspStsBitOffsetErr;
  if (Header(spec)->tag != kDecodeTag) return dspStsContextMatchErr;
  Cursor c(*stream, *bit_offset);
  int32_t st = dspStsNoErr;
  for (int32_t i = 0; i + 1 < count && st == dspStsNoErr; i += 2) {
    int16_t packed;
    st = Decode(c, Header(spec), &packed, 1);
    if (st) break;
    int32_t y = packed >> 8, z = (packed & 0xFF) - 128;
    if (y == 16 || y == -16) st = Escape(c, &y);
    if (!st && (z == 16 || z == -16)) st = Escape(c, &z);
    values[i] = static_cast<int16_t>(y);
    values[i + 1] = static_cast<int16_t>(z);
  }
  c.Store(stream, bit_offset);
  return st;
}

// ---- encoder side ---------------------------------------------------------

namespace {
struct EncodeHeader {
  int32_t lengths_offset;  // bytes from the header to the length array
  int32_t index_offset;    // minus the smallest value
  int32_t k;               // 2^k entries per array
  int32_t reserved;
  int32_t tag;
  int32_t pad[3];
};
static_assert(sizeof(EncodeHeader) == 32);

int32_t EncodeRange(const DspVlcCode* codes, int32_t count, int32_t* lo, int32_t* k) {
  if (!codes) return dspStsNullPtrErr;
  if (count <= 0) return dspStsVlcBadArgErr;
  int32_t mn = codes[0].value, mx = codes[0].value;
  for (int32_t i = 1; i < count; ++i) {
    mn = codes[i].value < mn ? codes[i].value : mn;
    mx = codes[i].value > mx ? codes[i].value : mx;
  }
  if (int64_t{mx} - mn >= (1 << 20)) return dspStsVlcBadArgErr;
  int32_t kk = 0;
  while ((1 << kk) < mx - mn + 1) ++kk;
  *lo = mn;
  *k = kk;
  return dspStsNoErr;
}

int32_t LengthOf(const DspVlcEncodeSpec_32s* spec, int32_t v, int32_t* len) {
  const auto* h = reinterpret_cast<const EncodeHeader*>(spec);
  const int64_t idx = int64_t{v} + h->index_offset;
  if (idx < 0 || idx >= (int64_t{1} << h->k)) return dspStsVlcBadArgErr;
  *len = reinterpret_cast<const int32_t*>(reinterpret_cast<const uint8_t*>(h) +
                                          h->lengths_offset)[idx];
  return *len > 0 ? dspStsNoErr : dspStsVlcBadArgErr;  // value without a code word
}
}  // namespace

int32_t dspVlcEncodeGetSize_32s(const DspVlcCode* codes, int32_t count, int32_t* size) {
  if (!size) return dspStsNullPtrErr;
  int32_t lo, k;
  if (const int32_t st = EncodeRange(codes, count, &lo, &k)) return st;
  int32_t hi = codes[0].value;
  for (int32_t i = 1; i < count; ++i) hi = codes[i].value > hi ? codes[i].value : hi;
  *size = (hi - lo + (1 << k)) * 4 + 68;
  if (*size < 2 * 4 * (1 << k) + 64) *size = 2 * 4 * (1 << k) + 64;
  return dspStsNoErr;
}

int32_t dspVlcEncodeInit_32s(const DspVlcCode* codes, int32_t count, uint8_t* memory,
                             DspVlcEncodeSpec_32s** spec) {
  if (!memory || !spec) return dspStsNullPtrErr;
  int32_t lo, k;
  if (const int32_t st = EncodeRange(codes, count, &lo, &k)) return st;
  auto* h = dspAlignPtr<EncodeHeader>(memory, 32);
  *h = EncodeHeader{32, -lo, k, 0, kEncodeTag, {0, 0, 0}};
  auto* lengths = reinterpret_cast<int32_t*>(h + 1);
  int32_t* words = lengths + (1 << k);
  for (int32_t i = 0; i < (1 << k); ++i) lengths[i] = words[i] = 0;
  for (int32_t i = 0; i < count; ++i) {
    lengths[codes[i].value - lo] = codes[i].length;
    words[codes[i].value - lo] = codes[i].code;
  }
  *spec = reinterpret_cast<DspVlcEncodeSpec_32s*>(h);
  return dspStsNoErr;
}

int32_t dspVlcCountBits_16s(const int16_t* values, int32_t count, int32_t* bits,
                            const DspVlcEncodeSpec_32s* spec) {
  if (!values || !bits || !spec) return dspStsNullPtrErr;
  if (count <= 0 || reinterpret_cast<const EncodeHeader*>(spec)->tag != kEncodeTag) {
    return dspStsVlcBadArgErr;
  }
  int32_t total = 0;
  for (int32_t i = 0; i < count; ++i) {
    int32_t len;
    if (const int32_t st = LengthOf(spec, values[i], &len)) return st;
    total += len;
  }
  *bits = total;
  return dspStsNoErr;
}

int32_t dspVlcCountBitsPairs_16s(const int16_t* values, int32_t count, int32_t* bits,
                                 const DspVlcEncodeSpec_32s* spec) {
  if (!values || !bits || !spec) return dspStsNullPtrErr;
  if (count <= 0 || reinterpret_cast<const EncodeHeader*>(spec)->tag != kEncodeTag) {
    return dspStsVlcBadArgErr;
  }
  int32_t total = 0;
  for (int32_t i = 0; i + 1 < count; i += 2) {
    int32_t len;
    if (const int32_t st = LengthOf(spec, values[i] * 256 + values[i + 1] + 128, &len)) return st;
    total += len;
  }
  *bits = total;
  return dspStsNoErr;
}
