// pulse_data() (ISO/IEC 14496-3, 4.4.2.7) and its application to the
// quantised values.
#include "aac/channel_stream.h"

namespace {

// Largest magnitude after pulses: the escape limit 8191 plus one pulse of 15
// (the 4/3-power table covers exactly this range).
constexpr int32_t kMaxPulsedMagnitude = 8191 + 15;

}  // namespace

int DecodePulseData(ChannelStream& s, UMC::BitReader& r) {
  s.number_pulse = static_cast<int32_t>(UMC::BitReaderRead(r, 2));
  s.pulse_start_sfb = static_cast<int32_t>(UMC::BitReaderRead(r, 6));
  if (s.pulse_start_sfb > s.bands.num_swb_long || !s.bands.swb_offset_long) return -1;
  int32_t position = s.bands.swb_offset_long[s.pulse_start_sfb];
  for (int32_t i = 0; i <= s.number_pulse; ++i) {
    s.pulse_offset[i] = static_cast<int32_t>(UMC::BitReaderRead(r, 5));
    s.pulse_amp[i] = static_cast<int32_t>(UMC::BitReaderRead(r, 4));
    position += s.pulse_offset[i];
  }
  return position < s.bands.frame_length ? 0 : -1;
}

void ApplyPulses(ChannelStream& s) {
  if (!s.pulse_data_present || !s.bands.swb_offset_long) return;
  if (s.pulse_start_sfb < 0 || s.pulse_start_sfb > s.bands.num_swb_long) return;
  int32_t position = s.bands.swb_offset_long[s.pulse_start_sfb];
  for (int32_t i = 0; i <= s.number_pulse && i < 4; ++i) {
    position += s.pulse_offset[i];
    if (position < 0 || position >= s.bands.frame_length) return;
    int32_t q = s.quant[position];
    q = q > 0 ? q + s.pulse_amp[i] : q - s.pulse_amp[i];
    // Several pulses may hit one line: keep it inside the table's range.
    if (q > kMaxPulsedMagnitude) q = kMaxPulsedMagnitude;
    if (q < -kMaxPulsedMagnitude) q = -kMaxPulsedMagnitude;
    s.quant[position] = static_cast<int16_t>(q);
  }
}
