// libFuzzer target: SBR extension payloads of several frames into ten element
// slots, each frame followed by the SBR process of every slot, so that the
// tables and levels any payload can produce reach HF generation, envelope
// adjustment and the filter banks.
//
// Input: byte 0 selects the element types of the slots and the SBR mode,
// byte 1 the SBR rate index, a preset header, downsampled output, a switch
// of the SBR mode halfway and 960-sample cores (15 time slots); then frames of [length byte][fill
// element payloads] (the seeds are the SBR fill elements of the HE-AAC fixtures, starting after the
// element id).  Every frame is copied into a heap buffer of its size plus the 16 padding bytes, so
// that the sanitizer sees any read past them.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "dsp/dsp_core.h"
#include "sbr/sbr_decoder.h"

namespace {

constexpr size_t kPadding = 16;

struct Harness {
  std::unique_ptr<SBRDecState[]> slots{new SBRDecState[kSbrSlots]};
  std::vector<uint8_t> huffman_memory;
  SbrHuffman huffman{};
  std::unique_ptr<SbrQmfTables> tables{new SbrQmfTables};
  std::vector<float> time = std::vector<float>(2048);
  bool ok = false;

  Harness() {
    dspStaticInit();
    int32_t size = 0;
    if (SbrHuffmanGetSize(&size) != 0) return;
    huffman_memory.resize(static_cast<size_t>(size) + 64);
    uint8_t* aligned = dspAlignPtr<uint8_t>(huffman_memory.data(), 32);
    ok = SbrHuffmanInit(&huffman, aligned) == 0;
    SbrQmfTablesInit(*tables);
  }
};

// A known-good header for the slots that start with one: 44.1 kHz SBR rate,
// start 5, stop 9, crossover 0, noise bands 2, limiter bands 2.
void PresetHeader(SBRDecState& s) {
  s.bs_start_freq = 5;
  s.bs_stop_freq = 9;
  s.bs_xover_band = 0;
  s.bs_freq_scale = 2;
  s.bs_alter_scale = 1;
  s.bs_noise_bands = 2;
  s.headerCount = 1;
  s.reset = 1;
  if (SbrDeriveTables(s) != 0) s.headerCount = 0;
}

// Fill element framing: 4-bit count, escape to 8 more bits.
void DecodeFill(UMC::BitReader& r, SBRDecState* slots, const SbrHuffman& huffman) {
  int32_t payloads = 0;
  for (int guard = 0; guard < 64 && !UMC::BitReaderOverrun(r); ++guard) {
    int32_t count = static_cast<int32_t>(UMC::BitReaderRead(r, 4));
    if (count == 15) count += static_cast<int32_t>(UMC::BitReaderRead(r, 8)) - 1;
    if (count == 0) break;
    while (count > 0) {
      const int32_t used = SbrExtensionPayload(r, count, slots, &payloads, 777, huffman, nullptr);
      if (used <= 0) return;
      count -= used;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Harness h;
  if (!h.ok || size < 2) return 0;
  const uint8_t layout = data[0];
  const int32_t rate_index = (data[1] & 15) - 1;  // -1 .. 14: outside 0..11 must fail
  const int32_t core = (data[1] & 0x80) ? 960 : 1024;
  for (int i = 0; i < kSbrSlots; ++i) {
    SBRDecState& s = h.slots[i];
    SbrInitSlot(s);
    SbrSetFrameLength(s, core);
    s.sbrRateIndex = rate_index;
    s.elementType = ((layout >> (i % 4)) & 1) ? 1 : ((layout & 0x40) && i == 3 ? 3 : 0);
    if (data[1] & 0x10) PresetHeader(s);
  }
  SbrProcessOptions options{};
  options.sbr_mode = (layout & 0x80) ? 28 : 18;
  options.downsampled = (data[1] >> 5) & 1;
  options.tables = h.tables.get();
  size_t at = 2;
  for (int frame = 0; frame < 8 && at < size; ++frame) {
    const size_t declared = data[at++];
    const size_t length = std::min<size_t>(declared, size - at);
    // Followed by the 16 zero bytes that every caller of the bit readers
    // provides (the VLC decoder loads 64 bits at a time); nothing more.
    std::unique_ptr<uint8_t[]> copy(new uint8_t[length + kPadding]());
    if (length) std::memcpy(copy.get(), data + at, length);
    at += length;
    UMC::BitReader r;
    UMC::BitReaderInit(r, copy.get(), static_cast<int32_t>(length));
    DecodeFill(r, h.slots.get(), h.huffman);
    if (frame == 4 && (data[1] & 0x40)) options.sbr_mode ^= 18 ^ 28;
    for (int i = 0; i < 3; ++i) {
      SBRDecState& s = h.slots[i];
      const int channels = s.elementType == 1 ? 2 : 1;
      for (int c = 0; c < channels; ++c) {
        for (int n = 0; n < core; ++n)
          h.time[n] = static_cast<float>((n * 37 + c * 11) % 200 - 100);
        SbrProcess(s, c, h.time.data(), nullptr, options);
      }
    }
  }
  return 0;
}
