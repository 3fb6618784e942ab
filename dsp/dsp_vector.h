// Vector arithmetic and small primitives.  Every function checks its
// arguments (null pointers -> dspStsNullPtrErr, counts <= 0 -> dspStsSizeErr,
// unless noted) before touching data and returns a DspStatus.
#pragma once

#include <cstdint>

#include "dsp/dsp_core.h"

struct Dsp32fc {
  float re;
  float im;
};

// Fills and copies.
int32_t dspZero_8u(uint8_t* dst, int32_t n);
int32_t dspZero_16s(int16_t* dst, int32_t n);
int32_t dspZero_32s(int32_t* dst, int32_t n);
int32_t dspZero_32f(float* dst, int32_t n);
int32_t dspZero_32fc(Dsp32fc* dst, int32_t n);
int32_t dspCopy_8u(const uint8_t* src, uint8_t* dst, int32_t n);
int32_t dspCopy_16s(const int16_t* src, int16_t* dst, int32_t n);
int32_t dspCopy_32s(const int32_t* src, int32_t* dst, int32_t n);
int32_t dspCopy_32f(const float* src, float* dst, int32_t n);
int32_t dspCopy_32fc(const Dsp32fc* src, Dsp32fc* dst, int32_t n);
int32_t dspMove_32s(const int32_t* src, int32_t* dst, int32_t n);  // overlap allowed
int32_t dspSet_32s(int32_t value, int32_t* dst, int32_t n);
int32_t dspSet_16s(int16_t value, int16_t* dst, int32_t n);
// True when every value is +0 or -0 (false for n <= 0 or a null pointer).
bool dspIsZero_32f(const float* src, int32_t n);

// Float arithmetic (each result rounded once to single precision).
int32_t dspMulC_32f(const float* src, float c, float* dst, int32_t n);
int32_t dspMulCInPlace_32f(float c, float* srcdst, int32_t n);
int32_t dspAdd_32f(const float* src1, const float* src2, float* dst, int32_t n);
int32_t dspMul_32f(const float* src1, const float* src2, float* dst, int32_t n);
int32_t dspAddInPlace_32f(const float* src, float* srcdst, int32_t n);
int32_t dspMulInPlace_32f(const float* src, float* srcdst, int32_t n);
int32_t dspAddProductC_32f(const float* src, float c, float* srcdst, int32_t n);
// dst = src1 * src2 + src3, rounded after the product and after the sum (no
// fused multiply-add); dst may be src3.
int32_t dspMulAdd_32f(const float* src1, const float* src2, const float* src3, float* dst,
                      int32_t n);
// In place (a, b) = (a + b, a - b): M/S stereo.  Overlapping arrays:
// dspStsSizeErr.
int32_t dspSumDiff_32f(float* a, float* b, int32_t n);
int32_t dspAddInPlace_32fc(const Dsp32fc* src, Dsp32fc* srcdst, int32_t n);
int32_t dspSub_32fc(const Dsp32fc* src1, const Dsp32fc* src2, Dsp32fc* dst,
                    int32_t n);  // src2 - src1

// Integer reductions, sort, scaled add/sub and shifts.
int32_t dspMax_32s(const int32_t* src, int32_t n, int32_t* max);
int32_t dspMax_16s(const int16_t* src, int32_t n, int16_t* max);
int32_t dspMin_32s(const int32_t* src, int32_t n, int32_t* min);
int32_t dspMinIndex_32s(const int32_t* src, int32_t n, int32_t* min, int32_t* index);
int32_t dspSortAscend_32s(int32_t* srcdst, int32_t n);
int32_t dspAddScaled_32s(const int32_t* src1, const int32_t* src2, int32_t* dst, int32_t n,
                         int32_t sf);
int32_t dspSubScaled_32s(const int32_t* src1, const int32_t* src2, int32_t* dst, int32_t n,
                         int32_t sf);  // src2 - src1
int32_t dspShiftLeft_32s(int32_t k, int32_t* srcdst, int32_t n);
int32_t dspShiftRight_32s(int32_t k, int32_t* srcdst, int32_t n);

// Planar float channels (16-bit scale) to interleaved 16-bit PCM: nearest,
// ties to even, saturated.
int32_t dspInterleaveConvert_32f16s(const float* const* channels, int32_t num_channels, int32_t n,
                                    int16_t* dst);

// Planar float channels to interleaved floats times `scale` (unrounded,
// unclipped); values that are not finite become 0.
int32_t dspInterleaveScale_32f(const float* const* channels, int32_t num_channels, int32_t n,
                               float scale, float* dst);

// Running CRC-32 (reflected 0xEDB88320); *crc holds the CRC so far (0 at start).
int32_t dspCrc32_8u(const uint8_t* src, int32_t n, uint32_t* crc);

// AAC kernels.
// The noise of perceptual noise substitution: before each value the state
// steps to state x 1664525 + 1013904223 (mod 2^32), and the value is the
// state read as a signed integer, converted to float; *state is left at the
// last value's.  *energy: the sum of the squared values, kept in eight
// partial sums (value i in sum i mod 8) added in a fixed order, so that
// every instruction set gives the same bits.  n = 0 is allowed.
int32_t dspNoise_32f(float* dst, int32_t n, uint32_t* state, float* energy);
int32_t dspMulBands_32f(float* x, const float* gains, const int32_t* offsets, int32_t nbands);
int32_t dspScalefactorGain_16s32f(const int16_t* sf, int32_t offset, float* gains, int32_t n);
// 2^(e/4), correctly rounded, for -512 <= e < 512 (e taken modulo 1024).
float dspPow2Quarter(int32_t e);
int32_t dspPow43_16s32f(const int16_t* q, float* dst, int32_t n);  // |q| <= 8206
// Inverse quantisation of bands: dst[k] = sign(q[k]) |q[k]|^(4/3) * gains[b]
// for offsets[b] <= k < offsets[b + 1] (the two steps of dspPow43_16s32f and
// dspMulBands_32f in one pass, the same results bit for bit).  Offsets must
// not decrease.
int32_t dspPow43Bands_16s32f(const int16_t* q, const float* gains, const int32_t* offsets,
                             int32_t nbands, float* dst);

// Backward-adaptive predictor (AAC Main profile).
struct DspPredictorState;
int32_t dspPredictorGetSize_32f(int32_t lines, int32_t* size);
int32_t dspPredictorInit_32f(DspPredictorState** state, int32_t lines, uint8_t* memory);
int32_t dspPredictorReset_32f(DspPredictorState* state);
int32_t dspPredictorResetGroup_32f(int32_t step, int32_t start, DspPredictorState* state);
int32_t dspPredict_32f(float* x, const int32_t* band_offsets, int32_t nbands,
                       const uint8_t* band_flags, DspPredictorState* state);

// Reciprocal tables of the predictor: b / (1 + m/128) to 8 significant bits,
// and 2^-(e-127) for exponent fields 128..254 (0 elsewhere).
extern const float kRecipMantissa[128];
extern const float kRecipExponent[256];
