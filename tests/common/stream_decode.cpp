#include "common/stream_decode.h"

#include <fstream>
#include <iterator>

#include "dsp/dsp_core.h"
#include "umc/aac_decoder.h"

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

}  // namespace

namespace {

void Record(UMC::AACDecoder& dec, UMC::Status st, const UMC::MediaData& out, const uint8_t* buf,
            StreamDecode* d) {
  ++(st == UMC::StatusOk ? d->ok_frames : d->bad_frames);
  UMC::AudioCodecParams info;
  if (dec.GetInfo(&info) == UMC::StatusOk) {
    d->channels = info.out.channels;
    d->stream_channels = info.in.channels;
    d->rate = info.out.sample_frequency;
    d->sbr = (info.profile & 0x100) != 0;
  }
  d->wav_order = WavOrder(dec);
  const auto* p = reinterpret_cast<const int16_t*>(buf);
  d->pcm.insert(d->pcm.end(), p, p + out.GetDataSize() / 2);
}

}  // namespace

StreamDecode DecodeAccessUnits(const std::vector<uint8_t>& config,
                               const std::vector<std::vector<uint8_t>>& units,
                               const DecodeOptions& options) {
  dspStaticInit();
  StreamDecode d;
  std::vector<uint8_t> asc(config);
  asc.resize(asc.size() + 4, 0);  // the element pads its codec data
  UMC::MediaData cfg;
  cfg.SetBufferPointer(asc.data(), static_cast<uint32_t>(asc.size()));
  cfg.SetDataSize(static_cast<uint32_t>(config.size()));
  UMC::AACDecoder dec;
  UMC::AACDecoderParams params;
  params.in.stream_type = UMC::kStreamTypeMpeg4Config;
  params.data = &cfg;
  params.sbr_mode = options.sbr_mode;
  params.sbr_rate_mode = options.sbr_rate_mode;
  params.ps_mode = options.ps_mode;
  d.other = dec.Init(&params);
  if (d.other != UMC::StatusOk) return d;
  std::vector<uint8_t> buf(1 << 16);
  for (const std::vector<uint8_t>& unit : units) {
    std::vector<uint8_t> au(unit);
    au.resize(au.size() + 16, 0);
    UMC::MediaData in, out;
    in.SetBufferPointer(au.data(), static_cast<uint32_t>(au.size()));
    in.SetDataSize(static_cast<uint32_t>(unit.size()));
    out.SetBufferPointer(buf.data(), static_cast<uint32_t>(buf.size()));
    const UMC::Status st = dec.GetFrame(&in, &out);
    if (st != UMC::StatusOk && st != UMC::StatusInvalidStream) {
      d.other = st;
      break;
    }
    Record(dec, st, out, buf.data(), &d);
  }
  return d;
}

StreamDecode DecodeStream(std::vector<uint8_t> bytes, const DecodeOptions& options) {
  dspStaticInit();
  StreamDecode d;
  const size_t size = bytes.size();
  bytes.resize(size + 16, 0);  // readers may look a little past the data
  UMC::AACDecoder dec;
  UMC::AACDecoderParams params;
  params.in.stream_type = UMC::kStreamTypeInBand;
  params.sbr_mode = options.sbr_mode;
  params.sbr_rate_mode = options.sbr_rate_mode;
  params.ps_mode = options.ps_mode;
  d.other = dec.Init(&params);
  if (d.other != UMC::StatusOk) return d;
  UMC::MediaData in, out;
  in.SetBufferPointer(bytes.data(), static_cast<uint32_t>(bytes.size()));
  in.SetDataSize(static_cast<uint32_t>(size));
  std::vector<uint8_t> buf(1 << 16);
  for (int guard = 0; guard < 1000000; ++guard) {
    out.SetBufferPointer(buf.data(), static_cast<uint32_t>(buf.size()));
    const UMC::Status st = dec.GetFrame(&in, &out);
    if (st == UMC::StatusNotEnoughData) break;
    if (st == UMC::StatusNotEnoughBuffer && buf.size() < (16u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (st != UMC::StatusOk && st != UMC::StatusInvalidStream) {
      d.other = st;
      break;
    }
    Record(dec, st, out, buf.data(), &d);
  }
  return d;
}

}  // namespace vxtest
