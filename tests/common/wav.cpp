#include "common/wav.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace vxtest {

namespace {

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatFloat = 3;
constexpr uint16_t kFormatExtensible = 0xFFFE;
// Tail of the KSDATAFORMAT_SUBTYPE GUIDs after the 16-bit format tag.
constexpr uint8_t kGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                   0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

uint16_t Le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

bool Fail(std::string* error, const char* what) {
  if (error) *error = what;
  return false;
}

struct Format {
  uint16_t tag = 0;
  int channels = 0;
  int rate = 0;
  int block_align = 0;
  int bits = 0;
  uint32_t mask = 0;
};

bool ParseFmt(const uint8_t* p, size_t size, Format* f, std::string* error) {
  if (size < 16) return Fail(error, "fmt chunk too short");
  f->tag = Le16(p);
  f->channels = Le16(p + 2);
  f->rate = static_cast<int>(Le32(p + 4) & 0x7FFFFFFF);
  f->block_align = Le16(p + 12);
  f->bits = Le16(p + 14);
  if (f->tag == kFormatExtensible) {
    if (size < 40) return Fail(error, "extensible fmt chunk too short");
    f->mask = Le32(p + 20);
    if (std::memcmp(p + 26, kGuidTail, sizeof kGuidTail) != 0)
      return Fail(error, "unknown extensible sub-format");
    f->tag = Le16(p + 24);
  }
  if (f->tag != kFormatPcm && f->tag != kFormatFloat) return Fail(error, "unsupported format tag");
  if (f->channels < 1) return Fail(error, "no channels");
  const bool int_ok =
      f->tag == kFormatPcm && (f->bits == 8 || f->bits == 16 || f->bits == 24 || f->bits == 32);
  const bool float_ok = f->tag == kFormatFloat && (f->bits == 32 || f->bits == 64);
  if (!int_ok && !float_ok) return Fail(error, "unsupported sample size");
  if (f->block_align != f->channels * (f->bits / 8)) return Fail(error, "inconsistent block align");
  return true;
}

void DecodeSamples(const Format& f, const uint8_t* p, size_t frames, Wav* out) {
  const size_t n = frames * static_cast<size_t>(f.channels);
  const int bytes = f.bits / 8;
  if (f.tag == kFormatFloat) {
    out->floats.resize(n);
    for (size_t i = 0; i < n; ++i, p += bytes) {
      if (bytes == 4) {
        float v;
        uint32_t u = Le32(p);
        std::memcpy(&v, &u, 4);
        out->floats[i] = v;
      } else {
        const uint64_t u = uint64_t{Le32(p)} | (uint64_t{Le32(p + 4)} << 32);
        double v;
        std::memcpy(&v, &u, 8);
        out->floats[i] = v;
      }
    }
    return;
  }
  out->ints.resize(n);
  for (size_t i = 0; i < n; ++i, p += bytes) {
    int32_t v = 0;
    switch (bytes) {
      case 1:
        v = static_cast<int32_t>(p[0]) - 128;
        break;
      case 2:
        v = static_cast<int16_t>(Le16(p));
        break;
      case 3:
        v = static_cast<int32_t>((uint32_t{p[0]} << 8) | (uint32_t{p[1]} << 16) |
                                 (uint32_t{p[2]} << 24)) >>
            8;
        break;
      default:
        v = static_cast<int32_t>(Le32(p));
        break;
    }
    out->ints[i] = v;
  }
}

void Put16(std::vector<uint8_t>& v, uint32_t x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}
void Put32(std::vector<uint8_t>& v, uint32_t x) {
  Put16(v, x & 0xFFFF);
  Put16(v, x >> 16);
}

}  // namespace

size_t Wav::Frames() const {
  if (channels <= 0) return 0;
  return (is_float ? floats.size() : ints.size()) / static_cast<size_t>(channels);
}

double Wav::Normalized(size_t i) const {
  if (is_float) return floats[i];
  return std::ldexp(static_cast<double>(ints[i]), 1 - bits_per_sample);
}

bool ParseWav(const uint8_t* data, size_t size, Wav* out, std::string* error) {
  *out = Wav{};
  if (!data || size < 12 || std::memcmp(data, "RIFF", 4) != 0 || std::memcmp(data + 8, "WAVE", 4))
    return Fail(error, "not a RIFF/WAVE file");
  Format f;
  bool have_fmt = false;
  size_t pos = 12;
  while (pos + 8 <= size) {
    const uint8_t* chunk = data + pos;
    size_t chunk_size = Le32(chunk + 4);
    const size_t body = pos + 8;
    const size_t avail = size - body;
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      if (chunk_size > avail) return Fail(error, "truncated fmt chunk");
      if (!ParseFmt(data + body, chunk_size, &f, error)) return false;
      have_fmt = true;
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      if (!have_fmt) return Fail(error, "data chunk before fmt chunk");
      // Streamed files may carry a size of 0xFFFFFFFF or one past the end.
      if (chunk_size > avail) chunk_size = avail;
      out->channels = f.channels;
      out->sample_rate = f.rate;
      out->bits_per_sample = f.bits;
      out->is_float = f.tag == kFormatFloat;
      out->channel_mask = f.mask;
      DecodeSamples(f, data + body, chunk_size / static_cast<size_t>(f.block_align), out);
      return true;
    }
    if (chunk_size > avail) break;
    pos = body + chunk_size + (chunk_size & 1);
  }
  return Fail(error, have_fmt ? "no data chunk" : "no fmt chunk");
}

bool ReadWav(const std::string& path, Wav* out, std::string* error) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return Fail(error, "cannot open file");
  std::vector<uint8_t> bytes;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
  std::fclose(f);
  return ParseWav(bytes.data(), bytes.size(), out, error);
}

std::vector<uint8_t> SerializeWav(const Wav& wav) {
  const int bytes = wav.bits_per_sample / 8;
  const size_t n = wav.is_float ? wav.floats.size() : wav.ints.size();
  const uint32_t data_size = static_cast<uint32_t>(n * static_cast<size_t>(bytes));
  const bool ext = wav.channels > 2 || wav.bits_per_sample > 16 || wav.channel_mask != 0;
  const uint16_t tag = wav.is_float ? kFormatFloat : kFormatPcm;
  const uint32_t fmt_size = ext ? 40 : 16;
  std::vector<uint8_t> v;
  v.reserve(44 + 24 + data_size);
  v.insert(v.end(), {'R', 'I', 'F', 'F'});
  Put32(v, 4 + 8 + fmt_size + 8 + data_size + (data_size & 1));
  v.insert(v.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  Put32(v, fmt_size);
  Put16(v, ext ? kFormatExtensible : tag);
  Put16(v, static_cast<uint32_t>(wav.channels));
  Put32(v, static_cast<uint32_t>(wav.sample_rate));
  Put32(v, static_cast<uint32_t>(wav.sample_rate * wav.channels * bytes));
  Put16(v, static_cast<uint32_t>(wav.channels * bytes));
  Put16(v, static_cast<uint32_t>(wav.bits_per_sample));
  if (ext) {
    Put16(v, 22);
    Put16(v, static_cast<uint32_t>(wav.bits_per_sample));
    Put32(v, wav.channel_mask);
    Put16(v, tag);
    v.insert(v.end(), kGuidTail, kGuidTail + sizeof kGuidTail);
  }
  v.insert(v.end(), {'d', 'a', 't', 'a'});
  Put32(v, data_size);
  for (size_t i = 0; i < n; ++i) {
    if (wav.is_float) {
      if (bytes == 4) {
        const float x = static_cast<float>(wav.floats[i]);
        uint32_t u;
        std::memcpy(&u, &x, 4);
        Put32(v, u);
      } else {
        uint64_t u;
        std::memcpy(&u, &wav.floats[i], 8);
        Put32(v, static_cast<uint32_t>(u));
        Put32(v, static_cast<uint32_t>(u >> 32));
      }
      continue;
    }
    const uint32_t s = static_cast<uint32_t>(wav.ints[i]);
    switch (bytes) {
      case 1:
        v.push_back(static_cast<uint8_t>(wav.ints[i] + 128));
        break;
      case 2:
        Put16(v, s & 0xFFFF);
        break;
      case 3:
        v.push_back(static_cast<uint8_t>(s));
        v.push_back(static_cast<uint8_t>(s >> 8));
        v.push_back(static_cast<uint8_t>(s >> 16));
        break;
      default:
        Put32(v, s);
        break;
    }
  }
  if (data_size & 1) v.push_back(0);
  return v;
}

bool WriteWav(const std::string& path, const Wav& wav, std::string* error) {
  const std::vector<uint8_t> bytes = SerializeWav(wav);
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return Fail(error, "cannot create file");
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return (std::fclose(f) == 0 && ok) || Fail(error, "write failed");
}

Wav MakeWav16(int channels, int sample_rate, const int16_t* samples, size_t frames) {
  Wav w;
  w.channels = channels;
  w.sample_rate = sample_rate;
  w.bits_per_sample = 16;
  w.ints.assign(samples, samples + frames * static_cast<size_t>(channels));
  return w;
}

}  // namespace vxtest
