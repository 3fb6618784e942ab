#include "umc/stream_detect.h"

#include <cstring>

namespace UMC {

namespace {
int32_t Rd(BitReader& r, int n) {
  return static_cast<int32_t>(BitReaderRead(r, n));
}
}  // namespace

// The fields straight from the bytes: every frame goes through here, and a
// bit reader per field costs more than the rest of the frame step.
AdtsHeaderResult ReadAdtsFrameHeader(const uint8_t* p, int64_t n, AdtsFrameHeader& h) {
  if (n < 7) return kAdtsNeedBytes;
  if (p[0] != 0xFF || (p[1] & 0xF6) != 0xF0 || ((p[2] >> 2) & 15) > 12) return kAdtsNoSyncword;
  AdtsFixedHeader& f = h.fixed;
  f.syncword = 0xFFF;
  f.id = (p[1] >> 3) & 1;
  f.layer = (p[1] >> 1) & 3;
  f.protection_absent = p[1] & 1;
  f.profile = p[2] >> 6;
  f.sampling_frequency_index = (p[2] >> 2) & 15;
  f.private_bit = (p[2] >> 1) & 1;
  f.channel_configuration = ((p[2] & 1) << 2) | (p[3] >> 6);
  f.original_copy = (p[3] >> 5) & 1;
  f.home = (p[3] >> 4) & 1;
  AdtsVariableHeader& v = h.variable;
  v.copyright_identification_bit = (p[3] >> 3) & 1;
  v.copyright_identification_start = (p[3] >> 2) & 1;
  v.aac_frame_length = ((p[3] & 3) << 11) | (p[4] << 3) | (p[5] >> 5);
  v.adts_buffer_fullness = ((p[5] & 0x1F) << 6) | (p[6] >> 2);
  v.number_of_raw_data_blocks_in_frame = p[6] & 3;
  const int32_t extra = v.number_of_raw_data_blocks_in_frame;
  const bool crc = f.protection_absent == 0;
  h.blocks = extra + 1;
  // Several blocks: a position per later block and the header's CRC word,
  // then a CRC word after every block; one block: the CRC word only.
  h.header_bytes = 7 + (crc ? 2 + 2 * extra : 0);
  const int32_t per_block = 1 + (crc && extra > 0 ? 2 : 0);  // a block holds ID_END at least
  if (v.aac_frame_length < h.header_bytes + h.blocks * per_block) return kAdtsBadLength;
  if (n < h.header_bytes) return kAdtsNeedBytes;
  h.crc_check = -1;
  h.raw_data_block_position[0] = h.header_bytes;
  for (int32_t i = 1; i < 4; ++i) {
    h.raw_data_block_position[i] = crc && i <= extra ? (p[5 + 2 * i] << 8) | p[6 + 2 * i] : 0;
  }
  h.header_crc = Crc16Init();
  if (crc) {
    h.crc_check = (p[7 + 2 * extra] << 8) | p[8 + 2 * extra];
    Crc16UpdateBits(p, h.header_bytes, 0, 56 + 16 * extra, &h.header_crc);
  }
  return kAdtsHeaderOk;
}

int32_t AdtsObjectType(const AdtsFixedHeader& h) {
  if (h.profile == 3 && h.id == 1) return 0;
  return h.profile + 1;
}

uint32_t AdtsSyncPattern(const AdtsFixedHeader& h) {
  return 0xFFF000u + (static_cast<uint32_t>(h.id) << 11) + (static_cast<uint32_t>(h.layer) << 9) +
         (static_cast<uint32_t>(h.profile) << 6) +
         (static_cast<uint32_t>(h.sampling_frequency_index) << 2);
}

int ReadAdifHeader(AdifHeader& h, BitReader& r) {
  h.adif_id = static_cast<int32_t>(BitReaderRead(r, 32));
  if (static_cast<uint32_t>(h.adif_id) != 0x41444946u) return 1;
  std::memset(h.copyright_id, 0, sizeof(h.copyright_id));
  h.copyright_id_present = Rd(r, 1);
  if (h.copyright_id_present) {
    for (int i = 0; i < 9; ++i) h.copyright_id[i] = static_cast<uint8_t>(Rd(r, 8));
  }
  h.original_copy = Rd(r, 1);
  h.home = Rd(r, 1);
  h.bitstream_type = Rd(r, 1);
  h.bitrate = Rd(r, 23);
  h.num_program_config_elements = Rd(r, 4);
  for (int32_t i = 0; i <= h.num_program_config_elements; ++i) {
    h.adif_buffer_fullness[i] = h.bitstream_type == 0 ? Rd(r, 20) : 0;
    ParseProgramConfig(h.pce[i], r);
  }
  return 0;
}

int64_t Id3TagLength(const uint8_t* d) {
  if (d[0] != 'I' || d[1] != 'D' || d[2] != '3' || d[3] == 0xFF || d[4] == 0xFF) return 0;
  if ((d[6] | d[7] | d[8] | d[9]) & 0x80) return 0;
  int64_t len = (((int64_t{d[6]} * 128 + d[7]) * 128 + d[8]) * 128 + d[9]) + 10;
  if (d[5] & 0x10) len += 10;
  return len;
}

}  // namespace UMC
