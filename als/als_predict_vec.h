// ALS short-term synthesis filter written once over a lane type V
// (simd_*.h) and instantiated by als_predict_<isa>.cpp.  The sums are
// integers that wrap modulo 2^64, so any order of summation gives the
// generic kernel's results exactly.
#pragma once

#include <type_traits>

#include "als/als_predict_impl.h"

namespace als_vec {
namespace {

// Sum of rcof[j] * xp[j] over j in [from, from + count) (count a multiple
// of V::kLanes).
template <class V>
inline uint64_t Dot(const int32_t* rcof, const int32_t* xp, int32_t from, int32_t count) {
  auto acc = V::Acc64Zero();
  for (int32_t j = from; j < from + count; j += V::kLanes) {
    acc = V::MulAdd64(acc, V::LoadI(rcof + j), V::LoadI(xp + j));
  }
  return V::Sum64(acc);
}

// Lanes of the narrow step (the wide ones when there is none).
template <class V>
constexpr int32_t NarrowLanes() {
  if constexpr (std::is_void_v<typename V::Narrow>) {
    return V::kLanes;
  } else {
    return V::Narrow::kLanes;
  }
}

// The vector part covers the taps on samples at least four positions back,
// so it does not wait for the newest outputs (whose stores are still in
// flight); the newest taps are summed in scalar code.  The loop-carried
// dependency is then only the short scalar tail.  Wide lanes leave one
// narrow step before the tail.
template <class V>
void PredictBlock(const int32_t* rcof, int32_t order, const int32_t* e, int32_t* x, int32_t n) {
  using Narrow = typename V::Narrow;
  constexpr int32_t kNarrow = NarrowLanes<V>();
  const int32_t kv = order > 4 ? order - 4 : 0;
  const int32_t kw = kv - kv % V::kLanes;  // taps of the wide part
  const int32_t kn = kv - kv % kNarrow;    // and of the narrow step
  for (int32_t i = 0; i < n; ++i) {
    const int32_t* xp = x + i - order;
    uint64_t sum = (kw > 0 ? Dot<V>(rcof, xp, 0, kw) : 0) + (1u << 19);
    if constexpr (!std::is_void_v<Narrow>) {
      if (kn > kw) sum += Dot<Narrow>(rcof, xp, kw, kn - kw);
    }
    for (int32_t j = kn; j < order; ++j) {
      sum += static_cast<uint64_t>(int64_t{rcof[j]} * xp[j]);
    }
    x[i] = static_cast<int32_t>(static_cast<uint32_t>(e[i]) -
                                static_cast<uint32_t>(static_cast<int64_t>(sum) >> 20));
  }
}

}  // namespace
}  // namespace als_vec
