// Mixed-radix complex DFT (see fft_mixed.h).
#include "dsp/fft_mixed.h"

#include <cstring>

#include "dsp/fft_impl.h"

namespace {

constexpr int64_t Align32(int64_t n) {
  return (n + 31) & ~int64_t{31};
}

// Radices from the first stage (span 1) to the last: fours, then one two,
// then the odd ones (spans 32 and 96 for 480 points).  Returns the stage
// count, or 0.
int32_t Factorise(int32_t len, int32_t* radix) {
  if (len < 2 || len > kMixedFftMaxLength) return 0;
  int32_t n = 0;
  while (len % 4 == 0) {
    radix[n++] = 4;
    len /= 4;
  }
  if (len % 2 == 0) {
    radix[n++] = 2;
    len /= 2;
  }
  for (int32_t r : {3, 5}) {
    while (len % r == 0) {
      radix[n++] = r;
      len /= r;
    }
  }
  return len == 1 ? n : 0;
}

int64_t TwiddleCount(const int32_t* radix, int32_t stages) {
  int64_t count = 0, span = 1;
  for (int32_t i = 0; i < stages; ++i) {
    count += (radix[i] - 1) * span;
    span *= radix[i];
  }
  return count;
}

Dsp32fc Mul(Dsp32fc a, Dsp32fc w) {
  return Dsp32fc{a.re * w.re - a.im * w.im, a.re * w.im + a.im * w.re};
}

// -i * a
Dsp32fc MulNegI(Dsp32fc a) {
  return Dsp32fc{a.im, -a.re};
}

Dsp32fc Add(Dsp32fc a, Dsp32fc b) {
  return Dsp32fc{a.re + b.re, a.im + b.im};
}

Dsp32fc Sub(Dsp32fc a, Dsp32fc b) {
  return Dsp32fc{a.re - b.re, a.im - b.im};
}

Dsp32fc Scale(Dsp32fc a, float s) {
  return Dsp32fc{a.re * s, a.im * s};
}

// y[t] = sum_q a[q] W_R^(q t), W_R = exp(-2 pi i / R), for R = 2, 3, 4, 5.
template <int R>
inline void Butterfly(const Dsp32fc* a, Dsp32fc* y) {
  if constexpr (R == 2) {
    y[0] = Add(a[0], a[1]);
    y[1] = Sub(a[0], a[1]);
  } else if constexpr (R == 3) {
    constexpr float kS = 0.866025403784438647f;  // sin(2 pi / 3)
    const Dsp32fc t = Add(a[1], a[2]);
    const Dsp32fc m = Sub(a[0], Scale(t, 0.5f));
    const Dsp32fc d = Scale(MulNegI(Sub(a[1], a[2])), kS);
    y[0] = Add(a[0], t);
    y[1] = Add(m, d);
    y[2] = Sub(m, d);
  } else if constexpr (R == 4) {
    const Dsp32fc s02 = Add(a[0], a[2]), d02 = Sub(a[0], a[2]);
    const Dsp32fc s13 = Add(a[1], a[3]), d13 = MulNegI(Sub(a[1], a[3]));
    y[0] = Add(s02, s13);
    y[1] = Add(d02, d13);
    y[2] = Sub(s02, s13);
    y[3] = Sub(d02, d13);
  } else {
    static_assert(R == 5);
    constexpr float kC1 = 0.309016994374947424f;   // cos(2 pi / 5)
    constexpr float kC2 = -0.809016994374947424f;  // cos(4 pi / 5)
    constexpr float kS1 = 0.951056516295153572f;   // sin(2 pi / 5)
    constexpr float kS2 = 0.587785252292473129f;   // sin(4 pi / 5)
    const Dsp32fc t1 = Add(a[1], a[4]), t2 = Add(a[2], a[3]);
    const Dsp32fc d1 = Sub(a[1], a[4]), d2 = Sub(a[2], a[3]);
    const Dsp32fc m1 = Add(a[0], Add(Scale(t1, kC1), Scale(t2, kC2)));
    const Dsp32fc m2 = Add(a[0], Add(Scale(t1, kC2), Scale(t2, kC1)));
    const Dsp32fc n1 = MulNegI(Add(Scale(d1, kS1), Scale(d2, kS2)));
    const Dsp32fc n2 = MulNegI(Sub(Scale(d1, kS2), Scale(d2, kS1)));
    y[0] = Add(a[0], Add(t1, t2));
    y[1] = Add(m1, n1);
    y[4] = Sub(m1, n1);
    y[2] = Add(m2, n2);
    y[3] = Sub(m2, n2);
  }
}

// The first stage (span 1, no twiddles) reads its operands straight from
// the digit-reversed positions of the input.
template <int R>
void GatherStage(const int32_t* gather, const Dsp32fc* src, Dsp32fc* dst, int32_t len) {
  for (int32_t base = 0; base < len; base += R, gather += R) {
    Dsp32fc a[R];
    for (int32_t q = 0; q < R; ++q) a[q] = src[gather[q]];
    Butterfly<R>(a, dst + base);
  }
}

// A later stage in place: the twiddles of operand q are the sequential run
// tw[(q - 1) * span + k]; k = 0 needs none (W^0 = 1).
template <int R>
inline void Column(Dsp32fc* b, int32_t span, int32_t k, const Dsp32fc* tw) {
  Dsp32fc a[R], y[R];
  a[0] = b[k];
  for (int32_t q = 1; q < R; ++q) a[q] = Mul(b[q * span + k], tw[(q - 1) * span + k]);
  Butterfly<R>(a, y);
  for (int32_t q = 0; q < R; ++q) b[q * span + k] = y[q];
}

template <int R>
void Stage(Dsp32fc* d, int32_t len, int32_t span, const Dsp32fc* tw) {
  for (int32_t base = 0; base < len; base += R * span) {
    Dsp32fc* b = d + base;
    Dsp32fc a[R], y[R];
    for (int32_t q = 0; q < R; ++q) a[q] = b[q * span];
    Butterfly<R>(a, y);
    for (int32_t q = 0; q < R; ++q) b[q * span] = y[q];
    for (int32_t k = 1; k < span; ++k) Column<R>(b, span, k, tw);
  }
}

}  // namespace

bool MixedFftLength(int32_t len) {
  int32_t radix[kMixedFftMaxStages];
  return Factorise(len, radix) > 0 && (len & (len - 1)) != 0;
}

int64_t MixedFftBytes(int32_t len) {
  int32_t radix[kMixedFftMaxStages];
  const int32_t stages = Factorise(len, radix);
  if (stages == 0) return -1;
  const int64_t count = TwiddleCount(radix, stages);
  return 32 + Align32(sizeof(MixedFft)) + Align32(4 * int64_t{len}) + Align32(int64_t{len}) +
         Align32(8 * count) + 16 * count;
}

const MixedFft* MixedFftInit(uint8_t* memory, int32_t len) {
  int32_t radix[kMixedFftMaxStages];
  const int32_t stages = Factorise(len, radix);
  if (!memory || stages == 0) return nullptr;
  uint8_t* base = dspAlignPtr<uint8_t>(memory, 32);
  auto* f = reinterpret_cast<MixedFft*>(base);
  std::memset(f, 0, sizeof(*f));
  auto* gather = reinterpret_cast<int32_t*>(base + Align32(sizeof(MixedFft)));
  auto* group = reinterpret_cast<int32_t*>(reinterpret_cast<uint8_t*>(gather) + Align32(4 * len));
  auto* tw = reinterpret_cast<Dsp32fc*>(reinterpret_cast<uint8_t*>(group) + Align32(len));
  auto* vtw = reinterpret_cast<float*>(reinterpret_cast<uint8_t*>(tw) +
                                       Align32(8 * TwiddleCount(radix, stages)));
  f->len = len;
  f->stages = stages;
  // Stage i runs with span = product of the earlier radices.  Input index l
  // written with the digits of the last stage first (l = d_last + r_last *
  // (d_next + ...)) lands at the position sum d_i * span[i].
  int32_t span = 1;
  for (int32_t i = 0; i < stages; ++i) {
    f->radix[i] = radix[i];
    f->span[i] = span;
    f->twiddle[i] = tw;
    f->vtwiddle[i] = vtw;
    const int32_t block = span * radix[i];
    for (int32_t q = 1; q < radix[i]; ++q) {
      for (int32_t k = 0; k < span; ++k) {
        const FftCosSin w = FftTurn(-int64_t{q} * k, block);
        const float c = static_cast<float>(w.c), s = static_cast<float>(w.s);
        *tw++ = Dsp32fc{c, s};
        vtw[2 * k] = vtw[2 * k + 1] = c;
        vtw[2 * span + 2 * k] = -s;
        vtw[2 * span + 2 * k + 1] = s;
      }
      vtw += 4 * span;
    }
    span = block;
  }
  for (int32_t l = 0; l < len; ++l) {
    int32_t rest = l, pos = 0;
    for (int32_t i = stages - 1; i >= 0; --i) {
      pos += (rest % f->radix[i]) * f->span[i];
      rest /= f->radix[i];
    }
    gather[pos] = l;
    if (l < len / 4) group[l] = pos / 4;
  }
  f->gather = gather;
  f->group = radix[0] == 4 ? group : nullptr;
  return f;
}

void MixedFftFirstStage(const MixedFft* f, const Dsp32fc* src, Dsp32fc* dst) {
  switch (f->radix[0]) {
    case 2:
      GatherStage<2>(f->gather, src, dst, f->len);
      break;
    case 3:
      GatherStage<3>(f->gather, src, dst, f->len);
      break;
    case 4:
      GatherStage<4>(f->gather, src, dst, f->len);
      break;
    default:
      GatherStage<5>(f->gather, src, dst, f->len);
      break;
  }
}

void MixedFftStage(const MixedFft* f, int32_t i, Dsp32fc* d) {
  const int32_t len = f->len, span = f->span[i];
  const Dsp32fc* tw = f->twiddle[i];
  switch (f->radix[i]) {
    case 2:
      Stage<2>(d, len, span, tw);
      break;
    case 3:
      Stage<3>(d, len, span, tw);
      break;
    case 4:
      Stage<4>(d, len, span, tw);
      break;
    default:
      Stage<5>(d, len, span, tw);
      break;
  }
}

void MixedFftForward(const MixedFft* f, const Dsp32fc* src, Dsp32fc* dst) {
  MixedFftFirstStage(f, src, dst);
  for (int32_t i = 1; i < f->stages; ++i) MixedFftStage(f, i, dst);
}
