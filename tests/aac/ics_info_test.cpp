// ics_info(), ltp_data(), the common-window copy and the M/S mask.
#include <gtest/gtest.h>

#include <memory>

#include "aac/channel_stream.h"
#include "tests/aac/ics_test_util.h"

using namespace ics_test;

namespace {

std::unique_ptr<ChannelStream> NewStream(int32_t sf_index, int32_t object_type) {
  auto s = std::make_unique<ChannelStream>();
  EXPECT_EQ(InitChannelStream(*s, sf_index, object_type), 0);
  return s;
}

// ics_reserved_bit, window_sequence, window_shape.
BitWriter& IcsHead(BitWriter& w, int32_t sequence, int32_t shape) {
  return w.Put(0, 1).Put(sequence, 2).Put(shape, 1);
}

TEST(IcsInfo, BandTablesCoverEveryRateIndexAndRejectTheRest) {
  AacBandTables t;
  for (int32_t i = 0; i <= 12; ++i) {
    ASSERT_EQ(GetAacBandTables(i, kObjectLc, &t), 0) << i;
    EXPECT_EQ(t.swb_offset_long[0], 0);
    EXPECT_EQ(t.swb_offset_long[t.num_swb_long], 1024) << i;
    EXPECT_EQ(t.swb_offset_short[t.num_swb_short], 128) << i;
    for (int32_t b = 0; b < t.num_swb_long; ++b) {
      EXPECT_LT(t.swb_offset_long[b], t.swb_offset_long[b + 1]);
    }
    EXPECT_LE(t.tns_max_bands_long, t.num_swb_long);
    EXPECT_LE(t.pred_sfb_max, t.num_swb_long);
  }
  EXPECT_EQ(GetAacBandTables(13, kObjectLc, &t), -1);
  EXPECT_EQ(GetAacBandTables(-1, kObjectLc, &t), -1);
  EXPECT_EQ(GetAacBandTables(3, kObjectLc, nullptr), -1);
  // 7350 Hz shares the 8 kHz tables; TNS order depends on the object type.
  AacBandTables t8;
  ASSERT_EQ(GetAacBandTables(11, kObjectLc, &t8), 0);
  ASSERT_EQ(GetAacBandTables(12, kObjectLc, &t), 0);
  EXPECT_EQ(t.swb_offset_long, t8.swb_offset_long);
  EXPECT_EQ(t.num_swb_long, 40);
  EXPECT_EQ(t.tns_max_order_long, 12);
  ASSERT_EQ(GetAacBandTables(4, kObjectMain, &t), 0);
  EXPECT_EQ(t.tns_max_order_long, 20);
  EXPECT_EQ(t.tns_max_order_short, 7);
  EXPECT_EQ(t.tns_max_bands_long, 42);
  EXPECT_EQ(t.pred_sfb_max, 40);
  ASSERT_EQ(GetAacBandTables(5, 3, &t), 0);  // SSR limits
  EXPECT_EQ(t.tns_max_bands_long, 26);
  EXPECT_EQ(t.tns_max_bands_short, 6);
}

TEST(IcsInfo, LongWindowMaxSfbUpToTheBandCount) {
  for (int32_t max_sfb : {0, 17, 49, 50, 63}) {
    auto s = NewStream(kSf44100, kObjectLc);
    BitWriter w;
    IcsHead(w, LONG_START_SEQUENCE, 1).Put(max_sfb, 6).Put(0, 1);
    PaddedStream in(w);
    const int rc = DecodeIcsInfo(*s, in.reader, kObjectLc);
    EXPECT_EQ(rc, max_sfb <= 49 ? 0 : -1) << max_sfb;
    if (rc == 0) {
      EXPECT_EQ(s->window_sequence, LONG_START_SEQUENCE);
      EXPECT_EQ(s->window_shape, 1);
      EXPECT_EQ(s->max_sfb, max_sfb);
      EXPECT_EQ(s->num_windows, 1);
      EXPECT_EQ(s->num_window_groups, 1);
      EXPECT_EQ(s->window_group_length[0], 1);
      EXPECT_EQ(in.reader.pos, w.bits());
    }
  }
}

TEST(IcsInfo, ShortWindowGroupingAndBandLimit) {
  struct Case {
    uint32_t grouping;
    int groups;
    int lengths[8];
  };
  const Case cases[] = {
      {0x00, 8, {1, 1, 1, 1, 1, 1, 1, 1}},
      {0x7F, 1, {8}},
      {0x5B, 3, {2, 3, 3}},  // 1011011
      {0x40, 7, {2, 1, 1, 1, 1, 1, 1}},
  };
  for (const Case& c : cases) {
    auto s = NewStream(kSf44100, kObjectLc);
    BitWriter w;
    IcsHead(w, EIGHT_SHORT_SEQUENCE, 0).Put(14, 4).Put(c.grouping, 7);
    PaddedStream in(w);
    ASSERT_EQ(DecodeIcsInfo(*s, in.reader, kObjectLc), 0);
    EXPECT_EQ(s->num_windows, 8);
    EXPECT_EQ(s->max_sfb, 14);
    ASSERT_EQ(s->num_window_groups, c.groups) << c.grouping;
    for (int g = 0; g < c.groups; ++g) EXPECT_EQ(s->window_group_length[g], c.lengths[g]);
    EXPECT_EQ(in.reader.pos, w.bits());  // no predictor bit for short windows
  }
  auto s = NewStream(kSf44100, kObjectLc);
  BitWriter w;
  IcsHead(w, EIGHT_SHORT_SEQUENCE, 0).Put(15, 4).Put(0, 7);
  PaddedStream in(w);
  EXPECT_EQ(DecodeIcsInfo(*s, in.reader, kObjectLc), -1);
}

TEST(IcsInfo, PredictorDataOnlyWhereTheObjectTypeHasIt) {
  auto lc = NewStream(kSf44100, kObjectLc);
  BitWriter w;
  IcsHead(w, ONLY_LONG_SEQUENCE, 0).Put(10, 6).Put(1, 1);
  PaddedStream in(w);
  EXPECT_EQ(DecodeIcsInfo(*lc, in.reader, kObjectLc), -1);

  // Main: reset with group 7, then one flag per band below min(max_sfb, 40).
  auto main = NewStream(kSf44100, kObjectMain);
  BitWriter m;
  IcsHead(m, ONLY_LONG_SEQUENCE, 0).Put(45, 6).Put(1, 1).Put(1, 1).Put(7, 5);
  for (int b = 0; b < 40; ++b) m.Put(b % 3 == 0, 1);
  m.Put(0x5, 3);  // following data
  PaddedStream min(m);
  ASSERT_EQ(DecodeIcsInfo(*main, min.reader, kObjectMain), 0);
  EXPECT_EQ(main->predictor_data_present, 1);
  EXPECT_EQ(main->predictor_reset, 1);
  EXPECT_EQ(main->predictor_reset_group_number, 7);
  for (int b = 0; b < 40; ++b) EXPECT_EQ(main->prediction_used[b], b % 3 == 0) << b;
  EXPECT_EQ(min.reader.pos, m.bits() - 3);

  // Without predictor data every flag is cleared.
  BitWriter m2;
  IcsHead(m2, ONLY_LONG_SEQUENCE, 0).Put(45, 6).Put(0, 1);
  PaddedStream min2(m2);
  ASSERT_EQ(DecodeIcsInfo(*main, min2.reader, kObjectMain), 0);
  EXPECT_EQ(main->predictor_reset, 0);
  for (int b = 0; b < kAacMaxPredSfb; ++b) EXPECT_EQ(main->prediction_used[b], 0);
}

TEST(IcsInfo, LtpDataLongAndShort) {
  auto s = NewStream(kSf44100, kObjectLtp);
  BitWriter w;
  IcsHead(w, ONLY_LONG_SEQUENCE, 1).Put(45, 6).Put(1, 1);  // predictor_data_present
  w.Put(1, 1).Put(2047, 11).Put(5, 3);                     // ltp_data_present, lag, coef
  for (int b = 0; b < 40; ++b) w.Put(b & 1, 1);            // flags for min(45, 40) bands
  w.Put(1, 1);
  PaddedStream in(w);
  ASSERT_EQ(DecodeIcsInfo(*s, in.reader, kObjectLtp), 0);
  EXPECT_EQ(s->ltp_data_present, 1);
  EXPECT_EQ(s->ltp_lag, 2047);
  EXPECT_EQ(s->ltp_coef, 5);
  for (int b = 0; b < 40; ++b) EXPECT_EQ(s->ltp_long_used[b], b & 1);
  for (int b = 40; b < kAacMaxSfb; ++b) EXPECT_EQ(s->ltp_long_used[b], 0);
  EXPECT_EQ(in.reader.pos, w.bits() - 1);

  // Short windows: per window used, lag present, lag.
  s->window_sequence = EIGHT_SHORT_SEQUENCE;
  BitWriter ws;
  ws.Put(100, 11).Put(2, 3);
  ws.Put(1, 1).Put(1, 1).Put(9, 4);  // window 0 with lag 9
  ws.Put(1, 1).Put(0, 1);            // window 1 without lag
  for (int i = 2; i < 8; ++i) ws.Put(0, 1);
  PaddedStream ins(ws);
  ASSERT_EQ(DecodeLtpData(*s, ins.reader), 0);
  EXPECT_EQ(ins.reader.pos, ws.bits());
  EXPECT_EQ(s->ltp_short_used[0], 1);
  EXPECT_EQ(s->ltp_short_lag[0], 9);
  EXPECT_EQ(s->ltp_short_used[1], 1);
  EXPECT_EQ(s->ltp_short_lag_present[1], 0);
  EXPECT_EQ(s->ltp_short_lag[1], 0);
  EXPECT_EQ(s->ltp_short_used[2], 0);
}

TEST(IcsInfo, CommonWindowCopyRebuildsGroupingAndKeepsLtpSeparate) {
  auto a = NewStream(kSf32000, kObjectMain);
  auto b = std::make_unique<ChannelStream>();
  BitWriter w;
  IcsHead(w, EIGHT_SHORT_SEQUENCE, 1).Put(12, 4).Put(0x36, 7);  // 0110110
  PaddedStream in(w);
  ASSERT_EQ(DecodeIcsInfo(*a, in.reader, kObjectMain), 0);
  a->prediction_used[3] = 1;
  a->ltp_data_present = 1;
  b->ltp_data_present = 1;
  CopyIcsInfo(*a, *b, kObjectMain);
  EXPECT_EQ(b->bands.num_swb_long, 51);
  EXPECT_EQ(b->window_sequence, EIGHT_SHORT_SEQUENCE);
  EXPECT_EQ(b->window_shape, 1);
  EXPECT_EQ(b->max_sfb, 12);
  ASSERT_EQ(b->num_window_groups, a->num_window_groups);
  for (int g = 0; g < a->num_window_groups; ++g) {
    EXPECT_EQ(b->window_group_length[g], a->window_group_length[g]);
  }
  EXPECT_EQ(b->prediction_used[3], 1);
  EXPECT_EQ(b->ltp_data_present, 0);
}

TEST(IcsInfo, MsMaskPerGroupAndBand) {
  auto s = NewStream(kSf44100, kObjectLc);
  BitWriter w;
  IcsHead(w, EIGHT_SHORT_SEQUENCE, 0).Put(3, 4).Put(0x7E, 7);  // groups of 7 and 1
  w.Put(1, 2);                                                 // ms_mask_present 1
  w.Put(0b101, 3).Put(0b011, 3);
  PaddedStream in(w);
  ASSERT_EQ(DecodeIcsInfo(*s, in.reader, kObjectLc), 0);
  ASSERT_EQ(DecodeMsData(*s, in.reader), 0);
  EXPECT_EQ(in.reader.pos, w.bits());
  const uint8_t expect[2][3] = {{1, 0, 1}, {0, 1, 1}};
  for (int g = 0; g < 2; ++g) {
    for (int b = 0; b < 3; ++b) EXPECT_EQ(s->ms_used[g][b], expect[g][b]);
    EXPECT_EQ(s->ms_used[g][3], 0);
  }
  for (uint32_t mode : {0u, 2u, 3u}) {
    BitWriter m;
    m.Put(mode, 2);
    PaddedStream min(m);
    EXPECT_EQ(DecodeMsData(*s, min.reader), mode == 3 ? -1 : 0);
    EXPECT_EQ(min.reader.pos, 2);
    if (mode != 3) {
      EXPECT_EQ(s->ms_used[1][2], mode == 2 ? 1 : 0);
    }
  }
  // A new ics_info clears the pair's mask.
  PaddedStream again(w);
  ASSERT_EQ(DecodeIcsInfo(*s, again.reader, kObjectLc), 0);
  EXPECT_EQ(s->ms_mask_present, 0);
}

// 49 flags of a long window (read in two pieces): each band's own bit, the
// reader right after them.
TEST(IcsInfo, MsMaskOfManyBands) {
  auto s = NewStream(kSf44100, kObjectLc);
  BitWriter w;
  IcsHead(w, ONLY_LONG_SEQUENCE, 0).Put(49, 6).Put(0, 1);
  w.Put(1, 2);
  const auto flag = [](int b) { return b == 0 || b == 31 || b == 32 || b == 48 || b % 7 == 3; };
  for (int b = 0; b < 49; ++b) w.Put(flag(b) ? 1 : 0, 1);
  w.Put(0, 1);
  PaddedStream in(w);
  ASSERT_EQ(DecodeIcsInfo(*s, in.reader, kObjectLc), 0);
  ASSERT_EQ(DecodeMsData(*s, in.reader), 0);
  EXPECT_EQ(in.reader.pos, w.bits() - 1);
  for (int b = 0; b < 51; ++b) {
    EXPECT_EQ(s->ms_used[0][b], b < 49 && flag(b) ? 1 : 0) << b;
    EXPECT_EQ(s->ms_bands[0] >> (63 - b) & 1, b < 49 && flag(b) ? 1u : 0u) << b;
  }
}

}  // namespace
