// Elementary streams straight through the codec library.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "decode.h"
#include "gst/channel_layout.h"
#include "umc/aac_decoder.h"
#include "umc/audio_codec.h"
#include "umc/latm.h"
#include "umc/media_data.h"

namespace {

constexpr size_t kReadChunk = 64 * 1024;
constexpr size_t kPadding = 16;  // zero bytes after the input for the bit readers
constexpr size_t kMaxStalled = 64 * 1024;
constexpr uint32_t kMaxOutput = 256u << 20;  // the largest ALS frame (kAlsMaxStateBytes)
constexpr uint32_t kMaxInput = 16u << 20;
constexpr int kObjectTypeAls = 36;

std::unique_ptr<UMC::AudioCodec> NewDecoder(const DecoderSettings& s, std::string* error) {
  std::unique_ptr<UMC::AudioCodec> dec(new (std::nothrow) UMC::AACDecoder());
  if (!dec) {
    *error = "out of memory";
    return nullptr;
  }
  UMC::AACDecoderParams params;
  params.in.stream_type = UMC::kStreamTypeInBand;
  params.sbr_mode = s.sbr_mode;
  params.sbr_rate_mode = s.sbr_rate_mode;
  params.ps_mode = s.ps_mode;
  params.als_restore_original = s.restore_original ? 1 : 0;
  const UMC::Status st = dec->Init(&params);
  if (st != UMC::StatusOk) {
    *error = "decoder initialisation failed (status " + std::to_string(st) + ")";
    return nullptr;
  }
  return dec;
}

// Output layout of the decoder: format, and the channel permutation into
// WAV order.
struct Layout {
  PcmFormat format;
  int map[8] = {0, 1, 2, 3, 4, 5, 6, 7};
  bool reorder = false;
};

bool DescribeOutput(UMC::AudioCodec* dec, Layout* layout, DecodeReport* report) {
  UMC::AudioCodecParams info;
  if (dec->GetInfo(&info) != UMC::StatusOk) return false;
  PcmFormat& f = layout->format;
  f.channels = info.out.channels;
  f.rate = info.out.sample_frequency;
  f.bits = info.out.bits_per_sample;
  f.is_float = info.out.is_float;
  report->object_type = info.profile & 0xFF;
  report->sbr = (info.profile & 0x100) != 0;
  report->ps = (info.profile & 0x200) != 0;
  report->core_rate = info.in.sample_frequency;
  report->in_channels = info.in.channels;
  if (f.channels < 1 || f.rate < 1 ||
      !(f.bits == 8 || f.bits == 16 || f.bits == 24 || f.bits == 32))
    return false;
  f.channel_mask = 0;  // more than 8 channels (ALS): in the stream's order, no mask
  report->out = f;
  if (f.channels > 8) return true;
  GstAudioChannelPosition from[8], to[8];
  int8_t speakers[8];
  UMC::AACDecoder* aac = UMC::ClassCast<UMC::AACDecoder>(dec);
  const int speaker_count = aac ? aac->GetChannelSpeakers(speakers, 8) : 0;
  if (VxDecoderChannelPositions(f.channels, speakers, speaker_count, from)) {
    VxCanonicalOrder(f.channels, from, to);
    f.channel_mask = VxWavChannelMask(f.channels, to);
    for (int c = 0; c < f.channels; ++c) {
      layout->map[c] = static_cast<int>(std::find(from, from + f.channels, to[c]) - from);
      layout->reorder |= layout->map[c] != c;
    }
  }
  report->out = f;
  return true;
}

size_t NextSyncCandidate(const uint8_t* p, size_t n) {
  for (size_t i = 1; i + 1 < n; ++i)
    if (p[i] == 0xFF && (p[i + 1] & 0xF0) == 0xF0) return i;
  return n > 0 ? n - 1 : 0;
}

class DirectDecoder {
 public:
  DirectDecoder(const DecoderSettings& s, PcmWriter* w, DecodeReport* r)
      : settings_(s), writer_(w), report_(r) {}

  // Decodes what `pending` holds; returns the bytes consumed.
  size_t Pass(uint8_t* data, size_t n, bool at_end);
  bool Failed() const { return !report_->fatal.empty(); }
  uint32_t MinInput() const { return min_input_; }
  void UpdateMinInput();
  // After the last pass: the ALS CRC verdict.
  void Finish();

 private:
  bool Open();
  void Output(uint32_t bytes);
  void Restart();

  const DecoderSettings& settings_;
  PcmWriter* writer_;
  DecodeReport* report_;
  std::unique_ptr<UMC::AudioCodec> dec_;
  std::vector<uint8_t> out_;
  uint32_t min_input_ = 0;
  uint64_t frames_since_open_ = 0;
  Layout layout_;
  bool described_ = false;
};

bool DirectDecoder::Open() {
  std::string error;
  dec_ = NewDecoder(settings_, &error);
  if (!dec_) {
    report_->fatal = error;
    return false;
  }
  UMC::AudioCodecParams sizes;
  dec_->GetInfo(&sizes);
  // Sizes derived from stream headers are bounded before they are used.
  const size_t suggested = std::min<size_t>(std::max(0, sizes.suggested_output_size), kMaxOutput);
  out_.resize(std::max<size_t>({out_.size(), 32768, suggested}));
  return true;
}

void DirectDecoder::Finish() {
  UMC::AACDecoder* aac = UMC::ClassCast<UMC::AACDecoder>(dec_.get());
  if (!aac || aac->ObjectType() != kObjectTypeAls) return;
  report_->crc = aac->AlsCrcStatus();
  if (report_->crc == 0) {
    ++report_->errors;
    report_->notes += "CRC mismatch: the decoded samples differ from the encoder's input. ";
  }
}

void DirectDecoder::Restart() {
  ++report_->errors;
  dec_.reset();
  min_input_ = 0;
}

// Input the decoder wants per frame: known once the stream is recognised.
void DirectDecoder::UpdateMinInput() {
  UMC::AACDecoder* aac = UMC::ClassCast<UMC::AACDecoder>(dec_.get());
  if (!aac || aac->ObjectType() != kObjectTypeAls) return;
  UMC::BaseCodecParams sizes;
  aac->GetInfo(&sizes);
  min_input_ = std::min<uint32_t>(std::max(0, sizes.suggested_input_size), kMaxInput);
}

void DirectDecoder::Output(uint32_t bytes) {
  Layout now;
  if (DescribeOutput(dec_.get(), &now, report_)) {
    layout_ = now;
    described_ = true;
  } else if (!described_) {
    return;  // nothing known yet: drop the frame
  }
  const PcmFormat& f = layout_.format;
  const int bps = f.bits / 8;
  const size_t frame_bytes = static_cast<size_t>(f.channels * bps);
  const size_t samples = bytes / frame_bytes;
  ++report_->frames;
  report_->samples += samples;
  if (!writer_->IsOpen()) return;
  if (settings_.restore_original) {
    // The original file's bytes as they come, header and trailer included.
    if (!writer_->HasFormat() && !writer_->SetFormat(f)) {
      report_->fatal = writer_->Error();
    } else if (!writer_->Write(out_.data(), bytes)) {
      report_->fatal = writer_->Error();
    }
    return;
  }
  if (!writer_->HasFormat()) {
    if (!writer_->SetFormat(f)) {
      report_->fatal = writer_->Error();
      return;
    }
  } else if (!writer_->SetFormat(f)) {
    FormatRefused(writer_->Format(), f, report_);  // a new stream of another format
    return;
  }
  if (layout_.reorder)
    ReorderChannels(out_.data(), samples * frame_bytes, f.channels, bps, layout_.map);
  if (!writer_->Write(out_.data(), samples * frame_bytes)) report_->fatal = writer_->Error();
}

size_t DirectDecoder::Pass(uint8_t* data, size_t n, bool at_end) {
  if (!dec_) {
    if (!at_end && n < min_input_) return 0;
    if (!Open()) return n;
    frames_since_open_ = 0;
  }
  if (!at_end && n < min_input_) return 0;
  UMC::MediaData in, out;
  in.SetBufferPointer(data, static_cast<uint32_t>(n + kPadding));
  in.SetDataSize(static_cast<uint32_t>(n));
  uint64_t frames_before = report_->frames;
  for (;;) {
    // ALS frames carry no length: decode only with a whole frame's worth of
    // input in hand, unless the file has ended.
    if (!at_end && in.GetDataSize() < min_input_) break;
    const uint32_t before = in.GetDataSize();
    out.SetBufferPointer(out_.data(), static_cast<uint32_t>(out_.size()));
    const UMC::Status st = dec_->GetFrame(&in, &out);
    const uint32_t consumed = before - in.GetDataSize();
    if (st == UMC::StatusNotEnoughBuffer) {
      if (out_.size() >= kMaxOutput) {
        Restart();
        return n;
      }
      out_.resize(out_.size() * 2);
      continue;
    }
    if (st == UMC::StatusNotEnoughData) break;
    if (st != UMC::StatusOk && st != UMC::StatusInvalidStream) {
      Restart();
      return n;  // the rest of this input is dropped
    }
    const uint32_t produced = out.GetDataSize();
    UpdateMinInput();
    if (produced > 0 && !at_end && frames_since_open_ == 0 && before < min_input_) {
      // The stream was recognised as ALS in this call and its first frame
      // decoded from less than a frame's input: start again with more.
      dec_.reset();
      return 0;
    }
    if (st == UMC::StatusInvalidStream) ++report_->errors;
    if (produced == 0 && consumed == 0) {
      Restart();
      return n;
    }
    if (produced > 0) {
      ++frames_since_open_;
      Output(produced);
    }
    if (Failed()) return n;
  }
  size_t used = n - in.GetDataSize();
  const size_t left = n - used;
  if (report_->frames == frames_before &&
      left > std::max<size_t>(kMaxStalled, 2 * size_t{min_input_})) {
    ++report_->errors;
    used += NextSyncCandidate(data + used, left);
  }
  return used;
}

}  // namespace

namespace {

// One sample size at a time, so the copies compile to plain moves.
template <int kBytes>
void Reorder(uint8_t* data, size_t bytes, int channels, const int* map) {
  const size_t frame = static_cast<size_t>(channels) * kBytes;
  uint8_t tmp[8 * 4];
  for (size_t pos = 0; pos + frame <= bytes; pos += frame) {
    uint8_t* p = data + pos;
    for (size_t i = 0; i < frame; ++i) tmp[i] = p[i];
    for (int c = 0; c < channels; ++c) {
      for (int b = 0; b < kBytes; ++b) p[c * kBytes + b] = tmp[map[c] * kBytes + b];
    }
  }
}

}  // namespace

void ReorderChannels(uint8_t* data, size_t bytes, int channels, int bytes_per_sample,
                     const int* map) {
  if (channels < 1 || channels > 8) return;
  switch (bytes_per_sample) {
    case 1:
      return Reorder<1>(data, bytes, channels, map);
    case 2:
      return Reorder<2>(data, bytes, channels, map);
    case 3:
      return Reorder<3>(data, bytes, channels, map);
    case 4:
      return Reorder<4>(data, bytes, channels, map);
    default:
      return;
  }
}

void FormatRefused(const PcmFormat& kept, const PcmFormat& now, DecodeReport* report) {
  ++report->errors;
  if (report->notes.find("changes its format") != std::string::npos) return;
  report->notes += "the stream changes its format from " + std::to_string(kept.channels) +
                   " channels at " + std::to_string(kept.rate) + " Hz to " +
                   std::to_string(now.channels) + " at " + std::to_string(now.rate) +
                   " Hz; the output keeps the first format, the rest is not written. ";
}

InputKind DetectInput(const uint8_t* p, size_t n) {
  size_t at = 0;
  // ID3v2: "ID3", version, revision, flags, four 7-bit size bytes.
  if (n >= 10 && p[0] == 'I' && p[1] == 'D' && p[2] == '3' && p[3] != 0xFF && p[4] != 0xFF &&
      ((p[6] | p[7] | p[8] | p[9]) & 0x80) == 0) {
    at = (((size_t{p[6]} * 128 + p[7]) * 128 + p[8]) * 128 + p[9]) + 10 + ((p[5] & 0x10) ? 10 : 0);
  }
  if (at + 4 > n) return InputKind::kOther;
  p += at;
  if (std::memcmp(p, "ADIF", 4) == 0) return InputKind::kAdif;
  if (std::memcmp(p, "ALS", 4) == 0) return InputKind::kAls;
  // ADTS: sync word, layer 0.
  if (p[0] == 0xFF && (p[1] & 0xF6) == 0xF0) return InputKind::kAdts;
  // LOAS: sync word and a length whose end, when in hand, is the next
  // frame's sync word.
  const int64_t left = static_cast<int64_t>(n - at);
  const int32_t loas = UMC::LoasFrameBytes(p, left);
  if (loas > 0 && UMC::LoasSyncPrefix(p + loas, loas < left ? left - loas : 0))
    return InputKind::kLoas;
  return InputKind::kOther;
}

const char* InputKindName(InputKind kind) {
  switch (kind) {
    case InputKind::kAdts:
      return "ADTS";
    case InputKind::kAdif:
      return "ADIF";
    case InputKind::kAls:
      return "ALS";
    case InputKind::kLoas:
      return "LOAS";
    default:
      return "other";
  }
}

void DecodeDirect(const std::vector<uint8_t>& prefix, FILE* in, const DecoderSettings& settings,
                  PcmWriter* writer, DecodeReport* report, const ProgressFn& progress) {
  DirectDecoder decoder(settings, writer, report);
  std::vector<uint8_t> buf(prefix);
  size_t n = prefix.size();  // pending bytes at the front of buf
  buf.resize(n + kPadding);
  uint64_t read_total = n;
  bool eof = false;
  bool need_more = true;  // the last pass consumed nothing
  while (!decoder.Failed()) {
    const size_t want = std::max<size_t>(kReadChunk, decoder.MinInput());
    if (!eof && (need_more || n < want)) {
      if (buf.size() < n + kReadChunk + kPadding) buf.resize(n + kReadChunk + kPadding);
      const size_t got = std::fread(buf.data() + n, 1, kReadChunk, in);
      if (got == 0) eof = true;
      n += got;
      read_total += got;
      need_more = false;
      if (!eof && n < want) continue;
    }
    std::memset(buf.data() + n, 0, kPadding);
    const size_t used = decoder.Pass(buf.data(), n, eof);
    std::memmove(buf.data(), buf.data() + used, n - used);
    n -= used;
    need_more = used == 0;
    if (progress) progress(read_total, *report);
    if (eof && (used == 0 || n == 0)) break;
  }
  decoder.Finish();
  if (report->fatal.empty() && report->frames == 0) report->fatal = "no decodable audio found";
}
