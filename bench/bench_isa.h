// Kernel benchmarks run once per instruction set: each row calls the kernel
// of one table from dspKernelsFor (the selection the decoders use is left
// alone) and is named "<name>/<isa>".  A table that keeps the kernel of a
// narrower one (AVX2 without its own, SSE2 without a vector version) adds
// no row.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "dsp/dsp_kernels.h"

namespace vxbench {

// n uniform values in +-3000 (a loud QMF-domain signal), reproducible.
inline std::vector<float> Noise(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(-3000.0f, 3000.0f);
  std::vector<float> v(n);
  for (float& x : v) x = d(rng);
  return v;
}

// `kernel(table)` picks the function compared across tables; `run(state,
// table)` is the benchmark; `args` sets the arguments of each row.
template <class Kernel, class Run, class Args>
void RegisterPerIsa(const std::string& name, Kernel kernel, Run run, Args args) {
  std::vector<decltype(kernel(*dspKernelsFor(dspIsaGeneric)))> seen;
  for (int isa = 0; isa < dspIsaCount; ++isa) {
    const DspKernels* table = dspKernelsFor(static_cast<DspIsa>(isa));
    if (!table) continue;
    const auto fn = kernel(*table);
    bool known = false;
    for (const auto& s : seen) known = known || s == fn;
    if (known) continue;
    seen.push_back(fn);
    auto* b = benchmark::RegisterBenchmark((name + "/" + dspIsaName(table->isa)).c_str(),
                                           [run, table](benchmark::State& st) { run(st, table); });
    args(b);
  }
}

template <class Kernel, class Run>
void RegisterPerIsa(const std::string& name, Kernel kernel, Run run) {
  RegisterPerIsa(name, kernel, run, [](benchmark::internal::Benchmark*) {});
}

}  // namespace vxbench
