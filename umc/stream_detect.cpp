#include "umc/stream_detect.h"

#include <cstring>

namespace UMC {

namespace {
int32_t Rd(BitReader& r, int n) {
  return static_cast<int32_t>(BitReaderRead(r, n));
}
}  // namespace

int ReadAdtsFixedHeader(AdtsFixedHeader& h, BitReader& r) {
  h.syncword = Rd(r, 12);
  if (h.syncword != 0xFFF) return 1;
  h.id = Rd(r, 1);
  h.layer = Rd(r, 2);
  h.protection_absent = Rd(r, 1);
  h.profile = Rd(r, 2);
  h.sampling_frequency_index = Rd(r, 4);
  h.private_bit = Rd(r, 1);
  h.channel_configuration = Rd(r, 3);
  h.original_copy = Rd(r, 1);
  h.home = Rd(r, 1);
  return 0;
}

int ReadAdtsVariableHeader(AdtsVariableHeader& h, BitReader& r) {
  h.copyright_identification_bit = Rd(r, 1);
  h.copyright_identification_start = Rd(r, 1);
  h.aac_frame_length = Rd(r, 13);
  h.adts_buffer_fullness = Rd(r, 11);
  h.number_of_raw_data_blocks_in_frame = Rd(r, 2);
  return 0;
}

AdtsHeaderResult ReadAdtsFrameHeader(const uint8_t* p, int32_t n, AdtsFrameHeader& h) {
  BitReader r;
  BitReaderInit(r, p, n);
  if (n < 7 || ReadAdtsFixedHeader(h.fixed, r) != 0)
    return n < 7 ? kAdtsNeedBytes : kAdtsNoSyncword;
  ReadAdtsVariableHeader(h.variable, r);
  const int32_t extra = h.variable.number_of_raw_data_blocks_in_frame;
  const bool crc = h.fixed.protection_absent == 0;
  h.blocks = extra + 1;
  // Several blocks: a position per later block and the header's CRC word,
  // then a CRC word after every block; one block: the CRC word only.
  h.header_bytes = 7 + (crc ? 2 + 2 * extra : 0);
  const int32_t per_block = 1 + (crc && extra > 0 ? 2 : 0);  // a block holds ID_END at least
  if (h.variable.aac_frame_length < h.header_bytes + h.blocks * per_block) return kAdtsBadLength;
  if (n < h.header_bytes) return kAdtsNeedBytes;
  h.crc_check = -1;
  h.raw_data_block_position[0] = h.header_bytes;
  for (int32_t i = 1; i < 4; ++i) {
    h.raw_data_block_position[i] = crc && i <= extra ? Rd(r, 16) : 0;
  }
  h.header_crc = Crc16Init();
  if (crc) {
    h.crc_check = Rd(r, 16);
    Crc16UpdateBits(p, n, 0, 56 + 16 * extra, &h.header_crc);
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
