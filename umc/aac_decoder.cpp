#include "umc/aac_decoder.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "aac/aac_dec_state.h"
#include "als/als_decoder.h"
#include "umc/audio_specific_config.h"
#include "umc/latm.h"
#include "umc/stream_detect.h"

namespace UMC {

UMC_DEFINE_CLASS(AACDecoder)

// A LOAS stream's multiplex state: the current and the incoming
// StreamMuxConfig, and the payloads of the element being delivered (one
// output frame per subframe, the frame's bytes consumed with the first).
struct LatmStreamState {
  int32_t have_config;
  int32_t current;  // index of the stream's configuration in config[]
  LatmMuxConfig config[2];
  LatmPayloads payloads;
  int32_t next;        // next subframe to deliver
  int32_t unconsumed;  // bytes of the LOAS frame still to consume
  int32_t damaged;     // the element is delivered as silent frames
  uint8_t payload[kLoasMaxFrameBytes];
};

namespace {

// The largest ADTS frame (13-bit length).
constexpr int32_t kAacSuggestedInput = 8192;
constexpr int32_t kAacSuggestedOutput = 40960;

size_t MainStateBytes() {
  return (sizeof(AACDecState) + 63) & ~size_t{31};
}

int32_t ChannelMaskFor(int32_t channels) {
  switch (channels) {
    case 1:
      return 4;
    case 2:
      return 3;
    case 3:
      return 7;
    case 4:
      return 15;
    case 5:
      return 55;
    case 6:
      return 63;
    default:
      return 0;
  }
}

int32_t ProfileMaskFor(int32_t object_type) {
  switch (object_type) {
    case 1:
      return 4;
    case 2:
      return 1;
    case 3:
      return 8;
    case 4:
      return 2;
    case 22:
      return 64;
    case 36:
      return 32;
    default:
      return 0;
  }
}

// The object type an AudioSpecificConfig starts with (0 if it is cut short).
int32_t ConfigObjectType(const MediaData& config) {
  BitReader r;
  BitReaderInit(r, config.GetDataPointer(), static_cast<int32_t>(config.GetDataSize()));
  int32_t aot = static_cast<int32_t>(BitReaderRead(r, 5));
  if (aot == 31) aot = 32 + static_cast<int32_t>(BitReaderRead(r, 6));
  return BitReaderOverrun(r) ? 0 : aot;
}

}  // namespace

bool AacDecodesObjectType(int32_t aot) {
  return aot == 1 || aot == 2 || aot == 4;
}

bool AacDecodesConfig(const AudioSpecificConfig& asc) {
  return AacDecodesObjectType(asc.object_type) && EffectiveSamplingFrequencyIndex(asc) <= 12;
}

AACDecoder::~AACDecoder() {
  Close();
}

Status AACDecoder::Map(int32_t r) const {
  switch (r) {
    case 0:
      return StatusOk;
    case 1:
      return StatusNotEnoughData;
    case 2:
    case 4:
      return StatusInvalidStream;
    case 3:
      return StatusAllocFailed;
    case 5:
      return StatusNullPointer;
    case 6:
      return StatusUnsupportedStream;
    default:
      return StatusFailed;
  }
}

Status AACDecoder::LockBlocks() {
  if (!main_mem_id_) return StatusNotInitialized;
  auto* base = static_cast<uint8_t*>(allocator_->Lock(main_mem_id_));
  if (!base) return StatusAllocFailed;
  state_ = reinterpret_cast<AACDecState*>(base);
  if (main_base_ && base != main_base_ && channels_ready_) {
    // The block moved: rebuild the tables that hold pointers into it.
    AacCoreTablesInit(*state_, base + MainStateBytes());
    if (state_->sampling_frequency_index >= 0) {
      AacSetSamplingFrequencyIndex(*state_, state_->sampling_frequency_index);
    }
  }
  main_base_ = base;
  if (extra_mem_id_) {
    void* previous = extra_base_;
    extra_ = allocator_->Lock(extra_mem_id_);
    if (extra_ && previous && extra_ != previous && als_) {
      const intptr_t delta = static_cast<uint8_t*>(extra_) - static_cast<uint8_t*>(previous);
      als_ = reinterpret_cast<AlsState*>(reinterpret_cast<uint8_t*>(als_) + delta);
      ALSStateRelocate(als_, delta);
    }
    if (extra_ && previous && extra_ != previous && !als_) {
      AacAttachObjectBlock(*state_, static_cast<uint8_t*>(extra_), false);
    }
    extra_base_ = extra_;
    if (!extra_) {
      allocator_->Unlock(main_mem_id_);
      state_ = nullptr;
      return StatusAllocFailed;
    }
  }
  if (latm_mem_id_) {
    latm_ = static_cast<LatmStreamState*>(allocator_->Lock(latm_mem_id_));
    if (!latm_) {
      if (extra_mem_id_ && extra_) allocator_->Unlock(extra_mem_id_);
      allocator_->Unlock(main_mem_id_);
      state_ = nullptr;
      extra_ = nullptr;
      return StatusAllocFailed;
    }
  }
  return StatusOk;
}

void AACDecoder::UnlockBlocks() {
  if (latm_mem_id_ && latm_) allocator_->Unlock(latm_mem_id_);
  latm_ = nullptr;
  if (extra_mem_id_ && extra_) allocator_->Unlock(extra_mem_id_);
  if (main_mem_id_ && state_) allocator_->Unlock(main_mem_id_);
  state_ = nullptr;
  extra_ = nullptr;
}

// `channels`: everything AAC decoding needs; else only the stream-level
// fields (an ALS configuration), SetUpChannels() doing the rest later.
Status AACDecoder::AllocateMain(bool channels) {
  int32_t tables = 0;
  if (AacCoreTablesGetSize(&tables) != 0) return StatusAllocFailed;
  const size_t size = MainStateBytes() + static_cast<size_t>(tables);
  if (allocator_->Alloc(&main_mem_id_, size, 1, 16) != StatusOk) return StatusAllocFailed;
  auto* base = static_cast<uint8_t*>(allocator_->Lock(main_mem_id_));
  if (!base) return StatusAllocFailed;
  state_ = reinterpret_cast<AACDecState*>(base);
  main_base_ = base;
  AACDecState& s = *state_;
  // The state starts cleared, except the SBR slots (1.3 MB: each is set up
  // on its first use), the channel slots and coupling records
  // (SetUpChannels) and the tables after the state (built there too).
  auto* slots_begin = reinterpret_cast<uint8_t*>(&s.slot[0]);
  auto* slots_end = reinterpret_cast<uint8_t*>(&s.coupling[kAacMaxCoupling]);
  auto* sbr_begin = reinterpret_cast<uint8_t*>(&s.sbr[0]);
  auto* sbr_end = reinterpret_cast<uint8_t*>(&s.sbr[kSbrSlots]);
  std::memset(base, 0, static_cast<size_t>(slots_begin - base));
  std::memset(slots_end, 0, static_cast<size_t>(sbr_begin - slots_end));
  std::memset(sbr_end, 0, static_cast<size_t>(base + MainStateBytes() - sbr_end));
  channels_ready_ = false;
  s.ps_mode = 0;
  s.bsac_layer_limit = -1;
  s.sbr_mode = 18;
  s.sbr_rate_mode = 1;
  s.extension_mode = 777;
  s.object_type = 0;
  s.channel_configuration = -1;
  s.frame_length = kAacFrameLength;
  s.output_channels = 1;
  s.sampling_frequency_index = -1;
  s.noise_state = 0x2545F491u;
  return channels ? SetUpChannels() : StatusOk;
}

Status AACDecoder::SetUpChannels() {
  AACDecState& s = *state_;
  auto* slots_begin = reinterpret_cast<uint8_t*>(&s.slot[0]);
  auto* slots_end = reinterpret_cast<uint8_t*>(&s.coupling[kAacMaxCoupling]);
  std::memset(slots_begin, 0, static_cast<size_t>(slots_end - slots_begin));
  AacCoreReset(s);
  if (AacCoreTablesInit(s, main_base_ + MainStateBytes()) != 0) return StatusAllocFailed;
  AacSbrInit(s);
  channels_ready_ = true;
  return StatusOk;
}

// Main-profile predictors and LTP histories; nothing for the other types.
Status AACDecoder::AllocateObjectBlock() {
  const int64_t size = AacObjectBlockSize(object_type_);
  if (size <= 0 || extra_mem_id_) return StatusOk;
  if (allocator_->Alloc(&extra_mem_id_, static_cast<size_t>(size), 1, 32) != StatusOk) {
    return StatusAllocFailed;
  }
  extra_ = allocator_->Lock(extra_mem_id_);
  if (!extra_) return StatusAllocFailed;
  extra_base_ = extra_;
  AacAttachObjectBlock(*state_, static_cast<uint8_t*>(extra_), true);
  return StatusOk;
}

// The ALS state: one object-type block laid out from the configuration.
Status AACDecoder::AllocateAls(const AlsConfig& cfg, const uint8_t* config, int32_t config_size) {
  const int64_t size = ALSStateGetSize(cfg);
  if (size <= 0) return StatusUnsupportedStream;  // above 32 bits, or absurd memory
  if (allocator_->Alloc(&extra_mem_id_, static_cast<size_t>(size), 1, 16) != StatusOk)
    return StatusAllocFailed;
  extra_ = allocator_->Lock(extra_mem_id_);
  if (!extra_) return StatusAllocFailed;
  extra_base_ = extra_;
  als_ = ALSStateInit(cfg, static_cast<uint8_t*>(extra_), config, config_size);
  return als_ ? StatusOk : StatusInitFailed;
}
Status AACDecoder::Init(BaseCodecParams* params) {
  AACDecoderParams* p = ClassCast<AACDecoderParams>(params);
  if (BaseCodec::Init(params) != StatusOk) return StatusAllocFailed;
  const bool als = p && p->in.stream_type == kStreamTypeMpeg4Config && p->data &&
                   ConfigObjectType(*p->data) == 36;
  if (!main_mem_id_) {
    const Status st = AllocateMain(!als);
    if (st != StatusOk) {
      UnlockBlocks();
      return st;
    }
  } else if (LockBlocks() != StatusOk) {
    return StatusAllocFailed;
  }
  if (!als && !channels_ready_) {
    if (const Status st = SetUpChannels(); st != StatusOk) {
      UnlockBlocks();
      return st;
    }
  }
  // A new stream lays out its own object-type block (predictors, LTP
  // histories or the ALS state): the last stream's goes back to the
  // allocator, and nothing keeps pointing into it.
  if (extra_mem_id_) {
    if (extra_) allocator_->Unlock(extra_mem_id_);
    allocator_->Free(extra_mem_id_);
    extra_mem_id_ = 0;
    extra_ = extra_base_ = nullptr;
    als_ = nullptr;
    AacAttachObjectBlock(*state_, nullptr, false);
  }
  // A stream starts with 1024-sample frames until its configuration says
  // otherwise (ADTS and ADIF cannot).
  if (channels_ready_ &&
      AacSetFrameLength(*state_, main_base_ + MainStateBytes(), kAacFrameLength) != 0) {
    UnlockBlocks();
    return StatusAllocFailed;
  }
  if (latm_mem_id_) {
    if (latm_) allocator_->Unlock(latm_mem_id_);
    allocator_->Free(latm_mem_id_);
    latm_mem_id_ = 0;
    latm_ = nullptr;
  }
  latm_refusal_ = 0;
  sbr_seen_ = 0;
  time_ = 0.0;
  framer_.Reset();
  last_adts_key_ = 0;
  adts_ = AdtsProgress{};
  AacDropPendingOutput(*state_);  // a frame of the last stream waiting for space
  shape_ = OutputShape{};
  last_output_blocks_ = frame_blocks_ = 1;
  object_type_ = header_kind_ = stream_format_ = config_size_ = 0;
  sampling_frequency_index_ = frame_count_ = 0;
  info_.valid = 0;
  if (!p) {
    UnlockBlocks();
    return StatusOk;
  }
  UnlockBlocks();
  SetParams(p);
  if (LockBlocks() != StatusOk) return StatusAllocFailed;
  state_->ps_mode_working = state_->ps_mode;
  UnlockBlocks();

  stream_format_ = p->in.stream_type;
  if (!p->data) return stream_format_ == kStreamTypeMpeg4Config ? StatusInvalidParams : StatusOk;
  config_size_ = static_cast<int32_t>(p->data->GetDataSize());
  if (stream_format_ != kStreamTypeMpeg4Config) return StatusOk;
  if (LockBlocks() != StatusOk) return StatusAllocFailed;
  const uint8_t* cfg = p->data->GetDataPointer();
  if (!cfg) {
    UnlockBlocks();
    return StatusNullPointer;
  }
  BitReader r;
  BitReaderInit(r, cfg, config_size_);
  AudioSpecificConfig asc;
  std::memset(&asc, 0, sizeof(asc));
  const int parsed = ParseAudioSpecificConfig(asc, r);
  if (parsed == kAscUnsupportedType) {
    // A valid configuration of a type this decoder does not implement (the
    // error-resilient, speech and synthesis types, ...).
    object_type_ = asc.object_type;
    UnlockBlocks();
    return StatusFailed;
  }
  if (parsed != kAscOk) {
    UnlockBlocks();
    return StatusInitFailed;
  }
  object_type_ = asc.object_type;
  if (object_type_ == 36) {
    const Status st = InitAlsFromConfig(cfg, config_size_, asc.als_config_bit);
    UnlockBlocks();
    if (st == StatusOk) p->data->MoveDataPointer(config_size_);
    return st;
  }
  const Status st = ConfigureAac(asc);
  if (st == StatusOk || st == StatusInitFailed) header_kind_ = kHeaderConfigured;
  if (st == StatusOk) p->data->MoveDataPointer(config_size_);
  UnlockBlocks();
  return st;
}

// Takes an AAC configuration (codec data, or a LOAS stream's
// StreamMuxConfig) into the state.
Status AACDecoder::ConfigureAac(const AudioSpecificConfig& asc) {
  AACDecState& s = *state_;
  if (asc.extension_object_type == 5) {
    s.sbr_rate_mode =
        asc.extension_sampling_frequency_index == asc.sampling_frequency_index ? 1 : 0;
  }
  if (asc.sbr_present == 0) s.ps_mode_working = 0;
  object_type_ = asc.object_type;
  // SSR, ER BSAC and the scalable/TwinVQ types are not decoded.
  if (!AacDecodesObjectType(object_type_)) return StatusFailed;
  s.object_type = object_type_;
  if (const Status st = AllocateObjectBlock(); st != StatusOk) return st;
  // frameLengthFlag: 960-sample frames (120-sample short windows).
  const int32_t frame_length = asc.ga.frame_length_flag ? kAacFrameLength960 : kAacFrameLength;
  if (AacSetFrameLength(s, main_base_ + MainStateBytes(), frame_length) != 0) {
    return StatusInitFailed;
  }
  sampling_frequency_index_ = EffectiveSamplingFrequencyIndex(asc);
  s.channel_configuration = asc.channel_configuration;
  if (asc.channel_configuration == 0) AacSetProgramConfig(s, asc.ga.pce);
  if (AacSetSamplingFrequencyIndex(s, sampling_frequency_index_) != 0) return StatusInitFailed;
  return StatusOk;
}

// ALSSpecificConfig inside an AudioSpecificConfig (object type 36).
Status AACDecoder::InitAlsFromConfig(const uint8_t* cfg, int32_t size, int64_t als_bit) {
  if (als_bit & 7) return StatusInitFailed;  // the ALS configuration starts on a byte
  const int32_t offset = static_cast<int32_t>(als_bit >> 3);
  BitReader r;
  BitReaderInit(r, cfg + offset, size - offset);
  AlsConfig als;
  if (ALSConfigParse(als, r) != 0) return StatusInitFailed;
  const Status st = AllocateAls(als, cfg + offset, size - offset);
  if (st != StatusOk) return st;
  header_kind_ = 1;
  return StatusOk;
}

// ALS or ADIF stream header at `p` (`bytes` long): the ALS state, or the
// ADIF program configuration.
Status AACDecoder::TakeStreamHeader(const uint8_t* p, int64_t bytes) {
  AACDecState& s = *state_;
  header_kind_ = kHeaderConfigured;
  if (framer_.Format() == InbandFormat::kAls) {
    object_type_ = 36;
    BitReader r;
    BitReaderInit(r, p + 4, static_cast<int32_t>(bytes - 4));
    AlsConfig cfg;
    if (ALSConfigParse(cfg, r) != 0) return StatusInitFailed;
    return AllocateAls(cfg, p + 4, static_cast<int32_t>(bytes - 4));
  }
  const ProgramConfig& pce = framer_.AdifProgram();
  object_type_ = pce.object_type + 1;
  s.object_type = object_type_;
  sampling_frequency_index_ = pce.sampling_frequency_index;
  s.channel_configuration = 0;
  AacSetProgramConfig(s, pce);
  if (!AacDecodesObjectType(object_type_) ||
      AacSetSamplingFrequencyIndex(s, sampling_frequency_index_) != 0) {
    return StatusFailed;
  }
  return AllocateObjectBlock();
}

// The first ADTS frame fixes the object type and the sampling rate.
Status AACDecoder::StartAdts(const AdtsFixedHeader& h) {
  AACDecState& s = *state_;
  object_type_ = AdtsObjectType(h);
  s.object_type = object_type_;
  sampling_frequency_index_ = h.sampling_frequency_index;
  header_kind_ = kHeaderAdts;
  if (!AacDecodesObjectType(object_type_) ||
      AacSetSamplingFrequencyIndex(s, sampling_frequency_index_) != 0) {
    return StatusFailed;
  }
  return AllocateObjectBlock();
}

// Moves `in` to the next access unit of an in-band stream: past an ID3v2
// tag, garbage and the ADIF or ALS stream header (which configure the
// decoder).  An ADTS frame becomes the frame in progress (BeginAdtsFrame);
// for LOAS the unit is the whole frame.  An ADTS header whose length cannot
// hold it and its blocks is skipped (StatusInvalidStream).
Status AACDecoder::NextInbandUnit(MediaData* in, InbandUnit* unit) {
  for (;;) {
    const uint8_t* p = in->GetDataPointer();
    const InbandFramer::Span span = framer_.Next(p, in->GetDataSize(), false);
    switch (span.kind) {
      case InbandFramer::Kind::kNeedData:
        return StatusNotEnoughData;
      case InbandFramer::Kind::kSkip:
        in->MoveDataPointer(static_cast<int32_t>(span.bytes));
        continue;
      case InbandFramer::Kind::kUnusable:
        if (framer_.Format() == InbandFormat::kUnknown) object_type_ = 36;
        return StatusInitFailed;
      case InbandFramer::Kind::kBadHeader:
        in->MoveDataPointer(static_cast<int32_t>(span.bytes));
        return StatusInvalidStream;
      case InbandFramer::Kind::kStreamHeader: {
        // Consumed whatever follows: a later call starts at the first frame.
        const Status st = TakeStreamHeader(p, span.bytes);
        in->MoveDataPointer(static_cast<int32_t>(span.bytes));
        if (st != StatusOk) return st;
        continue;
      }
      case InbandFramer::Kind::kFrame:
        break;
    }
    if (framer_.Format() == InbandFormat::kLoas) {
      // The object type and rate come with the first StreamMuxConfig.
      if (header_kind_ == kHeaderUnknown) {
        header_kind_ = kHeaderLoas;
        if (const Status st = AllocateLatm(); st != StatusOk) return st;
      }
      unit->frame_bytes = static_cast<int32_t>(span.bytes);
      return StatusOk;
    }
    if (framer_.Format() != InbandFormat::kAdts) return StatusOk;
    const AdtsFrameHeader& h = span.adts;
    if (header_kind_ == kHeaderUnknown) {
      if (const Status st = StartAdts(h.fixed); st != StatusOk) return st;
    }
    last_adts_key_ = AdtsStreamKey(p);
    BeginAdtsFrame(p, h);
    return StatusOk;
  }
}

// Makes the ADTS frame at `p` (the framer found it whole in the input) the
// frame in progress.  The input stays at its header until its last raw data
// block is out.
void AACDecoder::BeginAdtsFrame(const uint8_t* p, const AdtsFrameHeader& h) {
  state_->channel_configuration = h.fixed.channel_configuration;
  adts_ = AdtsProgress{};
  adts_.active = 1;
  adts_.h = h;
  adts_.header_ok = h.blocks == 1 || h.crc_check < 0 || h.header_crc == h.crc_check;
  adts_.offset = h.header_bytes;
  std::memcpy(adts_.head, p, sizeof adts_.head);
  frame_blocks_ = h.blocks;
}

// Decodes raw data block `next` of the frame in progress without output
// (the core keeps it for WriteHeld), checks its CRC and finds where the
// block after it starts.  `scratch` is never written.
void AACDecoder::HoldBlock(const uint8_t* frame, uint8_t* scratch) {
  AACDecState& s = *state_;
  const AdtsFrameHeader& h = adts_.h;
  const int32_t length = h.variable.aac_frame_length;
  const bool several = h.blocks > 1;
  const bool checked = h.crc_check >= 0;
  // adts_raw_data_block_error_check: a CRC word after each of several blocks.
  const int32_t tail = checked && several ? 2 : 0;
  const int32_t start = adts_.offset;
  adts_.held = 1;
  adts_.held_damaged = 1;
  // After a damaged block its successor is found from its stated position.
  const int32_t k = adts_.next + 1;
  const int32_t stated =
      k < h.blocks && checked && adts_.header_ok ? h.raw_data_block_position[k] : 0;
  adts_.held_next = stated > start && stated < length ? stated : -1;
  if (!adts_.header_ok || start < 0 || start + tail >= length) return;
  s.crc_enabled = checked ? 1 : 0;
  // One block continues the header's CRC; each of several has its own.
  s.crc_value = several ? Crc16Init() : h.header_crc;
  int32_t used = 0;
  const int32_t r = DecodeRawDataBlock(frame + start, &used, scratch, length - start - tail, 0, s);
  s.crc_enabled = 0;
  bool ok = (r == kAacOutputTooSmall || r == kAacOk) && start + used + tail <= length;
  if (ok && checked) {
    const int32_t at = start + used;  // the block ends byte aligned
    const int32_t expected = several ? (frame[at] << 8) | frame[at + 1] : h.crc_check;
    ok = s.crc_value == expected;
  }
  if (!ok) {
    AacDropPendingOutput(s);
    return;
  }
  adts_.held_damaged = 0;
  adts_.held_next = start + used + tail;
}

// Bytes of the finished frame to consume.  Its stated length, unless no
// header follows there while its last block (decoded, so its end is known)
// ends earlier: then the length field is damaged, and the next header is
// sought from the block's end, so that a frame length that is too large
// costs no frame after it.  (Bytes after the last block, as in frames
// padded to a constant size, are skipped with the stated length.)
int32_t AACDecoder::AdtsFrameEnd(const uint8_t* frame, int64_t available) const {
  const int32_t length = adts_.h.variable.aac_frame_length;
  const int32_t block_end = adts_.offset;  // -1 after a damaged last block
  if (block_end <= 0 || block_end >= length) return length;
  const uint8_t* p = frame + length;
  const int64_t n = std::min<int64_t>(available - length, 3);
  uint32_t w = 0;
  for (int64_t i = 0; i < n; ++i) w |= uint32_t{p[i]} << (16 - 8 * i);
  const uint32_t mask = kAdtsSyncMask & (0xFFFFFFu << (8 * (3 - n)));
  return (w & mask) == (framer_.AdtsSync() & mask) ? length : block_end;
}

// Writes the held block: the core's pending output, or silence of the last
// good block's layout for a damaged one.
void AACDecoder::WriteHeld(const uint8_t* frame, uint8_t* dst, int64_t bytes) {
  AACDecState& s = *state_;
  if (adts_.held_damaged) {
    if (bytes > 0) std::memset(dst, 0, static_cast<size_t>(bytes));
    // Silence before any decoded output: its layout is the one described
    // from now on, not that of a block decoded ahead.
    if (shape_.speaker_count < 0) CaptureShape();
  } else if (s.pending_consumed) {
    int32_t used = 0;
    DecodeRawDataBlock(frame, &used, dst, 0,
                       static_cast<int32_t>(std::min<int64_t>(bytes, INT32_MAX)), s);
    CaptureShape();
  } else {
    CaptureShape();  // a block without channels
  }
  adts_.held = 0;
  adts_.offset = adts_.held_next;
  ++adts_.next;
}

// Channels of the silence standing in for a damaged block: those of the
// last output described (GetInfo reports that layout).  The core's last
// channel count may be a block's that was decoded and then refused for its
// CRC, or one decoded ahead of the output.
int32_t AACDecoder::SilenceChannels() const {
  return shape_.speaker_count >= 0 ? shape_.channels : state_->last_output_channels;
}

void AACDecoder::CaptureShape() {
  const AACDecState& s = *state_;
  shape_.channels = s.last_output_channels;
  shape_.rate = s.sample_rate * (s.frame_length_factor > 0 ? s.frame_length_factor : 1);
  shape_.stream_channels = s.last_stream_channels;
  shape_.speaker_count = AacChannelSpeakers(s, shape_.speakers, 10);
}

// The raw data blocks of an ADTS frame, in order.  One output takes blocks
// while their channel count and rate agree and the buffer holds them; a
// block of another layout starts the next output.  The first block of a
// call is written only when the buffer holds all the frame's remaining
// blocks at its size (else -896 with the block kept).  The frame's bytes
// are consumed with its last block.  Unlocks.
Status AACDecoder::DecodeAdts(MediaData* in, MediaData* out, double t0_in) {
  AACDecState& s = *state_;
  uint8_t* outp = out->GetDataPointer();
  if (!outp) {
    UnlockBlocks();
    return StatusNullPointer;
  }
  const int64_t out_free = int64_t{out->GetBufferSize()} - (outp - out->GetBufferPointer());
  const uint8_t* frame = in->GetDataPointer();
  int64_t written = 0;
  int32_t channels = -1, factor = 0, samples = 0, blocks = 0;
  bool damaged = false, reordered = true;
  while (adts_.next < adts_.h.blocks) {
    if (!adts_.held) HoldBlock(frame, outp);
    const int32_t c = adts_.held_damaged ? SilenceChannels() : s.output_channels;
    const int32_t f = s.frame_length_factor;
    const int64_t bytes = int64_t{c} * f * s.frame_length * AacSampleBytes(s);
    if (channels < 0) {
      if (bytes * (adts_.h.blocks - adts_.next) > out_free) {
        UnlockBlocks();
        return StatusNotEnoughBuffer;
      }
    } else if (c != channels || f != factor || written + bytes > out_free) {
      break;  // the held block starts the next output
    }
    damaged = damaged || adts_.held_damaged;
    WriteHeld(frame, outp + written, bytes);
    // Silence is in every order; a block in the stream's order is not.
    reordered = reordered && (adts_.held_damaged || s.output_reordered);
    channels = c;
    factor = f;
    written += bytes;
    samples += f * s.frame_length;
    ++blocks;
  }
  if (!sbr_seen_ && s.sbr_present) {
    sbr_seen_ = 1;
    profile_mask_ |= 16;
  }
  if (adts_.next >= adts_.h.blocks) {
    in->MoveDataPointer(AdtsFrameEnd(frame, in->GetDataSize()));
    adts_.active = 0;
  }
  last_output_blocks_ = blocks;
  last_output_reordered_ = blocks > 0 && reordered;
  FinishOutput(in, out, written, samples, s.sample_rate * factor, channels, t0_in);
  UnlockBlocks();
  return damaged ? StatusInvalidStream : StatusOk;
}

// Stamps the output descriptor (size, times, audio fields) and the stream
// information after a call that produced output.
void AACDecoder::FinishOutput(MediaData* in, MediaData* out, int64_t bytes, int32_t samples,
                              int32_t rate, int32_t channels, double t0_in) {
  out->SetDataSize(static_cast<uint32_t>(bytes));
  const double t0 = t0_in < 0 ? time_ : t0_in;
  const double t1 = rate > 0 ? t0 + double(samples) / rate : t0;
  time_ = t1;
  in->SetTime(t1, 0.0);
  out->SetTime(t0, t1);
  ++frame_count_;
  if (AudioData* ad = ClassCast<AudioData>(out)) {
    ad->bits_per_sample = 8 * AacSampleBytes(*state_);
    ad->channels = channels;
    ad->sample_frequency = rate;
    const int32_t mask = ChannelMaskFor(channels);
    if (mask) ad->channel_mask = mask;
  }
  info_.valid = 1;
  RefreshInfo();
}

// The output of one decoded raw data block, or of a silent one in place of
// a malformed block (r == kAacMalformed): consumes `consume` input bytes,
// sizes and stamps the output.
Status AACDecoder::EmitAacFrame(int32_t r, MediaData* in, MediaData* out, double t0_in,
                                int64_t out_free, int64_t consume) {
  AACDecState& s = *state_;
  const int32_t factor = s.frame_length_factor;
  const int32_t samples = s.frame_length * factor;
  const int32_t channels = r == kAacOk ? s.output_channels : SilenceChannels();
  const int64_t bytes = int64_t{channels} * samples * AacSampleBytes(s);
  if (r == kAacMalformed && out_free < bytes) return StatusNotEnoughBuffer;
  if (!sbr_seen_ && s.sbr_present) {
    sbr_seen_ = 1;
    profile_mask_ |= 16;
  }
  in->MoveDataPointer(static_cast<int32_t>(consume));
  if (r == kAacMalformed && bytes > 0)
    std::memset(out->GetDataPointer(), 0, static_cast<size_t>(bytes));
  if (r == kAacOk || shape_.speaker_count < 0) CaptureShape();
  last_output_blocks_ = 1;
  last_output_reordered_ = r == kAacOk && s.output_reordered;
  FinishOutput(in, out, bytes, samples, s.sample_rate * factor, channels, t0_in);
  return Map(r);
}

// One access unit given whole (codec data) or one raw data block of an ADIF
// stream.  Unlocks.
Status AACDecoder::DecodeUnit(MediaData* in, MediaData* out, int64_t header_bytes, double t0_in) {
  AACDecState& s = *state_;
  uint8_t* outp = out->GetDataPointer();
  if (!outp) {
    UnlockBlocks();
    return StatusNullPointer;
  }
  const int64_t out_free = int64_t{out->GetBufferSize()} - (outp - out->GetBufferPointer());
  const int64_t avail = int64_t{in->GetDataSize()} - header_bytes;
  int32_t used = 0;
  int32_t r = DecodeRawDataBlock(in->GetDataPointer() + header_bytes, &used, outp,
                                 static_cast<int32_t>(std::min<int64_t>(avail, INT32_MAX)),
                                 static_cast<int32_t>(std::min<int64_t>(out_free, INT32_MAX)), s);
  if (r == kAacOutputTooSmall) {
    UnlockBlocks();
    return StatusNotEnoughBuffer;
  }
  const int64_t total = int64_t{used} + header_bytes;
  if (total > int64_t{in->GetDataSize()}) {
    if (stream_format_ != kStreamTypeMpeg4Config) {
      UnlockBlocks();
      return StatusNotEnoughData;
    }
    r = kAacMalformed;
  }
  const bool whole = stream_format_ == kStreamTypeMpeg4Config;
  const Status st = EmitAacFrame(r, in, out, t0_in, out_free, whole ? in->GetDataSize() : total);
  UnlockBlocks();
  return st;
}

Status AACDecoder::GetFrame(MediaData* in, MediaData* out) {
  if (!in || !out) return StatusNullPointer;
  if (!main_mem_id_) return StatusNotInitialized;
  if (const Status st = LockBlocks(); st != StatusOk) return st;
  AACDecState& s = *state_;
  const double t0_in = in->GetTime();
  ApplyOutputSettings();
  last_output_reordered_ = false;
  // A LOAS element's later subframes come without further input.
  if (header_kind_ == kHeaderLoas) return GetLatmFrame(in, out, t0_in, nullptr);
  if (adts_.active) {
    // The later blocks of an ADTS frame (or one refused for output space),
    // unless the caller dropped the frame's bytes or gave other input.
    const int64_t length = adts_.h.variable.aac_frame_length;
    if (int64_t{in->GetDataSize()} >= length &&
        std::memcmp(in->GetDataPointer(), adts_.head, sizeof adts_.head) == 0)
      return DecodeAdts(in, out, t0_in);
    adts_ = AdtsProgress{};
    AacDropPendingOutput(s);
  }
  // A unit refused for output space is decoded already.
  const bool was_pending = s.pending_consumed != 0;
  InbandUnit unit;
  if (!was_pending) {
    s.crc_enabled = 0;
    s.crc_value = 0xFFFF;
    if (stream_format_ != kStreamTypeMpeg4Config) {
      if (const Status st = NextInbandUnit(in, &unit); st != StatusOk) {
        UnlockBlocks();
        return st;
      }
    }
  }
  if (header_kind_ == kHeaderLoas) return GetLatmFrame(in, out, t0_in, &unit);
  profile_mask_ = ProfileMaskFor(object_type_);
  if (object_type_ == 36 && als_) return DecodeAls(in, out, 0, t0_in);
  if (object_type_ == 0 || !AacDecodesObjectType(object_type_)) {
    adts_ = AdtsProgress{};
    UnlockBlocks();
    return StatusFailed;
  }
  if (header_kind_ == kHeaderAdts) return DecodeAdts(in, out, t0_in);
  if (stream_format_ == kStreamTypeMpeg4Config && in->GetDataSize() == 0 && !was_pending) {
    UnlockBlocks();
    return StatusNotEnoughData;  // no access unit
  }
  return DecodeUnit(in, out, 0, t0_in);
}

// The LOAS stream's state, allocated (and locked) when the framing is
// recognised.
Status AACDecoder::AllocateLatm() {
  if (!latm_mem_id_ &&
      allocator_->Alloc(&latm_mem_id_, sizeof(LatmStreamState), 1, 16) != StatusOk) {
    latm_mem_id_ = 0;
    return StatusAllocFailed;
  }
  latm_ = static_cast<LatmStreamState*>(allocator_->Lock(latm_mem_id_));
  if (!latm_) return StatusAllocFailed;
  std::memset(static_cast<void*>(latm_), 0, sizeof(LatmStreamState));
  return StatusOk;
}

const char* AACDecoder::LatmRefusal() const {
  return latm_refusal_ ? LatmRefusalText(latm_refusal_) : nullptr;
}

int32_t AACDecoder::PendingSubframes() {
  if (header_kind_ != kHeaderLoas || LockBlocks() != StatusOk) return 0;
  const int32_t pending = latm_ ? latm_->payloads.count - latm_->next : 0;
  UnlockBlocks();
  return pending > 0 ? pending : 0;
}

// One subframe of a LOAS stream: the next of the element in hand, or the
// first of the next frame's element (`first`: the frame the framer found in
// this call).  Unlocks.
Status AACDecoder::GetLatmFrame(MediaData* in, MediaData* out, double t0_in,
                                const InbandUnit* first) {
  LatmStreamState& l = *latm_;
  while (l.next >= l.payloads.count) {
    InbandUnit unit;
    Status st = first ? StatusOk : NextInbandUnit(in, &unit);
    if (first) unit = *first;
    first = nullptr;
    if (st == StatusOk) st = LatmTakeElement(in, unit.frame_bytes);
    if (st != StatusOk) {
      l.payloads.count = 0;  // nothing of a refused element is delivered later
      UnlockBlocks();
      return st;
    }
  }
  uint8_t* outp = out->GetDataPointer();
  if (!outp) {
    UnlockBlocks();
    return StatusNullPointer;
  }
  profile_mask_ = ProfileMaskFor(object_type_);
  const int64_t out_free = int64_t{out->GetBufferSize()} - (outp - out->GetBufferPointer());
  int32_t r = kAacMalformed;
  ApplyOutputSettings();
  if (!l.damaged) {
    const int32_t length = l.payloads.length[l.next];
    int32_t used = 0;
    r = DecodeRawDataBlock(l.payload + l.payloads.offset[l.next], &used, outp, length,
                           static_cast<int32_t>(out_free > INT32_MAX ? INT32_MAX : out_free),
                           *state_);
    if (r == kAacOutputTooSmall) {
      UnlockBlocks();
      return StatusNotEnoughBuffer;
    }
    if (r == kAacOk && used > length) r = kAacMalformed;
  }
  const Status st = EmitAacFrame(r, in, out, t0_in, out_free, l.unconsumed);
  if (st != StatusNotEnoughBuffer) {
    l.unconsumed = 0;
    ++l.next;
  }
  UnlockBlocks();
  return st;
}

// Takes the AudioMuxElement of the LOAS frame at the input (`frame_bytes`
// long, found by the framer) apart into the stream state; the input stays
// at the frame's start (the frame is consumed with its first subframe).
// A frame before the stream's first StreamMuxConfig is consumed without
// payloads (the caller goes on to the next).
Status AACDecoder::LatmTakeElement(MediaData* in, int32_t frame_bytes) {
  LatmStreamState& l = *latm_;
  l.payloads.count = l.next = l.unconsumed = l.damaged = 0;
  const uint8_t* f = in->GetDataPointer();
  const int32_t bytes = frame_bytes;
  bool fresh = false;
  LatmMuxConfig* current = l.have_config ? &l.config[l.current] : nullptr;
  const int32_t res = ParseAudioMuxElement(f + kLoasHeaderBytes, bytes - kLoasHeaderBytes, current,
                                           l.config[1 - l.current], &fresh, l.payloads, l.payload,
                                           static_cast<int32_t>(sizeof(l.payload)));
  if (res == kLatmNoConfig) {  // tuned in between configurations
    in->MoveDataPointer(bytes);
    return StatusOk;
  }
  l.unconsumed = bytes;
  bool damaged = res != kLatmOk;
  if (!damaged && fresh) {
    const Status st = LatmTakeConfig(&damaged);
    if (st != StatusOk) {
      if (st != StatusAllocFailed) in->MoveDataPointer(bytes);
      l.unconsumed = 0;
      return st;
    }
  }
  if (damaged && l.have_config) {
    // Silence for each subframe of the stream's configuration.
    l.damaged = 1;
    l.payloads.count = l.config[l.current].num_sub_frames + 1;
    return StatusOk;
  }
  if (!damaged) return StatusOk;
  // Nothing decodable before the first usable configuration.
  in->MoveDataPointer(bytes);
  l.unconsumed = 0;
  l.payloads.count = 0;
  if (res == kLatmUnsupportedLayout) {
    latm_refusal_ = l.config[1 - l.current].refusal;
    return StatusUnsupportedStream;
  }
  if (res == kLatmUnsupportedConfig) {
    object_type_ = l.config[1 - l.current].asc.object_type;
    return StatusFailed;
  }
  return StatusOk;
}

// A StreamMuxConfig arrived (in config[1 - current]).  Another
// AudioSpecificConfig than the stream's starts a new stream; *damaged is
// set when it cannot be used (before the first configuration an
// unsupported object type ends decoding instead: StatusFailed).
Status AACDecoder::LatmTakeConfig(bool* damaged) {
  LatmStreamState& l = *latm_;
  const LatmMuxConfig& now = l.config[l.current];
  const LatmMuxConfig& c = l.config[1 - l.current];
  const bool same = l.have_config && c.asc_bits == now.asc_bits &&
                    std::memcmp(c.asc_bytes, now.asc_bytes, (c.asc_bits + 7) / 8) == 0;
  if (!same) {
    const int32_t aot = c.asc.object_type;
    if (!AacDecodesConfig(c.asc)) {
      if (!l.have_config && !AacDecodesObjectType(aot)) {
        object_type_ = aot;
        return StatusFailed;
      }
      *damaged = true;
      return StatusOk;
    }
    if (const Status st = LatmStartStream(c.asc); st != StatusOk) {
      if (st == StatusAllocFailed) return st;
      *damaged = true;
      return StatusOk;
    }
  }
  l.current = 1 - l.current;
  l.have_config = 1;
  return StatusOk;
}

// A LOAS stream's new AudioSpecificConfig: the decoder starts over as a new
// decoder would (no history, element tables, SBR headers, noise generator
// state or object-type tools of the last configuration), with the SBR and
// PS modes last set.
Status AACDecoder::LatmStartStream(const AudioSpecificConfig& asc) {
  AACDecState& s = *state_;
  if (extra_mem_id_) {
    if (extra_) allocator_->Unlock(extra_mem_id_);
    allocator_->Free(extra_mem_id_);
    extra_mem_id_ = 0;
    extra_ = extra_base_ = nullptr;
    AacAttachObjectBlock(s, nullptr, false);
  }
  AacSbrInit(s);
  s.noise_state = 0;  // the noise generator starts from its seed again
  AacCoreReset(s);
  s.element_count = s.next_channel = s.position_count = 0;
  s.pce_present = s.positions_valid = 0;
  s.sbr_rate_mode = requested_sbr_rate_mode_;
  s.ps_mode_working = s.ps_mode;
  sbr_seen_ = 0;
  return ConfigureAac(asc);
}

// One ALS frame (GetFrame steps 8-19 for object type 36).  Unlocks.
Status AACDecoder::DecodeAls(MediaData* in, MediaData* out, int64_t header_bytes, double t0_in) {
  uint8_t* outp = out->GetDataPointer();
  if (!outp) {
    UnlockBlocks();
    return StatusNullPointer;
  }
  // The configuration's bytes are consumed whatever happens next, so a later
  // call starts at the first frame.
  if (header_bytes > 0) in->MoveDataPointer(static_cast<int32_t>(header_bytes));
  const int64_t out_free = int64_t{out->GetBufferSize()} - (outp - out->GetBufferPointer());
  const int64_t avail = in->GetDataSize();
  if (avail == 0) {
    UnlockBlocks();
    return StatusNotEnoughData;
  }
  // Every announced frame decoded: what follows (padding, a tag, or the
  // rest of a damaged last frame) is not audio.
  const AlsConfig& announced = ALSGetConfig(als_);
  if (announced.samples != 0xFFFFFFFFu && ALSFramesDecoded(als_) >= announced.frames) {
    in->MoveDataPointer(static_cast<int32_t>(avail > INT32_MAX ? INT32_MAX : avail));
    UnlockBlocks();
    return StatusNotEnoughData;
  }
  int32_t used = 0, written = 0;
  const int32_t r =
      ALSDecodeFrame(in->GetDataPointer(), &used, outp, &written,
                     static_cast<int32_t>(avail > INT32_MAX ? INT32_MAX : avail),
                     static_cast<int32_t>(out_free > INT32_MAX ? INT32_MAX : out_free),
                     als_restore_original_, als_, als_restore_original_);
  if (r == 7) {
    UnlockBlocks();
    return StatusNotEnoughBuffer;
  }
  if (r == 5) {
    UnlockBlocks();
    return StatusNullPointer;
  }
  const AlsConfig& cfg = ALSGetConfig(als_);
  const int32_t bytes = ALSBitsPerSample(als_) / 8;
  const bool last = ALSFramesDecoded(als_) >= cfg.frames;
  const int32_t samples =
      r == 0 ? ALSFrameSamples(als_) : (last ? cfg.last_frame_length : cfg.frame_length);
  if (r != 0) {
    // A bad frame becomes silence of the frame's length.
    int64_t bad = int64_t{bytes} * cfg.channels * samples;
    if (bad > out_free) bad = out_free;
    written = static_cast<int32_t>(bad);
    std::memset(outp, 0, static_cast<size_t>(written));
  }
  // ALS frames are consumed one by one (an MP4 sample may hold several); a
  // bad frame of an access unit drops the rest of it.
  const bool drop_rest = r != 0 && stream_format_ == kStreamTypeMpeg4Config;
  in->MoveDataPointer(drop_rest ? static_cast<int32_t>(avail) : used);
  out->SetDataSize(static_cast<uint32_t>(written));
  const double t0 = t0_in < 0 ? time_ : t0_in;
  const double t1 = cfg.samp_freq ? t0 + double(samples) / cfg.samp_freq : t0;
  time_ = t1;
  in->SetTime(t1, 0.0);
  out->SetTime(t0, t1);
  ++frame_count_;
  if (AudioData* ad = ClassCast<AudioData>(out)) {
    ad->bits_per_sample = bytes * 8;
    ad->channels = cfg.channels;
    ad->sample_frequency = static_cast<int32_t>(cfg.samp_freq);
    const int32_t mask = ChannelMaskFor(cfg.channels);
    if (mask) ad->channel_mask = mask;
  }
  info_.valid = 1;
  RefreshInfo();
  UnlockBlocks();
  return r == 0 ? StatusOk : StatusInvalidStream;
}

int32_t AACDecoder::AlsCrcStatus() {
  if (!main_mem_id_ || LockBlocks() != StatusOk) return -1;
  const int32_t r = als_ ? ALSCrcCheck(als_) : -1;
  UnlockBlocks();
  return r;
}

void AACDecoder::RefreshInfo() {
  if (als_) {
    const AlsConfig& cfg = ALSGetConfig(als_);
    const int64_t frame = ALSMaxFrameBytes(als_);
    // A compressed frame can exceed its PCM size slightly on noise; keep
    // room for two frames' worth.
    const int64_t input = 2 * frame + 4096;
    info_.suggested_input_size = static_cast<int32_t>(input > INT32_MAX ? INT32_MAX : input);
    info_.suggested_output_size = static_cast<int32_t>(frame);
    info_.in_channels = info_.out_channels = cfg.channels;
    info_.in_sample_rate = info_.out_sample_rate = static_cast<int32_t>(cfg.samp_freq);
    info_.bits_per_sample = ALSBitsPerSample(als_);
    info_.is_float = cfg.floating != 0;
    info_.frames = static_cast<int32_t>(ALSFramesDecoded(als_));
    info_.sbr = false;
    info_.ps = false;
    return;
  }
  const AACDecState& s = *state_;
  info_.suggested_input_size = kAacSuggestedInput;
  info_.in_sample_rate = s.sample_rate;
  if (shape_.speaker_count >= 0) {
    info_.in_channels = shape_.stream_channels;
    info_.out_channels = shape_.channels;
    info_.out_sample_rate = shape_.rate;
  } else {
    info_.in_channels = s.last_stream_channels;
    info_.out_channels = s.last_output_channels;
    info_.out_sample_rate = s.sample_rate * (s.frame_length_factor > 0 ? s.frame_length_factor : 1);
  }
  // Room for every block of an ADTS frame of the last layout.
  const int64_t frame_bytes = int64_t{frame_blocks_} * info_.out_channels *
                              (info_.out_sample_rate / std::max(1, s.sample_rate)) *
                              kAacFrameLength * AacSampleBytes(s);
  info_.suggested_output_size =
      static_cast<int32_t>(std::clamp<int64_t>(frame_bytes, kAacSuggestedOutput, INT32_MAX));
  info_.bits_per_sample = 8 * AacSampleBytes(s);
  info_.is_float = s.output_float != 0;
  info_.frames = s.frames_decoded;
  info_.sbr = s.sbr_present != 0;
  info_.ps = (s.sbr_ready & 1) && s.sbr[0].psSeen != 0;
}

Status AACDecoder::GetInfo(BaseCodecParams* info) {
  if (!info) return StatusNullPointer;
  if (main_mem_id_) {
    if (const Status st = LockBlocks(); st != StatusOk) return st;
    RefreshInfo();
    UnlockBlocks();
  } else {
    info_.suggested_input_size = kAacSuggestedInput;
    info_.suggested_output_size = kAacSuggestedOutput;
  }
  info->suggested_input_size = info_.suggested_input_size;
  info->suggested_output_size = info_.suggested_output_size;
  info->level = 0;
  AudioCodecParams* a = ClassCast<AudioCodecParams>(info);
  if (!a) return StatusOk;
  if (!info_.valid) return 3;  // sizes only: no frame decoded yet
  const int32_t mask = ChannelMaskFor(info_.out_channels);
  a->profile = object_type_ + (info_.sbr ? 0x100 : 0) + (info_.ps ? 0x200 : 0);
  a->in.channels = info_.in_channels;
  a->in.sample_frequency = info_.in_sample_rate;
  a->in.bitrate = 0;
  a->in.bits_per_sample = 0;
  a->in.stream_type = kStreamTypeInBand;
  a->in.stream_subtype = profile_mask_;
  a->in.channel_mask = mask;
  a->out.channels = info_.out_channels;
  a->out.sample_frequency = info_.out_sample_rate;
  a->out.bits_per_sample = info_.bits_per_sample;
  // ALS rates are 32-bit stream values: the product saturates.
  const int64_t bitrate = int64_t{info_.out_sample_rate} * info_.bits_per_sample;
  a->out.bitrate = static_cast<int32_t>(std::clamp<int64_t>(bitrate, 0, INT32_MAX));
  a->out.stream_type = kStreamTypePcm;
  a->out.channel_mask = mask;
  a->out.is_float = info_.is_float;
  a->frames = frame_count_;
  return StatusOk;
}

int32_t AACDecoder::GetChannelSpeakers(int8_t* speakers, int32_t max) {
  if (!speakers || max <= 0 || !main_mem_id_ || LockBlocks() != StatusOk) return 0;
  int32_t n = 0;
  if (als_) {
    // WAV default layouts by channel count (the ALS stream keeps the
    // original file's channel order).
    static constexpr int8_t kWav[9][8] = {{},
                                          {2},
                                          {0, 1},
                                          {0, 1, 2},
                                          {0, 1, 4, 5},
                                          {0, 1, 2, 4, 5},
                                          {0, 1, 2, 3, 4, 5},
                                          {0, 1, 2, 3, 4, 5, 8},
                                          {0, 1, 2, 3, 4, 5, 9, 10}};
    const int32_t c = ALSGetConfig(als_).channels;
    n = c < max ? c : max;
    for (int32_t i = 0; i < n; ++i) speakers[i] = c <= 8 ? kWav[c][i] : -1;
  } else if (shape_.speaker_count >= 0) {
    n = std::min(shape_.speaker_count, max);
    std::copy(shape_.speakers, shape_.speakers + n, speakers);
  } else {
    n = AacChannelSpeakers(*state_, speakers, max);
  }
  UnlockBlocks();
  return n;
}

Status AACDecoder::SetParams(BaseCodecParams* params) {
  AACDecoderParams* p = ClassCast<AACDecoderParams>(params);
  if (!p) return StatusNullPointer;
  if (!main_mem_id_) return StatusNotInitialized;
  if (const Status st = LockBlocks(); st != StatusOk) return st;
  AACDecState& s = *state_;
  s.bsac_layer_limit = p->bsac_layer_limit;
  als_restore_original_ = p->als_restore_original ? 1 : 0;
  if ((p->sbr_mode == 18 || p->sbr_mode == 28) &&
      (p->sbr_rate_mode == 0 || p->sbr_rate_mode == 1)) {
    s.sbr_mode = p->sbr_mode;
    s.sbr_rate_mode = p->sbr_rate_mode;
    s.extension_mode = p->extension_mode;
    const int32_t ps = p->ps_mode;
    s.ps_mode = (ps == 0 || ps == 1 || ps == 111 || ps == 411) ? ps : 0;
    if (s.ps_mode == 111 || s.ps_mode == 411) {
      s.sbr_mode = 18;
      s.sbr_rate_mode = 0;
    }
    requested_sbr_rate_mode_ = s.sbr_rate_mode;
  }
  UnlockBlocks();
  return StatusOk;
}

Status AACDecoder::SetFloatOutput(bool on) {
  float_output_ = on;
  return StatusOk;
}

Status AACDecoder::SetOutputOrder(const int8_t* speakers, const int32_t* map, int32_t count) {
  if (count == 0) {
    order_count_ = 0;
    return StatusOk;
  }
  if (!speakers || !map) return StatusNullPointer;
  if (!IsChannelPermutation(map, count)) return StatusInvalidParams;
  for (int32_t i = 0; i < count; ++i) {
    order_speakers_[i] = speakers[i];
    order_map_[i] = static_cast<int8_t>(map[i]);
  }
  order_count_ = count;
  return StatusOk;
}

bool AACDecoder::IsChannelPermutation(const int32_t* map, int32_t count) {
  if (count < 0 || count > kOrderMax) return false;
  bool used[kOrderMax] = {};
  for (int32_t i = 0; i < count; ++i) {
    if (map[i] < 0 || map[i] >= count || used[map[i]]) return false;
    used[map[i]] = true;
  }
  return true;
}

// The caller's output format and channel order into the core, before a frame.
void AACDecoder::ApplyOutputSettings() {
  AACDecState& s = *state_;
  s.output_float = float_output_ ? 1 : 0;
  s.order_count = order_count_;
  std::memcpy(s.order_speakers, order_speakers_, sizeof order_speakers_);
  std::memcpy(s.order_map, order_map_, sizeof order_map_);
  s.output_reordered = 0;
}

Status AACDecoder::Reset() {
  if (!main_mem_id_) return StatusNotInitialized;
  if (const Status st = LockBlocks(); st != StatusOk) return st;
  time_ = 0.0;
  adts_ = AdtsProgress{};
  if (channels_ready_) {
    AacCoreReset(*state_);
  } else {
    state_->frames_decoded = 0;
    state_->pending_consumed = 0;
  }
  if (extra_ && !als_) AacAttachObjectBlock(*state_, static_cast<uint8_t*>(extra_), true);
  // Subframes of a LOAS element in hand are dropped; one not delivered yet
  // is read again from the input.
  if (latm_) latm_->payloads.count = latm_->next = latm_->unconsumed = 0;
  UnlockBlocks();
  return StatusOk;
}

Status AACDecoder::GetDuration(float* seconds) {
  if (!seconds) return StatusNullPointer;
  if (!main_mem_id_) return StatusNotInitialized;
  if (const Status st = LockBlocks(); st != StatusOk) return st;
  if (als_) {
    // A sample count of 0xFFFFFFFF says the length is not known.
    const AlsConfig& cfg = ALSGetConfig(als_);
    const bool known = cfg.samples != 0xFFFFFFFFu && cfg.samp_freq;
    *seconds = known ? float(double(cfg.samples) / cfg.samp_freq) : -1.0f;
    UnlockBlocks();
    return known ? StatusOk : StatusFailed;
  }
  const AACDecState& s = *state_;
  *seconds =
      s.sample_rate > 0 ? float(s.frames_decoded) * s.frame_length / float(s.sample_rate) : 0.0f;
  UnlockBlocks();
  return StatusOk;
}

Status AACDecoder::Close() {
  if (!main_mem_id_ && !extra_mem_id_ && !latm_mem_id_) return StatusOk;
  if (!allocator_) return StatusOk;
  if (latm_mem_id_) allocator_->Free(latm_mem_id_);
  latm_mem_id_ = 0;
  latm_ = nullptr;
  if (extra_mem_id_) allocator_->Free(extra_mem_id_);
  extra_mem_id_ = 0;
  extra_ = extra_base_ = nullptr;
  als_ = nullptr;
  if (main_mem_id_) allocator_->Free(main_mem_id_);
  main_mem_id_ = 0;
  state_ = nullptr;
  main_base_ = nullptr;
  return BaseCodec::Close();
}

}  // namespace UMC
