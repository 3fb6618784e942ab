// MPEG-4 ALS (ISO/IEC 14496-3 subpart 11) lossless decoder: configuration,
// state and the frame decoder.
//
// The state lives in one caller-provided memory block laid out by
// ALSStateInit; all bit reading goes through the bounds-safe UMC::BitReader,
// so a damaged frame can never read outside the bytes it was given.
#pragma once

#include <cstdint>

#include "umc/bit_reader.h"

// Largest state the decoder accepts (configurations needing more are refused).
inline constexpr int64_t kAlsMaxStateBytes = 64ll << 20;

struct AlsConfig {
  uint32_t samp_freq;
  uint32_t samples;  // per channel; 0xFFFFFFFF = unknown
  int32_t channels;  // 1..65536
  int32_t file_type;
  int32_t resolution;  // bits per sample: 8, 16, 24, 32 (40..64 are refused)
  int32_t floating;
  int32_t msb_first;
  int32_t frame_length;  // 1..65536
  int32_t random_access;
  int32_t ra_flag;
  int32_t adapt_order;
  int32_t coef_table;
  int32_t long_term_prediction;
  int32_t max_order;
  int32_t block_switching;
  int32_t bgmc_mode;
  int32_t sb_part;
  int32_t joint_stereo;
  int32_t mc_coding;
  int32_t chan_config;
  int32_t chan_sort;
  int32_t crc_enabled;
  int32_t rlslms;
  int32_t aux_data_enabled;
  int32_t chan_config_info;
  uint32_t header_size;
  uint32_t trailer_size;
  uint32_t crc;
  // Derived.
  uint32_t frames;
  int32_t last_frame_length;
  uint32_t ra_units;
  int32_t chan_pos_bits;
  int64_t tables_bit;  // reader position after chan_config_info
};

struct AlsState;  // internal

// Reads the ALSSpecificConfig after its 32-bit identifier.  0, or -1 when
// the data ends early.
int ALSConfigParse(AlsConfig& c, UMC::BitReader& r);

// Bytes of state the configuration needs; -1 when it is unsupported (bits
// per sample above 32) or would exceed kAlsMaxStateBytes.
int64_t ALSStateGetSize(const AlsConfig& c);

// Lays the state out in `memory` (ALSStateGetSize bytes, any alignment) and
// stores the channel permutation, file header/trailer and random-access
// table read from the configuration bytes (`config`, `config_size`: the
// same bytes the parser read).  Returns the state or null.
AlsState* ALSStateInit(const AlsConfig& c, uint8_t* memory, const uint8_t* config,
                       int32_t config_size);

// After the memory block moved by `delta` bytes: fixes the internal pointers.
void ALSStateRelocate(AlsState* s, intptr_t delta);

// Decodes one frame.  Results: 0 frame written, 4 bad frame, 5 null
// argument, 7 output too small (nothing read or written).
//   with_file_data: also write the stored file header before the first
//                   frame and the trailer after the last one.
//   stream_byte_order: write samples in the stream's byte order (msb_first)
//                   instead of little-endian.
int32_t ALSDecodeFrame(const uint8_t* input, int32_t* consumed, uint8_t* output, int32_t* written,
                       int32_t input_size, int32_t output_capacity, int32_t with_file_data,
                       AlsState* s, int32_t stream_byte_order = 0);

// Queries.
const AlsConfig& ALSGetConfig(const AlsState* s);
int32_t ALSBitsPerSample(const AlsState* s);  // output bits (32 for float)
int32_t ALSFrameSamples(const AlsState* s);   // samples per channel of the last frame decoded
uint32_t ALSFramesDecoded(const AlsState* s);
int64_t ALSMaxFrameBytes(const AlsState* s);  // output bytes of the largest frame
// Stored original file header and trailer.
const uint8_t* ALSOriginalHeader(const AlsState* s, uint32_t* size);
const uint8_t* ALSOriginalTrailer(const AlsState* s, uint32_t* size);
// Running CRC-32 of the PCM written so far (stream byte order, as the
// encoder computes it) and whether it matches the stored CRC once every
// frame is decoded (1 match, 0 mismatch, -1 not known yet or no CRC).
uint32_t ALSRunningCrc(const AlsState* s);
int32_t ALSCrcCheck(const AlsState* s);
