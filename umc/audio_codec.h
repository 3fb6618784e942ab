// Audio refinement of the codec interface: stream descriptions and the
// parameters of the AAC/ALS decoder.
#pragma once

#include <cstdint>

#include "umc/base_codec.h"

namespace UMC {

// Stream types used by the decoder.
enum : int32_t {
  kStreamTypePcm = 1,
  kStreamTypeInBand = 2048,      // the stream carries its own headers (or none)
  kStreamTypeMpeg4Config = 2065  // BaseCodecParams::data holds an AudioSpecificConfig
};

// Description of one audio stream.
struct AudioStreamDesc {
  int32_t channels = 0;
  int32_t sample_frequency = 0;  // Hz
  int32_t bitrate = 0;
  int32_t bits_per_sample = 0;
  int32_t stream_type = 0;
  int32_t stream_subtype = 0;
  int32_t channel_mask = 0;
  bool is_float = false;  // PCM samples are IEEE floats of bits_per_sample bits
};

class AudioCodecParams : public BaseCodecParams {
  UMC_DERIVED_CLASS(AudioCodecParams, BaseCodecParams)

 public:
  AudioStreamDesc in;   // compressed stream; in.stream_type is set before Init
  AudioStreamDesc out;  // decoded PCM
  int32_t frames = 0;   // frames decoded
};

// Decoder parameters with their defaults.
class AACDecoderParams : public AudioCodecParams {
  UMC_DERIVED_CLASS(AACDecoderParams, AudioCodecParams)

 public:
  int32_t sbr_mode = 18;          // SBR filter-bank mode: 18 or 28
  int32_t sbr_rate_mode = 1;      // SBR output rate mode: 0 or 1
  int32_t extension_mode = 777;   // extension payload handling
  int32_t ps_mode = 0;            // parametric stereo: 0, 1, 111, 411
  int32_t bsac_layer_limit = -1;  // ER BSAC layers to decode, -1 all
  // ALS: 1 writes the original file back (its stored header and trailer
  // around samples in the file's own byte order and signedness).
  int32_t als_restore_original = 0;
};

class AudioCodec : public BaseCodec {
  UMC_DERIVED_CLASS(AudioCodec, BaseCodec)

 public:
  // Duration of the decoded stream; the base stores -1 and reports that it
  // does not know.
  virtual Status GetDuration(float* seconds) {
    if (seconds) *seconds = -1.0f;
    return StatusNotImplemented;
  }
};

}  // namespace UMC
