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
// Add, Sub, Mul, and Transpose(F rows[kLanes]).
#pragma once

#include <cstdint>

#include "dsp/dsp_kernels.h"
#include "sbr/sbr_tables.h"

namespace {

// Scalar "vector": one lane.
struct LaneScalar {
  using F = float;
  static constexpr int kLanes = 1;
  static F Zero() { return 0.0f; }
  static F Set1(float v) { return v; }
  static F Load(const float* p) { return *p; }
  static void Store(float* p, F v) { *p = v; }
  static F Add(F a, F b) { return a + b; }
  static F Sub(F a, F b) { return a - b; }
  static F Mul(F a, F b) { return a * b; }
  static void Transpose(F*) {}
};

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

// Writes lane vectors z[0..n) (n a multiple of L) to the L rows
// rows[l] + [0..n): lane l of z[i] goes to rows[l][i].
template <class V>
inline void StoreTransposed(const typename V::F* z, int n, float* const* rows) {
  typename V::F block[V::kLanes];
  for (int q = 0; q < n; q += V::kLanes) {
    for (int l = 0; l < V::kLanes; ++l) block[l] = z[q + l];
    V::Transpose(block);
    for (int l = 0; l < V::kLanes; ++l) V::Store(rows[l] + q, block[l]);
  }
}

// The reverse: z[i] lane l = rows[l][i].
template <class V>
inline void LoadTransposed(const float* const* rows, int n, typename V::F* z) {
  typename V::F block[V::kLanes];
  for (int q = 0; q < n; q += V::kLanes) {
    for (int l = 0; l < V::kLanes; ++l) block[l] = V::Load(rows[l] + q);
    V::Transpose(block);
    for (int l = 0; l < V::kLanes; ++l) z[q + l] = block[l];
  }
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
template <class V, bool kReal>
inline void AnalysisGroup(const float* samples, int32_t slot, const float* window, int32_t kx,
                          float* const* out) {
  using T = typename V::F;
  T u[64];
  for (int n = 0; n < 64; ++n) {
    const int i = n < 32 ? 31 - n : 63 - n;
    const int r = (n < 32 ? 9 : 8) + slot;
    T acc = V::Zero();
    for (int j = 0; j < 5; ++j) {
      const T x = V::Load(samples + i * kQmfRowStride + r - 2 * j);
      acc = V::Add(acc, V::Mul(x, V::Set1(window[n + 64 * j])));
    }
    u[n] = acc;
  }
  T re[32], im[32];
  for (int m = 0; m < 32; ++m) {
    const T zr = u[2 * m], zi = u[2 * m + 1];  // z = zr - i zi
    const T pr = V::Set1(kSbrAnalysisPre[m][0]), pi = V::Set1(kSbrAnalysisPre[m][1]);
    const int at = BitReverse(m, 5);
    re[at] = V::Add(V::Mul(zr, pr), V::Mul(zi, pi));
    im[at] = V::Sub(V::Mul(zr, pi), V::Mul(zi, pr));
  }
  FftBitReversed<V, 32>(re, im);
  constexpr int kValues = kReal ? 32 : 64;
  const float(*post_a)[2] = kReal ? kSbrAnalysisRealA : kSbrAnalysisPostA;
  const float(*post_b)[2] = kReal ? kSbrAnalysisRealB : kSbrAnalysisPostB;
  T z[kValues];
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
template <class V, int N>
inline void DctIv(const typename V::F* base, int stride, typename V::F* d) {
  static_assert(N == 64, "twiddles are tabulated for 64 points");
  using T = typename V::F;
  constexpr int H = N / 2;
  const float(*pre)[2] = kSbrDct64Pre;
  const float(*post)[2] = kSbrDct64Post;
  T re[H], im[H];
  for (int m = 0; m < H; ++m) {
    const T pr = V::Set1(pre[m][0]), pi = V::Set1(pre[m][1]);
    const T ar = base[stride * (2 * m)], ai = base[stride * (N - 1 - 2 * m)];
    const int at = BitReverse(m, Log2(H));
    re[at] = V::Sub(V::Mul(ar, pr), V::Mul(ai, pi));
    im[at] = V::Add(V::Mul(ar, pi), V::Mul(ai, pr));
  }
  FftBitReversed<V, H>(re, im);
  for (int p = 0; p < H; ++p) {
    const T qr = V::Set1(post[p][0]), qi = V::Set1(post[p][1]);
    d[2 * p] = V::Sub(V::Mul(re[p], qr), V::Mul(im[p], qi));
    d[N - 1 - 2 * p] = V::Sub(V::Zero(), V::Add(V::Mul(re[p], qi), V::Mul(im[p], qr)));
  }
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
    T c[64], s[64];
    DctIv<V, 64>(x, 2, c);
    DctIv<V, 64>(x + 127, -2, s);
    for (int n = 1; n < 64; n += 2) s[n] = V::Sub(V::Zero(), s[n]);
    constexpr int kStep = 64 / N;  // 1, or 2: even n only
    for (int n = 0; n < 64; n += kStep) {
      V::Store(col + (n / kStep) * kQmfRowStride, V::Sub(s[n], c[n]));
    }
    for (int m = kStep - 1; m < 64; m += kStep) {  // n = 127 - m
      V::Store(col + ((127 - m) / kStep) * kQmfRowStride, V::Add(c[m], s[m]));
    }
  }
}

// out(k) = sum_j v_{-2j}(k) w(2Nj + k) + v_{-2j-1}(N + k) w(2Nj + N + k).
template <class V, int N, bool kReal>
inline void SynthesisGroup(const float* const* in, int32_t slot, const float* window, float* vt,
                           float* out) {
  using T = typename V::F;
  float* col = vt + kQmfHistoryRows + slot;
  SynthesisModulation<V, N, kReal>(in, slot, col);
  T o[N];
  for (int k = 0; k < N; ++k) {
    T acc = V::Zero();
    for (int j = 0; j < 5; ++j) {
      const T a = V::Load(col + k * kQmfRowStride - 2 * j);
      const T b = V::Load(col + (N + k) * kQmfRowStride - 2 * j - 1);
      acc = V::Add(acc, V::Mul(a, V::Set1(window[2 * N * j + k])));
      acc = V::Add(acc, V::Mul(b, V::Set1(window[2 * N * j + N + k])));
    }
    o[k] = acc;
  }
  float* rows[V::kLanes];
  for (int l = 0; l < V::kLanes; ++l) rows[l] = out + N * (slot + l);
  StoreTransposed<V>(o, N, rows);
}

// ---- drivers over any number of slots -------------------------------------------------

// delay: the 288 newest samples before `in`, oldest first (updated).
template <class V, bool kReal>
void Analysis(float* delay, const float* in, float* const* out, int32_t slots, int32_t kx,
              const float* window) {
  alignas(32) float samples[32 * kQmfRowStride];
  for (int32_t done = 0; done < slots; done += kQmfChunk) {
    const int32_t n = slots - done < kQmfChunk ? slots - done : kQmfChunk;
    const float* chunk = in + 32 * done;
    for (int r = 0; r < kQmfHistoryRows + n; ++r) {
      const float* src = r < kQmfHistoryRows ? delay + 32 * r : chunk + 32 * (r - kQmfHistoryRows);
      for (int i = 0; i < 32; ++i) samples[i * kQmfRowStride + r] = src[i];
    }
    int32_t s = 0;
    for (; s + V::kLanes <= n; s += V::kLanes)
      AnalysisGroup<V, kReal>(samples, s, window, kx, out + done);
    for (; s < n; ++s) AnalysisGroup<LaneScalar, kReal>(samples, s, window, kx, out + done);
    for (int r = 0; r < kQmfHistoryRows; ++r) {
      for (int i = 0; i < 32; ++i) delay[32 * r + i] = samples[i * kQmfRowStride + n + r];
    }
  }
}

// delay: v of the nine slots before `in`, transposed (delay[n * 9 + r], r = 8
// newest), updated.  Writes N samples per slot to out.
template <class V, int N, bool kReal>
void Synthesis(float* delay, const float* const* in, float* out, int32_t slots,
               const float* window) {
  alignas(32) float vt[2 * N * kQmfRowStride];
  for (int32_t done = 0; done < slots; done += kQmfChunk) {
    const int32_t n = slots - done < kQmfChunk ? slots - done : kQmfChunk;
    for (int i = 0; i < 2 * N; ++i) {
      for (int r = 0; r < kQmfHistoryRows; ++r) vt[i * kQmfRowStride + r] = delay[i * 9 + r];
    }
    int32_t s = 0;
    for (; s + V::kLanes <= n; s += V::kLanes) {
      SynthesisGroup<V, N, kReal>(in + done, s, window, vt, out + N * done);
    }
    for (; s < n; ++s)
      SynthesisGroup<LaneScalar, N, kReal>(in + done, s, window, vt, out + N * done);
    for (int i = 0; i < 2 * N; ++i) {
      for (int r = 0; r < kQmfHistoryRows; ++r) delay[i * 9 + r] = vt[i * kQmfRowStride + n + r];
    }
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
