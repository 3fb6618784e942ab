// Vector primitive kernels written once over a lane type V (simd_*.h) and
// instantiated by vector_<isa>.cpp.  Every kernel here gives the generic
// kernel's results bit for bit: the same operations on each element, lanes
// are elements.  Elements left over after the last full vector run through
// V::Narrow (AVX2 -> SSE2) or the generic kernel.
#pragma once

#include <cstring>
#include <type_traits>

#include "dsp/vector_impl.h"

namespace vector_vec {
namespace {

template <class V>
constexpr bool kHasNarrow = !std::is_void_v<typename V::Narrow>;

// The loops below are plain: a lambda capturing the pointers by reference
// would make every vector store (which may alias anything) reload them.

template <class V>
void MulC(const float* src, float c, float* dst, int32_t n) {
  const auto vc = V::Set1(c);
  int32_t i = 0;
  for (; i + V::kLanes <= n; i += V::kLanes) V::Store(dst + i, V::Mul(V::Load(src + i), vc));
  if constexpr (kHasNarrow<V>) {
    MulC<typename V::Narrow>(src + i, c, dst + i, n - i);
  } else {
    dsp_generic::MulC_32f(src + i, c, dst + i, n - i);
  }
}

template <class V>
void Add(const float* a, const float* b, float* dst, int32_t n) {
  int32_t i = 0;
  for (; i + V::kLanes <= n; i += V::kLanes) {
    V::Store(dst + i, V::Add(V::Load(a + i), V::Load(b + i)));
  }
  if constexpr (kHasNarrow<V>) {
    Add<typename V::Narrow>(a + i, b + i, dst + i, n - i);
  } else {
    dsp_generic::Add_32f(a + i, b + i, dst + i, n - i);
  }
}

template <class V>
void Mul(const float* a, const float* b, float* dst, int32_t n) {
  int32_t i = 0;
  for (; i + V::kLanes <= n; i += V::kLanes) {
    V::Store(dst + i, V::Mul(V::Load(a + i), V::Load(b + i)));
  }
  if constexpr (kHasNarrow<V>) {
    Mul<typename V::Narrow>(a + i, b + i, dst + i, n - i);
  } else {
    dsp_generic::Mul_32f(a + i, b + i, dst + i, n - i);
  }
}

// dst = b - a over interleaved floats.
template <class V>
void SubReversed(const float* a, const float* b, float* dst, int32_t n) {
  int32_t i = 0;
  for (; i + V::kLanes <= n; i += V::kLanes) {
    V::Store(dst + i, V::Sub(V::Load(b + i), V::Load(a + i)));
  }
  for (; i < n; ++i) dst[i] = b[i] - a[i];
}

template <class V>
void MulAdd(const float* a, const float* b, const float* c, float* dst, int32_t n) {
  int32_t i = 0;
  for (; i + V::kLanes <= n; i += V::kLanes) {
    V::Store(dst + i, V::Add(V::Mul(V::Load(a + i), V::Load(b + i)), V::Load(c + i)));
  }
  if constexpr (kHasNarrow<V>) {
    MulAdd<typename V::Narrow>(a + i, b + i, c + i, dst + i, n - i);
  } else {
    dsp_generic::MulAdd_32f(a + i, b + i, c + i, dst + i, n - i);
  }
}

template <class V>
void SumDiff(float* a, float* b, int32_t n) {
  int32_t i = 0;
  for (; i + V::kLanes <= n; i += V::kLanes) {
    const auto x = V::Load(a + i), y = V::Load(b + i);
    V::Store(a + i, V::Add(x, y));
    V::Store(b + i, V::Sub(x, y));
  }
  if constexpr (kHasNarrow<V>) {
    SumDiff<typename V::Narrow>(a + i, b + i, n - i);
  } else {
    dsp_generic::SumDiff_32f(a + i, b + i, n - i);
  }
}

template <class V>
void AddProductC(const float* src, float c, float* srcdst, int32_t n) {
  int32_t i = 0;
  for (; i + V::kLanes <= n; i += V::kLanes) {
    V::Store(srcdst + i, V::AddProductWide(V::Load(srcdst + i), V::Load(src + i), c));
  }
  dsp_generic::AddProductC_32f(src + i, c, srcdst + i, n - i);
}

template <class V>
void AddC(const Dsp32fc* a, const Dsp32fc* b, Dsp32fc* dst, int32_t n) {
  Add<V>(&a->re, &b->re, &dst->re, 2 * n);
}

template <class V>
void SubC(const Dsp32fc* a, const Dsp32fc* b, Dsp32fc* dst, int32_t n) {
  SubReversed<V>(&a->re, &b->re, &dst->re, 2 * n);
}

// Extremes: lane-wise over the whole vectors, then across the lanes and the
// rest in scalar code.
template <class V, bool kMax>
int32_t Extreme32(const int32_t* src, int32_t n) {
  auto pick = [](auto a, auto b) {
    if constexpr (kMax) {
      return V::MaxI(a, b);
    } else {
      return V::MinI(a, b);
    }
  };
  if (n < 2 * V::kLanes) return kMax ? dsp_generic::Max_32s(src, n) : dsp_generic::Min_32s(src, n);
  auto m = V::LoadI(src);
  int32_t i = V::kLanes;
  for (; i + V::kLanes <= n; i += V::kLanes) m = pick(m, V::LoadI(src + i));
  int32_t lanes[V::kLanes];
  V::StoreI(lanes, m);
  int32_t r = lanes[0];
  for (int32_t l = 1; l < V::kLanes; ++l)
    r = kMax ? (lanes[l] > r ? lanes[l] : r) : (lanes[l] < r ? lanes[l] : r);
  for (; i < n; ++i) r = kMax ? (src[i] > r ? src[i] : r) : (src[i] < r ? src[i] : r);
  return r;
}

template <class V>
int32_t Max32(const int32_t* src, int32_t n) {
  return Extreme32<V, true>(src, n);
}
template <class V>
int32_t Min32(const int32_t* src, int32_t n) {
  return Extreme32<V, false>(src, n);
}

template <class V>
int16_t Max16(const int16_t* src, int32_t n) {
  constexpr int32_t k = 2 * V::kLanes;  // 16-bit values per vector
  if (n < 2 * k) return dsp_generic::Max_16s(src, n);
  auto load = [src](int32_t i) {
    typename V::I v;
    std::memcpy(&v, src + i, sizeof(v));
    return v;
  };
  auto m = load(0);
  int32_t i = k;
  for (; i + k <= n; i += k) m = V::MaxS16(m, load(i));
  int16_t lanes[k];
  std::memcpy(lanes, &m, sizeof(m));
  int16_t r = dsp_generic::Max_16s(lanes, k);
  for (; i < n; ++i) r = src[i] > r ? src[i] : r;
  return r;
}

template <class V>
void ShiftLeft(int32_t k, int32_t* srcdst, int32_t n) {
  if (k >= 32) {
    std::memset(srcdst, 0, sizeof(int32_t) * static_cast<size_t>(n));
    return;
  }
  int32_t i = 0;
  for (; i + V::kLanes <= n; i += V::kLanes) {
    V::StoreI(srcdst + i, V::ShlI(V::LoadI(srcdst + i), k));
  }
  dsp_generic::ShiftLeft_32s(k, srcdst + i, n - i);
}

template <class V>
void ShiftRight(int32_t k, int32_t* srcdst, int32_t n) {
  const int32_t s = k >= 32 ? 31 : k;
  int32_t i = 0;
  for (; i + V::kLanes <= n; i += V::kLanes) {
    V::StoreI(srcdst + i, V::SarI(V::LoadI(srcdst + i), s));
  }
  dsp_generic::ShiftRight_32s(k, srcdst + i, n - i);
}

// ---- interleave and convert to 16-bit

// Samples j..j+kLanes-1 of kCh channels rounded to 32-bit words, which the
// saturating packs then narrow.  A plain rounding conversion suffices but
// for NaN and values beyond the 32-bit range: a block holding one goes
// through the clamping conversion instead.
template <class V, int kCh>
inline void ConvertBlock(const float* const* ch, int32_t j, typename V::I* r) {
  for (int k = 0; k < kCh; ++k) r[k] = V::ConvertRound(V::Load(ch[k] + j));
  if (V::AnyIndefinite(r, kCh)) [[unlikely]] {
    for (int k = 0; k < kCh; ++k) r[k] = V::ConvertClamp16(V::Load(ch[k] + j));
  }
}

// Converts whole vectors of samples; returns the first sample not done.
// Wide lanes take mono, stereo, 5.1 and 7.1 and leave other layouts to
// Narrow.
template <class V>
int32_t InterleaveBody(const float* const* ch, int32_t nch, int32_t n, int16_t* dst) {
  constexpr int32_t L = V::kLanes;
  int32_t j = 0;
  typename V::I r[8];
  // Local copies of the channel pointers: stores through dst may alias
  // ch[], which would reload them every block.
  const float* c[8] = {};
  for (int32_t k = 0; k < nch && k < 8; ++k) c[k] = ch[k];
  if (nch == 1) {
    for (; j + 2 * L <= n; j += 2 * L) {
      const float* halves[2] = {c[0], c[0] + L};
      ConvertBlock<V, 2>(halves, j, r);
      V::Store16(dst + j, V::Pack16(r[0], r[1]));
    }
  } else if (nch == 2) {
    for (; j + L <= n; j += L) {
      ConvertBlock<V, 2>(c, j, r);
      V::Store16(dst + 2 * j, V::Zip16(r[0], r[1]));
    }
  } else if (nch == 6) {
    for (; j + L <= n; j += L) {
      ConvertBlock<V, 6>(c, j, r);
      V::StoreInterleave3(dst + 6 * j, V::Zip16(r[0], r[1]), V::Zip16(r[2], r[3]),
                          V::Zip16(r[4], r[5]));
    }
  } else if (nch == 8) {
    for (; j + L <= n; j += L) {
      ConvertBlock<V, 8>(c, j, r);
      V::StoreInterleave4(dst + 8 * j, V::Zip16(r[0], r[1]), V::Zip16(r[2], r[3]),
                          V::Zip16(r[4], r[5]), V::Zip16(r[6], r[7]));
    }
  } else if constexpr (kHasNarrow<V>) {
    return 0;
  } else {
    int32_t tmp[L];
    for (; j + L <= n; j += L) {
      for (int32_t k = 0; k < nch; ++k) {
        V::StoreI(tmp, V::ConvertClamp16(V::Load(ch[k] + j)));
        for (int32_t t = 0; t < L; ++t) dst[(j + t) * nch + k] = static_cast<int16_t>(tmp[t]);
      }
    }
  }
  return j;
}

template <class V>
void InterleaveConvert(const float* const* ch, int32_t nch, int32_t n, int16_t* dst) {
  int32_t j = InterleaveBody<V>(ch, nch, n, dst);
  if (j >= n) return;
  constexpr int32_t kMaxPointers = 64;
  if (nch > kMaxPointers) {  // no room for offset pointers: sample by sample
    for (; j < n; ++j) {
      for (int32_t k = 0; k < nch; ++k) {
        const float* one[1] = {ch[k] + j};
        dsp_generic::InterleaveConvert_32f16s(one, 1, 1, dst + j * nch + k);
      }
    }
    return;
  }
  const float* rest[kMaxPointers];
  for (int32_t k = 0; k < nch; ++k) rest[k] = ch[k] + j;
  if constexpr (kHasNarrow<V>) {
    InterleaveConvert<typename V::Narrow>(rest, nch, n - j, dst + j * nch);
  } else {
    dsp_generic::InterleaveConvert_32f16s(rest, nch, n - j, dst + j * nch);
  }
}

// ---- table look-ups

// Eight look-ups per gather on clamped magnitudes; the sign is copied from
// the input.
template <class V>
void Pow43(const int16_t* q, float* dst, int32_t n) {
  const auto limit = V::SetI(8206), sign = V::SetI(INT32_MIN);
  int32_t i = 0;
  for (; i + V::kLanes <= n; i += V::kLanes) {
    const auto v = V::LoadWiden16(q + i);
    const auto p = V::Gather(dsp_tables::kPow43, V::MinI(V::AbsI(v), limit));
    V::Store(dst + i, V::AsF(V::OrI(V::AsI(p), V::AndI(v, sign))));
  }
  dsp_generic::Pow43_16s32f(q + i, dst + i, n - i);
}

// Pow43 times each band's gain, a vector of lines per gather; a band's last
// lines (AAC widths are multiples of four) through the generic kernel.
template <class V>
void Pow43Bands(const int16_t* q, const float* gains, const int32_t* offsets, int32_t nbands,
                float* dst) {
  const auto limit = V::SetI(8206), sign = V::SetI(INT32_MIN);
  for (int32_t b = 0; b < nbands; ++b) {
    const auto g = V::Set1(gains[b]);
    int32_t i = offsets[b];
    const int32_t end = offsets[b + 1];
    for (; i + V::kLanes <= end; i += V::kLanes) {
      const auto v = V::LoadWiden16(q + i);
      const auto p = V::Gather(dsp_tables::kPow43, V::MinI(V::AbsI(v), limit));
      V::Store(dst + i, V::Mul(V::AsF(V::OrI(V::AsI(p), V::AndI(v, sign))), g));
    }
    if (i < end) {
      const int32_t tail[2] = {i, end};
      dsp_generic::Pow43Bands_16s32f(q, gains + b, tail, 1, dst);
    }
  }
}

// Pow43 times the gains of 8 k lines whose gains are given per four lines
// (g): magnitudes up to 15 (nearly all lines) are looked up by permutes,
// larger ones gathered.  The k vectors take one path: a branch per 8 lines
// on mixed low bands mispredicted often enough to cost more than gathering.
template <class V, int32_t k>
inline void Pow43Lines(const int16_t* q, const float* g, float* dst, typename V::F t0,
                       typename V::F t1) {
  const auto limit = V::SetI(8206), sign = V::SetI(INT32_MIN);
  typename V::I v[k], m[k];
  for (int32_t j = 0; j < k; ++j) {
    v[j] = V::LoadWiden16(q + 8 * j);
    m[j] = V::AbsI(v[j]);
  }
  auto any = m[0];  // the OR of the magnitudes bounds the largest
  for (int32_t j = 1; j < k; ++j) any = V::OrI(any, m[j]);
  typename V::F p[k];
  if (V::AnyGreaterI(any, V::SetI(15))) {
    for (int32_t j = 0; j < k; ++j) p[j] = V::Gather(dsp_tables::kPow43, V::MinI(m[j], limit));
  } else {
    for (int32_t j = 0; j < k; ++j) p[j] = V::Permute16(t0, t1, m[j]);
  }
  for (int32_t j = 0; j < k; ++j) {
    V::Store(dst + 8 * j, V::Mul(V::AsF(V::OrI(V::AsI(p[j]), V::AndI(v[j], sign))),
                                 V::SetHalves(g[2 * j], g[2 * j + 1])));
  }
}

// Eight lanes over bands whose widths are multiples of four (AAC's): eight
// lines straddle at most one band edge, in the middle, so the gain vector is
// two halves and bands of four lines need no scalar tail.  The gains are
// first spread to one per four lines, each band's over eight such quads from
// its start (the next band overwrites the excess), so that neither loop
// branches on where the bands end.  Lines go 32 at a time; the last ones
// (fewer than 32) by redoing the final 32, whose overlap with lines already
// done gets the same values: one more block costs less than narrower steps
// and a scalar tail.  Returns false, having written nothing, when some band
// edge is not a multiple of four lines from the first.
template <class V>
bool Pow43Quads(const int16_t* q, const float* gains, const int32_t* offsets, int32_t nbands,
                float* dst) {
  static_assert(V::kLanes == 8);
  constexpr int32_t kMaxQuads = 512;  // 2048 lines
  const int32_t first = offsets[0], n = offsets[nbands] - first;
  alignas(32) float quad_gain[kMaxQuads + 8];
  int32_t apart = 0;  // its low bits: some edge is not a multiple of four away
  for (int32_t b = 0; b < nbands; ++b) {
    apart |= offsets[b + 1] - first;
    const auto g = V::Set1(gains[b]);
    // Lines past first, always >= 0: unsigned division is a shift.
    const auto quad = [first](int32_t line) {
      return static_cast<int32_t>(static_cast<uint32_t>(line - first) / 4);
    };
    const int32_t stop = quad(offsets[b + 1]);
    int32_t k = quad(offsets[b]);
    do {
      V::Store(quad_gain + k, g);
      k += 8;
    } while (k < stop);
  }
  if (apart & 3) return false;
  const auto t0 = V::Load(dsp_tables::kPow43), t1 = V::Load(dsp_tables::kPow43 + 8);
  q += first;
  dst += first;
  int32_t i = 0;
  for (; i + 32 <= n; i += 32) Pow43Lines<V, 4>(q + i, quad_gain + i / 4, dst + i, t0, t1);
  if (i == n) return true;
  if (n >= 32) {
    Pow43Lines<V, 4>(q + n - 32, quad_gain + (n - 32) / 4, dst + n - 32, t0, t1);
    return true;
  }
  for (; i + 8 <= n; i += 8) Pow43Lines<V, 1>(q + i, quad_gain + i / 4, dst + i, t0, t1);
  if (i == n) return true;
  if (n >= 8) {
    Pow43Lines<V, 1>(q + n - 8, quad_gain + (n - 8) / 4, dst + n - 8, t0, t1);
    return true;
  }
  const int32_t tail[2] = {i, n};
  dsp_generic::Pow43Bands_16s32f(q, quad_gain + i / 4, tail, 1, dst);
  return true;
}

template <class V>
void Pow43BandsWide(const int16_t* q, const float* gains, const int32_t* offsets, int32_t nbands,
                    float* dst) {
  const bool fits = offsets[nbands] - offsets[0] <= 2048;  // Pow43Quads' gain array
  if (!fits || !Pow43Quads<V>(q, gains, offsets, nbands, dst)) {
    Pow43Bands<V>(q, gains, offsets, nbands, dst);
  }
}

// Scale factor gains, eight per step: u = sf - offset + 512 modulo 1024 as
// in the generic kernel, 2^((u mod 8) / 4) by a permute of the table's
// kSfGain[512..519] with 2 (u div 8) - 128 added to its exponent field:
// exactly the table's value, a power-of-two multiple of a correctly rounded
// one, wherever that is normal (u >= 8).  If some u is smaller (gains below
// 2^-126, no valid stream's), the generic table redoes them all.  The last
// n mod 8 gains by redoing the final eight, when n >= 8.
template <class V>
void ScalefactorGain(const int16_t* sf, int32_t offset, float* gains, int32_t n) {
  static_assert(V::kLanes == 8);
  if (n < V::kLanes) {
    dsp_generic::ScalefactorGain_16s32f(sf, offset, gains, n);
    return;
  }
  const auto bias = V::SetI(static_cast<int32_t>(512u - static_cast<uint32_t>(offset)));
  const auto wrap = V::SetI(1023), unbias = V::SetI(-(128 << 23));
  const auto roots = V::Load(dsp_tables::kSfGain + 512);
  auto smallest = wrap;
  const auto step = [&](int32_t i) {
    const auto u = V::AndI(V::AddI(V::LoadWiden16(sf + i), bias), wrap);
    smallest = V::MinI(smallest, u);
    const auto scale = V::AddI(V::ShlI(V::SrlI(u, 3), 24), unbias);
    V::Store(gains + i, V::AsF(V::AddI(V::AsI(V::Permute8(roots, u)), scale)));
  };
  int32_t i = 0;
  for (; i + V::kLanes <= n; i += V::kLanes) step(i);
  if (i < n) step(n - V::kLanes);
  if (V::AnyGreaterI(V::SetI(8), smallest))
    dsp_generic::ScalefactorGain_16s32f(sf, offset, gains, n);
}

// ---- backward-adaptive predictor

template <class V>
inline typename V::F Trunc16(typename V::F v) {
  return V::AsF(V::AndI(V::AsI(v), V::SetI(static_cast<int32_t>(0xFFFF0000u))));
}
template <class V>
inline typename V::F Round16(typename V::F v) {
  const auto u = V::AddI(V::AsI(v), V::SetI(0x8000));
  return V::AsF(V::AndI(u, V::SetI(static_cast<int32_t>(0xFFFF0000u))));
}
// The table-driven reciprocal of the generic kernel, lane by lane.
template <class V>
inline typename V::F Recip(typename V::F v) {
  const auto u = V::AsI(v);
  const auto m = V::AndI(V::SrlI(u, 16), V::SetI(0x7F));
  const auto e = V::AndI(V::SrlI(u, 23), V::SetI(0xFF));
  return V::Mul(V::Gather(kRecipMantissa, m), V::Gather(kRecipExponent, e));
}

template <class V>
void Predict(float* x, int32_t begin, int32_t end, bool add, float* const* s) {
  const auto alpha = V::Set1(0.90625f), a = V::Set1(0.953125f), half = V::Set1(0.5f);
  float *cor0 = s[kCor0], *cor1 = s[kCor1], *var0 = s[kVar0], *var1 = s[kVar1];
  float *r0p = s[kR0], *r1p = s[kR1];
  int32_t i = begin;
  for (; i + V::kLanes <= end; i += V::kLanes) {
    const auto c0 = V::Load(cor0 + i), c1 = V::Load(cor1 + i);
    const auto v0 = V::Load(var0 + i), v1 = V::Load(var1 + i);
    const auto r0 = V::Load(r0p + i), r1 = V::Load(r1p + i);
    const auto k1 = V::Mul(c0, Recip<V>(v0));
    const auto k2 = V::Mul(c1, Recip<V>(v1));
    const auto pred = Round16<V>(V::Add(V::Mul(k1, r0), V::Mul(k2, r1)));
    auto e0 = V::Load(x + i);
    if (add) {
      e0 = V::Add(e0, pred);
      V::Store(x + i, e0);
    }
    const auto e1 = V::Sub(e0, V::Mul(k1, r0));
    const auto sq0 = V::Add(V::Mul(r0, r0), V::Mul(e0, e0));
    const auto sq1 = V::Add(V::Mul(r1, r1), V::Mul(e1, e1));
    V::Store(cor0 + i, Trunc16<V>(V::Add(V::Mul(alpha, c0), V::Mul(r0, e0))));
    V::Store(cor1 + i, Trunc16<V>(V::Add(V::Mul(alpha, c1), V::Mul(r1, e1))));
    V::Store(var0 + i, Trunc16<V>(V::Add(V::Mul(alpha, v0), V::Mul(half, sq0))));
    V::Store(var1 + i, Trunc16<V>(V::Add(V::Mul(alpha, v1), V::Mul(half, sq1))));
    V::Store(r1p + i, Trunc16<V>(V::Mul(a, V::Sub(r0, V::Mul(k1, e0)))));
    V::Store(r0p + i, Trunc16<V>(V::Mul(a, e0)));
  }
  if constexpr (kHasNarrow<V>) {
    Predict<typename V::Narrow>(x, i, end, add, s);
  } else {
    dsp_generic::Predict_32f(x, i, end, add, s);
  }
}

// The noise generator in kNoiseSums lanes, value kNoiseSums b + j in lane
// j of block b: each lane steps by the generator taken kNoiseSums times, so
// that no value waits on the multiply before it.  Lane j's squares go to
// the generic kernel's partial sum j.
struct NoiseLanes {
  uint32_t mul[kNoiseSums];  // lane j's first value from the state: a^(j+1) s + add[j]
  uint32_t add[kNoiseSums];
  uint32_t step_mul;  // one block: a^kNoiseSums s + step_add
  uint32_t step_add;
};
constexpr NoiseLanes MakeNoiseLanes() {
  NoiseLanes t{};
  uint32_t mul = 1, add = 0;
  for (int32_t j = 0; j < kNoiseSums; ++j) {
    mul *= kNoiseMul;
    add = add * kNoiseMul + kNoiseAdd;
    t.mul[j] = mul;
    t.add[j] = add;
  }
  t.step_mul = mul;
  t.step_add = add;
  return t;
}
inline constexpr NoiseLanes kNoiseLanes = MakeNoiseLanes();

template <class V>
float Noise(float* dst, int32_t n, uint32_t* state) {
  constexpr int32_t kVecs = kNoiseSums / V::kLanes;
  static_assert(kVecs * V::kLanes == kNoiseSums);
  const int32_t blocks = n / kNoiseSums;
  if (blocks == 0) return dsp_generic::Noise_32f(dst, n, state);
  using I = typename V::I;
  using F = typename V::F;
  I lane[kVecs];
  F acc[kVecs];
  const I start = V::SetI(static_cast<int32_t>(*state));
  for (int32_t k = 0; k < kVecs; ++k) {
    const auto* mul = reinterpret_cast<const int32_t*>(kNoiseLanes.mul) + k * V::kLanes;
    const auto* add = reinterpret_cast<const int32_t*>(kNoiseLanes.add) + k * V::kLanes;
    lane[k] = V::AddI(V::MulLoI(start, V::LoadI(mul)), V::LoadI(add));
    acc[k] = V::Zero();
  }
  const I step_mul = V::SetI(static_cast<int32_t>(kNoiseLanes.step_mul));
  const I step_add = V::SetI(static_cast<int32_t>(kNoiseLanes.step_add));
  for (int32_t b = 0;;) {
    for (int32_t k = 0; k < kVecs; ++k) {
      const F v = V::ToFloat(lane[k]);
      V::Store(dst + b * kNoiseSums + k * V::kLanes, v);
      acc[k] = V::Add(acc[k], V::Mul(v, v));
    }
    if (++b == blocks) break;
    for (int32_t k = 0; k < kVecs; ++k) lane[k] = V::AddI(V::MulLoI(lane[k], step_mul), step_add);
  }
  int32_t last[kNoiseSums];
  float sum[kNoiseSums];
  for (int32_t k = 0; k < kVecs; ++k) {
    V::StoreI(last + k * V::kLanes, lane[k]);
    V::Store(sum + k * V::kLanes, acc[k]);
  }
  // The rest from the last value's state.
  *state =
      NoiseSerial(dst, blocks * kNoiseSums, n, static_cast<uint32_t>(last[kNoiseSums - 1]), sum);
  return NoiseEnergy(sum);
}

}  // namespace
}  // namespace vector_vec
