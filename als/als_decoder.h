// MPEG-4 ALS (ISO/IEC 14496-3 subpart 11) lossless decoder: configuration,
// state and the frame decoder.
//
// The state lives in one caller-provided memory block laid out by
// ALSStateInit; all bit reading goes through the bounds-safe UMC::BitReader,
// so a damaged frame can never read outside the bytes it was given.
#pragma once

#include <cstdint>

#include "umc/bit_reader.h"

// Largest state the decoder accepts (configurations needing more are
// refused).  512 channels of 20480-sample frames with order 1023 need 112 MB.
inline constexpr int64_t kAlsMaxStateBytes = 256ll << 20;

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
using ALSDecState = AlsState;

// Reads the ALSSpecificConfig after its 32-bit identifier.  0, or -1 when
// the data ends early.
int ALSConfigParse(AlsConfig& c, UMC::BitReader& r);

// State sizing and layout in one call.  With null `memory`: *size = bytes
// the state needs.  With memory (size bytes, any alignment): also lays the
// state out there, zeroed, with the configuration copied, and sets *state.
// Returns 0; 5 when config or size is null or memory comes without state;
// -1 (and *size = -1) when the configuration is refused: bits per sample
// above 32, or a state larger than kAlsMaxStateBytes.
int32_t ALSStateGetSize(const AlsConfig* config, AlsState** state, uint8_t* memory, int64_t* size);
// Second pass over the configuration: stores the channel permutation, the
// file header and trailer and the random-access table.  `r` reads the same
// bytes the parser read (any position; the pass seeks to the tables).
// Returns 0, or 5 for a null state.
int32_t ALSConfigStoreTables(AlsState* s, UMC::BitReader r);

// Convenience forms of the two calls above.
// Bytes of state the configuration needs; -1 when refused.
int64_t ALSStateGetSize(const AlsConfig& c);
// Lays the state out in `memory` (ALSStateGetSize bytes) and runs the second
// pass over `config` (`config_size` bytes: the bytes the parser read).
// Returns the state or null.
AlsState* ALSStateInit(const AlsConfig& c, uint8_t* memory, const uint8_t* config,
                       int32_t config_size);

// After the memory block moved by `delta` bytes: fixes the internal pointers.
// The block must keep its alignment modulo 16.
void ALSStateRelocate(AlsState* s, intptr_t delta);

// Decodes one frame.  Results: 0 frame written, 4 bad frame (consumed =
// the bytes read, rounded up), 5 null argument, 7 output too small (nothing
// read or written; call again with more room).  A frame needs
// ALSMaxFrameBytes bytes, plus the stored header on the first frame and the
// trailer on the last one when with_file_data is set.
//   with_file_data: also write the stored file header before the first
//                   frame and the trailer after the last one.
//   original_form:  0: samples little-endian and signed (S8, S16LE, S24LE
//                   in three bytes, S32LE, F32LE).  1: as the original file
//                   holds them: in the stream's byte order (msb_first), and
//                   8-bit samples unsigned unless the file was AIFF.
int32_t ALSDecodeFrame(const uint8_t* input, int32_t* consumed, uint8_t* output, int32_t* written,
                       int32_t input_size, int32_t output_capacity, int32_t with_file_data,
                       AlsState* s, int32_t original_form = 0);

// Stream values; each returns 5 for a null argument, else 0.
int32_t ALSGetFrameLength(const AlsState* s, int32_t* frame_length);
int32_t ALSGetSampleRate(const AlsState* s, int32_t* samp_freq);
int32_t ALSGetChannels(const AlsState* s, int32_t* channels);
int32_t ALSGetBitsPerSample(const AlsState* s, int32_t* bits);  // 32 for float

// Queries.
const AlsConfig& ALSGetConfig(const AlsState* s);
int32_t ALSBitsPerSample(const AlsState* s);  // output bits (32 for float)
int32_t ALSFrameSamples(const AlsState* s);   // samples per channel of the last frame decoded
uint32_t ALSFramesDecoded(const AlsState* s);
int64_t ALSMaxFrameBytes(const AlsState* s);  // output bytes of the largest frame
// Stored original file header and trailer.
const uint8_t* ALSOriginalHeader(const AlsState* s, uint32_t* size);
const uint8_t* ALSOriginalTrailer(const AlsState* s, uint32_t* size);
// Running CRC-32 of the PCM written so far (in the original file's form, as
// the encoder computes it) and whether it matches the stored CRC once every
// frame is decoded (1 match, 0 mismatch, -1 not known yet or no CRC).
uint32_t ALSRunningCrc(const AlsState* s);
int32_t ALSCrcCheck(const AlsState* s);
