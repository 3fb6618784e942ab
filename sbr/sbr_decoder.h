// Spectral band replication (ISO/IEC 14496-3, 4.6.18): header and frequency
// band tables, payload parsing, QMF banks, HF generation and envelope
// adjustment.  One SBRDecState per SBR element slot (ten per decoder);
// everything lives in fixed arrays, nothing is allocated per frame.
#pragma once

#include <cstdint>

#include "dsp/dsp_vlc.h"
#include "umc/bit_reader.h"

inline constexpr int kSbrSlots = 10;        // element slots per decoder
inline constexpr int kSbrTimeSlots = 32;    // QMF slots per frame (1024 samples)
inline constexpr int kSbrHistory = 8;       // Xlow/Xhigh slots kept from the last frame
inline constexpr int kSbrMatrixSlots = 40;  // history + current frame
inline constexpr int kSbrMaxEnvelopes = 5;
inline constexpr int kSbrMaxNoise = 5;
inline constexpr int kSbrError = -13;

enum SbrFrameClass : int32_t { FIXFIX = 0, FIXVAR = 1, VARFIX = 2, VARVAR = 3 };

// QMF bank contexts (delay lines and positions); the tags tell the kinds apart.
struct SbrQmfAnalysis {
  int32_t tag;
  int32_t position;
  float delay[320];
};
struct SbrQmfSynthesis {
  int32_t tag;
  int32_t position;
  float delay[1280];
};

// Per channel of an element slot.
struct SbrChannel {
  // Grid.
  int32_t bs_frame_class;
  int32_t bs_pointer;
  int32_t L_E;
  int32_t t_E[kSbrMaxEnvelopes + 1];
  int32_t freqRes[kSbrMaxEnvelopes + 1];
  int32_t L_Q;
  int32_t t_Q[3];
  int32_t freqResPrev[kSbrMaxEnvelopes + 1];
  int32_t bs_df_env[kSbrMaxEnvelopes];
  int32_t bs_df_noise[2];
  int32_t bs_amp_res;  // amplitude resolution of this frame's envelopes
  // Levels (quantised, after delta decoding).
  int16_t envValues[kSbrMaxEnvelopes][64];
  int16_t envPrev[64];
  int16_t noiseValues[2][kSbrMaxNoise];
  int16_t noisePrev[kSbrMaxNoise];
  int32_t bs_invf_mode[kSbrMaxNoise];
  int32_t bs_add_harmonic_flag;
  int32_t bs_add_harmonic[64];
  // HF generation.
  float bwArray[kSbrMaxNoise];
  int32_t invfModePrev[kSbrMaxNoise];
  // Envelope adjustment history.
  float EOrig[kSbrMaxEnvelopes][64];
  float QOrig[2][kSbrMaxNoise];
  // Gain and noise level history of the smoothing: buffers of interleaved
  // pairs (subband m at 2m and 2m + 1); tempRows names the buffer of each
  // history row, oldest first.
  float GTemp[6][128];
  float QTemp[6][128];
  int32_t tempRows[5];
  int32_t sineFlagsPrev[64];
  int32_t indexNoisePrev;
  int32_t indexSinePrev;
  int32_t lAPrev;
  int32_t overlapSlots;
  int32_t resetHistory;
  // QMF banks and slot matrices (complex values, real part first).
  SbrQmfAnalysis analysis;
  SbrQmfSynthesis synthesis;
  float Xlow[kSbrMatrixSlots][64];    // 32 complex bands
  float Xhigh[kSbrMatrixSlots][128];  // 64 complex bands
  float Y[kSbrMatrixSlots][128];
};

struct PSDecState;

struct SBRDecState {
  // Header.
  int32_t bs_amp_res;
  int32_t bs_start_freq;
  int32_t bs_stop_freq;
  int32_t bs_xover_band;
  int32_t bs_freq_scale;
  int32_t bs_alter_scale;
  int32_t bs_noise_bands;
  int32_t bs_limiter_bands;
  int32_t bs_limiter_gains;
  int32_t bs_interpol_freq;
  int32_t bs_smoothing_mode;
  // Control.
  int32_t reset;
  int32_t headerCount;
  int32_t errorState;
  int32_t sbrRateIndex;
  int32_t numTimeSlots;  // 16, or 15 over a 960-sample core frame (two QMF slots each)
  int32_t elementType;   // 0 SCE, 1 CPE, 3 LFE
  int32_t bs_coupling;
  // Frequency tables.
  int32_t f_master[65];
  int32_t N_master;
  int32_t f_high[65];
  int32_t N_high;
  int32_t f_low[65];
  int32_t N_low;
  int32_t f_noise[6];
  int32_t N_Q;
  int32_t f_lim[65];
  int32_t N_L;
  int32_t patchNumSubbands[6];
  int32_t patchStartSubband[6];
  int32_t numPatches;
  int32_t k0;
  int32_t kx;
  int32_t M;
  int32_t kxPrev;
  int32_t MPrev;
  PSDecState* ps;  // parametric stereo state (slot 0 of a mono stream), or null
  int32_t psSeen;  // ps_data() met since the last reset, parsed or not
  SbrChannel ch[2];
};

// The ten SBR Huffman decoder tables (built once per decoder).
struct SbrHuffman {
  const DspVlcDecodeSpec_32s* table[10];
  int32_t lav[10];
};
int SbrHuffmanGetSize(int32_t* size);
int SbrHuffmanInit(SbrHuffman* h, uint8_t* memory);

// Initial values of a slot (decoder initialisation).
void SbrInitSlot(SBRDecState& s);
// numTimeSlots for a core frame of 1024 (16) or 960 (15) samples.
void SbrSetFrameLength(SBRDecState& s, int32_t core_frame_length);

// sbr_header(): returns the bits read.
int32_t SbrReadHeader(SBRDecState& s, UMC::BitReader& r);
// Frequency band tables from the header; 0 or kSbrError.
int32_t SbrDeriveTables(SBRDecState& s);
// The limiter band table alone, for a header that changes bs_limiter_bands
// without a reset (the other tables stay).
void SbrLimiterTable(SBRDecState& s);

// Parametric stereo hook: parses ps_data() from the SBR extended data; the
// PS module provides it.  Returns the bits read, or a negative value.
using SbrPsParser = int32_t (*)(PSDecState* ps, UMC::BitReader& r, int32_t budget_bits);

// One extension payload of a fill element (`count` bytes).  Returns the
// bytes consumed or kSbrError.  `payloads` counts the SBR payloads of the
// frame (the slot of this payload is slots[*payloads] before the call).
int32_t SbrExtensionPayload(UMC::BitReader& r, int32_t count, SBRDecState* slots, int32_t* payloads,
                            int32_t extension_mode, const SbrHuffman& huff, SbrPsParser ps_parser);

// The per-channel SBR process: `time` holds the channel's 1024 core samples
// and receives 2048 (full rate) or 1024 (downsampled) output samples.
// `ps_right`, when not null, receives the parametric stereo right channel.
struct SbrQmfTables;
struct SbrProcessOptions {
  int32_t sbr_mode;     // 18 complex, 28 low power
  int32_t downsampled;  // sbr_rate_mode 1
  const SbrQmfTables* tables;
  int32_t bypass;  // no SBR data for this frame: core bands only, same delay
};
void SbrProcess(SBRDecState& s, int32_t channel, float* time, float* ps_right,
                const SbrProcessOptions& options);

// HF generation's second-order predictor of source subband k < 32 over the
// channel's Xlow slots (complex banks; `terms` = the frame's QMF slots + 6
// products): alpha0 and alpha1 as {re, im}.
void SbrPredictor(const SbrChannel& c, int32_t k, int32_t terms, float* alpha0, float* alpha1);

// ---- QMF banks (sbr_qmf.cpp) -------------------------------------------------
// The prototype windows c[0..639] and c[2i] (constant tables).
struct SbrQmfTables {
  const float* window;
  const float* window_even;
};
void SbrQmfTablesInit(SbrQmfTables& t);
// Complex banks (sbr_mode 18), or the real-valued low-power banks (28).
void SbrQmfAnalysisInit(SbrQmfAnalysis& a);
void SbrQmfAnalysisInit(SbrQmfAnalysis& a, int32_t sbr_mode);
void SbrQmfSynthesisInit(SbrQmfSynthesis& s, int32_t bands);
void SbrQmfSynthesisInit(SbrQmfSynthesis& s, int32_t bands, int32_t sbr_mode);
int32_t SbrQmfSynthesisBands(const SbrQmfSynthesis& s);  // 64, 32, or 0 (no bank)
int32_t SbrQmfSynthesisMode(const SbrQmfSynthesis& s);   // 18, 28, or 0 (no bank)
int32_t SbrQmfAnalysisMode(const SbrQmfAnalysis& a);     // 18, 28, or 0 (no bank)
// `slots` slots of 32 input samples -> 32 subbands each (complex values
// interleaved, or real values for the low-power bank; bands kx..31 zeroed).
void SbrQmfAnalyzeSlots(SbrQmfAnalysis& a, const float* in, float* const* out, int32_t slots,
                        int32_t kx);
// `slots` slots of 64 (or 32) subbands -> 64 (or 32) samples each.
void SbrQmfSynthesizeSlots(SbrQmfSynthesis& s, const float* const* in, float* out, int32_t slots);
// One slot of each (the bank kind comes from the context; `bands` must match).
void SbrQmfAnalyze(SbrQmfAnalysis& a, const SbrQmfTables& t, const float* in, float* out,
                   int32_t kx);
void SbrQmfSynthesize(SbrQmfSynthesis& s, const SbrQmfTables& t, const float* in, float* out,
                      int32_t bands);
