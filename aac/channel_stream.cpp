// individual_channel_stream() (ISO/IEC 14496-3, 4.4.2.7) and the band tables
// of each sampling frequency index.
#include "aac/channel_stream.h"

#include <cstring>

#include "aac/aac_swb_tables.h"

namespace {

constexpr int32_t kObjectTypeMain = 1;
constexpr int32_t kObjectTypeSsr = 3;
constexpr int32_t kObjectTypeLtp = 4;

}  // namespace

int GetAacBandTables(int32_t sf_index, int32_t object_type, AacBandTables* tables) {
  if (!tables || sf_index < 0 || sf_index >= kAacSwbInfoCount) return -1;
  const AacSwbInfo& info = kAacSwbInfo[sf_index];
  const bool ssr = object_type == kObjectTypeSsr;
  tables->swb_offset_long = info.swb_offset_long;
  tables->swb_offset_short = info.swb_offset_short;
  tables->num_swb_long = info.num_swb_long;
  tables->num_swb_short = info.num_swb_short;
  tables->pred_sfb_max = info.pred_sfb_max;
  tables->tns_max_bands_long = ssr ? info.tns_max_bands_long_ssr : info.tns_max_bands_long;
  tables->tns_max_bands_short = ssr ? info.tns_max_bands_short_ssr : info.tns_max_bands_short;
  const bool long_order = object_type == kObjectTypeMain || object_type == kObjectTypeLtp;
  tables->tns_max_order_long = long_order ? 20 : 12;
  tables->tns_max_order_short = 7;
  return 0;
}

int InitChannelStream(ChannelStream& s, int32_t sf_index, int32_t object_type) {
  std::memset(static_cast<void*>(&s), 0, sizeof(s));
  s.num_windows = 1;
  s.num_window_groups = 1;
  s.window_group_length[0] = 1;
  return GetAacBandTables(sf_index, object_type, &s.bands);
}

int DecodeChannelStream(ChannelStream& s, UMC::BitReader& r, int common_window, int32_t object_type,
                        const AacHuffmanTables& books) {
  s.global_gain = static_cast<int32_t>(UMC::BitReaderRead(r, 8));
  if (!common_window && DecodeIcsInfo(s, r, object_type) != 0) return -1;
  if (DecodeSectionData(s, r) != 0) return -1;
  if (DecodeScaleFactors(s, r, books, s.global_gain, s.global_gain - 90, s.scale_factors) != 0) {
    return -1;
  }
  s.pulse_data_present = static_cast<int32_t>(UMC::BitReaderRead1(r));
  if (s.pulse_data_present && DecodePulseData(s, r) != 0) return -1;
  s.tns_data_present = static_cast<int32_t>(UMC::BitReaderRead1(r));
  if (s.tns_data_present && DecodeTnsData(s, r) != 0) return -1;
  s.gain_control_data_present = static_cast<int32_t>(UMC::BitReaderRead1(r));
  // Gain control belongs to the SSR object type, which this decoder refuses.
  if (s.gain_control_data_present) return -1;
  return DecodeSpectralData(s, r, books);
}
