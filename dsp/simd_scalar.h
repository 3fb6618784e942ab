// The one-lane "vector": plain floats in the lane vocabulary of simd_*.h,
// for the scalar remainders and generic forms of lane-templated kernels
// (sbr_qmf_vec.h, ps_decorrelate_vec.h).
#pragma once

namespace {

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
  static F Div(F a, F b) { return a / b; }
  // a > b ? x : y (false when either is NaN).
  static F IfGreater(F a, F b, F x, F y) { return a > b ? x : y; }
  static void Transpose(F*) {}
};

}  // namespace
