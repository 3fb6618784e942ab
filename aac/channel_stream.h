// One AAC individual_channel_stream() (ISO/IEC 14496-3, 4.4.2.7) and the
// per-channel tools that turn it into a time signal: section data, scale
// factors, pulses, TNS side information, spectral data, inverse
// quantisation, M/S and intensity stereo, perceptual noise substitution,
// short-window deinterleaving, TNS filtering and the synthesis filter bank.
//
// Nothing here knows about frames or elements: the frame decoder
// (aac/raw_data_block.cpp) owns the buffers and calls these functions in the
// order of the channel pipelines.  Parsers return 0 or -1; -1 means the
// stream is malformed (the frame fails), and nothing outside the record and
// the caller's buffers is touched whatever the bits say.
//
// Reader contract: every parser takes a UMC::BitReader whose `size` is the
// real length of the access unit and whose `data` is 4-byte aligned and
// followed by at least kAacReaderPadding readable bytes (the Huffman
// primitives load aligned words around the current position).  Parsers
// check the position against `size` after scale factors and before every
// spectral band, so no primitive starts beyond the data and none can run
// past the padding.
#pragma once

#include <cstdint>

#include "aac/spectral_huffman.h"
#include "dsp/dsp_vlc.h"
#include "umc/bit_reader.h"

// Readable bytes the caller guarantees after the access unit (see above).
inline constexpr int32_t kAacReaderPadding = 8192;

inline constexpr int kAacMaxSfb = 51;           // bands per window group (32 kHz long)
inline constexpr int kAacMaxWindows = 8;        // windows (and groups) per frame
inline constexpr int kAacMaxPredSfb = 41;       // largest pred_sfb_max
inline constexpr int kAacMaxLtpSfb = 40;        // ltp_long_used flags in the stream
inline constexpr int kAacFrameLength = 1024;    // spectral lines (and buffers) of a frame
inline constexpr int kAacFrameLength960 = 960;  // frameLengthFlag 1

enum AacWindowSequence : int32_t {
  ONLY_LONG_SEQUENCE = 0,
  LONG_START_SEQUENCE = 1,
  EIGHT_SHORT_SEQUENCE = 2,
  LONG_STOP_SEQUENCE = 3,
};

// sfb_cb values with a meaning of their own.
enum AacCodebook : int32_t {
  ZERO_HCB = 0,
  ESC_HCB = 11,
  RESERVED_HCB = 12,
  NOISE_HCB = 13,
  INTENSITY_HCB2 = 14,  // intensity, out of phase
  INTENSITY_HCB = 15,   // intensity, in phase
};

// Scale factor band tables and tool limits of one sampling frequency index
// and frame length.
struct AacBandTables {
  int32_t frame_length = kAacFrameLength;     // lines of a long window: 1024 or 960
  int32_t short_length = 128;                 // lines of a short window: 128 or 120
  const int32_t* swb_offset_long = nullptr;   // num_swb_long + 1 entries, last frame_length
  const int32_t* swb_offset_short = nullptr;  // num_swb_short + 1 entries, last short_length
  int32_t num_swb_long = 0;
  int32_t num_swb_short = 0;
  int32_t pred_sfb_max = 0;
  int32_t tns_max_bands_long = 0;
  int32_t tns_max_bands_short = 0;
  int32_t tns_max_order_long = 0;
  int32_t tns_max_order_short = 0;
};

// Fills `tables` for sampling frequency index 0..12, the object type (TNS
// limits depend on it) and the frame length (1024 or 960).  Returns 0, or -1
// for an index or length without tables.
int GetAacBandTables(int32_t sf_index, int32_t object_type, AacBandTables* tables,
                     int32_t frame_length = kAacFrameLength);

// tns_data() as read (signed coefficient fields, stored as transmitted).
struct TnsData {
  int32_t n_filt[kAacMaxWindows];
  int32_t coef_res[kAacMaxWindows];
  int32_t length[kAacMaxWindows][4];
  int32_t order[kAacMaxWindows][4];
  int32_t direction[kAacMaxWindows][4];
  int32_t coef_compress[kAacMaxWindows][4];
  int8_t coef[kAacMaxWindows][4][32];
};

inline constexpr int kTnsMaxOrder = 20;

// One ready TNS filter: direct-form coefficients and its line range.  The
// coefficients, sums and past outputs are double: a steep filter (reflection
// coefficients alternating near +-0.7, direct-form values beyond 10) cancels
// terms far larger than its result and in float loses up to 1e-4 of its
// output, 3 LSB on a loud frame.
struct TnsFilter {
  double lpc[kTnsMaxOrder + 1];  // lpc[0] = 1
  int32_t start;                 // first line (within the window)
  int32_t size;                  // lines filtered
  int32_t order;                 // 0: no filter
  int32_t step;                  // +1 upward, -1 downward
};

// The filters of one channel, built by PrepareTns.
struct TnsFilterSet {
  int32_t present;
  int32_t num_windows;
  int32_t window_length;  // lines from one short window to the next (128 or 120)
  int32_t n_filt[kAacMaxWindows];
  TnsFilter filter[kAacMaxWindows][4];
};

struct ChannelStream {
  // Band tables of the current rate (constant data; set by InitChannelStream).
  AacBandTables bands;

  // individual_channel_stream() / ics_info()
  int32_t global_gain;
  int32_t ics_reserved_bit;
  int32_t window_sequence;
  int32_t window_shape;
  int32_t max_sfb;
  int32_t num_windows;
  int32_t num_window_groups;
  int32_t window_group_length[kAacMaxWindows];
  int32_t scale_factor_grouping;  // the seven grouping bits

  // Prediction (object type 1), read in ics_info; used by the Main profile tool.
  int32_t predictor_data_present;
  int32_t predictor_reset;
  int32_t predictor_reset_group_number;
  uint8_t prediction_used[kAacMaxPredSfb];

  // Long-term prediction (object type 4), ltp_data().
  int32_t ltp_data_present;
  int32_t ltp_lag;
  int32_t ltp_coef;
  uint8_t ltp_long_used[kAacMaxSfb];
  uint8_t ltp_short_used[kAacMaxWindows];
  uint8_t ltp_short_lag_present[kAacMaxWindows];
  uint8_t ltp_short_lag[kAacMaxWindows];

  // section_data(): codebook of every band of every group, 0 beyond max_sfb
  // and in the rows of groups the frame does not have.
  int32_t sfb_cb[kAacMaxWindows][kAacMaxSfb];
  int32_t sfb_cb_rows;  // rows of sfb_cb that may be nonzero
  uint32_t cb_used;     // bit c set when a section of the frame has codebook c
  // Bit b of row g set where a section of group g starts at band b (only
  // bands below max_sfb): spectral data decodes section by section.
  uint64_t section_starts[kAacMaxWindows];
  // scale_factor_data(): scale factor, intensity position or noise energy.
  int16_t scale_factors[kAacMaxWindows][kAacMaxSfb];

  // Joint stereo of a channel pair: set on the first channel of a CPE by
  // DecodeMsData (or the CPE parser); ignored for single channels.
  int32_t ms_mask_present;
  uint8_t ms_used[kAacMaxWindows][kAacMaxSfb];
  // The ms_used flags of group g as a mask, band b at bit 63 - b (stream
  // order): M/S runs are found without a branch per band.
  uint64_t ms_bands[kAacMaxWindows];

  // pulse_data()
  int32_t pulse_data_present;
  int32_t number_pulse;  // as read: 0..3 means 1..4 pulses
  int32_t pulse_start_sfb;
  int32_t pulse_offset[4];
  int32_t pulse_amp[4];

  int32_t tns_data_present;
  TnsData tns;
  int32_t gain_control_data_present;

  // spectral_data(): quantised values, bands of a group together (window
  // after window inside each band) until DeinterleaveShort's reordering.
  alignas(16) int16_t quant[kAacFrameLength];
};

// Huffman decoder tables of codebooks 0 (scale factors) to 11: the AAC
// decoders' own lookup tables (spectral_huffman.h), constant data generated
// from the code lists, with their decoding parameters.
struct AacHuffmanTables {
  AacHuffBook fast[12];
};

// Points the twelve books at the generated tables.  0, or -1 for a table
// whose longest code words do not fit two per refill.
int AacHuffmanTablesInit(AacHuffmanTables* tables);

// ---- parsing (0 success, -1 malformed) --------------------------------------

// Clears the record and sets the band tables for the sampling frequency
// index and frame length.  Returns -1 for an index or length without tables.
int InitChannelStream(ChannelStream& s, int32_t sf_index, int32_t object_type,
                      int32_t frame_length = kAacFrameLength);

// individual_channel_stream(): global gain, ics_info unless common_window,
// section data, scale factors, pulse/TNS/gain-control side information and
// the spectral data.  Gain control (object type 3) is not supported: -1.
int DecodeChannelStream(ChannelStream& s, UMC::BitReader& r, int common_window, int32_t object_type,
                        const AacHuffmanTables& books);

// ics_info(), including prediction flags (object type 1) and ltp_data()
// (object type 4).
int DecodeIcsInfo(ChannelStream& s, UMC::BitReader& r, int32_t object_type);

// ltp_data() of one channel (also the second channel of a common-window CPE).
int DecodeLtpData(ChannelStream& s, UMC::BitReader& r);

// Gives the second channel of a common-window pair the first channel's
// ics_info (window fields, grouping, prediction flags).  LTP data is not
// copied: the second channel has its own.
void CopyIcsInfo(const ChannelStream& from, ChannelStream& to, int32_t object_type);

// ms_mask_present and the ms_used flags of a common-window pair into
// `first`.  Value 3 is reserved: -1.
int DecodeMsData(ChannelStream& first, UMC::BitReader& r);

int DecodeSectionData(ChannelStream& s, UMC::BitReader& r);

// Scale factor data over the sections of `s` into `out`: running values start
// at `sf_start` (scale factors), 0 (intensity positions) and `noise_start`
// (noise energies; the first noise band carries a 9-bit start value).
// Fails when the reader has run past its data.
int DecodeScaleFactors(const ChannelStream& s, UMC::BitReader& r, const AacHuffmanTables& books,
                       int32_t sf_start, int32_t noise_start,
                       int16_t out[kAacMaxWindows][kAacMaxSfb]);

int DecodePulseData(ChannelStream& s, UMC::BitReader& r);

// tns_data(); orders and lengths beyond the tool limits are cut by PrepareTns.
int DecodeTnsData(ChannelStream& s, UMC::BitReader& r);

// spectral_data() into s.quant.  Fails when the data runs past the reader's
// end.
int DecodeSpectralData(ChannelStream& s, UMC::BitReader& r, const AacHuffmanTables& books);

// ---- spectral tools ----------------------------------------------------------

// Adds the pulse amplitudes to s.quant (before inverse quantisation).
void ApplyPulses(ChannelStream& s);

// quant and scale factors to the 1024-line spectrum (grouped order for
// EIGHT_SHORT); lines beyond max_sfb are zero.
void InverseQuantise(const ChannelStream& s, float* spectrum);

// M/S of a pair; the mask is read from `first`.
void ApplyMidSide(const ChannelStream& first, const ChannelStream& second, float* left,
                  float* right);

// Intensity stereo: right bands with codebook 14/15 from the left spectrum.
void ApplyIntensity(const ChannelStream& first, const ChannelStream& second, const float* left,
                    float* right);

// Noise substitution over one channel (second = nullptr, right ignored) or a
// pair.  `noise_state` is the decoder's generator, carried across frames.
void ApplyNoiseSubstitution(const ChannelStream& first, const ChannelStream* second, float* left,
                            float* right, uint32_t* noise_state);

// Fills `count` values from the generator; returns 1/sqrt(energy).
float NoiseVector(float* values, int32_t count, uint32_t* noise_state);

// EIGHT_SHORT only: grouped order to eight windows of 128 lines.
void DeinterleaveShort(const ChannelStream& s, float* spectrum);

// TNS filters with their line ranges from the side information.
void PrepareTns(const ChannelStream& s, TnsFilterSet* set);

// Runs the prepared all-pole filters over the (deinterleaved) spectrum.
void ApplyTns(const TnsFilterSet& set, float* spectrum);

// ---- synthesis filter bank ---------------------------------------------------

inline constexpr int32_t kFilterBankInverse = 1;  // InitFilterBank flag: inverse MDCTs
inline constexpr int32_t kFilterBankForward = 2;  // InitFilterBank flag: forward MDCTs

// Transform contexts and windows shared by all channels of a decoder.  The
// contexts live in caller memory and hold pointers into it: re-run
// InitFilterBank if that memory moves.
struct FilterBank {
  void* mdct_inv_long;   // N = 2048 inverse context
  void* mdct_inv_short;  // N = 256
  void* mdct_fwd_long;   // forward contexts (long-term prediction), or null
  void* mdct_fwd_short;
  uint8_t* work;    // transform work buffer
  int32_t n_long;   // 2048, or 1920 for 960-line frames
  int32_t n_short;  // 256, or 240
  // Full-length windows (n_long, n_short values); index 0 sine, 1 KBD
  // (window_shape).
  alignas(32) float long_window[2][2048];
  alignas(32) float short_window[2][256];
  // Halves of the transition windows by short-window shape (n_long / 2
  // values): LONG_START's falling half (flat, the short window's falling
  // half, zero) and LONG_STOP's rising half (zero, rising, flat).
  alignas(32) float start_fall[2][1024];
  alignas(32) float stop_rise[2][1024];
};

// Bytes of memory InitFilterBank needs for `flags`, for either frame
// length.  Returns 0 or 3.
int FilterBankGetSize(int32_t flags, int32_t object_type, int32_t* size);

// Builds the transforms selected by `flags` in `memory` and computes the
// windows for frames of `frame_length` (1024 or 960) lines.  Returns 0, or 3
// when a transform context fails (object type 3 sizes are not supported).
int InitFilterBank(FilterBank& bank, void* memory, int32_t flags, int32_t object_type,
                   int32_t frame_length = kAacFrameLength);

// One channel: N = n_long / 2 (1024 or 960) lines to N samples with
// windowing and overlap-add.
// overlap_in and overlap_out may be the same buffer; spectrum is not changed.
// Returns 0, or -1 for a bad argument (a window sequence outside 0..3).
int SynthesisFilterBank(const FilterBank& bank, const float* spectrum, const float* overlap_in,
                        int32_t window_sequence, int32_t window_shape, int32_t window_shape_prev,
                        float* output, float* overlap_out);
