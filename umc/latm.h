// LATM and LOAS (ISO/IEC 14496-3, 1.7): the AudioSyncStream framing and the
// AudioMuxElement of a multiplex with one program and one layer, the
// broadcast case.  Pure functions over byte buffers: they find LOAS frames,
// and turn an AudioMuxElement into the configuration it carries and its
// payloads (one raw_data_block() per subframe), realigned to bytes.
#pragma once

#include <cstdint>

#include "umc/audio_specific_config.h"
#include "umc/bit_reader.h"

namespace UMC {

inline constexpr int32_t kLoasHeaderBytes = 3;  // syncword (11 bits), audioMuxLengthBytes (13)
inline constexpr int32_t kLoasMaxFrameBytes = kLoasHeaderBytes + 8191;
inline constexpr int32_t kLatmMaxSubFrames = 64;  // numSubFrames is 6 bits
// The largest AudioSpecificConfig of the AAC types (a PCE with full element
// lists and a 255-byte comment) takes about 330 bytes.
inline constexpr int32_t kLatmMaxConfigBytes = 512;

enum LatmResult : int32_t {
  kLatmOk = 0,
  kLatmNoConfig = 1,           // useSameStreamMux before any StreamMuxConfig
  kLatmMalformed = 2,          // fields that contradict each other or run past the element
  kLatmUnsupportedLayout = 3,  // a multiplex this decoder does not take apart (LatmRefusal)
  kLatmUnsupportedConfig = 4,  // an AudioSpecificConfig of an object type that is not parsed
};

// Why a StreamMuxConfig was refused (kLatmUnsupportedLayout).
enum LatmRefusal : int32_t {
  kLatmRefusalNone = 0,
  kLatmRefusalVersionA,         // audioMuxVersionA 1 (reserved)
  kLatmRefusalPrograms,         // more than one program
  kLatmRefusalLayers,           // more than one layer
  kLatmRefusalTimeFraming,      // allStreamsSameTimeFraming 0
  kLatmRefusalFrameLengthType,  // frameLengthType other than 0
};

// Text for a refusal (never null).
const char* LatmRefusalText(int32_t refusal);

// One StreamMuxConfig() with its single stream.
struct LatmMuxConfig {
  int32_t audio_mux_version;
  int32_t audio_mux_version_a;
  int32_t tara_buffer_fullness;
  int32_t all_streams_same_time_framing;
  int32_t num_sub_frames;  // as coded: the element holds num_sub_frames + 1 payloads
  int32_t num_program;
  int32_t num_layer;
  int32_t frame_length_type;
  int32_t latm_buffer_fullness;
  int32_t other_data_present;
  int64_t other_data_len_bits;
  int32_t crc_check_present;
  int32_t crc_check_sum;  // read, not verified
  int32_t refusal;        // LatmRefusal of a refused configuration
  AudioSpecificConfig asc;
  // The AudioSpecificConfig as it was coded (asc_bits bits from the first
  // bit of asc_bytes, zero bits after them): equal bits mean the same
  // configuration.
  int32_t asc_bits;
  // Bits of the AudioSpecificConfig itself: asc_bits less the fill bits
  // that follow it in version 1.
  int32_t asc_config_bits;
  uint8_t asc_bytes[kLatmMaxConfigBytes];
};

// The payloads of one AudioMuxElement, in a buffer of the caller's.
struct LatmPayloads {
  int32_t count;  // subframes
  int32_t offset[kLatmMaxSubFrames];
  int32_t length[kLatmMaxSubFrames];  // MuxSlotLengthBytes
};

// Length in bytes (header included) of the LOAS frame whose header starts at
// p, or 0 when the 3 bytes there are not a LOAS header.  Needs n >= 3.
int32_t LoasFrameBytes(const uint8_t* p, int64_t n);

// True when the bytes at p may start a LOAS header: the whole syncword when
// two bytes are in hand, its first 8 bits when one is (an empty tail is
// not refused).
bool LoasSyncPrefix(const uint8_t* p, int64_t n);

// Offset of the first LOAS frame in p[0, n) among the first `max_search`
// bytes that is followed by another LOAS header (or ends exactly at n).
// *pending is set when a candidate cannot be confirmed before more data
// arrives (the offset is then that candidate's); -1 when there is none.
int64_t FindLoasStart(const uint8_t* p, int64_t n, int64_t max_search, bool* pending);

// Reads one StreamMuxConfig() into `c`.  kLatmOk, or why it cannot be used.
int32_t ParseStreamMuxConfig(BitReader& r, LatmMuxConfig& c);

// Parses AudioMuxElement(1) from data[0, size) (a LOAS frame without its
// header).  `current` is the stream's configuration (null while there is
// none); a StreamMuxConfig in the element is read into `incoming` and
// *new_config set, and the payloads are then those of `incoming`.  Each
// subframe's payload is copied, starting on a byte, into payload[0,
// capacity) (capacity >= size suffices).  Returns a LatmResult; on
// anything but kLatmOk `out` is empty.
int32_t ParseAudioMuxElement(const uint8_t* data, int32_t size, const LatmMuxConfig* current,
                             LatmMuxConfig& incoming, bool* new_config, LatmPayloads& out,
                             uint8_t* payload, int32_t capacity);

}  // namespace UMC
