// Mixed-radix complex DFT (fft_mixed.h) on interleaved complex vectors of
// V::kComplex values: the stages after the first run V::kComplex columns at
// a time when their span is a multiple of it (every stage of the 480- and
// 60-point transforms); the gather with the first stage, and the stages of
// other lengths, are the reference code.  The butterflies are the reference
// ones operation for operation; only V::CMul may fuse its products.
#pragma once

#include <cstdint>

#include "dsp/fft_mixed.h"

namespace fft_mixed_vec {

template <typename V, int R>
inline void Butterfly(const typename V::F* a, typename V::F* y) {
  using F = typename V::F;
  if constexpr (R == 2) {
    y[0] = V::Add(a[0], a[1]);
    y[1] = V::Sub(a[0], a[1]);
  } else if constexpr (R == 3) {
    const F t = V::Add(a[1], a[2]);
    const F m = V::Sub(a[0], V::Mul(t, V::Set1(0.5f)));
    const F d = V::Mul(V::MulNegI(V::Sub(a[1], a[2])), V::Set1(0.866025403784438647f));
    y[0] = V::Add(a[0], t);
    y[1] = V::Add(m, d);
    y[2] = V::Sub(m, d);
  } else if constexpr (R == 4) {
    const F s02 = V::Add(a[0], a[2]), d02 = V::Sub(a[0], a[2]);
    const F s13 = V::Add(a[1], a[3]), d13 = V::MulNegI(V::Sub(a[1], a[3]));
    y[0] = V::Add(s02, s13);
    y[1] = V::Add(d02, d13);
    y[2] = V::Sub(s02, s13);
    y[3] = V::Sub(d02, d13);
  } else {
    static_assert(R == 5);
    const F c1 = V::Set1(0.309016994374947424f), c2 = V::Set1(-0.809016994374947424f);
    const F s1 = V::Set1(0.951056516295153572f), s2 = V::Set1(0.587785252292473129f);
    const F t1 = V::Add(a[1], a[4]), t2 = V::Add(a[2], a[3]);
    const F d1 = V::Sub(a[1], a[4]), d2 = V::Sub(a[2], a[3]);
    const F m1 = V::Add(a[0], V::Add(V::Mul(t1, c1), V::Mul(t2, c2)));
    const F m2 = V::Add(a[0], V::Add(V::Mul(t1, c2), V::Mul(t2, c1)));
    const F n1 = V::MulNegI(V::Add(V::Mul(d1, s1), V::Mul(d2, s2)));
    const F n2 = V::MulNegI(V::Sub(V::Mul(d1, s2), V::Mul(d2, s1)));
    y[0] = V::Add(a[0], V::Add(t1, t2));
    y[1] = V::Add(m1, n1);
    y[4] = V::Sub(m1, n1);
    y[2] = V::Add(m2, n2);
    y[3] = V::Sub(m2, n2);
  }
}

// Stage of radix R and span s (a multiple of V::kComplex) in place on the
// floats d; tw as MixedFft::vtwiddle.
template <typename V, int R>
inline void Stage(float* d, int32_t len, int32_t s, const float* tw) {
  using F = typename V::F;
  for (int32_t base = 0; base < len; base += R * s) {
    float* b = d + 2 * base;
    for (int32_t k = 0; k < s; k += V::kComplex) {
      F a[R], y[R];
      a[0] = V::Load(b + 2 * k);
      for (int32_t q = 1; q < R; ++q) {
        const float* w = tw + 4 * s * (q - 1) + 2 * k;
        a[q] = V::CMul(V::Load(b + 2 * (q * s + k)), V::Load(w), V::Load(w + 2 * s));
      }
      Butterfly<V, R>(a, y);
      for (int32_t q = 0; q < R; ++q) V::Store(b + 2 * (q * s + k), y[q]);
    }
  }
}

// The stages after the first, in place on dst.
template <typename V>
void LaterStages(const MixedFft* f, Dsp32fc* dst) {
  float* d = &dst->re;
  for (int32_t i = 1; i < f->stages; ++i) {
    const int32_t s = f->span[i];
    const float* tw = f->vtwiddle[i];
    if (s % V::kComplex != 0) {
      MixedFftStage(f, i, dst);
      continue;
    }
    switch (f->radix[i]) {
      case 2:
        Stage<V, 2>(d, f->len, s, tw);
        break;
      case 3:
        Stage<V, 3>(d, f->len, s, tw);
        break;
      case 4:
        Stage<V, 4>(d, f->len, s, tw);
        break;
      default:
        Stage<V, 5>(d, f->len, s, tw);
        break;
    }
  }
}

// With a radix-4 first stage whose rows (the quarters of src: the first
// stage's digit is the inputs' most significant) are whole vectors, that
// stage runs kC groups at a time down the four rows, each group's outputs
// stored together at its place; otherwise the reference gather and first
// stage.  The butterflies are the reference ones.
template <typename V>
void MixedFftCore(const MixedFft* f, const Dsp32fc* src, Dsp32fc* dst) {
  const int32_t q4 = f->len / 4;
  if (f->group && q4 % V::kComplex == 0) {
    const float* s = &src->re;
    float* d = &dst->re;
    for (int32_t j = 0; j < q4; j += V::kComplex) {
      typename V::F a[4], y[4];
      for (int32_t q = 0; q < 4; ++q) a[q] = V::Load(s + 2 * (q * q4 + j));
      Butterfly<V, 4>(a, y);
      V::StoreColumns(d, f->group + j, y[0], y[1], y[2], y[3]);
    }
  } else {
    MixedFftFirstStage(f, src, dst);
  }
  LaterStages<V>(f, dst);
}

}  // namespace fft_mixed_vec
