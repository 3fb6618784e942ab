// ics_info(), ltp_data() and the M/S mask of a common-window pair
// (ISO/IEC 14496-3, 4.4.2.1 and 4.4.2.7), and the band tables and tool limits
// of each sampling frequency index.
#include <cstring>

#include "aac/aac_swb_tables.h"
#include "aac/channel_stream.h"

namespace {

constexpr int32_t kObjectTypeMain = 1;
constexpr int32_t kObjectTypeSsr = 3;
constexpr int32_t kObjectTypeLtp = 4;
constexpr int32_t kObjectTypeBsac = 22;

// Window groups from the seven scale_factor_grouping bits: a 1 bit keeps the
// next window in the current group, a 0 opens a new group.
void SetGrouping(ChannelStream& s) {
  std::memset(s.window_group_length, 0, sizeof(s.window_group_length));
  if (s.window_sequence != EIGHT_SHORT_SEQUENCE) {
    s.num_windows = 1;
    s.num_window_groups = 1;
    s.window_group_length[0] = 1;
    return;
  }
  s.num_windows = 8;
  s.num_window_groups = 1;
  s.window_group_length[0] = 1;
  for (int bit = 6; bit >= 0; --bit) {
    if ((s.scale_factor_grouping >> bit) & 1) {
      ++s.window_group_length[s.num_window_groups - 1];
    } else {
      s.window_group_length[s.num_window_groups++] = 1;
    }
  }
}

int DecodePredictorData(ChannelStream& s, UMC::BitReader& r, int32_t object_type) {
  if (object_type == kObjectTypeMain) {
    s.predictor_reset = static_cast<int32_t>(UMC::BitReaderRead1(r));
    if (s.predictor_reset) s.predictor_reset_group_number = UMC::BitReaderRead(r, 5);
    const int32_t limit = s.max_sfb < s.bands.pred_sfb_max ? s.max_sfb : s.bands.pred_sfb_max;
    for (int32_t sfb = 0; sfb < limit; ++sfb) {
      s.prediction_used[sfb] = static_cast<uint8_t>(UMC::BitReaderRead1(r));
    }
    return 0;
  }
  if (object_type == kObjectTypeLtp) {
    s.ltp_data_present = static_cast<int32_t>(UMC::BitReaderRead1(r));
    return s.ltp_data_present ? DecodeLtpData(s, r) : 0;
  }
  return -1;  // no other object type carries predictor data
}

}  // namespace

namespace {

int32_t Min(int32_t a, int32_t b) {
  return a < b ? a : b;
}

}  // namespace

int GetAacBandTables(int32_t sf_index, int32_t object_type, AacBandTables* tables,
                     int32_t frame_length) {
  if (!tables || sf_index < 0 || sf_index >= kAacSwbInfoCount) return -1;
  if (frame_length != kAacFrameLength && frame_length != kAacFrameLength960) return -1;
  const AacSwbInfo& info = kAacSwbInfo[sf_index];
  const bool ssr = object_type == kObjectTypeSsr;
  const bool short_frames = frame_length == kAacFrameLength960;
  tables->frame_length = frame_length;
  tables->short_length = frame_length / 8;
  tables->swb_offset_long = short_frames ? info.swb_offset_960 : info.swb_offset_long;
  tables->swb_offset_short = short_frames ? info.swb_offset_120 : info.swb_offset_short;
  tables->num_swb_long = short_frames ? info.num_swb_960 : info.num_swb_long;
  tables->num_swb_short = short_frames ? info.num_swb_120 : info.num_swb_short;
  // The tool limits are those of the rate; a 960-line frame may have fewer
  // bands than they allow.
  tables->pred_sfb_max = Min(info.pred_sfb_max, tables->num_swb_long);
  tables->tns_max_bands_long =
      Min(ssr ? info.tns_max_bands_long_ssr : info.tns_max_bands_long, tables->num_swb_long);
  tables->tns_max_bands_short =
      Min(ssr ? info.tns_max_bands_short_ssr : info.tns_max_bands_short, tables->num_swb_short);
  const bool long_order = object_type == kObjectTypeMain || object_type == kObjectTypeLtp;
  tables->tns_max_order_long = long_order ? 20 : 12;
  tables->tns_max_order_short = 7;
  return 0;
}

int InitChannelStream(ChannelStream& s, int32_t sf_index, int32_t object_type,
                      int32_t frame_length) {
  std::memset(static_cast<void*>(&s), 0, sizeof(s));
  s.num_windows = 1;
  s.num_window_groups = 1;
  s.window_group_length[0] = 1;
  return GetAacBandTables(sf_index, object_type, &s.bands, frame_length);
}

int DecodeIcsInfo(ChannelStream& s, UMC::BitReader& r, int32_t object_type) {
  s.ics_reserved_bit = static_cast<int32_t>(UMC::BitReaderRead1(r));
  s.window_sequence = static_cast<int32_t>(UMC::BitReaderRead(r, 2));
  s.window_shape = static_cast<int32_t>(UMC::BitReaderRead1(r));
  s.predictor_data_present = 0;
  s.predictor_reset = 0;
  s.ltp_data_present = 0;
  s.ms_mask_present = 0;  // a common-window pair reads its mask after ics_info
  std::memset(s.prediction_used, 0, sizeof(s.prediction_used));

  if (s.window_sequence == EIGHT_SHORT_SEQUENCE) {
    s.max_sfb = static_cast<int32_t>(UMC::BitReaderRead(r, 4));
    s.scale_factor_grouping = static_cast<int32_t>(UMC::BitReaderRead(r, 7));
    SetGrouping(s);
    return s.max_sfb > s.bands.num_swb_short ? -1 : 0;
  }
  s.max_sfb = static_cast<int32_t>(UMC::BitReaderRead(r, 6));
  s.scale_factor_grouping = 0;
  SetGrouping(s);
  if (s.max_sfb > s.bands.num_swb_long) return -1;
  if (object_type == kObjectTypeBsac) return 0;

  s.predictor_data_present = static_cast<int32_t>(UMC::BitReaderRead1(r));
  return s.predictor_data_present ? DecodePredictorData(s, r, object_type) : 0;
}

int DecodeLtpData(ChannelStream& s, UMC::BitReader& r) {
  s.ltp_lag = static_cast<int32_t>(UMC::BitReaderRead(r, 11));
  s.ltp_coef = static_cast<int32_t>(UMC::BitReaderRead(r, 3));
  std::memset(s.ltp_long_used, 0, sizeof(s.ltp_long_used));
  std::memset(s.ltp_short_used, 0, sizeof(s.ltp_short_used));
  std::memset(s.ltp_short_lag_present, 0, sizeof(s.ltp_short_lag_present));
  std::memset(s.ltp_short_lag, 0, sizeof(s.ltp_short_lag));
  if (s.window_sequence == EIGHT_SHORT_SEQUENCE) {
    for (int w = 0; w < kAacMaxWindows; ++w) {
      s.ltp_short_used[w] = static_cast<uint8_t>(UMC::BitReaderRead1(r));
      if (!s.ltp_short_used[w]) continue;
      s.ltp_short_lag_present[w] = static_cast<uint8_t>(UMC::BitReaderRead1(r));
      if (s.ltp_short_lag_present[w]) s.ltp_short_lag[w] = UMC::BitReaderRead(r, 4);
    }
    return 0;
  }
  const int32_t limit = s.max_sfb < kAacMaxLtpSfb ? s.max_sfb : kAacMaxLtpSfb;
  for (int32_t sfb = 0; sfb < limit; ++sfb) {
    s.ltp_long_used[sfb] = static_cast<uint8_t>(UMC::BitReaderRead1(r));
  }
  return 0;
}

void CopyIcsInfo(const ChannelStream& from, ChannelStream& to, int32_t object_type) {
  to.bands = from.bands;
  to.ics_reserved_bit = from.ics_reserved_bit;
  to.window_sequence = from.window_sequence;
  to.window_shape = from.window_shape;
  to.max_sfb = from.max_sfb;
  to.scale_factor_grouping = from.scale_factor_grouping;
  SetGrouping(to);
  to.predictor_data_present = from.predictor_data_present;
  to.ltp_data_present = 0;
  if (object_type == kObjectTypeMain) {
    to.predictor_reset = from.predictor_reset;
    to.predictor_reset_group_number = from.predictor_reset_group_number;
    std::memcpy(to.prediction_used, from.prediction_used, sizeof(to.prediction_used));
  }
}

int DecodeMsData(ChannelStream& first, UMC::BitReader& r) {
  first.ms_mask_present = static_cast<int32_t>(UMC::BitReaderRead(r, 2));
  std::memset(first.ms_used, 0, sizeof(first.ms_used));
  std::memset(first.ms_bands, 0, sizeof(first.ms_bands));
  if (first.ms_mask_present == 3) return -1;  // reserved
  if (first.ms_mask_present == 0) return 0;
  const int32_t bands = first.max_sfb < kAacMaxSfb ? first.max_sfb : kAacMaxSfb;
  if (bands <= 0) return 0;
  const int32_t groups =
      first.num_window_groups < kAacMaxWindows ? first.num_window_groups : kAacMaxWindows;
  for (int32_t g = 0; g < groups; ++g) {
    // A group's flags in at most two reads (51 bits), first band highest.
    uint64_t flags = ~uint64_t{0};
    if (first.ms_mask_present == 1) {
      flags = 0;
      for (int32_t left = bands; left > 0;) {
        const int32_t n = left < 32 ? left : 32;
        flags = flags << n | UMC::BitReaderRead(r, n);
        left -= n;
      }
    }
    first.ms_bands[g] = flags << (64 - bands);
    // The flags as bytes, eight at a time: the multiply copies flag k of a
    // byte (first band highest) to bit 7 of byte k, bits beyond max_sfb are
    // clear.
    uint8_t row[64];
    for (int32_t i = 0; i < 8; ++i) {
      const uint64_t v = first.ms_bands[g] >> (56 - 8 * i) & 0xFF;
      const uint64_t bytes = (v * 0x8040201008040201u) >> 7 & 0x0101010101010101u;
      std::memcpy(row + 8 * i, &bytes, 8);
    }
    std::memcpy(first.ms_used[g], row, sizeof first.ms_used[g]);
  }
  return 0;
}
