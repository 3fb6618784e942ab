// Coupling channel elements (ISO/IEC 14496-3, 4.4.2.3 / 4.6.8.3): parsing,
// gains, and coupling into other channels' spectra or outputs.
#pragma once

#include <cstdint>

#include "aac/channel_stream.h"

inline constexpr int32_t kCouplingMaxLists = 16;  // 8 targets, two lists each at most

struct CouplingRecord {
  int32_t element_instance_tag;
  int32_t ind_sw_cce_flag;
  int32_t num_coupled_elements;  // as read: 0..7 means 1..8 targets
  int32_t cc_target_is_cpe[8];
  int32_t cc_target_tag_select[8];
  int32_t cc_lr[8];           // 2 cc_l + cc_r (0 for SCE targets)
  int32_t target_channel[8];  // resolved after the frame is parsed; -1 none
  int32_t first_list[8];      // gain list of each target's first (or only) channel
  int32_t num_gain_element_lists;
  int32_t cc_domain;
  int32_t gain_element_sign;
  int32_t gain_element_scale;
  int32_t common_gain_element_present[kCouplingMaxLists];
  int16_t common_gain[kCouplingMaxLists];
  int16_t gain_values[kCouplingMaxLists][kAacMaxWindows][kAacMaxSfb];
  // Linear gains: the common gain of each list, and per list, group and band
  // (0 where the coupling channel's codebook is ZERO_HCB).
  float common_gains[kCouplingMaxLists];
  float gains[kCouplingMaxLists][kAacMaxWindows][kAacMaxSfb];
};

// coupling_channel_element() after its id: the record and the coupling
// channel's stream (`stream`).  0, or -1 when malformed.
int DecodeCouplingElement(CouplingRecord& rec, ChannelStream& stream, UMC::BitReader& r,
                          int32_t object_type, const AacHuffmanTables& books);

// Linear gains of every list from the decoded values.
void ComputeCouplingGains(CouplingRecord& rec, const ChannelStream& stream);

// Coupling points 0 and 1: adds the coupling spectrum, band by band with each
// list's gains, into the spectra of the resolved targets (`spectra[k]` is
// channel k's spectrum, k < `channels`).
void ApplyCoupling(const CouplingRecord& rec, const ChannelStream& stream,
                   const float* coupling_spectrum, float* const* spectra, int32_t channels);

// Coupling point 2: adds the coupling channel's output (`samples` of the
// frame), with each list's common gain, into the targets' outputs.
void ApplyTimeCoupling(const CouplingRecord& rec, const float* coupling_output,
                       float* const* outputs, int32_t channels, int32_t samples);
