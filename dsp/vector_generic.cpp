// Reference implementations of the vector kernels: plain scalar code.
// (Crc32Slice8 is portable too but not the reference: the vectorised
// tables use it.)
#include <cmath>
#include <cstring>

#include "dsp/vector_impl.h"

namespace dsp_generic {

void MulC_32f(const float* src, float c, float* dst, int32_t n) {
  for (int32_t i = 0; i < n; ++i) dst[i] = src[i] * c;
}

void Add_32f(const float* a, const float* b, float* dst, int32_t n) {
  for (int32_t i = 0; i < n; ++i) dst[i] = a[i] + b[i];
}

void Mul_32f(const float* a, const float* b, float* dst, int32_t n) {
  for (int32_t i = 0; i < n; ++i) dst[i] = a[i] * b[i];
}

void MulAdd_32f(const float* a, const float* b, const float* c, float* dst, int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    const float p = a[i] * b[i];
    dst[i] = p + c[i];
  }
}

void SumDiff_32f(float* a, float* b, int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    const float x = a[i], y = b[i];
    a[i] = x + y;
    b[i] = x - y;
  }
}

// The product is exact in double precision; the sum is rounded to single.
void AddProductC_32f(const float* src, float c, float* srcdst, int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    srcdst[i] = static_cast<float>(double{srcdst[i]} + double{src[i]} * double{c});
  }
}

void Add_32fc(const Dsp32fc* a, const Dsp32fc* b, Dsp32fc* dst, int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    dst[i].re = a[i].re + b[i].re;
    dst[i].im = a[i].im + b[i].im;
  }
}

void Sub_32fc(const Dsp32fc* a, const Dsp32fc* b, Dsp32fc* dst, int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    dst[i].re = b[i].re - a[i].re;
    dst[i].im = b[i].im - a[i].im;
  }
}

int32_t Max_32s(const int32_t* src, int32_t n) {
  int32_t m = src[0];
  for (int32_t i = 1; i < n; ++i) m = src[i] > m ? src[i] : m;
  return m;
}

int16_t Max_16s(const int16_t* src, int32_t n) {
  int16_t m = src[0];
  for (int32_t i = 1; i < n; ++i) m = src[i] > m ? src[i] : m;
  return m;
}

int32_t Min_32s(const int32_t* src, int32_t n) {
  int32_t m = src[0];
  for (int32_t i = 1; i < n; ++i) m = src[i] < m ? src[i] : m;
  return m;
}

void ShiftLeft_32s(int32_t k, int32_t* srcdst, int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    srcdst[i] = k >= 32 ? 0 : static_cast<int32_t>(static_cast<uint32_t>(srcdst[i]) << k);
  }
}

void ShiftRight_32s(int32_t k, int32_t* srcdst, int32_t n) {
  const int32_t s = k >= 32 ? 31 : k;
  for (int32_t i = 0; i < n; ++i) srcdst[i] >>= s;
}

namespace {

int32_t Saturate32(int64_t v) {
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

// s * 2^-sf, rounded to nearest with ties to even, saturated.
int32_t ScaleSum(int64_t s, int32_t sf) {
  if (sf == 0) return Saturate32(s);
  if (sf > 32) return 0;
  if (sf > 0) {
    const int64_t odd = (s >> sf) & 1;
    return Saturate32((s + (int64_t{1} << (sf - 1)) - 1 + odd) >> sf);
  }
  if (s == 0) return 0;
  if (sf < -30) return s > 0 ? INT32_MAX : INT32_MIN;
  return Saturate32(s * (int64_t{1} << -sf));
}

}  // namespace

void AddScaled_32s(const int32_t* a, const int32_t* b, int32_t* dst, int32_t n, int32_t sf,
                   bool subtract) {
  for (int32_t i = 0; i < n; ++i) {
    const int64_t s = subtract ? int64_t{b[i]} - a[i] : int64_t{a[i]} + b[i];
    dst[i] = ScaleSum(s, sf);
  }
}

namespace {
int16_t ConvertSample(float v) {
  if (v != v) return 0;  // NaN
  if (v > 32767.0f) return 32767;
  if (v < -32768.0f) return -32768;
  return static_cast<int16_t>(std::nearbyint(v));  // default rounding: ties to even
}
}  // namespace

void InterleaveConvert_32f16s(const float* const* ch, int32_t nch, int32_t n, int16_t* dst) {
  for (int32_t j = 0; j < n; ++j) {
    for (int32_t k = 0; k < nch; ++k) dst[j * nch + k] = ConvertSample(ch[k][j]);
  }
}

void InterleaveScale_32f(const float* const* ch, int32_t nch, int32_t n, float scale, float* dst) {
  for (int32_t j = 0; j < n; ++j) {
    for (int32_t k = 0; k < nch; ++k) {
      const float v = ch[k][j] * scale;
      dst[j * nch + k] = v - v == 0.0f ? v : 0.0f;  // NaN and infinities give NaN
    }
  }
}

uint32_t Crc32(const uint8_t* src, int32_t n, uint32_t crc) {
  for (int32_t i = 0; i < n; ++i) crc = dsp_tables::kCrc32[0][(crc ^ src[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

uint32_t Crc32Slice8(const uint8_t* src, int32_t n, uint32_t crc) {
  using dsp_tables::kCrc32;
  int32_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint32_t lo, hi;
    std::memcpy(&lo, src + i, 4);
    std::memcpy(&hi, src + i + 4, 4);
    lo ^= crc;
    crc = kCrc32[7][lo & 0xFF] ^ kCrc32[6][(lo >> 8) & 0xFF] ^ kCrc32[5][(lo >> 16) & 0xFF] ^
          kCrc32[4][lo >> 24] ^ kCrc32[3][hi & 0xFF] ^ kCrc32[2][(hi >> 8) & 0xFF] ^
          kCrc32[1][(hi >> 16) & 0xFF] ^ kCrc32[0][hi >> 24];
  }
  return Crc32(src + i, n - i, crc);
}

// Magnitudes above the table (8206) are clamped, never read past it.
void Pow43_16s32f(const int16_t* q, float* dst, int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    const int32_t v = q[i];
    const int32_t m = v < 0 ? -v : v;
    const float p = dsp_tables::kPow43[m < 8206 ? m : 8206];
    dst[i] = v < 0 ? -p : p;
  }
}

void Pow43Bands_16s32f(const int16_t* q, const float* gains, const int32_t* offsets, int32_t nbands,
                       float* dst) {
  for (int32_t b = 0; b < nbands; ++b) {
    const float g = gains[b];
    for (int32_t i = offsets[b]; i < offsets[b + 1]; ++i) {
      const int32_t v = q[i];
      const int32_t m = v < 0 ? -v : v;
      const float p = dsp_tables::kPow43[m < 8206 ? m : 8206];
      dst[i] = (v < 0 ? -p : p) * g;
    }
  }
}

void ScalefactorGain_16s32f(const int16_t* sf, int32_t offset, float* gains, int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    gains[i] = dsp_tables::kSfGain[static_cast<uint32_t>(sf[i] - offset + 512) & 1023];
  }
}

namespace {

float Bits(uint32_t u) {
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}
uint32_t Pattern(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}
float Trunc16(float f) {
  return Bits(Pattern(f) & 0xFFFF0000u);
}
float Round16(float f) {
  return Bits((Pattern(f) + 0x8000u) & 0xFFFF0000u);
}

// b / v from the mantissa and exponent tables (v >= 0).
float Recip(float v) {
  const uint32_t u = Pattern(v);
  return kRecipMantissa[(u >> 16) & 0x7F] * kRecipExponent[(u >> 23) & 0xFF];
}

}  // namespace

void Predict_32f(float* x, int32_t begin, int32_t end, bool add, float* const* s) {
  constexpr float kAlpha = 0.90625f, kA = 0.953125f;
  float *cor0 = s[kCor0], *cor1 = s[kCor1], *var0 = s[kVar0], *var1 = s[kVar1];
  float *r0 = s[kR0], *r1 = s[kR1];
  for (int32_t i = begin; i < end; ++i) {
    const float k1 = cor0[i] * Recip(var0[i]);
    const float k2 = cor1[i] * Recip(var1[i]);
    const float pred = Round16(k1 * r0[i] + k2 * r1[i]);
    if (add) x[i] += pred;
    const float e0 = x[i];
    const float e1 = e0 - k1 * r0[i];
    const float c0 = kAlpha * cor0[i] + r0[i] * e0;
    const float c1 = kAlpha * cor1[i] + r1[i] * e1;
    const float v0 = kAlpha * var0[i] + 0.5f * (r0[i] * r0[i] + e0 * e0);
    const float v1 = kAlpha * var1[i] + 0.5f * (r1[i] * r1[i] + e1 * e1);
    const float n1 = kA * (r0[i] - k1 * e0);
    const float n0 = kA * e0;
    cor0[i] = Trunc16(c0);
    cor1[i] = Trunc16(c1);
    var0[i] = Trunc16(v0);
    var1[i] = Trunc16(v1);
    r1[i] = Trunc16(n1);
    r0[i] = Trunc16(n0);
  }
}

float Noise_32f(float* dst, int32_t n, uint32_t* state) {
  float sum[kNoiseSums] = {};
  *state = NoiseSerial(dst, 0, n, *state, sum);
  return NoiseEnergy(sum);
}

}  // namespace dsp_generic
