// libFuzzer target: the LOAS/LATM parser (umc/latm) on its own, the way the
// decoder front end drives it: find the first confirmed LOAS frame, then
// take each frame's AudioMuxElement apart against the configuration the
// stream holds (a new StreamMuxConfig replaces it).  Every frame is copied
// into an exactly sized heap block, so the sanitizer sees any read past the
// element; the payloads it reports must lie inside the element's size.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "umc/latm.h"

namespace {

[[noreturn]] void Fail(const char* what, long a, long b) {
  std::fprintf(stderr, "latm_fuzzer: %s (%ld, %ld)\n", what, a, b);
  std::abort();
}

struct State {
  UMC::LatmMuxConfig config[2];
  int current = 0;
  bool have = false;
  UMC::LatmPayloads out;
  uint8_t payload[UMC::kLoasMaxFrameBytes];
};

void CheckElement(const State& s, int32_t size) {
  if (s.out.count < 1 || s.out.count > UMC::kLatmMaxSubFrames)
    Fail("subframe count", s.out.count, 0);
  int64_t total = 0;
  for (int32_t i = 0; i < s.out.count; ++i) {
    if (s.out.length[i] < 0 || s.out.offset[i] != total) Fail("payload", i, s.out.length[i]);
    total += s.out.length[i];
  }
  if (total > size) Fail("payloads beyond the element", total, size);
  const UMC::LatmMuxConfig& c = s.config[s.current];
  if (c.asc_bits < 0 || c.asc_bits > UMC::kLatmMaxConfigBytes * 8) Fail("asc_bits", c.asc_bits, 0);
  if (c.num_program != 0 || c.num_layer != 0 || c.frame_length_type != 0)
    Fail("a refused layout was accepted", c.num_program, c.num_layer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  static State s;  // large: kept out of the stack
  s.have = false;
  s.current = 0;
  const int64_t n = static_cast<int64_t>(size);
  bool pending = false;
  int64_t at = UMC::FindLoasStart(data, n, 64 * 1024, &pending);
  if (at < 0) at = 0;  // parse from the start anyway
  for (int frames = 0; at + UMC::kLoasHeaderBytes <= n && frames < 4096; ++frames) {
    const int32_t bytes = UMC::LoasFrameBytes(data + at, n - at);
    if (bytes == 0 || bytes > n - at) {
      ++at;  // resynchronise, as the decoder does
      continue;
    }
    const int32_t element = bytes - UMC::kLoasHeaderBytes;
    std::unique_ptr<uint8_t[]> copy(new uint8_t[static_cast<size_t>(element)]);
    std::memcpy(copy.get(), data + at + UMC::kLoasHeaderBytes, static_cast<size_t>(element));
    bool fresh = false;
    const int32_t r = UMC::ParseAudioMuxElement(
        copy.get(), element, s.have ? &s.config[s.current] : nullptr, s.config[1 - s.current],
        &fresh, s.out, s.payload, static_cast<int32_t>(sizeof(s.payload)));
    if (r == UMC::kLatmOk) {
      if (fresh) {
        s.current = 1 - s.current;
        s.have = true;
      }
      if (!s.have) Fail("payloads without a configuration", 0, 0);
      CheckElement(s, element);
    } else if (s.out.count != 0) {
      Fail("payloads of a refused element", r, s.out.count);
    } else if (r == UMC::kLatmUnsupportedLayout &&
               s.config[1 - s.current].refusal == UMC::kLatmRefusalNone) {
      Fail("refusal without a reason", r, 0);
    }
    at += bytes;
  }
  return 0;
}
