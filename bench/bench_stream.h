// Whole-frame benchmarks: decodes a fixture from tests/data with the given
// decoder parameters once per iteration (decoder creation untimed) and
// reports frames per second.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "umc/aac_decoder.h"
#include "umc/media_data.h"

namespace vxbench {

inline void DecodeFixtureFrames(benchmark::State& state, const char* fixture,
                                const UMC::AACDecoderParams& base) {
  const std::string path = std::string(__FILE__).substr(0, std::string(__FILE__).rfind('/')) +
                           "/../tests/data/" + fixture;
  std::ifstream f(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (bytes.empty()) {
    state.SkipWithError("fixture not found");
    return;
  }
  const size_t size = bytes.size();
  bytes.resize(size + 16, 0);
  std::vector<uint8_t> out_buf(1 << 16);
  int64_t frames = 0;
  for (auto _ : state) {
    state.PauseTiming();
    UMC::AACDecoder dec;
    UMC::AACDecoderParams params = base;
    params.in.stream_type = UMC::kStreamTypeInBand;
    dec.Init(&params);
    UMC::MediaData in, out;
    in.SetBufferPointer(bytes.data(), static_cast<uint32_t>(bytes.size()));
    in.SetDataSize(static_cast<uint32_t>(size));
    state.ResumeTiming();
    for (int guard = 0; guard < 100; ++guard) {
      out.SetBufferPointer(out_buf.data(), static_cast<uint32_t>(out_buf.size()));
      if (dec.GetFrame(&in, &out) != UMC::StatusOk) break;
      ++frames;
    }
  }
  state.SetItemsProcessed(frames);
}

}  // namespace vxbench
