// libFuzzer target: the decoder front end on in-band streams (ADTS, ADIF,
// LOAS, raw ALS, behind an optional ID3v2 tag), driven the way the element and
// the command-line decoder drive it.
//
// Input: byte 0 chooses the decoder parameters and the caller's habits
// (SBR mode, rate, PS mode, ALS original form, Reset now and then, waiting
// for a whole ALS frame, own or shared allocator),
// byte 1 the output buffer size, byte 2 seeds the split sizes; the rest is
// the stream.  The stream is delivered in pieces; the caller keeps the bytes
// the decoder left, appends the next piece and calls GetFrame until the
// decoder asks for more input (NotEnoughData) or more output space
// (NotEnoughBuffer: the output buffer grows and the call is repeated, which
// exercises the frame kept for a too-small buffer).  Every input copy and
// output buffer is an exactly sized heap block, so the sanitizer sees any
// access past the 16 padding bytes or the output's end.
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
#include "umc/latm.h"
#include "umc/media_data.h"

namespace {

constexpr uint32_t kPadding = 16;           // zero bytes after every input copy
constexpr uint32_t kMaxOutput = 16u << 20;  // larger ALS frames restart the decoder here
constexpr uint32_t kMaxWait = 4u << 20;     // ALS input held before decoding anyway

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

bool KnownStatus(UMC::Status st) {
  switch (st) {
    case UMC::StatusOk:
    case UMC::StatusNotEnoughData:
    case UMC::StatusNotEnoughBuffer:
    case UMC::StatusInvalidStream:
    case UMC::StatusFailed:
    case UMC::StatusInitFailed:
    case UMC::StatusUnsupportedStream:
    case UMC::StatusAllocFailed:
    case UMC::StatusNullPointer:
      return true;
    default:
      return false;
  }
}

class Caller {
 public:
  // `shared`: the caller's allocator, kept across decoders (its recycled
  // blocks spare every decoder the fresh pages of its first use), or null
  // for each decoder's own default allocator.
  Caller(uint8_t habits, UMC::MemoryAllocator* shared) : habits_(habits), shared_(shared) {}

  bool Open(uint32_t output_size) {
    dec_.reset(new UMC::AACDecoder());
    UMC::AACDecoderParams p;
    p.in.stream_type = UMC::kStreamTypeInBand;
    p.sbr_mode = (habits_ & 1) ? 28 : 18;
    p.sbr_rate_mode = (habits_ >> 1) & 1;
    static constexpr int32_t kPs[4] = {0, 1, 111, 411};
    p.ps_mode = kPs[(habits_ >> 2) & 3];
    p.als_restore_original = (habits_ >> 4) & 1;
    p.allocator = shared_;
    if (dec_->Init(&p) != UMC::StatusOk) Fail("Init refused default in-band parameters", 0, 0);
    out_size_ = output_size;
    frames_ = 0;
    return true;
  }

  // Decodes as much of `pending` as possible; returns the bytes consumed.
  size_t Pass(const std::vector<uint8_t>& pending, bool at_end) {
    const uint32_t n = static_cast<uint32_t>(pending.size());
    if (!dec_) {
      if (!at_end && n < open_input_) return 0;
      Open(out_size_);
    }
    const uint32_t wait = MinInput();
    if (!at_end && n < wait) return 0;
    std::unique_ptr<uint8_t[]> copy(new uint8_t[n + kPadding]);
    if (n) std::memcpy(copy.get(), pending.data(), n);
    std::memset(copy.get() + n, 0, kPadding);
    UMC::MediaData in;
    in.SetBufferPointer(copy.get(), n + kPadding);
    in.SetDataSize(n);
    int idle = 0;
    for (int calls = 0; calls < 4096; ++calls) {
      if (!at_end && in.GetDataSize() < MinInput()) break;
      const uint32_t before = in.GetDataSize();
      std::unique_ptr<uint8_t[]> out_buf(new uint8_t[out_size_]);
      UMC::AudioData out;
      out.SetBufferPointer(out_buf.get(), out_size_);
      const UMC::Status st = dec_->GetFrame(&in, &out);
      if (!KnownStatus(st)) Fail("unknown status", st, 0);
      const uint32_t consumed = before - in.GetDataSize();
      if (in.GetDataSize() > before) Fail("input window grew", before, in.GetDataSize());
      if (st == UMC::StatusNotEnoughBuffer) {
        if (out_size_ >= kMaxOutput) return Restart(n);
        out_size_ = std::min(kMaxOutput, std::max(out_size_ * 2, 64u));
        continue;
      }
      if (st == UMC::StatusNotEnoughData) break;
      if (st != UMC::StatusOk && st != UMC::StatusInvalidStream) return Restart(n);
      const uint32_t produced = out.GetDataSize();
      if (produced > out_size_) Fail("output size beyond the buffer", produced, out_size_);
      CheckFrame(out, produced);
      if (produced > 0 && frames_ == 0 && !at_end && before < MinInput()) {
        // Recognised as ALS in this call and decoded from less than a
        // frame's input: start again once that much is buffered.
        open_input_ = MinInput();
        dec_.reset();
        return 0;
      }
      // Like the element: repeats without input are a frame kept after a
      // refusal for space, the further subframes of a LOAS frame, or the
      // first blocks of an ADTS frame whose layout changes within it.
      idle = consumed == 0 ? idle + 1 : 0;
      const int max_idle = dec_->IsLoas() ? UMC::kLatmMaxSubFrames : 4;
      if ((produced == 0 && consumed == 0) || idle > max_idle) return Restart(n);
      if (produced) ++frames_;
      if (habits_ & 0x20 && (calls % 7) == 6) dec_->Reset();
    }
    return n - in.GetDataSize();
  }

  void Finish() {
    if (!dec_) return;
    float seconds = 0;
    dec_->GetDuration(&seconds);
    dec_->AlsCrcStatus();
  }

 private:
  // ALS frames carry no length: like the element, wait for the suggested
  // input of a whole frame once the stream is known to be ALS.
  uint32_t MinInput() {
    if (!dec_ || !(habits_ & 0x40) || dec_->ObjectType() != 36) return 0;
    UMC::BaseCodecParams sizes;
    dec_->GetInfo(&sizes);
    return std::min<uint32_t>(std::max(0, sizes.suggested_input_size), kMaxWait);
  }

  // The decoder's description of the frame it just produced must cover it.
  void CheckFrame(const UMC::AudioData& out, uint32_t produced) {
    if (produced == 0) return;  // a skipped header
    UMC::AudioCodecParams info;
    const UMC::Status st = dec_->GetInfo(&info);
    if (st != UMC::StatusOk) Fail("GetInfo failed after a frame", st, produced);
    int8_t speakers[8];
    dec_->GetChannelSpeakers(speakers, 8);
    if (habits_ & 0x10) return;  // the original form adds the file's header bytes
    const int32_t channels = info.out.channels;
    const int32_t bytes = info.out.bits_per_sample / 8;
    if (channels < 1 || bytes < 1 || info.out.sample_frequency < 1)
      Fail("frame without a format", channels, info.out.sample_frequency);
    if (produced % static_cast<uint32_t>(channels * bytes) != 0)
      Fail("frame not a whole number of samples", produced, channels * bytes);
    if (out.channels != channels)
      Fail("frame and stream disagree on channels", out.channels, channels);
    double t0 = 0, t1 = 0;
    out.GetTime(&t0, &t1);
    if (!(t1 >= t0)) Fail("frame ends before it starts", 0, 0);
  }

  size_t Restart(uint32_t n) {
    dec_.reset();
    open_input_ = 0;
    return n;  // the rest of this input is dropped, as the element does
  }

  uint8_t habits_;
  UMC::MemoryAllocator* shared_;
  std::unique_ptr<UMC::AACDecoder> dec_;
  uint32_t out_size_ = 32768;
  uint32_t frames_ = 0;
  uint32_t open_input_ = 0;  // bytes to hold before re-creating the decoder
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
  Caller caller(habits, (habits & 0x80) ? nullptr : &shared);
  caller.Open(OutputSize(data[1]));
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
