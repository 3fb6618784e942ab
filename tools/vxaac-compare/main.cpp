// vxaac-compare: our decoded WAV against a reference WAV with the project's
// accuracy metric (RMS and maximum difference in 16-bit LSB, worst
// per-frame level difference in dB).  Exit status 0 when every given
// threshold holds, 1 when one is exceeded, 2 for usage or unreadable input.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/compare.h"
#include "common/wav.h"

namespace {

void Usage(FILE* f) {
  std::fputs(
      "usage: vxaac-compare [options] OURS.wav REFERENCE.wav\n"
      "  --max-rms LSB      fail when the RMS difference exceeds LSB\n"
      "  --max-abs LSB      fail when the maximum difference exceeds LSB\n"
      "  --max-level DB     fail when a frame's level differs by more than DB\n"
      "  --same-length      fail when the sample counts differ\n"
      "  --offset N         compare our sample i with reference sample i+N\n"
      "  --map a,b,...      reference channel for each of our channels\n"
      "  --silence DB       level comparison ignores frames below DB dBFS (-60)\n"
      "  --frame N          level comparison frame length (1024)\n",
      f);
}

bool ParseDouble(const char* s, double* v) {
  char* end = nullptr;
  *v = std::strtod(s, &end);
  return end != s && *end == '\0';
}

bool ParseInt(const char* s, long long* v) {
  char* end = nullptr;
  *v = std::strtoll(s, &end, 10);
  return end != s && *end == '\0';
}

bool ParseMap(const char* s, std::vector<int>* map) {
  map->clear();
  while (*s) {
    char* end = nullptr;
    const long v = std::strtol(s, &end, 10);
    if (end == s || v < 0 || v > 63) return false;
    map->push_back(static_cast<int>(v));
    s = end;
    if (*s == ',')
      ++s;
    else if (*s)
      return false;
  }
  return !map->empty();
}

struct Limits {
  double max_rms = -1, max_abs = -1, max_level = -1;
  bool same_length = false;
};

}  // namespace

int main(int argc, char** argv) {
  vxtest::CompareOptions options;
  Limits limits;
  std::vector<const char*> files;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    const bool has_value = i + 1 < argc;
    long long n = 0;
    bool ok = true;
    if (!std::strcmp(a, "-h") || !std::strcmp(a, "--help")) {
      Usage(stdout);
      return 0;
    } else if (!std::strcmp(a, "--same-length")) {
      limits.same_length = true;
    } else if (!std::strcmp(a, "--max-rms")) {
      ok = has_value && ParseDouble(argv[++i], &limits.max_rms);
    } else if (!std::strcmp(a, "--max-abs")) {
      ok = has_value && ParseDouble(argv[++i], &limits.max_abs);
    } else if (!std::strcmp(a, "--max-level")) {
      ok = has_value && ParseDouble(argv[++i], &limits.max_level);
    } else if (!std::strcmp(a, "--silence")) {
      ok = has_value && ParseDouble(argv[++i], &options.silence_db);
    } else if (!std::strcmp(a, "--offset")) {
      ok = has_value && ParseInt(argv[++i], &n);
      options.offset = n;
    } else if (!std::strcmp(a, "--frame")) {
      ok = has_value && ParseInt(argv[++i], &n) && n > 0 && n <= 1 << 20;
      options.level_frame = static_cast<int>(n);
    } else if (!std::strcmp(a, "--map")) {
      ok = has_value && ParseMap(argv[++i], &options.channel_map);
    } else if (a[0] == '-' && a[1] != '\0') {
      ok = false;
    } else {
      files.push_back(a);
    }
    if (!ok) {
      std::fprintf(stderr, "vxaac-compare: bad option or value: %s\n", a);
      Usage(stderr);
      return 2;
    }
  }
  if (files.size() != 2) {
    Usage(stderr);
    return 2;
  }
  vxtest::Wav ours, ref;
  std::string error;
  if (!vxtest::ReadWav(files[0], &ours, &error) || !vxtest::ReadWav(files[1], &ref, &error)) {
    std::fprintf(stderr, "vxaac-compare: %s\n", error.c_str());
    return 2;
  }
  const vxtest::CompareResult r = vxtest::Compare(ours, ref, options);
  if (!r.ok) {
    std::fprintf(stderr, "vxaac-compare: %s\n", r.error.c_str());
    return 2;
  }
  std::printf("rms %.4f\nmax %.4f\nlevel %.2f\nframes %zu\nours %zu\nreference %zu\n", r.rms_lsb,
              r.max_lsb, r.worst_level_db, r.frames, r.ours_frames, r.ref_frames);
  bool pass = true;
  auto check = [&pass](bool exceeded, const char* what, double value, double limit) {
    if (!exceeded) return;
    std::fprintf(stderr, "vxaac-compare: %s %.4f exceeds %.4f\n", what, value, limit);
    pass = false;
  };
  check(limits.max_rms >= 0 && r.rms_lsb > limits.max_rms, "rms", r.rms_lsb, limits.max_rms);
  check(limits.max_abs >= 0 && r.max_lsb > limits.max_abs, "max", r.max_lsb, limits.max_abs);
  check(limits.max_level >= 0 && r.worst_level_db > limits.max_level, "level", r.worst_level_db,
        limits.max_level);
  if (limits.same_length && r.ours_frames != r.ref_frames) {
    std::fprintf(stderr, "vxaac-compare: lengths differ (%zu vs %zu)\n", r.ours_frames,
                 r.ref_frames);
    pass = false;
  }
  return pass ? 0 : 1;
}
