// SBR per frame (32 QMF slots, 1024 core samples): the analysis bank, the
// synthesis banks (64 bands at twice the rate, 32 downsampled; complex and
// real-valued), each kernel of every kernel table; and whole
// HE-AAC frames decoded with SBR off, high quality and low power (the
// difference is the SBR process of a stereo frame).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_isa.h"
#include "bench/bench_stream.h"
#include "dsp/dsp_core.h"
#include "sbr/sbr_qmf_impl.h"
#include "sbr/sbr_tables.h"

namespace {

using AnalysisFn = DspQmfAnalysisFn;
using SynthesisFn = DspQmfSynthesisFn;

constexpr int kSlots = 32;

std::vector<float> Noise(size_t n) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> d(-3000.0f, 3000.0f);
  std::vector<float> v(n);
  for (float& x : v) x = d(rng);
  return v;
}

void Analysis(benchmark::State& state, AnalysisFn fn) {
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

void Synthesis(benchmark::State& state, int bands, SynthesisFn fn) {
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

// One row per bank and kernel table (bench_isa.h).
#define VX_ANALYSIS(name, kernel)                             \
  vxbench::RegisterPerIsa(                                    \
      name, [](const DspKernels& k) { return k.qmf.kernel; }, \
      [](benchmark::State& st, const DspKernels* k) { Analysis(st, k->qmf.kernel); })
#define VX_SYNTHESIS(name, bands, kernel)                     \
  vxbench::RegisterPerIsa(                                    \
      name, [](const DspKernels& k) { return k.qmf.kernel; }, \
      [](benchmark::State& st, const DspKernels* k) { Synthesis(st, bands, k->qmf.kernel); })

const bool kQmfRegistered = [] {
  VX_ANALYSIS("BM_QmfAnalysisHQ", AnalysisB);
  VX_ANALYSIS("BM_QmfAnalysisLP", AnalysisA);
  VX_SYNTHESIS("BM_QmfSynthesis64HQ", 64, Synthesis64B);
  VX_SYNTHESIS("BM_QmfSynthesis32HQ", 32, Synthesis32B);
  VX_SYNTHESIS("BM_QmfSynthesis64LP", 64, Synthesis64A);
  VX_SYNTHESIS("BM_QmfSynthesis32LP", 32, Synthesis32A);
  return true;
}();

#undef VX_ANALYSIS
#undef VX_SYNTHESIS

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
