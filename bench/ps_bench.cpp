// Parametric stereo per frame (32 QMF slots): the hybrid analysis kernels
// of every kernel table, the whole stereo synthesis in both layouts with new
// parameters every frame, and whole HE-AAC v2 frames decoded with the mono
// output and with full parametric stereo.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_isa.h"
#include "bench/bench_stream.h"
#include "dsp/dsp_core.h"
#include "ps/ps_internal.h"

namespace {

using vxbench::Noise;

// Per kernel table: the 12-band filter of the 34-band layout and the
// two-band real filter of the 20-band layout.
void PsHybridComplex12(benchmark::State& state, const DspKernels* k) {
  const std::vector<float> in = Noise(2 * kPsWindowSlots, 1);
  std::vector<float> out(12 * kPsSlots * 2);
  const auto* window = reinterpret_cast<const float(*)[2]>(in.data());
  auto* rows = reinterpret_cast<float(*)[kPsSlots][2]>(out.data());
  for (auto _ : state) {
    k->ps_hybrid.HybridComplex(window, kPsHybrid12x34, kPsHybridCentre12x34, 12, rows, kPsSlots);
    benchmark::DoNotOptimize(out.data());
  }
}

void PsHybridReal(benchmark::State& state, const DspKernels* k) {
  const std::vector<float> in = Noise(2 * kPsWindowSlots, 2);
  std::vector<float> low(2 * kPsSlots), high(2 * kPsSlots);
  const auto* window = reinterpret_cast<const float(*)[2]>(in.data());
  for (auto _ : state) {
    k->ps_hybrid.HybridReal(window, kPsHybrid2Odd, kPsHybrid2Centre,
                            reinterpret_cast<float(*)[2]>(low.data()),
                            reinterpret_cast<float(*)[2]>(high.data()), kPsSlots);
    benchmark::DoNotOptimize(low.data());
    benchmark::DoNotOptimize(high.data());
  }
}

// The decorrelator's all-pass chain over the 30 all-pass bands of the
// 20-band layout, one frame.
void PsAllPass30(benchmark::State& state, const DspKernels* k) {
  constexpr int kBands = 30;
  const std::vector<float> in = Noise(2 * kPsSlots * kBands, 3);
  std::vector<float> out(2 * kPsSlots * kBands), history(kBands * 3 * 5 * 2, 0.0f);
  std::vector<float> gain(kPsSlots, 0.9f);
  DspPsAllPassBand bands[kBands];
  for (int b = 0; b < kBands; ++b) {
    DspPsAllPassBand& p = bands[b];
    p.in = reinterpret_cast<const float(*)[2]>(&in[2 * kPsSlots * b]);
    p.out = reinterpret_cast<float(*)[2]>(&out[2 * kPsSlots * b]);
    p.history = reinterpret_cast<float(*)[5][2]>(&history[30 * b]);
    p.gain = gain.data();
    p.phi[0] = kPsPhiFract20[b][0];
    p.phi[1] = kPsPhiFract20[b][1];
    for (int m = 0; m < 3; ++m) {
      p.q[m][0] = kPsQFract20[b][m][0];
      p.q[m][1] = kPsQFract20[b][m][1];
      p.ag[m] = kPsLinkCoef[m];
    }
  }
  for (auto _ : state) {
    k->ps_hybrid.AllPass(bands, kBands, kPsSlots);
    benchmark::DoNotOptimize(out.data());
  }
}

// The decorrelator's transient gains over the 34 parameter bands, one
// frame (the state carries on from frame to frame).
void PsTransient34(benchmark::State& state, const DspKernels* k) {
  const std::vector<float> noise = Noise(kDspTransientRows * kDspHybridSlots, 4);
  float power[kDspTransientRows][kDspHybridSlots] = {}, gain[kDspTransientRows][kDspHybridSlots];
  for (int i = 0; i < 34; ++i) {
    for (int n = 0; n < kDspHybridSlots; ++n) {
      power[i][n] = noise[i * kDspHybridSlots + n] * noise[i * kDspHybridSlots + n];
    }
  }
  float st[3][kDspTransientRows] = {};
  for (auto _ : state) {
    k->ps_hybrid.Transient(power, st, 34, kDspHybridSlots, gain);
    benchmark::DoNotOptimize(gain);
  }
}

// The unsplit bands of the 20-band layout (QMF bands 3..63) from slot rows
// to band rows and back, one frame.
void PsTranspose61(benchmark::State& state, const DspKernels* k) {
  std::vector<float> qmf = Noise(kDspHybridSlots * 128, 5);
  std::vector<float> bands(64 * kDspHybridSlots * 2);
  auto* x = reinterpret_cast<float(*)[kDspHybridSlots][2]>(bands.data());
  float* rows[kDspHybridSlots];
  for (int n = 0; n < kDspHybridSlots; ++n) rows[n] = &qmf[128 * n];
  for (auto _ : state) {
    k->ps_hybrid.ToBands(rows, 3, 64, kDspHybridSlots, x);
    k->ps_hybrid.ToSlots(x, 3, 64, kDspHybridSlots, rows);
    benchmark::DoNotOptimize(qmf.data());
  }
}

// Mixing of one frame over the 71 bands of the 34-band layout (one
// envelope, the matrix moving every slot), real or complex matrices.
void PsMix71(benchmark::State& state, const DspKernels* k, bool complex) {
  constexpr int kBands = 71;
  std::vector<float> s = Noise(2 * kPsSlots * kBands, 4), d = Noise(2 * kPsSlots * kBands, 5);
  const float h[8] = {0.7f, 0.6f, 0.5f, -0.4f, 0.1f, -0.2f, 0.3f, 0.05f};
  const float step[8] = {-1e-3f, 2e-3f, 1e-3f, -2e-3f, 1e-4f, 2e-4f, -1e-4f, 3e-4f};
  const DspPsMixFn fn = complex ? k->ps_hybrid.MixComplex : k->ps_hybrid.MixReal;
  for (auto _ : state) {
    for (int b = 0; b < kBands; ++b) {
      fn(reinterpret_cast<float(*)[2]>(&s[2 * kPsSlots * b]),
         reinterpret_cast<float(*)[2]>(&d[2 * kPsSlots * b]), kPsSlots, h, step);
    }
    benchmark::DoNotOptimize(s.data());
    benchmark::DoNotOptimize(d.data());
  }
}

const bool kHybridRegistered = [] {
  vxbench::RegisterPerIsa(
      "BM_PsMixReal71", [](const DspKernels& k) { return k.ps_hybrid.MixReal; },
      [](benchmark::State& st, const DspKernels* k) { PsMix71(st, k, false); });
  vxbench::RegisterPerIsa(
      "BM_PsMixComplex71", [](const DspKernels& k) { return k.ps_hybrid.MixComplex; },
      [](benchmark::State& st, const DspKernels* k) { PsMix71(st, k, true); });
  vxbench::RegisterPerIsa(
      "BM_PsTranspose61", [](const DspKernels& k) { return k.ps_hybrid.ToSlots; }, PsTranspose61);
  vxbench::RegisterPerIsa(
      "BM_PsTransient34", [](const DspKernels& k) { return k.ps_hybrid.Transient; }, PsTransient34);
  vxbench::RegisterPerIsa(
      "BM_PsAllPass30", [](const DspKernels& k) { return k.ps_hybrid.AllPass; }, PsAllPass30);
  vxbench::RegisterPerIsa(
      "BM_PsHybridComplex12", [](const DspKernels& k) { return k.ps_hybrid.HybridComplex; },
      PsHybridComplex12);
  vxbench::RegisterPerIsa(
      "BM_PsHybridReal", [](const DspKernels& k) { return k.ps_hybrid.HybridReal; }, PsHybridReal);
  return true;
}();

// One frame of stereo synthesis, parameters new every frame (one envelope,
// mixed IID/ICC values; phase parameters in the 34-band layout).
// Argument: 20 or 34 parameter bands.  The refill of the mono input (38
// slots) is part of the time.
void BM_PsSynthesize(benchmark::State& state) {
  dspStaticInit();
  auto ps = std::make_unique<PSDecState>();
  if (PsInit(*ps) != 0) {
    state.SkipWithError("PsInit failed");
    return;
  }
  PsReset(*ps);
  const bool wide = state.range(0) == 34;
  ps->numBandsLayout = wide ? kPsLayout34 : kPsLayout20;
  ps->ps_mode = 411;
  ps->started = 1;
  ps->enable_ipdopd = wide ? 1 : 0;
  for (int b = 0; b < kPsMaxBands; ++b) {
    ps->iidIndex[0][b] = static_cast<int16_t>(b % 9 - 4);
    ps->iccIndex[0][b] = static_cast<int16_t>(b % 8);
  }
  for (int b = 0; b < kPsMaxPhaseBands; ++b) {
    ps->ipdIndex[0][b] = static_cast<int16_t>(b % 8);
    ps->opdIndex[0][b] = static_cast<int16_t>((b + 3) % 8);
  }
  constexpr int kRows = kPsSlots + kPsLookAhead;
  const std::vector<float> source = Noise(128 * kRows, 3);
  std::vector<float> left(128 * kRows), right(128 * kPsSlots);
  float* lrows[kRows];
  float* rrows[kPsSlots];
  for (int n = 0; n < kRows; ++n) lrows[n] = &left[128 * n];
  for (int n = 0; n < kPsSlots; ++n) rrows[n] = &right[128 * n];
  for (auto _ : state) {
    std::memcpy(left.data(), source.data(), sizeof(float) * left.size());
    ps->fresh = 1;
    PsSynthesize(*ps, lrows, rrows, 48);
    benchmark::DoNotOptimize(right.data());
  }
  state.SetItemsProcessed(state.iterations());  // frames
  state.SetLabel(wide ? "34 bands, phase" : "20 bands");
}
BENCHMARK(BM_PsSynthesize)->Arg(20)->Arg(34);

// Whole frames of the 32 kHz HE-AAC v2 fixture at full rate.  Argument:
// ps_mode 0 (mono output, PS data skipped) or 411 (stereo output).
void BM_HeAacV2Frame(benchmark::State& state) {
  UMC::AACDecoderParams params;
  params.sbr_rate_mode = 0;
  params.ps_mode = static_cast<int32_t>(state.range(0));
  vxbench::DecodeFixtureFrames(state, "ps/ps_32k_16.aac", params);
  state.SetLabel(params.ps_mode == 0 ? "mono" : "parametric stereo");
}
BENCHMARK(BM_HeAacV2Frame)->Arg(0)->Arg(411);

}  // namespace
