// vxaac-latmmux: rewrites ADTS streams as LOAS (AudioSyncStream frames of
// AudioMuxElement with in-band StreamMuxConfig, ISO/IEC 14496-3 1.7), with
// the multiplex features no encoder at hand writes: audioMuxVersion 1,
// several subframes per element, other data, the CRC field, fill bits after
// the AudioSpecificConfig, the three ways of signalling SBR and PS in it,
// elements without a configuration in front (a receiver tuning in), and a
// configuration change at each further input file.
//
//   vxaac-latmmux [options] -o OUT.loas IN.aac [IN.aac ...]
//
// Test streams only: every access unit of the input is copied unchanged.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Options {
  int version = 0;                  // audioMuxVersion
  int subframes = 1;                // access units per AudioMuxElement
  int config_every = 1;             // a StreamMuxConfig in every n-th element
  int skip_config = 0;              // leading elements without any configuration
  int64_t other_bits = 0;           // otherDataLenBits (0: no other data)
  bool crc = false;                 // crcCheckPresent
  int asc_fill = 0;                 // fill bits after the AudioSpecificConfig (version 1)
  int frames = 0;                   // access units taken from each input (0: all)
  bool sbr = false;                 // the inputs are HE-AAC (SBR at twice the core rate)
  bool ps = false;                  // ... with parametric stereo
  std::string signal = "implicit";  // implicit, hierarchical, backward
  std::string output;
  std::vector<std::string> inputs;
};

constexpr int kRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                            22050, 16000, 12000, 11025, 8000,  7350};

class BitWriter {
 public:
  void Put(uint64_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) PutBit((value >> i) & 1);
  }
  void PutBits(const BitWriter& w) {
    for (int64_t i = 0; i < w.bits_; ++i) PutBit((w.bytes_[i >> 3] >> (7 - (i & 7))) & 1);
  }
  void Align() {
    while (bits_ & 7) PutBit(0);
  }
  int64_t bits() const { return bits_; }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  void PutBit(uint64_t b) {
    if ((bits_ & 7) == 0) bytes_.push_back(0);
    if (b) bytes_.back() |= static_cast<uint8_t>(0x80u >> (bits_ & 7));
    ++bits_;
  }
  std::vector<uint8_t> bytes_;
  int64_t bits_ = 0;
};

struct Stream {
  int object_type = 0;
  int sfi = 0;
  int channels = 0;
  std::vector<std::vector<uint8_t>> units;
};

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "vxaac-latmmux: %s\n", what.c_str());
  std::exit(2);
}

Stream ReadAdts(const std::string& path, int max_frames) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) Die("cannot open " + path);
  std::vector<uint8_t> d;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) d.insert(d.end(), buf, buf + n);
  std::fclose(f);
  Stream s;
  size_t at = 0;
  while (at + 7 <= d.size() && (max_frames == 0 || int(s.units.size()) < max_frames)) {
    const uint8_t* p = d.data() + at;
    if (p[0] != 0xFF || (p[1] & 0xF6) != 0xF0) Die(path + ": lost ADTS sync");
    const size_t len = ((p[3] & 3u) << 11) | (size_t{p[4]} << 3) | (p[5] >> 5);
    const size_t header = (p[1] & 1) ? 7 : 9;
    if ((p[6] & 3) != 0) Die(path + ": several raw data blocks per ADTS frame");
    if (len < header || at + len > d.size()) break;  // a cut last frame
    const int aot = ((p[2] >> 6) & 3) + 1;
    const int sfi = (p[2] >> 2) & 15;
    const int ch = ((p[2] & 1) << 2) | (p[3] >> 6);
    if (ch == 0) Die(path + ": channel configuration 0 (PCE) not supported");
    if (s.units.empty()) {
      s.object_type = aot;
      s.sfi = sfi;
      s.channels = ch;
    } else if (aot != s.object_type || sfi != s.sfi || ch != s.channels) {
      Die(path + ": the configuration changes inside one input");
    }
    s.units.emplace_back(p + header, p + len);
    at += len;
  }
  if (s.units.empty()) Die(path + ": no ADTS frames");
  return s;
}

int RateIndex(int rate) {
  for (int i = 0; i < 13; ++i)
    if (kRates[i] == rate) return i;
  Die("no sampling frequency index for " + std::to_string(rate) + " Hz");
}

// The AudioSpecificConfig of a stream in the chosen signalling.
BitWriter MakeAsc(const Stream& s, const Options& o) {
  BitWriter w;
  const bool he = o.sbr || o.ps;
  const int ext_sfi = he ? RateIndex(2 * kRates[s.sfi]) : 0;
  if (he && o.signal == "hierarchical") {
    w.Put(o.ps ? 29 : 5, 5);
    w.Put(s.sfi, 4);
    w.Put(s.channels, 4);
    w.Put(ext_sfi, 4);
    w.Put(s.object_type, 5);
  } else {
    w.Put(s.object_type, 5);
    w.Put(s.sfi, 4);
    w.Put(s.channels, 4);
  }
  w.Put(0, 3);  // GASpecificConfig: frameLengthFlag, dependsOnCoreCoder, extensionFlag
  if (he && o.signal == "backward") {
    w.Put(0x2B7, 11);
    w.Put(5, 5);
    w.Put(1, 1);  // sbrPresentFlag
    w.Put(ext_sfi, 4);
    if (o.ps) {
      w.Put(0x548, 11);
      w.Put(1, 1);  // psPresentFlag
    }
  }
  return w;
}

void PutLatmValue(BitWriter& w, uint64_t v) {
  int bytes = 1;
  while (bytes < 4 && (v >> (8 * bytes)) != 0) ++bytes;
  if ((v >> (8 * bytes)) != 0) Die("LatmGetValue above 32 bits");
  w.Put(bytes - 1, 2);
  w.Put(v, 8 * bytes);
}

void PutStreamMuxConfig(BitWriter& w, const Stream& s, const Options& o, int subframes) {
  w.Put(o.version, 1);
  if (o.version == 1) {
    w.Put(0, 1);            // audioMuxVersionA
    PutLatmValue(w, 0xFF);  // taraBufferFullness
  }
  w.Put(1, 1);  // allStreamsSameTimeFraming
  w.Put(subframes - 1, 6);
  w.Put(0, 4);  // numProgram
  w.Put(0, 3);  // numLayer
  const BitWriter asc = MakeAsc(s, o);
  if (o.version == 1) {
    PutLatmValue(w, static_cast<uint64_t>(asc.bits() + o.asc_fill));
    w.PutBits(asc);
    w.Put(0, o.asc_fill);  // fillBits (the count is at most 64 here)
  } else {
    w.PutBits(asc);
  }
  w.Put(0, 3);     // frameLengthType
  w.Put(0xFF, 8);  // latmBufferFullness
  w.Put(o.other_bits > 0, 1);
  if (o.other_bits > 0) {
    if (o.version == 1) {
      PutLatmValue(w, static_cast<uint64_t>(o.other_bits));
    } else {
      // otherDataLenBits in 8-bit pieces, most significant first, each
      // preceded by its escape bit.
      std::vector<int> pieces;
      for (int64_t v = o.other_bits; v > 0; v >>= 8) pieces.insert(pieces.begin(), int(v & 255));
      for (size_t i = 0; i < pieces.size(); ++i) {
        w.Put(i + 1 < pieces.size(), 1);
        w.Put(pieces[i], 8);
      }
    }
  }
  w.Put(o.crc, 1);
  if (o.crc) w.Put(0xA5, 8);  // crcCheckSum
}

bool ParseArgs(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    const char* v = nullptr;
    if (a == "-o" && (v = value())) {
      o->output = v;
    } else if (a == "--version" && (v = value())) {
      o->version = std::atoi(v);
    } else if (a == "--subframes" && (v = value())) {
      o->subframes = std::atoi(v);
    } else if (a == "--config-every" && (v = value())) {
      o->config_every = std::atoi(v);
    } else if (a == "--skip-config" && (v = value())) {
      o->skip_config = std::atoi(v);
    } else if (a == "--other-data" && (v = value())) {
      o->other_bits = std::atoll(v);
    } else if (a == "--asc-fill" && (v = value())) {
      o->asc_fill = std::atoi(v);
    } else if (a == "--frames" && (v = value())) {
      o->frames = std::atoi(v);
    } else if (a == "--signal" && (v = value())) {
      o->signal = v;
    } else if (a == "--crc") {
      o->crc = true;
    } else if (a == "--sbr") {
      o->sbr = true;
    } else if (a == "--ps") {
      o->ps = true;
    } else if (!a.empty() && a[0] != '-') {
      o->inputs.push_back(a);
    } else {
      return false;
    }
  }
  return !o->output.empty() && !o->inputs.empty() && (o->version == 0 || o->version == 1) &&
         o->subframes >= 1 && o->subframes <= 64 && o->config_every >= 1 && o->asc_fill >= 0 &&
         o->asc_fill <= 64 && o->other_bits >= 0 && o->other_bits < (int64_t{1} << 32) &&
         (o->signal == "implicit" || o->signal == "hierarchical" || o->signal == "backward") &&
         !(o->signal == "backward" && o->version == 0);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseArgs(argc, argv, &o)) {
    std::fputs(
        "usage: vxaac-latmmux [options] -o OUT.loas IN.aac [IN.aac ...]\n"
        "  --version 0|1        audioMuxVersion (default 0)\n"
        "  --subframes N        access units per AudioMuxElement, 1..64 (default 1)\n"
        "  --config-every N     StreamMuxConfig in every N-th element (default 1)\n"
        "  --skip-config N      N leading elements without any configuration\n"
        "  --other-data BITS    other data of BITS bits in every element\n"
        "  --crc                crcCheckPresent with a checksum byte\n"
        "  --asc-fill BITS      fill bits after the AudioSpecificConfig (version 1, <= 64)\n"
        "  --frames N           access units taken from each input\n"
        "  --sbr, --ps          the inputs are HE-AAC / HE-AAC v2\n"
        "  --signal implicit|hierarchical|backward   SBR/PS signalling in the\n"
        "                       AudioSpecificConfig (backward needs --version 1)\n"
        "Each further input starts with a new configuration.\n",
        stderr);
    return 2;
  }
  FILE* out = std::fopen(o.output.c_str(), "wb");
  if (!out) Die("cannot write " + o.output);
  uint32_t noise = 12345;  // other data bits
  int element = 0;
  for (const std::string& path : o.inputs) {
    const Stream s = ReadAdts(path, o.frames);
    int since_config = -1;  // elements since this input's last StreamMuxConfig
    int last_subframes = 0;
    for (size_t at = 0; at < s.units.size(); ++element) {
      const int subframes =
          static_cast<int>(std::min<size_t>(size_t(o.subframes), s.units.size() - at));
      BitWriter w;
      const bool config =
          element >= o.skip_config &&
          (since_config < 0 || since_config + 1 >= o.config_every || subframes != last_subframes);
      w.Put(config ? 0 : 1, 1);  // useSameStreamMux
      if (config) {
        PutStreamMuxConfig(w, s, o, subframes);
        since_config = 0;
        last_subframes = subframes;
      } else if (since_config >= 0) {
        ++since_config;
      }
      for (int k = 0; k < subframes; ++k) {
        size_t len = s.units[at + size_t(k)].size();
        for (; len >= 255; len -= 255) w.Put(255, 8);
        w.Put(len, 8);
        for (uint8_t b : s.units[at + size_t(k)]) w.Put(b, 8);
      }
      for (int64_t i = 0; i < o.other_bits; ++i) {
        noise = noise * 1103515245u + 12345u;
        w.Put((noise >> 16) & 1, 1);
      }
      w.Align();
      const size_t bytes = w.bytes().size();
      if (bytes > 8191) Die("an AudioMuxElement of " + std::to_string(bytes) + " bytes");
      const uint8_t header[3] = {0x56, static_cast<uint8_t>(0xE0 | (bytes >> 8)),
                                 static_cast<uint8_t>(bytes & 0xFF)};
      std::fwrite(header, 1, 3, out);
      std::fwrite(w.bytes().data(), 1, bytes, out);
      at += size_t(subframes);
    }
  }
  return std::fclose(out) == 0 ? 0 : 2;
}
