// vxaac-decode: decodes AAC, HE-AAC, HE-AAC v2 and MPEG-4 ALS to WAV or raw
// PCM.  ADTS, ADIF, LOAS and raw ALS streams go straight through the codec
// library; other files (MP4/M4A, Matroska, MPEG-TS, ...) through GStreamer
// and the vxaacdec element.
//
// Exit status: 0 decoded cleanly, 1 decoded with errors, 2 unusable input
// or usage.
#if VX_WITH_GSTREAMER
#include <gst/gst.h>
#endif
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "decode.h"
#include "dsp/dsp_core.h"
#include "dsp/dsp_kernels.h"

#if VX_WITH_GSTREAMER
extern "C" void gst_plugin_vxaacdec_register(void);
#endif

namespace {

constexpr int kExitOk = 0;
constexpr int kExitErrors = 1;
constexpr int kExitUnusable = 2;

void Usage(FILE* f) {
  std::fputs(
      "usage: vxaac-decode [options] INPUT [-o OUTPUT]\n"
      "Decodes AAC (ADTS, ADIF, LOAS, MP4, MPEG-TS and other containers) and MPEG-4 ALS\n"
      "to PCM.\n"
      "INPUT or OUTPUT \"-\" is stdin or stdout (stdin: elementary streams only).\n"
      "  -o, --output FILE     write the decoded audio (WAV unless --raw)\n"
      "      --raw             write bare interleaved little-endian samples\n"
      "      --info            print the stream description (without -o: decode only)\n"
      "      --sbr-output M    downsampled (default) or full-rate\n"
      "      --sbr-quality Q   high (default) or low-power\n"
      "      --ps MODE         off (default), parse, baseline or full\n"
      "      --restore-original  ALS: write the original file back (stored header and\n"
      "                        trailer, samples in the file's byte order); implies --raw\n"
      "      --gst             decode through GStreamer even for elementary streams\n"
      "      --split-formats   when the stream changes its channels or rate, continue in\n"
      "                        OUTPUT-2.wav, OUTPUT-3.wav, ... (default: keep the first)\n"
      "      --kernels ISA     use the kernels of one instruction set: generic, sse2,\n"
      "                        avx2 or neon (default: the widest the processor runs)\n"
      "  -q, --quiet           no progress line\n"
      "  -h, --help            this text\n"
      "exit status: 0 ok, 1 decoded with errors, 2 unusable input or usage\n",
      f);
}

struct Options {
  std::string input;
  std::string output;
  bool raw = false;
  bool info = false;
  bool force_gst = false;
  bool quiet = false;
  bool split = false;
  const char* kernels = nullptr;
  DecoderSettings settings;
};

bool ParseEnum(const char* value, const std::vector<std::pair<const char*, int>>& table, int* out) {
  for (const auto& [name, v] : table) {
    if (std::strcmp(value, name) == 0) {
      *out = v;
      return true;
    }
  }
  return false;
}

// Returns false (after a message) on a usage error.
bool ParseArgs(int argc, char** argv, Options* o, bool* help) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](const char** v) {
      if (i + 1 >= argc) return false;
      *v = argv[++i];
      return true;
    };
    const char* v = nullptr;
    bool ok = true;
    if (a == "-h" || a == "--help") {
      *help = true;
      return true;
    } else if (a == "-o" || a == "--output") {
      ok = value(&v);
      if (ok) o->output = v;
    } else if (a == "--raw") {
      o->raw = true;
    } else if (a == "--info") {
      o->info = true;
    } else if (a == "--restore-original") {
      o->settings.restore_original = true;
      o->raw = true;
    } else if (a == "--gst") {
      o->force_gst = true;
    } else if (a == "--split-formats") {
      o->split = true;
    } else if (a == "-q" || a == "--quiet") {
      o->quiet = true;
    } else if (a == "--kernels") {
      ok = value(&v) && dspIsaByName(v) != dspIsaCount;
      o->kernels = v;
    } else if (a == "--sbr-output") {
      ok = value(&v) &&
           ParseEnum(v, {{"downsampled", 1}, {"full-rate", 0}}, &o->settings.sbr_rate_mode);
      o->settings.sbr_rate_mode_set = true;
    } else if (a == "--sbr-quality") {
      ok = value(&v) && ParseEnum(v, {{"high", 18}, {"low-power", 28}}, &o->settings.sbr_mode);
      o->settings.sbr_mode_set = true;
    } else if (a == "--ps") {
      ok = value(&v) && ParseEnum(v, {{"off", 0}, {"parse", 1}, {"baseline", 111}, {"full", 411}},
                                  &o->settings.ps_mode);
      o->settings.ps_mode_set = true;
    } else if (a.size() > 1 && a[0] == '-') {
      ok = false;
    } else if (o->input.empty()) {
      o->input = a;
    } else {
      ok = false;
    }
    if (!ok) {
      std::fprintf(stderr, "vxaac-decode: bad option or value: %s\n", a.c_str());
      return false;
    }
  }
  if (o->input.empty()) {
    std::fputs("vxaac-decode: no input given\n", stderr);
    return false;
  }
  if (o->output.empty() && !o->info) {
    std::fputs("vxaac-decode: give an output (-o FILE, or -o - for stdout) or --info\n", stderr);
    return false;
  }
  return true;
}

const char* ObjectTypeName(int aot) {
  switch (aot) {
    case 1:
      return "AAC Main";
    case 2:
      return "AAC LC";
    case 3:
      return "AAC SSR";
    case 4:
      return "AAC LTP";
    case 5:
      return "HE-AAC (SBR)";
    case 22:
      return "ER BSAC";
    case 29:
      return "HE-AAC v2 (SBR+PS)";
    case 36:
      return "MPEG-4 ALS";
    default:
      return "unknown";
  }
}

void PrintInfo(FILE* f, const DecodeReport& r) {
  const PcmFormat& o = r.out;
  std::fprintf(f, "container:    %s\n", r.container.c_str());
  std::fprintf(f, "object type:  %d (%s)\n", r.object_type, ObjectTypeName(r.object_type));
  // What the stream carries, then what the output makes of it.
  const bool full_rate = r.core_rate > 0 && o.rate == 2 * r.core_rate;
  std::fprintf(f, "sbr:          %s\n",
               !r.sbr      ? "no"
               : full_rate ? "yes (output at twice the core rate)"
                           : "yes (output at the core rate; --sbr-output full-rate doubles it)");
  const bool stereo = r.in_channels == 1 && o.channels == 2;
  std::fprintf(f, "ps:           %s\n",
               !r.ps    ? "no"
               : stereo ? "yes (stereo output)"
                        : "yes (not applied: mono output; --ps baseline|full for stereo)");
  if (r.core_rate > 0) std::fprintf(f, "input rate:   %d Hz\n", r.core_rate);
  if (r.in_channels > 0) std::fprintf(f, "input ch:     %d\n", r.in_channels);
  std::fprintf(f, "output rate:  %d Hz\n", o.rate);
  std::fprintf(f, "channels:     %d (mask 0x%X)\n", o.channels, o.channel_mask);
  std::fprintf(f, "sample:       %d-bit %s\n", o.bits, o.is_float ? "float" : "integer");
  std::fprintf(f, "frames:       %llu\n", static_cast<unsigned long long>(r.frames));
  std::fprintf(f, "samples:      %llu per channel", static_cast<unsigned long long>(r.samples));
  if (o.rate > 0) std::fprintf(f, " (%.3f s)", static_cast<double>(r.samples) / o.rate);
  std::fprintf(f, "\nerrors:       %llu\n", static_cast<unsigned long long>(r.errors));
  if (r.crc >= 0) std::fprintf(f, "crc:          %s\n", r.crc ? "match" : "MISMATCH");
}

class ProgressLine {
 public:
  explicit ProgressLine(bool enabled, uint64_t total) : enabled_(enabled), total_(total) {}
  void Update(uint64_t bytes, const DecodeReport& r) {
    if (!enabled_) return;
    const int64_t now = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    if (now - last_ < 100000) return;
    last_ = now;
    const double seconds = r.out.rate > 0 ? static_cast<double>(r.samples) / r.out.rate : 0.0;
    if (total_ > 0)
      std::fprintf(stderr, "\r%8.1f s decoded, %3d%%", seconds,
                   static_cast<int>(100.0 * bytes / total_));
    else
      std::fprintf(stderr, "\r%8.1f s decoded", seconds);
    shown_ = true;
  }
  void Finish() {
    if (shown_) std::fputs("\r\033[K", stderr);
  }

 private:
  bool enabled_;
  uint64_t total_;
  int64_t last_ = 0;
  bool shown_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  bool help = false;
  if (!ParseArgs(argc, argv, &opt, &help)) {
    Usage(stderr);
    return kExitUnusable;
  }
  if (help) {
    Usage(stdout);
    return kExitOk;
  }
  if (dspStaticInit() < 0) {
    std::fputs("vxaac-decode: processor detection failed\n", stderr);
    return kExitUnusable;
  }
  if (opt.kernels && dspSelectKernels(dspIsaByName(opt.kernels)) != dspStsNoErr) {
    std::fprintf(stderr, "vxaac-decode: no %s kernels on this processor\n", opt.kernels);
    return kExitUnusable;
  }

  FILE* in = opt.input == "-" ? stdin : std::fopen(opt.input.c_str(), "rb");
  if (!in) {
    std::fprintf(stderr, "vxaac-decode: cannot open %s\n", opt.input.c_str());
    return kExitUnusable;
  }
  uint64_t total = 0;
  if (in != stdin && std::fseek(in, 0, SEEK_END) == 0) {
    const long end = std::ftell(in);
    total = end > 0 ? static_cast<uint64_t>(end) : 0;
    std::fseek(in, 0, SEEK_SET);
  }
  // The first bytes choose the route.  Standard input cannot be rewound,
  // so it must hold an elementary stream.
  std::vector<uint8_t> head(64 * 1024);
  head.resize(std::fread(head.data(), 1, head.size(), in));
  const InputKind kind = DetectInput(head.data(), head.size());
  if (in == stdin && kind == InputKind::kOther) {
    std::fputs(
        "vxaac-decode: standard input must be ADTS, ADIF, LOAS or ALS; give containers as "
        "files\n",
        stderr);
    return kExitUnusable;
  }
  Mp4AlsStream mp4_als;
  const bool direct_mp4 =
      kind == InputKind::kOther && !opt.force_gst && in != stdin && mp4_als.Open(in, total);
#if !VX_WITH_GSTREAMER
  if ((kind == InputKind::kOther && !direct_mp4) || opt.force_gst) {
    std::fputs(
        "vxaac-decode: built without GStreamer: ADTS, ADIF, LOAS, raw ALS and ALS in MP4 only\n",
        stderr);
    if (in != stdin) std::fclose(in);
    return kExitUnusable;
  }
#endif
  if (opt.settings.restore_original && (kind != InputKind::kAls || opt.force_gst)) {
    std::fputs("vxaac-decode: --restore-original needs a raw MPEG-4 ALS stream (without --gst)\n",
               stderr);
    if (in != stdin) std::fclose(in);
    return kExitUnusable;
  }
  PcmWriter writer;
  if (!opt.output.empty() && !writer.Open(opt.output, !opt.raw)) {
    std::fprintf(stderr, "vxaac-decode: %s\n", writer.Error().c_str());
    if (in != stdin) std::fclose(in);
    return kExitUnusable;
  }
  if (opt.split) writer.SplitFormats();
  DecodeReport report;
  ProgressLine progress(!opt.quiet && isatty(STDERR_FILENO), total);
  auto on_progress = [&progress](uint64_t bytes, const DecodeReport& r) {
    progress.Update(bytes, r);
  };

  if (kind != InputKind::kOther && (!opt.force_gst || in == stdin)) {
    report.container = InputKindName(kind);
    DecodeDirect(
        head, [in](uint8_t* b, size_t n) { return std::fread(b, 1, n, in); }, opt.settings, &writer,
        &report, on_progress);
    if (in != stdin) std::fclose(in);
  } else if (direct_mp4) {
    // No GStreamer for ALS in MP4: its memory would hold the demuxer's copy
    // of a sample that may be the whole stream.
    report.container = "MP4 (ALS)";
    DecodeDirect(
        mp4_als.Header(), [&mp4_als](uint8_t* b, size_t n) { return mp4_als.Read(b, n); },
        opt.settings, &writer, &report, on_progress);
    std::fclose(in);
  } else {
    if (in != stdin) std::fclose(in);
#if VX_WITH_GSTREAMER
    gst_init(&argc, &argv);
    gst_plugin_vxaacdec_register();
    DecodeWithGStreamer(opt.input, opt.settings, &writer, &report, on_progress);
    gst_deinit();
#endif
  }
  progress.Finish();
  const bool wrote = writer.Close();

  if (!report.notes.empty()) std::fprintf(stderr, "vxaac-decode: note: %s\n", report.notes.c_str());
  if (writer.Files().size() > 1) {
    std::string files;
    for (const std::string& f : writer.Files()) files += (files.empty() ? "" : ", ") + f;
    std::fprintf(stderr, "vxaac-decode: note: the stream changes its format; written to %s\n",
                 files.c_str());
  }
  if (opt.info) PrintInfo(opt.output == "-" ? stderr : stdout, report);
  if (!report.fatal.empty()) {
    std::fprintf(stderr, "vxaac-decode: %s: %s\n", opt.input.c_str(), report.fatal.c_str());
    return report.frames > 0 ? kExitErrors : kExitUnusable;
  }
  if (!wrote) {
    std::fprintf(stderr, "vxaac-decode: %s\n", writer.Error().c_str());
    return kExitUnusable;
  }
  if (report.errors > 0) {
    std::fprintf(stderr, "vxaac-decode: %s: %llu decoding errors\n", opt.input.c_str(),
                 static_cast<unsigned long long>(report.errors));
    return kExitErrors;
  }
  return kExitOk;
}
