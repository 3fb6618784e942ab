// MDCT and FFT speed: generic, SSE2 and AVX2 against FFTW's equivalent.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "dsp/dsp_transform.h"

#ifdef VX_HAVE_FFTW
#include <fftw3.h>
#endif

namespace {

struct MdctBench {
  std::vector<uint8_t> spec, init, work;
  std::vector<float> in, out;
  DspMdctInvSpec_32f* inv = nullptr;
  DspMdctFwdSpec_32f* fwd = nullptr;
  MdctBench(int n, bool forward) {
    int32_t s, i, w;
    dspMdctInvGetSize_32f(n, &s, &i, &w);
    spec.resize(s), init.resize(i), work.resize(w);
    if (forward) {
      dspMdctFwdInit_32f(&fwd, n, spec.data(), init.data());
    } else {
      dspMdctInvInit_32f(&inv, n, spec.data(), init.data());
    }
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> d(-1000.0f, 1000.0f);
    in.resize(n), out.resize(n);
    for (auto& v : in) v = d(rng);
  }
};

// class: 0 generic, 1 SSE2, 2 AVX2 (when the processor has it)
bool Select(benchmark::State& st, int cls) {
  dspStaticInit();
  if (cls == 2 && !dspHasAvx2()) {
    st.SkipWithError("no AVX2");
    return false;
  }
  dspForceCpuClass(cls == 0 ? 0 : 1);
  return true;
}

void BM_MdctInv(benchmark::State& st) {
  const int n = static_cast<int>(st.range(0));
  if (!Select(st, static_cast<int>(st.range(1)))) return;
  MdctBench b(n, false);
  for (auto _ : st) {
    dspMdctInv_32f(b.in.data(), b.out.data(), b.inv, b.work.data());
    benchmark::DoNotOptimize(b.out.data());
  }
  dspStaticInit();
}

void BM_MdctFwd(benchmark::State& st) {
  const int n = static_cast<int>(st.range(0));
  if (!Select(st, static_cast<int>(st.range(1)))) return;
  MdctBench b(n, true);
  for (auto _ : st) {
    dspMdctFwd_32f(b.in.data(), b.out.data(), b.fwd, b.work.data());
    benchmark::DoNotOptimize(b.out.data());
  }
  dspStaticInit();
}

BENCHMARK(BM_MdctInv)->ArgsProduct({{2048, 256}, {0, 1, 2}});
BENCHMARK(BM_MdctFwd)->ArgsProduct({{2048}, {0, 1, 2}});

#ifdef VX_HAVE_FFTW
// FFTW's DCT-IV of N/2 points is the MDCT core (the folding around it is a
// few adds per sample, the same work our pre-twiddle does).
void BM_FftwDct4(benchmark::State& st) {
  const int n = static_cast<int>(st.range(0));
  float* in = fftwf_alloc_real(n / 2);
  float* out = fftwf_alloc_real(n / 2);
  fftwf_plan p = fftwf_plan_r2r_1d(n / 2, in, out, FFTW_REDFT11, FFTW_MEASURE);
  for (int i = 0; i < n / 2; ++i) in[i] = static_cast<float>(std::sin(i * 0.37) * 1000.0);
  for (auto _ : st) {
    fftwf_execute(p);
    benchmark::DoNotOptimize(out);
  }
  fftwf_destroy_plan(p);
  fftwf_free(in);
  fftwf_free(out);
}
BENCHMARK(BM_FftwDct4)->Arg(2048)->Arg(256);

// FFTW's complex FFT of N/4 points alone: a lower bound for an MDCT built
// the same way (our pre- and post-twiddles come on top).
void BM_FftwComplexQuarter(benchmark::State& st) {
  const int q = static_cast<int>(st.range(0)) / 4;
  fftwf_complex* in = fftwf_alloc_complex(q);
  fftwf_complex* out = fftwf_alloc_complex(q);
  fftwf_plan p = fftwf_plan_dft_1d(q, in, out, FFTW_FORWARD, FFTW_MEASURE);
  for (int i = 0; i < q; ++i) in[i][0] = in[i][1] = static_cast<float>(std::sin(i * 0.37));
  for (auto _ : st) {
    fftwf_execute(p);
    benchmark::DoNotOptimize(out);
  }
  fftwf_destroy_plan(p);
  fftwf_free(in);
  fftwf_free(out);
}
BENCHMARK(BM_FftwComplexQuarter)->Arg(2048)->Arg(256);
#endif

void BM_FftQuarter(benchmark::State& st) {
  const int order = static_cast<int>(std::log2(st.range(0) / 4));
  if (!Select(st, static_cast<int>(st.range(1)))) return;
  int32_t s, i, w;
  dspFftGetSize_C_32fc(order, dspFftNoReNorm, &s, &i, &w);
  std::vector<uint8_t> spec(s), work(w);
  DspFftSpec_C_32fc* fft = nullptr;
  dspFftInit_C_32fc(&fft, order, dspFftNoReNorm, 0, spec.data(), nullptr);
  std::vector<Dsp32fc> in(1 << order, Dsp32fc{1.0f, 0.5f}), out(1 << order);
  for (auto _ : st) {
    dspFftFwd_CToC_32fc(in.data(), out.data(), fft, work.data());
    benchmark::DoNotOptimize(out.data());
  }
  dspStaticInit();
}
BENCHMARK(BM_FftQuarter)->ArgsProduct({{2048, 256}, {0, 1, 2}});

}  // namespace
