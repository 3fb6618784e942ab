// ALS decoding speed on the test streams (24576 samples per channel each):
// frames and samples per second through ALSDecodeFrame.
#include <benchmark/benchmark.h>

#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "als/als_decoder.h"
#include "als/als_predict_impl.h"
#include "bench/bench_isa.h"
#include "dsp/dsp_core.h"

namespace {

std::string DataPath(const char* name) {
  std::string dir = __FILE__;
  dir.erase(dir.find_last_of('/') + 1);
  return dir + "../tests/data/als/" + name;
}

struct AlsStream {
  std::vector<uint8_t> file, mem, out;
  AlsConfig cfg{};
  size_t frames_at = 0;
  bool ok = false;

  explicit AlsStream(const char* name) {
    std::ifstream f(DataPath(name), std::ios::binary);
    file.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    if (file.size() < 8) return;
    UMC::BitReader r;
    UMC::BitReaderInit(r, file.data() + 4, static_cast<int32_t>(file.size() - 4));
    if (ALSConfigParse(cfg, r) != 0) return;
    const int64_t size = ALSStateGetSize(cfg);
    if (size <= 0) return;
    mem.resize(static_cast<size_t>(size));
    frames_at = 4 + static_cast<size_t>((UMC::BitReaderBitsConsumed(r) + 7) / 8);
    ok = true;
  }
  // Decodes the whole stream from a fresh state; returns the frames decoded.
  int64_t DecodeAll() {
    AlsState* s =
        ALSStateInit(cfg, mem.data(), file.data() + 4, static_cast<int32_t>(file.size() - 4));
    if (!s) return 0;
    out.resize(static_cast<size_t>(ALSMaxFrameBytes(s)));
    size_t pos = frames_at;
    int64_t frames = 0;
    for (uint32_t f = 0; f < cfg.frames && pos < file.size(); ++f) {
      int32_t used = 0, written = 0;
      const int32_t st = ALSDecodeFrame(file.data() + pos, &used, out.data(), &written,
                                        static_cast<int32_t>(file.size() - pos),
                                        static_cast<int32_t>(out.size()), 0, s);
      if (st != 0) break;
      pos += static_cast<size_t>(used);
      ++frames;
    }
    benchmark::DoNotOptimize(out.data());
    return frames;
  }
};

void BM_AlsDecode(benchmark::State& state, const char* name) {
  dspStaticInit();
  AlsStream stream(name);
  if (!stream.ok) {
    state.SkipWithError("stream not found");
    return;
  }
  int64_t frames = 0;
  for (auto _ : state) frames += stream.DecodeAll();
  const double per_frame = static_cast<double>(stream.cfg.frame_length) * stream.cfg.channels;
  state.counters["frames/s"] =
      benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
  state.counters["samples/s"] =
      benchmark::Counter(static_cast<double>(frames) * per_frame, benchmark::Counter::kIsRate);
}

// 16-bit stereo with the encoder's defaults (Rice codes, order 10, joint stereo).
BENCHMARK_CAPTURE(BM_AlsDecode, default_16b_stereo, "als_16b_st.als")
    ->Unit(benchmark::kMillisecond);
// BGMC residuals with block switching, LTP and order up to 32.
BENCHMARK_CAPTURE(BM_AlsDecode, bgmc_ltp_order32, "als_16b_st_combo.als")
    ->Unit(benchmark::kMillisecond);
// Long prediction order (160).
BENCHMARK_CAPTURE(BM_AlsDecode, order160, "als_16b_st_o160.als")->Unit(benchmark::kMillisecond);
// 5.1 with multichannel correlation coding.
BENCHMARK_CAPTURE(BM_AlsDecode, mcc_51, "als_16b_51_mcc.als")->Unit(benchmark::kMillisecond);
// Floating point with the masked Lempel-Ziv dictionary.
BENCHMARK_CAPTURE(BM_AlsDecode, float_stereo, "als_fl_st.als")->Unit(benchmark::kMillisecond);
// RLS-LMS cascade (the slowest mode by design).
BENCHMARK_CAPTURE(BM_AlsDecode, rlslms_z2, "als_16b_st_z2.als")->Unit(benchmark::kMillisecond);

// The short-term synthesis filter alone: 4096 samples, order K (argument),
// per kernel table.
void AlsPredict(benchmark::State& state, const DspKernels* k) {
  const int32_t K = static_cast<int32_t>(state.range(0));
  const int32_t n = 4096;
  std::mt19937 rng(7);
  std::vector<int32_t> rcof(K), e(n), x(K + n);
  // A stable low-order filter spread over K taps keeps the output bounded.
  for (auto& c : rcof) c = static_cast<int32_t>(rng() % 2001) - 1000;
  for (auto& v : e) v = static_cast<int32_t>(rng() % 65536) - 32768;
  for (auto _ : state) {
    k->als.PredictBlock(rcof.data(), K, e.data(), x.data() + K, n);
    benchmark::DoNotOptimize(x.data());
  }
  state.counters["samples/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * n, benchmark::Counter::kIsRate);
}

const bool kPredictRegistered = [] {
  vxbench::RegisterPerIsa(
      "BM_AlsPredict", [](const DspKernels& k) { return k.als.PredictBlock; }, AlsPredict,
      [](auto* b) { b->Arg(2)->Arg(10)->Arg(32)->Arg(160); });
  return true;
}();

}  // namespace
