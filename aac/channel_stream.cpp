// individual_channel_stream() (ISO/IEC 14496-3, 4.4.2.7).
#include "aac/channel_stream.h"

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
