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
#include "umc/decode_loop.h"
#include "umc/media_data.h"

namespace {

constexpr size_t kReadChunk = 64 * 1024;
constexpr int kObjectTypeAls = 36;

// Output layout of the decoder: format, and the channel permutation into
// WAV order.
struct Layout {
  PcmFormat format;
  int map[8] = {0, 1, 2, 3, 4, 5, 6, 7};
  int8_t speakers[8] = {};
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
  UMC::AACDecoder* aac = UMC::ClassCast<UMC::AACDecoder>(dec);
  const int speaker_count = aac ? aac->GetChannelSpeakers(layout->speakers, 8) : 0;
  if (VxDecoderChannelPositions(f.channels, layout->speakers, speaker_count, from)) {
    VxCanonicalOrder(f.channels, from, to);
    f.channel_mask = VxWavChannelMask(f.channels, to);
    VxReorderMap(f.channels, from, to, layout->map);
    for (int c = 0; c < f.channels; ++c) layout->reorder |= layout->map[c] != c;
  }
  report->out = f;
  return true;
}

class DirectDecoder {
 public:
  DirectDecoder(const DecoderSettings& s, PcmWriter* w, DecodeReport* r)
      : settings_(s), writer_(w), report_(r) {
    UMC::DecodeLoop::Settings ls;
    ls.sbr_mode = s.sbr_mode;
    ls.sbr_rate_mode = s.sbr_rate_mode;
    ls.ps_mode = s.ps_mode;
    ls.als_restore_original = s.restore_original;
    loop_.Open(ls);
  }

  // Decodes what `data` holds; returns the bytes consumed.
  size_t Pass(const uint8_t* data, size_t n, bool at_end);
  bool Failed() const { return !report_->fatal.empty(); }
  uint32_t MinInput() const { return loop_.MinInput(); }
  // After the last pass: the ALS CRC verdict.
  void Finish();

 private:
  void Output(const UMC::DecodeLoop::Frame& frame);

  const DecoderSettings& settings_;
  PcmWriter* writer_;
  DecodeReport* report_;
  UMC::DecodeLoop loop_;
  std::vector<uint8_t> pcm_;
  Layout layout_;
  bool described_ = false;
};

void DirectDecoder::Finish() {
  UMC::AACDecoder* aac = loop_.Decoder();
  if (!aac || aac->ObjectType() != kObjectTypeAls) return;
  report_->crc = aac->AlsCrcStatus();
  if (report_->crc == 0) {
    ++report_->errors;
    report_->notes += "CRC mismatch: the decoded samples differ from the encoder's input. ";
  }
}

void DirectDecoder::Output(const UMC::DecodeLoop::Frame& frame) {
  Layout now;
  if (DescribeOutput(loop_.Decoder(), &now, report_)) {
    layout_ = now;
    described_ = true;
  } else if (!described_) {
    return;  // nothing known yet: drop the frame
  }
  const PcmFormat& f = layout_.format;
  const int bps = f.bits / 8;
  const size_t frame_bytes = static_cast<size_t>(f.channels * bps);
  const size_t samples = frame.bytes / frame_bytes;
  ++report_->frames;
  report_->samples += samples;
  if (!writer_->IsOpen()) return;
  if (settings_.restore_original) {
    // The original file's bytes as they come, header and trailer included.
    if (!writer_->HasFormat() && !writer_->SetFormat(f)) {
      report_->fatal = writer_->Error();
    } else if (!writer_->Write(frame.pcm, frame.bytes)) {
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
  const size_t bytes = samples * frame_bytes;
  const uint8_t* out = frame.pcm;
  // Frames of this layout after this one come in WAV order.
  loop_.SetOutputOrder(layout_.speakers, layout_.map, layout_.reorder ? f.channels : 0);
  if (layout_.reorder && !frame.reordered) {
    pcm_.resize(bytes);
    VxCopyReordered(frame.pcm, pcm_.data(), bytes, f.channels, bps, layout_.map);
    out = pcm_.data();
  }
  if (!writer_->Write(out, bytes)) report_->fatal = writer_->Error();
}

size_t DirectDecoder::Pass(const uint8_t* data, size_t n, bool at_end) {
  if (loop_.Load(data, n, at_end) != UMC::StatusOk) {
    report_->fatal = "out of memory";
    return n;
  }
  for (;;) {
    UMC::DecodeLoop::Frame frame;
    switch (loop_.Next(&frame)) {
      case UMC::DecodeLoop::Event::kNeedData:
        return loop_.Consumed();
      case UMC::DecodeLoop::Event::kNewStream:
        continue;
      case UMC::DecodeLoop::Event::kFailed:
        // The decoder is re-created for the next input; the rest of this one
        // is dropped.  Nothing of a stream of an unsupported kind decodes.
        ++report_->errors;
        if (loop_.Fatal())
          report_->fatal = "cannot decode this stream (audio object type " +
                           std::to_string(loop_.ObjectType()) + ", status " +
                           std::to_string(loop_.FailureStatus()) + ")";
        return n;
      case UMC::DecodeLoop::Event::kFrame:
        if (frame.status != UMC::StatusOk) ++report_->errors;
        if (frame.bytes > 0) Output(frame);
        if (Failed()) return n;
        continue;
    }
  }
}

}  // namespace

void FormatRefused(const PcmFormat& kept, const PcmFormat& now, DecodeReport* report) {
  ++report->errors;
  if (report->notes.find("changes its format") != std::string::npos) return;
  report->notes += "the stream changes its format from " + std::to_string(kept.channels) +
                   " channels at " + std::to_string(kept.rate) + " Hz to " +
                   std::to_string(now.channels) + " at " + std::to_string(now.rate) +
                   " Hz; the output keeps the first format, the rest is not written. ";
}

InputKind DetectInput(const uint8_t* p, size_t n) {
  switch (UMC::PeekInbandFormat(p, static_cast<int64_t>(n), nullptr)) {
    case UMC::InbandFormat::kAdts:
      return InputKind::kAdts;
    case UMC::InbandFormat::kAdif:
      return InputKind::kAdif;
    case UMC::InbandFormat::kAls:
      return InputKind::kAls;
    case UMC::InbandFormat::kLoas:
      return InputKind::kLoas;
    default:
      return InputKind::kOther;
  }
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

void DecodeDirect(const std::vector<uint8_t>& prefix, const ReadFn& read,
                  const DecoderSettings& settings, PcmWriter* writer, DecodeReport* report,
                  const ProgressFn& progress) {
  DirectDecoder decoder(settings, writer, report);
  std::vector<uint8_t> buf(prefix);
  size_t n = prefix.size();  // pending bytes at the front of buf
  uint64_t read_total = n;
  bool eof = false;
  bool need_more = true;  // the last pass consumed nothing
  while (!decoder.Failed()) {
    const size_t want = std::max<size_t>(kReadChunk, decoder.MinInput());
    if (!eof && (need_more || n < want)) {
      if (buf.size() < n + kReadChunk) buf.resize(n + kReadChunk);
      const size_t got = read(buf.data() + n, kReadChunk);
      if (got == 0) eof = true;
      n += got;
      read_total += got;
      need_more = false;
      if (!eof && n < want) continue;
    }
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
