// libFuzzer target: the decoder front end on in-band streams (ADTS, ADIF,
// LOAS, raw ALS, behind an optional ID3v2 tag), driven through the decode
// loop that the element and the command-line decoder share.
//
// Input: byte 0 chooses the decoder parameters and the caller's habits
// (SBR mode, rate, PS mode, ALS original form, Reset now and then, float
// output, own or shared allocator), byte 1 the first output area (tiny
// ones make the loop grow it while the decoder keeps the refused frame),
// byte 2 seeds the split sizes; the rest is the stream.  The stream is
// delivered in pieces; the caller keeps the bytes the loop did not consume,
// appends the next piece and takes frames until the loop wants more.
// Input copies and output areas are exactly sized heap blocks, so the
// sanitizer sees any access past the padding or the output's end.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "dsp/dsp_core.h"
#include "umc/aac_decoder.h"
#include "umc/audio_codec.h"
#include "umc/decode_loop.h"
#include "umc/media_data.h"

namespace {

[[noreturn]] void Fail(const char* what, long a, long b) {
  std::fprintf(stderr, "inband_fuzzer: %s (%ld, %ld)\n", what, a, b);
  std::abort();
}

// Tiny deterministic generator for split sizes (no global state).
struct Rng {
  uint32_t s;
  uint32_t Next() {
    s = s * 1664525u + 1013904223u;
    return s >> 8;
  }
};

uint32_t OutputSize(uint8_t sel) {
  static constexpr uint32_t kSizes[8] = {1, 7, 512, 2047, 4096, 8191, 32768, 65536};
  return kSizes[sel & 7] + ((sel >> 3) & 1) * 3;
}

class Caller {
 public:
  // `shared`: the caller's allocator, kept across decoders (its recycled
  // blocks spare every decoder the fresh pages of its first use), or null
  // for each decoder's own default allocator.
  Caller(uint8_t habits, uint32_t output_size, UMC::MemoryAllocator* shared) : habits_(habits) {
    UMC::DecodeLoop::Settings s;
    s.sbr_mode = (habits & 1) ? 28 : 18;
    s.sbr_rate_mode = (habits >> 1) & 1;
    static constexpr int32_t kPs[4] = {0, 1, 111, 411};
    s.ps_mode = kPs[(habits >> 2) & 3];
    s.als_restore_original = (habits >> 4) & 1;
    s.float_output = (habits >> 6) & 1;
    s.initial_output_bytes = output_size;
    s.allocator = shared;
    s.max_output_bytes = 16u << 20;  // larger ALS frames end the stream's decoder here
    if (loop_.Open(s) != UMC::StatusOk) Fail("Open refused in-band settings", 0, 0);
  }

  // Decodes as much of `pending` as possible; returns the bytes consumed.
  size_t Pass(const std::vector<uint8_t>& pending, bool at_end) {
    const size_t n = pending.size();
    if (loop_.Load(pending.data(), n, at_end) != UMC::StatusOk) Fail("Load failed", 0, 0);
    for (int calls = 0; calls < 4096; ++calls) {
      const size_t before = loop_.Consumed();
      UMC::DecodeLoop::Frame frame;
      const UMC::DecodeLoop::Event e = loop_.Next(&frame);
      if (loop_.Consumed() < before || loop_.Consumed() > n)
        Fail("consumption out of range", static_cast<long>(loop_.Consumed()), static_cast<long>(n));
      if (e == UMC::DecodeLoop::Event::kNeedData || e == UMC::DecodeLoop::Event::kFailed) break;
      if (e != UMC::DecodeLoop::Event::kFrame) continue;
      CheckFrame(frame);
      if ((habits_ & 0x20) && (calls % 7) == 6 && loop_.Decoder()) loop_.Decoder()->Reset();
    }
    return loop_.Consumed();
  }

  void Finish() {
    UMC::AACDecoder* dec = loop_.Decoder();
    if (!dec) return;
    float seconds = 0;
    dec->GetDuration(&seconds);
    dec->AlsCrcStatus();
  }

 private:
  // The decoder's description of the frame it just produced must cover it.
  void CheckFrame(const UMC::DecodeLoop::Frame& frame) {
    if (frame.bytes == 0) return;  // a skipped header or a frame without channels
    UMC::AACDecoder* dec = loop_.Decoder();
    if (!dec) Fail("a frame without a decoder", 0, 0);
    // The whole frame must be readable: the sanitizer checks the bounds.
    volatile uint8_t sink = 0;
    for (uint32_t i = 0; i < frame.bytes; i += 64) sink = sink ^ frame.pcm[i];
    sink = sink ^ frame.pcm[frame.bytes - 1];
    UMC::AudioCodecParams info;
    const UMC::Status st = dec->GetInfo(&info);
    if (st != UMC::StatusOk) Fail("GetInfo failed after a frame", st, frame.bytes);
    int8_t speakers[8];
    dec->GetChannelSpeakers(speakers, 8);
    if (habits_ & 0x10) return;  // the original form adds the file's header bytes
    const int32_t channels = info.out.channels;
    const int32_t bytes = info.out.bits_per_sample / 8;
    if (channels < 1 || bytes < 1 || info.out.sample_frequency < 1)
      Fail("frame without a format", channels, info.out.sample_frequency);
    if (frame.bytes % static_cast<uint32_t>(channels * bytes) != 0)
      Fail("frame not a whole number of samples", frame.bytes, channels * bytes);
  }

  uint8_t habits_;
  UMC::DecodeLoop loop_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  dspStaticInit();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3 || size > (1u << 22)) return 0;
  const uint8_t habits = data[0];
  Rng rng{data[2] * 2654435761u + 1};
  const uint8_t* stream = data + 3;
  const size_t total = size - 3;
  static UMC::DefaultMemoryAllocator shared;
  Caller caller(habits, OutputSize(data[1]), (habits & 0x80) ? nullptr : &shared);
  std::vector<uint8_t> pending;
  size_t at = 0;
  // Split sizes: tiny pieces, header-sized pieces or large blocks.
  const uint32_t scale = (data[2] & 3) == 0 ? 4 : (data[2] & 3) == 1 ? 64 : 4096;
  for (int guard = 0; guard < 100000; ++guard) {
    const bool at_end = at >= total;
    if (!at_end) {
      const size_t piece = std::min<size_t>(total - at, 1 + rng.Next() % scale);
      pending.insert(pending.end(), stream + at, stream + at + piece);
      at += piece;
    }
    const size_t used = caller.Pass(pending, at >= total);
    pending.erase(pending.begin(), pending.begin() + static_cast<ptrdiff_t>(used));
    if (at >= total && (used == 0 || pending.empty())) break;
    // The element drops stalled input beyond 64 KiB.
    if (pending.size() > (64u << 10) + (4u << 20)) pending.clear();
  }
  caller.Finish();
  return 0;
}
