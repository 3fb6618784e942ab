// raw_data_block() (ISO/IEC 14496-3, 4.4.2.1): the element walk, channel
// placement across frames, output order, synthesis and PCM output.
#include <cstring>

#include "aac/aac_dec_state.h"
#include "aac/prediction.h"
#include "dsp/dsp_vector.h"

namespace {

constexpr int32_t kObjectTypeMain = 1;
constexpr int32_t kObjectTypeLtp = 4;

// One SCE/CPE/LFE of the current frame.
struct FrameElement {
  int16_t type;
  int16_t key;
  int16_t channel;
};

struct Frame {
  FrameElement elements[kAacMaxElements];
  int32_t element_count;
  int32_t channels[kAacMaxChannels];  // in order of appearance
  int32_t channel_count;
  int32_t cce_count;
  int32_t sbr_payloads;
  int32_t channel_elements;  // SCE, CPE and LFE elements so far
  // Position/channel pairs of the output order.
  int32_t order_position[kAacMaxChannels];
  int32_t order_channel[kAacMaxChannels];
  int32_t order_count;
};

using UMC::BitReader;

int32_t Read(BitReader& r, int n) {
  return static_cast<int32_t>(UMC::BitReaderRead(r, n));
}

// ---- CRC over the protected bits of an element ------------------------------

// Feeds the bits from `start` to the reader's position, at most `limit`, and
// zero bits up to `limit` when the element is shorter.
void CrcProtect(AACDecState& s, const BitReader& r, int64_t start, int64_t limit) {
  if (!s.crc_enabled) return;
  const int64_t len = UMC::BitReaderBitsConsumed(r) - start;
  const int64_t fed = len < limit ? len : limit;
  UMC::Crc16UpdateBits(r.data, r.size, start, fed, &s.crc_value);
  if (fed < limit) UMC::Crc16UpdateZeroBits(limit - fed, &s.crc_value);
}

// ---- element table -----------------------------------------------------------

int16_t KeyFor(const Frame& f, int16_t type, int32_t tag) {
  int32_t n = 0;
  for (int32_t i = 0; i < f.element_count; ++i) {
    if (f.elements[i].type == type && (f.elements[i].key & 15) == tag) ++n;
  }
  return static_cast<int16_t>(tag + 16 * n);
}

// Channel of an element: its entry in the persistent table, or a new one.
int32_t ChannelFor(AACDecState& s, int32_t* table_count, int32_t* next_channel, int16_t type,
                   int16_t key) {
  for (int32_t i = 0; i < *table_count; ++i) {
    if (s.element_table[i].type == type && s.element_table[i].key == key) {
      return s.element_table[i].channel;
    }
  }
  if (*table_count >= kAacMaxElements) return -1;
  const int32_t ch = *next_channel;
  s.element_table[(*table_count)++] = AacElementEntry{type, key, static_cast<int16_t>(ch)};
  *next_channel += type == kElementCpe ? 2 : 1;
  return ch;
}

int AddElement(AACDecState& s, Frame& f, int32_t* table_count, int32_t* next_channel, int16_t type,
               int32_t tag, int32_t* channel) {
  if (f.element_count >= kAacMaxElements) return -1;
  const int16_t key = KeyFor(f, type, tag);
  const int32_t ch = ChannelFor(s, table_count, next_channel, type, key);
  const int32_t width = type == kElementCpe ? 2 : 1;
  if (ch < 0 || ch + width > kAacMaxChannels || f.channel_count + width > kAacMaxChannels)
    return -1;
  f.elements[f.element_count++] = FrameElement{type, key, static_cast<int16_t>(ch)};
  for (int32_t k = 0; k < width; ++k) f.channels[f.channel_count++] = ch + k;
  *channel = ch;
  return 0;
}

// ---- channel pipelines ---------------------------------------------------------

void StartChannel(AacChannelSlot& slot) {
  slot.window_sequence = slot.stream.window_sequence;
  slot.window_shape = slot.stream.window_shape;
}

void FinishSpectrum(AacChannelSlot& slot) {
  if (slot.stream.window_sequence == EIGHT_SHORT_SEQUENCE)
    DeinterleaveShort(slot.stream, slot.spectrum);
  PrepareTns(slot.stream, &slot.tns);
  slot.tns.present = slot.stream.tns_data_present;
}

int32_t SlotIndex(const AACDecState& s, const AacChannelSlot& slot) {
  return static_cast<int32_t>(&slot - s.slot);
}

void Predict(AACDecState& s, AacChannelSlot& slot) {
  if (s.object_type == kObjectTypeMain) {
    ApplyPrediction(s.predictor[SlotIndex(s, slot)], slot.stream, slot.spectrum);
  }
}

void LongTermPredict(AACDecState& s, AacChannelSlot& slot) {
  if (s.object_type != kObjectTypeLtp) return;
  float* const* h = s.ltp_history[SlotIndex(s, slot)];
  if (!h[0]) return;
  const float* line[3] = {h[s.history_index[0]], h[s.history_index[1]], h[s.history_index[2]]};
  ApplyLtp(line, slot.stream, slot.spectrum, slot.window_shape_prev, s.bank, slot.tns);
}

// `start` is the element's first bit after id_syn_ele: the ADTS CRC covers
// the first 192 bits from there (tag included).
int DecodeSingle(AACDecState& s, BitReader& r, AacChannelSlot& slot, bool lfe, int64_t start) {
  ChannelStream& cs = slot.stream;
  if (DecodeChannelStream(cs, r, 0, s.object_type, s.books) != 0) return -1;
  if (lfe && cs.window_sequence == EIGHT_SHORT_SEQUENCE) return -1;  // LFE is long only
  CrcProtect(s, r, start, 192);
  StartChannel(slot);
  if (cs.pulse_data_present) ApplyPulses(cs);
  InverseQuantise(cs, slot.spectrum);
  if (lfe) {
    slot.tns.present = 0;
    return 0;
  }
  ApplyNoiseSubstitution(cs, nullptr, slot.spectrum, nullptr, &s.noise_state);
  FinishSpectrum(slot);
  Predict(s, slot);
  LongTermPredict(s, slot);
  return 0;
}

int DecodePair(AACDecState& s, BitReader& r, AacChannelSlot& left, AacChannelSlot& right,
               int64_t start) {
  ChannelStream& a = left.stream;
  ChannelStream& b = right.stream;
  const int32_t common_window = Read(r, 1);
  a.ms_mask_present = 0;
  if (common_window) {
    if (DecodeIcsInfo(a, r, s.object_type) != 0) return -1;
    CopyIcsInfo(a, b, s.object_type);
    if (s.object_type == kObjectTypeLtp && a.window_sequence != EIGHT_SHORT_SEQUENCE &&
        a.predictor_data_present) {
      b.ltp_data_present = Read(r, 1);
      if (b.ltp_data_present && DecodeLtpData(b, r) != 0) return -1;
    }
    if (DecodeMsData(a, r) != 0) return -1;
  }
  if (DecodeChannelStream(a, r, common_window, s.object_type, s.books) != 0) return -1;
  const int64_t second = UMC::BitReaderBitsConsumed(r);
  if (DecodeChannelStream(b, r, common_window, s.object_type, s.books) != 0) return -1;
  // Two CRC regions, which may overlap: 192 bits from the element start and
  // 128 bits from the second channel stream, each cut at the element's end.
  CrcProtect(s, r, start, 192);
  CrcProtect(s, r, second, 128);
  StartChannel(left);
  StartChannel(right);
  if (a.pulse_data_present) ApplyPulses(a);
  if (b.pulse_data_present) ApplyPulses(b);
  InverseQuantise(a, left.spectrum);
  InverseQuantise(b, right.spectrum);
  if (common_window) ApplyMidSide(a, b, left.spectrum, right.spectrum);
  ApplyNoiseSubstitution(a, &b, left.spectrum, right.spectrum, &s.noise_state);
  // Prediction comes before intensity stereo, as in the standard's decoder:
  // the right channel's predictors run on its own (zero) intensity bands.
  Predict(s, left);
  Predict(s, right);
  if (common_window) ApplyIntensity(a, b, left.spectrum, right.spectrum);
  FinishSpectrum(left);
  FinishSpectrum(right);
  LongTermPredict(s, left);
  LongTermPredict(s, right);
  return 0;
}

// A coupling channel element into coupling slot `index`: its channel is
// reconstructed like an SCE's, with TNS applied at once, and its gains set.
int DecodeCoupling(AACDecState& s, BitReader& r, int32_t index, int64_t start) {
  AacChannelSlot& slot = s.slot[kAacMaxChannels + index];
  CouplingRecord& rec = s.coupling[index];
  ChannelStream& cs = slot.stream;
  if (DecodeCouplingElement(rec, cs, r, s.object_type, s.books) != 0) return -1;
  CrcProtect(s, r, start, 192);
  StartChannel(slot);
  if (cs.pulse_data_present) ApplyPulses(cs);
  InverseQuantise(cs, slot.spectrum);
  ApplyNoiseSubstitution(cs, nullptr, slot.spectrum, nullptr, &s.noise_state);
  FinishSpectrum(slot);
  Predict(s, slot);
  LongTermPredict(s, slot);
  if (slot.tns.present) ApplyTns(slot.tns, slot.spectrum);
  slot.tns.present = 0;
  ComputeCouplingGains(rec, cs);
  return 0;
}

int SkipDataStream(BitReader& r) {
  Read(r, 4);  // element_instance_tag
  const int32_t align = Read(r, 1);
  int32_t count = Read(r, 8);
  if (count == 255) count += Read(r, 8);
  if (align) UMC::BitReaderByteAlign(r);
  UMC::BitReaderSkip(r, int64_t{8} * count);
  return 0;
}

int ReadProgramConfigElement(AACDecState& s, BitReader& r) {
  const int64_t start = UMC::BitReaderBitsConsumed(r);  // after id_syn_ele
  UMC::ParseProgramConfig(s.pce, r);
  if (s.crc_enabled) {
    UMC::Crc16UpdateBits(r.data, r.size, start, UMC::BitReaderBitsConsumed(r) - start,
                         &s.crc_value);
  }
  s.pce_present = 1;
  s.positions_valid = 0;
  return 0;
}

// fill_element(): extension payloads, SBR data into the next SBR slot.
int DecodeFill(AACDecState& s, BitReader& r, Frame& f) {
  int32_t count = Read(r, 4);
  if (count == 15) count += Read(r, 8) - 1;
  while (count > 0) {
    // SBR data belong to the SCEs and CPEs in order; an LFE has none.
    while (f.sbr_payloads < f.channel_elements && f.sbr_payloads < kSbrSlots &&
           s.sbr[f.sbr_payloads].elementType == kElementLfe) {
      ++f.sbr_payloads;
    }
    if (f.sbr_payloads >= f.channel_elements || f.sbr_payloads >= kSbrSlots) {
      // No element left for SBR data: the payloads are skipped.
      UMC::BitReaderSetPosition(r, UMC::BitReaderBitsConsumed(r) + int64_t{count} * 8);
      return 0;
    }
    SBRDecState& slot = s.sbr[f.sbr_payloads];
    // SBR runs at twice the core rate.
    if (s.sampling_frequency_index >= 3) slot.sbrRateIndex = s.sampling_frequency_index - 3;
    // Parametric stereo data travel in the first SBR payload, of a mono element.
    const bool ps =
        f.sbr_payloads == 0 && PsModeParses(s.ps_mode_working) && slot.elementType == kElementSce;
    slot.ps = ps ? &s.ps : nullptr;
    if (ps) s.ps.ps_mode = s.ps_mode_working;
    const int32_t used = SbrExtensionPayload(r, count, s.sbr, &f.sbr_payloads, s.extension_mode,
                                             s.sbr_huffman, ps ? PsParseExtension : nullptr);
    // A damaged SBR payload latches the slot's error state (the element's
    // SBR bypasses until the next header); the core goes on.
    count -= used < 0 ? count : used;
  }
  return 0;
}

// ---- output order -------------------------------------------------------------

int AddPosition(AACDecState& s, int16_t type, int16_t key, int32_t position) {
  if (s.position_count >= kAacMaxElements) return -1;
  s.position_table[s.position_count++] =
      AacPositionEntry{type, key, static_cast<int16_t>(position)};
  return 0;
}

// The single channel element that makes a front or back group odd is its
// centre, also when a pair is listed before it (as some encoders write a
// hexagonal layout: front pair, front centre, back pair, back centre).
int PlaceGroup(AACDecState& s, int32_t count, const int32_t* is_cpe, const int32_t* tags,
               int32_t channels, int32_t first_position, bool has_centre, int32_t centre_position) {
  int32_t centre = -1;
  for (int32_t i = 0; has_centre && (channels & 1) && centre < 0 && i < count; ++i) {
    if (!is_cpe[i]) centre = i;
  }
  int32_t pos = first_position;
  for (int32_t i = 0; i < count; ++i) {
    const int16_t type = is_cpe[i] ? kElementCpe : kElementSce;
    if (i == centre) {
      if (AddPosition(s, type, static_cast<int16_t>(tags[i]), centre_position) != 0) return -1;
      continue;
    }
    if (AddPosition(s, type, static_cast<int16_t>(tags[i]), pos) != 0) return -1;
    pos += is_cpe[i] ? 2 : 1;
  }
  return 0;
}

int BuildPositionsFromPce(AACDecState& s) {
  const UMC::ProgramConfig& p = s.pce;
  s.position_count = 0;
  if (PlaceGroup(s, p.num_front_channel_elements, p.front_element_is_cpe,
                 p.front_element_tag_select, p.front_channels, 1, true, 0) != 0 ||
      PlaceGroup(s, p.num_side_channel_elements, p.side_element_is_cpe, p.side_element_tag_select,
                 p.side_channels, 32, false, 0) != 0 ||
      PlaceGroup(s, p.num_back_channel_elements, p.back_element_is_cpe, p.back_element_tag_select,
                 p.back_channels, 64, true, 95) != 0) {
    return -1;
  }
  for (int32_t k = 0; k < p.num_lfe_channel_elements; ++k) {
    if (AddPosition(s, kElementLfe, static_cast<int16_t>(p.lfe_element_tag_select[k]), 96 + k) != 0)
      return -1;
  }
  return 0;
}

// The n-th element of a type in the frame (n from 0), or null.
const FrameElement* NthElement(const Frame& f, int16_t type, int32_t n) {
  for (int32_t i = 0; i < f.element_count; ++i) {
    if (f.elements[i].type == type && n-- == 0) return &f.elements[i];
  }
  return nullptr;
}

int BuildPositionsFromConfiguration(AACDecState& s, const Frame& f) {
  const int32_t c = s.channel_configuration;
  if (c < 1 || c > 7 || f.element_count > kAacMaxElements) return -1;
  int32_t left = c == 7 ? 8 : c;
  s.position_count = 0;
  int32_t sce = 0, cpe = 0;
  if (left >= 6) {
    const FrameElement* e = NthElement(f, kElementLfe, 0);
    if (!e || AddPosition(s, kElementLfe, e->key, 96) != 0) return -1;
    --left;
  }
  if (left != 2) {
    const FrameElement* e = NthElement(f, kElementSce, sce++);
    if (!e || AddPosition(s, kElementSce, e->key, 0) != 0) return -1;
    --left;
  }
  for (int32_t pos = 1; left >= 2; pos += 2, left -= 2) {
    const FrameElement* e = NthElement(f, kElementCpe, cpe++);
    if (!e || AddPosition(s, kElementCpe, e->key, pos) != 0) return -1;
  }
  if (left == 1) {
    const FrameElement* e = NthElement(f, kElementSce, sce++);
    if (!e || AddPosition(s, kElementSce, e->key, 95) != 0) return -1;
  }
  return 0;
}

void MapPositions(const AACDecState& s, Frame& f) {
  f.order_count = 0;
  for (int32_t i = 0; i < f.element_count; ++i) {
    const FrameElement& e = f.elements[i];
    for (int32_t p = 0; p < s.position_count; ++p) {
      const AacPositionEntry& pe = s.position_table[p];
      if (pe.type != e.type || pe.key != e.key) continue;
      const int32_t width = e.type == kElementCpe ? 2 : 1;
      for (int32_t k = 0; k < width && f.order_count < kAacMaxChannels; ++k) {
        f.order_position[f.order_count] = pe.position + k;
        f.order_channel[f.order_count++] = e.channel + k;
      }
    }
  }
  // Exchange sort that swaps only on strictly smaller positions.
  for (int32_t i = 0; i < f.order_count; ++i) {
    for (int32_t j = i + 1; j < f.order_count; ++j) {
      if (f.order_position[j] < f.order_position[i]) {
        int32_t t = f.order_position[i];
        f.order_position[i] = f.order_position[j];
        f.order_position[j] = t;
        t = f.order_channel[i];
        f.order_channel[i] = f.order_channel[j];
        f.order_channel[j] = t;
      }
    }
  }
}

int BuildOutputOrder(AACDecState& s, Frame& f) {
  if (s.pce_present) {
    if (!s.positions_valid) {
      if (BuildPositionsFromPce(s) != 0) return -1;
      s.positions_valid = 1;
    }
    MapPositions(s, f);
  } else if (s.channel_configuration >= 1) {
    if (BuildPositionsFromConfiguration(s, f) != 0) return -1;
    MapPositions(s, f);
  } else {
    f.order_count = f.channel_count;
    for (int32_t i = 0; i < f.channel_count; ++i) f.order_channel[i] = f.channels[i];
  }
  return 0;
}

// ---- the frame --------------------------------------------------------------

int32_t ConsumedBytes(const BitReader& r) {
  const int64_t bytes = (UMC::BitReaderBitsConsumed(r) + 7) >> 3;
  return bytes > INT32_MAX ? INT32_MAX : static_cast<int32_t>(bytes);
}

int DecodeElements(AACDecState& s, BitReader& r, Frame& f, int32_t* table_count,
                   int32_t* next_channel, int32_t input_bytes) {
  for (;;) {
    const int32_t id = Read(r, 3);
    if (id == ID_END) return 0;
    if (f.channel_count > 9) return -1;
    int rc = 0;
    int32_t ch = 0;
    const int64_t start = UMC::BitReaderBitsConsumed(r);
    switch (id) {
      case ID_SCE:
      case ID_LFE: {
        const int16_t type = id == ID_SCE ? kElementSce : kElementLfe;
        if (f.channel_elements < kSbrSlots) s.sbr[f.channel_elements].elementType = type;
        ++f.channel_elements;
        rc = AddElement(s, f, table_count, next_channel, type, Read(r, 4), &ch);
        if (rc == 0) rc = DecodeSingle(s, r, s.slot[ch], id == ID_LFE, start);
        break;
      }
      case ID_CPE:
        if (f.channel_elements < kSbrSlots) s.sbr[f.channel_elements].elementType = kElementCpe;
        ++f.channel_elements;
        rc = AddElement(s, f, table_count, next_channel, kElementCpe, Read(r, 4), &ch);
        if (rc == 0) rc = DecodePair(s, r, s.slot[ch], s.slot[ch + 1], start);
        break;
      case ID_CCE:
        if (f.cce_count >= kAacMaxCoupling) return -1;
        rc = DecodeCoupling(s, r, f.cce_count++, start);
        break;
      case ID_DSE:
        rc = SkipDataStream(r);
        break;
      case ID_PCE:
        rc = ReadProgramConfigElement(s, r);
        break;
      case ID_FIL:
        rc = DecodeFill(s, r, f);
        break;
    }
    if (rc != 0) return -1;
    if (UMC::BitReaderBitsConsumed(r) > int64_t{8} * input_bytes) return -1;
  }
}

// Parametric stereo output: a mono stream becomes two channels (the right
// one in a free channel slot); a stream with more channels turns it off.
float* StereoOutput(AACDecState& s, const Frame& f) {
  if (!PsModeStereo(s.ps_mode_working) || f.order_count == 0) return nullptr;
  if (f.order_count > 1) {
    s.ps_mode_working = 0;
    return nullptr;
  }
  float* right = s.slot[f.order_channel[0] == 0 ? 1 : 0].output;
  s.output_channels = 2;
  s.output_ptr[1] = right;
  s.output_position[0] = s.output_position[1] = -1;
  return right;
}

// SBR of every element with a payload, on the channels' output buffers.
void RunSbr(AACDecState& s, const Frame& f) {
  s.frame_length_factor = 1;
  float* ps_right = StereoOutput(s, f);
  // LFEs after the last payload have no SBR data of their own.
  int32_t payloads = f.sbr_payloads;
  while (payloads < f.element_count && f.elements[payloads].type == kElementLfe) ++payloads;
  const bool data = f.sbr_payloads > 0 && payloads == f.element_count;
  if (!data && !s.sbr_present) {
    // No SBR in the stream so far.
    if (ps_right) std::memcpy(ps_right, s.output_ptr[0], sizeof(float) * s.frame_length);
    return;
  }
  // Once SBR runs, a frame without (matching) SBR data goes through the
  // bypass: the rate and the delay stay those of the SBR path.
  const bool downsampled = s.sbr_rate_mode == 1 && !ps_right;
  const int32_t bands = downsampled ? 32 : 64;
  if (s.sbr_synthesis_bands != bands) {
    for (SBRDecState& slot : s.sbr) {
      for (SbrChannel& c : slot.ch) SbrQmfSynthesisInit(c.synthesis, bands);
    }
    s.sbr_synthesis_bands = bands;
  }
  const SbrProcessOptions options{s.sbr_mode, downsampled ? 1 : 0, &s.qmf, data ? 0 : 1};
  for (int32_t n = 0; n < f.element_count && n < kSbrSlots; ++n) {
    const FrameElement& e = f.elements[n];
    const int32_t width = e.type == kElementCpe ? 2 : 1;
    for (int32_t k = 0; k < width; ++k) {
      float* right = n == 0 && width == 1 ? ps_right : nullptr;
      SbrProcess(s.sbr[n], k, s.slot[e.channel + k].output, right, options);
    }
  }
  s.sbr_present = 1;
  if (!downsampled) s.frame_length_factor = 2;
}

// Target channels of every coupling element among the frame's elements (the
// first SCE or CPE with the selected tag).
void ResolveCouplingTargets(AACDecState& s, const Frame& f) {
  for (int32_t i = 0; i < f.cce_count; ++i) {
    CouplingRecord& rec = s.coupling[i];
    for (int32_t c = 0; c <= rec.num_coupled_elements; ++c) {
      const int16_t type = rec.cc_target_is_cpe[c] ? kElementCpe : kElementSce;
      rec.target_channel[c] = -1;
      for (int32_t e = 0; e < f.element_count; ++e) {
        if (f.elements[e].type == type && f.elements[e].key == rec.cc_target_tag_select[c]) {
          rec.target_channel[c] = f.elements[e].channel;
          break;
        }
      }
    }
  }
}

void FilterSlot(AACDecState& s, int32_t index) {
  AacChannelSlot& slot = s.slot[index];
  SynthesisFilterBank(s.bank, slot.spectrum, slot.overlap, slot.window_sequence, slot.window_shape,
                      slot.window_shape_prev, slot.output, slot.overlap);
  slot.window_shape_prev = slot.window_shape;
}

void UpdateLtpHistory(AACDecState& s, int32_t index) {
  float* const* h = s.ltp_history[index];
  if (s.object_type != kObjectTypeLtp || !h[0]) return;
  const AacChannelSlot& slot = s.slot[index];
  LtpUpdateHistory(slot.output, slot.overlap, h[s.history_index[1]], h[s.history_index[2]],
                   s.frame_length);
}

// Coupling point 0 (before TNS) or 1 (after TNS) of dependently switched
// coupling elements.
void CoupleSpectra(AACDecState& s, const Frame& f, int32_t domain) {
  float* spectra[kAacMaxChannels];
  for (int32_t k = 0; k < kAacMaxChannels; ++k) spectra[k] = s.slot[k].spectrum;
  for (int32_t i = 0; i < f.cce_count; ++i) {
    const CouplingRecord& rec = s.coupling[i];
    if (rec.ind_sw_cce_flag || rec.cc_domain != domain) continue;
    const AacChannelSlot& cc = s.slot[kAacMaxChannels + i];
    ApplyCoupling(rec, cc.stream, cc.spectrum, spectra, kAacMaxChannels);
  }
}

// Coupling point 2: independently switched elements add their output.
void CoupleOutputs(AACDecState& s, const Frame& f) {
  float* outputs[kAacMaxChannels];
  for (int32_t k = 0; k < kAacMaxChannels; ++k) outputs[k] = s.slot[k].output;
  for (int32_t i = 0; i < f.cce_count; ++i) {
    const CouplingRecord& rec = s.coupling[i];
    if (rec.ind_sw_cce_flag) {
      ApplyTimeCoupling(rec, s.slot[kAacMaxChannels + i].output, outputs, kAacMaxChannels,
                        s.frame_length);
    }
  }
}

void Synthesise(AACDecState& s, const Frame& f) {
  ResolveCouplingTargets(s, f);
  for (int32_t i = 0; i < f.cce_count; ++i) {
    // Coupling channels need a time signal when coupled after the filter
    // bank, and with long-term prediction for their own history.
    if (s.coupling[i].ind_sw_cce_flag || s.object_type == kObjectTypeLtp) {
      FilterSlot(s, kAacMaxChannels + i);
      UpdateLtpHistory(s, kAacMaxChannels + i);
    }
  }
  CoupleSpectra(s, f, 0);
  for (int32_t i = 0; i < f.order_count; ++i) {
    AacChannelSlot& slot = s.slot[f.order_channel[i]];
    if (slot.tns.present) ApplyTns(slot.tns, slot.spectrum);
  }
  CoupleSpectra(s, f, 1);
  for (int32_t i = 0; i < f.order_count; ++i) FilterSlot(s, f.order_channel[i]);
  CoupleOutputs(s, f);
  for (int32_t i = 0; i < f.order_count; ++i) UpdateLtpHistory(s, f.order_channel[i]);
}

// Float output is the synthesis output unrounded, scaled from the 16-bit
// scale the decoder works at to 1.0 full scale (a power of two: exact).
constexpr float kFloatScale = 1.0f / 32768.0f;

// The output channels in the order the caller asked for when the frame's
// speakers are those it was asked for (the permutation is applied to the
// channel pointers of the interleaving, so it costs no pass of its own),
// else in the stream's order.
const float* const* OutputPlanes(AACDecState& s, const float** ordered) {
  const int32_t n = s.output_channels;
  s.output_reordered = 0;
  if (s.order_count <= 0 || s.order_count != n || n > kAacMaxChannels) return s.output_ptr;
  int8_t speakers[kAacMaxChannels];
  if (AacChannelSpeakers(s, speakers, kAacMaxChannels) != n ||
      std::memcmp(speakers, s.order_speakers, static_cast<size_t>(n)) != 0) {
    return s.output_ptr;
  }
  for (int32_t i = 0; i < n; ++i) ordered[i] = s.output_ptr[s.order_map[i]];
  s.output_reordered = 1;
  return ordered;
}

int32_t WriteOutput(AACDecState& s, void* output, int32_t output_bytes, int32_t consumed,
                    int32_t* consumed_out) {
  const int32_t channels = s.output_channels;
  const int32_t samples = s.frame_length_factor * s.frame_length;
  *consumed_out = consumed;
  if (int64_t{output_bytes} < int64_t{channels} * samples * AacSampleBytes(s)) {
    s.pending_consumed = consumed > 0 ? consumed : 1;
    s.pending_crc = s.crc_value;
    return kAacOutputTooSmall;
  }
  const float* ordered[kAacMaxChannels];
  const float* const* planes = OutputPlanes(s, ordered);
  if (channels > 0 && s.output_float) {
    dspInterleaveScale_32f(planes, channels, samples, kFloatScale, static_cast<float*>(output));
  } else if (channels > 0) {
    dspInterleaveConvert_32f16s(planes, channels, samples, static_cast<int16_t*>(output));
  }
  ++s.frames_decoded;
  s.pending_consumed = 0;
  return kAacOk;
}

}  // namespace

int32_t DecodeRawDataBlock(const uint8_t* input, int32_t* consumed, void* output,
                           int32_t input_bytes, int32_t output_bytes, AACDecState& s) {
  if (!input || !output || !consumed) return kAacNullArgument;
  if (s.pending_consumed) {
    s.crc_value = s.pending_crc;
    return WriteOutput(s, output, output_bytes, s.pending_consumed, consumed);
  }
  if (input_bytes < 0) input_bytes = 0;
  const int32_t copy = input_bytes < kAacMaxAccessUnit ? input_bytes : kAacMaxAccessUnit;
  std::memcpy(s.access_unit, input, static_cast<size_t>(copy));
  std::memset(s.access_unit + copy, 0, 64);
  BitReader r;
  UMC::BitReaderInit(r, s.access_unit, copy);

  Frame f;
  f.element_count = f.channel_count = f.cce_count = f.sbr_payloads = f.order_count = 0;
  f.channel_elements = 0;
  int32_t table_count = s.element_count;
  int32_t next_channel = s.next_channel;
  const int32_t pce_present = s.pce_present, positions_valid = s.positions_valid;
  if (DecodeElements(s, r, f, &table_count, &next_channel, copy) != 0 ||
      BuildOutputOrder(s, f) != 0) {
    s.pce_present = pce_present;
    s.positions_valid = positions_valid;
    *consumed = ConsumedBytes(r);
    return kAacMalformed;
  }
  s.element_count = table_count;
  s.next_channel = next_channel;
  s.output_channels = s.last_stream_channels = f.order_count;
  const bool positioned = s.pce_present || s.channel_configuration >= 1;
  for (int32_t i = 0; i < f.order_count; ++i) {
    s.output_ptr[i] = s.slot[f.order_channel[i]].output;
    s.output_position[i] = static_cast<int16_t>(positioned ? f.order_position[i] : -1);
  }
  if (s.object_type == kObjectTypeLtp) {
    for (int32_t& h : s.history_index) h = (h + 1) % 3;
  }
  Synthesise(s, f);
  RunSbr(s, f);
  UMC::BitReaderByteAlign(r);
  s.last_output_channels = s.output_channels;
  return WriteOutput(s, output, output_bytes, ConsumedBytes(r), consumed);
}

namespace {

enum Speaker : int8_t { kFL, kFR, kFC, kLFE, kBL, kBR, kFLC, kFRC, kBC, kSL, kSR, kNone = -1 };

// Speaker of a position of a PCE layout (front outward from the centre).
int8_t PceSpeaker(const UMC::ProgramConfig& p, int32_t pos) {
  if (pos == 0) return kFC;
  if (pos < 32) {
    const int32_t centre = p.front_channels & 1;
    const int32_t pairs = (p.front_channels - centre) / 2;
    const int32_t pair = (pos - 1) / 2;  // positions advance by 2 per pair
    if (pair == pairs - 1) return (pos - 1) % 2 ? kFR : kFL;
    if (pair == 0 && pairs > 1) return (pos - 1) % 2 ? kFRC : kFLC;
    return kNone;
  }
  if (pos < 64) return pos < 34 ? ((pos - 32) ? kSR : kSL) : kNone;
  if (pos < 95) return pos < 66 ? ((pos - 64) ? kBR : kBL) : kNone;
  if (pos == 95) return kBC;
  return pos == 96 ? kLFE : kNone;
}

int8_t ConfigurationSpeaker(int32_t configuration, int32_t pos) {
  switch (pos) {
    case 0:
      return kFC;
    case 1:
      return kFL;
    case 2:
      return kFR;
    case 3:
      return configuration == 7 ? kSL : kBL;
    case 4:
      return configuration == 7 ? kSR : kBR;
    case 5:
      return kBL;
    case 6:
      return kBR;
    case 95:
      return kBC;
    case 96:
      return kLFE;
    default:
      return kNone;
  }
}

}  // namespace

int32_t AacChannelSpeakers(const AACDecState& s, int8_t* speakers, int32_t max) {
  const int32_t n = s.last_output_channels < max ? s.last_output_channels : max;
  for (int32_t i = 0; i < n; ++i) {
    const int32_t pos = s.output_position[i];
    if (pos < 0) {
      speakers[i] = n == 1 ? int8_t{kFC} : (n == 2 ? static_cast<int8_t>(i) : int8_t{kNone});
    } else if (s.pce_present) {
      speakers[i] = PceSpeaker(s.pce, pos);
    } else {
      speakers[i] = ConfigurationSpeaker(s.channel_configuration, pos);
    }
  }
  return n;
}

int AacCoreTablesGetSize(int32_t* size) {
  int32_t books = 0, bank = 0, sbr = 0;
  if (AacHuffmanTablesGetSize(&books) != 0 || SbrHuffmanGetSize(&sbr) != 0 ||
      FilterBankGetSize(kFilterBankInverse | kFilterBankForward, 2, &bank) != 0) {
    return -1;
  }
  *size = ((books + 63) & ~31) + ((bank + 63) & ~31) + ((sbr + 63) & ~31);
  return 0;
}

namespace {

// Layout after AACDecState: AAC Huffman tables, filter bank (sized for
// either frame length), SBR Huffman tables.
uint8_t* FilterBankMemory(uint8_t* memory) {
  int32_t books = 0;
  if (AacHuffmanTablesGetSize(&books) != 0) return nullptr;
  return memory + ((books + 63) & ~31);
}

int BuildFilterBank(AACDecState& s, uint8_t* bank_memory) {
  return bank_memory ? InitFilterBank(s.bank, bank_memory, kFilterBankInverse | kFilterBankForward,
                                      2, s.frame_length)
                     : -1;
}

}  // namespace

// Every pointer-holding table is rebuilt here (also after a move).
int AacCoreTablesInit(AACDecState& s, uint8_t* memory) {
  int32_t bank = 0;
  uint8_t* bank_mem = FilterBankMemory(memory);
  if (!bank_mem || FilterBankGetSize(kFilterBankInverse | kFilterBankForward, 2, &bank) != 0) {
    return -1;
  }
  if (AacHuffmanTablesInit(&s.books, memory) != 0) return -1;
  if (BuildFilterBank(s, bank_mem) != 0) return -1;
  return SbrHuffmanInit(&s.sbr_huffman, bank_mem + ((bank + 63) & ~31));
}

int AacSetFrameLength(AACDecState& s, uint8_t* memory, int32_t frame_length) {
  if (frame_length != kAacFrameLength && frame_length != kAacFrameLength960) return -1;
  if (frame_length != s.frame_length) {
    s.frame_length = frame_length;
    if (BuildFilterBank(s, FilterBankMemory(memory)) != 0) return -1;
    // SBR histories of the other slot count mean nothing here.
    for (SBRDecState& slot : s.sbr) SbrInitSlot(slot);
    s.sbr_synthesis_bands = 64;
  }
  // SBR runs numTimeSlots = 16 (15) slots of two QMF slots over a frame.
  for (SBRDecState& slot : s.sbr) SbrSetFrameLength(slot, frame_length);
  PsSetFrameLength(s.ps, frame_length);
  return 0;
}

namespace {
constexpr int64_t PredictorBytes() {
  return (24 * 1024 + 260 + 63) & ~int64_t{31};
}
}  // namespace

int64_t AacObjectBlockSize(int32_t object_type) {
  if (object_type == kObjectTypeMain) return 32 + kAacSlots * PredictorBytes();
  if (object_type == kObjectTypeLtp) return 32 + int64_t{kAacSlots} * 3 * 1024 * sizeof(float);
  return 0;
}

void AacAttachObjectBlock(AACDecState& s, uint8_t* block, bool initialise) {
  for (int32_t i = 0; i < kAacSlots; ++i) {
    s.predictor[i] = nullptr;
    s.ltp_history[i][0] = s.ltp_history[i][1] = s.ltp_history[i][2] = nullptr;
  }
  if (!block) return;
  uint8_t* base = dspAlignPtr<uint8_t>(block, 32);
  if (s.object_type == kObjectTypeMain) {
    for (int32_t i = 0; i < kAacSlots; ++i) {
      uint8_t* mem = base + i * PredictorBytes();
      if (initialise) {
        dspPredictorInit_32f(&s.predictor[i], 1024, mem);
      } else {
        s.predictor[i] = reinterpret_cast<DspPredictorState*>(mem);
      }
    }
  } else if (s.object_type == kObjectTypeLtp) {
    float* f = reinterpret_cast<float*>(base);
    if (initialise) std::memset(f, 0, sizeof(float) * kAacSlots * 3 * 1024);
    for (int32_t i = 0; i < kAacSlots; ++i) {
      for (int32_t k = 0; k < 3; ++k) s.ltp_history[i][k] = f + (i * 3 + k) * 1024;
    }
  }
}

void AacSbrInit(AACDecState& s) {
  for (SBRDecState& slot : s.sbr) SbrInitSlot(slot);
  PsInit(s.ps);
  SbrQmfTablesInit(s.qmf);
  s.sbr_synthesis_bands = 64;
}

void AacCoreReset(AACDecState& s) {
  s.frames_decoded = 0;
  s.sbr_present = 0;
  s.frame_length_factor = 1;
  s.history_index[0] = 0;
  s.history_index[1] = 1;
  s.history_index[2] = 2;
  s.pending_consumed = 0;
  PsReset(s.ps);
  for (SBRDecState& slot : s.sbr) slot.psSeen = 0;
  for (AacChannelSlot& slot : s.slot) {
    std::memset(slot.overlap, 0, sizeof(slot.overlap));
    std::memset(slot.output, 0, sizeof(slot.output));
    slot.window_shape_prev = 0;
    slot.tns.present = 0;
  }
  if (!s.noise_state) s.noise_state = 0x2545F491u;
}

int AacSetSamplingFrequencyIndex(AACDecState& s, int32_t index) {
  if (index < 0 || index > 12) return -1;
  s.sampling_frequency_index = index;
  s.sample_rate = UMC::kSamplingFrequencies[index];
  for (AacChannelSlot& slot : s.slot) {
    if (InitChannelStream(slot.stream, index, s.object_type, s.frame_length) != 0) return -1;
  }
  return 0;
}

void AacSetProgramConfig(AACDecState& s, const UMC::ProgramConfig& pce) {
  s.pce = pce;
  s.pce_present = 1;
  s.positions_valid = 0;
}
