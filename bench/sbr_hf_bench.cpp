// SBR HF generation and envelope adjustment kernels of every kernel table,
// at the sizes of a full-rate frame: the predictor covariance and solve of
// 32 source subbands over 38 products, the patching of 32 subbands over 32 slots, and
// per slot the gain smoothing and noise addition of 40 subbands, per
// envelope the gains, limiter and boost of 40 subbands.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "bench/bench_isa.h"
#include "sbr/sbr_hf_kernels.h"

namespace {

using vxbench::Noise;

void Covariance(benchmark::State& state, const DspKernels* k) {
  const std::vector<float> x = Noise(40 * kSbrLowRow, 1);
  double sums[32][5];
  for (auto _ : state) {
    k->sbr.Covariance(x.data(), 32, 38, sums);
    benchmark::DoNotOptimize(sums);
  }
}

void Solve(benchmark::State& state, const DspKernels* k) {
  const std::vector<float> x = Noise(40 * kSbrLowRow, 1);
  double sums[32][5];
  k->sbr.Covariance(x.data(), 32, 38, sums);
  alignas(32) float a0[64], a1[64];
  for (auto _ : state) {
    k->sbr.Solve(sums, x.data(), 32, 38, a0, a1);
    benchmark::DoNotOptimize(a0);
    benchmark::DoNotOptimize(a1);
  }
}

void Patch(benchmark::State& state, const DspKernels* k) {
  const std::vector<float> x = Noise(40 * kSbrLowRow, 2);
  const std::vector<float> coef = Noise(4 * kSbrHighRow, 3);
  std::vector<float> y(40 * kSbrHighRow);
  for (auto _ : state) {
    k->sbr.Patch(x.data(), y.data(), 32, coef.data(), 64);
    benchmark::DoNotOptimize(y.data());
  }
}

// One slot: smoothing of the gains and noise levels, then the addition.
void SmoothAdjust(benchmark::State& state, const DspKernels* k) {
  const std::vector<float> hist = Noise(10 * kSbrHighRow, 4);
  const std::vector<float> noise = Noise(kSbrHighRow, 5);
  std::vector<float> x = Noise(kSbrHighRow, 6), g(kSbrHighRow), q(kSbrHighRow);
  const float* grows[5];
  const float* qrows[5];
  for (int r = 0; r < 5; ++r) {
    grows[r] = hist.data() + r * kSbrHighRow;
    qrows[r] = hist.data() + (5 + r) * kSbrHighRow;
  }
  for (auto _ : state) {
    k->sbr.Smooth(grows, g.data(), 80);
    k->sbr.Smooth(qrows, q.data(), 80);
    k->sbr.Adjust(x.data(), g.data(), q.data(), noise.data(), 80);
    benchmark::DoNotOptimize(x.data());
  }
}

// One envelope: gains, limiter and boost (levels positive, about half the
// gains over their limit).
void Gains(benchmark::State& state, const DspKernels* k) {
  std::vector<float> e = Noise(64, 7), q = Noise(64, 8), cur = Noise(64, 9), lim = Noise(64, 10);
  for (auto* v : {&e, &q, &cur, &lim}) {
    for (auto& x : *v) x = 1.0f + 100.0f * x * x;
  }
  int32_t flags[64];
  for (int m = 0; m < 64; ++m) flags[m] = m % 7 == 0 ? kSbrSine | kSbrBandSine : 0;
  alignas(32) float g[64], qm[64], sm[64];
  for (auto _ : state) {
    k->sbr.Gains(e.data(), q.data(), cur.data(), flags, false, 40, g, qm, sm);
    k->sbr.Limit(g, qm, lim.data(), 40);
    k->sbr.Boost(g, qm, sm, cur.data(), 40);
    benchmark::DoNotOptimize(g);
    benchmark::DoNotOptimize(qm);
    benchmark::DoNotOptimize(sm);
  }
}

const bool kRegistered = [] {
  vxbench::RegisterPerIsa(
      "BM_SbrCovariance", [](const DspKernels& k) { return k.sbr.Covariance; }, Covariance);
  vxbench::RegisterPerIsa(
      "BM_SbrSolve", [](const DspKernels& k) { return k.sbr.Solve; }, Solve);
  vxbench::RegisterPerIsa(
      "BM_SbrPatch", [](const DspKernels& k) { return k.sbr.Patch; }, Patch);
  vxbench::RegisterPerIsa(
      "BM_SbrSmoothAdjust", [](const DspKernels& k) { return k.sbr.Adjust; }, SmoothAdjust);
  vxbench::RegisterPerIsa(
      "BM_SbrGains", [](const DspKernels& k) { return k.sbr.Gains; }, Gains);
  return true;
}();

}  // namespace
