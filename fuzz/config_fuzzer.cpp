// libFuzzer target: the decoder configured from an AudioSpecificConfig
// (object types 1, 2, 4, SBR/PS signalling 5 and 29, ALS 36, and whatever
// else the bytes say), then fed raw access units the way the element feeds
// MP4 samples: one access unit per input, several GetFrame calls while an
// ALS access unit holds more frames, a growing output buffer on
// NotEnoughBuffer.  Between access units the input may ask for SetParams
// with arbitrary mode values, Reset, or a second Init with the same
// configuration.
//
// Input: [flags][config length][config bytes], then records of
// [op][length high][length low][access unit bytes].
//   flags: bits 0-2 the initial output buffer size, bit 3 ALS original
//          form, bit 4 the decoder's own allocator, bits 5-7 the modes of
//          the first Init (kInitModes: SBR mode 18 or 28, rate mode 0 or 1,
//          parametric stereo off, parsed only (1) or full (411)).
//   op:    bit 7 SetParams (five more bytes choose sbr_mode, sbr_rate_mode,
//          ps_mode, extension_mode and the BSAC layer limit, valid or not),
//          bit 6 Reset, bit 5 Init again, bits 0-2 the output buffer size
//          for this access unit (0 keeps the current one).
// Every configuration, access unit and output buffer is copied into an
// exactly sized heap block (with the padding the element gives: 4 zero
// bytes after the configuration, 16 after an access unit).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "dsp/dsp_core.h"
#include "tests/common/counting_allocator.h"
#include "umc/aac_decoder.h"
#include "umc/audio_codec.h"
#include "umc/media_data.h"

namespace {

constexpr uint32_t kConfigPadding = 4;
constexpr uint32_t kInputPadding = 16;
constexpr uint32_t kMaxOutput = 16u << 20;

[[noreturn]] void Fail(const char* what, long a, long b) {
  std::fprintf(stderr, "config_fuzzer: %s (%ld, %ld)\n", what, a, b);
  std::abort();
}

uint32_t OutputSize(uint8_t sel) {
  static constexpr uint32_t kSizes[8] = {1, 100, 2048, 4095, 4096, 12288, 32768, 65536};
  return kSizes[sel & 7];
}

// The modes of the first Init: {sbr_mode, sbr_rate_mode, ps_mode}.  Entry 0
// is the defaults (the seeds cut from the fixtures use it); 411 forces the
// mode 18, rate mode 0 itself.
constexpr int32_t kInitModes[8][3] = {{18, 1, 0},   {28, 1, 0}, {18, 0, 0}, {28, 0, 0},
                                      {18, 0, 411}, {28, 1, 1}, {18, 0, 1}, {18, 1, 1}};

// Parameter values: the meaningful ones and a few that must be refused.
int32_t Pick(uint8_t sel, const int32_t* values, int count) {
  return values[sel % count];
}

struct Reader {
  const uint8_t* p;
  size_t n;
  uint8_t Byte() {
    if (!n) return 0;
    --n;
    return *p++;
  }
};

// The shared allocator, counting the blocks in use: a decoder holds its main
// block and at most one object-type block, however often it is initialised.
using vxtest::CountingAllocator;

std::unique_ptr<uint8_t[]> PaddedCopy(const uint8_t* src, size_t n, uint32_t pad) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[n + pad]);
  if (n) std::memcpy(copy.get(), src, n);
  std::memset(copy.get() + n, 0, pad);
  return copy;
}

class Session {
 public:
  Session(const uint8_t* config, size_t config_size, uint8_t flags, CountingAllocator* shared)
      : config_(PaddedCopy(config, config_size, kConfigPadding)),
        config_size_(static_cast<uint32_t>(config_size)),
        out_size_(OutputSize(flags)),
        original_form_((flags >> 3) & 1) {
    params_.allocator = shared;
    shared_ = shared;
    const int32_t* modes = kInitModes[flags >> 5];
    params_.sbr_mode = modes[0];
    params_.sbr_rate_mode = modes[1];
    params_.ps_mode = modes[2];
  }

  bool Init() {
    UMC::MediaData cfg;
    cfg.SetBufferPointer(config_.get(), config_size_ + kConfigPadding);
    cfg.SetDataSize(config_size_);
    params_.data = &cfg;
    params_.in.stream_type = UMC::kStreamTypeMpeg4Config;
    params_.als_restore_original = original_form_;
    const UMC::Status st = dec_.Init(&params_);
    params_.data = nullptr;
    ok_ = st == UMC::StatusOk;
    if (shared_ && shared_->live > 2) Fail("blocks kept from an earlier Init", shared_->live, 2);
    return ok_;
  }

  void SetParams(Reader& r) {
    static constexpr int32_t kModes[] = {18, 28, 0, -1, 19, 1 << 30};
    static constexpr int32_t kRates[] = {0, 1, 2, -1};
    static constexpr int32_t kPs[] = {0, 1, 111, 411, 2, -411, 110, 65536};
    static constexpr int32_t kExt[] = {777, 0, -1, 2};
    params_.sbr_mode = Pick(r.Byte(), kModes, 6);
    params_.sbr_rate_mode = Pick(r.Byte(), kRates, 4);
    params_.ps_mode = Pick(r.Byte(), kPs, 8);
    params_.extension_mode = Pick(r.Byte(), kExt, 4);
    params_.bsac_layer_limit = static_cast<int8_t>(r.Byte());
    if (dec_.SetParams(&params_) != UMC::StatusOk) Fail("SetParams refused", 0, 0);
  }

  void Reset() { dec_.Reset(); }

  // One access unit: decode until it is used up, like the element.
  void Decode(const uint8_t* au, size_t n, uint8_t out_sel) {
    if (!ok_) return;
    if (out_sel & 7) out_size_ = OutputSize(out_sel);
    std::unique_ptr<uint8_t[]> copy = PaddedCopy(au, n, kInputPadding);
    UMC::MediaData in;
    in.SetBufferPointer(copy.get(), static_cast<uint32_t>(n) + kInputPadding);
    in.SetDataSize(static_cast<uint32_t>(n));
    int idle = 0;
    for (int calls = 0; calls < 512; ++calls) {
      const uint32_t before = in.GetDataSize();
      std::unique_ptr<uint8_t[]> out_buf(new uint8_t[out_size_]);
      UMC::AudioData out;
      out.SetBufferPointer(out_buf.get(), out_size_);
      const UMC::Status st = dec_.GetFrame(&in, &out);
      const uint32_t consumed = before - in.GetDataSize();
      if (in.GetDataSize() > before) Fail("input window grew", before, in.GetDataSize());
      if (st == UMC::StatusNotEnoughBuffer) {
        if (out_size_ >= kMaxOutput) return;
        out_size_ = std::min(kMaxOutput, std::max(out_size_ * 2, 64u));
        continue;
      }
      if (st == UMC::StatusNotEnoughData) return;
      if (st != UMC::StatusOk && st != UMC::StatusInvalidStream) return;
      const uint32_t produced = out.GetDataSize();
      if (produced > out_size_) Fail("output size beyond the buffer", produced, out_size_);
      Check(out, produced);
      idle = consumed == 0 ? idle + 1 : 0;
      if ((produced == 0 && consumed == 0) || idle > 1) return;
      if (in.GetDataSize() == 0 || consumed == 0) return;
    }
  }

  void Finish() {
    float seconds = 0;
    dec_.GetDuration(&seconds);
    dec_.AlsCrcStatus();
  }

 private:
  void Check(const UMC::AudioData& out, uint32_t produced) {
    if (produced == 0) return;  // a skipped header
    UMC::AudioCodecParams info;
    if (dec_.GetInfo(&info) != UMC::StatusOk) Fail("GetInfo failed after a frame", produced, 0);
    int8_t speakers[8];
    dec_.GetChannelSpeakers(speakers, 8);
    if (original_form_) return;  // the original form adds the file's header bytes
    const int32_t channels = info.out.channels;
    const int32_t bytes = info.out.bits_per_sample / 8;
    if (channels < 1 || bytes < 1 || info.out.sample_frequency < 1)
      Fail("frame without a format", channels, info.out.sample_frequency);
    if (produced % static_cast<uint32_t>(channels * bytes) != 0)
      Fail("frame not a whole number of samples", produced, channels * bytes);
    if (out.channels != channels)
      Fail("frame and stream disagree on channels", out.channels, channels);
  }

  std::unique_ptr<uint8_t[]> config_;
  uint32_t config_size_;
  uint32_t out_size_;
  int32_t original_form_;
  UMC::AACDecoderParams params_;
  CountingAllocator* shared_;
  UMC::AACDecoder dec_;
  bool ok_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  dspStaticInit();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > (1u << 22)) return 0;
  Reader r{data, size};
  const uint8_t flags = r.Byte();
  const size_t config_size = std::min<size_t>(r.Byte(), r.n);
  // One allocator for every decoder (recycled blocks keep the runs fast),
  // unless flags bit 4 asks for the decoder's own.
  static CountingAllocator shared;
  {
    Session session(r.p, config_size, flags, (flags & 0x10) ? nullptr : &shared);
    r.p += config_size;
    r.n -= config_size;
    session.Init();
    for (int units = 0; units < 256 && r.n > 0; ++units) {
      const uint8_t op = r.Byte();
      if (op & 0x80) session.SetParams(r);
      if (op & 0x40) session.Reset();
      if (op & 0x20) session.Init();
      const size_t length = std::min<size_t>(((size_t{r.Byte()} << 8) | r.Byte()) & 0x7FFF, r.n);
      session.Decode(r.p, length, op);
      r.p += length;
      r.n -= length;
    }
    session.Finish();
  }
  if (shared.live != 0) Fail("blocks left after the decoder", shared.live, 0);
  return 0;
}
