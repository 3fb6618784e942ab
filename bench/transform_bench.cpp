// MDCT and FFT speed: the cores of every kernel table (generic, SSE2 and
// AVX2, or NEON) against FFTW's equivalent.
//
// FFTW rows: the MDCT built on FFTW's complex FFT of N/4 points with the
// same pre- and post-twiddle in plain loops (FftwMdct*), FFTW's complex FFT
// alone (a lower bound for any MDCT built that way) and FFTW's DCT-IV of N/2
// points.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "bench/bench_isa.h"
#include "dsp/dsp_transform.h"
#include "dsp/mdct_impl.h"

#ifdef VX_HAVE_FFTW
#include <fftw3.h>
#endif

namespace {

std::vector<float> Signal(int n) {
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> d(-1000.0f, 1000.0f);
  std::vector<float> v(n);
  for (auto& x : v) x = d(rng);
  return v;
}

struct Mdct {
  std::vector<uint8_t> spec, init, work;
  DspMdctInvSpec_32f* inv = nullptr;
  DspMdctFwdSpec_32f* fwd = nullptr;
  Mdct(int n, bool forward) {
    int32_t s, i, w;
    dspMdctInvGetSize_32f(n, &s, &i, &w);
    spec.resize(s), init.resize(i + 1), work.resize(w);
    if (forward) {
      dspMdctFwdInit_32f(&fwd, n, spec.data(), init.data());
    } else {
      dspMdctInvInit_32f(&inv, n, spec.data(), init.data());
    }
  }
};

// The transform cores of one kernel table with a caller work buffer, as the
// decoder runs them (argument checks and work-buffer alignment untimed).
void MdctInv(benchmark::State& st, const DspKernels* k) {
  const int n = static_cast<int>(st.range(0));
  Mdct m(n, false);
  const auto x = Signal(n / 2);
  std::vector<float> y(n);
  auto* z = dspAlignPtr<Dsp32fc>(m.work.data(), 32);
  const auto* spec = reinterpret_cast<const MdctSpec*>(m.inv);
  for (auto _ : st) {
    k->transform.MdctInvCore(spec, x.data(), y.data(), z);
    benchmark::DoNotOptimize(y.data());
    benchmark::ClobberMemory();
  }
}

// The long-window case of the synthesis filter bank: the inverse transform
// with the window and overlap-add fused (compare BM_MdctInv plus two
// vector passes).
void MdctInvOverlap(benchmark::State& st, const DspKernels* k) {
  const int n = static_cast<int>(st.range(0));
  Mdct m(n, false);
  const auto x = Signal(n / 2), rise = Signal(n / 2), fall = Signal(n / 2);
  std::vector<float> out(n / 2), overlap = Signal(n / 2);
  auto* z = dspAlignPtr<Dsp32fc>(m.work.data(), 32);
  const auto* spec = reinterpret_cast<const MdctSpec*>(m.inv);
  const MdctOverlap o{rise.data(), overlap.data(), out.data(), fall.data(), overlap.data()};
  for (auto _ : st) {
    k->transform.MdctInvOverlapCore(spec, x.data(), o, z);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
}

void MdctFwd(benchmark::State& st, const DspKernels* k) {
  const int n = static_cast<int>(st.range(0));
  Mdct m(n, true);
  const auto x = Signal(n);
  std::vector<float> y(n / 2);
  auto* z = dspAlignPtr<Dsp32fc>(m.work.data(), 32);
  const auto* spec = reinterpret_cast<const MdctSpec*>(m.fwd);
  for (auto _ : st) {
    k->transform.MdctFwdCore(spec, x.data(), y.data(), z);
    benchmark::DoNotOptimize(y.data());
    benchmark::ClobberMemory();
  }
}

// The complex FFT alone at the MDCT's inner lengths (N/4 = 512, 64).
void Fft(benchmark::State& st, const DspKernels* k) {
  const int len = static_cast<int>(st.range(0));
  const int order = static_cast<int>(std::log2(len));
  int32_t s, i, w;
  dspFftGetSize_C_32fc(order, dspFftNoReNorm, &s, &i, &w);
  std::vector<uint8_t> spec(s), init(i + 1);
  DspFftSpec_C_32fc* fft = nullptr;
  dspFftInit_C_32fc(&fft, order, dspFftNoReNorm, 0, spec.data(), init.data());
  const auto v = Signal(2 * len);
  std::vector<Dsp32fc> in(len), out(len);
  for (int j = 0; j < len; ++j) in[j] = Dsp32fc{v[2 * j], v[2 * j + 1]};
  for (auto _ : st) {
    k->transform.FftCore(fft, in.data(), out.data(), false);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
}

// The mixed-radix DFT alone (480 and 60 points: the MDCTs of 960-sample
// frames; the MDCT rows above reach it through the active table).
void MixedFft(benchmark::State& st, const DspKernels* k) {
  const int len = static_cast<int>(st.range(0));
  std::vector<uint8_t> memory(static_cast<size_t>(MixedFftBytes(len)));
  const ::MixedFft* f = MixedFftInit(memory.data(), len);
  const auto v = Signal(2 * len);
  std::vector<Dsp32fc> in(len), out(len);
  for (int j = 0; j < len; ++j) in[j] = Dsp32fc{v[2 * j], v[2 * j + 1]};
  for (auto _ : st) {
    k->transform.MixedFftCore(f, in.data(), out.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
}

const bool kRegistered = [] {
  vxbench::RegisterPerIsa(
      "BM_MdctInv", [](const DspKernels& k) { return k.transform.MdctInvCore; }, MdctInv,
      // 1920 and 240 (960-sample frames): generic pre- and post-twiddles
      // around the active table's mixed-radix DFT in every row.
      [](auto* b) { b->Arg(2048)->Arg(256)->Arg(1920)->Arg(240); });
  vxbench::RegisterPerIsa(
      "BM_MixedFft", [](const DspKernels& k) { return k.transform.MixedFftCore; }, MixedFft,
      [](auto* b) { b->Arg(480)->Arg(60); });
  vxbench::RegisterPerIsa(
      "BM_MdctInvOverlap", [](const DspKernels& k) { return k.transform.MdctInvOverlapCore; },
      // 256: the eight short windows of a frame.
      MdctInvOverlap, [](auto* b) { b->Arg(2048)->Arg(256)->Arg(1920); });
  vxbench::RegisterPerIsa(
      "BM_MdctFwd", [](const DspKernels& k) { return k.transform.MdctFwdCore; }, MdctFwd,
      [](auto* b) { b->Arg(2048); });
  vxbench::RegisterPerIsa(
      "BM_Fft", [](const DspKernels& k) { return k.transform.FftCore; }, Fft,
      [](auto* b) { b->Arg(512)->Arg(64); });
  return true;
}();

#ifdef VX_HAVE_FFTW
// Both MDCT directions on FFTW's complex FFT of E = N/4 points with the
// pre- and post-twiddles of our definitions.
struct FftwMdct {
  int n, e;
  std::vector<float> tw;
  fftwf_complex* z;
  fftwf_plan plan;
  FftwMdct(int len, bool forward) : n(len), e(len / 4), tw(len / 2) {
    const double g = forward ? std::sqrt(2.0) : 1.0 / std::sqrt(n / 2.0);
    for (int k = 0; k < e; ++k) {
      const double t = 2.0 * M_PI * (k + 0.125) / n;
      tw[2 * k] = static_cast<float>(g * std::sin(t));
      tw[2 * k + 1] = static_cast<float>(g * std::cos(t));
    }
    z = fftwf_alloc_complex(e);
    plan = fftwf_plan_dft_1d(e, z, z, FFTW_FORWARD, FFTW_MEASURE);
  }
  ~FftwMdct() {
    fftwf_destroy_plan(plan);
    fftwf_free(z);
  }
  void Inverse(const float* x, float* y) const {
    const int n = this->n, e = this->e, h = e / 2;
    const float* t = tw.data();
    fftwf_complex* w = z;
    for (int i = 0; i < e; ++i) {
      const float a = x[2 * i], b = x[n / 2 - 1 - 2 * i], s = t[2 * i], c = t[2 * i + 1];
      w[i][0] = a * c + b * s;
      w[i][1] = b * c - a * s;
    }
    fftwf_execute(plan);
    for (int k = 0; k < h; ++k) {
      const float re = w[k][0], im = w[k][1], s = t[2 * k], c = t[2 * k + 1];
      const float u = re * c + im * s, v = im * c - re * s;
      y[3 * n / 4 + 2 * k] = -u;
      y[3 * n / 4 - 1 - 2 * k] = -u;
      y[n / 4 + 2 * k] = v;
      y[n / 4 - 1 - 2 * k] = -v;
    }
    for (int k = h; k < e; ++k) {
      const float re = w[k][0], im = w[k][1], s = t[2 * k], c = t[2 * k + 1];
      const float u = re * c + im * s, v = im * c - re * s;
      y[2 * k - n / 4] = u;
      y[3 * n / 4 - 1 - 2 * k] = -u;
      y[n / 4 + 2 * k] = v;
      y[5 * n / 4 - 1 - 2 * k] = v;
    }
  }
  void Forward(const float* x, float* y) const {
    const int n = this->n, e = this->e, h = e / 2;
    const float* t = tw.data();
    fftwf_complex* w = z;
    for (int m = 0; m < h; ++m) {
      const float s = t[2 * m], c = t[2 * m + 1];
      const float d = x[n / 4 - 1 - 2 * m] - x[n / 4 + 2 * m];
      const float a = -x[3 * n / 4 + 2 * m] - x[3 * n / 4 - 1 - 2 * m];
      w[m][0] = d * s + a * c;
      w[m][1] = d * c - a * s;
    }
    for (int m = h; m < e; ++m) {
      const float s = t[2 * m], c = t[2 * m + 1];
      const float d = x[2 * m - n / 4] - x[3 * n / 4 - 1 - 2 * m];
      const float a = -x[n / 4 + 2 * m] - x[5 * n / 4 - 1 - 2 * m];
      w[m][0] = d * c + a * s;
      w[m][1] = a * c - d * s;
    }
    fftwf_execute(plan);
    for (int l = 0; l < e; ++l) {
      const float s = t[2 * l], c = t[2 * l + 1];
      y[2 * l] = w[l][0] * c + w[l][1] * s;
      y[n / 2 - 1 - 2 * l] = w[l][0] * s - w[l][1] * c;
    }
  }
};

void BM_FftwMdctInv(benchmark::State& st) {
  const int n = static_cast<int>(st.range(0));
  const FftwMdct m(n, false);
  const auto x = Signal(n / 2);
  std::vector<float> y(n);
  for (auto _ : st) {
    m.Inverse(x.data(), y.data());
    benchmark::DoNotOptimize(y.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_FftwMdctInv)->Arg(2048)->Arg(256)->Arg(1920)->Arg(240);

void BM_FftwMdctFwd(benchmark::State& st) {
  const int n = static_cast<int>(st.range(0));
  const FftwMdct m(n, true);
  const auto x = Signal(n);
  std::vector<float> y(n / 2);
  for (auto _ : st) {
    m.Forward(x.data(), y.data());
    benchmark::DoNotOptimize(y.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_FftwMdctFwd)->Arg(2048);

void BM_FftwFft(benchmark::State& st) {
  const int len = static_cast<int>(st.range(0));
  fftwf_complex* in = fftwf_alloc_complex(len);
  fftwf_complex* out = fftwf_alloc_complex(len);
  fftwf_plan p = fftwf_plan_dft_1d(len, in, out, FFTW_FORWARD, FFTW_MEASURE);
  const auto v = Signal(2 * len);
  for (int k = 0; k < len; ++k) in[k][0] = v[2 * k], in[k][1] = v[2 * k + 1];
  for (auto _ : st) {
    fftwf_execute(p);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
  fftwf_destroy_plan(p);
  fftwf_free(in);
  fftwf_free(out);
}
BENCHMARK(BM_FftwFft)->Arg(512)->Arg(64);

// FFTW's DCT-IV of N/2 points: the MDCT's core, without the folding.
void BM_FftwDct4(benchmark::State& st) {
  const int n = static_cast<int>(st.range(0));
  float* in = fftwf_alloc_real(n / 2);
  float* out = fftwf_alloc_real(n / 2);
  fftwf_plan p = fftwf_plan_r2r_1d(n / 2, in, out, FFTW_REDFT11, FFTW_MEASURE);
  const auto v = Signal(n / 2);
  for (int i = 0; i < n / 2; ++i) in[i] = v[i];
  for (auto _ : st) {
    fftwf_execute(p);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
  fftwf_destroy_plan(p);
  fftwf_free(in);
  fftwf_free(out);
}
BENCHMARK(BM_FftwDct4)->Arg(2048)->Arg(256);
#endif

}  // namespace
