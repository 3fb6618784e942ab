// Parametric stereo (ISO/IEC 14496-3, 8.6.4): ps_data() parsing with delta
// decoding and band mapping, and the stereo synthesis that turns the mono
// QMF-domain signal of an SBR channel into two channels (hybrid analysis,
// decorrelation with transient attenuation, mixing, hybrid synthesis).
//
// One PSDecState per decoder; the frame decoder attaches it to SBR slot 0
// when that slot belongs to a single channel element.  Everything lives in
// fixed arrays inside the state: nothing is allocated per frame.
#pragma once

#include <cstdint>

#include "dsp/dsp_kernels.h"
#include "dsp/dsp_vlc.h"
#include "umc/bit_reader.h"

inline constexpr int32_t kPsError = -13;
inline constexpr int32_t kPsLayout20 = 1020;  // 10/20 parameter bands
inline constexpr int32_t kPsLayout34 = 34;
inline constexpr int kPsMaxEnvelopes = 5;  // four coded plus one appended
inline constexpr int kPsMaxBands = 34;     // IID/ICC
inline constexpr int kPsMaxPhaseBands = 17;
inline constexpr int kPsSlots = 32;      // QMF slots per frame (the most)
inline constexpr int kPsSlots960 = 30;   // over a 960-sample core frame
inline constexpr int kPsLookAhead = 6;   // slots 32..37 of the mono input
inline constexpr int kPsSplitBands = 5;  // QMF bands the hybrid filters may split
inline constexpr int kPsMaxK = 91;       // sub-subbands plus unsplit QMF bands
inline constexpr int kPsMaxAllpassK = 50;
inline constexpr int kPsMaxLinkDelay = 5;
static_assert(kPsMaxLinkDelay == kDspAllPassHistory);
inline constexpr int kPsMaxDelay = 14;
inline constexpr int32_t kPsHuffmanBytes = 6144;

// ps_mode: bit 0 parses ps_data(), bits 1 and 3 (modes 111 and 411) turn on
// the stereo output.
inline bool PsModeParses(int32_t ps_mode) {
  return (ps_mode & 1) != 0;
}
inline bool PsModeStereo(int32_t ps_mode) {
  return (ps_mode & 0xA) != 0;
}

// The ten PS Huffman decoders: IID fine f/t, IID f/t, ICC f/t, IPD f/t,
// OPD f/t.  Built once in the state's own memory.
struct PsHuffman {
  const DspVlcDecodeSpec_32s* table[10];
  alignas(32) uint8_t memory[kPsHuffmanBytes];
};

// Mixing matrix of one parameter band: h11, h12, h21, h22, real and
// imaginary parts (the imaginary parts are zero without phase parameters).
struct PsMatrix {
  float re[4];
  float im[4];
};

// Synthesis state, kept from frame to frame, and the work buffers of one
// frame.
struct PsSynthesisState {
  int32_t slots;       // QMF slots of the frame being synthesised (32 or 30)
  int32_t layoutPrev;  // layout of the previous frame
  int32_t topPrev;     // QMF band above the previous frame's SBR range
  int32_t silentFrom;  // bands k >= this have all-zero delay and link lines
  // The last kPsLookAhead slots of every QMF band the hybrid filters split.
  float hybridHistory[kPsSplitBands][kPsLookAhead][2];
  // Decorrelator: plain delay lines (history then the current frame), the
  // all-pass link delay lines, and the transient detector.
  float delay[kPsMaxK][kPsMaxDelay + kPsSlots][2];
  float apDelay[kPsMaxAllpassK][3][kPsMaxLinkDelay][2];  // the last w of each link
  float peakDecay[kPsMaxBands];
  float powerSmooth[kPsMaxBands];
  float peakDiffSmooth[kPsMaxBands];
  // Mixing: the last envelope's matrices (interpolation start of the next
  // frame) and the two earlier IPD/OPD indices of every phase band.
  PsMatrix hPrev[kPsMaxBands];
  int8_t ipdHistory[kPsMaxPhaseBands][2];
  int8_t opdHistory[kPsMaxPhaseBands][2];
  // Work buffers: the mono signal and the decorrelated signal in the k
  // domain, up to 32 slots of complex values per band.
  alignas(32) float s[kPsMaxK][kPsSlots][2];
  alignas(32) float d[kPsMaxK][kPsSlots][2];
  alignas(32) float window[kPsSplitBands][kPsLookAhead + kPsSlots + kPsLookAhead][2];
};

struct PSDecState {
  // Header (kept until the next frame with enable_ps_header set).
  int32_t enable_ps_header;
  int32_t enable_iid;
  int32_t iid_mode;
  int32_t enable_icc;
  int32_t icc_mode;
  int32_t enable_ext;
  // Frame: envelopes after the fix-up (1..5), borders in QMF slots with
  // border_position[0] = 0 and border_position[num_env] = num_slots.
  int32_t frame_class;
  int32_t num_env;
  int32_t border_position[kPsMaxEnvelopes + 1];
  int32_t iid_dt[kPsMaxEnvelopes];
  int32_t icc_dt[kPsMaxEnvelopes];
  int32_t ipd_dt[kPsMaxEnvelopes];
  int32_t opd_dt[kPsMaxEnvelopes];
  int32_t enable_ipdopd;  // phase parameters present in this frame
  // Indices per envelope on the grid of numBandsLayout (20 or 34 IID/ICC
  // bands, 11 or 17 phase bands).
  int16_t iidIndex[kPsMaxEnvelopes][kPsMaxBands];
  int16_t iccIndex[kPsMaxEnvelopes][kPsMaxBands];
  int16_t ipdIndex[kPsMaxEnvelopes][kPsMaxPhaseBands];
  int16_t opdIndex[kPsMaxEnvelopes][kPsMaxPhaseBands];
  // Last envelope of the previous frame on its coded grid (10-band data
  // repeated onto 20 bands, 5-band phase data onto 10): the reference of
  // time-direction coding.
  int16_t iidIndexPrev[kPsMaxBands];
  int16_t iccIndexPrev[kPsMaxBands];
  int16_t ipdIndexPrev[kPsMaxPhaseBands];
  int16_t opdIndexPrev[kPsMaxPhaseBands];
  int32_t numBandsLayout;   // kPsLayout34 or kPsLayout20
  int32_t mixingProcedure;  // 0 (icc_mode < 3) or 1
  int32_t fineIid;          // iid_mode >= 3
  int32_t ps_mode;          // 1, 111 or 411 (set when attached)
  int32_t fresh;            // parameters parsed since the last synthesis
  int32_t started;          // parameters parsed since the reset
  int32_t num_slots;        // QMF slots per frame: 32, or 30 over 960-sample cores
  PsSynthesisState synthesis;
  PsHuffman huffman;  // last: PsReset keeps it
};

// Builds the Huffman decoders and clears everything else; 0 or kPsError.
int32_t PsInit(PSDecState& ps);
// Builds the Huffman decoders only (their pointers lead into the state: again
// after the state moves); 0 or kPsError.
int32_t PsHuffmanInit(PsHuffman& h);
// Clears the parameters and synthesis histories (stream start, flush); the
// slot count stays.
void PsReset(PSDecState& ps);
// QMF slots per frame for a core frame of 1024 (32) or 960 (30) samples.
void PsSetFrameLength(PSDecState& ps, int32_t core_frame_length);

// ps_data() from the reader's position; `budget_bits` is what the SBR
// extension holds for it (nothing beyond it is read; the reader moves only
// when the frame parses).  Returns 0 or kPsError; on an error the previous
// frame's parameters stay in force (a bad iid_mode/icc_mode clears the
// header fields and selects the 10/20-band layout).
int32_t PsParse(PSDecState& ps, UMC::BitReader& r, int32_t budget_bits);

// The SBR extension hook (SbrPsParser): bits read, or kPsError.
int32_t PsParseExtension(PSDecState* ps, UMC::BitReader& r, int32_t budget_bits);

// Stereo synthesis of one frame.  `left` holds the 38 QMF slots (64 complex
// bands each, real part first) of the mono channel: slots 0..31 and the
// look-ahead slots 32..37 (the first five bands are read).  Slots 0..31 of
// `left` and `right` receive the two channels; bands from `top_band` to 63
// are zero in both.  Until the first parameters arrive both channels are
// the mono signal.
void PsSynthesize(PSDecState& ps, float* const* left, float* const* right, int32_t top_band);
