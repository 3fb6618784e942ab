// Huffman tables: every code list round-trips through the lookup tables,
// the escape of codebook 11, table-building rules and argument errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "aac/aac_huffman_tables.h"
#include "dsp/dsp_vlc.h"
#include "ps/ps_huffman_tables.h"
#include "sbr/sbr_huffman_tables.h"

namespace {

std::mt19937 rng(7);

class BitWriter {
 public:
  void Put(uint32_t code, int len) {
    for (int i = len - 1; i >= 0; --i) {
      if (bits_ % 8 == 0) bytes_.push_back(0);
      if ((code >> i) & 1) bytes_.back() |= static_cast<uint8_t>(0x80 >> (bits_ % 8));
      ++bits_;
    }
  }
  std::vector<uint8_t> Padded() const {
    auto b = bytes_;
    b.resize(b.size() + 16, 0);
    return b;
  }
  int bits() const { return bits_; }

 private:
  std::vector<uint8_t> bytes_;
  int bits_ = 0;
};

struct Table {
  std::vector<uint8_t> mem;
  DspVlcDecodeSpec_32s* spec = nullptr;
};

Table Build(const DspVlcCode* codes, int count, const int32_t* widths, int nw) {
  Table t;
  int32_t size = 0;
  EXPECT_EQ(dspVlcDecodeGetSize_32s(codes, count, widths, nw, &size), 0);
  t.mem.assign(size, 0xAB);
  EXPECT_EQ(dspVlcDecodeInit_32s(codes, count, widths, nw, t.mem.data(), &t.spec), 0);
  return t;
}

// Encodes every entry of the list (in random order, starting at a random
// bit offset), then decodes the stream back one by one and as a block.
void RoundTrip(const DspVlcCode* codes, int count, const int32_t* widths, int nw) {
  Table t = Build(codes, count, widths, nw);
  std::vector<int> order(count);
  for (int i = 0; i < count; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), rng);
  const int lead = static_cast<int>(rng() % 8);
  BitWriter w;
  w.Put(0, lead);
  for (int i : order) w.Put(static_cast<uint32_t>(codes[i].code), codes[i].length);
  const auto stream = w.Padded();
  const uint8_t* p = stream.data();
  int32_t off = lead;
  for (int i : order) {
    int16_t v;
    ASSERT_EQ(dspVlcDecodeOne_16s(&p, &off, &v, t.spec), 0);
    ASSERT_EQ(v, static_cast<int16_t>(codes[i].value)) << "entry " << i;
  }
  EXPECT_EQ((p - stream.data()) * 8 + off, w.bits());
  p = stream.data();
  off = lead;
  std::vector<int16_t> block(count);
  ASSERT_EQ(dspVlcDecodeBlock_16s(&p, &off, block.data(), count, t.spec), 0);
  for (int k = 0; k < count; ++k) ASSERT_EQ(block[k], static_cast<int16_t>(codes[order[k]].value));
  EXPECT_EQ((p - stream.data()) * 8 + off, w.bits());
}

TEST(Vlc, EveryAacCodebookRoundTrips) {
  for (int book = 0; book < 12; ++book) {
    SCOPED_TRACE(book);
    const AacCodebookInfo& cb = kAacCodebooks[book];
    RoundTrip(cb.codes, cb.count, cb.widths, cb.num_widths);
  }
  // Unpacking a known quad of codebook 1: (1, -1, 0, 1) -> packed value.
  const AacCodebookInfo& cb1 = kAacCodebooks[1];
  const int packed = (1 << 6) + ((-1 + 2) << 4) + ((0 + 2) << 2) + (1 + 2);
  EXPECT_TRUE(std::any_of(cb1.codes, cb1.codes + cb1.count,
                          [&](const DspVlcCode& c) { return c.value == packed; }));
  EXPECT_EQ(kAacCodebooks[3].count, 625);
  EXPECT_EQ(kAacCodebooks[11].count, 1089);
}

TEST(Vlc, EverySbrAndPsListRoundTrips) {
  const int32_t widths[] = {6, 6, 6, 6};
  for (const auto& l : kSbrHuffmanLists) RoundTrip(l.codes, l.count, widths, 4);
  for (const auto& l : kPsHuffmanLists) RoundTrip(l.codes, l.count, widths, 4);
  EXPECT_EQ(kSbrHuffmanLists[0].count, 121);
  EXPECT_EQ(kPsHuffmanLists[0].count, 61);
}

// Codebook 11 pairs with escapes: a code word of +/-16 followed by N ones,
// a zero and N + 4 bits.
TEST(Vlc, PairsWithEscapes) {
  const AacCodebookInfo& cb = kAacCodebooks[11];
  Table t = Build(cb.codes, cb.count, cb.widths, cb.num_widths);
  auto code_of = [&](int y, int z) {
    for (int i = 0; i < cb.count; ++i) {
      if (cb.codes[i].value == y * 256 + z + 128) return cb.codes[i];
    }
    ADD_FAILURE() << "no code for " << y << "," << z;
    return cb.codes[0];
  };
  struct Pair {
    int y, z;
  };
  const Pair pairs[] = {{16, 0}, {-3, -16}, {16, 16}, {0, 0}, {-16, 5}, {16, -16}};
  const int values[][2] = {{16 + 5, 0}, {-3, -(8191)},  {4096 + 17, 64 + 3},
                           {0, 0},      {-(32 + 1), 5}, {16, -16}};
  BitWriter w;
  auto escape = [&](int magnitude) {
    int n = 0;
    while ((1 << (n + 5)) <= magnitude) ++n;
    w.Put((1u << (n + 1)) - 2, n + 1);  // n ones, a zero
    w.Put(static_cast<uint32_t>(magnitude - (1 << (n + 4))), n + 4);
  };
  for (int i = 0; i < 6; ++i) {
    const DspVlcCode c = code_of(pairs[i].y, pairs[i].z);
    w.Put(static_cast<uint32_t>(c.code), c.length);
    if (std::abs(pairs[i].y) == 16) escape(std::abs(values[i][0]));
    if (std::abs(pairs[i].z) == 16) escape(std::abs(values[i][1]));
  }
  const auto s = w.Padded();
  const uint8_t* p = s.data();
  int32_t off = 0;
  int16_t out[13] = {};
  ASSERT_EQ(dspVlcDecodePairsBlock_16s(&p, &off, out, 13, t.spec), 0);  // 13 -> 12 values
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(out[2 * i], values[i][0]) << i;
    EXPECT_EQ(out[2 * i + 1], values[i][1]) << i;
  }
  EXPECT_EQ(out[12], 0);
  EXPECT_EQ((p - s.data()) * 8 + off, w.bits());

  // Nine leading ones: the escape is too long.
  BitWriter bad;
  const DspVlcCode c16 = code_of(16, 0);
  bad.Put(static_cast<uint32_t>(c16.code), c16.length);
  bad.Put(0x1FF, 9);
  bad.Put(0, 20);
  const auto sb = bad.Padded();
  p = sb.data();
  off = 0;
  EXPECT_EQ(dspVlcDecodePairsBlock_16s(&p, &off, out, 2, t.spec), dspStsVlcBadArgErr);
  off = 8;
  EXPECT_EQ(dspVlcDecodePairsBlock_16s(&p, &off, out, 2, t.spec), dspStsBitOffsetErr);
}

TEST(Vlc, TableBuildingRules) {
  // A 19-bit code with widths {8, 8, 8}: levels of 8, 8 and 3 bits.
  const DspVlcCode deep[] = {{1, 0x1, 1},  {2, 0x1, 19},  {3, 0x0, 19},  {4, 0x1, 18},
                             {5, 0x1, 17}, {6, 0x1, 16},  {7, 0x1, 15},  {8, 0x1, 14},
                             {9, 0x1, 13}, {10, 0x1, 12}, {11, 0x1, 11}, {12, 0x1, 10},
                             {13, 0x1, 9}, {14, 0x1, 8},  {15, 0x1, 7},  {16, 0x1, 6},
                             {17, 0x1, 5}, {18, 0x1, 4},  {19, 0x1, 3},  {20, 0x1, 2}};
  const int32_t w888[] = {8, 8, 8};
  RoundTrip(deep, 20, w888, 3);
  const int32_t bad_widths[] = {4, 0, 8};
  const DspVlcCode twelve[] = {{0, 0x0, 1}, {1, 0x7FF, 12}, {2, 0x7FE, 12}};
  int32_t size;
  EXPECT_EQ(dspVlcDecodeGetSize_32s(twelve, 3, bad_widths, 3, &size), dspStsVlcBadLenErr);
  const int32_t short_widths[] = {4, 4};
  EXPECT_EQ(dspVlcDecodeGetSize_32s(twelve, 3, short_widths, 2, &size), dspStsVlcBadLenErr);
  const DspVlcCode too_long[] = {{0, 0, 33}};
  EXPECT_EQ(dspVlcDecodeGetSize_32s(too_long, 1, w888, 3, &size), dspStsVlcBadLenErr);
  // "1" and "10": the first is a prefix of the second.
  const DspVlcCode not_prefix[] = {{0, 0x1, 1}, {1, 0x2, 2}, {2, 0x0, 2}};
  const int32_t w2[] = {2};
  ASSERT_EQ(dspVlcDecodeGetSize_32s(not_prefix, 3, w2, 1, &size), 0);
  std::vector<uint8_t> mem(size);
  DspVlcDecodeSpec_32s* spec;
  EXPECT_EQ(dspVlcDecodeInit_32s(not_prefix, 3, w2, 1, mem.data(), &spec), dspStsVlcBadLenErr);
}

TEST(Vlc, DecodeArgumentsAndOffsets) {
  const DspVlcCode bits1[] = {{5, 0x1, 1}, {-7, 0x0, 1}};
  const int32_t w[] = {4};
  Table t = Build(bits1, 2, w, 1);
  const uint8_t data[16] = {0x01};
  const uint8_t* p = data;
  int32_t off = 7;
  int16_t v;
  ASSERT_EQ(dspVlcDecodeOne_16s(&p, &off, &v, t.spec), 0);  // a one-bit code at offset 7
  EXPECT_EQ(v, 5);
  EXPECT_EQ(p, data + 1);
  EXPECT_EQ(off, 0);
  ASSERT_EQ(dspVlcDecodeOne_16s(&p, &off, &v, t.spec), 0);
  EXPECT_EQ(v, -7);
  off = 8;
  EXPECT_EQ(dspVlcDecodeOne_16s(&p, &off, &v, t.spec), dspStsVlcBadArgErr);
  off = 0;
  EXPECT_EQ(dspVlcDecodeOne_16s(&p, &off, nullptr, t.spec), dspStsNullPtrErr);
  std::vector<uint8_t> junk(64, 0);
  EXPECT_EQ(dspVlcDecodeOne_16s(&p, &off, &v, reinterpret_cast<DspVlcDecodeSpec_32s*>(junk.data())),
            dspStsVlcBadArgErr);
  EXPECT_EQ(dspVlcDecodePairsBlock_16s(&p, &off, &v, 2,
                                       reinterpret_cast<DspVlcDecodeSpec_32s*>(junk.data())),
            dspStsContextMatchErr);
  // An incomplete code (no entry for "0") reports an error instead of
  // following the empty slot.
  const DspVlcCode partial[] = {{3, 0x1, 1}};
  Table tp = Build(partial, 1, w, 1);
  const uint8_t zeros[16] = {};
  p = zeros;
  off = 0;
  EXPECT_EQ(dspVlcDecodeOne_16s(&p, &off, &v, tp.spec), dspStsVlcBadArgErr);
}

TEST(Vlc, BitCounting) {
  const AacCodebookInfo& cb = kAacCodebooks[0];
  int32_t size;
  ASSERT_EQ(dspVlcEncodeGetSize_32s(cb.codes, cb.count, &size), 0);
  std::vector<uint8_t> mem(size);
  DspVlcEncodeSpec_32s* enc;
  ASSERT_EQ(dspVlcEncodeInit_32s(cb.codes, cb.count, mem.data(), &enc), 0);
  const int16_t vals[] = {60, 59, 61, 0, 120};
  int32_t bits = 0, expect = 0;
  for (int16_t v : vals) expect += cb.codes[v].length;
  ASSERT_EQ(dspVlcCountBits_16s(vals, 5, &bits, enc), 0);
  EXPECT_EQ(bits, expect);
  const int16_t out_of_range[] = {121};
  EXPECT_EQ(dspVlcCountBits_16s(out_of_range, 1, &bits, enc), dspStsVlcBadArgErr);
  EXPECT_EQ(dspVlcCountBits_16s(vals, 0, &bits, enc), dspStsVlcBadArgErr);
}

}  // namespace
