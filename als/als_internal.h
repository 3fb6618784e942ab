// Internal state and helpers of the ALS decoder.
#pragma once

#include <cstdint>

#include "als/als_decoder.h"

inline constexpr int kAlsMaxBlocks = 32;
inline constexpr int kAlsMaxSubBlocks = 8;
inline constexpr int kAlsMaxMccStages = 10;
inline constexpr int kAlsRlsMaxOrder = 30;
inline constexpr int kAlsLmsMaxStages = 7;
inline constexpr int kAlsLmsMaxOrder = 1024;
inline constexpr int kAlsRlsHistory = 1 + kAlsRlsMaxOrder + kAlsLmsMaxStages * kAlsLmsMaxOrder;
inline constexpr int kAlsRlsWeights = kAlsRlsHistory + kAlsLmsMaxStages + 2;
inline constexpr int kAlsLzEntries = 32768;

// Decoded parameters of one block (ISO/IEC 14496-3, 11.6.2 block_data).
struct AlsBlock {
  int32_t length;
  int32_t ra_block;
  int32_t type;  // 1 normal, 0 zero/constant
  int32_t const_block;
  int32_t const_value;
  int32_t js_block;
  int32_t sub_blocks;
  int32_t s[kAlsMaxSubBlocks];
  int32_t sx[kAlsMaxSubBlocks];
  int32_t shift;
  int32_t order;  // K
  int32_t ltp;
  int32_t gain[5];
  int32_t lag;
  int32_t mcc_closed;  // multichannel reconstruction bookkeeping
  int32_t* quant;      // K quantised parcor values (per channel storage)
  int32_t* residual;   // length values, preceded by a zero area
  int32_t* out;        // block's first sample in the channel/difference buffer
};

// MCC parameters of one channel's block.
struct AlsMccStage {
  int32_t present;
  int32_t master;
  int32_t time_diff;
  int32_t w[6];
  int32_t lag;
};

// RLS-LMS predictor state of one channel (flat layout as the reference keeps
// it, so a parameter change without a reset re-partitions the same storage).
struct AlsRlsLms {
  int32_t history[kAlsRlsHistory];               // [xl | h (M) | H_1 (L_1) | ... ]
  int32_t weights[kAlsRlsWeights];               // [unused | w (M) | a_1 | ... | cw (S + 2)]
  int64_t P[kAlsRlsMaxOrder * kAlsRlsMaxOrder];  // row stride M
};

// Parameters shared by all channels (block syntax, RLS-LMS extension).
struct AlsRlsParams {
  int32_t rls_order;  // M
  int32_t stages;     // S
  int32_t lms_order[kAlsLmsMaxStages];
  int32_t lms_step[kAlsLmsMaxStages];
  int32_t lambda_ra;
  int32_t lambda;
  int32_t combiner_step;
  int32_t inputs;         // combiner inputs: 0 until parameters were set, then S + 2
  int32_t extension;      // E in effect for this frame
  int32_t stereo_flag;    // F of the last block read
  int32_t previous_flag;  // Fprev
};

// Masked Lempel-Ziv dictionary of the floating-point extension.
struct AlsLzState {
  int32_t width;
  int32_t next_code;
  int32_t bump_code;
  int32_t open;
  int32_t previous;  // -1 none
  uint8_t last_byte[kAlsLzEntries];
  uint16_t prefix[kAlsLzEntries];
  uint16_t length[kAlsLzEntries];
  uint8_t string[kAlsLzEntries];   // scratch for one decoded string
  uint8_t pending[kAlsLzEntries];  // bytes decoded beyond the request
  int32_t pending_count;
  int32_t pending_pos;
};

struct AlsState {
  AlsConfig cfg;
  uint8_t* base;          // start of the memory block (for relocation)
  int32_t history;        // K samples before each channel's frame
  int32_t residual_lead;  // zero values before each residual buffer
  int32_t ltp_lag_bits;
  int32_t mcc_lag_bits;
  uint32_t frame_counter;
  uint32_t ra_index;
  uint32_t running_crc;
  int32_t last_frame_samples;
  int32_t js_switch;

  int32_t** channel;        // per channel: first sample of the frame (history before it)
  int32_t** difference;     // per pair
  int32_t** residual;       // per channel: residual buffer
  int32_t** quant;          // per channel: max_order + 1 quantised parcor values
  int32_t* output_channel;  // per output position: the coded channel written there
  uint16_t* chan_pos;
  uint32_t* ra_unit_size;
  uint8_t* orig_header;
  uint8_t* orig_trailer;
  AlsRlsLms* rls;  // per channel, when rlslms
  AlsRlsParams rls_params;
  AlsMccStage* mcc;  // channels x kAlsMaxMccStages, when mc_coding
  AlsBlock* blocks;  // per channel (current block of each channel)
  // Floating-point extension.
  int32_t* acf_mantissa;    // per channel
  int32_t* float_shift;     // per channel
  uint32_t* float_bits;     // channels x frame_length output patterns
  uint32_t* mantissa_diff;  // frame_length
  AlsLzState* lz;
  // Prediction work (per block): parcor and predictor coefficients (Q20).
  int32_t* par;
  int32_t* cof;
  int32_t* save;  // K samples saved around the shift
  int32_t* rcof;  // predictor coefficients in reverse order, for the filter
};

// ---- als_block.cpp -----------------------------------------------------------
// Rice codes.
int32_t AlsReadRice(UMC::BitReader& r, int32_t k);
uint32_t AlsReadRiceUnsigned(UMC::BitReader& r, int32_t k);
// Block partition from bs_info: lengths of up to 32 blocks; returns count.
int32_t AlsBlockPartition(uint32_t bs_info, int32_t frame_length, int32_t* lengths);
// Cuts the partition of the last frame to last_frame_length samples.
int32_t AlsShortenPartition(int32_t* lengths, int32_t count, int32_t total);
// block_data(): parameters and residuals into b (b.length and b.ra_block set
// by the caller).  0, or -1 for a bad block.
int AlsReadBlock(AlsState& s, UMC::BitReader& r, AlsBlock& b, int32_t channel);

// ---- als_bgmc.cpp ------------------------------------------------------------
// BGMC residuals of block b from position `first`; -1 when the data runs out
// or a parameter is out of range.
int AlsReadBgmcResiduals(UMC::BitReader& r, AlsBlock& b, int32_t first);

// ---- als_channels.cpp --------------------------------------------------------
// Joint stereo on n samples of a pair (modulo 2^32): with js_a,
// x_a = x_b - d; else with js_b, x_b = x_a + d; else d = x_b - x_a.
void AlsJointCombine(int32_t* xa, int32_t* xb, int32_t* d, int32_t n, int32_t js_a, int32_t js_b);
// MCC parameters of channel ch's block; -1 for a master or weight index out
// of range.
int AlsReadMccParameters(AlsState& s, UMC::BitReader& r, int32_t ch);
// One MCC stage: residuals e corrected from the master's residuals m.
void AlsMccCorrect(int32_t* e, const int32_t* m, const AlsMccStage& st, int32_t n);
// Undoes every MCC stage on the residuals of all channels' current blocks.
void AlsMccReconstruct(AlsState& s, int32_t n);

// ---- als_predict.cpp ---------------------------------------------------------
// Reconstructs a block's samples from its parameters and residual.
void AlsReconstructBlock(AlsState& s, AlsBlock& b);
// Long-term prediction on the residual in place.
void AlsApplyLtp(const AlsState& s, AlsBlock& b);

// ---- als_rlslms.cpp -------------------------------------------------------
void AlsRlsReset(AlsState& s, int32_t channel);
void AlsRlsMatrixReset(AlsState& s, int32_t channel);
// One channel alone; -1 when the forgetting factor is not positive.
int AlsRlsRunChannel(AlsState& s, int32_t channel, const int32_t* residual, int32_t* out, int32_t n,
                     bool reset_block);
// A joint pair (channels a, a + 1).
int AlsRlsRunPair(AlsState& s, int32_t a, AlsBlock& ba, AlsBlock& bb, bool reset_block);

// ---- als_float.cpp -----------------------------------------------------------
int AlsDecodeFloat(AlsState& s, UMC::BitReader& r, int32_t n, bool ra_frame);
