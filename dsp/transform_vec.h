// Vectorised FFT and MDCT kernels, written once over a vector traits type V
// (a lane type of simd_*.h with the shuffles below) and instantiated by
// transform_<isa>.cpp (each compiled with its own target flags).  The FFT
// and the forward MDCT work on interleaved data: a vector holds
// V::kComplex complex values (2 * kComplex floats); the traits provide
// loads and stores, add/sub/xor, lane shuffles (Swap: re <-> im of each
// value; RevC: complex values reversed; BlendEvenOdd: even floats of a, odd
// floats of b; EvenWithRevOdd(a, b): a[0], b[last], a[2], b[last - 2],
// ...), complex products with twiddle tables (CMul) and the 4 x kComplex
// transposed store of the first pass.  The inverse MDCT of power-of-two
// lengths works on split data through V::Block (blocks of eight floats,
// below); that of the mixed-radix lengths on interleaved vectors.
#pragma once

#include "dsp/fft_mixed_vec.h"
#include "dsp/mdct_impl.h"

namespace transform_vec {
// Internal linkage: each instruction set gets its own copy (no ODR merging
// of code compiled with different target flags).
namespace {

// A block of eight floats as two vectors of four (lanes 0-3 in a, 4-7 in
// b) for the split inverse MDCT; V supplies the four-lane shuffles EvenOf
// (a0 a2 b0 b2), OddRevOf (a3 a1 b3 b1), ZipLo/ZipHi (unpack) and Rev.
template <typename V>
struct PairBlock {
  using F = typename V::F;
  struct T {
    F a, b;
  };
  static T Load(const float* p) { return {V::Load(p), V::Load(p + 4)}; }
  static void Store(float* p, T v) {
    V::Store(p, v.a);
    V::Store(p + 4, v.b);
  }
  static T Set1(float v) { return {V::Set1(v), V::Set1(v)}; }
  static T Add(T x, T y) { return {V::Add(x.a, y.a), V::Add(x.b, y.b)}; }
  static T Sub(T x, T y) { return {V::Sub(x.a, y.a), V::Sub(x.b, y.b)}; }
  static T Mul(T x, T y) { return {V::Mul(x.a, y.a), V::Mul(x.b, y.b)}; }
  static T MulAdd(T x, T y, T z) { return Add(Mul(x, y), z); }     // x y + z
  static T NegMulAdd(T x, T y, T z) { return Sub(z, Mul(x, y)); }  // z - x y
  static T Neg(T x) { return {V::Neg(x.a), V::Neg(x.b)}; }
  static T LoadEven(const float* p) {
    return {V::EvenOf(V::Load(p), V::Load(p + 8)), V::EvenOf(V::Load(p + 4), V::Load(p + 12))};
  }
  static T LoadOddRev(const float* p) {
    return {V::OddRevOf(V::Load(p + 12), V::Load(p + 4)), V::OddRevOf(V::Load(p + 8), V::Load(p))};
  }
  static T Rev(T x) { return {V::Rev(x.b), V::Rev(x.a)}; }
  static T ZipLo(T x, T y) { return {V::ZipLo(x.a, y.a), V::ZipLo(x.b, y.b)}; }
  static T ZipHi(T x, T y) { return {V::ZipHi(x.a, y.a), V::ZipHi(x.b, y.b)}; }
  // 8 x 8 transpose as four 4 x 4 ones.
  static void Transpose8(T* r) {
    F aa[4] = {r[0].a, r[1].a, r[2].a, r[3].a}, ba[4] = {r[4].a, r[5].a, r[6].a, r[7].a};
    F ab[4] = {r[0].b, r[1].b, r[2].b, r[3].b}, bb[4] = {r[4].b, r[5].b, r[6].b, r[7].b};
    V::Transpose(aa);
    V::Transpose(ba);
    V::Transpose(ab);
    V::Transpose(bb);
    for (int32_t l = 0; l < 4; ++l) {
      r[l] = {aa[l], ba[l]};
      r[4 + l] = {ab[l], bb[l]};
    }
  }
};

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

// ---- Inverse MDCT on split data (mdct_impl.h: kMdctSplitOrder, tables).
// B is a block type of eight floats in that lane order: one vector, or a
// pair of four-lane vectors (PairBlock).  Real and imaginary parts in
// separate blocks make the complex products and the -j rotations free of
// shuffles; the first pass gathers, pre-twiddles and runs an eight-point
// DFT down eight rows, then transposes; radix-4 passes follow (the first
// of them radix-2 for some lengths); the last one feeds the post-twiddle and
// the unfolding from registers (for N = 256 it is one radix-8 butterfly).

// Keeps v in a register.  Each value and twiddle feeds two products
// (MulConj); left to itself the compiler folds each use into its own memory
// operand, and the loads, not the arithmetic, bound these passes.
template <typename T>
inline void InRegister(T& v) {
  if constexpr (requires {
                  v.a;
                  v.b;
                }) {  // PairBlock
    InRegister(v.a);
    InRegister(v.b);
  } else {
#if defined(__x86_64__) || defined(__i386__)
    asm("" : "+x"(v));
#elif defined(__aarch64__)
    asm("" : "+w"(v));
#endif
  }
}

// A block loaded once, into a register.
template <typename B>
inline typename B::T LoadHeld(const float* p) {
  auto v = B::Load(p);
  InRegister(v);
  return v;
}

template <typename B>
struct Cx {
  typename B::T re, im;
};

template <typename B>
inline Cx<B> LoadCx(const float* re, const float* im, int32_t i) {
  return {LoadHeld<B>(re + i), LoadHeld<B>(im + i)};
}

template <typename B>
inline void StoreCx(float* re, float* im, int32_t i, Cx<B> v) {
  B::Store(re + i, v.re);
  B::Store(im + i, v.im);
}

// x (c - j s)
template <typename B>
inline Cx<B> MulConj(Cx<B> x, typename B::T c, typename B::T s) {
  return {B::MulAdd(x.im, s, B::Mul(x.re, c)), B::NegMulAdd(x.re, s, B::Mul(x.im, c))};
}

template <typename B>
inline Cx<B> AddCx(Cx<B> a, Cx<B> b) {
  return {B::Add(a.re, b.re), B::Add(a.im, b.im)};
}

template <typename B>
inline Cx<B> SubCx(Cx<B> a, Cx<B> b) {
  return {B::Sub(a.re, b.re), B::Sub(a.im, b.im)};
}

// Four-point DFT of (p0, p1, p2, p3) in place, natural output order.  With
// (p0, p1, p2, p3) = (a, c, b, d) it is also the radix-4 decimation-in-time
// butterfly of the passes (outputs a + b + c + d, ... in p0, p1, p2, p3).
template <typename B>
inline void Dft4(Cx<B>& p0, Cx<B>& p1, Cx<B>& p2, Cx<B>& p3) {
  const Cx<B> t0 = AddCx<B>(p0, p2), t1 = SubCx<B>(p0, p2);
  const Cx<B> t2 = AddCx<B>(p1, p3), d = SubCx<B>(p1, p3);
  p0 = AddCx<B>(t0, t2);
  p2 = SubCx<B>(t0, t2);
  p1 = {B::Add(t1.re, d.im), B::Sub(t1.im, d.re)};  // t1 - j d
  p3 = {B::Sub(t1.re, d.im), B::Add(t1.im, d.re)};  // t1 + j d
}

// Eight-point DFT of a[0..7] in place (natural order): two four-point DFTs
// of the even and odd rows, combined with W_8^k.
template <typename B>
inline void Dft8(Cx<B>* a) {
  Dft4<B>(a[0], a[2], a[4], a[6]);
  Dft4<B>(a[1], a[3], a[5], a[7]);
  const auto r2 = B::Set1(0.70710678118654752f);
  const Cx<B> b0 = a[0], b1 = a[2], b2 = a[4], b3 = a[6];
  const Cx<B> c0 = a[1], c1 = a[3], c2 = a[5], c3 = a[7];
  a[0] = AddCx<B>(b0, c0);
  a[4] = SubCx<B>(b0, c0);
  // W_8 c1 = r2 ((re + im) + j (im - re))
  const auto sum1 = B::Add(c1.re, c1.im), dif1 = B::Sub(c1.im, c1.re);
  a[1] = {B::MulAdd(sum1, r2, b1.re), B::MulAdd(dif1, r2, b1.im)};
  a[5] = {B::NegMulAdd(sum1, r2, b1.re), B::NegMulAdd(dif1, r2, b1.im)};
  // W_8^2 c2 = -j c2
  a[2] = {B::Add(b2.re, c2.im), B::Sub(b2.im, c2.re)};
  a[6] = {B::Sub(b2.re, c2.im), B::Add(b2.im, c2.re)};
  // W_8^3 c3 = r2 ((im - re) - j (re + im))
  const auto sum3 = B::Add(c3.re, c3.im), dif3 = B::Sub(c3.im, c3.re);
  a[3] = {B::MulAdd(dif3, r2, b3.re), B::NegMulAdd(sum3, r2, b3.im)};
  a[7] = {B::NegMulAdd(dif3, r2, b3.re), B::MulAdd(sum3, r2, b3.im)};
}

// z[i] = (x[2i] + j x[N/2-1-2i]) (c - j s) gathered down eight rows
// i = q + r E/8, eight-point DFTs over r; output t of column q belongs at
// 8 rev(q) + t (rev over log2(E/8) bits: the FFT table's, halved).
template <typename B, int32_t kN>
inline void SplitFirstPass(const float* x, int32_t n_var, const float* tw, const int32_t* bitrev,
                           float* zr, float* zi) {
  // rev(q + l) = rev(q) + rev3(l) E/64 for q a multiple of eight: the
  // eight columns' destinations are constant offsets from the first's.
  static constexpr int32_t kRev3[8] = {0, 4, 2, 6, 1, 5, 3, 7};
  const int32_t n = kN ? kN : n_var, e = n / 4, rows = e / 8;
  for (int32_t q = 0; q < rows; q += 8) {
    const float* even = x + 2 * q;
    const float* odd = x + n / 2 - 16 - 2 * q;
    const float* c = tw + q;
    Cx<B> a[8];
    for (int32_t r = 0; r < 8; ++r) {
      const Cx<B> v{B::LoadEven(even + 2 * r * rows), B::LoadOddRev(odd - 2 * r * rows)};
      a[r] = MulConj<B>(v, LoadHeld<B>(c + r * rows), LoadHeld<B>(c + e + r * rows));
    }
    Dft8<B>(a);
    typename B::T re[8], im[8];
    for (int32_t l = 0; l < 8; ++l) {
      re[l] = a[kMdctSplitOrder[l]].re;
      im[l] = a[kMdctSplitOrder[l]].im;
    }
    B::Transpose8(re);
    B::Transpose8(im);
    const int32_t base = 8 * (bitrev[q] >> 1);
    for (int32_t l = 0; l < 8; ++l) {
      const int32_t at = base + kRev3[kMdctSplitOrder[l]] * rows;
      B::Store(zr + at, re[l]);
      B::Store(zi + at, im[l]);
    }
  }
}

template <typename B>
inline void SplitRadix2(float* zr, float* zi, int32_t e, int32_t s, const float* t) {
  for (int32_t j = 0; j < s; j += 8) {
    const auto c = LoadHeld<B>(t + j), sn = LoadHeld<B>(t + s + j);
    for (int32_t k = j; k < e; k += 2 * s) {
      const Cx<B> a = LoadCx<B>(zr, zi, k);
      const Cx<B> b = MulConj<B>(LoadCx<B>(zr, zi, k + s), c, sn);
      StoreCx<B>(zr, zi, k, AddCx<B>(a, b));
      StoreCx<B>(zr, zi, k + s, SubCx<B>(a, b));
    }
  }
}

// Twiddles W_4s^j, W_4s^2j, W_4s^3j of block j of a radix-4 pass table.
template <typename B>
struct Tw4 {
  typename B::T c1, s1, c2, s2, c3, s3;
};

template <typename B>
inline Tw4<B> LoadTw4(const float* t, int32_t s, int32_t j) {
  return {LoadHeld<B>(t + j),         LoadHeld<B>(t + s + j),     LoadHeld<B>(t + 2 * s + j),
          LoadHeld<B>(t + 3 * s + j), LoadHeld<B>(t + 4 * s + j), LoadHeld<B>(t + 5 * s + j)};
}

// The radix-4 butterfly at offset k of a pass of span s.
template <typename B>
inline void SplitButterfly(const float* zr, const float* zi, int32_t k, int32_t s, const Tw4<B>& w,
                           Cx<B>* out) {
  out[0] = LoadCx<B>(zr, zi, k);
  out[2] = MulConj<B>(LoadCx<B>(zr, zi, k + s), w.c2, w.s2);
  out[1] = MulConj<B>(LoadCx<B>(zr, zi, k + 2 * s), w.c1, w.s1);
  out[3] = MulConj<B>(LoadCx<B>(zr, zi, k + 3 * s), w.c3, w.s3);
  Dft4<B>(out[0], out[1], out[2], out[3]);
}

// kS: the span as a constant (0: s_var), so that the blocks are constant
// offsets from one pointer.
template <typename B, int32_t kS>
inline void SplitRadix4(float* zr, float* zi, int32_t e, int32_t s_var, const float* t) {
  const int32_t s = kS ? kS : s_var;
  for (int32_t j = 0; j < s; j += 8) {
    const Tw4<B> w = LoadTw4<B>(t, s, j);  // in registers for all k
    for (int32_t k = j; k < e; k += 4 * s) {
      Cx<B> o[4];
      SplitButterfly<B>(zr, zi, k, s, w, o);
      for (int32_t m = 0; m < 4; ++m) StoreCx<B>(zr, zi, k + m * s, o[m]);
    }
  }
}

// Unfolding of the post-twiddled block k0 < E/2 and its mirror block
// m0 = E - 8 - k0 (natural order): with u + j v = z[k] (c - j s) and
// m = E - 1 - k,
//   y[N/4 + 2k] = v_k,  y[N/4 + 1 + 2k] = -u_m,  y[N/4 - 1 - 2k] = -v_k,
//   y[N/4 - 2 - 2k] = u_m, and in the second half -u_k, v_m, -u_k, v_m.
template <typename B, typename Lo, typename Hi>
inline void SplitUnfold(int32_t n, int32_t k0, Cx<B> zk, Cx<B> zm, Lo lo, Hi hi) {
  const int32_t up = n / 4 + 2 * k0, down = n / 4 - 16 - 2 * k0;
  const auto num = B::Neg(B::Rev(zm.re)), vm = B::Rev(zm.im);
  const auto nvk = B::Neg(B::Rev(zk.im)), nuk = B::Neg(zk.re), nukr = B::Rev(nuk);
  lo(up, B::ZipLo(zk.im, num));
  lo(up + 8, B::ZipHi(zk.im, num));
  lo(down, B::ZipLo(zm.re, nvk));
  lo(down + 8, B::ZipHi(zm.re, nvk));
  hi(up, B::ZipLo(nuk, vm));
  hi(up + 8, B::ZipHi(nuk, vm));
  hi(down, B::ZipLo(zm.im, nukr));
  hi(down + 8, B::ZipHi(zm.im, nukr));
}

// The radix-8 butterfly at offset k (lane offset j < s) of a pass of span
// s: block k + m s holds the sub-transform of residue rev3(m) and takes the
// twiddle W_8s^(rev3(m) j); outputs in natural order.
template <typename B>
inline void SplitButterfly8(const float* zr, const float* zi, int32_t k, int32_t s, const float* t,
                            int32_t j, Cx<B>* out) {
  static constexpr int32_t kRev3[8] = {0, 4, 2, 6, 1, 5, 3, 7};
  out[0] = LoadCx<B>(zr, zi, k);
  for (int32_t m = 1; m < 8; ++m) {
    const int32_t p = kRev3[m];
    out[p] = MulConj<B>(LoadCx<B>(zr, zi, k + m * s), LoadHeld<B>(t + 2 * (p - 1) * s + j),
                        LoadHeld<B>(t + (2 * p - 1) * s + j));
  }
  Dft8<B>(out);
}

// Last radix-4 pass (span s = E/4) with the post-twiddle and the
// unfolding.  The butterflies at j and jj = s - 8 - j give the blocks j,
// j + s, jj, jj + s (below E/2) and their mirrors jj + 3s, jj + 2s, j + 3s,
// j + 2s.
template <typename B, int32_t kN, typename Lo, typename Hi>
inline void SplitLastPass(const float* zr, const float* zi, int32_t n_var, const float* tw,
                          const float* t, Lo lo, Hi hi) {
  const int32_t n = kN ? kN : n_var, e = n / 4, s = e / 4;
  for (int32_t j = 0; j < s / 2; j += 8) {
    const int32_t jj = s - 8 - j;
    Cx<B> a[4], b[4];
    SplitButterfly<B>(zr, zi, j, s, LoadTw4<B>(t, s, j), a);
    SplitButterfly<B>(zr, zi, jj, s, LoadTw4<B>(t, s, jj), b);
    for (int32_t m = 0; m < 4; ++m) {
      a[m] = MulConj<B>(a[m], LoadHeld<B>(tw + j + m * s), LoadHeld<B>(tw + e + j + m * s));
      b[m] = MulConj<B>(b[m], LoadHeld<B>(tw + jj + m * s), LoadHeld<B>(tw + e + jj + m * s));
    }
    SplitUnfold<B>(n, j, a[0], b[3], lo, hi);
    SplitUnfold<B>(n, j + s, a[1], b[2], lo, hi);
    SplitUnfold<B>(n, jj, b[0], a[3], lo, hi);
    SplitUnfold<B>(n, jj + s, b[1], a[2], lo, hi);
  }
}

// Last pass of E = 64 (N = 256): one radix-8 butterfly of span 8, with the
// post-twiddle and the unfolding; block m pairs with its mirror 7 - m.
template <typename B, typename Lo, typename Hi>
inline void SplitLastPass8(const float* zr, const float* zi, const float* tw, const float* t, Lo lo,
                           Hi hi) {
  constexpr int32_t kE = 64, kS = 8;
  Cx<B> a[8];
  SplitButterfly8<B>(zr, zi, 0, kS, t, 0, a);
  for (int32_t m = 0; m < 8; ++m) {
    a[m] = MulConj<B>(a[m], LoadHeld<B>(tw + m * kS), LoadHeld<B>(tw + kE + m * kS));
  }
  for (int32_t m = 0; m < 4; ++m) SplitUnfold<B>(4 * kE, m * kS, a[m], a[7 - m], lo, hi);
}

// Inverse MDCT of N >= 256 (power of two): the N outputs go to lo(i, v)
// (i < N/2) and hi(i - N/2, v), eight at a time, for each index the first
// half's before the second half's.  Returns false for the lengths it leaves
// to the reference kernel.
template <typename V, int32_t kN, typename Lo, typename Hi>
inline bool InvCoreOf(const MdctSpec* spec, const float* x, Dsp32fc* zc, Lo lo, Hi hi) {
  using B = typename V::Block;
  const int32_t n = kN ? kN : spec->n, e = n / 4;
  if (!spec->split || !spec->fft) return false;
  float* zr = &zc->re;
  float* zi = zr + e;
  const float* tw = spec->split;
  SplitFirstPass<B, kN>(x, n, tw, spec->fft->bitrev, zr, zi);
  const float* t = tw + 2 * e;
  if (kN == 2048) {  // spans 8 and 32, then the last pass
    static_assert(MdctSplitRadix(512, 8) == 4 && MdctSplitRadix(512, 32) == 4);
    SplitRadix4<B, 8>(zr, zi, e, 8, t);
    SplitRadix4<B, 32>(zr, zi, e, 32, t + 6 * 8);
    t += 6 * 8 + 6 * 32;
  } else {
    int32_t s = 8;
    for (int32_t r = MdctSplitRadix(e, s); s * r < e; s *= r, r = MdctSplitRadix(e, s)) {
      if (r == 2) {
        SplitRadix2<B>(zr, zi, e, s, t);
      } else {
        SplitRadix4<B, 0>(zr, zi, e, s, t);
      }
      t += 2 * (r - 1) * s;
    }
  }
  if (e == 64) {
    SplitLastPass8<B>(zr, zi, tw, t, lo, hi);
  } else {
    SplitLastPass<B, kN>(zr, zi, n, tw, t, lo, hi);
  }
  return true;
}

// Inverse MDCT of the mixed-radix lengths (N = 1920, 240) on interleaved
// complex vectors: the pre-twiddle (a + j b)(c - j s) of a = x[2i], b =
// x[N/2-1-2i] and the post-twiddle u + j v = f[k] (c - j s) are the
// reference kernel's products (V::CMul); the unfolding pairs block k0 < E/2
// with its mirror m0 = E - kC - k0 as SplitUnfold does (m = E - 1 - k):
//   y[N/4 + 2k] = v_k,  y[N/4 + 1 + 2k] = -u_m,  y[N/4 - 1 - 2k] = -v_k,
//   y[N/4 - 2 - 2k] = u_m, and in the second half -u_k, v_m, -u_k, v_m.
// lo/hi take vectors, lo1/hi1 single values: the k below E/2 that no whole
// block pairs with its mirror (E/2 mod kC of them: N = 240 with four
// complex values per vector) go one by one.  Each index gets its first
// half's output before its second half's.  Returns false when E is not a
// multiple of kC (the reference runs).
template <typename V, typename Lo, typename Hi, typename Lo1, typename Hi1>
inline bool MixedInvCore(const MdctSpec* spec, const float* x, Dsp32fc* zc, Lo lo, Hi hi, Lo1 lo1,
                         Hi1 hi1) {
  constexpr int32_t kC = V::kComplex;
  const int32_t n = spec->n, e = n / 4, h = e / 2;
  if (!spec->mixed || e % kC != 0) return false;
  const float *tc = spec->twiddle, *ts = tc + n / 2;
  float* z = &zc->re;
  const auto pre = [&](int32_t i) {
    const auto ab = V::EvenWithRevOdd(V::Load(x + 2 * i), V::Load(x + n / 2 - 2 * kC - 2 * i));
    return V::CMul(ab, V::Load(tc + 2 * i), V::Load(ts + 2 * i));
  };
  for (int32_t i = 0; i < e; i += kC) V::Store(z + 2 * i, pre(i));
  fft_mixed_vec::MixedFftCore<V>(spec->mixed, zc, zc + e);
  const float* f = z + 2 * e;
  const auto post = [&](int32_t k) {
    return V::CMul(V::Load(f + 2 * k), V::Load(tc + 2 * k), V::Load(ts + 2 * k));
  };
  int32_t k0 = 0;
  for (; k0 + kC <= h; k0 += kC) {
    const auto a = post(k0);
    const auto r = V::RevC(post(e - kC - k0));  // (u_m, v_m) for m = E-1-k0, E-2-k0, ...
    const auto na = V::Neg(a), nr = V::Neg(r);
    const int32_t up = n / 4 + 2 * k0, down = n / 4 - 2 * kC - 2 * k0;
    const auto h_up = V::BlendEvenOdd(na, r);   // (-u_k, v_m)
    lo(up, V::Swap(V::BlendEvenOdd(nr, a)));    // (v_k, -u_m)
    lo(down, V::RevC(V::BlendEvenOdd(r, na)));  // (u_m, -v_k), descending k
    hi(up, h_up);
    hi(down, V::RevC(V::Swap(h_up)));  // (v_m, -u_k), descending k
  }
  if (k0 < h) {
    // The middle block k0 .. k0 + kC - 1 holds these k and their mirrors.
    alignas(32) float uv[2 * kC];
    V::Store(uv, post(k0));
    for (int32_t k = k0; k < h; ++k) {
      const int32_t m = e - 1 - k;
      const float uk = uv[2 * (k - k0)], vk = uv[2 * (k - k0) + 1];
      const float um = uv[2 * (m - k0)], vm = uv[2 * (m - k0) + 1];
      lo1(n / 4 + 2 * k, vk);
      lo1(n / 4 + 1 + 2 * k, -um);
      lo1(n / 4 - 1 - 2 * k, -vk);
      lo1(n / 4 - 2 - 2 * k, um);
      hi1(n / 4 + 2 * k, -uk);
      hi1(n / 4 + 1 + 2 * k, vm);
      hi1(n / 4 - 1 - 2 * k, -uk);
      hi1(n / 4 - 2 - 2 * k, vm);
    }
  }
  return true;
}

// The long and short windows' lengths as constants: the offsets of the
// blocks, twiddles and the unfolding's eight streams fold into addresses
// instead of taking registers.
template <typename V, typename Lo, typename Hi>
inline bool InvCore(const MdctSpec* spec, const float* x, Dsp32fc* zc, Lo lo, Hi hi) {
  switch (spec->n) {
    case 2048:
      return InvCoreOf<V, 2048>(spec, x, zc, lo, hi);
    case 256:
      return InvCoreOf<V, 256>(spec, x, zc, lo, hi);
    default:
      return InvCoreOf<V, 0>(spec, x, zc, lo, hi);
  }
}

template <typename V>
void MdctInvCore(const MdctSpec* spec, const float* x, float* y, Dsp32fc* zc) {
  using B = typename V::Block;
  float* upper = y + spec->n / 2;
  if (InvCore<V>(
          spec, x, zc, [y](int32_t i, typename B::T v) { B::Store(y + i, v); },
          [upper](int32_t i, typename B::T v) { B::Store(upper + i, v); })) {
    return;
  }
  if (!MixedInvCore<V>(
          spec, x, zc, [y](int32_t i, typename V::F v) { V::Store(y + i, v); },
          [upper](int32_t i, typename V::F v) { V::Store(upper + i, v); },
          [y](int32_t i, float v) { y[i] = v; }, [upper](int32_t i, float v) { upper[i] = v; })) {
    dsp_generic::MdctInvCore(spec, x, y, zc, fft_mixed_vec::MixedFftCore<V>);
  }
}

// The inverse MDCT with its window and overlap-add (MdctOverlap): one
// multiply, then one add, per sample, as the reference kernel rounds.
template <typename V>
void MdctInvOverlapCore(const MdctSpec* spec, const float* x, const MdctOverlap& o, Dsp32fc* zc) {
  using B = typename V::Block;
  const float *rise = o.rise, *prev = o.prev, *fall = o.fall;
  float *out = o.out, *next = o.next;
  if (InvCore<V>(
          spec, x, zc,
          [=](int32_t i, typename B::T v) {
            B::Store(out + i, B::Add(B::Mul(v, B::Load(rise + i)), B::Load(prev + i)));
          },
          [=](int32_t i, typename B::T v) { B::Store(next + i, B::Mul(v, B::Load(fall + i))); })) {
    return;
  }
  if (!MixedInvCore<V>(
          spec, x, zc,
          [=](int32_t i, typename V::F v) {
            V::Store(out + i, V::Add(V::Mul(v, V::Load(rise + i)), V::Load(prev + i)));
          },
          [=](int32_t i, typename V::F v) { V::Store(next + i, V::Mul(v, V::Load(fall + i))); },
          [=](int32_t i, float v) {
            const float p = v * rise[i];
            out[i] = p + prev[i];
          },
          [=](int32_t i, float v) { next[i] = v * fall[i]; })) {
    dsp_generic::MdctInvOverlapCore(spec, x, o, zc, fft_mixed_vec::MixedFftCore<V>);
  }
}

// Forward MDCT: the folded pairs (a + j d) for m < E/2 and (d + j a) above,
// times (c - j s), go straight into the first pass; after the FFT
// (P + j Q) = z[l] (c - j s) gives X[2l] = P and X[N/2-1-2l] = -Q.
template <typename V>
void MdctFwdCore(const MdctSpec* spec, const float* x, float* y, Dsp32fc* zc) {
  const int32_t n = spec->n, e = n / 4, h = e / 2;
  if (!spec->fft || !VectorLength<V>(e)) {
    dsp_generic::MdctFwdCore(spec, x, y, zc, fft_mixed_vec::MixedFftCore<V>);
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
