// Fast QMF bank kernels, written once over a lane type (simd_*.h, or the
// scalar one below) and compiled per instruction set (sbr_qmf.cpp generic,
// sbr_qmf_<isa>.cpp).
//
// The banks run L time slots at once: each vector lane belongs to one slot,
// so every transform step is plain vertical arithmetic with no shuffles; the
// only cross-lane work is an L x L transpose on the way in and out.  Slots
// left over after the last full group of L go through the scalar form of the
// same code.
//
// Everything here has internal linkage: each including translation unit gets
// its own copy built with its own target flags.
//
// A lane type V provides: F, kLanes, Zero, Set1, Load, Store (unaligned),
// Add, Sub, Mul, and Transpose(F rows[kLanes]); with Fma (AVX2) the
// window sums fuse their multiply-adds, which rounds less and differs from
// the generic kernels in the last bits.
#pragma once

#include <cstdint>
#include <cstring>

#include "dsp/dsp_kernels.h"
#include "dsp/simd_scalar.h"
#include "sbr/sbr_tables.h"

namespace {

constexpr int kQmfHistoryRows = 9;  // slots of history the windows reach back
constexpr int kQmfChunk = 32;       // slots per pass through the work arrays
constexpr int kQmfRowStride = kQmfHistoryRows + kQmfChunk;

constexpr int BitReverse(int v, int bits) {
  int r = 0;
  for (int i = 0; i < bits; ++i) r |= ((v >> i) & 1) << (bits - 1 - i);
  return r;
}

constexpr int Log2(int n) {
  return n <= 1 ? 0 : 1 + Log2(n / 2);
}

// acc + a b: fused where the lane type offers it.
template <class V>
[[gnu::always_inline]] inline typename V::F Mac(typename V::F acc, typename V::F a,
                                                typename V::F b) {
  if constexpr (requires { V::Fma(acc, a, b); }) {
    return V::Fma(acc, a, b);
  } else {
    return V::Add(acc, V::Mul(a, b));
  }
}

// In-place forward FFT (exp(-2 pi i lm / N)) of N = 16 or 32 lane vectors
// given in bit-reversed order.
template <class V, int N>
inline void FftBitReversed(typename V::F* re, typename V::F* im) {
  using T = typename V::F;
  for (int len = 2; len <= N; len <<= 1) {
    const int half = len >> 1, step = 32 / len;
    for (int b = 0; b < N; b += len) {
      for (int j = 0; j < half; ++j) {
        T* ar = re + b + j;
        T* ai = im + b + j;
        const T br = ar[half], bi = ai[half];
        T tr = br, ti = bi;
        if (j != 0) {
          const T wr = V::Set1(kSbrFftTwiddle32[j * step][0]);
          const T wi = V::Set1(kSbrFftTwiddle32[j * step][1]);
          tr = V::Sub(V::Mul(br, wr), V::Mul(bi, wi));
          ti = V::Add(V::Mul(br, wi), V::Mul(bi, wr));
        }
        ar[half] = V::Sub(*ar, tr);
        ai[half] = V::Sub(*ai, ti);
        *ar = V::Add(*ar, tr);
        *ai = V::Add(*ai, ti);
      }
    }
  }
}

// A complex lane vector pair.
template <class V>
struct Cx {
  typename V::F r, i;
};

// Four-point forward DFT in place.
template <class V>
[[gnu::always_inline]] inline void Dft4(Cx<V>& a0, Cx<V>& a1, Cx<V>& a2, Cx<V>& a3) {
  const Cx<V> t0{V::Add(a0.r, a2.r), V::Add(a0.i, a2.i)};
  const Cx<V> t1{V::Sub(a0.r, a2.r), V::Sub(a0.i, a2.i)};
  const Cx<V> t2{V::Add(a1.r, a3.r), V::Add(a1.i, a3.i)};
  const Cx<V> t3{V::Sub(a1.r, a3.r), V::Sub(a1.i, a3.i)};
  a0 = {V::Add(t0.r, t2.r), V::Add(t0.i, t2.i)};
  a2 = {V::Sub(t0.r, t2.r), V::Sub(t0.i, t2.i)};
  a1 = {V::Add(t1.r, t3.i), V::Sub(t1.i, t3.r)};  // t1 - i t3
  a3 = {V::Sub(t1.r, t3.i), V::Add(t1.i, t3.r)};  // t1 + i t3
}

template <class V>
[[gnu::always_inline]] inline Cx<V> CMul(const Cx<V>& a, float wr, float wi) {
  const typename V::F cr = V::Set1(wr), ci = V::Set1(wi);
  return {V::Sub(V::Mul(a.r, cr), V::Mul(a.i, ci)), V::Add(V::Mul(a.r, ci), V::Mul(a.i, cr))};
}

// Forward 32-point FFT (exp(-2 pi i nk / 32)) as 4 x 8: with n = 8 n1 + n2
// and k = k1 + 4 k2, four-point DFTs over n1, the twiddles W32^(n2 k1), then
// eight-point DFTs over n2.  Two passes through memory instead of five
// radix-2 stages, and no run-time index arithmetic.  load(n) gives input n
// (pre-twiddled by the caller), store(k, X) takes output k.
template <class V, class Load, class Store>
[[gnu::always_inline]] inline void Fft32(Load load, Store store) {
  using T = typename V::F;
  Cx<V> mid[4][8];
#pragma GCC unroll 8
  for (int n2 = 0; n2 < 8; ++n2) {
    Cx<V> a0 = load(n2), a1 = load(8 + n2), a2 = load(16 + n2), a3 = load(24 + n2);
    Dft4<V>(a0, a1, a2, a3);
    mid[0][n2] = a0;
    const Cx<V>* const a[4] = {&a0, &a1, &a2, &a3};
#pragma GCC unroll 4
    for (int k1 = 1; k1 < 4; ++k1) {
      const int j = n2 * k1;  // W32^j, j < 22; W32^(j) = -i W32^(j - 8) from 16 on
      if (j == 0) {
        mid[k1][n2] = *a[k1];
      } else if (j < 16) {
        mid[k1][n2] = CMul<V>(*a[k1], kSbrFftTwiddle32[j][0], kSbrFftTwiddle32[j][1]);
      } else {
        mid[k1][n2] = CMul<V>(*a[k1], kSbrFftTwiddle32[j - 8][1], -kSbrFftTwiddle32[j - 8][0]);
      }
    }
  }
  const T h = V::Set1(0.707106769f);
#pragma GCC unroll 4
  for (int k1 = 0; k1 < 4; ++k1) {
    const Cx<V>* b = mid[k1];
    Cx<V> e0 = b[0], e1 = b[2], e2 = b[4], e3 = b[6];
    Cx<V> o0 = b[1], o1 = b[3], o2 = b[5], o3 = b[7];
    Dft4<V>(e0, e1, e2, e3);
    Dft4<V>(o0, o1, o2, o3);
    // W8 o1, -i o2, W8^3 o3.
    o1 = {V::Mul(h, V::Add(o1.r, o1.i)), V::Mul(h, V::Sub(o1.i, o1.r))};
    o2 = {o2.i, V::Sub(V::Zero(), o2.r)};
    o3 = {V::Mul(h, V::Sub(o3.i, o3.r)), V::Sub(V::Zero(), V::Mul(h, V::Add(o3.r, o3.i)))};
    const Cx<V> e[4] = {e0, e1, e2, e3}, o[4] = {o0, o1, o2, o3};
#pragma GCC unroll 4
    for (int k2 = 0; k2 < 4; ++k2) {
      store(k1 + 4 * k2, Cx<V>{V::Add(e[k2].r, o[k2].r), V::Add(e[k2].i, o[k2].i)});
      store(k1 + 4 * k2 + 16, Cx<V>{V::Sub(e[k2].r, o[k2].r), V::Sub(e[k2].i, o[k2].i)});
    }
  }
}

// Moves between L rows and lane vectors: Load gives z[i] lane l = rows[l][q + i]
// for i < L, Store the reverse.  Instruction sets may specialise it.
template <class V>
struct QmfRows {
  static void Load(const float* const* rows, int q, typename V::F* z) {
    for (int l = 0; l < V::kLanes; ++l) z[l] = V::Load(rows[l] + q);
    V::Transpose(z);
  }
  static void Store(typename V::F* z, int q, float* const* rows) {
    V::Transpose(z);
    for (int l = 0; l < V::kLanes; ++l) V::Store(rows[l] + q, z[l]);
  }
};

// Writes lane vectors z[0..n) (n a multiple of L) to the L rows
// rows[l] + [0..n): lane l of z[i] goes to rows[l][i].  z is scratch: it is
// transposed in place rather than copied first.
template <class V>
inline void StoreTransposed(typename V::F* z, int n, float* const* rows) {
  for (int q = 0; q < n; q += V::kLanes) QmfRows<V>::Store(z + q, q, rows);
}

// The reverse: z[i] lane l = rows[l][i].
template <class V>
inline void LoadTransposed(const float* const* rows, int n, typename V::F* z) {
  for (int q = 0; q < n; q += V::kLanes) QmfRows<V>::Load(rows, q, z + q);
}

// ---- 32-band analysis -----------------------------------------------------------
//
// u(n) = sum_j x(n + 64j) c[2(n + 64j)] over the 320 newest samples x
// (x(0) newest), then the complex bank W(k) = 2 sum_n u(n) exp(i pi (k + 1/2)
// (2n - 1/2) / 64).  With E and O the odd-frequency transforms of the even
// and odd u(n), one 32-point FFT of (u(2m) - i u(2m+1)) exp(-i pi m / 32)
// gives F(k) = conj(E(k) + i O(k)), and W(k) = a(k) conj(F(k)) + b(k)
// F(31 - k).  The real-valued bank, 2 sum_n u(n) cos(pi (k + 1/2)(2n - 96)
// / 64), is the real part of W(k) exp(-i pi (k + 1/2) 47.75 / 32), folded
// into the post-twiddles.
//
// `samples` is the sample matrix transposed: samples[i * kQmfRowStride + r]
// is sample 32 r + i of the time line that starts 288 samples before the
// chunk, so one load fetches the same tap of L consecutive slots.
//
// The window sums u of `groups` groups of L slots from `slot` go to
// u[64 g + n], tap by tap: each window value is broadcast once for all of
// them.
template <class V>
inline void AnalysisWindow(const float* samples, int32_t slot, int32_t groups, const float* window,
                           typename V::F* u) {
  using T = typename V::F;
  for (int n = 0; n < 64; ++n) {
    const int i = n < 32 ? 31 - n : 63 - n;
    const float* x = samples + i * kQmfRowStride + (n < 32 ? 9 : 8) + slot;
    T w[5];
#pragma GCC unroll 5
    for (int j = 0; j < 5; ++j) w[j] = V::Set1(window[n + 64 * j]);
    for (int32_t g = 0; g < groups; ++g, x += V::kLanes) {
      T acc = V::Zero();
#pragma GCC unroll 5
      for (int j = 0; j < 5; ++j) acc = Mac<V>(acc, V::Load(x - 2 * j), w[j]);
      u[64 * g + n] = acc;
    }
  }
}

// The bank from the window sums u[0..64) of one group of slots.
template <class V, bool kReal>
inline void AnalysisGroup(const typename V::F* u, int32_t slot, int32_t kx, float* const* out) {
  using T = typename V::F;
  T re[32], im[32];
  Fft32<V>(
      [&](int m) {
        const T zr = u[2 * m], zi = u[2 * m + 1];  // z = zr - i zi
        const T pr = V::Set1(kSbrAnalysisPre[m][0]), pi = V::Set1(kSbrAnalysisPre[m][1]);
        return Cx<V>{V::Add(V::Mul(zr, pr), V::Mul(zi, pi)),
                     V::Sub(V::Mul(zr, pi), V::Mul(zi, pr))};
      },
      [&](int k, const Cx<V>& f) {
        re[k] = f.r;
        im[k] = f.i;
      });
  constexpr int kValues = kReal ? 32 : 64;
  const float(*post_a)[2] = kReal ? kSbrAnalysisRealA : kSbrAnalysisPostA;
  const float(*post_b)[2] = kReal ? kSbrAnalysisRealB : kSbrAnalysisPostB;
  T z[kValues];
#pragma GCC unroll 32
  for (int k = 0; k < 32; ++k) {
    T zr = V::Zero(), zi = V::Zero();
    if (k < kx) {
      const T ar = V::Set1(post_a[k][0]), ai = V::Set1(post_a[k][1]);
      const T br = V::Set1(post_b[k][0]), bi = V::Set1(post_b[k][1]);
      const T fr = re[k], fi = im[k];  // conj(F(k)) = fr - i fi
      const T gr = re[31 - k], gi = im[31 - k];
      zr = V::Add(V::Add(V::Mul(ar, fr), V::Mul(ai, fi)), V::Sub(V::Mul(br, gr), V::Mul(bi, gi)));
      if (!kReal) {
        zi = V::Add(V::Sub(V::Mul(ai, fr), V::Mul(ar, fi)), V::Add(V::Mul(br, gi), V::Mul(bi, gr)));
      }
    }
    if (kReal) {
      z[k] = zr;
    } else {
      z[2 * k] = zr;
      z[2 * k + 1] = zi;
    }
  }
  StoreTransposed<V>(z, kValues, out + slot);
}

// ---- synthesis, N = 64 or 32 bands --------------------------------------------------
//
// An N-point DCT-IV, D(n) = sum_k x(k) cos(pi (k + 1/2)(n + 1/2) / N), is one
// N/2-point complex FFT: z(m) = x(2m) + i x(N-1-2m), pre-twiddled by
// exp(-i pi m / N) and post-twiddled by exp(-i pi (p + 1/4) / N) (with the
// banks' 1/64), gives D(2p) = Re and D(N-1-2p) = -Im.  x(k) = base[stride k].
// put(n, D(n)) receives the outputs; with kNegOdd the odd outputs come
// negated (the DST-IV).
template <class V, int N, bool kNegOdd, class Put>
[[gnu::always_inline]] inline void DctIv(const typename V::F* base, int stride, Put put) {
  static_assert(N == 64, "twiddles are tabulated for 64 points");
  using T = typename V::F;
  const float(*pre)[2] = kSbrDct64Pre;
  const float(*post)[2] = kSbrDct64Post;
  Fft32<V>(
      [&](int m) {
        const T pr = V::Set1(pre[m][0]), pi = V::Set1(pre[m][1]);
        const T ar = base[stride * (2 * m)], ai = base[stride * (N - 1 - 2 * m)];
        return Cx<V>{V::Sub(V::Mul(ar, pr), V::Mul(ai, pi)),
                     V::Add(V::Mul(ar, pi), V::Mul(ai, pr))};
      },
      [&](int p, const Cx<V>& f) {
        const T qr = V::Set1(post[p][0]), qi = V::Set1(post[p][1]);
        put(2 * p, V::Sub(V::Mul(f.r, qr), V::Mul(f.i, qi)));
        const T odd = V::Add(V::Mul(f.r, qi), V::Mul(f.i, qr));
        put(N - 1 - 2 * p, kNegOdd ? odd : V::Sub(V::Zero(), odd));
      });
}

// DCT-II of N = 64 or 32 points, y(j) = sum_k x(k) cos(pi (k + 1/2) j / N)
// for j = 0..N (y(N) = 0), with the real banks' gain 1/32: the input is
// reordered to v(n) = x(2n), v(N-1-n) = x(2n+1), taken as N/2 complex
// values v(2m) + i v(2m+1) through one forward FFT, and unfolded by the
// tabulated post-twiddles (see tools/tablegen/sbr.py).
template <class V, int N>
inline void DctII(const typename V::F* x, typename V::F* y) {
  using T = typename V::F;
  constexpr int H = N / 2;
  const float(*alpha)[2] = N == 64 ? kSbrRealSynthesis64Alpha : kSbrRealSynthesis32Alpha;
  const float(*beta)[2] = N == 64 ? kSbrRealSynthesis64Beta : kSbrRealSynthesis32Beta;
  auto v = [x](int n) { return n < H ? x[2 * n] : x[2 * (N - 1 - n) + 1]; };
  T re[H], im[H];
  for (int m = 0; m < H; ++m) {
    const int at = BitReverse(m, Log2(H));
    re[at] = v(2 * m);
    im[at] = v(2 * m + 1);
  }
  FftBitReversed<V, H>(re, im);
  for (int j = 0; j <= H; ++j) {
    const int a = j % H, b = (H - j) % H;  // Z(j) and conj(Z(N/2 - j))
    const T pr = V::Add(re[a], re[b]), pi = V::Sub(im[a], im[b]);
    const T qr = V::Sub(re[a], re[b]), qi = V::Add(im[a], im[b]);
    const T ar = V::Set1(alpha[j][0]), ai = V::Set1(alpha[j][1]);
    const T br = V::Set1(beta[j][0]), bi = V::Set1(beta[j][1]);
    y[j] = V::Add(V::Sub(V::Mul(ar, pr), V::Mul(ai, pi)), V::Sub(V::Mul(br, qr), V::Mul(bi, qi)));
    if (j != H) {
      const T w_im =
          V::Add(V::Add(V::Mul(ar, pi), V::Mul(ai, pr)), V::Add(V::Mul(br, qi), V::Mul(bi, qr)));
      y[N - j] = V::Sub(V::Zero(), w_im);
    }
  }
}

// v(n), n < 2N, of one group of slots into column `col` of the transposed
// delay matrix (vt[n * kQmfRowStride + col]).
//
// Complex, 64 bands: v(n) = (1/64) sum_k Re(X(k) exp(i pi (k + 1/2)(2n - 255)
// / 128)) is -(C(n) - S(n)) for n < 64 and C(m) + S(m) at n = 127 - m, with
// C the DCT-IV of Re X and S the DST-IV of Im X (the DCT-IV of the reversed
// input with alternating output signs), the 1/64 folded into the DCT-IV.
// Complex, 32 bands: the same modulation over the 32 bands (the upper 32
// are zero) taken at even n, so the downsampled output is exactly every
// second sample of the full-rate one.
//
// Real: v(n) = (1/32) sum_k X(k) cos(pi (k + 1/2)(2n - N) / (2N)) is y(n - N/2)
// of the DCT-II, extended by y(-j) = y(j) and y(2N - j) = -y(j).
template <class V, int N, bool kReal>
inline void SynthesisModulation(const float* const* in, int32_t slot, float* col) {
  using T = typename V::F;
  constexpr int kValues = kReal ? N : 2 * N;
  T x[kReal ? N : 128];
  LoadTransposed<V>(in + slot, kValues, x);
  if constexpr (kReal) {
    T y[N + 1];
    DctII<V, N>(x, y);
    for (int n = 0; n < 2 * N; ++n) {
      const int j = n - N / 2;
      const T v = j < 0 ? y[-j] : (j <= N ? y[j] : V::Sub(V::Zero(), y[2 * N - j]));
      V::Store(col + n * kQmfRowStride, v);
    }
  } else {
    for (int i = kValues; i < 128; ++i) x[i] = V::Zero();
    T c[64];
    DctIv<V, 64, false>(x, 2, [&](int n, T v) { c[n] = v; });
    // S(n) as it comes, combined with C(n) straight into the delay matrix.
    constexpr int kStep = 64 / N;  // 1, or 2: even n only
    DctIv<V, 64, true>(x + 127, -2, [&](int n, T sn) {
      if (n % kStep == 0) V::Store(col + (n / kStep) * kQmfRowStride, V::Sub(sn, c[n]));
      if (n % kStep == kStep - 1) {  // v(127 - n)
        V::Store(col + ((127 - n) / kStep) * kQmfRowStride, V::Add(c[n], sn));
      }
    });
  }
}

// out(k) = sum_j v_{-2j}(k) w(2Nj + k) + v_{-2j-1}(N + k) w(2Nj + N + k).
// For `groups` groups of L slots from `slot`, into o[N g + k], tap by tap:
// each window value is broadcast once for all of them.
template <class V, int N>
inline void SynthesisWindow(const float* vt, int32_t slot, int32_t groups, const float* window,
                            typename V::F* o) {
  using T = typename V::F;
  for (int k = 0; k < N; ++k) {
    T w[10];
#pragma GCC unroll 5
    for (int j = 0; j < 5; ++j) {
      w[2 * j] = V::Set1(window[2 * N * j + k]);
      w[2 * j + 1] = V::Set1(window[2 * N * j + N + k]);
    }
    const float* col = vt + kQmfHistoryRows + slot;
    for (int32_t g = 0; g < groups; ++g, col += V::kLanes) {
      T acc = V::Zero();
#pragma GCC unroll 5
      for (int j = 0; j < 5; ++j) {
        acc = Mac<V>(acc, V::Load(col + k * kQmfRowStride - 2 * j), w[2 * j]);
        acc = Mac<V>(acc, V::Load(col + (N + k) * kQmfRowStride - 2 * j - 1), w[2 * j + 1]);
      }
      o[N * g + k] = acc;
    }
  }
}

template <class V, int N>
inline void StoreSlots(typename V::F* o, int32_t slot, float* out) {
  float* rows[V::kLanes];
  for (int l = 0; l < V::kLanes; ++l) rows[l] = out + N * (slot + l);
  StoreTransposed<V>(o, N, rows);
}

// ---- drivers over any number of slots -------------------------------------------------

// samples[i * kQmfRowStride + r] = row(r)[i] for r < rows, i < 32: whole
// L x L blocks through the lane transpose, the rows left over one by one.
template <class V, class Row>
inline void TransposeRows(Row row, int rows, float* samples) {
  constexpr int L = V::kLanes;
  int r0 = 0;
  for (; r0 + L <= rows; r0 += L) {
    const float* src[L];
    for (int l = 0; l < L; ++l) src[l] = row(r0 + l);
    for (int q = 0; q < 32; q += L) {
      typename V::F z[L];
      QmfRows<V>::Load(src, q, z);
#pragma GCC unroll 8
      for (int i = 0; i < L; ++i) V::Store(samples + (q + i) * kQmfRowStride + r0, z[i]);
    }
  }
  for (; r0 < rows; ++r0) {
    const float* src = row(r0);
    for (int i = 0; i < 32; ++i) samples[i * kQmfRowStride + r0] = src[i];
  }
}

// delay: the 288 newest samples before `in`, oldest first (updated).
template <class V, bool kReal>
void Analysis(float* delay, const float* in, float* const* out, int32_t slots, int32_t kx,
              const float* window) {
  alignas(32) float samples[32 * kQmfRowStride];
  typename V::F u[64 * (kQmfChunk / V::kLanes)];
  for (int32_t done = 0; done < slots; done += kQmfChunk) {
    const int32_t n = slots - done < kQmfChunk ? slots - done : kQmfChunk;
    const float* chunk = in + 32 * done;
    auto row = [&](int r) {
      return r < kQmfHistoryRows ? delay + 32 * r : chunk + 32 * (r - kQmfHistoryRows);
    };
    TransposeRows<V>(row, kQmfHistoryRows + n, samples);
    const int32_t groups = n / V::kLanes;
    AnalysisWindow<V>(samples, 0, groups, window, u);
    for (int32_t g = 0; g < groups; ++g) {
      AnalysisGroup<V, kReal>(u + 64 * g, g * V::kLanes, kx, out + done);
    }
    for (int32_t s = groups * V::kLanes; s < n; ++s) {
      float us[64];
      AnalysisWindow<LaneScalar>(samples, s, 1, window, us);
      AnalysisGroup<LaneScalar, kReal>(us, s, kx, out + done);
    }
    // The nine newest rows, straight from their sources: a delay row only
    // moves down (n + r > r), so rows are read before they are replaced.
    for (int r = 0; r < kQmfHistoryRows; ++r) std::memmove(delay + 32 * r, row(n + r), 128);
  }
}

// The nine history values of one row of v: one vector and one float where
// the lanes are eight wide (two 16-byte moves and a float otherwise).
template <class V>
[[gnu::always_inline]] inline void CopyHistoryRow(float* dst, const float* src) {
  static_assert(kQmfHistoryRows == 9);
  if constexpr (V::kLanes == 8) {
    V::Store(dst, V::Load(src));
    dst[8] = src[8];
  } else {
    std::memcpy(dst, src, sizeof(float) * kQmfHistoryRows);
  }
}

// delay: v of the nine slots before `in`, transposed (delay[n * 9 + r], r = 8
// newest), updated.  Writes N samples per slot to out.
template <class V, int N, bool kReal>
void Synthesis(float* delay, const float* const* in, float* out, int32_t slots,
               const float* window) {
  alignas(32) float vt[2 * N * kQmfRowStride];
  typename V::F o[N * (kQmfChunk / V::kLanes)];
  for (int32_t done = 0; done < slots; done += kQmfChunk) {
    const int32_t n = slots - done < kQmfChunk ? slots - done : kQmfChunk;
#pragma GCC unroll 4
    for (int i = 0; i < 2 * N; ++i) CopyHistoryRow<V>(vt + i * kQmfRowStride, delay + i * 9);
    // All of the chunk's v first, then the window sums over it.
    const int32_t groups = n / V::kLanes, tail = groups * V::kLanes;
    for (int32_t g = 0; g < groups; ++g) {
      const int32_t s = g * V::kLanes;
      SynthesisModulation<V, N, kReal>(in + done, s, vt + kQmfHistoryRows + s);
    }
    for (int32_t s = tail; s < n; ++s) {
      SynthesisModulation<LaneScalar, N, kReal>(in + done, s, vt + kQmfHistoryRows + s);
    }
    SynthesisWindow<V, N>(vt, 0, groups, window, o);
    for (int32_t g = 0; g < groups; ++g) StoreSlots<V, N>(o + N * g, g * V::kLanes, out + N * done);
    for (int32_t s = tail; s < n; ++s) {
      SynthesisWindow<LaneScalar, N>(vt, s, 1, window, out + N * (done + s));
    }
#pragma GCC unroll 4
    for (int i = 0; i < 2 * N; ++i) CopyHistoryRow<V>(delay + i * 9, vt + i * kQmfRowStride + n);
  }
}

// The six banks over lane type V: the named generic functions, and the
// family table of an instruction set.
template <class V>
void FillQmfKernels(DspQmfKernels& k) {
  k.AnalysisB = Analysis<V, false>;
  k.AnalysisA = Analysis<V, true>;
  k.Synthesis64B = Synthesis<V, 64, false>;
  k.Synthesis32B = Synthesis<V, 32, false>;
  k.Synthesis64A = Synthesis<V, 64, true>;
  k.Synthesis32A = Synthesis<V, 32, true>;
}

#define VX_SBR_QMF_DEFINE(V)                                                                  \
  void AnalysisB(float* delay, const float* in, float* const* out, int32_t slots, int32_t kx, \
                 const float* window) {                                                       \
    Analysis<V, false>(delay, in, out, slots, kx, window);                                    \
  }                                                                                           \
  void AnalysisA(float* delay, const float* in, float* const* out, int32_t slots, int32_t kx, \
                 const float* window) {                                                       \
    Analysis<V, true>(delay, in, out, slots, kx, window);                                     \
  }                                                                                           \
  void Synthesis64B(float* delay, const float* const* in, float* out, int32_t slots,          \
                    const float* window) {                                                    \
    Synthesis<V, 64, false>(delay, in, out, slots, window);                                   \
  }                                                                                           \
  void Synthesis32B(float* delay, const float* const* in, float* out, int32_t slots,          \
                    const float* window) {                                                    \
    Synthesis<V, 32, false>(delay, in, out, slots, window);                                   \
  }                                                                                           \
  void Synthesis64A(float* delay, const float* const* in, float* out, int32_t slots,          \
                    const float* window) {                                                    \
    Synthesis<V, 64, true>(delay, in, out, slots, window);                                    \
  }                                                                                           \
  void Synthesis32A(float* delay, const float* const* in, float* out, int32_t slots,          \
                    const float* window) {                                                    \
    Synthesis<V, 32, true>(delay, in, out, slots, window);                                    \
  }

}  // namespace
