// SBR per frame (32 QMF slots, 1024 core samples): the analysis bank, the
// synthesis banks (64 bands at twice the rate, 32 downsampled; complex and
// real-valued), each kernel as generic, SSE2 and AVX2 code; and whole
// HE-AAC frames decoded with SBR off, high quality and low power (the
// difference is the SBR process of a stereo frame).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_stream.h"
#include "dsp/dsp_core.h"
#include "sbr/sbr_qmf_impl.h"
#include "sbr/sbr_tables.h"

namespace {

using AnalysisFn = void (*)(float*, const float*, float* const*, int32_t, int32_t, const float*);
using SynthesisFn = void (*)(float*, const float* const*, float*, int32_t, const float*);

constexpr int kSlots = 32;

std::vector<float> Noise(size_t n) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> d(-3000.0f, 3000.0f);
  std::vector<float> v(n);
  for (float& x : v) x = d(rng);
  return v;
}

// Implementation argument: 0 generic, 1 SSE2, 2 AVX2.
template <typename Fn>
bool Pick(benchmark::State& state, Fn generic, Fn sse2, Fn avx2, Fn* out) {
  dspStaticInit();
  const int64_t impl = state.range(0);
  if (impl == 2 && !dspHasAvx2()) {
    state.SkipWithError("no AVX2");
    return false;
  }
  *out = impl == 0 ? generic : (impl == 1 ? sse2 : avx2);
  state.SetLabel(impl == 0 ? "generic" : (impl == 1 ? "sse2" : "avx2"));
  return true;
}

void Analysis(benchmark::State& state, AnalysisFn generic, AnalysisFn sse2, AnalysisFn avx2) {
  AnalysisFn fn;
  if (!Pick(state, generic, sse2, avx2, &fn)) return;
  const std::vector<float> in = Noise(32 * kSlots);
  std::vector<float> delay(288, 0.0f), out(64 * kSlots);
  float* rows[kSlots];
  for (int s = 0; s < kSlots; ++s) rows[s] = &out[64 * s];
  for (auto _ : state) {
    fn(delay.data(), in.data(), rows, kSlots, 24, kSbrQmfWindowEven);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations());  // frames
}

void Synthesis(benchmark::State& state, int bands, SynthesisFn generic, SynthesisFn sse2,
               SynthesisFn avx2) {
  SynthesisFn fn;
  if (!Pick(state, generic, sse2, avx2, &fn)) return;
  const std::vector<float> in = Noise(128 * kSlots);
  std::vector<float> delay(1280, 0.0f), out(64 * kSlots);
  const float* rows[kSlots];
  for (int s = 0; s < kSlots; ++s) rows[s] = &in[128 * s];
  const float* window = bands == 64 ? kSbrQmfWindow : kSbrQmfWindowEven;
  for (auto _ : state) {
    fn(delay.data(), rows, out.data(), kSlots, window);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_QmfAnalysisHQ(benchmark::State& state) {
  Analysis(state, qmf_generic::AnalysisB, qmf_sse2::AnalysisB, qmf_avx2::AnalysisB);
}
void BM_QmfAnalysisLP(benchmark::State& state) {
  Analysis(state, qmf_generic::AnalysisA, qmf_sse2::AnalysisA, qmf_avx2::AnalysisA);
}
void BM_QmfSynthesis64HQ(benchmark::State& state) {
  Synthesis(state, 64, qmf_generic::Synthesis64B, qmf_sse2::Synthesis64B, qmf_avx2::Synthesis64B);
}
void BM_QmfSynthesis32HQ(benchmark::State& state) {
  Synthesis(state, 32, qmf_generic::Synthesis32B, qmf_sse2::Synthesis32B, qmf_avx2::Synthesis32B);
}
void BM_QmfSynthesis64LP(benchmark::State& state) {
  Synthesis(state, 64, qmf_generic::Synthesis64A, qmf_sse2::Synthesis64A, qmf_avx2::Synthesis64A);
}
void BM_QmfSynthesis32LP(benchmark::State& state) {
  Synthesis(state, 32, qmf_generic::Synthesis32A, qmf_sse2::Synthesis32A, qmf_avx2::Synthesis32A);
}
BENCHMARK(BM_QmfAnalysisHQ)->DenseRange(0, 2);
BENCHMARK(BM_QmfAnalysisLP)->DenseRange(0, 2);
BENCHMARK(BM_QmfSynthesis64HQ)->DenseRange(0, 2);
BENCHMARK(BM_QmfSynthesis32HQ)->DenseRange(0, 2);
BENCHMARK(BM_QmfSynthesis64LP)->DenseRange(0, 2);
BENCHMARK(BM_QmfSynthesis32LP)->DenseRange(0, 2);

// Whole frames of the 44.1 kHz stereo HE-AAC fixture (12 frames), full-rate
// output.  Argument: 0 SBR not decoded (AAC core only, 22.05 kHz), 18 high
// quality, 28 low power.
void BM_HeAacFrame(benchmark::State& state) {
  const int mode = static_cast<int>(state.range(0));
  UMC::AACDecoderParams params;
  params.sbr_rate_mode = 0;
  params.sbr_mode = mode == 0 ? 18 : mode;
  if (mode == 0) params.extension_mode = 0;
  vxbench::DecodeFixtureFrames(state, "sbr/he_44k_st_64.aac", params);
  state.SetLabel(mode == 0 ? "sbr off" : (mode == 18 ? "high quality" : "low power"));
}
BENCHMARK(BM_HeAacFrame)->Arg(0)->Arg(18)->Arg(28);

}  // namespace
