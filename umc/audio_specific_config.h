// MPEG-4 AudioSpecificConfig, GASpecificConfig and program_config_element
// (ISO/IEC 14496-3, 1.6.2.1, 4.4.1).
#pragma once

#include <cstdint>

#include "umc/bit_reader.h"

namespace UMC {

struct ProgramConfig {
  int32_t element_instance_tag;
  int32_t object_type;
  int32_t sampling_frequency_index;
  int32_t num_front_channel_elements;
  int32_t num_side_channel_elements;
  int32_t num_back_channel_elements;
  int32_t num_lfe_channel_elements;
  int32_t num_assoc_data_elements;
  int32_t num_valid_cc_elements;
  int32_t mono_mixdown_present;
  int32_t mono_mixdown_element_number;
  int32_t stereo_mixdown_present;
  int32_t stereo_mixdown_element_number;
  int32_t matrix_mixdown_idx_present;
  int32_t matrix_mixdown_idx;
  int32_t pseudo_surround_enable;
  int32_t front_element_is_cpe[16];
  int32_t front_element_tag_select[16];
  int32_t side_element_is_cpe[16];
  int32_t side_element_tag_select[16];
  int32_t back_element_is_cpe[16];
  int32_t back_element_tag_select[16];
  int32_t lfe_element_tag_select[16];
  int32_t assoc_data_element_tag_select[8];
  int32_t cc_element_is_ind_sw[16];
  int32_t valid_cc_element_tag_select[16];
  int32_t comment_field_bytes;
  uint8_t comment_field_data[256];
  // Channel counts of each group (elements plus those that are pairs).
  int32_t front_channels;
  int32_t side_channels;
  int32_t back_channels;
  int32_t lfe_channels;
};

struct GASpecificConfig {
  int32_t frame_length_flag;
  int32_t depends_on_core_coder;
  int32_t core_coder_delay;
  int32_t extension_flag;
  int32_t num_of_sub_frame;
  int32_t layer_length;
  ProgramConfig pce;
};

struct AudioSpecificConfig {
  int32_t sbr_present;  // -1 not signalled, 0 signalled absent, 1 present
  int32_t ps_present;   // -1 not signalled, else the value read
  int32_t object_type;  // after an SBR/PS wrapper (5, 29) is removed
  int32_t sampling_frequency_index;
  int32_t sampling_frequency;  // explicit rate when the index is 15
  int32_t channel_configuration;
  int32_t extension_object_type;  // 5 when SBR is signalled
  int32_t extension_sampling_frequency_index;
  int32_t extension_sampling_frequency;
  int32_t ep_config;
  // ALS (object type 36): where the ALSSpecificConfig starts (after the
  // "ALS\0" identifier), in bits from the start of the configuration.
  int64_t als_config_bit;
  GASpecificConfig ga;
};

// Writes an AudioSpecificConfig of a GA object type (1..30) at a table
// rate (index 0..12): frame length 1024, no core coder, no extension, and
// the program config element when `channel_configuration` is 0.  Returns the
// bytes written, or 0 when they do not fit in `max`.
int32_t WriteAudioSpecificConfig(int32_t object_type, int32_t sampling_frequency_index,
                                 int32_t channel_configuration, const ProgramConfig* pce,
                                 uint8_t* out, int32_t max);

// Sampling rates of the indices 0..12.
extern const int32_t kSamplingFrequencies[13];

enum AscResult : int {
  kAscOk = 0,
  kAscInvalid = -1,  // reserved object type or rate index, or past the data
  // A defined object type whose specific configuration is not read here
  // (error-resilient, speech, synthesis, ...): `object_type` holds it.
  kAscUnsupportedType = -2,
};

// An AscResult.
int ParseAudioSpecificConfig(AudioSpecificConfig& c, BitReader& r);
// The same for a configuration of `length_bits` bits from the reader's
// position, as a transport layer gives it: the backward-compatible SBR/PS
// signalling is looked for only in the bits that the core configuration
// leaves of that length.  0 means the length is not known (a configuration
// read in place inside a larger structure), which rules that signalling out.
int ParseAudioSpecificConfig(AudioSpecificConfig& c, BitReader& r, int64_t length_bits);
int ParseGASpecificConfig(GASpecificConfig& g, BitReader& r, int32_t channel_configuration,
                          int32_t object_type);
// Returns element_instance_tag.
int32_t ParseProgramConfig(ProgramConfig& p, BitReader& r);
int32_t EffectiveSamplingFrequencyIndex(const AudioSpecificConfig& c);
// Index of the table rate for an explicit rate (thresholds of ISO/IEC 14496-3).
int32_t SamplingFrequencyIndexForRate(int32_t rate);

}  // namespace UMC
