// vxaac-adtsblocks: rewrites an ADTS stream of one raw data block per frame
// into frames of several blocks, for tests of the decoder's multi-block
// path (see adts_blocks.h for the layout and the CRC words).
//
//   vxaac-adtsblocks [--blocks N[,N...]] [--crc | --no-crc] [--frames N] IN.aac OUT.aac
//
// --blocks  block counts per output frame (1 to 4), cycled; default 4
// --crc     error check in every frame (the input must carry CRC words);
//           --no-crc drops it; default: as the input
// --frames  use only the first N input frames
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/vxaac-adtsblocks/adts_blocks.h"

namespace {

bool ReadFile(const char* path, adts_blocks::Bytes* out) {
  FILE* f = std::fopen(path, "rb");
  if (!f) return false;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out->insert(out->end(), buf, buf + n);
  std::fclose(f);
  return true;
}

bool ParseList(const std::string& s, std::vector<int>* out) {
  size_t at = 0;
  while (at <= s.size()) {
    const size_t comma = s.find(',', at);
    const std::string item =
        s.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    char* end = nullptr;
    const long v = std::strtol(item.c_str(), &end, 10);
    if (item.empty() || *end || v < 1 || v > 4) return false;
    out->push_back(static_cast<int>(v));
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  return !out->empty();
}

int Usage() {
  std::fputs(
      "usage: vxaac-adtsblocks [--blocks N[,N...]] [--crc|--no-crc] [--frames N] IN.aac OUT.aac\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> pattern;
  int crc = -1;  // as the input
  long frames = -1;
  std::vector<const char*> files;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--blocks" && i + 1 < argc) {
      if (!ParseList(argv[++i], &pattern)) return Usage();
    } else if (a == "--crc" || a == "--no-crc") {
      crc = a == "--crc";
    } else if (a == "--frames" && i + 1 < argc) {
      frames = std::strtol(argv[++i], nullptr, 10);
      if (frames < 1) return Usage();
    } else if (!a.empty() && a[0] == '-') {
      return Usage();
    } else {
      files.push_back(argv[i]);
    }
  }
  if (files.size() != 2) return Usage();
  if (pattern.empty()) pattern.push_back(4);
  adts_blocks::Bytes in;
  if (!ReadFile(files[0], &in)) {
    std::fprintf(stderr, "vxaac-adtsblocks: cannot read %s\n", files[0]);
    return 1;
  }
  std::vector<adts_blocks::Frame> list;
  std::string error;
  if (!adts_blocks::SplitFrames(in, &list, &error)) {
    std::fprintf(stderr, "vxaac-adtsblocks: %s: %s\n", files[0], error.c_str());
    return 1;
  }
  if (frames > 0 && static_cast<size_t>(frames) < list.size())
    list.resize(static_cast<size_t>(frames));
  const bool with_crc = crc < 0 ? (!list.empty() && list[0].crc >= 0) : crc == 1;
  adts_blocks::Bytes out;
  if (!adts_blocks::Rewrite(list, pattern, with_crc, &out, &error)) {
    std::fprintf(stderr, "vxaac-adtsblocks: %s\n", error.c_str());
    return 1;
  }
  FILE* f = std::fopen(files[1], "wb");
  if (!f || std::fwrite(out.data(), 1, out.size(), f) != out.size() || std::fclose(f) != 0) {
    std::fprintf(stderr, "vxaac-adtsblocks: cannot write %s\n", files[1]);
    return 1;
  }
  return 0;
}
