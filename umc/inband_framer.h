// Framing of in-band streams: an ID3v2 tag in front, then ADTS frames,
// LOAS frames (AudioSyncStream, ISO/IEC 14496-3, 1.7.2), an ADIF header
// followed by raw data blocks, or an ALS stream header followed by ALS
// frames (ISO/IEC 14496-3, 1.A.2 and 1.A.3; ISO/IEC 14496-3, 11).  The one
// place that recognises an in-band stream and steps through its frame
// headers: the decoder front end, the element, the command-line decoder and
// the tests all go through it.  Each framing is an InbandFormat with its own
// detection and frame step here.
#pragma once

#include <cstdint>

#include "umc/audio_specific_config.h"
#include "umc/stream_detect.h"

namespace UMC {

enum class InbandFormat : int32_t { kUnknown, kAdts, kAdif, kAls, kLoas };

// Header fields that identify a stream (ID, layer, profile, sampling
// frequency index, channel configuration) of a header read from `p`.
uint32_t AdtsStreamKey(const uint8_t* p);
// Offset of the first ADTS header in `p` that the next header confirms
// (same ID, layer, profile and sampling frequency index), or that starts
// the data.  *pending: a candidate whose confirmation needs more data (its
// offset is returned).  -1 when there is none within the search limit.
int64_t FindAdtsStart(const uint8_t* p, int64_t n, bool* pending);

// Whether the ADTS header at `p` starts another stream than `key` (another
// profile, rate or channel configuration): kNew when the next header has
// the same fields (a damaged header alone does not), kUnsure while the next
// header is not in hand (at the end of the data a whole frame counts).
enum class AdtsChange { kSame, kNew, kUnsure };
AdtsChange CheckAdtsStream(const uint8_t* p, int64_t n, uint32_t key, bool at_end);

// The format of an in-band stream whose first bytes (after any ID3v2 tag,
// of `tag_bytes`) are `p`: "ADIF", "ALS\0", an ADTS or a LOAS sync word;
// kUnknown otherwise or with fewer than 4 bytes.
InbandFormat PeekInbandFormat(const uint8_t* p, int64_t n, int64_t* tag_bytes);

// Steps through an in-band stream.  Each Next() call looks at the bytes the
// caller has not consumed yet and says what comes first; the caller then
// drops exactly `bytes` of them (for a frame of unknown length, what
// decoding it took) before the next call.
class InbandFramer {
 public:
  enum class Kind {
    kNeedData,      // nothing can be said before more bytes arrive
    kSkip,          // `bytes` of tag or garbage to drop
    kStreamHeader,  // `bytes` of ADIF or ALS stream header
    kUnusable,      // an ALS stream header that cannot be read (too long or broken)
    kFrame,         // one frame: `bytes` long (ADTS, LOAS), or 0 when only decoding tells
    kBadHeader,     // an ADTS length no frame can have (kAdtsBadLength): drop `bytes` and go on
  };
  struct Span {
    Kind kind = Kind::kNeedData;
    int64_t bytes = 0;
    bool new_stream = false;  // kFrame: ADTS of another stream, confirmed by the next header
    AdtsFrameHeader adts{};   // kFrame and kBadHeader of ADTS
  };

  // `detect_new_streams`: an ADTS header with other stream fields that the
  // next header confirms starts a new stream (kFrame with new_stream) instead
  // of being skipped; callers that re-create the decoder for it ask for that.
  explicit InbandFramer(bool detect_new_streams = false)
      : detect_new_streams_(detect_new_streams) {}

  void Reset();
  InbandFormat Format() const { return format_; }
  // ADIF: the program config element of the header (valid after its kStreamHeader).
  const ProgramConfig& AdifProgram() const { return adif_pce_; }
  // ADTS: sync pattern of the current stream (valid once the format is kAdts).
  uint32_t AdtsSync() const { return adts_sync_; }

  // `at_end`: no bytes follow these.
  Span Next(const uint8_t* p, int64_t n, bool at_end);

 private:
  Span Detect(const uint8_t* p, int64_t n, bool at_end);
  Span AdtsStep(const uint8_t* p, int64_t n, bool at_end);
  Span LoasStep(const uint8_t* p, int64_t n, bool at_end);

  bool detect_new_streams_;
  bool tag_checked_ = false;
  int64_t tag_remaining_ = 0;
  InbandFormat format_ = InbandFormat::kUnknown;
  uint32_t adts_sync_ = 0;  // under kAdtsSyncMask
  uint32_t adts_key_ = 0;   // AdtsStreamKey of the current stream
  ProgramConfig adif_pce_{};
};

}  // namespace UMC
