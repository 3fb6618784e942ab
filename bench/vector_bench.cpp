// Every vector primitive kernel of every kernel table (generic, SSE2 and
// AVX2, or NEON; bench_isa.h), on the sizes the decoders use: a 1024-line
// spectrum or a 2048-sample stereo frame.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "bench/bench_isa.h"
#include "dsp/vector_impl.h"

namespace {

constexpr int kN = 1024;

// The arrays of a benchmark, in one page-aligned block: slot k starts k
// times 18 KiB in, so any two slots are 0 or 2 KiB apart modulo 4 KiB.  A
// load from an address whose low twelve bits match a store still in flight
// waits as if they overlapped; where the heap happened to put separately
// allocated arrays made such rows up to twice as slow from one build to the
// next.
class Arena {
 public:
  static constexpr size_t kSlotBytes = 16 * 1024;
  static constexpr size_t kStride = kSlotBytes + 2048;
  Arena() : block_(8 * kStride + 4096) {}
  template <typename T>
  T* Slot(int k) {
    const auto base = (reinterpret_cast<uintptr_t>(block_.data()) + 4095) & ~uintptr_t{4095};
    return reinterpret_cast<T*>(base + static_cast<size_t>(k) * kStride);
  }
  float* Floats(int k, int n, float scale) {
    std::mt19937 rng(3 + k);
    std::uniform_real_distribution<float> d(-scale, scale);
    float* v = Slot<float>(k);
    for (int i = 0; i < n; ++i) v[i] = d(rng);
    return v;
  }
  int32_t* Ints(int k, int n) {
    std::mt19937 rng(4 + k);
    int32_t* v = Slot<int32_t>(k);
    for (int i = 0; i < n; ++i) v[i] = static_cast<int32_t>(rng()) >> 8;
    return v;
  }

 private:
  std::vector<uint8_t> block_;
};

template <typename Fn>
void Binary(benchmark::State& st, Fn fn) {
  Arena m;
  const float *a = m.Floats(0, kN, 1.0f), *b = m.Floats(1, kN, 1.0f);
  float* d = m.Floats(2, kN, 1.0f);
  for (auto _ : st) {
    fn(a, b, d, kN);
    benchmark::DoNotOptimize(d);
  }
  st.SetItemsProcessed(st.iterations() * kN);
}

template <typename Fn>
void WithConstant(benchmark::State& st, Fn fn) {
  Arena m;
  const float* a = m.Floats(0, kN, 1.0f);
  float* d = m.Floats(1, kN, 0.5f);
  for (auto _ : st) {
    fn(a, 0.75f, d, kN);
    benchmark::DoNotOptimize(d);
  }
  st.SetItemsProcessed(st.iterations() * kN);
}

template <typename Fn>
void Complex(benchmark::State& st, Fn fn) {
  Arena m;
  const auto* a = reinterpret_cast<const Dsp32fc*>(m.Floats(0, 2 * kN, 1.0f));
  const auto* b = reinterpret_cast<const Dsp32fc*>(m.Floats(1, 2 * kN, 1.0f));
  auto* d = reinterpret_cast<Dsp32fc*>(m.Floats(2, 2 * kN, 1.0f));
  for (auto _ : st) {
    fn(a, b, d, kN);
    benchmark::DoNotOptimize(d);
  }
  st.SetItemsProcessed(st.iterations() * kN);
}

template <typename Fn>
void Reduce(benchmark::State& st, Fn fn) {
  Arena m;
  const int32_t* a = m.Ints(0, kN);
  for (auto _ : st) benchmark::DoNotOptimize(fn(a, kN));
  st.SetItemsProcessed(st.iterations() * kN);
}

template <typename Fn>
void Shift(benchmark::State& st, Fn fn) {
  Arena m;
  int32_t* a = m.Ints(0, kN);
  for (auto _ : st) {
    fn(3, a, kN);
    benchmark::DoNotOptimize(a);
  }
  st.SetItemsProcessed(st.iterations() * kN);
}

template <typename Fn>
void AddScaled(benchmark::State& st, Fn fn) {
  Arena m;
  const int32_t *a = m.Ints(0, kN), *b = m.Ints(1, kN);
  int32_t* d = m.Ints(2, kN);
  for (auto _ : st) {
    fn(a, b, d, kN, 2, true);
    benchmark::DoNotOptimize(d);
  }
  st.SetItemsProcessed(st.iterations() * kN);
}

// A frame of `nch` channels (kN samples each) to interleaved 16-bit PCM.
template <typename Fn>
void InterleaveChannels(benchmark::State& st, Fn fn, int nch) {
  Arena m;
  std::vector<const float*> ch;
  for (int k = 0; k < nch; ++k) ch.push_back(m.Floats(k, kN, 40000.0f));
  int16_t* d = m.Slot<int16_t>(nch);
  for (auto _ : st) {
    fn(ch.data(), nch, kN, d);
    benchmark::DoNotOptimize(d);
  }
  st.SetItemsProcessed(st.iterations() * nch * kN);
}

template <typename Fn>
void Interleave(benchmark::State& st, Fn fn) {
  InterleaveChannels(st, fn, 2);
}

template <typename Fn>
void Interleave51(benchmark::State& st, Fn fn) {
  InterleaveChannels(st, fn, 6);
}

template <typename Fn>
void Crc(benchmark::State& st, Fn fn) {
  Arena m;
  uint8_t* bytes = m.Slot<uint8_t>(0);
  const int32_t n = 4 * kN;
  for (int32_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 131);
  for (auto _ : st) benchmark::DoNotOptimize(fn(bytes, n, ~0u));
  st.SetBytesProcessed(st.iterations() * n);
}

// kN quantised values, uniform in -20..20.
void FillQuant(int16_t* q) {
  std::mt19937 rng(5);
  for (int i = 0; i < kN; ++i) q[i] = static_cast<int16_t>(static_cast<int>(rng() % 41) - 20);
}

template <typename Fn>
void Pow43(benchmark::State& st, Fn fn) {
  Arena m;
  int16_t* q = m.Slot<int16_t>(0);
  FillQuant(q);
  float* d = m.Slot<float>(1);
  for (auto _ : st) {
    fn(q, d, kN);
    benchmark::DoNotOptimize(d);
  }
  st.SetItemsProcessed(st.iterations() * kN);
}

// Long-window bands of 44.1 kHz (4 to 32 lines) over the first `lines` of q.
template <typename Fn>
void RunPow43Bands(benchmark::State& st, Fn fn, const int16_t* q, float* d, int32_t lines) {
  static int32_t offsets[kN / 4 + 1];
  float gains[kN / 4];
  int32_t nb = 0;
  for (int32_t at = 0; at < lines; ++nb) {
    offsets[nb] = at;
    gains[nb] = 0.5f + 0.01f * nb;
    const int32_t w = at < lines / 8 ? 4 : at < lines / 2 ? 16 : 32;
    at = at + w < lines ? at + w : lines;
  }
  offsets[nb] = lines;
  for (auto _ : st) {
    fn(q, gains, offsets, nb, d);
    benchmark::DoNotOptimize(d);
  }
  st.SetItemsProcessed(st.iterations() * lines);
}

// Uniform values -20..20.
template <typename Fn>
void Pow43Bands(benchmark::State& st, Fn fn) {
  Arena m;
  int16_t* q = m.Slot<int16_t>(0);
  FillQuant(q);
  RunPow43Bands(st, fn, q, m.Slot<float>(1), kN);
}

// A spectrum shaped like a loud multichannel frame: Laplacian magnitudes
// whose scale falls from about 40 at the lowest lines to below one at the
// top, over 1000 lines (the remainder after the last 32-line block is 8), so
// that blocks range from all-small to escape-sized.
template <typename Fn>
void Pow43Spectrum(benchmark::State& st, Fn fn) {
  constexpr int32_t kLines = 1000;
  static_assert(kLines <= kN);
  Arena m;
  int16_t* q = m.Slot<int16_t>(0);
  std::mt19937 rng(7);
  std::exponential_distribution<float> mag(1.0f);
  for (int i = 0; i < kLines; ++i) {
    const float scale = 40.0f * std::exp(-static_cast<float>(i) / 160.0f) + 0.4f;
    const int v = static_cast<int>(mag(rng) * scale);
    q[i] = static_cast<int16_t>(rng() & 1 ? v : -v);
  }
  RunPow43Bands(st, fn, q, m.Slot<float>(1), kLines);
}

// One long window's 49 band gains, scale factors around the global gain.
template <typename Fn>
void ScalefactorGain(benchmark::State& st, Fn fn) {
  constexpr int32_t kBands = 49;
  int16_t sf[kBands];
  for (int32_t b = 0; b < kBands; ++b) sf[b] = static_cast<int16_t>(100 + (b * 7) % 23 - 11);
  float gains[kBands];
  for (auto _ : st) {
    fn(sf, 100, gains, kBands);
    benchmark::DoNotOptimize(gains);
  }
  st.SetItemsProcessed(st.iterations() * kBands);
}

template <typename Fn>
void Ternary(benchmark::State& st, Fn fn) {
  Arena m;
  const float *a = m.Floats(0, kN, 1.0f), *b = m.Floats(1, kN, 1.0f);
  float* d = m.Floats(2, kN, 1.0f);
  for (auto _ : st) {
    fn(a, b, d, d, kN);
    benchmark::DoNotOptimize(d);
  }
  st.SetItemsProcessed(st.iterations() * kN);
}

template <typename Fn>
void InPlacePair(benchmark::State& st, Fn fn) {
  Arena m;
  float *a = m.Floats(0, kN, 1.0f), *b = m.Floats(1, kN, 1.0f);
  for (auto _ : st) {
    fn(a, b, kN);
    benchmark::DoNotOptimize(a);
  }
  st.SetItemsProcessed(st.iterations() * kN);
}

template <typename Fn>
void Predict(benchmark::State& st, Fn fn) {
  Arena m;
  float* s[kPredictorArrays];
  for (int k = 0; k < kPredictorArrays; ++k) s[k] = m.Floats(k, kN, 1.0f);
  for (int i = 0; i < kN; ++i) {
    s[kVar0][i] = 1.0f + s[kVar0][i] * s[kVar0][i];
    s[kVar1][i] = 1.0f + s[kVar1][i] * s[kVar1][i];
  }
  float* x = m.Floats(kPredictorArrays, kN, 1000.0f);
  for (auto _ : st) {
    fn(x, 0, kN, true, s);
    benchmark::DoNotOptimize(x);
  }
  st.SetItemsProcessed(st.iterations() * kN);
}

// Noise bands of 32 lines, the widest of long windows at 44.1 kHz.
template <typename Fn>
void Noise(benchmark::State& st, Fn fn) {
  constexpr int kBand = 32;
  Arena m;
  float* d = m.Floats(0, kBand, 1.0f);
  uint32_t state = 1;
  for (auto _ : st) {
    benchmark::DoNotOptimize(fn(d, kBand, &state));
    benchmark::ClobberMemory();
  }
  st.SetItemsProcessed(st.iterations() * kBand);
}

// One row per kernel and instruction set (bench_isa.h).
#define VX_BENCH(bench, name, kernel)                            \
  vxbench::RegisterPerIsa(                                       \
      name, [](const DspKernels& k) { return k.vector.kernel; }, \
      [](benchmark::State& st, const DspKernels* k) { bench(st, k->vector.kernel); })

const bool kRegistered = [] {
  VX_BENCH(Binary, "Add_32f", Add_32f);
  VX_BENCH(Binary, "Mul_32f", Mul_32f);
  VX_BENCH(WithConstant, "MulC_32f", MulC_32f);
  VX_BENCH(WithConstant, "AddProductC_32f", AddProductC_32f);
  VX_BENCH(Complex, "Add_32fc", Add_32fc);
  VX_BENCH(Complex, "Sub_32fc", Sub_32fc);
  VX_BENCH(Reduce, "Max_32s", Max_32s);
  VX_BENCH(Reduce, "Min_32s", Min_32s);
  VX_BENCH(Shift, "ShiftLeft_32s", ShiftLeft_32s);
  VX_BENCH(Shift, "ShiftRight_32s", ShiftRight_32s);
  VX_BENCH(AddScaled, "AddScaled_32s", AddScaled_32s);
  VX_BENCH(Interleave, "InterleaveConvert_32f16s", InterleaveConvert_32f16s);
  VX_BENCH(Interleave51, "InterleaveConvert_32f16s/6ch", InterleaveConvert_32f16s);
  VX_BENCH(Crc, "Crc32", Crc32);
  VX_BENCH(Pow43, "Pow43_16s32f", Pow43_16s32f);
  VX_BENCH(Pow43Bands, "Pow43Bands_16s32f", Pow43Bands_16s32f);
  VX_BENCH(Pow43Spectrum, "Pow43Bands_16s32f/spectrum", Pow43Bands_16s32f);
  VX_BENCH(ScalefactorGain, "ScalefactorGain_16s32f", ScalefactorGain_16s32f);
  VX_BENCH(Ternary, "MulAdd_32f", MulAdd_32f);
  VX_BENCH(InPlacePair, "SumDiff_32f", SumDiff_32f);
  VX_BENCH(Predict, "Predict_32f", Predict_32f);
  VX_BENCH(Noise, "Noise_32f", Noise_32f);
  return true;
}();

#undef VX_BENCH

}  // namespace
