// Hybrid analysis filters written once over a lane type V (simd_*.h) and
// instantiated by ps_hybrid_<isa>.cpp.  A vector holds V::kLanes / 2
// consecutive slots as interleaved complex values; every output takes the
// generic kernel's operations in its order, so the results are the same bit
// for bit.
#pragma once

#include "ps/ps_decorrelate_vec.h"
#include "ps/ps_hybrid_kernels.h"

namespace ps_vec {
namespace {

// Slots n0 <= n < n1 (a multiple of V::kLanes / 2 apart) of band q.
template <class V>
[[gnu::always_inline]] inline void HybridComplexBand(const float (*in)[2], const float (*c)[2],
                                                     float centre, int32_t n0, int32_t n1,
                                                     float (*out)[2]) {
  const auto c6 = V::Set1(centre);
  typename V::F cr[6], ci[6];
  for (int j = 0; j < 6; ++j) {
    cr[j] = V::Set1(c[j][0]);
    // (-ci, ci): the real part takes -ci * d_im, the imaginary +ci * d_re.
    ci[j] = V::Set2(-c[j][1], c[j][1]);
  }
  for (int32_t n = n0; n < n1; n += V::kLanes / 2) {
    const float* w = in[n];
    auto acc = V::Mul(c6, V::Load(w + 12));
    for (int j = 0; j < 6; ++j) {
      const auto a = V::Load(w + 2 * j);
      const auto b = V::Load(w + 2 * (12 - j));
      const auto swapped = V::SwapPairs(V::Sub(a, b));
      acc = V::Add(acc, V::Add(V::Mul(cr[j], V::Add(a, b)), V::Mul(ci[j], swapped)));
    }
    V::Store(out[n], acc);
  }
}

// V::kLanes / 2 slots per vector; with four (AVX2), the two slots of a
// 30-slot frame past the last group of four take the narrower lanes.
template <class V>
void HybridComplex(const float (*in)[2], const float (*coef)[6][2], float centre, int32_t bands,
                   float (*out)[kDspHybridSlots][2], int32_t slots) {
  constexpr int32_t kSlotsPerVector = V::kLanes / 2;
  static_assert(kSlotsPerVector == 2 || kSlotsPerVector == 4);
  const int32_t whole = slots / kSlotsPerVector * kSlotsPerVector;
  for (int32_t q = 0; q < bands; ++q) {
    HybridComplexBand<V>(in, coef[q], centre, 0, whole, out[q]);
    if constexpr (kSlotsPerVector == 4) {
      if (whole < slots)
        HybridComplexBand<typename V::Narrow>(in, coef[q], centre, whole, slots, out[q]);
    }
  }
}

template <class V>
void HybridReal(const float (*in)[2], const float* odd, float centre, float (*low)[2],
                float (*high)[2], int32_t slots) {
  constexpr int32_t kSlotsPerVector = V::kLanes / 2;
  static_assert(kSlotsPerVector == 2, "slot counts are even, not multiples of four");
  const auto c6 = V::Set1(centre);
  const auto g1 = V::Set1(odd[0]), g3 = V::Set1(odd[1]), g5 = V::Set1(odd[2]);
  for (int32_t n = 0; n < slots; n += kSlotsPerVector) {
    const float* w = in[n];
    const auto mid = V::Mul(c6, V::Load(w + 12));
    auto side = V::Mul(g1, V::Add(V::Load(w + 2), V::Load(w + 22)));
    side = V::Add(side, V::Mul(g3, V::Add(V::Load(w + 6), V::Load(w + 18))));
    side = V::Add(side, V::Mul(g5, V::Add(V::Load(w + 10), V::Load(w + 14))));
    V::Store(low[n], V::Add(mid, side));
    V::Store(high[n], V::Sub(mid, side));
  }
}

// Mixing, one slot per vector of four lanes (s re, s im, d re, d im): the
// matrix rows move on as whole vectors and both outputs come from one sum.
// Lanes repeat the generic kernel's entries and operations in its order (a
// subtraction is the sum of the negated product), so the bits agree.
template <class V>
void MixReal(float (*s)[2], float (*d)[2], int32_t len, const float* h, const float* step) {
  static_assert(V::kLanes == 4, "one slot of s and d per vector");
  // (h11, h11, h12, h12) and (h21, h21, h22, h22).
  auto hs = V::SetHalves(h[0], h[1]), hd = V::SetHalves(h[2], h[3]);
  const auto ss = V::SetHalves(step[0], step[1]), sd = V::SetHalves(step[2], step[3]);
  for (int32_t n = 0; n < len; ++n) {
    hs = V::Add(hs, ss);
    hd = V::Add(hd, sd);
    const auto x = V::LoadPairTwice(s[n]), y = V::LoadPairTwice(d[n]);
    V::StoreHalves(s[n], d[n], V::Add(V::Mul(hs, x), V::Mul(hd, y)));
  }
}

template <class V>
void MixComplex(float (*s)[2], float (*d)[2], int32_t len, const float* h, const float* step) {
  static_assert(V::kLanes == 4, "one slot of s and d per vector");
  const float* hi = h + 4;
  const float* si = step + 4;
  // Real parts as in MixReal; imaginary parts (-i11, i11, -i12, i12) and
  // (-i21, i21, -i22, i22) against the swapped inputs.
  auto rs = V::SetHalves(h[0], h[1]), rd = V::SetHalves(h[2], h[3]);
  auto is = V::Quad(-hi[0], hi[0], -hi[1], hi[1]), id = V::Quad(-hi[2], hi[2], -hi[3], hi[3]);
  const auto srs = V::SetHalves(step[0], step[1]), srd = V::SetHalves(step[2], step[3]);
  const auto sis = V::Quad(-si[0], si[0], -si[1], si[1]);
  const auto sid = V::Quad(-si[2], si[2], -si[3], si[3]);
  for (int32_t n = 0; n < len; ++n) {
    rs = V::Add(rs, srs);
    rd = V::Add(rd, srd);
    is = V::Add(is, sis);
    id = V::Add(id, sid);
    const auto x = V::LoadPairTwice(s[n]), y = V::LoadPairTwice(d[n]);
    auto acc = V::Add(V::Mul(rs, x), V::Mul(rd, y));
    acc = V::Add(acc, V::Mul(is, V::SwapPairs(x)));
    acc = V::Add(acc, V::Mul(id, V::SwapPairs(y)));
    V::StoreHalves(s[n], d[n], acc);
  }
}

template <class V>
void FillPsHybridKernels(DspPsHybridKernels& k) {
  k.HybridComplex = HybridComplex<V>;
  k.HybridReal = HybridReal<V>;
  k.AllPass = AllPass<V>;
  k.MixReal = MixReal<V>;
  k.MixComplex = MixComplex<V>;
  k.Transient = Transient<V>;
}

}  // namespace
}  // namespace ps_vec
