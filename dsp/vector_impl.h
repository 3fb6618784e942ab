// Kernels behind the vector primitives: arguments are already checked by the
// public entry points in vector.cpp.  dsp_generic is the reference; the
// vectorised kernels (vector_vec.h, one instantiation per instruction set,
// reached through the DspVectorKernels of dsp_kernels.h) must give the same
// results, bit for bit.
#pragma once

#include <cstdint>

#include "dsp/dsp_vector.h"

namespace dsp_generic {
void MulC_32f(const float* src, float c, float* dst, int32_t n);
void Add_32f(const float* a, const float* b, float* dst, int32_t n);
void Mul_32f(const float* a, const float* b, float* dst, int32_t n);
void AddProductC_32f(const float* src, float c, float* srcdst, int32_t n);
void MulAdd_32f(const float* a, const float* b, const float* c, float* dst, int32_t n);
void SumDiff_32f(float* a, float* b, int32_t n);
void Add_32fc(const Dsp32fc* a, const Dsp32fc* b, Dsp32fc* dst, int32_t n);
void Sub_32fc(const Dsp32fc* a, const Dsp32fc* b, Dsp32fc* dst, int32_t n);
int32_t Max_32s(const int32_t* src, int32_t n);
int16_t Max_16s(const int16_t* src, int32_t n);
int32_t Min_32s(const int32_t* src, int32_t n);
void ShiftLeft_32s(int32_t k, int32_t* srcdst, int32_t n);
void ShiftRight_32s(int32_t k, int32_t* srcdst, int32_t n);
void AddScaled_32s(const int32_t* a, const int32_t* b, int32_t* dst, int32_t n, int32_t sf,
                   bool subtract);
void InterleaveConvert_32f16s(const float* const* ch, int32_t nch, int32_t n, int16_t* dst);
void InterleaveScale_32f(const float* const* ch, int32_t nch, int32_t n, float scale, float* dst);
uint32_t Crc32(const uint8_t* src, int32_t n, uint32_t crc);
void Pow43_16s32f(const int16_t* q, float* dst, int32_t n);
void ScalefactorGain_16s32f(const int16_t* sf, int32_t offset, float* gains, int32_t n);
void Pow43Bands_16s32f(const int16_t* q, const float* gains, const int32_t* offsets, int32_t nbands,
                       float* dst);
void Predict_32f(float* x, int32_t begin, int32_t end, bool add, float* const* s);
float Noise_32f(float* dst, int32_t n, uint32_t* state);
// Slice-by-8 table CRC: eight bytes per step (the vectorised tables use it).
uint32_t Crc32Slice8(const uint8_t* src, int32_t n, uint32_t crc);
}  // namespace dsp_generic

// The noise generator (dsp_vector.h, dspNoise_32f): its step, and the
// number of partial energy sums every kernel keeps, value i adding to sum
// i mod kNoiseSums.
inline constexpr uint32_t kNoiseMul = 1664525u;
inline constexpr uint32_t kNoiseAdd = 1013904223u;
inline constexpr int32_t kNoiseSums = 8;

// Internal linkage: the vectorised kernels' translation units, built with
// other target flags, get their own copies.
namespace {

// Values from .. n - 1 of the sequence that continues from state s, their
// squares added to sum[i mod kNoiseSums]; returns the last value's state.
inline uint32_t NoiseSerial(float* dst, int32_t from, int32_t n, uint32_t s, float* sum) {
  for (int32_t i = from; i < n; ++i) {
    s = s * kNoiseMul + kNoiseAdd;
    const float v = static_cast<float>(static_cast<int32_t>(s));
    dst[i] = v;
    const float square = v * v;
    sum[i % kNoiseSums] += square;
  }
  return s;
}

// The partial sums added in one fixed order, the same for every kernel.
inline float NoiseEnergy(const float* sum) {
  return ((sum[0] + sum[4]) + (sum[2] + sum[6])) + ((sum[1] + sum[5]) + (sum[3] + sum[7]));
}

}  // namespace

namespace dsp_tables {
extern const float kPow43[8207];
extern const float kSfGain[1024];
extern const uint32_t (&kCrc32)[8][256];
}  // namespace dsp_tables

// Predictor state arrays, in order.
enum PredictorArray { kCor0, kCor1, kVar0, kVar1, kR0, kR1, kPredictorArrays };
