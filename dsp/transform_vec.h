// Vectorised FFT and MDCT kernels, written once over a vector traits type V
// (a lane type of simd_*.h with the shuffles below) and instantiated by
// transform_<isa>.cpp (each compiled with its own target flags).  A vector
// holds V::kComplex interleaved complex values (2 * kComplex floats).  The
// traits provide loads and stores, add/sub/xor, lane shuffles (Swap: re <-> im of each value; Rev:
// all floats reversed; RevC: complex values reversed; BlendEvenOdd: even
// floats of a, odd floats of b; EvenWithRevOdd(a, b): a[0], b[last],
// a[2], b[last - 2], ...), complex products with twiddle tables (CMul) and the 4 x kComplex
// transposed store of the first pass.
#pragma once

#include "dsp/mdct_impl.h"

namespace transform_vec {
// Internal linkage: each instruction set gets its own copy (no ODR merging
// of code compiled with different target flags).
namespace {

// Gather in bit-reversed order fused with the first two stages.  Row j of
// the input (element i = q + j L/4, delivered by row(i, j) as a vector of
// kComplex values) is decimated by four; the four rows form length-4 DFTs
// whose outputs t belong at 4 rev(q) + t.
template <typename V, typename Row>
inline void FirstPass(Row row, float* dst, const int32_t* rev, int32_t len) {
  const int32_t q4 = len / 4;
  for (int32_t q = 0; q < q4; q += V::kComplex) {
    const auto a0 = row(q, 0), a1 = row(q + q4, 1), a2 = row(q + 2 * q4, 2);
    const auto a3 = row(q + 3 * q4, 3);
    const auto t0 = V::Add(a0, a2), t1 = V::Sub(a0, a2);
    const auto t2 = V::Add(a1, a3), t3 = V::MulNegI(V::Sub(a1, a3));
    V::StoreColumns(dst, rev + q, V::Add(t0, t2), V::Add(t1, t3), V::Sub(t0, t2), V::Sub(t1, t3));
  }
}

// Radix-4 decimation-in-time pass: four sub-transforms of length s at
// offsets 0, s, 2s, 3s (input residues 0, 2, 1, 3 mod 4) become one of 4s.
template <typename V>
inline void Radix4Pass(float* p, int32_t len, int32_t s, const float* tab) {
  // Twiddle-outer loop: each twiddle vector is loaded once for all blocks.
  for (int32_t j = 0; j < 2 * s; j += 2 * V::kComplex) {
    const auto w1r = V::Load(tab + j), w1i = V::Load(tab + 2 * s + j);
    const auto w2r = V::Load(tab + 4 * s + j), w2i = V::Load(tab + 6 * s + j);
    const auto w3r = V::Load(tab + 8 * s + j), w3i = V::Load(tab + 10 * s + j);
    for (int32_t k = 0; k < len; k += 4 * s) {
      float* p0 = p + 2 * k + j;
      float* p1 = p0 + 2 * s;
      float* p2 = p1 + 2 * s;
      float* p3 = p2 + 2 * s;
      const auto a = V::Load(p0);
      const auto b = V::CMul(V::Load(p1), w2r, w2i);
      const auto c = V::CMul(V::Load(p2), w1r, w1i);
      const auto d = V::CMul(V::Load(p3), w3r, w3i);
      const auto t0 = V::Add(a, b), t1 = V::Sub(a, b);
      const auto t2 = V::Add(c, d), t3 = V::MulNegI(V::Sub(c, d));
      V::Store(p0, V::Add(t0, t2));
      V::Store(p1, V::Add(t1, t3));
      V::Store(p2, V::Sub(t0, t2));
      V::Store(p3, V::Sub(t1, t3));
    }
  }
}

// Final radix-2 pass of odd orders (len = 2h); W_2h^j is the W_4h^2j part
// of the table for quarter-span h.
template <typename V>
inline void Radix2Pass(float* p, int32_t h, const float* tab) {
  const float *wr = tab + 4 * h, *wi = tab + 6 * h;
  for (int32_t j = 0; j < 2 * h; j += 2 * V::kComplex) {
    const auto a = V::Load(p + j);
    const auto b = V::CMul(V::Load(p + 2 * h + j), V::Load(wr + j), V::Load(wi + j));
    V::Store(p + j, V::Add(a, b));
    V::Store(p + 2 * h + j, V::Sub(a, b));
  }
}

// The radix-4 passes; returns the half length h of the radix-2 pass that
// odd orders still need (0 for even orders).
template <typename V>
inline int32_t Radix4Passes(const DspFftSpec_C_32fc* spec, Dsp32fc* data) {
  const int32_t len = 1 << spec->order;
  float* p = &data->re;
  int32_t size = 4;
  for (; 4 * size <= len; size *= 4) Radix4Pass<V>(p, len, size, FftPassTable(spec, size));
  return size < len ? size : 0;
}

template <typename V>
inline void Passes(const DspFftSpec_C_32fc* spec, Dsp32fc* data) {
  if (const int32_t h = Radix4Passes<V>(spec, data)) {
    Radix2Pass<V>(&data->re, h, FftPassTable(spec, h));
  }
}

template <typename V>
inline bool VectorLength(int32_t len) {
  return len / 4 >= V::kComplex;
}

template <typename V>
void FftCore(const DspFftSpec_C_32fc* spec, const Dsp32fc* src, Dsp32fc* dst, bool conj_in) {
  const int32_t len = 1 << spec->order;
  if (!VectorLength<V>(len)) {
    dsp_generic::FftCore(spec, src, dst, conj_in);
    return;
  }
  const float* s = &src->re;
  if (conj_in) {
    FirstPass<V>([s](int32_t i, int) { return V::Xor(V::Load(s + 2 * i), V::SignOdd()); }, &dst->re,
                 spec->bitrev, len);
  } else {
    FirstPass<V>([s](int32_t i, int) { return V::Load(s + 2 * i); }, &dst->re, spec->bitrev, len);
  }
  Passes<V>(spec, dst);
}

// Inverse MDCT: z[i] = (X[2i] + j X[N/2-1-2i]) (c - j s) straight into the
// first pass; after the FFT (u + j v) = z[k] (c - j s) unfolds into four
// quarter-length regions of y, each interleaving an ascending block k and
// the descending mirror block m = E - 1 - k.  The vectors of the first half
// go to lo(i, v), those of the second to hi(i - N/2, v), for each k the
// first half's before the second half's of the same index.  Returns false
// for the lengths it leaves to the reference kernel.
template <typename V, int32_t kN, typename Lo, typename Hi>
inline bool InvCoreOf(const MdctSpec* spec, const float* x, Dsp32fc* zc, Lo lo, Hi hi) {
  const int32_t n = kN ? kN : spec->n, e = n / 4, h = e / 2;
  if (!spec->fft || !VectorLength<V>(e)) return false;
  constexpr int32_t kC = V::kComplex;
  const float *tc = spec->twiddle, *ts = tc + n / 2;
  float* z = &zc->re;
  FirstPass<V>(
      [x, tc, ts, half = n / 2](int32_t i, int) {
        const auto a = V::EvenWithRevOdd(V::Load(x + 2 * i), V::Load(x + half - 2 * kC - 2 * i));
        return V::CMul(a, V::Load(tc + 2 * i), V::Load(ts + 2 * i));
      },
      z, spec->fft->bitrev, e);
  // z[k] and its mirror z[m], m = E - kC - k, unfolded.
  const auto unfold = [=](int32_t k, typename V::F zk_fft, typename V::F zm_fft)
      __attribute__((always_inline)) {
    const int32_t m = e - kC - k;
    const auto zk = V::CMul(zk_fft, V::Load(tc + 2 * k), V::Load(ts + 2 * k));
    const auto zm = V::CMul(zm_fft, V::Load(tc + 2 * m), V::Load(ts + 2 * m));
    const auto nk = V::Neg(zk), nm = V::Neg(zm);
    lo(n / 4 - 2 * kC - 2 * k, V::BlendEvenOdd(zm, V::RevC(nk)));
    lo(n / 4 + 2 * k, V::BlendEvenOdd(V::Swap(zk), V::Rev(nm)));
    hi(n / 4 - 2 * kC - 2 * k, V::BlendEvenOdd(V::Swap(zm), V::Rev(nk)));
    hi(n / 4 + 2 * k, V::BlendEvenOdd(nk, V::RevC(zm)));
  };
  if (Radix4Passes<V>(spec->fft, zc) == 0) {
    for (int32_t k = 0; k < h; k += kC)
      unfold(k, V::Load(z + 2 * k), V::Load(z + 2 * (e - kC - k)));
    return true;
  }
  // Odd orders (the long windows): the last, radix-2 pass (half length h)
  // feeds the unfolding from registers.  Its butterflies at j and at
  // j' = h - kC - j give z[j], z[j + h], z[j'] and z[j' + h]: the pairs of
  // k = j (mirror j' + h) and of k = j' (mirror j + h).
  const float* tab = FftPassTable(spec->fft, h);
  const float *wr = tab + 4 * h, *wi = tab + 6 * h;
  for (int32_t j = 0; j < h / 2; j += kC) {
    const int32_t jj = h - kC - j;
    const auto a0 = V::Load(z + 2 * j), a1 = V::Load(z + 2 * jj);
    const auto b0 = V::CMul(V::Load(z + 2 * (j + h)), V::Load(wr + 2 * j), V::Load(wi + 2 * j));
    const auto b1 = V::CMul(V::Load(z + 2 * (jj + h)), V::Load(wr + 2 * jj), V::Load(wi + 2 * jj));
    unfold(j, V::Add(a0, b0), V::Sub(a1, b1));
    unfold(jj, V::Add(a1, b1), V::Sub(a0, b0));
  }
  return true;
}

// The long window's length as a constant: the offsets of the unfolding's
// eight streams fold into addresses instead of taking registers.
template <typename V, typename Lo, typename Hi>
inline bool InvCore(const MdctSpec* spec, const float* x, Dsp32fc* zc, Lo lo, Hi hi) {
  return spec->n == 2048 ? InvCoreOf<V, 2048>(spec, x, zc, lo, hi)
                         : InvCoreOf<V, 0>(spec, x, zc, lo, hi);
}

template <typename V>
void MdctInvCore(const MdctSpec* spec, const float* x, float* y, Dsp32fc* zc) {
  float* upper = y + spec->n / 2;
  if (!InvCore<V>(
          spec, x, zc, [y](int32_t i, typename V::F v) { V::Store(y + i, v); },
          [upper](int32_t i, typename V::F v) { V::Store(upper + i, v); })) {
    dsp_generic::MdctInvCore(spec, x, y, zc);
  }
}

// The inverse MDCT with its window and overlap-add (MdctOverlap): one
// multiply, then one add, per sample, as the reference kernel rounds.
template <typename V>
void MdctInvOverlapCore(const MdctSpec* spec, const float* x, const MdctOverlap& o, Dsp32fc* zc) {
  const float *rise = o.rise, *prev = o.prev, *fall = o.fall;
  float *out = o.out, *next = o.next;
  if (!InvCore<V>(
          spec, x, zc,
          [=](int32_t i, typename V::F v) {
            V::Store(out + i, V::Add(V::Mul(v, V::Load(rise + i)), V::Load(prev + i)));
          },
          [=](int32_t i, typename V::F v) { V::Store(next + i, V::Mul(v, V::Load(fall + i))); })) {
    dsp_generic::MdctInvOverlapCore(spec, x, o, zc);
  }
}

// Forward MDCT: the folded pairs (a + j d) for m < E/2 and (d + j a) above,
// times (c - j s), go straight into the first pass; after the FFT
// (P + j Q) = z[l] (c - j s) gives X[2l] = P and X[N/2-1-2l] = -Q.
template <typename V>
void MdctFwdCore(const MdctSpec* spec, const float* x, float* y, Dsp32fc* zc) {
  const int32_t n = spec->n, e = n / 4, h = e / 2;
  if (!spec->fft || !VectorLength<V>(e)) {
    dsp_generic::MdctFwdCore(spec, x, y, zc);
    return;
  }
  constexpr int32_t kC = V::kComplex;
  const float *tc = spec->twiddle, *ts = tc + n / 2;
  float* z = &zc->re;
  FirstPass<V>(
      [x, tc, ts, n](int32_t m, int row) {
        // (x[N/4+2m], x[3N/4-1-2m]) pairs, swapped
        const auto mid = V::Swap(
            V::EvenWithRevOdd(V::Load(x + n / 4 + 2 * m), V::Load(x + 3 * n / 4 - 2 * kC - 2 * m)));
        typename V::F a;
        if (row < 2) {  // m < E/2: (x[3N/4+2m], x[N/4-1-2m]) -> (a, d)
          a = V::Sub(V::Xor(V::EvenWithRevOdd(V::Load(x + 3 * n / 4 + 2 * m),
                                              V::Load(x + n / 4 - 2 * kC - 2 * m)),
                            V::SignEven()),
                     mid);
        } else {  // (x[2m-N/4], x[5N/4-1-2m]) -> (d, a)
          a = V::Sub(V::Xor(V::EvenWithRevOdd(V::Load(x + 2 * m - n / 4),
                                              V::Load(x + 5 * n / 4 - 2 * kC - 2 * m)),
                            V::SignOdd()),
                     mid);
        }
        return V::CMul(a, V::Load(tc + 2 * m), V::Load(ts + 2 * m));
      },
      z, spec->fft->bitrev, e);
  Passes<V>(spec->fft, zc);
  for (int32_t l = 0; l < h; l += kC) {
    const int32_t m = e - kC - l;
    const auto zl = V::CMul(V::Load(z + 2 * l), V::Load(tc + 2 * l), V::Load(ts + 2 * l));
    const auto zm = V::CMul(V::Load(z + 2 * m), V::Load(tc + 2 * m), V::Load(ts + 2 * m));
    V::Store(y + 2 * l, V::BlendEvenOdd(zl, V::Neg(V::RevC(zm))));
    V::Store(y + 2 * m, V::BlendEvenOdd(zm, V::Neg(V::RevC(zl))));
  }
}

}  // namespace
}  // namespace transform_vec
