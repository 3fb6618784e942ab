// vxaac-tnsinject: gives chosen frames of a mono AAC LC ADTS stream a TNS
// filter of the caller's choice, for test streams with filters that real
// encoders rarely send (high orders, steep coefficients).
//
//   vxaac-tnsinject --at K[,K...] --filter LENGTH,RES,DIR:C1,C2,... [--frames N] IN.aac OUT.aac
//
// Input: one raw data block per frame, no CRC, the SCE first.  In each frame
// K (from 0) the SCE's tns_data_present bit must be 0 and its window long;
// the bit becomes 1 and one filter follows it (n_filt 1, coef_res RES,
// length LENGTH bands from the top, order = number of coefficients,
// direction DIR, coef_compress 0, raw coefficient fields C1..).  Every other
// bit stays: the spectrum is the encoder's, shaped by the new filter.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "aac/channel_stream.h"
#include "tests/common/bit_writer.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Filter {
  int length = 0, res = 0, direction = 0;
  std::vector<int> coef;
};

bool ReadFile(const char* path, Bytes* out) {
  FILE* f = std::fopen(path, "rb");
  if (!f) return false;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out->insert(out->end(), buf, buf + n);
  std::fclose(f);
  return true;
}

bool ParseInts(const std::string& s, std::vector<int>* out) {
  size_t at = 0;
  for (;;) {
    const size_t comma = s.find(',', at);
    const std::string item = s.substr(at, comma == std::string::npos ? comma : comma - at);
    char* end = nullptr;
    const long v = std::strtol(item.c_str(), &end, 10);
    if (item.empty() || *end || v < 0 || v > 1 << 20) return false;
    out->push_back(static_cast<int>(v));
    if (comma == std::string::npos) return true;
    at = comma + 1;
  }
}

bool ParseFilter(const std::string& s, Filter* f) {
  const size_t colon = s.find(':');
  std::vector<int> head;
  if (colon == std::string::npos || !ParseInts(s.substr(0, colon), &head) || head.size() != 3 ||
      !ParseInts(s.substr(colon + 1), &f->coef)) {
    return false;
  }
  f->length = head[0];
  f->res = head[1];
  f->direction = head[2];
  const int bits = 3 + f->res;
  bool ok =
      f->length < 64 && f->res < 2 && f->direction < 2 && !f->coef.empty() && f->coef.size() < 32;
  for (int c : f->coef) ok = ok && c < (1 << bits);
  return ok;
}

// The bit offset of the SCE's tns_data_present flag in `payload` (one raw
// data block), or -1 when the block does not open with a long-window SCE
// whose flag is 0.
int64_t TnsFlagOffset(const Bytes& payload, const AacHuffmanTables& books, ChannelStream& s) {
  Bytes padded(payload);
  padded.resize(payload.size() + kAacReaderPadding, 0);
  UMC::BitReader r;
  UMC::BitReaderInit(r, padded.data(), static_cast<int32_t>(payload.size()));
  if (UMC::BitReaderRead(r, 3) != 0) return -1;  // ID_SCE
  UMC::BitReaderRead(r, 4);
  s.global_gain = static_cast<int32_t>(UMC::BitReaderRead(r, 8));
  if (DecodeIcsInfo(s, r, 2) != 0 || s.window_sequence == EIGHT_SHORT_SEQUENCE ||
      DecodeSectionData(s, r) != 0 ||
      DecodeScaleFactors(s, r, books, s.global_gain, s.global_gain - 90, s.scale_factors) != 0) {
    return -1;
  }
  if (UMC::BitReaderRead1(r) && DecodePulseData(s, r) != 0) return -1;
  const int64_t at = UMC::BitReaderBitsConsumed(r);
  return UMC::BitReaderRead1(r) == 0 && !UMC::BitReaderOverrun(r) ? at : -1;
}

// `payload` with the flag at `at` set and the filter's tns_data() after it.
Bytes Inject(const Bytes& payload, int64_t at, const Filter& f) {
  vxtest::BitWriter w;
  auto bit = [&](int64_t i) { return (payload[static_cast<size_t>(i >> 3)] >> (7 - (i & 7))) & 1; };
  for (int64_t i = 0; i < at; ++i) w.Put(bit(i), 1);
  w.Put(1, 1);  // tns_data_present
  w.Put(1, 2).Put(static_cast<uint32_t>(f.res), 1);
  w.Put(static_cast<uint32_t>(f.length), 6).Put(static_cast<uint32_t>(f.coef.size()), 5);
  w.Put(static_cast<uint32_t>(f.direction), 1).Put(0, 1);
  for (int c : f.coef) w.Put(static_cast<uint32_t>(c), 3 + f.res);
  for (int64_t i = at + 1; i < static_cast<int64_t>(payload.size()) * 8; ++i) w.Put(bit(i), 1);
  return w.bytes();  // the last byte is zero-padded
}

int Usage() {
  std::fputs(
      "usage: vxaac-tnsinject --at K[,K...] --filter LENGTH,RES,DIR:C1,C2,... [--frames N] "
      "IN.aac OUT.aac\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> at;
  Filter filter;
  long frames = -1;
  std::vector<const char*> files;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--at" && i + 1 < argc) {
      if (!ParseInts(argv[++i], &at)) return Usage();
    } else if (a == "--filter" && i + 1 < argc) {
      if (!ParseFilter(argv[++i], &filter)) return Usage();
    } else if (a == "--frames" && i + 1 < argc) {
      frames = std::strtol(argv[++i], nullptr, 10);
      if (frames < 1) return Usage();
    } else if (!a.empty() && a[0] == '-') {
      return Usage();
    } else {
      files.push_back(argv[i]);
    }
  }
  if (files.size() != 2 || at.empty() || filter.coef.empty()) return Usage();
  Bytes in;
  if (!ReadFile(files[0], &in)) {
    std::fprintf(stderr, "vxaac-tnsinject: cannot read %s\n", files[0]);
    return 1;
  }
  AacHuffmanTables books;
  if (AacHuffmanTablesInit(&books) != 0) return 1;

  Bytes out;
  size_t pos = 0;
  for (long k = 0; pos + 7 <= in.size() && (frames < 0 || k < frames); ++k) {
    const uint8_t* h = &in[pos];
    const size_t length = (size_t{h[3] & 3u} << 11) | (size_t{h[4]} << 3) | (h[5] >> 5);
    if (h[0] != 0xFF || (h[1] & 0xF6) != 0xF0 || !(h[1] & 1) || (h[6] & 3) != 0 || length < 7 ||
        pos + length > in.size()) {
      std::fprintf(stderr, "vxaac-tnsinject: frame %ld: not an unprotected one-block frame\n", k);
      return 1;
    }
    Bytes header(h, h + 7);
    Bytes payload(h + 7, h + length);
    bool chosen = false;
    for (int a : at) chosen = chosen || a == k;
    if (chosen) {
      ChannelStream s;
      if (InitChannelStream(s, (h[2] >> 2) & 15, 2) != 0) return 1;
      const int64_t flag = TnsFlagOffset(payload, books, s);
      if (flag < 0) {
        std::fprintf(stderr, "vxaac-tnsinject: frame %ld: no long-window SCE without TNS\n", k);
        return 1;
      }
      payload = Inject(payload, flag, filter);
      const size_t n = payload.size() + 7;
      if (n >= 1 << 13) return 1;
      header[3] = static_cast<uint8_t>((header[3] & 0xFC) | (n >> 11));
      header[4] = static_cast<uint8_t>(n >> 3);
      header[5] = static_cast<uint8_t>((header[5] & 0x1F) | ((n & 7) << 5));
    }
    out.insert(out.end(), header.begin(), header.end());
    out.insert(out.end(), payload.begin(), payload.end());
    pos += length;
  }
  FILE* f = std::fopen(files[1], "wb");
  if (!f || std::fwrite(out.data(), 1, out.size(), f) != out.size() || std::fclose(f) != 0) {
    std::fprintf(stderr, "vxaac-tnsinject: cannot write %s\n", files[1]);
    return 1;
  }
  return 0;
}
