// Every vector primitive kernel, generic against SSE2 (and AVX2 where it
// has its own kernel), on the sizes the decoders use: a 1024-line spectrum
// or a 2048-sample stereo frame.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "dsp/dsp_core.h"
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

bool Avx2() {
  dspStaticInit();
  return dspHasAvx2();
}

template <void (*Fn)(const float*, const float*, float*, int32_t)>
void Binary(benchmark::State& st) {
  const auto a = Floats(kN, 1.0f), b = Floats(kN, 1.0f);
  std::vector<float> d(kN);
  for (auto _ : st) {
    Fn(a.data(), b.data(), d.data(), kN);
    benchmark::DoNotOptimize(d.data());
  }
  st.SetItemsProcessed(st.iterations() * kN);
}

template <void (*Fn)(const float*, float, float*, int32_t)>
void WithConstant(benchmark::State& st) {
  const auto a = Floats(kN, 1.0f);
  std::vector<float> d(kN, 0.5f);
  for (auto _ : st) {
    Fn(a.data(), 0.75f, d.data(), kN);
    benchmark::DoNotOptimize(d.data());
  }
  st.SetItemsProcessed(st.iterations() * kN);
}

template <void (*Fn)(const Dsp32fc*, const Dsp32fc*, Dsp32fc*, int32_t)>
void Complex(benchmark::State& st) {
  const auto a = Floats(2 * kN, 1.0f), b = Floats(2 * kN, 1.0f);
  std::vector<float> d(2 * kN);
  for (auto _ : st) {
    Fn(reinterpret_cast<const Dsp32fc*>(a.data()), reinterpret_cast<const Dsp32fc*>(b.data()),
       reinterpret_cast<Dsp32fc*>(d.data()), kN);
    benchmark::DoNotOptimize(d.data());
  }
  st.SetItemsProcessed(st.iterations() * kN);
}

template <int32_t (*Fn)(const int32_t*, int32_t)>
void Reduce(benchmark::State& st) {
  const auto a = Ints(kN);
  for (auto _ : st) benchmark::DoNotOptimize(Fn(a.data(), kN));
  st.SetItemsProcessed(st.iterations() * kN);
}

template <void (*Fn)(int32_t, int32_t*, int32_t)>
void Shift(benchmark::State& st) {
  auto a = Ints(kN);
  for (auto _ : st) {
    Fn(3, a.data(), kN);
    benchmark::DoNotOptimize(a.data());
  }
  st.SetItemsProcessed(st.iterations() * kN);
}

template <void (*Fn)(const int32_t*, const int32_t*, int32_t*, int32_t, int32_t, bool)>
void AddScaled(benchmark::State& st) {
  const auto a = Ints(kN), b = Ints(kN);
  std::vector<int32_t> d(kN);
  for (auto _ : st) {
    Fn(a.data(), b.data(), d.data(), kN, 2, true);
    benchmark::DoNotOptimize(d.data());
  }
  st.SetItemsProcessed(st.iterations() * kN);
}

// A frame of `nch` channels (kN samples each) to interleaved 16-bit PCM.
template <void (*Fn)(const float* const*, int32_t, int32_t, int16_t*)>
void InterleaveChannels(benchmark::State& st, int nch) {
  std::vector<std::vector<float>> chans;
  std::vector<const float*> ch;
  for (int k = 0; k < nch; ++k) chans.push_back(Floats(kN, 40000.0f));
  for (const auto& c : chans) ch.push_back(c.data());
  std::vector<int16_t> d(static_cast<size_t>(nch) * kN);
  for (auto _ : st) {
    Fn(ch.data(), nch, kN, d.data());
    benchmark::DoNotOptimize(d.data());
  }
  st.SetItemsProcessed(st.iterations() * nch * kN);
}

template <void (*Fn)(const float* const*, int32_t, int32_t, int16_t*)>
void Interleave(benchmark::State& st) {
  InterleaveChannels<Fn>(st, 2);
}

template <void (*Fn)(const float* const*, int32_t, int32_t, int16_t*)>
void Interleave51(benchmark::State& st) {
  InterleaveChannels<Fn>(st, 6);
}

template <uint32_t (*Fn)(const uint8_t*, int32_t, uint32_t)>
void Crc(benchmark::State& st) {
  std::vector<uint8_t> bytes(4 * kN);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 131);
  for (auto _ : st)
    benchmark::DoNotOptimize(Fn(bytes.data(), static_cast<int32_t>(bytes.size()), ~0u));
  st.SetBytesProcessed(st.iterations() * static_cast<int64_t>(bytes.size()));
}

template <void (*Fn)(const int16_t*, float*, int32_t)>
void Pow43(benchmark::State& st) {
  std::vector<int16_t> q(kN);
  std::mt19937 rng(5);
  for (int16_t& v : q) v = static_cast<int16_t>(static_cast<int>(rng() % 41) - 20);
  std::vector<float> d(kN);
  for (auto _ : st) {
    Fn(q.data(), d.data(), kN);
    benchmark::DoNotOptimize(d.data());
  }
  st.SetItemsProcessed(st.iterations() * kN);
}

template <void (*Fn)(float*, int32_t, int32_t, bool, float* const*)>
void Predict(benchmark::State& st) {
  std::vector<std::vector<float>> arrays;
  for (int k = 0; k < kPredictorArrays; ++k) arrays.push_back(Floats(kN, 1.0f));
  for (float& v : arrays[kVar0]) v = 1.0f + v * v;
  for (float& v : arrays[kVar1]) v = 1.0f + v * v;
  float* s[kPredictorArrays];
  for (int k = 0; k < kPredictorArrays; ++k) s[k] = arrays[static_cast<size_t>(k)].data();
  auto x = Floats(kN, 1000.0f);
  for (auto _ : st) {
    Fn(x.data(), 0, kN, true, s);
    benchmark::DoNotOptimize(x.data());
  }
  st.SetItemsProcessed(st.iterations() * kN);
}

// One row per implementation; AVX2 rows only on machines that have it.
#define VX_IMPLS(bench, name)                                  \
  BENCHMARK(bench<dsp_generic::name>)->Name(#name "/generic"); \
  BENCHMARK(bench<dsp_sse2::name>)->Name(#name "/sse2")

VX_IMPLS(Binary, Add_32f);
VX_IMPLS(Binary, Mul_32f);
VX_IMPLS(WithConstant, MulC_32f);
VX_IMPLS(WithConstant, AddProductC_32f);
VX_IMPLS(Complex, Add_32fc);
VX_IMPLS(Complex, Sub_32fc);
VX_IMPLS(Reduce, Max_32s);
VX_IMPLS(Reduce, Min_32s);
VX_IMPLS(Shift, ShiftLeft_32s);
VX_IMPLS(Shift, ShiftRight_32s);
VX_IMPLS(AddScaled, AddScaled_32s);
VX_IMPLS(Interleave, InterleaveConvert_32f16s);
BENCHMARK(Interleave51<dsp_generic::InterleaveConvert_32f16s>)
    ->Name("InterleaveConvert_32f16s/6ch/generic");
BENCHMARK(Interleave51<dsp_sse2::InterleaveConvert_32f16s>)
    ->Name("InterleaveConvert_32f16s/6ch/sse2");
VX_IMPLS(Crc, Crc32);
VX_IMPLS(Pow43, Pow43_16s32f);
VX_IMPLS(Predict, Predict_32f);

const bool kAvx2Registered = [] {
  if (!Avx2()) return false;
  benchmark::RegisterBenchmark("Add_32f/avx2", Binary<dsp_avx2::Add_32f>);
  benchmark::RegisterBenchmark("Mul_32f/avx2", Binary<dsp_avx2::Mul_32f>);
  benchmark::RegisterBenchmark("MulC_32f/avx2", WithConstant<dsp_avx2::MulC_32f>);
  benchmark::RegisterBenchmark("Add_32fc/avx2", Complex<dsp_avx2::Add_32fc>);
  benchmark::RegisterBenchmark("InterleaveConvert_32f16s/avx2",
                               Interleave<dsp_avx2::InterleaveConvert_32f16s>);
  benchmark::RegisterBenchmark("Pow43_16s32f/avx2", Pow43<dsp_avx2::Pow43_16s32f>);
  benchmark::RegisterBenchmark("Predict_32f/avx2", Predict<dsp_avx2::Predict_32f>);
  return true;
}();

}  // namespace
