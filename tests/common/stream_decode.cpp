#include "common/stream_decode.h"

#include <fstream>
#include <iterator>

#include "dsp/dsp_core.h"
#include "umc/aac_decoder.h"
#include "umc/decode_loop.h"

namespace vxtest {

std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)),
                              std::istreambuf_iterator<char>());
}

namespace {

// References are in WAV channel order, which sorts the speakers by their
// WAVE_FORMAT_EXTENSIBLE bit: a channel's index there is its speaker's rank.
std::vector<int> WavOrder(UMC::AACDecoder& dec) {
  int8_t sp[8];
  const int n = dec.GetChannelSpeakers(sp, 8);
  std::vector<int> map(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    int rank = 0;
    for (int j = 0; j < n; ++j) rank += sp[j] < sp[i];
    map[static_cast<size_t>(i)] = rank;
  }
  return map;
}

// One frame the decode loop gave.
void Record(UMC::DecodeLoop& loop, const UMC::DecodeLoop::Frame& f, StreamDecode* d) {
  ++(f.status == UMC::StatusOk ? d->ok_frames : d->bad_frames);
  UMC::AACDecoder& dec = *loop.Decoder();
  UMC::AudioCodecParams info;
  if (dec.GetInfo(&info) == UMC::StatusOk) {
    d->channels = info.out.channels;
    d->stream_channels = info.in.channels;
    d->rate = info.out.sample_frequency;
    d->sbr = (info.profile & 0x100) != 0;
  }
  d->wav_order = WavOrder(dec);
  const auto* p = reinterpret_cast<const int16_t*>(f.pcm);
  d->pcm.insert(d->pcm.end(), p, p + f.bytes / 2);
}

// Frames of the loaded input until it needs more (false: the decoder failed).
bool DecodeLoaded(UMC::DecodeLoop& loop, StreamDecode* d) {
  for (int guard = 0; guard < 1000000; ++guard) {
    UMC::DecodeLoop::Frame f;
    const UMC::DecodeLoop::Event e = loop.Next(&f);
    if (e == UMC::DecodeLoop::Event::kNeedData) return true;
    if (e == UMC::DecodeLoop::Event::kFailed) {
      d->other = loop.FailureStatus();
      return false;
    }
    if (e == UMC::DecodeLoop::Event::kFrame) Record(loop, f, d);
  }
  return true;
}

UMC::DecodeLoop::Settings SettingsFor(const DecodeOptions& options) {
  UMC::DecodeLoop::Settings settings;
  settings.sbr_mode = options.sbr_mode;
  settings.sbr_rate_mode = options.sbr_rate_mode;
  settings.ps_mode = options.ps_mode;
  settings.allocator = options.allocator;
  return settings;
}

}  // namespace

StreamDecode DecodeAccessUnits(const std::vector<uint8_t>& config,
                               const std::vector<std::vector<uint8_t>>& units,
                               const DecodeOptions& options) {
  dspStaticInit();
  StreamDecode d;
  UMC::DecodeLoop loop;
  d.other = loop.Open(SettingsFor(options), config.data(), static_cast<uint32_t>(config.size()));
  if (d.other != UMC::StatusOk) return d;
  for (const std::vector<uint8_t>& unit : units) {
    loop.Load(unit.data(), unit.size(), true);
    if (!DecodeLoaded(loop, &d)) break;
  }
  return d;
}

StreamDecode DecodeStream(std::vector<uint8_t> bytes, const DecodeOptions& options) {
  dspStaticInit();
  StreamDecode d;
  UMC::DecodeLoop loop;
  loop.Open(SettingsFor(options));
  loop.Load(bytes.data(), bytes.size(), true);
  DecodeLoaded(loop, &d);
  return d;
}

}  // namespace vxtest
