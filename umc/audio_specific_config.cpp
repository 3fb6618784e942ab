#include "umc/audio_specific_config.h"

#include <cstring>

namespace UMC {

const int32_t kSamplingFrequencies[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                          22050, 16000, 12000, 11025, 8000,  7350};

namespace {

constexpr int32_t kRateThresholds[12] = {92017, 75132, 55426, 46009, 37566, 27713,
                                         23004, 18783, 13856, 11502, 9391,  0};

int32_t ReadObjectType(BitReader& r) {
  int32_t aot = static_cast<int32_t>(BitReaderRead(r, 5));
  if (aot == 31) aot = 32 + static_cast<int32_t>(BitReaderRead(r, 6));
  return aot;
}

void ReadElementList(BitReader& r, int32_t count, int32_t* is_cpe, int32_t* tags,
                     int32_t* channels) {
  for (int32_t i = 0; i < count; ++i) {
    is_cpe[i] = static_cast<int32_t>(BitReaderRead(r, 1));
    *channels += is_cpe[i];
    tags[i] = static_cast<int32_t>(BitReaderRead(r, 4));
  }
}

// MSB-first writer over a fixed buffer; `overflow` once a bit did not fit.
struct BitWriter {
  uint8_t* out;
  int32_t max;
  int64_t bits = 0;
  bool overflow = false;
  void Put(uint32_t value, int n) {
    for (int i = n - 1; i >= 0; --i) {
      const int64_t byte = bits >> 3;
      if (byte >= max) {
        overflow = true;
        return;
      }
      if ((bits & 7) == 0) out[byte] = 0;
      out[byte] |= static_cast<uint8_t>(((value >> i) & 1) << (7 - (bits & 7)));
      ++bits;
    }
  }
  void Align() {
    while (bits & 7) Put(0, 1);
  }
};

void WriteElementList(BitWriter& w, int32_t count, const int32_t* is_cpe, const int32_t* tags) {
  for (int32_t i = 0; i < count; ++i) {
    w.Put(static_cast<uint32_t>(is_cpe[i]), 1);
    w.Put(static_cast<uint32_t>(tags[i]), 4);
  }
}

// program_config_element(); its byte_alignment() counts from the start of
// the writer's buffer (the configuration's first bit).
void WriteProgramConfig(BitWriter& w, const ProgramConfig& p) {
  auto put = [&w](int32_t v, int n) { w.Put(static_cast<uint32_t>(v), n); };
  put(p.element_instance_tag, 4);
  put(p.object_type, 2);
  put(p.sampling_frequency_index, 4);
  put(p.num_front_channel_elements, 4);
  put(p.num_side_channel_elements, 4);
  put(p.num_back_channel_elements, 4);
  put(p.num_lfe_channel_elements, 2);
  put(p.num_assoc_data_elements, 3);
  put(p.num_valid_cc_elements, 4);
  put(p.mono_mixdown_present, 1);
  if (p.mono_mixdown_present) put(p.mono_mixdown_element_number, 4);
  put(p.stereo_mixdown_present, 1);
  if (p.stereo_mixdown_present) put(p.stereo_mixdown_element_number, 4);
  put(p.matrix_mixdown_idx_present, 1);
  if (p.matrix_mixdown_idx_present) {
    put(p.matrix_mixdown_idx, 2);
    put(p.pseudo_surround_enable, 1);
  }
  WriteElementList(w, p.num_front_channel_elements, p.front_element_is_cpe,
                   p.front_element_tag_select);
  WriteElementList(w, p.num_side_channel_elements, p.side_element_is_cpe,
                   p.side_element_tag_select);
  WriteElementList(w, p.num_back_channel_elements, p.back_element_is_cpe,
                   p.back_element_tag_select);
  for (int32_t i = 0; i < p.num_lfe_channel_elements; ++i) put(p.lfe_element_tag_select[i], 4);
  for (int32_t i = 0; i < p.num_assoc_data_elements; ++i)
    put(p.assoc_data_element_tag_select[i], 4);
  for (int32_t i = 0; i < p.num_valid_cc_elements; ++i) {
    put(p.cc_element_is_ind_sw[i], 1);
    put(p.valid_cc_element_tag_select[i], 4);
  }
  w.Align();
  put(p.comment_field_bytes, 8);
  for (int32_t i = 0; i < p.comment_field_bytes; ++i) put(p.comment_field_data[i], 8);
}

// Audio object types ISO/IEC 14496-3 defines (1.5.1.1, Table 1.17) besides
// those parsed here; 0, 10, 11, 18 and 31 and above 46 are reserved.
bool DefinedObjectType(int32_t aot) {
  return (aot >= 1 && aot <= 46 && aot != 10 && aot != 11 && aot != 18 && aot != 31);
}

}  // namespace

int32_t WriteAudioSpecificConfig(int32_t object_type, int32_t sampling_frequency_index,
                                 int32_t channel_configuration, const ProgramConfig* pce,
                                 uint8_t* out, int32_t max) {
  if (!out || object_type < 1 || object_type > 30 || sampling_frequency_index < 0 ||
      sampling_frequency_index > 12 || channel_configuration < 0 || channel_configuration > 7 ||
      (channel_configuration == 0 && !pce))
    return 0;
  BitWriter w{out, max};
  w.Put(static_cast<uint32_t>(object_type), 5);
  w.Put(static_cast<uint32_t>(sampling_frequency_index), 4);
  w.Put(static_cast<uint32_t>(channel_configuration), 4);
  w.Put(0, 3);  // frameLengthFlag, dependsOnCoreCoder, extensionFlag
  if (channel_configuration == 0) WriteProgramConfig(w, *pce);
  w.Align();
  return w.overflow ? 0 : static_cast<int32_t>(w.bits >> 3);
}

int32_t SamplingFrequencyIndexForRate(int32_t rate) {
  for (int32_t i = 0; i < 12; ++i) {
    if (rate >= kRateThresholds[i]) return i;
  }
  return 11;
}

int32_t ParseProgramConfig(ProgramConfig& p, BitReader& r) {
  std::memset(&p, 0, sizeof(p));
  auto rd = [&r](int n) { return static_cast<int32_t>(BitReaderRead(r, n)); };
  p.element_instance_tag = rd(4);
  p.object_type = rd(2);
  p.sampling_frequency_index = rd(4);
  p.num_front_channel_elements = rd(4);
  p.num_side_channel_elements = rd(4);
  p.num_back_channel_elements = rd(4);
  p.num_lfe_channel_elements = rd(2);
  p.num_assoc_data_elements = rd(3);
  p.num_valid_cc_elements = rd(4);
  if ((p.mono_mixdown_present = rd(1))) p.mono_mixdown_element_number = rd(4);
  if ((p.stereo_mixdown_present = rd(1))) p.stereo_mixdown_element_number = rd(4);
  if ((p.matrix_mixdown_idx_present = rd(1))) {
    p.matrix_mixdown_idx = rd(2);
    p.pseudo_surround_enable = rd(1);
  }
  p.front_channels = p.num_front_channel_elements;
  p.side_channels = p.num_side_channel_elements;
  p.back_channels = p.num_back_channel_elements;
  p.lfe_channels = p.num_lfe_channel_elements;
  ReadElementList(r, p.num_front_channel_elements, p.front_element_is_cpe,
                  p.front_element_tag_select, &p.front_channels);
  ReadElementList(r, p.num_side_channel_elements, p.side_element_is_cpe, p.side_element_tag_select,
                  &p.side_channels);
  ReadElementList(r, p.num_back_channel_elements, p.back_element_is_cpe, p.back_element_tag_select,
                  &p.back_channels);
  for (int32_t i = 0; i < p.num_lfe_channel_elements; ++i) p.lfe_element_tag_select[i] = rd(4);
  for (int32_t i = 0; i < p.num_assoc_data_elements; ++i) {
    p.assoc_data_element_tag_select[i] = rd(4);
  }
  for (int32_t i = 0; i < p.num_valid_cc_elements; ++i) {
    p.cc_element_is_ind_sw[i] = rd(1);
    p.valid_cc_element_tag_select[i] = rd(4);
  }
  BitReaderByteAlign(r);
  p.comment_field_bytes = rd(8);
  for (int32_t i = 0; i < p.comment_field_bytes; ++i)
    p.comment_field_data[i] = static_cast<uint8_t>(rd(8));
  return p.element_instance_tag;
}

int ParseGASpecificConfig(GASpecificConfig& g, BitReader& r, int32_t channel_configuration,
                          int32_t object_type) {
  g.frame_length_flag = static_cast<int32_t>(BitReaderRead(r, 1));
  g.depends_on_core_coder = static_cast<int32_t>(BitReaderRead(r, 1));
  if (g.depends_on_core_coder) g.core_coder_delay = static_cast<int32_t>(BitReaderRead(r, 14));
  g.extension_flag = static_cast<int32_t>(BitReaderRead(r, 1));
  if (channel_configuration == 0) ParseProgramConfig(g.pce, r);
  if (g.extension_flag && object_type == 22) {
    g.num_of_sub_frame = static_cast<int32_t>(BitReaderRead(r, 5));
    g.layer_length = static_cast<int32_t>(BitReaderRead(r, 11));
  }
  return 0;
}

int ParseAudioSpecificConfig(AudioSpecificConfig& c, BitReader& r) {
  return ParseAudioSpecificConfig(c, r, BitReaderBitsLeft(r));
}

int ParseAudioSpecificConfig(AudioSpecificConfig& c, BitReader& r, int64_t length_bits) {
  const int64_t start = BitReaderBitsConsumed(r);
  // Bits of the configuration not read yet (0 when its length is unknown).
  auto left = [&]() { return length_bits - (BitReaderBitsConsumed(r) - start); };
  std::memset(&c.ga, 0, sizeof(c.ga));
  c.channel_configuration = 0;
  c.sampling_frequency = 0;
  c.als_config_bit = 0;
  c.object_type = ReadObjectType(r);
  c.sampling_frequency_index = static_cast<int32_t>(BitReaderRead(r, 4));
  if (c.sampling_frequency_index == 15)
    c.sampling_frequency = static_cast<int32_t>(BitReaderRead(r, 24));
  c.channel_configuration = static_cast<int32_t>(BitReaderRead(r, 4));
  c.extension_object_type = 0;
  c.extension_sampling_frequency_index = 0;
  c.extension_sampling_frequency = 0;
  c.sbr_present = -1;
  c.ps_present = -1;
  if (c.object_type == 5 || c.object_type == 29) {
    c.extension_object_type = 5;
    c.sbr_present = 1;
    if (c.object_type == 29) c.ps_present = 1;
    c.extension_sampling_frequency_index = static_cast<int32_t>(BitReaderRead(r, 4));
    if (c.extension_sampling_frequency_index == 15) {
      c.extension_sampling_frequency = static_cast<int32_t>(BitReaderRead(r, 24));
    }
    c.object_type = ReadObjectType(r);
  }
  switch (c.object_type) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 6:
    case 7:
    case 22:
      ParseGASpecificConfig(c.ga, r, c.channel_configuration, c.object_type);
      break;
    case 36:
      BitReaderSkip(r, 5);  // fillBits: the ALSSpecificConfig starts on a byte
      if (BitReaderRead(r, 32) != 0x414C5300u) return kAscInvalid;
      c.als_config_bit = BitReaderBitsConsumed(r);
      return BitReaderOverrun(r) ? kAscInvalid : kAscOk;
    default: {
      // SBR or PS twice, reserved types and rate indices, and fields beyond
      // the data are invalid; any other type is valid but not decoded.
      const bool rates = c.sampling_frequency_index != 13 && c.sampling_frequency_index != 14 &&
                         c.extension_sampling_frequency_index != 13 &&
                         c.extension_sampling_frequency_index != 14;
      const bool valid = DefinedObjectType(c.object_type) && c.object_type != 5 &&
                         c.object_type != 29 && rates && !BitReaderOverrun(r);
      return valid ? kAscUnsupportedType : kAscInvalid;
    }
  }
  if (c.object_type == 22) c.ep_config = static_cast<int32_t>(BitReaderRead(r, 2));
  if (BitReaderOverrun(r)) return kAscInvalid;
  if (c.extension_object_type == 5) return 0;
  // Backward-compatible signalling: a sync extension after the core config.
  if (length_bits <= 0 || left() <= 15) return 0;
  if (BitReaderRead(r, 11) != 0x2B7) return 0;
  const int32_t ext = static_cast<int32_t>(BitReaderRead(r, 5));
  if (ext != 5) return 0;
  c.extension_object_type = 5;
  c.sbr_present = static_cast<int32_t>(BitReaderRead(r, 1));
  if (c.sbr_present != 1) {
    c.extension_object_type = 0;
    return 0;
  }
  c.extension_sampling_frequency_index = static_cast<int32_t>(BitReaderRead(r, 4));
  if (c.extension_sampling_frequency_index == 15) {
    c.extension_sampling_frequency = static_cast<int32_t>(BitReaderRead(r, 24));
  }
  if (left() >= 12 && BitReaderRead(r, 11) == 0x548) {
    c.ps_present = static_cast<int32_t>(BitReaderRead(r, 1));
  }
  return 0;
}

int32_t EffectiveSamplingFrequencyIndex(const AudioSpecificConfig& c) {
  if (c.sampling_frequency_index != 15) return c.sampling_frequency_index;
  if (c.channel_configuration == 0) return c.ga.pce.sampling_frequency_index;
  return SamplingFrequencyIndexForRate(c.sampling_frequency);
}

}  // namespace UMC
