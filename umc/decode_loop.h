// The decode loop every caller of the decoder shares: the element, the
// command-line decoder, the fuzzers and the tests.  It owns an AACDecoder
// and drives GetFrame over the caller's bytes:
//  - a copy of the input followed by zero bytes (the bit readers may read
//    whole words past the end);
//  - an output area that grows when the decoder refuses a frame for space
//    (the decoder keeps the refused frame for the next call);
//  - in-band ALS frames carry no length: they are decoded only with a whole
//    frame's worth of input in hand (or at the end of the stream); a stream
//    recognised as ALS from less than that starts again with more;
//  - an in-band ADTS frame of another profile, rate or channel
//    configuration, confirmed by the next header, starts a new stream: the
//    decoder is re-created for it;
//  - a call that neither consumes input nor produces output, or any status
//    but success and a damaged frame, ends the stream's decoder (kFailed);
//    only the further subframes of a LOAS frame come without input.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "umc/aac_decoder.h"

namespace UMC {

class DecodeLoop {
 public:
  struct Settings {
    int32_t sbr_mode = 18;      // 18 complex, 28 real-valued SBR banks
    int32_t sbr_rate_mode = 1;  // 1 SBR output at the core rate, 0 at twice it
    int32_t ps_mode = 0;        // 0 off, 1 parse, 111 baseline, 411 full
    bool als_restore_original = false;
    bool float_output = false;          // AAC as 32-bit floats
    uint32_t initial_output_bytes = 0;  // first output area (0: the decoder's suggestion)
    uint32_t max_output_bytes = 0;      // output area limit (0: the largest ALS frame)
    MemoryAllocator* allocator = nullptr;
  };
  enum class Event {
    kFrame,      // a frame: PCM, silence in place of a damaged frame, or no bytes (an
                 // impossible ADTS header, a damaged frame before any layout is known, a
                 // frame without channels)
    kNeedData,   // nothing more in the loaded input (the rest is kept by the caller)
    kNewStream,  // the decoder was re-created for a new ADTS stream (call Next again)
    kFailed,     // the stream's decoder ended: `status`, and Fatal()
  };
  struct Frame {
    Status status = StatusOk;  // StatusInvalidStream: silence for a damaged frame
    const uint8_t* pcm = nullptr;
    uint32_t bytes = 0;      // valid until the next call
    double start = 0.0;      // the decoder's time of its first sample (s from the stream start)
    bool reordered = false;  // AAC channels already in the order of SetOutputOrder
  };

  DecodeLoop() = default;
  ~DecodeLoop();
  DecodeLoop(const DecodeLoop&) = delete;
  DecodeLoop& operator=(const DecodeLoop&) = delete;

  // `config`: an AudioSpecificConfig (raw access units follow, one per
  // Load), or null for an in-band stream.  The decoder is created by the
  // first Next().
  Status Open(const Settings& settings, const uint8_t* config = nullptr, uint32_t config_size = 0);
  void Close();
  // AAC output format from the next frame on.
  void SetFloatOutput(bool on);
  // AAC channel order from the next frame on (AACDecoder::SetOutputOrder),
  // kept for the decoders of later streams; false for an invalid map.
  bool SetOutputOrder(const int8_t* speakers, const int32_t* map, int32_t count);

  // The caller's `n` bytes (copied) are the input of the following Next()
  // calls; `at_end`: no bytes follow them.
  Status Load(const uint8_t* data, size_t n, bool at_end);
  // The same in two steps, for callers that copy into the loop themselves:
  // room for `n` bytes (null when out of memory), then Loaded(n, at_end).
  uint8_t* InputArea(size_t n);
  Status Loaded(size_t n, bool at_end);
  // Bytes the decoder gets in front of the next loaded input, until they
  // are consumed (a stream header to restart from); Consumed() does not
  // count them.
  Status SetPrefix(const uint8_t* data, size_t n);
  // Raw access units of an ALS stream are decoded where they lie: the ALS
  // decoder reads only within the bytes it is given, so the padded copy (of
  // an MP4 sample, which may be a whole stream) is not needed.  True when
  // the caller's `n` bytes became the input, to be kept valid and unchanged
  // until Release() or the next load; false for any other stream (the
  // caller loads a copy).
  bool Borrow(const uint8_t* data, size_t n, bool at_end);
  // Forgets borrowed input (what is left of it is not decoded).
  void Release();
  // The next Next() decodes into the caller's `capacity` bytes at `area`
  // when the frame fits there, else into the loop's own area (Frame::pcm
  // says which); the offer holds for that one call.
  void SetOutputArea(uint8_t* area, uint32_t capacity);
  Event Next(Frame* frame);
  // Bytes of the loaded input consumed (decoded or skipped) so far.
  size_t Consumed() const { return consumed_ > prefix_loaded_ ? consumed_ - prefix_loaded_ : 0; }

  // The decoder (null before the first Next() and after a failure).
  AACDecoder* Decoder() { return dec_; }
  Status FailureStatus() const { return failure_; }
  // The failure ends the stream for good: an object type the decoder does
  // not decode, or an unusable ALS stream header or codec configuration.
  bool Fatal() const { return fatal_; }
  // Object type of the stream (0 while unknown; kept after a failure).
  int32_t ObjectType() const { return object_type_; }
  // Why a LOAS multiplex was refused (a fatal failure), or null.
  const char* LatmRefusal() const { return latm_refusal_; }
  bool InBand() const { return config_size_ == 0; }
  // Input the decoder wants in hand before it decodes (in-band ALS: a
  // frame, or what a new decoder waits for), else 0.
  uint32_t MinInput() const { return dec_ ? min_input_ : std::max(min_input_, open_input_); }
  // Frames produced since the decoder was (re)created.
  uint64_t FramesSinceOpen() const { return frames_since_open_; }

 private:
  Status Create();
  void Destroy();
  void UpdateSizes();
  Event Fail(Status st);
  bool GrowOutput();
  uint32_t MaxOutput() const;

  Settings settings_;
  int32_t order_count_ = 0;
  int8_t order_speakers_[10] = {};
  int32_t order_map_[10] = {};
  uint8_t* config_ = nullptr;  // codec configuration plus padding
  uint32_t config_size_ = 0;
  AACDecoder* dec_ = nullptr;
  uint8_t* in_ = nullptr;  // loaded input plus padding
  size_t in_capacity_ = 0;
  MediaData input_;
  uint8_t* out_ = nullptr;
  uint8_t* area_ = nullptr;  // the caller's output area for the next call
  uint32_t area_capacity_ = 0;
  uint32_t out_capacity_ = 0;
  uint32_t want_output_ = 0;  // the suggested output area, allocated before the next decode
  uint8_t* prefix_ = nullptr;
  size_t prefix_size_ = 0;
  size_t prefix_loaded_ = 0;  // prefix bytes in front of the loaded input
  size_t loaded_ = 0;
  bool borrowed_ = false;  // input_ is the caller's memory (Borrow)
  size_t consumed_ = 0;
  bool at_end_ = false;
  uint32_t min_input_ = 0;
  uint32_t open_input_ = 0;  // in-band bytes to hold before (re)creating the decoder
  uint64_t frames_since_open_ = 0;
  uint32_t adts_key_ = 0;  // stream fields of the first clean ADTS frame (0 unknown)
  int idle_ = 0;           // consecutive calls that consumed nothing
  Status failure_ = StatusOk;
  bool fatal_ = false;
  int32_t object_type_ = 0;
  const char* latm_refusal_ = nullptr;
};

}  // namespace UMC
