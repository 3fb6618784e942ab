#include "umc/decode_loop.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "umc/latm.h"

namespace UMC {

namespace {

constexpr uint32_t kPadding = 16;       // zero bytes after every input copy
constexpr uint32_t kMinOutput = 32768;  // first output area without a suggestion
// The largest ALS frame the decoder accepts (kAlsMaxStateBytes); callers
// may set a lower limit.
constexpr uint32_t kMaxOutput = 256u << 20;
constexpr uint32_t kMaxMinInput = 16u << 20;
constexpr int32_t kObjectTypeAls = 36;

bool Decodable(int32_t aot) {
  return aot == 1 || aot == 2 || aot == 4 || aot == kObjectTypeAls;
}

}  // namespace

DecodeLoop::~DecodeLoop() {
  Close();
}

Status DecodeLoop::Open(const Settings& settings, const uint8_t* config, uint32_t config_size) {
  Close();
  settings_ = settings;
  if (config && config_size > 0) {
    config_ = new (std::nothrow) uint8_t[config_size + kPadding];
    if (!config_) return StatusAllocFailed;
    std::memcpy(config_, config, config_size);
    std::memset(config_ + config_size, 0, kPadding);
    config_size_ = config_size;
  }
  return StatusOk;
}

void DecodeLoop::Close() {
  Destroy();
  SetPrefix(nullptr, 0);
  prefix_loaded_ = 0;
  delete[] config_;
  config_ = nullptr;
  config_size_ = 0;
  delete[] in_;
  in_ = nullptr;
  in_capacity_ = 0;
  delete[] out_;
  out_ = nullptr;
  out_capacity_ = want_output_ = 0;
  input_.SetBufferPointer(nullptr, 0);
  loaded_ = consumed_ = 0;
  borrowed_ = false;
  open_input_ = 0;
  failure_ = StatusOk;
  fatal_ = false;
  object_type_ = 0;
  latm_refusal_ = nullptr;
}

void DecodeLoop::SetFloatOutput(bool on) {
  settings_.float_output = on;
  if (dec_) dec_->SetFloatOutput(on);
}

bool DecodeLoop::SetOutputOrder(const int8_t* speakers, const int32_t* map, int32_t count) {
  constexpr int32_t kMax = sizeof order_map_ / sizeof order_map_[0];
  if (count < 0 || count > kMax || (count > 0 && (!speakers || !map))) return false;
  if (count > 0 && !AACDecoder::IsChannelPermutation(map, count)) return false;
  if (dec_ && dec_->SetOutputOrder(speakers, map, count) != StatusOk) return false;
  order_count_ = count;
  for (int32_t i = 0; i < count; ++i) {
    order_speakers_[i] = speakers[i];
    order_map_[i] = map[i];
  }
  return true;
}

void DecodeLoop::Destroy() {
  if (dec_) {
    dec_->Close();
    delete dec_;
    dec_ = nullptr;
  }
  min_input_ = 0;
  frames_since_open_ = 0;
  adts_key_ = 0;
  idle_ = 0;
}

Status DecodeLoop::Create() {
  dec_ = new (std::nothrow) AACDecoder();
  if (!dec_) return StatusAllocFailed;
  AACDecoderParams params;
  params.sbr_mode = settings_.sbr_mode;
  params.sbr_rate_mode = settings_.sbr_rate_mode;
  params.ps_mode = settings_.ps_mode;
  params.als_restore_original = settings_.als_restore_original ? 1 : 0;
  params.allocator = settings_.allocator;
  MediaData config;
  if (config_) {
    config.SetBufferPointer(config_, config_size_ + kPadding);
    config.SetDataSize(config_size_);
    params.data = &config;
    params.in.stream_type = kStreamTypeMpeg4Config;
  } else {
    params.in.stream_type = kStreamTypeInBand;
  }
  const Status st = dec_->Init(&params);
  object_type_ = dec_->ObjectType();
  if (st != StatusOk) return st;
  dec_->SetFloatOutput(settings_.float_output);
  dec_->SetOutputOrder(order_speakers_, order_map_, order_count_);
  frames_since_open_ = 0;
  adts_key_ = 0;
  idle_ = 0;
  open_input_ = 0;
  UpdateSizes();
  return StatusOk;
}

// Suggested sizes are known after Init and final once the stream is
// recognised; sizes derived from stream headers are bounded before use.
// The output area grows to the suggestion before the next decode, never
// while it holds the frame just decoded.
void DecodeLoop::UpdateSizes() {
  BaseCodecParams info;
  dec_->GetInfo(&info);
  if (settings_.initial_output_bytes == 0) {
    const uint32_t suggested = std::min<uint32_t>(
        static_cast<uint32_t>(std::max(0, info.suggested_output_size)), MaxOutput());
    want_output_ = std::max(kMinOutput, suggested);
  }
  object_type_ = dec_->ObjectType();
  min_input_ =
      InBand() && object_type_ == kObjectTypeAls
          ? std::min<uint32_t>(static_cast<uint32_t>(std::max(0, info.suggested_input_size)),
                               kMaxMinInput)
          : 0;
}

uint32_t DecodeLoop::MaxOutput() const {
  return settings_.max_output_bytes ? std::min(settings_.max_output_bytes, kMaxOutput) : kMaxOutput;
}

bool DecodeLoop::GrowOutput() {
  if (out_capacity_ >= MaxOutput()) return false;
  const uint32_t size = std::min(MaxOutput(), std::max<uint32_t>(64, 2 * out_capacity_));
  uint8_t* grown = new (std::nothrow) uint8_t[size];
  if (!grown) return false;
  delete[] out_;
  out_ = grown;
  out_capacity_ = size;
  return true;
}

uint8_t* DecodeLoop::InputArea(size_t n) {
  if (n > size_t{UINT32_MAX} - kPadding - prefix_size_) return nullptr;
  const size_t need = prefix_size_ + n + kPadding;
  if (in_capacity_ < need) {
    const size_t capacity = std::max(need, 2 * in_capacity_);
    uint8_t* grown = new (std::nothrow) uint8_t[capacity];
    if (!grown) return nullptr;
    delete[] in_;
    in_ = grown;
    in_capacity_ = capacity;
  }
  return in_ + prefix_size_;
}

Status DecodeLoop::Loaded(size_t n, bool at_end) {
  if (!in_ || in_capacity_ < prefix_size_ + n + kPadding) return StatusInvalidParams;
  if (prefix_size_) std::memcpy(in_, prefix_, prefix_size_);
  const size_t total = prefix_size_ + n;
  std::memset(in_ + total, 0, kPadding);
  input_.SetBufferPointer(in_, static_cast<uint32_t>(total + kPadding));
  input_.Reset();
  input_.SetDataSize(static_cast<uint32_t>(total));
  borrowed_ = false;
  loaded_ = total;
  prefix_loaded_ = prefix_size_;
  consumed_ = 0;
  at_end_ = at_end;
  if (!fatal_) failure_ = StatusOk;  // after a failure a new decoder takes over
  return StatusOk;
}

Status DecodeLoop::Load(const uint8_t* data, size_t n, bool at_end) {
  uint8_t* area = InputArea(n);
  if (!area) return StatusAllocFailed;
  if (n) std::memcpy(area, data, n);
  return Loaded(n, at_end);
}

bool DecodeLoop::Borrow(const uint8_t* data, size_t n, bool at_end) {
  if (InBand() || fatal_ || !data || n > UINT32_MAX) return false;
  if (!dec_ && Create() != StatusOk) {
    Destroy();  // Next() creates it again and reports the failure
    return false;
  }
  if (dec_->ObjectType() != kObjectTypeAls) return false;
  input_.SetBufferPointer(const_cast<uint8_t*>(data), static_cast<uint32_t>(n));
  input_.Reset();
  input_.SetDataSize(static_cast<uint32_t>(n));
  borrowed_ = true;
  loaded_ = n;
  prefix_loaded_ = 0;
  consumed_ = 0;
  at_end_ = at_end;
  if (!fatal_) failure_ = StatusOk;
  return true;
}

void DecodeLoop::Release() {
  if (!borrowed_) return;
  input_.SetBufferPointer(nullptr, 0);
  loaded_ = consumed_ = 0;
  borrowed_ = false;
}

Status DecodeLoop::SetPrefix(const uint8_t* data, size_t n) {
  delete[] prefix_;
  prefix_ = nullptr;
  prefix_size_ = 0;
  if (n == 0) return StatusOk;
  prefix_ = new (std::nothrow) uint8_t[n];
  if (!prefix_) return StatusAllocFailed;
  std::memcpy(prefix_, data, n);
  prefix_size_ = n;
  return StatusOk;
}

DecodeLoop::Event DecodeLoop::Fail(Status st) {
  failure_ = st;
  if (dec_) {
    object_type_ = dec_->ObjectType();
    latm_refusal_ = st == StatusUnsupportedStream ? dec_->LatmRefusal() : nullptr;
  }
  const bool unsupported = object_type_ != 0 && !Decodable(object_type_);
  const bool bad_als_header = object_type_ == kObjectTypeAls && frames_since_open_ == 0 &&
                              (st == StatusInitFailed || st == StatusUnsupportedStream);
  fatal_ =
      fatal_ || (st == StatusFailed && unsupported) || bad_als_header || latm_refusal_ != nullptr;
  Destroy();
  SetPrefix(nullptr, 0);
  consumed_ = loaded_;  // the rest of this input goes with the decoder
  return Event::kFailed;
}

void DecodeLoop::SetOutputArea(uint8_t* area, uint32_t capacity) {
  area_ = area;
  area_capacity_ = area ? capacity : 0;
}

DecodeLoop::Event DecodeLoop::Next(Frame* frame) {
  *frame = Frame{};
  uint8_t* const area = area_;
  const uint32_t area_capacity = area_capacity_;
  area_ = nullptr;
  area_capacity_ = 0;
  if (fatal_ || failure_ != StatusOk) return fatal_ ? Event::kFailed : Event::kNeedData;
  const size_t left = loaded_ - consumed_;
  if (!dec_) {
    if (InBand() && !at_end_ && left < open_input_) return Event::kNeedData;
    if (!in_ && !borrowed_ && !InBand()) return Event::kNeedData;
    const Status st = Create();
    if (st != StatusOk) {
      fatal_ = true;  // the configuration will not change
      return Fail(st);
    }
  }
  if (want_output_ > out_capacity_) {
    delete[] out_;
    out_ = new (std::nothrow) uint8_t[want_output_];
    out_capacity_ = out_ ? want_output_ : 0;
    want_output_ = 0;  // out of memory: growing on refusal takes over
  }
  if (!out_ && !GrowOutput()) return Fail(StatusAllocFailed);
  if (InBand() && !at_end_ && left < min_input_) return Event::kNeedData;  // a partial ALS frame
  if (InBand() && adts_key_ != 0) {
    switch (CheckAdtsStream(in_ + consumed_, static_cast<int64_t>(left), adts_key_, at_end_)) {
      case AdtsChange::kUnsure:
        return Event::kNeedData;
      case AdtsChange::kNew: {
        Destroy();
        const Status st = Create();
        return st == StatusOk ? Event::kNewStream : Fail(st);
      }
      case AdtsChange::kSame:
        break;
    }
  }
  const uint32_t before = input_.GetDataSize();
  AudioData out;
  Status st;
  uint8_t* dst = area ? area : out_;
  uint32_t capacity = area ? area_capacity : out_capacity_;
  for (;;) {
    out.SetBufferPointer(dst, capacity);
    st = dec_->GetFrame(&input_, &out);
    if (st != StatusNotEnoughBuffer) break;
    // The refused frame is kept for the retry, in the loop's own area.
    if (dst == out_ && !GrowOutput()) return Fail(st);
    dst = out_;
    capacity = out_capacity_;
  }
  const uint32_t consumed = before - input_.GetDataSize();
  consumed_ += consumed;
  // The suggested sizes are final once the stream is recognised.
  if (frames_since_open_ < 2) UpdateSizes();
  const bool retry = (st == StatusOk || st == StatusInvalidStream) && out.GetDataSize() > 0 &&
                     InBand() && !at_end_ && frames_since_open_ == 0 && before < min_input_;
  if (prefix_size_ && !retry && consumed_ >= prefix_loaded_) SetPrefix(nullptr, 0);  // taken
  if (st == StatusNotEnoughData) return Event::kNeedData;
  if (st != StatusOk && st != StatusInvalidStream) return Fail(st);
  const uint32_t produced = out.GetDataSize();
  if (retry) {
    // Recognised as ALS in this call and decoded from less than a frame's
    // input: a new decoder starts again once that much is in hand.
    open_input_ = min_input_;
    Destroy();
    consumed_ -= consumed;
    return Event::kNeedData;
  }
  // Frames must consume input: the only repeats allowed without are the
  // delivery of a frame kept after a refusal for space, the further
  // subframes of a LOAS frame (consumed with its first), and the first
  // blocks of an ADTS frame of several whose layout changes within it (the
  // frame's bytes go with its last block; up to four blocks).
  idle_ = consumed == 0 ? idle_ + 1 : 0;
  const int max_idle = dec_->IsLoas() ? kLatmMaxSubFrames : 4;
  if ((produced == 0 && consumed == 0) || idle_ > max_idle) return Fail(StatusFailed);
  if (produced > 0) ++frames_since_open_;
  if (adts_key_ == 0 && InBand() && st == StatusOk && frames_since_open_ <= 2)
    adts_key_ = dec_->LastAdtsKey();
  frame->status = st;
  frame->pcm = dst;
  frame->bytes = produced;
  frame->reordered = dec_->LastOutputReordered();
  double end = 0.0;
  out.GetTime(&frame->start, &end);
  return Event::kFrame;
}

}  // namespace UMC
