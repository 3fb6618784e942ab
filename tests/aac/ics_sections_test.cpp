// section_data() and pulse_data(): valid layouts and every malformed bound.
#include <gtest/gtest.h>

#include <memory>

#include "aac/channel_stream.h"
#include "tests/aac/ics_test_util.h"

using namespace ics_test;

namespace {

std::unique_ptr<ChannelStream> LongStream(int32_t max_sfb) {
  auto s = std::make_unique<ChannelStream>();
  EXPECT_EQ(InitChannelStream(*s, kSf44100, kObjectLc), 0);
  s->window_sequence = ONLY_LONG_SEQUENCE;
  s->max_sfb = max_sfb;
  return s;
}

std::unique_ptr<ChannelStream> ShortStream(int32_t max_sfb, uint32_t grouping) {
  auto s = std::make_unique<ChannelStream>();
  EXPECT_EQ(InitChannelStream(*s, kSf44100, kObjectLc), 0);
  BitWriter w;
  w.Put(0, 1).Put(EIGHT_SHORT_SEQUENCE, 2).Put(0, 1).Put(max_sfb, 4).Put(grouping, 7);
  PaddedStream in(w);
  EXPECT_EQ(DecodeIcsInfo(*s, in.reader, kObjectLc), 0);
  return s;
}

TEST(SectionData, LongSectionsWithEscapedLengths) {
  auto s = LongStream(49);
  BitWriter w;
  w.Put(11, 4).Put(31, 5).Put(2, 5);  // 33 bands of codebook 11
  w.Put(0, 4).Put(1, 5);              // one zero band
  w.Put(13, 4).Put(15, 5);            // 15 noise bands -> 49
  PaddedStream in(w);
  ASSERT_EQ(DecodeSectionData(*s, in.reader), 0);
  EXPECT_EQ(in.reader.pos, w.bits());
  for (int b = 0; b < 33; ++b) EXPECT_EQ(s->sfb_cb[0][b], 11);
  EXPECT_EQ(s->sfb_cb[0][33], 0);
  for (int b = 34; b < 49; ++b) EXPECT_EQ(s->sfb_cb[0][b], 13);
  EXPECT_EQ(s->sfb_cb[0][49], 0);
  EXPECT_EQ(s->sfb_cb[0][50], 0);
  EXPECT_EQ(s->section_starts[0], uint64_t{1} | uint64_t{1} << 33 | uint64_t{1} << 34);
}

TEST(SectionData, ShortGroupsUseThreeBitLengths) {
  auto s = ShortStream(10, 0x70);  // 1110000: groups 4,1,1,1,1
  ASSERT_EQ(s->num_window_groups, 5);
  BitWriter w;
  w.Put(1, 4).Put(7, 3).Put(3, 3);  // 10 bands of codebook 1
  for (int g = 1; g < 5; ++g) w.Put(g + 1, 4).Put(4, 3).Put(15, 4).Put(6, 3);
  PaddedStream in(w);
  ASSERT_EQ(DecodeSectionData(*s, in.reader), 0);
  EXPECT_EQ(in.reader.pos, w.bits());
  for (int b = 0; b < 10; ++b) EXPECT_EQ(s->sfb_cb[0][b], 1);
  for (int g = 1; g < 5; ++g) {
    for (int b = 0; b < 4; ++b) EXPECT_EQ(s->sfb_cb[g][b], g + 1);
    for (int b = 4; b < 10; ++b) EXPECT_EQ(s->sfb_cb[g][b], 15);
    EXPECT_EQ(s->sfb_cb[g][10], 0);
    EXPECT_EQ(s->section_starts[g], 0x11u) << g;
  }
  EXPECT_EQ(s->section_starts[0], 1u);
}

TEST(SectionData, MalformedSectionsFail) {
  {  // 31 + 31 + 0 = 62 bands exceeds every max_sfb
    auto s = LongStream(49);
    BitWriter w;
    w.Put(1, 4).Put(31, 5).Put(31, 5).Put(0, 5);
    PaddedStream in(w);
    EXPECT_EQ(DecodeSectionData(*s, in.reader), -1);
  }
  {  // one band too many
    auto s = LongStream(20);
    BitWriter w;
    w.Put(1, 4).Put(10, 5).Put(2, 4).Put(11, 5);
    PaddedStream in(w);
    EXPECT_EQ(DecodeSectionData(*s, in.reader), -1);
  }
  {  // reserved codebook 12
    auto s = LongStream(20);
    BitWriter w;
    w.Put(12, 4).Put(20, 5);
    PaddedStream in(w);
    EXPECT_EQ(DecodeSectionData(*s, in.reader), -1);
  }
  {  // empty sections cannot loop forever
    auto s = LongStream(5);
    BitWriter w;
    for (int i = 0; i < 40; ++i) w.Put(3, 4).Put(0, 5);
    PaddedStream in(w);
    EXPECT_EQ(DecodeSectionData(*s, in.reader), -1);
    EXPECT_LE(in.reader.pos, 6 * 9);
  }
  {  // all ones: escapes until the band limit is crossed
    auto s = ShortStream(14, 0);
    std::vector<uint8_t> ones(64, 0xFF);
    PaddedStream in(ones);
    EXPECT_EQ(DecodeSectionData(*s, in.reader), -1);
  }
  {  // data ends inside the sections
    auto s = LongStream(49);
    BitWriter w;
    w.Put(1, 4).Put(3, 5);  // then zero bits past the end: empty sections
    PaddedStream in(w);
    EXPECT_EQ(DecodeSectionData(*s, in.reader), -1);
  }
}

// A frame leaves no codebook of an earlier frame of the channel behind:
// not in the groups a long window after short ones lacks, not after
// max_sfb 0, and not after sections that fail.
TEST(SectionData, EarlierFramesLeaveNoCodebooks) {
  auto s = ShortStream(10, 0x70);  // groups 4,1,1,1,1
  BitWriter shorts;
  for (int g = 0; g < 5; ++g) shorts.Put(9, 4).Put(7, 3).Put(3, 3);
  PaddedStream in_short(shorts);
  ASSERT_EQ(DecodeSectionData(*s, in_short.reader), 0);
  ASSERT_EQ(s->sfb_cb[4][9], 9);
  const auto all_zero = [&s] {
    for (int g = 0; g < kAacMaxWindows; ++g) {
      if (s->section_starts[g] != 0) return false;
      for (int b = 0; b < kAacMaxSfb; ++b)
        if (s->sfb_cb[g][b] != 0) return false;
    }
    return true;
  };
  s->window_sequence = ONLY_LONG_SEQUENCE;
  s->num_window_groups = 1;
  s->max_sfb = 0;
  BitWriter none;
  none.Put(0xFF, 8);
  PaddedStream in_none(none);
  ASSERT_EQ(DecodeSectionData(*s, in_none.reader), 0);
  EXPECT_EQ(in_none.reader.pos, 0);
  EXPECT_TRUE(all_zero());
  // Short sections again, then a long frame whose sections overrun max_sfb.
  s = ShortStream(10, 0x70);
  PaddedStream again(shorts);
  ASSERT_EQ(DecodeSectionData(*s, again.reader), 0);
  s->window_sequence = ONLY_LONG_SEQUENCE;
  s->num_window_groups = 1;
  s->max_sfb = 5;
  BitWriter bad;
  bad.Put(1, 4).Put(6, 5);
  PaddedStream in_bad(bad);
  EXPECT_EQ(DecodeSectionData(*s, in_bad.reader), -1);
  EXPECT_TRUE(all_zero());
}

TEST(PulseData, PositionsWithinTheFrame) {
  // 44.1 kHz: swb_offset_long[40] = 672, [48] = 928.
  auto s = LongStream(49);
  BitWriter w;
  w.Put(3, 2).Put(40, 6);
  const int offsets[4] = {0, 31, 5, 31};
  const int amps[4] = {15, 1, 7, 2};
  for (int i = 0; i < 4; ++i) w.Put(offsets[i], 5).Put(amps[i], 4);
  PaddedStream in(w);
  ASSERT_EQ(DecodePulseData(*s, in.reader), 0);
  EXPECT_EQ(in.reader.pos, w.bits());
  EXPECT_EQ(s->number_pulse, 3);
  EXPECT_EQ(s->pulse_start_sfb, 40);
  s->pulse_data_present = 1;
  s->quant[672] = 3;   // grows
  s->quant[703] = 0;   // zero becomes negative
  s->quant[708] = -2;  // negative grows in magnitude
  s->quant[739] = 8191;
  ApplyPulses(*s);
  EXPECT_EQ(s->quant[672], 18);
  EXPECT_EQ(s->quant[703], -1);
  EXPECT_EQ(s->quant[708], -9);
  EXPECT_EQ(s->quant[739], 8193);
}

TEST(PulseData, OutOfRangeStartOrPositionFails) {
  {  // start band above the band count
    auto s = LongStream(49);
    BitWriter w;
    w.Put(0, 2).Put(50, 6).Put(0, 5).Put(1, 4);
    PaddedStream in(w);
    EXPECT_EQ(DecodePulseData(*s, in.reader), -1);
  }
  {  // start at the last band boundary (1024) itself: position 1024 fails
    auto s = LongStream(49);
    BitWriter w;
    w.Put(0, 2).Put(49, 6).Put(0, 5).Put(1, 4);
    PaddedStream in(w);
    EXPECT_EQ(DecodePulseData(*s, in.reader), -1);
  }
  {  // offsets add up beyond line 1023: 928 + 3 x 31 + 2 = 1023 ok, one more fails
    for (int last : {2, 3}) {
      auto s = LongStream(49);
      BitWriter w;
      w.Put(3, 2).Put(48, 6);
      for (int i = 0; i < 3; ++i) w.Put(31, 5).Put(1, 4);
      w.Put(last, 5).Put(1, 4);
      PaddedStream in(w);
      EXPECT_EQ(DecodePulseData(*s, in.reader), last == 3 ? -1 : 0);
    }
  }
}

TEST(PulseData, StackedPulsesStayInsideTheQuantisedRange) {
  auto s = LongStream(49);
  BitWriter w;
  w.Put(3, 2).Put(0, 6);
  for (int i = 0; i < 4; ++i) w.Put(0, 5).Put(15, 4);  // four pulses on line 0
  PaddedStream in(w);
  ASSERT_EQ(DecodePulseData(*s, in.reader), 0);
  s->pulse_data_present = 1;
  s->quant[0] = 8191;
  ApplyPulses(*s);
  EXPECT_EQ(s->quant[0], 8206);
  s->quant[0] = -8191;
  ApplyPulses(*s);
  EXPECT_EQ(s->quant[0], -8206);
}

}  // namespace
