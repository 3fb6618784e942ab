// Per-frame cost of one AAC channel: channel-stream parsing (sections, scale
// factors, Huffman spectral data), inverse quantisation, TNS and the
// synthesis filter bank, on a synthetic 44.1 kHz long-window frame coded
// with the decoder's own code lists.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "aac/aac_huffman_tables.h"
#include "aac/channel_stream.h"
#include "dsp/dsp_core.h"

namespace {

constexpr int32_t kSf44100 = 4;
constexpr int32_t kObjectLc = 2;

class Writer {
 public:
  Writer& Put(uint32_t v, int bits) {
    for (int i = bits - 1; i >= 0; --i) {
      if ((n_ & 7) == 0) bytes_.push_back(0);
      if ((v >> i) & 1) bytes_.back() |= static_cast<uint8_t>(0x80u >> (n_ & 7));
      ++n_;
    }
    return *this;
  }
  void Code(int cb, int32_t value) {
    const AacCodebookInfo& book = kAacCodebooks[cb];
    for (int32_t i = 0; i < book.count; ++i) {
      if (book.codes[i].value == value) {
        Put(static_cast<uint32_t>(book.codes[i].code), book.codes[i].length);
        return;
      }
    }
  }
  std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  int64_t n_ = 0;
};

// Codebook per band: escape book at the bottom, pairs in the middle, quads
// at the top, as a 128 kbit/s encoder would choose.
int BandCodebook(int b) {
  return b < 8 ? 11 : (b < 20 ? 7 : (b < 32 ? 5 : (b < 42 ? 3 : 1)));
}

struct Fixture {
  Fixture() {
    dspStaticInit();
    int32_t size = 0;
    AacHuffmanTablesInit(&books);
    FilterBankGetSize(kFilterBankInverse, kObjectLc, &size);
    bank_memory.resize(size);
    bank = std::make_unique<FilterBank>();
    InitFilterBank(*bank, bank_memory.data(), kFilterBankInverse, kObjectLc);
    stream = std::make_unique<ChannelStream>();
    InitChannelStream(*stream, kSf44100, kObjectLc);
    BuildFrame();
  }

  void BuildFrame() {
    std::mt19937 rng(3);
    const int max_sfb = 49;
    const int32_t* off = stream->bands.swb_offset_long;
    Writer w;
    w.Put(170, 8);                                    // global_gain
    w.Put(0, 1).Put(0, 2).Put(0, 1).Put(max_sfb, 6);  // ics_info
    w.Put(0, 1);
    for (int b = 0; b < max_sfb;) {  // one section per codebook run
      int e = b;
      while (e < max_sfb && BandCodebook(e) == BandCodebook(b)) ++e;
      w.Put(BandCodebook(b), 4);
      int len = e - b;
      while (len >= 31) {
        w.Put(31, 5);
        len -= 31;
      }
      w.Put(len, 5);
      b = e;
    }
    for (int b = 0; b < max_sfb; ++b) w.Code(0, 60 + (b % 3) - 1);  // scale factors
    w.Put(0, 1);                                                    // no pulses
    w.Put(1, 1);                                                    // TNS: one order-8 filter
    w.Put(1, 2).Put(1, 1).Put(30, 6).Put(8, 5).Put(0, 1).Put(0, 1);
    for (int i = 0; i < 8; ++i) w.Put((i * 5) & 7, 4);
    w.Put(0, 1);  // no gain control
    for (int b = 0; b < max_sfb; ++b) {
      const int cb = BandCodebook(b);
      for (int k = off[b]; k < off[b + 1]; k += cb <= 4 ? 4 : 2) {
        if (cb == 11) {
          std::uniform_int_distribution<int> d(-15, 15);
          w.Code(11, d(rng) * 256 + d(rng) + 128);
        } else if (cb >= 5) {
          const int lav = cb <= 6 ? 4 : 7;
          std::uniform_int_distribution<int> d(-lav, lav);
          w.Code(cb, d(rng) * 256 + d(rng) + 128);
        } else {
          const int lav = cb <= 2 ? 1 : 2, s = cb <= 2 ? 2 : 3, o = cb <= 2 ? 2 : 4;
          std::uniform_int_distribution<int> d(-lav, lav);
          w.Code(cb, (d(rng) << (3 * s)) + ((d(rng) + o) << (2 * s)) + ((d(rng) + o) << s) +
                         d(rng) + o);
        }
      }
    }
    frame = w.bytes();
    frame_size = static_cast<int32_t>(frame.size());
    frame.resize(frame.size() + kAacReaderPadding);
  }

  bool Parse() {
    UMC::BitReader r;
    UMC::BitReaderInit(r, frame.data(), frame_size);
    return DecodeChannelStream(*stream, r, 0, kObjectLc, books) == 0;
  }

  std::vector<uint8_t> bank_memory, frame;
  int32_t frame_size = 0;
  AacHuffmanTables books;
  std::unique_ptr<FilterBank> bank;
  std::unique_ptr<ChannelStream> stream;
  alignas(32) float spectrum[1024];
  alignas(32) float overlap[1024] = {};
  alignas(32) float output[1024];
};

Fixture& Shared() {
  static Fixture f;
  return f;
}

void BM_AacChannelStreamParse(benchmark::State& state) {
  Fixture& f = Shared();
  for (auto _ : state) {
    if (!f.Parse()) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(f.stream->quant);
  }
  state.SetBytesProcessed(state.iterations() * f.frame_size);
}
BENCHMARK(BM_AacChannelStreamParse);

// Writes one byte per cache line of `buffer`, as the work of a media
// pipeline between two frames does: the next parse finds its Huffman tables
// out of the first-level (64 KiB) or second-level (512 KiB) cache.
void Pollute(std::vector<uint8_t>& buffer) {
  for (size_t i = 0; i < buffer.size(); i += 64) ++buffer[i];
  benchmark::ClobberMemory();
}

// The parse after a pollution of state.range(0) KiB; subtract
// BM_CachePollution of the same size for the parse alone.
void BM_AacChannelStreamParseCold(benchmark::State& state) {
  Fixture& f = Shared();
  std::vector<uint8_t> buffer(static_cast<size_t>(state.range(0)) * 1024);
  for (auto _ : state) {
    Pollute(buffer);
    if (!f.Parse()) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(f.stream->quant);
  }
}
BENCHMARK(BM_AacChannelStreamParseCold)->Arg(64)->Arg(512);

void BM_CachePollution(benchmark::State& state) {
  std::vector<uint8_t> buffer(static_cast<size_t>(state.range(0)) * 1024);
  for (auto _ : state) Pollute(buffer);
}
BENCHMARK(BM_CachePollution)->Arg(64)->Arg(512);

void BM_AacInverseQuantise(benchmark::State& state) {
  Fixture& f = Shared();
  f.Parse();
  for (auto _ : state) {
    InverseQuantise(*f.stream, f.spectrum);
    benchmark::DoNotOptimize(f.spectrum);
  }
}
BENCHMARK(BM_AacInverseQuantise);

void BM_AacTns(benchmark::State& state) {
  Fixture& f = Shared();
  f.Parse();
  InverseQuantise(*f.stream, f.spectrum);
  TnsFilterSet set;
  PrepareTns(*f.stream, &set);
  for (auto _ : state) {
    ApplyTns(set, f.spectrum);
    benchmark::DoNotOptimize(f.spectrum);
  }
}
BENCHMARK(BM_AacTns);

void BM_AacFilterBank(benchmark::State& state) {
  Fixture& f = Shared();
  f.Parse();
  InverseQuantise(*f.stream, f.spectrum);
  const int32_t sequence = static_cast<int32_t>(state.range(0));
  for (auto _ : state) {
    SynthesisFilterBank(*f.bank, f.spectrum, f.overlap, sequence, 1, 0, f.output, f.overlap);
    benchmark::DoNotOptimize(f.output);
  }
}
BENCHMARK(BM_AacFilterBank)
    ->Arg(ONLY_LONG_SEQUENCE)
    ->Arg(LONG_START_SEQUENCE)
    ->Arg(EIGHT_SHORT_SEQUENCE)
    ->Arg(LONG_STOP_SEQUENCE);

// Reordering of one EIGHT_SHORT frame (44.1 kHz, all 14 bands) from grouped
// order to windows; state.range(0) picks the grouping: eight single windows,
// an attack grouping 3+1+4, or one group of eight.
void BM_AacDeinterleaveShort(benchmark::State& state) {
  static const std::vector<int32_t> kGroupings[] = {{1, 1, 1, 1, 1, 1, 1, 1}, {3, 1, 4}, {8}};
  const std::vector<int32_t>& groups = kGroupings[state.range(0)];
  ChannelStream s;
  InitChannelStream(s, kSf44100, kObjectLc);
  s.window_sequence = EIGHT_SHORT_SEQUENCE;
  s.num_windows = 8;
  s.max_sfb = s.bands.num_swb_short;
  s.num_window_groups = static_cast<int32_t>(groups.size());
  for (size_t g = 0; g < groups.size(); ++g) s.window_group_length[g] = groups[g];
  alignas(32) float grouped[1024], spectrum[1024];
  for (int i = 0; i < 1024; ++i) grouped[i] = static_cast<float>(i);
  for (auto _ : state) {
    std::copy(grouped, grouped + 1024, spectrum);
    DeinterleaveShort(s, spectrum);
    benchmark::DoNotOptimize(spectrum);
  }
}
BENCHMARK(BM_AacDeinterleaveShort)->Arg(0)->Arg(1)->Arg(2);

// The whole single-channel pipeline of one frame.
void BM_AacChannelFrame(benchmark::State& state) {
  Fixture& f = Shared();
  uint32_t noise = 0;
  TnsFilterSet set;
  for (auto _ : state) {
    f.Parse();
    ApplyPulses(*f.stream);
    InverseQuantise(*f.stream, f.spectrum);
    ApplyNoiseSubstitution(*f.stream, nullptr, f.spectrum, nullptr, &noise);
    DeinterleaveShort(*f.stream, f.spectrum);
    PrepareTns(*f.stream, &set);
    ApplyTns(set, f.spectrum);
    SynthesisFilterBank(*f.bank, f.spectrum, f.overlap, f.stream->window_sequence,
                        f.stream->window_shape, 0, f.output, f.overlap);
    benchmark::DoNotOptimize(f.output);
  }
  state.SetItemsProcessed(state.iterations() * 1024);
}
BENCHMARK(BM_AacChannelFrame);

}  // namespace
