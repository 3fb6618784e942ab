// State of the AAC core for one stream, laid out inside the decoder's main
// memory block: channel slots that persist across frames (overlap, output,
// spectrum), the element and position tables that keep every element on its
// channels, the Huffman tables and filter bank, and the copy of the current
// access unit that the parsers read.
#pragma once

#include <cstdint>

#include "aac/channel_stream.h"
#include "aac/coupling.h"
#include "dsp/dsp_vector.h"
#include "ps/ps_decoder.h"
#include "sbr/sbr_decoder.h"
#include "umc/audio_specific_config.h"

inline constexpr int kAacMaxChannels = 10;  // SCE/CPE/LFE channels
inline constexpr int kAacMaxCoupling = 2;   // coupling channel elements
inline constexpr int kAacSlots = kAacMaxChannels + kAacMaxCoupling;
inline constexpr int kAacMaxElements = 10;           // element and position table entries
inline constexpr int32_t kAacMaxAccessUnit = 16384;  // larger access units are malformed

enum AacElementType : int16_t {
  kElementSce = 0,
  kElementCpe = 1,
  kElementCce = 2,
  kElementLfe = 3
};

enum AacSyntaxElement : int32_t {
  ID_SCE = 0,
  ID_CPE = 1,
  ID_CCE = 2,
  ID_LFE = 3,
  ID_DSE = 4,
  ID_PCE = 5,
  ID_FIL = 6,
  ID_END = 7,
};

// Internal results of the frame decoder.
enum AacResult : int32_t {
  kAacOk = 0,
  kAacNeedData = 1,
  kAacMalformed = 4,
  kAacNullArgument = 5,
  kAacOutputTooSmall = 7,
};

struct AacElementEntry {
  int16_t type;
  int16_t key;  // element_instance_tag + 16 * (earlier elements of this type and tag)
  int16_t channel;
};

struct AacPositionEntry {
  int16_t type;
  int16_t key;
  int16_t position;
};

struct AacChannelSlot {
  alignas(32) float spectrum[kAacFrameLength];
  alignas(32) float overlap[kAacFrameLength];
  alignas(32) float output[2 * kAacFrameLength];  // 2048 with SBR at twice the rate
  int32_t window_sequence;
  int32_t window_shape;
  int32_t window_shape_prev;
  TnsFilterSet tns;
  ChannelStream stream;
};

struct AACDecState {
  // Configuration.
  int32_t object_type;
  int32_t sample_rate;  // core rate (Hz)
  int32_t sampling_frequency_index;
  int32_t channel_configuration;  // -1 until known
  int32_t frame_length;           // 1024, or 960 (frameLengthFlag 1)

  // Decoder parameters (sbr_mode, sbr_rate_mode, extension_mode, ps_mode).
  int32_t sbr_mode;
  int32_t sbr_rate_mode;
  int32_t extension_mode;
  int32_t ps_mode;
  int32_t ps_mode_working;
  int32_t bsac_layer_limit;

  // Per frame.
  int32_t frame_length_factor;  // 1, or 2 with SBR at twice the core rate
  int32_t output_float;         // 1: interleaved 32-bit floats (1.0 full scale), 0: 16-bit PCM
  int32_t output_channels;
  int32_t last_output_channels;
  int32_t last_stream_channels;  // channels the stream codes (before parametric stereo)
  int32_t sbr_present;           // SBR runs (data seen since the last reset)
  int32_t frames_decoded;

  // Element and position tables.
  AacElementEntry element_table[kAacMaxElements];
  int32_t element_count;
  int32_t next_channel;
  AacPositionEntry position_table[kAacMaxElements];
  int32_t position_count;
  int32_t pce_present;
  int32_t positions_valid;
  UMC::ProgramConfig pce;

  // ADTS CRC accumulation (enabled by the ADTS layer).
  int32_t crc_enabled;
  uint16_t crc_value;

  // A decoded frame waiting for a larger output buffer.
  int32_t pending_consumed;
  uint16_t pending_crc;
  int32_t pending_channels;

  uint32_t noise_state;      // noise substitution generator
  int32_t history_index[3];  // long-term prediction history rotation
  // Object-type tools, in the decoder's object-type block (null otherwise):
  // Main-profile predictor states and long-term prediction histories.
  DspPredictorState* predictor[kAacSlots];
  float* ltp_history[kAacSlots][3];

  // Channels 0..9, then the coupling channels of a frame's first and second
  // coupling channel element with their records.
  AacChannelSlot slot[kAacSlots];
  CouplingRecord coupling[kAacMaxCoupling];
  const float* output_ptr[kAacMaxChannels];  // output order
  // Position-table position of every output channel (-1: no table).
  int16_t output_position[kAacMaxChannels];
  // Output order the caller asked for, set before each frame: while the
  // frame's speakers (AacChannelSpeakers) equal order_speakers, output
  // channel i is written from channel order_map[i], and output_reordered
  // says so; order_count 0 keeps the stream's order.
  int32_t order_count;
  int8_t order_speakers[kAacMaxChannels];
  int8_t order_map[kAacMaxChannels];
  int32_t output_reordered;

  AacHuffmanTables books;
  FilterBank bank;

  // Spectral band replication: one slot per SCE/CPE/LFE of a frame, the
  // Huffman tables and the QMF modulation tables.
  SBRDecState sbr[kSbrSlots];
  SbrHuffman sbr_huffman;
  SbrQmfTables qmf;
  int32_t sbr_synthesis_bands;  // bands the synthesis delay lines were built for
  // Parametric stereo: attached to SBR slot 0 when it belongs to an SCE.
  PSDecState ps;

  // Copy of the access unit being decoded, 32-byte aligned and followed by
  // kAacReaderPadding bytes that the Huffman primitives may read.
  alignas(32) uint8_t access_unit[kAacMaxAccessUnit + kAacReaderPadding];
};

// Bytes of the main block beyond AACDecState (tables and transforms).
int AacCoreTablesGetSize(int32_t* size);
// Builds the Huffman tables and filter bank (for s.frame_length) into
// `memory` (see above).
int AacCoreTablesInit(AACDecState& s, uint8_t* memory);
// Sets the frame length (1024 or 960 samples per channel): the filter bank
// in `memory` (as for AacCoreTablesInit) is rebuilt when it changes, and
// SBR and parametric stereo take the matching slot counts.  Band tables
// follow at the next AacSetSamplingFrequencyIndex.  0, or -1.
int AacSetFrameLength(AACDecState& s, uint8_t* memory, int32_t frame_length);
// Bytes of the object-type block (predictors for type 1, LTP histories for
// type 4; 0 for the others).
int64_t AacObjectBlockSize(int32_t object_type);
// Points the state at the object-type block; `initialise` resets its content.
void AacAttachObjectBlock(AACDecState& s, uint8_t* block, bool initialise);

// SBR slots and QMF tables at decoder initialisation.
void AacSbrInit(AACDecState& s);
// Clears the per-stream history (overlap, window shapes, tables, counters).
void AacCoreReset(AACDecState& s);
// Sets the sampling frequency index (and rate); 0, or -1 without tables.
int AacSetSamplingFrequencyIndex(AACDecState& s, int32_t index);
// Copies a program config element into the state (marks a PCE as present).
void AacSetProgramConfig(AACDecState& s, const UMC::ProgramConfig& pce);

// Speaker of each output channel as a WAVE_FORMAT_EXTENSIBLE bit index
// (0 FL, 1 FR, 2 FC, 3 LFE, 4 BL, 5 BR, 6 FLC, 7 FRC, 8 BC, 9 SL, 10 SR),
// or -1 when the layout gives it no standard position.  Returns the count.
int32_t AacChannelSpeakers(const AACDecState& s, int8_t* speakers, int32_t max);

// Bytes per output sample: 4 with float output, else 2.
inline int32_t AacSampleBytes(const AACDecState& s) {
  return s.output_float ? 4 : 2;
}

// Forgets a decoded frame that waits for output space (a caller that found
// it damaged writes silence instead).
inline void AacDropPendingOutput(AACDecState& s) {
  s.pending_consumed = 0;
}

// Decodes one raw_data_block() into interleaved PCM (16-bit, or floats
// when `output_float` is set).  Returns an AacResult; `consumed` is set to
// the bytes the block used.
int32_t DecodeRawDataBlock(const uint8_t* input, int32_t* consumed, void* output,
                           int32_t input_bytes, int32_t output_bytes, AACDecState& state);
