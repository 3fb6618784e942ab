// RLS-LMS cascade predictor of ALS (ISO/IEC 14496-3, 11.6.5) in its exact
// integer form: DPCM stage, RLS stage with a block-floating inverse
// correlation matrix, up to seven NLMS stages and a sign-sign combiner.
#include <cstring>

#include "als/als_internal.h"

namespace {

constexpr int64_t kP0Diagonal = 0x68DB8BAC710Cll;
constexpr int32_t kCombinerInit = 1 << 24;

inline int32_t Wrap32(int64_t v) {
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v)));
}
inline int64_t Shl64(int64_t v, int s) {
  return static_cast<int64_t>(static_cast<uint64_t>(v) << (s & 63));
}
inline int64_t Sar64(int64_t v, int s) {
  return v >> (s & 63);
}
inline uint64_t Abs64(int64_t v) {
  return v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
}
inline int BitLen(uint64_t v) {
  return v ? 64 - __builtin_clzll(v) : 0;
}
// Wrapping 64-bit arithmetic: the reference's sums wrap on extreme input.
inline int64_t AddW(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}
inline int64_t SubW(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}
inline int64_t MulW(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) * static_cast<uint64_t>(b));
}
// Truncating division that cannot trap (x / 0 gives 0, x / -1 wraps).
inline int64_t DivW(int64_t a, int64_t b) {
  if (b == 0) return 0;
  if (b == -1) return static_cast<int64_t>(0 - static_cast<uint64_t>(a));
  return a / b;
}
inline int64_t Clamp(int64_t v, int64_t lo, int64_t hi) {
  return v < lo ? lo : (v > hi ? hi : v);
}

// Views of one channel's flat storage for the current parameters.
struct View {
  int32_t* xl;
  int32_t* h;  // RLS history (M)
  int32_t* w;  // RLS weights (M)
  int32_t* H[kAlsLmsMaxStages];
  int32_t* a[kAlsLmsMaxStages];
  int32_t* cw;  // combiner weights (S + 2)
  int64_t* P;   // M x M
};

View MakeView(AlsRlsLms& st, const AlsRlsParams& p) {
  View v;
  v.xl = &st.history[0];
  v.h = &st.history[1];
  v.w = &st.weights[1];
  int32_t hpos = 1 + p.rls_order, wpos = 1 + p.rls_order;
  for (int32_t j = 0; j < p.stages; ++j) {
    v.H[j] = &st.history[hpos];
    v.a[j] = &st.weights[wpos];
    hpos += p.lms_order[j];
    wpos += p.lms_order[j];
  }
  v.cw = &st.weights[wpos];
  v.P = st.P;
  return v;
}

void MatrixReset(int64_t* P, int32_t M) {
  std::memset(P, 0, sizeof(int64_t) * kAlsRlsMaxOrder * kAlsRlsMaxOrder);
  for (int32_t i = 0; i < M; ++i) P[i * M + i] = kP0Diagonal;
}

void Push(int32_t* hist, int32_t len, int32_t value) {
  if (len <= 0) return;
  std::memmove(hist, hist + 1, sizeof(int32_t) * static_cast<size_t>(len - 1));
  hist[len - 1] = value;
}

// RLS stage update (integer form); returns e1.
int32_t RlsUpdate(int32_t M, int32_t* w, int32_t* h, int64_t* P, int32_t s, int32_t p1,
                  int32_t lam) {
  if (M == 0) return s;
  const int32_t e = Wrap32(int64_t{s} - p1);
  // R1: normalised P h.
  uint64_t T = 0;
  for (int32_t i = 0; i < M; ++i) {
    for (int32_t j = 0; j <= i; ++j) T |= Abs64(P[i * M + j]);
  }
  const int a = 63 - BitLen(T);
  int64_t U[kAlsRlsMaxOrder];
  uint64_t uor = 0;
  for (int32_t i = 0; i < M; ++i) {
    int64_t sum = 0;
    for (int32_t j = 0; j < M; ++j) {
      const int64_t pij = Sar64(AddW(Shl64(P[i * M + j], a), int64_t{1} << 31), 32);
      sum = static_cast<int64_t>(static_cast<uint64_t>(sum) + static_cast<uint64_t>(pij * h[j]));
    }
    U[i] = sum;
    uor |= Abs64(sum);
  }
  const int b = BitLen(uor);
  int32_t v[kAlsRlsMaxOrder];
  int sig;
  if (b > 28) {
    for (int32_t i = 0; i < M; ++i) v[i] = Wrap32(U[i] >> (b - 28));
    sig = (b - 28) - a;
  } else {
    for (int32_t i = 0; i < M; ++i) v[i] = Wrap32(U[i]);
    sig = -a;
  }
  // R2: quadratic form.
  int64_t Z0 = 0;
  for (int32_t i = 0; i < M; ++i) Z0 = AddW(Z0, int64_t{v[i]} * h[i]);
  const int c = BitLen(Abs64(Z0));
  int dd;
  int64_t Z;
  if (c > 28) {
    dd = c - 28;
    Z = Shl64(Z0, 32 - dd);
  } else {
    dd = c;
    Z = Shl64(Z0, 32);
  }
  // R3: denominator.
  int64_t Wd = Z;
  int r = 0;
  while (Wd > (int64_t{1} << 29) - 1) {
    Wd >>= 1;
    ++r;
  }
  const int Ex = r + sig + dd;
  if (Ex <= 60) {
    Wd = AddW(Wd, Shl64(1, 60 - Ex));
  } else {
    MatrixReset(P, M);
  }
  // R4: reciprocal, Q30.
  int64_t G;
  if (Wd == 0) {
    G = int64_t{1} << 30;
  } else if (Ex <= 28) {
    G = (28 - Ex > 32) ? (int64_t{1} << 30) : Shl64(DivW(int64_t{1} << 62, Wd), 28 - Ex);
  } else {
    G = DivW(Shl64(1, 90 - Ex), Wd);
  }
  const int32_t gam = Wrap32(G);
  // R5: gain vector.
  int64_t k[kAlsRlsMaxOrder];
  uint64_t kor = 0;
  for (int32_t i = 0; i < M; ++i) {
    const int64_t t = int64_t{v[i]} * gam;
    k[i] = AddW(sig >= 12 ? Shl64(t, sig - 12) : Sar64(t, 11 - sig), 1) >> 1;
    kor |= Abs64(k[i]);
  }
  int f = BitLen(kor);
  if (f > 30) {
    f -= 30;
    for (int32_t i = 0; i < M; ++i) k[i] >>= f;
  } else {
    f = 0;
  }
  // R6: weights.
  const int32_t ee = e >> 3;
  for (int32_t i = 0; i < M; ++i) {
    const int64_t prod =
        static_cast<int64_t>(static_cast<uint64_t>(k[i]) * static_cast<uint64_t>(int64_t{ee}));
    w[i] = Wrap32(AddW(w[i], AddW(Sar64(prod, 30 - f), 1) >> 1));
  }
  // R7: matrix (lower triangle), then mirrored.
  const int sig2 = sig + f;
  for (int32_t i = 0; i < M; ++i) {
    for (int32_t j = 0; j <= i; ++j) {
      int64_t& pij = P[i * M + j];
      const int64_t prod =
          static_cast<int64_t>(static_cast<uint64_t>(k[i]) * static_cast<uint64_t>(int64_t{v[j]}));
      pij = static_cast<int64_t>(static_cast<uint64_t>(pij) -
                                 static_cast<uint64_t>(Sar64(prod, 14 - sig2)));
      if (pij >= (int64_t{1} << 62) - 1 || pij <= -(int64_t{1} << 62)) {
        MatrixReset(P, M);
        break;
      }
      pij = AddW(pij, DivW(pij, lam));
    }
  }
  for (int32_t i = 0; i < M; ++i) {
    for (int32_t j = 0; j < i; ++j) P[j * M + i] = P[i * M + j];
  }
  // R8: history takes the stage input.
  Push(h, M, s >> 4);
  return e;
}

// Steps 1..8 of the per-sample procedure for one channel.  `h` is the RLS
// history used (the channel's own, or the pair's shared one).
int32_t CascadeSample(View& v, int32_t* h, int64_t* P, const AlsRlsParams& p, int32_t residual,
                      int32_t lam, bool lms_skip, int64_t* energy) {
  const int32_t M = p.rls_order, S = p.stages;
  int64_t pk[2 + kAlsLmsMaxStages];
  pk[0] = Wrap32(static_cast<int64_t>(static_cast<uint64_t>(static_cast<uint32_t>(*v.xl)) << 4));
  int64_t sum = 0;
  for (int32_t k = 0; k < M; ++k) sum = AddW(sum, int64_t{v.w[k]} * h[k]);
  pk[1] = M ? Clamp(sum >> 12, -(int64_t{1} << 30), (int64_t{1} << 30) - 1) : 0;
  for (int32_t j = 0; j < S; ++j) {
    int64_t acc = 0;
    for (int32_t k = 0; k < p.lms_order[j]; ++k) acc = AddW(acc, int64_t{v.a[j][k]} * v.H[j][k]);
    pk[2 + j] = Clamp(acc >> 20, -((int64_t{1} << 27) - 1), (int64_t{1} << 27) - 1);
  }
  const int32_t K = p.inputs;
  int64_t c = 0;
  for (int32_t k = 0; k < K; ++k) c = AddW(c, MulW(v.cw[k], pk[k]));
  c >>= 24;
  const int32_t x = Wrap32(int64_t{residual} + (Wrap32(c + 8) >> 4));
  const int64_t d = SubW(Wrap32(int64_t{x} << 4), c);
  if (d != 0) {
    for (int32_t k = 2; k < K; ++k) {
      const bool up = d > 0 ? pk[k] >= 0 : pk[k] <= 0;
      int32_t& wk = v.cw[k];
      if (up) {
        if (wk != INT32_MAX) wk = Wrap32(int64_t{wk} + p.combiner_step);
      } else if (wk != INT32_MIN) {
        wk = Wrap32(int64_t{wk} - p.combiner_step);
      }
    }
  }
  const int32_t s = Wrap32((int64_t{x} << 4) - pk[0]);
  *v.xl = x;
  int32_t t = RlsUpdate(M, v.w, h, P, s, static_cast<int32_t>(pk[1]), lam);
  if (!lms_skip) {
    for (int32_t j = 0; j < S; ++j) {
      const int32_t L = p.lms_order[j];
      const int32_t e = Wrap32(int64_t{t} - pk[2 + j]);
      int64_t W = MulW(p.lms_step[j], energy[j] >> 7);
      int z = 0;
      while (W > INT32_MAX) {
        W >>= 1;
        ++z;
      }
      const int64_t W0 = MulW(p.lms_step[j], energy[j] >> 7);
      const int64_t divisor = AddW(W0, 1) >> z;
      const int64_t numerator = Shl64(e, 29 - z);
      const int64_t g = DivW(numerator, divisor);
      int32_t* a = v.a[j];
      int32_t* H = v.H[j];
      for (int32_t k = 0; k < L; ++k) {
        a[k] = Wrap32(int64_t{a[k]} + Wrap32(AddW(MulW(H[k], g), 1 << 15) >> 16));
      }
      const int32_t nv = t >> 4;
      if (L > 0) {
        const int64_t old = H[0];
        energy[j] = AddW(energy[j], int64_t{nv} * nv - old * old);
        Push(H, L, nv);
      } else {
        // An order-0 stage's push lands in the oldest history value of the
        // storage that follows (the next stage's, or unused space), as in
        // the reference; the next stage uses it until it is shifted out.
        H[0] = nv;
      }
      t = e;
    }
  }
  return x;
}

void Energies(View& v, const AlsRlsParams& p, int64_t* energy) {
  for (int32_t j = 0; j < p.stages; ++j) {
    int64_t e = 0;
    for (int32_t k = 0; k < p.lms_order[j]; ++k) e = AddW(e, int64_t{v.H[j][k]} * v.H[j][k]);
    energy[j] = e;
  }
}

int32_t Lambda(const AlsRlsParams& p, bool reset_block, int32_t n) {
  return (reset_block && n <= 300) ? p.lambda_ra : p.lambda;
}

}  // namespace

void AlsRlsReset(AlsState& s, int32_t channel) {
  AlsRlsLms& st = s.rls[channel];
  const AlsRlsParams& p = s.rls_params;
  std::memset(st.history, 0, sizeof(st.history));
  std::memset(st.weights, 0, sizeof(st.weights));
  View v = MakeView(st, p);
  for (int32_t k = 0; k < p.stages + 2; ++k) v.cw[k] = kCombinerInit;
  MatrixReset(st.P, p.rls_order);
}

void AlsRlsMatrixReset(AlsState& s, int32_t channel) {
  MatrixReset(s.rls[channel].P, s.rls_params.rls_order);
}

int AlsRlsRunChannel(AlsState& s, int32_t channel, const int32_t* residual, int32_t* out, int32_t n,
                     bool reset_block) {
  const AlsRlsParams& p = s.rls_params;
  if (p.rls_order > 0 && (p.lambda <= 0 || (reset_block && p.lambda_ra <= 0))) return -1;
  View v = MakeView(s.rls[channel], p);
  int64_t energy[kAlsLmsMaxStages];
  Energies(v, p, energy);
  const int32_t skip_until = n >> 5;
  for (int32_t i = 0; i < n; ++i) {
    out[i] = CascadeSample(v, v.h, v.P, p, residual[i], Lambda(p, reset_block, i),
                           reset_block && i <= skip_until, energy);
  }
  return 0;
}

int AlsRlsRunPair(AlsState& s, int32_t a, AlsBlock& ba, AlsBlock& bb, bool reset_block) {
  AlsRlsParams& p = s.rls_params;
  const int32_t b = a + 1;
  const int32_t n = ba.length;
  if (reset_block) {
    AlsRlsReset(s, a);
    AlsRlsReset(s, b);
  }
  if (ba.type == 0 && bb.type == 0) {
    AlsRlsMatrixReset(s, a);
    AlsRlsMatrixReset(s, b);
    return 0;  // the outputs already hold the constant values
  }
  if (p.rls_order > 0 && (p.lambda <= 0 || (reset_block && p.lambda_ra <= 0))) return -1;
  const int32_t* ra = ba.out;  // residuals were copied into the outputs
  const int32_t* rb = bb.out;
  if (p.stereo_flag) {
    if (!p.previous_flag) {
      AlsRlsMatrixReset(s, a);
      AlsRlsMatrixReset(s, b);
    }
    AlsRlsRunChannel(s, a, ra, ba.out, n, reset_block);
    for (int32_t i = 0; i < n; ++i) bb.out[i] = Wrap32(int64_t{ba.out[i]} + rb[i]);
    p.previous_flag = 1;
    return 0;
  }
  if (p.previous_flag) {
    AlsRlsMatrixReset(s, a);
    AlsRlsMatrixReset(s, b);
  }
  View va = MakeView(s.rls[a], p), vb = MakeView(s.rls[b], p);
  int64_t ea[kAlsLmsMaxStages], eb[kAlsLmsMaxStages];
  Energies(va, p, ea);
  Energies(vb, p, eb);
  // Mode 2: one RLS history (channel a's) shared by the pair; the matrices
  // are those of channels 0 and 1, as the reference decoder keeps them.
  int64_t* Pa = s.rls[0].P;
  int64_t* Pb = s.rls[s.cfg.channels > 1 ? 1 : 0].P;
  const int32_t skip_until = n >> 5;
  for (int32_t i = 0; i < n; ++i) {
    const int32_t lam = Lambda(p, reset_block, i);
    const bool skip = reset_block && i <= skip_until;
    ba.out[i] = CascadeSample(va, va.h, Pa, p, ra[i], lam, skip, ea);
    bb.out[i] = CascadeSample(vb, va.h, Pb, p, rb[i], lam, skip, eb);
  }
  p.previous_flag = 0;
  return 0;
}
