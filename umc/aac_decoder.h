// The AAC/ALS decoder object: memory, configuration, stream-format
// detection, per-frame dispatch, time and size bookkeeping.
#pragma once

#include <cstdint>

#include "umc/audio_codec.h"
#include "umc/inband_framer.h"
#include "umc/stream_detect.h"

struct AACDecState;
struct AlsConfig;
struct AlsState;

namespace UMC {

struct AudioSpecificConfig;
struct LatmStreamState;

// Object types the AAC core decodes (Main, LC, LTP).
bool AacDecodesObjectType(int32_t aot);
// Whether a LOAS stream's decoder starts on this configuration: a decoded
// object type at a rate of the table.  The element's LOAS parser takes the
// same decision.
bool AacDecodesConfig(const AudioSpecificConfig& asc);

class AACDecoder : public AudioCodec {
  UMC_DERIVED_CLASS(AACDecoder, AudioCodec)

 public:
  AACDecoder() = default;
  ~AACDecoder() override;
  AACDecoder(const AACDecoder&) = delete;
  AACDecoder& operator=(const AACDecoder&) = delete;

  Status Init(BaseCodecParams* params) override;
  Status GetFrame(MediaData* in, MediaData* out) override;
  Status GetInfo(BaseCodecParams* info) override;
  Status Close() override;
  Status Reset() override;
  Status SetParams(BaseCodecParams* params) override;
  Status GetDuration(float* seconds) override;

  // Speaker of each output channel of the last frame as a
  // WAVE_FORMAT_EXTENSIBLE bit index (0 FL, 1 FR, 2 FC, 3 LFE, 4 BL, 5 BR,
  // 6 FLC, 7 FRC, 8 BC, 9 SL, 10 SR; -1 none).  ALS streams give their
  // channels in the order of the original file, described by the WAV
  // default layout of the channel count.  Returns the channel count.
  int32_t GetChannelSpeakers(int8_t* speakers, int32_t max);

  // ALS CRC check: 1 the decoded samples match the stream's CRC, 0 they do
  // not, -1 not known (no CRC, not every frame decoded yet, or not ALS).
  int32_t AlsCrcStatus();

  // AAC output as interleaved 32-bit floats (1.0 full scale, unrounded and
  // unclipped) instead of 16-bit PCM, from the next frame on.  ALS streams
  // keep their own sample format.
  Status SetFloatOutput(bool on);

  // AAC output channels in another order, from the next frame on: while a
  // frame's speakers (GetChannelSpeakers) are speakers[0..count), output
  // channel i carries the frame's channel map[i]; count 0 restores the
  // stream's order.  StatusInvalidParams (nothing changed) when map is not a
  // permutation of 0..count-1.
  Status SetOutputOrder(const int8_t* speakers, const int32_t* map, int32_t count);
  // map[0..count) is a permutation of 0..count-1 (count at most 10).
  static bool IsChannelPermutation(const int32_t* map, int32_t count);
  // The last output was written in that order (false for ALS, and for
  // frames whose layout differs).
  bool LastOutputReordered() const { return last_output_reordered_; }

  // Stream fields (AdtsStreamKey) of the last ADTS frame, 0 before one.
  uint32_t LastAdtsKey() const { return last_adts_key_; }

  // Object type of the stream (0 while unknown).
  int32_t ObjectType() const { return object_type_; }

  // Raw data blocks (AAC frames of 1024 samples per channel, or 2048 with
  // SBR at twice the rate) in the last output: up to 4 from one ADTS frame.
  int32_t LastOutputBlocks() const { return last_output_blocks_; }

  // The in-band stream is LOAS (LATM inside AudioSyncStream frames).
  bool IsLoas() const { return header_kind_ == kHeaderLoas; }
  // Why a LOAS stream's multiplex was refused (StatusUnsupportedStream), or
  // null.
  const char* LatmRefusal() const;
  // Subframes of the LOAS frame in hand that are still to come: the next
  // GetFrame calls deliver them without consuming input.
  int32_t PendingSubframes();

 private:
  struct StreamInfo {
    int32_t valid = 0;
    int32_t suggested_input_size = 0;
    int32_t suggested_output_size = 0;
    int32_t in_channels = 0;
    int32_t in_sample_rate = 0;
    int32_t out_channels = 0;
    int32_t out_sample_rate = 0;
    int32_t bits_per_sample = 0;
    bool is_float = false;
    int32_t frames = 0;
    bool sbr = false;
    bool ps = false;  // parametric stereo data in the stream, whether or not output uses it
  };

  Status LockBlocks();
  void UnlockBlocks();
  Status AllocateMain(bool channels);
  Status SetUpChannels();
  Status AllocateObjectBlock();
  Status AllocateAls(const AlsConfig& cfg, const uint8_t* config, int32_t config_size);
  Status InitAlsFromConfig(const uint8_t* cfg, int32_t size, int64_t als_bit);
  Status DecodeAls(MediaData* in, MediaData* out, int64_t header_bytes, double t0_in);
  // Where the next access unit of an in-band LOAS stream lies (ADTS frames
  // become the frame in progress).
  struct InbandUnit {
    int32_t frame_bytes = -1;  // the whole LOAS frame; -1: the rest of the input
  };
  Status NextInbandUnit(MediaData* in, InbandUnit* unit);
  Status TakeStreamHeader(const uint8_t* p, int64_t bytes);
  Status StartAdts(const AdtsFixedHeader& h);
  void BeginAdtsFrame(const uint8_t* p, const AdtsFrameHeader& h);
  Status DecodeAdts(MediaData* in, MediaData* out, double t0_in);
  Status DecodeUnit(MediaData* in, MediaData* out, int64_t header_bytes, double t0_in);
  void HoldBlock(const uint8_t* frame, uint8_t* scratch);
  void WriteHeld(const uint8_t* frame, uint8_t* dst, int64_t bytes);
  int32_t AdtsFrameEnd(const uint8_t* frame, int64_t available) const;
  void CaptureShape();
  int32_t SilenceChannels() const;
  void FinishOutput(MediaData* in, MediaData* out, int64_t bytes, int32_t samples, int32_t rate,
                    int32_t channels, double t0_in);
  Status ConfigureAac(const AudioSpecificConfig& asc);
  Status EmitAacFrame(int32_t r, MediaData* in, MediaData* out, double t0_in, int64_t out_free,
                      int64_t consume);
  Status AllocateLatm();
  Status GetLatmFrame(MediaData* in, MediaData* out, double t0_in, const InbandUnit* first);
  Status LatmTakeElement(MediaData* in, int32_t frame_bytes);
  Status LatmTakeConfig(bool* damaged);
  Status LatmStartStream(const AudioSpecificConfig& asc);
  void RefreshInfo();
  Status Map(int32_t r) const;

  // The ADTS frame being output.  Its bytes stay unconsumed until its last
  // raw data block is out, so the input keeps pointing at its header.
  struct AdtsProgress {
    int32_t active = 0;
    AdtsFrameHeader h{};
    uint8_t head[7] = {};   // the header's bytes, to know the input still holds the frame
    int32_t header_ok = 0;  // the header's own CRC matched (several blocks)
    int32_t next = 0;       // next block to output
    int32_t offset = 0;     // its first byte from the frame start; -1 when lost
    // Block `next` has been decoded (the core keeps its output) or found
    // damaged, and where the block after it starts (-1 unknown).
    int32_t held = 0;
    int32_t held_damaged = 0;
    int32_t held_next = 0;
  };

  // What the last output holds: the element describes its buffers from it
  // while the core may already hold the next block of another layout.
  struct OutputShape {
    int32_t channels = 0;
    int32_t rate = 0;
    int32_t stream_channels = 0;
    int32_t speaker_count = -1;  // -1: nothing output yet
    int8_t speakers[10] = {};
  };

  static constexpr int32_t kOrderMax = 10;  // AAC output channels
  void ApplyOutputSettings();

  AACDecState* state_ = nullptr;
  StreamInfo info_;
  AdtsProgress adts_;
  OutputShape shape_;
  int32_t last_output_blocks_ = 1;
  int32_t frame_blocks_ = 1;  // blocks of the last ADTS frame found
  double time_ = 0.0;
  int32_t sbr_seen_ = 0;
  InbandFramer framer_;
  uint32_t last_adts_key_ = 0;
  MemId main_mem_id_ = 0;
  MemId extra_mem_id_ = 0;
  void* extra_ = nullptr;
  void* extra_base_ = nullptr;  // address of the object-type block at the last lock
  AlsState* als_ = nullptr;
  int32_t stream_format_ = 0;
  int32_t config_size_ = 0;
  enum : int32_t { kHeaderUnknown = 0, kHeaderConfigured = 1, kHeaderAdts = 2, kHeaderLoas = 3 };
  int32_t header_kind_ = kHeaderUnknown;
  int32_t sampling_frequency_index_ = 0;
  int32_t frame_count_ = 0;
  int32_t object_type_ = 0;
  int32_t profile_mask_ = 0;
  int32_t als_restore_original_ = 0;
  bool float_output_ = false;
  bool last_output_reordered_ = false;
  int32_t order_count_ = 0;
  int8_t order_speakers_[kOrderMax] = {};
  int8_t order_map_[kOrderMax] = {};
  uint8_t* main_base_ = nullptr;  // address of the main block at the last lock
  // The AAC channel slots, coupling records, filter bank and SBR tables are
  // set up (an ALS configuration never touches them: their pages stay
  // untouched until a later AAC stream).
  bool channels_ready_ = false;
  // LOAS streams: configuration, payloads and subframe position, in a third
  // block (no pointers inside: it may move freely between locks).
  MemId latm_mem_id_ = 0;
  LatmStreamState* latm_ = nullptr;
  int32_t latm_refusal_ = 0;
  // The SBR rate mode of the last SetParams, which a LOAS stream's new
  // configuration starts from (codec data may have changed it).
  int32_t requested_sbr_rate_mode_ = 1;
};

}  // namespace UMC
