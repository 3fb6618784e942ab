// ADTS and ADIF headers (ISO/IEC 14496-3, 1.A.2 / 1.A.3), and the ID3v2 tag
// that may precede an in-band stream.
#pragma once

#include <cstdint>

#include "umc/audio_specific_config.h"
#include "umc/bit_reader.h"

namespace UMC {

struct AdtsFixedHeader {
  int32_t syncword;
  int32_t id;
  int32_t layer;
  int32_t protection_absent;
  int32_t profile;
  int32_t sampling_frequency_index;
  int32_t private_bit;
  int32_t channel_configuration;
  int32_t original_copy;
  int32_t home;
};

struct AdtsVariableHeader {
  int32_t copyright_identification_bit;
  int32_t copyright_identification_start;
  int32_t aac_frame_length;  // bytes, header included
  int32_t adts_buffer_fullness;
  int32_t number_of_raw_data_blocks_in_frame;
};

struct AdifHeader {
  int32_t adif_id;
  int32_t copyright_id_present;
  uint8_t copyright_id[10];
  int32_t original_copy;
  int32_t home;
  int32_t bitstream_type;
  int32_t bitrate;
  int32_t num_program_config_elements;  // as read: the header holds this + 1
  int32_t adif_buffer_fullness[16];
  ProgramConfig pce[16];
};

// An ADTS frame's headers and error check (ISO/IEC 14496-3, 1.A.3.2): where
// its raw data blocks start and what protects them.
struct AdtsFrameHeader {
  AdtsFixedHeader fixed;
  AdtsVariableHeader variable;
  int32_t blocks;        // raw data blocks in the frame, 1 to 4
  int32_t header_bytes;  // bytes before the first raw data block
  int32_t crc_check;     // the header's CRC word, -1 without protection
  // CRC-16 over the protected header bits: with one block, the 56 header
  // bits (the block's protected bits continue it); with several, the header
  // bits and the raw_data_block_position fields (adts_header_error_check,
  // compared with crc_check on its own).
  uint16_t header_crc;
  // Offsets of the blocks from the frame start as the frame states them
  // ([0] = header_bytes; 0 where the frame carries no position).
  int32_t raw_data_block_position[4];
};

enum AdtsHeaderResult : int {
  kAdtsHeaderOk = 0,
  kAdtsNoSyncword = 1,  // no header of a frame that can exist
  kAdtsBadLength = 2,   // aac_frame_length cannot hold the header and its blocks
  kAdtsNeedBytes = 3,   // the error check lies beyond the n bytes given
};

// Reads the frame header at `p` (n bytes available): the one reader of
// ADTS headers.  kAdtsNoSyncword also for a layer other than 0 or a reserved
// sampling frequency index (no frame can have them).  The length check
// needs only the 7 fixed bytes (the fixed and variable fields are filled
// from then on); positions and CRC words need the whole error check.
AdtsHeaderResult ReadAdtsFrameHeader(const uint8_t* p, int64_t n, AdtsFrameHeader& h);
// Object type from ID and profile; 0 for MPEG-2 profile 3 (refused).
int32_t AdtsObjectType(const AdtsFixedHeader& h);
// The 24-bit pattern later headers must match under kAdtsSyncMask.
uint32_t AdtsSyncPattern(const AdtsFixedHeader& h);
inline constexpr uint32_t kAdtsSyncMask = 0xFFFEFC;
// 0, or 1 when the identifier is not "ADIF".
int ReadAdifHeader(AdifHeader& h, BitReader& r);

// Length in bytes of the ID3v2 tag that starts at `data` (header, body and
// footer), or 0 when the 10 bytes there are not a tag header.
int64_t Id3TagLength(const uint8_t* data);

}  // namespace UMC
