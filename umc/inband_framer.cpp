#include "umc/inband_framer.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "als/als_decoder.h"
#include "umc/latm.h"

namespace UMC {

namespace {

// Garbage searched for a first ADTS header at a time.
constexpr int64_t kMaxAdtsSearch = 64 * 1024;
// Above the largest ADIF header (16 program config elements with full
// element lists and 255-byte comments take about 5 KB).
constexpr int64_t kMaxAdifHeaderBytes = 8192;
// Bytes kept of unrecognised input: a header may start in them.
constexpr int64_t kKeepForHeader = 8;

bool HasAdtsSync(const uint8_t* p) {
  return p[0] == 0xFF && (p[1] & 0xF6) == 0xF0;  // 12 sync bits, layer 0
}

int32_t FrameLength(const uint8_t* p) {
  return ((p[3] & 3) << 11) | (p[4] << 3) | (p[5] >> 5);
}

// A header whose frame can exist: sync word, layer 0, a sampling frequency
// index of the table and a length that holds a 7-byte header.
bool PlausibleAdts(const uint8_t* p, int64_t n) {
  return n >= 7 && HasAdtsSync(p) && ((p[2] >> 2) & 15) <= 12 && FrameLength(p) >= 7;
}

InbandFramer::Span Make(InbandFramer::Kind kind, int64_t bytes = 0) {
  InbandFramer::Span s;
  s.kind = kind;
  s.bytes = bytes;
  return s;
}

}  // namespace

uint32_t AdtsStreamKey(const uint8_t* p) {
  return (uint32_t{p[1]} & 0xFE) << 16 | (uint32_t{p[2]} & 0xFD) << 8 | (p[3] & 0xC0);
}

int64_t FindAdtsStart(const uint8_t* p, int64_t n, bool* pending) {
  *pending = false;
  for (int64_t i = 0; i + 7 <= n && i < kMaxAdtsSearch; ++i) {
    if (!PlausibleAdts(p + i, n - i)) continue;
    const int64_t len = FrameLength(p + i);
    if (i == 0) return 0;        // a stream that starts with a header needs no confirmation
    if (i + len == n) return i;  // the last frame of the data
    if (i + len + 4 > n) {
      *pending = true;
      return i;
    }
    const uint8_t* q = p + i + len;
    // Same syncword, ID, layer, profile and sampling frequency index.
    if (q[0] == 0xFF && (q[1] & 0xFE) == (p[i + 1] & 0xFE) && (q[2] & 0xFC) == (p[i + 2] & 0xFC))
      return i;
  }
  return -1;
}

AdtsChange CheckAdtsStream(const uint8_t* p, int64_t n, uint32_t key, bool at_end) {
  if (!PlausibleAdts(p, n) || AdtsStreamKey(p) == key) return AdtsChange::kSame;
  const int64_t len = FrameLength(p);
  if (n < len + 7) {
    if (!at_end) return AdtsChange::kUnsure;
    return n >= len ? AdtsChange::kNew : AdtsChange::kSame;  // the last frame of the data
  }
  const bool same = PlausibleAdts(p + len, n - len) && AdtsStreamKey(p + len) == AdtsStreamKey(p);
  return same ? AdtsChange::kNew : AdtsChange::kSame;
}

InbandFormat PeekInbandFormat(const uint8_t* p, int64_t n, int64_t* tag_bytes) {
  const int64_t tag = n >= 10 ? Id3TagLength(p) : 0;
  if (tag_bytes) *tag_bytes = tag;
  if (n - tag < 4) return InbandFormat::kUnknown;
  p += tag;
  if (std::memcmp(p, "ADIF", 4) == 0) return InbandFormat::kAdif;
  if (std::memcmp(p, "ALS\0", 4) == 0) return InbandFormat::kAls;
  if (HasAdtsSync(p)) return InbandFormat::kAdts;
  // LOAS: a sync word and a length whose end, when in hand, is the next
  // frame's sync word.
  const int64_t left = n - tag;
  const int32_t loas = LoasFrameBytes(p, left);
  if (loas > 0 && LoasSyncPrefix(p + loas, loas < left ? left - loas : 0))
    return InbandFormat::kLoas;
  return InbandFormat::kUnknown;
}

void InbandFramer::Reset() {
  tag_checked_ = false;
  tag_remaining_ = 0;
  format_ = InbandFormat::kUnknown;
  adts_sync_ = adts_key_ = 0;
  adif_pce_ = ProgramConfig{};
}

InbandFramer::Span InbandFramer::Next(const uint8_t* p, int64_t n, bool at_end) {
  if (n <= 0) return Make(Kind::kNeedData);
  if (!tag_checked_) {
    if (n < 10 && !at_end) return Make(Kind::kNeedData);
    tag_remaining_ = n >= 10 ? Id3TagLength(p) : 0;
    tag_checked_ = true;
  }
  if (tag_remaining_ > 0) {
    const int64_t skip = std::min(tag_remaining_, n);
    tag_remaining_ -= skip;
    return Make(Kind::kSkip, skip);
  }
  switch (format_) {
    case InbandFormat::kUnknown:
      return Detect(p, n, at_end);
    case InbandFormat::kAdts:
      return AdtsStep(p, n, at_end);
    case InbandFormat::kLoas:
      return LoasStep(p, n, at_end);
    default:
      return Make(Kind::kFrame);  // ADIF and ALS frames: decoding tells their length
  }
}

InbandFramer::Span InbandFramer::Detect(const uint8_t* p, int64_t n, bool at_end) {
  if (n < 4) return at_end ? Make(Kind::kSkip, n) : Make(Kind::kNeedData);
  if (std::memcmp(p, "ALS\0", 4) == 0) {
    // The whole configuration (with the stored file header and trailer)
    // must be in hand.
    BitReader r;
    BitReaderInit(r, p + 4, static_cast<int32_t>(std::min<int64_t>(n - 4, INT32_MAX)));
    AlsConfig cfg;
    if (ALSConfigParse(cfg, r) != 0) {
      return n < kAlsMaxStateBytes && !at_end ? Make(Kind::kNeedData) : Make(Kind::kUnusable, n);
    }
    format_ = InbandFormat::kAls;
    return Make(Kind::kStreamHeader, 4 + ((BitReaderBitsConsumed(r) + 7) >> 3));
  }
  if (std::memcmp(p, "ADIF", 4) == 0) {
    AdifHeader* adif = new (std::nothrow) AdifHeader;
    if (!adif) return Make(Kind::kUnusable, n);
    BitReader r;
    BitReaderInit(r, p, static_cast<int32_t>(std::min<int64_t>(n, INT32_MAX)));
    const bool ok = ReadAdifHeader(*adif, r) == 0 && !BitReaderOverrun(r);
    if (ok) adif_pce_ = adif->pce[0];
    delete adif;
    if (ok) {
      format_ = InbandFormat::kAdif;
      BitReaderByteAlign(r);
      return Make(Kind::kStreamHeader, BitReaderBitsConsumed(r) >> 3);
    }
    // A header cut short: wait for the rest rather than scan it as garbage.
    if (n < kMaxAdifHeaderBytes && !at_end) return Make(Kind::kNeedData);
  }
  // ADTS or LOAS, possibly after leading garbage: the first plausible
  // header whose frame is followed by another header of the kind (ADTS: with
  // the same fixed fields), or by the end of the data, starts the stream.  A
  // start confirmed by its next header goes before a candidate that waits
  // for more data (garbage may hold a LOAS header whose length runs past a
  // short ADTS stream's end); otherwise the earlier start.
  bool adts_pending = false, loas_pending = false;
  const int64_t adts = FindAdtsStart(p, n, &adts_pending);
  const int64_t loas = FindLoasStart(p, n, kMaxAdtsSearch, &loas_pending);
  const bool adts_sure = adts >= 0 && !adts_pending, loas_sure = loas >= 0 && !loas_pending;
  const bool is_loas = adts >= 0 && loas >= 0 && adts_sure != loas_sure
                           ? loas_sure
                           : loas >= 0 && (adts < 0 || loas < adts);
  const int64_t at = is_loas ? loas : adts;
  const bool pending = is_loas ? loas_pending : adts_pending;
  if (pending) return at > 0 ? Make(Kind::kSkip, at) : Make(Kind::kNeedData);
  if (at < 0) {
    if (at_end) return Make(Kind::kSkip, n);
    const int64_t searched = std::min(n, kMaxAdtsSearch) - kKeepForHeader;
    return searched > 0 ? Make(Kind::kSkip, searched) : Make(Kind::kNeedData);
  }
  if (is_loas) {
    format_ = InbandFormat::kLoas;
    return at > 0 ? Make(Kind::kSkip, at) : LoasStep(p, n, at_end);
  }
  AdtsFrameHeader h;
  ReadAdtsFrameHeader(p + at, n - at, h);  // plausible: the fixed fields are read
  format_ = InbandFormat::kAdts;
  adts_sync_ = AdtsSyncPattern(h.fixed);
  adts_key_ = AdtsStreamKey(p + at);
  return at > 0 ? Make(Kind::kSkip, at) : AdtsStep(p, n, at_end);
}

// The next LOAS frame: its sync word and length, followed by another sync
// word (or the end of the data); a false sync word is skipped by a byte.
InbandFramer::Span InbandFramer::LoasStep(const uint8_t* p, int64_t n, bool at_end) {
  int64_t at = 0;
  while (at < n && !LoasSyncPrefix(p + at, n - at)) ++at;
  if (at > 0) return Make(Kind::kSkip, at);
  if (n < kLoasHeaderBytes) return at_end ? Make(Kind::kSkip, n) : Make(Kind::kNeedData);
  const int32_t bytes = LoasFrameBytes(p, n);
  if (bytes == 0) return Make(Kind::kSkip, 1);
  if (bytes > n) return Make(Kind::kNeedData);
  if (!LoasSyncPrefix(p + bytes, n - bytes)) return Make(Kind::kSkip, 1);
  return Make(Kind::kFrame, bytes);
}

InbandFramer::Span InbandFramer::AdtsStep(const uint8_t* p, int64_t n, bool at_end) {
  // A header (9 bytes with its CRC word) is read whole: a part of one,
  // perhaps of another stream, is not searched through as garbage.
  if (n < 9 && !at_end) return Make(Kind::kNeedData);
  if (detect_new_streams_) {
    const AdtsChange change = CheckAdtsStream(p, n, adts_key_, at_end);
    if (change == AdtsChange::kUnsure) return Make(Kind::kNeedData);
    if (change == AdtsChange::kNew) {
      AdtsFrameHeader h;
      ReadAdtsFrameHeader(p, n, h);  // plausible: the fixed fields are read
      adts_sync_ = AdtsSyncPattern(h.fixed);
      adts_key_ = AdtsStreamKey(p);
      Span s = AdtsStep(p, n, at_end);
      s.new_stream = s.kind == Kind::kFrame;
      return s;
    }
  }
  if (n < 3) return at_end ? Make(Kind::kSkip, n) : Make(Kind::kNeedData);
  // The next header of this stream: sync word, ID, layer, profile and
  // sampling frequency index.
  uint32_t w = (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
  int64_t at = 0;
  while ((w & kAdtsSyncMask) != adts_sync_ && at + 3 < n) {
    w = ((w << 8) | p[at + 3]) & 0xFFFFFF;
    ++at;
  }
  if ((w & kAdtsSyncMask) != adts_sync_) {
    // Keep two bytes: a sync word may be split across inputs.
    if (at_end) return Make(Kind::kSkip, n);
    return Make(Kind::kSkip, n - 2);
  }
  if (at > 0) return Make(Kind::kSkip, at);
  // Any length the 13-bit field can give is taken (some encoders exceed the
  // 6144 bits per channel of the decoder buffer at high rates; a damaged
  // frame is still caught by its syntax and CRC), unless it cannot hold the
  // header and its blocks.
  Span s;
  switch (ReadAdtsFrameHeader(p, n, s.adts)) {
    case kAdtsHeaderOk:
      break;
    case kAdtsBadLength:
      s.kind = Kind::kBadHeader;
      s.bytes = 3;
      return s;
    default:
      return Make(Kind::kNeedData);  // the error check is not in hand yet
  }
  const int32_t len = s.adts.variable.aac_frame_length;
  if (len > n) return Make(Kind::kNeedData);
  s.kind = Kind::kFrame;
  s.bytes = len;
  return s;
}

}  // namespace UMC
