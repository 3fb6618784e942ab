// Internal layout of the complex FFT context, its constant tables and the
// reference kernel.
//
// Algorithm (all implementations): decimation in time over data gathered in
// bit-reversed order.  The reference runs radix-2 butterflies with the
// twiddles W_L^j = exp(-2 pi i j / L).  The vectorised code fuses the
// gather with the first two stages (a radix-4 butterfly down four rows of
// the input, then a 4 x 4 transpose whose columns land at 4 * rev(q)), runs
// radix-4 passes of quarter-span s = 4, 16, 64, ... and, for odd orders, one
// final radix-2 pass.
#pragma once

#include <array>
#include <cstdint>

#include "dsp/dsp_transform.h"

constexpr int32_t kFftTag = 4;
constexpr int32_t kFftMaxTableOrder = 10;  // up to here the twiddles are built in
constexpr int32_t kFftMaxOrder = 26;       // beyond, the context outgrows 32-bit sizes

struct DspFftSpec_C_32fc {
  int32_t tag;
  int32_t order;
  int32_t fwd_scaled;  // forward output multiplied by `scale`
  int32_t inv_scaled;
  float scale;
  int32_t hint;
  float reserved[2];
  // rev[q] = bit reversal of q over order - 2 bits, q < L/4 (order >= 2);
  // the full reversal of i = 4q + r is rev[q] + rev2(r) * L/4.
  const int32_t* bitrev;
  // W_M^j as (cos, -sin) pairs, read with stride `tw_stride` so that entry
  // j * tw_stride is W_L^j: the built-in M = 1024 table for orders <= 10,
  // an L/2-entry table in the context above.
  const float* twiddle;
  const float* large_pass_tw;  // vector pass tables for s >= 1024 (orders > 10)
  int32_t tw_stride;
  int32_t work_size;
};

// Vector pass tables.  For quarter-span s the table holds six arrays of 2s
// floats: for each of W_4s^j, W_4s^2j, W_4s^3j (j < s) a "re" array
// (wr, wr per j) and an "im" array (-wi, wi per j), so that an interleaved
// complex vector multiplies with one swap, one multiply and one multiply-add.
// Tables for s = 4, 16, ... are consecutive; s starts at 4(s - 4) floats
// from the first (built-in) or 4(s - 1024) from the first large one.
constexpr int32_t kFftBuiltinPassFloats = 4 * (1024 - 4);
extern const std::array<float, kFftBuiltinPassFloats> kFftPassTwiddles;
extern const std::array<float, 1024> kFftTwiddle1024;  // W_1024^j, j < 512, (cos, -sin)
// Bit-reversal tables of orders 2..5 (over 0..3 bits) at offsets 0, 1, 3, 7.
extern const std::array<int32_t, 15> kFftSmallBitrev;

constexpr void FftFillBitrev(int32_t* t, int32_t bits) {
  for (int32_t q = 0; q < (1 << bits); ++q) {
    int32_t r = 0;
    for (int32_t b = 0; b < bits; ++b) r |= ((q >> b) & 1) << (bits - 1 - b);
    t[q] = r;
  }
}

inline const float* FftPassTable(const DspFftSpec_C_32fc* spec, int32_t s) {
  return s <= 256 ? kFftPassTwiddles.data() + 4 * (s - 4) : spec->large_pass_tw + 4 * (s - 1024);
}

// Floats of the vector pass tables for s = 1024 .. s_max (powers of four).
constexpr int64_t FftLargePassFloats(int64_t s_max) {
  return s_max < 1024 ? 0 : 16 * s_max - 4096;
}

// cos and sin of 2 pi num / den in double precision: the argument is reduced
// exactly (integers) to [0, pi/4] and the series there converges fast.
// Usable in constant expressions, so the built-in tables need no code at
// start-up.
struct FftCosSin {
  double c, s;
};

constexpr FftCosSin FftSeries(double x) {
  double sum_s = 0.0, sum_c = 0.0, term_s = x, term_c = 1.0;
  const double x2 = x * x;
  for (int k = 0; k < 12; ++k) {  // |x| <= pi/4: the 12th terms are below 1e-25
    sum_s += term_s;
    sum_c += term_c;
    term_s *= -x2 / ((2.0 * k + 2.0) * (2.0 * k + 3.0));
    term_c *= -x2 / ((2.0 * k + 1.0) * (2.0 * k + 2.0));
  }
  return {sum_c, sum_s};
}

constexpr FftCosSin FftTurn(int64_t num, int64_t den) {
  constexpr double kQuarterPi = 0.785398163397448309615660845819875721;
  int64_t n = num % den;
  if (n < 0) n += den;
  const int64_t octant = 8 * n / den;
  const int64_t rest = 8 * n - octant * den;  // angle = (octant + rest/den) pi/4
  FftCosSin v;
  if (octant % 2 == 0) {
    v = FftSeries(kQuarterPi * static_cast<double>(rest) / static_cast<double>(den));
  } else {  // pi/2 - phi with phi = (den - rest)/den pi/4
    const FftCosSin p =
        FftSeries(kQuarterPi * static_cast<double>(den - rest) / static_cast<double>(den));
    v = {p.s, p.c};
  }
  switch (octant / 2) {
    case 1:
      return {-v.s, v.c};
    case 2:
      return {-v.c, -v.s};
    case 3:
      return {v.s, -v.c};
    default:
      return v;
  }
}

// Vector pass table for quarter-span s (layout above).
constexpr void FftFillPassTable(float* t, int64_t s) {
  for (int64_t m = 1; m <= 3; ++m) {
    float* re = t + 4 * (m - 1) * s;
    float* im = re + 2 * s;
    for (int64_t j = 0; j < s; ++j) {
      const FftCosSin w = FftTurn(-m * j, 4 * s);  // W_4s^(m j) = (c, s)
      re[2 * j] = re[2 * j + 1] = static_cast<float>(w.c);
      im[2 * j] = static_cast<float>(-w.s);
      im[2 * j + 1] = static_cast<float>(w.s);
    }
  }
}

// Unscaled forward FFT from src to dst (distinct buffers), optionally of the
// conjugated input: the reference kernel.  The vectorised ones
// (transform_vec.h, reached through DspTransformKernels) fall back to it for
// lengths below their vector width.
namespace dsp_generic {
void FftCore(const DspFftSpec_C_32fc* spec, const Dsp32fc* src, Dsp32fc* dst, bool conj_in);
// Radix-2 passes over data already in bit-reversed order, in place.
void FftPasses(const DspFftSpec_C_32fc* spec, Dsp32fc* data);
}  // namespace dsp_generic
