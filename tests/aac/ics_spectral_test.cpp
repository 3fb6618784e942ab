// Scale factors, spectral data and whole channel streams, written with the
// decoder's own code lists; malformed and truncated data must fail cleanly.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "aac/channel_stream.h"
#include "dsp/dsp_core.h"
#include "tests/aac/ics_test_util.h"

using namespace ics_test;

namespace {

std::unique_ptr<ChannelStream> Stream(int32_t sequence, int32_t max_sfb,
                                      std::vector<int> groups = {1}) {
  auto s = std::make_unique<ChannelStream>();
  EXPECT_EQ(InitChannelStream(*s, kSf44100, kObjectLc), 0);
  s->window_sequence = sequence;
  s->max_sfb = max_sfb;
  s->num_windows = sequence == EIGHT_SHORT_SEQUENCE ? 8 : 1;
  s->num_window_groups = static_cast<int32_t>(groups.size());
  for (size_t g = 0; g < groups.size(); ++g) s->window_group_length[g] = groups[g];
  return s;
}

TEST(ScaleFactors, RunningValuesPerCodebookKind) {
  auto s = Stream(ONLY_LONG_SEQUENCE, 8);
  const int cbs[8] = {1, 0, 13, 15, 5, 13, 14, 11};
  for (int b = 0; b < 8; ++b) s->sfb_cb[0][b] = cbs[b];
  MarkCodebooks(*s);
  BitWriter w;
  PutScalefactorDelta(w, 0);    // band 0: 120
  w.Put(256 + 7, 9);            // band 2: first noise, 120 - 90 + 7 = 37
  PutScalefactorDelta(w, -3);   // band 3: intensity -3
  PutScalefactorDelta(w, 5);    // band 4: 125
  PutScalefactorDelta(w, -60);  // band 5: noise 37 - 60
  PutScalefactorDelta(w, 60);   // band 6: intensity 57
  PutScalefactorDelta(w, -25);  // band 7: 100
  PaddedStream in(w);
  int16_t out[kAacMaxWindows][kAacMaxSfb] = {};
  out[0][1] = 77;
  ASSERT_EQ(DecodeScaleFactors(*s, in.reader, SharedBooks().tables, 120, 30, out), 0);
  EXPECT_EQ(in.reader.pos, w.bits());
  const int expect[8] = {120, 0, 37, -3, 125, -23, 57, 100};
  for (int b = 0; b < 8; ++b) EXPECT_EQ(out[0][b], expect[b]) << b;
}

TEST(ScaleFactors, FirstNoiseValueOf256KeepsTheStart) {
  auto s = Stream(EIGHT_SHORT_SEQUENCE, 2, {4, 4});
  s->sfb_cb[0][0] = s->sfb_cb[1][1] = NOISE_HCB;
  MarkCodebooks(*s);
  BitWriter w;
  w.Put(256, 9);
  PutScalefactorDelta(w, 2);
  PaddedStream in(w);
  int16_t out[kAacMaxWindows][kAacMaxSfb] = {};
  ASSERT_EQ(DecodeScaleFactors(*s, in.reader, SharedBooks().tables, 90, 0, out), 0);
  EXPECT_EQ(out[0][0], 0);
  EXPECT_EQ(out[1][1], 2);
}

// Plain scale factor bands only (the two-per-refill path): zero bands take no
// bits, an odd band count per group, the longest code words (+-60: 19 bits)
// back to back, and the running value carried from group to group.
TEST(ScaleFactors, PlainBandsAcrossGroupsAndZeroBands) {
  auto s = Stream(EIGHT_SHORT_SEQUENCE, 5, {3, 5});
  const int cbs[2][5] = {{1, 0, 11, 11, 0}, {0, 2, 11, 0, 4}};
  for (int g = 0; g < 2; ++g)
    for (int b = 0; b < 5; ++b) s->sfb_cb[g][b] = cbs[g][b];
  MarkCodebooks(*s);
  const int deltas[6] = {60, -60, 60, 7, -1, -60};
  BitWriter w;
  for (const int d : deltas) PutScalefactorDelta(w, d);
  PaddedStream in(w);
  int16_t out[kAacMaxWindows][kAacMaxSfb];
  std::memset(out, 0x55, sizeof out);
  ASSERT_EQ(DecodeScaleFactors(*s, in.reader, SharedBooks().tables, 100, 0, out), 0);
  EXPECT_EQ(in.reader.pos, w.bits());
  const int expect[2][5] = {{160, 0, 100, 160, 0}, {0, 167, 166, 0, 106}};
  for (int g = 0; g < 2; ++g)
    for (int b = 0; b < 5; ++b) EXPECT_EQ(out[g][b], expect[g][b]) << g << " " << b;
}

TEST(ScaleFactors, OutOfRangeOrTruncatedFails) {
  auto s = Stream(ONLY_LONG_SEQUENCE, 3);
  for (int b = 0; b < 3; ++b) s->sfb_cb[0][b] = 1;
  int16_t out[kAacMaxWindows][kAacMaxSfb] = {};
  {
    BitWriter w;
    PutScalefactorDelta(w, 60);
    PutScalefactorDelta(w, 60);  // 200 + 120 > 255
    PutScalefactorDelta(w, 0);
    PaddedStream in(w);
    EXPECT_EQ(DecodeScaleFactors(*s, in.reader, SharedBooks().tables, 200, 0, out), -1);
  }
  {
    BitWriter w;
    PutScalefactorDelta(w, -11);  // below 0
    PaddedStream in(w);
    EXPECT_EQ(DecodeScaleFactors(*s, in.reader, SharedBooks().tables, 10, 0, out), -1);
  }
  {  // the codewords run past the data
    BitWriter w;
    for (int b = 0; b < 3; ++b) PutScalefactorDelta(w, b == 1 ? -40 : 40);
    ASSERT_GT(w.bits(), 16);
    std::vector<uint8_t> bytes = w.bytes();
    bytes.resize(1);
    PaddedStream in(bytes);
    EXPECT_EQ(DecodeScaleFactors(*s, in.reader, SharedBooks().tables, 100, 0, out), -1);
  }
}

// Every code word of every codebook, back to back, through the decoder's own
// tables (root and sub-tables): the length and the signed tuple it carries.
TEST(SpectralData, EveryCodeWordThroughTheFastTables) {
  for (int cb = 0; cb < 12; ++cb) {
    const AacCodebookInfo& book = kAacCodebooks[cb];
    vxtest::BitWriter w;
    for (int32_t i = 0; i < book.count; ++i) {
      w.Put(static_cast<uint32_t>(book.codes[i].code), book.codes[i].length);
    }
    std::vector<uint8_t> data = w.bytes();
    data.resize(data.size() + 16, 0xA5);  // padding the cache may load
    AacBits bits;
    bits.Start(data.data(), 0);
    int64_t expected_position = 0;
    const int32_t s = book.shift, mask = (1 << s) - 1;
    const AacHuffBook& fast = SharedBooks().tables.fast[cb];
    for (int32_t i = 0; i < book.count; ++i) {
      bits.Refill();
      const uint32_t e = cb == ESC_HCB ? AacHuffDecode<true>(fast.entries, fast.root_bits, bits)
                                       : AacHuffDecode(fast.entries, fast.root_bits, bits);
      const int32_t v = book.codes[i].value;
      expected_position += book.codes[i].length;
      ASSERT_EQ(bits.Position(data.data()), expected_position) << "cb " << cb << " i " << i;
      ASSERT_NE(e, kAacHuffInvalid);
      if (book.kind == 0) {
        const int32_t q = AacHuffQuadIndex(e);  // base-5 digits of the values + 2
        EXPECT_EQ(q / 125 - 2, v >> (3 * s));
        EXPECT_EQ(q / 25 % 5 - 2, ((v >> (2 * s)) & mask) - book.offset);
        EXPECT_EQ(q / 5 % 5 - 2, ((v >> s) & mask) - book.offset);
        EXPECT_EQ(q % 5 - 2, (v & mask) - book.offset);
      } else if (book.kind == 1 || book.kind == 2) {
        EXPECT_EQ(book.kind == 2 ? AacHuffEscY(e) : AacHuffPairY(e), v >> s);
        EXPECT_EQ(book.kind == 2 ? AacHuffEscZ(e) : AacHuffPairZ(e), (v & mask) - book.offset);
      } else {
        EXPECT_EQ(AacHuffScalefactor(e), v);
      }
    }
    EXPECT_EQ(bits.Position(data.data()), expected_position) << "cb " << cb;
  }
}

TEST(SpectralData, QuadsPairsAndEscapes) {
  // 44.1 kHz long bands 0..3 are 4 lines wide, bands 11.. are 8.
  auto s = Stream(ONLY_LONG_SEQUENCE, 14);
  const int cbs[14] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 0, 11};
  for (int b = 0; b < 14; ++b) s->sfb_cb[0][b] = cbs[b];
  MarkCodebooks(*s);
  std::vector<int16_t> expect(1024, 0);
  BitWriter w;
  int p = 0;
  const int quads[4][4] = {{-1, 0, 1, 1}, {1, -1, -1, 0}, {2, -2, 0, 1}, {0, 0, -2, 2}};
  for (int cb = 1; cb <= 4; ++cb) {
    PutQuad(w, cb, quads[cb - 1][0], quads[cb - 1][1], quads[cb - 1][2], quads[cb - 1][3]);
    for (int i = 0; i < 4; ++i) expect[p++] = static_cast<int16_t>(quads[cb - 1][i]);
  }
  const int lav[7] = {4, 4, 7, 7, 12, 12};
  for (int cb = 5; cb <= 10; ++cb) {
    const int m = lav[cb - 5];
    for (const auto& [y, z] : {std::pair{m, -m}, std::pair{-1, 0}}) {
      PutPair(w, cb, y, z);
      expect[p++] = static_cast<int16_t>(y);
      expect[p++] = static_cast<int16_t>(z);
    }
  }
  // Band 10 (8 lines, codebook 11): escapes of every prefix length.
  const int esc[8] = {16, -31, 15, 8191, -4096, 0, 8191, -8191};  // the last: 42 bits
  for (int i = 0; i < 8; i += 2) {
    PutEscPair(w, esc[i], esc[i + 1]);
    expect[p++] = static_cast<int16_t>(esc[i]);
    expect[p++] = static_cast<int16_t>(esc[i + 1]);
  }
  p += 8 + 8;  // noise band and zero band: nothing read, zeros written
  for (int i = 0; i < 4; ++i) {
    PutEscPair(w, i - 2, 17 * i);
    expect[p++] = static_cast<int16_t>(i - 2);
    expect[p++] = static_cast<int16_t>(17 * i);
  }
  ASSERT_EQ(p, s->bands.swb_offset_long[14]);
  w.Put(0x2A, 6);
  PaddedStream in(w);
  for (int i = 0; i < 1024; ++i) s->quant[i] = 555;
  ASSERT_EQ(DecodeSpectralData(*s, in.reader, SharedBooks().tables), 0);
  EXPECT_EQ(in.reader.pos, w.bits() - 6);
  for (int i = 0; i < p; ++i) ASSERT_EQ(s->quant[i], expect[i]) << i;
}

TEST(SpectralData, LongEscapesNextToLongCodeWords) {
  // Two bands of codebook 11 (8 lines, 4 pairs; three pairs share a refill
  // of the bit cache): the longest plain code words, then a pair of two
  // 21-bit escapes where the cache holds least; and the escapes first, so
  // that the longest code words after them in the same refill group need
  // the cache refilled after the escapes.
  const int orders[2][8] = {{15, 14, 14, 15, 8191, -8191, -16, 16},
                            {8191, -8191, 15, 14, 14, 15, -16, 16}};
  for (const auto& values : orders) {
    auto s = Stream(ONLY_LONG_SEQUENCE, 2);
    s->sfb_cb[0][0] = s->sfb_cb[0][1] = 11;
    MarkCodebooks(*s);
    BitWriter w;
    for (int i = 0; i < 8; i += 2) PutEscPair(w, values[i], values[i + 1]);
    PaddedStream in(w);
    ASSERT_EQ(DecodeSpectralData(*s, in.reader, SharedBooks().tables), 0);
    EXPECT_EQ(in.reader.pos, w.bits());
    for (int i = 0; i < 8; ++i) EXPECT_EQ(s->quant[i], values[i]) << i;
  }
}

TEST(SpectralData, ShortGroupReadsOneQuadPerWindow) {
  auto s = Stream(EIGHT_SHORT_SEQUENCE, 1, {3, 5});
  s->sfb_cb[0][0] = 3;
  s->sfb_cb[1][0] = 14;  // intensity: no bits
  MarkCodebooks(*s);
  BitWriter w;
  for (int win = 0; win < 3; ++win) PutQuad(w, 3, win, -win, 1, 0);
  PaddedStream in(w);
  ASSERT_EQ(DecodeSpectralData(*s, in.reader, SharedBooks().tables), 0);
  EXPECT_EQ(in.reader.pos, w.bits());
  for (int win = 0; win < 3; ++win) {
    EXPECT_EQ(s->quant[4 * win], win);
    EXPECT_EQ(s->quant[4 * win + 1], -win);
    EXPECT_EQ(s->quant[4 * win + 2], 1);
    EXPECT_EQ(s->quant[4 * win + 3], 0);
  }
  for (int i = 12; i < 32; ++i) EXPECT_EQ(s->quant[i], 0);
}

TEST(SpectralData, BadEscapeOrTruncatedDataFails) {
  auto s = Stream(ONLY_LONG_SEQUENCE, 1);
  s->sfb_cb[0][0] = 11;
  MarkCodebooks(*s);
  {
    BitWriter w;
    PutPair(w, 11, 16, 0);
    for (int i = 0; i < 9; ++i) w.Put(1, 1);  // escape prefix of 9 ones
    w.Put(0, 1).Put(0, 13);
    PutPair(w, 11, 0, 0);
    PaddedStream in(w);
    EXPECT_EQ(DecodeSpectralData(*s, in.reader, SharedBooks().tables), -1);
  }
  {
    BitWriter w;
    PutEscPair(w, 8191, 8191);
    PutEscPair(w, 8191, 8191);
    std::vector<uint8_t> bytes = w.bytes();
    bytes.resize(bytes.size() - 2);
    PaddedStream in(bytes);
    EXPECT_EQ(DecodeSpectralData(*s, in.reader, SharedBooks().tables), -1);
  }
}

// A complete individual_channel_stream() with every side-information tool.
TEST(ChannelStream, CompleteLongStream) {
  auto s = std::make_unique<ChannelStream>();
  ASSERT_EQ(InitChannelStream(*s, kSf44100, kObjectLc), 0);
  BitWriter w;
  w.Put(100, 8);                                     // global_gain
  w.Put(0, 1).Put(ONLY_LONG_SEQUENCE, 2).Put(1, 1);  // ics_info
  w.Put(3, 6).Put(0, 1);                             // max_sfb 3, no predictor
  w.Put(5, 4).Put(2, 5).Put(0, 4).Put(1, 5);         // sections: cb 5 x2, cb 0
  PutScalefactorDelta(w, 0);
  PutScalefactorDelta(w, 4);
  w.Put(1, 1).Put(0, 2).Put(1, 6).Put(2, 5).Put(3, 4);  // one pulse: line 4 + 2, amp 3
  w.Put(1, 1);                                          // tns_data_present
  w.Put(1, 2).Put(0, 1).Put(3, 6).Put(1, 5).Put(0, 1).Put(0, 1).Put(3, 3);
  w.Put(0, 1);  // gain control
  const int pairs[4][2] = {{1, -2}, {4, 4}, {0, 0}, {-3, 1}};
  for (const auto& pr : pairs) PutPair(w, 5, pr[0], pr[1]);
  PaddedStream in(w);
  ASSERT_EQ(DecodeChannelStream(*s, in.reader, 0, kObjectLc, SharedBooks().tables), 0);
  EXPECT_EQ(in.reader.pos, w.bits());
  EXPECT_EQ(s->global_gain, 100);
  EXPECT_EQ(s->scale_factors[0][1], 104);
  EXPECT_EQ(s->tns.order[0][0], 1);
  EXPECT_EQ(s->quant[6], -3);
  ApplyPulses(*s);
  EXPECT_EQ(s->quant[6], -6);
  EXPECT_EQ(s->quant[7], 1);

  // Gain control data is refused.
  BitWriter g;
  g.Put(100, 8).Put(0, 1).Put(0, 2).Put(0, 1).Put(0, 6).Put(0, 1);
  g.Put(0, 1).Put(0, 1).Put(1, 1);
  PaddedStream gin(g);
  EXPECT_EQ(DecodeChannelStream(*s, gin.reader, 0, kObjectLc, SharedBooks().tables), -1);
}

// Random bytes: every outcome is 0 or -1, and the reader never ends far
// beyond the data (bounded loops, checked positions).
TEST(ChannelStream, RandomInputIsRejectedOrDecodedSafely) {
  std::mt19937 rng(1234);
  auto s = std::make_unique<ChannelStream>();
  int failures = 0;
  for (int trial = 0; trial < 3000; ++trial) {
    std::vector<uint8_t> bytes(1 + rng() % 300);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
    ASSERT_EQ(InitChannelStream(*s, static_cast<int32_t>(rng() % 13), kObjectLc), 0);
    PaddedStream in(bytes);
    const int rc = DecodeChannelStream(*s, in.reader, 0, trial % 3 ? kObjectLc : kObjectMain,
                                       SharedBooks().tables);
    ASSERT_TRUE(rc == 0 || rc == -1);
    if (rc == 0) {
      ASSERT_FALSE(UMC::BitReaderOverrun(in.reader));
      ApplyPulses(*s);
      std::vector<float> x(1024);
      InverseQuantise(*s, x.data());
      uint32_t noise = 0;
      ApplyNoiseSubstitution(*s, nullptr, x.data(), nullptr, &noise);
      DeinterleaveShort(*s, x.data());
      TnsFilterSet set;
      PrepareTns(*s, &set);
      ApplyTns(set, x.data());
    } else {
      ++failures;
      // Parsing stops at the latest one band of codewords after the end.
      ASSERT_LE(in.reader.pos, int64_t{8} * (bytes.size() + kAacReaderPadding));
    }
  }
  EXPECT_GT(failures, 0);
}

}  // namespace
