// Every vector primitive kernel of every kernel table (generic, SSE2 and
// AVX2, or NEON; bench_isa.h), on the sizes the decoders use: a 1024-line
// spectrum or a 2048-sample stereo frame.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "bench/bench_isa.h"
#include "dsp/vector_impl.h"

namespace {

constexpr int kN = 1024;

std::vector<float> Floats(int n, float scale) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> d(-scale, scale);
  std::vector<float> v(static_cast<size_t>(n));
  for (float& x : v) x = d(rng);
  return v;
}

std::vector<int32_t> Ints(int n) {
  std::mt19937 rng(4);
  std::vector<int32_t> v(static_cast<size_t>(n));
  for (int32_t& x : v) x = static_cast<int32_t>(rng()) >> 8;
  return v;
}

template <typename Fn>
void Binary(benchmark::State& st, Fn fn) {
  const auto a = Floats(kN, 1.0f), b = Floats(kN, 1.0f);
  std::vector<float> d(kN);
  for (auto _ : st) {
    fn(a.data(), b.data(), d.data(), kN);
    benchmark::DoNotOptimize(d.data());
  }
  st.SetItemsProcessed(st.iterations() * kN);
}

template <typename Fn>
void WithConstant(benchmark::State& st, Fn fn) {
  const auto a = Floats(kN, 1.0f);
  std::vector<float> d(kN, 0.5f);
  for (auto _ : st) {
    fn(a.data(), 0.75f, d.data(), kN);
    benchmark::DoNotOptimize(d.data());
  }
  st.SetItemsProcessed(st.iterations() * kN);
}

template <typename Fn>
void Complex(benchmark::State& st, Fn fn) {
  const auto a = Floats(2 * kN, 1.0f), b = Floats(2 * kN, 1.0f);
  std::vector<float> d(2 * kN);
  for (auto _ : st) {
    fn(reinterpret_cast<const Dsp32fc*>(a.data()), reinterpret_cast<const Dsp32fc*>(b.data()),
       reinterpret_cast<Dsp32fc*>(d.data()), kN);
    benchmark::DoNotOptimize(d.data());
  }
  st.SetItemsProcessed(st.iterations() * kN);
}

template <typename Fn>
void Reduce(benchmark::State& st, Fn fn) {
  const auto a = Ints(kN);
  for (auto _ : st) benchmark::DoNotOptimize(fn(a.data(), kN));
  st.SetItemsProcessed(st.iterations() * kN);
}

template <typename Fn>
void Shift(benchmark::State& st, Fn fn) {
  auto a = Ints(kN);
  for (auto _ : st) {
    fn(3, a.data(), kN);
    benchmark::DoNotOptimize(a.data());
  }
  st.SetItemsProcessed(st.iterations() * kN);
}

template <typename Fn>
void AddScaled(benchmark::State& st, Fn fn) {
  const auto a = Ints(kN), b = Ints(kN);
  std::vector<int32_t> d(kN);
  for (auto _ : st) {
    fn(a.data(), b.data(), d.data(), kN, 2, true);
    benchmark::DoNotOptimize(d.data());
  }
  st.SetItemsProcessed(st.iterations() * kN);
}

// A frame of `nch` channels (kN samples each) to interleaved 16-bit PCM.
template <typename Fn>
void InterleaveChannels(benchmark::State& st, Fn fn, int nch) {
  std::vector<std::vector<float>> chans;
  std::vector<const float*> ch;
  for (int k = 0; k < nch; ++k) chans.push_back(Floats(kN, 40000.0f));
  for (const auto& c : chans) ch.push_back(c.data());
  std::vector<int16_t> d(static_cast<size_t>(nch) * kN);
  for (auto _ : st) {
    fn(ch.data(), nch, kN, d.data());
    benchmark::DoNotOptimize(d.data());
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
  std::vector<uint8_t> bytes(4 * kN);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 131);
  for (auto _ : st)
    benchmark::DoNotOptimize(fn(bytes.data(), static_cast<int32_t>(bytes.size()), ~0u));
  st.SetBytesProcessed(st.iterations() * static_cast<int64_t>(bytes.size()));
}

template <typename Fn>
void Pow43(benchmark::State& st, Fn fn) {
  std::vector<int16_t> q(kN);
  std::mt19937 rng(5);
  for (int16_t& v : q) v = static_cast<int16_t>(static_cast<int>(rng() % 41) - 20);
  std::vector<float> d(kN);
  for (auto _ : st) {
    fn(q.data(), d.data(), kN);
    benchmark::DoNotOptimize(d.data());
  }
  st.SetItemsProcessed(st.iterations() * kN);
}

template <typename Fn>
void Predict(benchmark::State& st, Fn fn) {
  std::vector<std::vector<float>> arrays;
  for (int k = 0; k < kPredictorArrays; ++k) arrays.push_back(Floats(kN, 1.0f));
  for (float& v : arrays[kVar0]) v = 1.0f + v * v;
  for (float& v : arrays[kVar1]) v = 1.0f + v * v;
  float* s[kPredictorArrays];
  for (int k = 0; k < kPredictorArrays; ++k) s[k] = arrays[static_cast<size_t>(k)].data();
  auto x = Floats(kN, 1000.0f);
  for (auto _ : st) {
    fn(x.data(), 0, kN, true, s);
    benchmark::DoNotOptimize(x.data());
  }
  st.SetItemsProcessed(st.iterations() * kN);
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
  VX_BENCH(Predict, "Predict_32f", Predict_32f);
  return true;
}();

#undef VX_BENCH

}  // namespace
