// The command-line decoder, run as users run it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/compare.h"
#include "common/wav.h"

namespace {

using Bytes = std::vector<uint8_t>;

// VX_TOOL_EMULATOR runs the tool of a cross build (empty otherwise).
const std::string kTool = VX_TOOL_EMULATOR + std::string(VX_BINARY_DIR) + "/tools/vxaac-decode";
// Without GStreamer the tool decodes elementary streams only.
constexpr bool kContainers = VX_WITH_GSTREAMER;
// GLib and GStreamer keep type and registry allocations until exit.
const std::string kLeakOptions =
    "LSAN_OPTIONS=suppressions=" VX_SOURCE_DIR "/tests/lsan.supp:print_suppressions=0 ";

std::string Data(const char* name) {
  return std::string(VX_TEST_DATA_DIR) + "/gst/" + name;
}
std::string Temp(const char* name) {
  return ::testing::TempDir() + "/vxdec_" + name;
}

struct ToolRun {
  int status = -1;
  std::string out;  // stdout and stderr
};

// The element is registered inside the tool; no plug-in path is needed.
ToolRun Exec(const std::string& args) {
  const std::string cmd = "env -u GST_PLUGIN_PATH " + kLeakOptions + kTool + " " + args + " 2>&1";
  ToolRun r;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

bool HaveDecoder() {
  static const bool have =
      Exec("--info \"" + Data("lc_44k_st_128.aac") + "\"").out.find("no AAC decoder") ==
      std::string::npos;
  return have;
}

#define REQUIRE_DECODER() \
  if (!HaveDecoder()) GTEST_SKIP() << "no decoder linked in"
// MP4, MPEG-TS and the --gst route need the GStreamer container path.
#define REQUIRE_CONTAINERS() \
  if (!kContainers) GTEST_SKIP() << "built without the GStreamer container path"

vxtest::Wav ReadWavOrFail(const std::string& path) {
  vxtest::Wav w;
  std::string error;
  EXPECT_TRUE(vxtest::ReadWav(path, &w, &error)) << path << ": " << error;
  return w;
}

Bytes ReadBytes(const std::string& path) {
  Bytes b;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return b;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) b.insert(b.end(), buf, buf + n);
  std::fclose(f);
  return b;
}

// --info tells what the stream carries (also SBR and parametric stereo
// that only the frames signal, in ADTS and behind an MP4 configuration of
// object type 2) apart from what the output makes of it.
TEST(VxaacDecode, InfoTellsWhatTheStreamCarriesApartFromTheOutput) {
  REQUIRE_DECODER();
  for (const char* file : {"ps_44k_24.aac", "ps_44k_24_implicit.m4a"}) {
    SCOPED_TRACE(file);
    if (!kContainers && std::string(file).ends_with(".m4a")) continue;
    ToolRun r = Exec("--info \"" + Data(file) + "\"");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("sbr:          yes (output at the core rate"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ps:           yes (not applied"), std::string::npos) << r.out;
    r = Exec("--info --ps full --sbr-output full-rate \"" + Data(file) + "\"");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("sbr:          yes (output at twice"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ps:           yes (stereo output)"), std::string::npos) << r.out;
  }
  const ToolRun lc = Exec("--info \"" + Data("lc_44k_st_128.aac") + "\"");
  EXPECT_NE(lc.out.find("sbr:          no\nps:           no"), std::string::npos) << lc.out;
}

TEST(VxaacDecode, ElementaryStreamsAndContainersGiveTheSamePcm) {
  REQUIRE_DECODER();
  const std::string adts = Temp("adts.wav"), adif = Temp("adif.wav"), m4a = Temp("m4a.wav");
  ToolRun r = Exec("--info \"" + Data("lc_44k_st_128.aac") + "\" -o " + adts);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("container:    ADTS"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("object type:  2 (AAC LC)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("frames:       43"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("samples:      44032 per channel"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("errors:       0"), std::string::npos) << r.out;
  ASSERT_EQ(Exec("-q \"" + Data("lc_44k_st_128.adif") + "\" -o " + adif).status, 0);
  const vxtest::Wav a = ReadWavOrFail(adts), b = ReadWavOrFail(adif);
  EXPECT_EQ(a.channels, 2);
  EXPECT_EQ(a.sample_rate, 44100);
  EXPECT_EQ(a.bits_per_sample, 16);
  EXPECT_EQ(a.Frames(), 44032u);
  EXPECT_TRUE(a.ints == b.ints);
  r = Exec("--info \"" + Data("lc_44k_st_128.m4a") + "\" -o " + m4a);  // through GStreamer
  if (kContainers) {
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("audio/mpeg, raw"), std::string::npos) << r.out;
    EXPECT_TRUE(a.ints == ReadWavOrFail(m4a).ints);
  } else {
    EXPECT_EQ(r.status, 2) << r.out;
  }

  const vxtest::Wav ref = ReadWavOrFail(Data("lc_44k_st_128_ref.wav"));
  const vxtest::CompareResult cmp = vxtest::Compare(a, ref);
  ASSERT_TRUE(cmp.ok) << cmp.error;
  EXPECT_LT(cmp.rms_lsb, 1.0) << vxtest::FormatResult(cmp);
  for (const std::string& f : {adts, adif, m4a}) std::remove(f.c_str());
}

// An MP4 edit list: the WAV holds exactly the edit's samples (FFmpeg's
// 28096 for this file), and a damaged frame in a container is an error.
TEST(VxaacDecode, ContainersKeepTheirEditListAndReportDamage) {
  REQUIRE_DECODER();
  REQUIRE_CONTAINERS();
  const std::string wav = Temp("gapless.wav");
  const ToolRun r = Exec("--info \"" + Data("gapless_2624.m4a") + "\" -o " + wav);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(ReadWavOrFail(wav).Frames(), 28096u);
  // A bit of the 20th access unit flipped inside the MP4.
  Bytes m4a = ReadBytes(Data("lc_44k_st_128.m4a"));
  const Bytes adts = ReadBytes(Data("lc_44k_st_128.aac"));
  const size_t frame20 = 20 * 15701 / 43;  // well inside the 20th raw data block
  const Bytes probe(adts.begin() + static_cast<long>(frame20),
                    adts.begin() + static_cast<long>(frame20 + 16));
  const auto at = std::search(m4a.begin(), m4a.end(), probe.begin(), probe.end());
  ASSERT_NE(at, m4a.end());
  for (int i = 0; i < 8; ++i) at[i] ^= 0x5A;
  const std::string damaged = Temp("damaged.m4a");
  FILE* f = std::fopen(damaged.c_str(), "wb");
  std::fwrite(m4a.data(), 1, m4a.size(), f);
  std::fclose(f);
  const ToolRun d = Exec("--info " + damaged + " -o " + wav);
  EXPECT_EQ(d.status, 1) << d.out;
  EXPECT_EQ(ReadWavOrFail(wav).Frames(), 44032u);
  std::remove(damaged.c_str());
  std::remove(wav.c_str());
}

// MP4 with 960-sample frames: the frameLengthFlag reaches the decoder
// through the demultiplexer's codec data, and every frame gives 960
// samples at the accuracy of the library's own decode.
TEST(VxaacDecode, Mp4With960SampleFramesKeepsItsFrameLength) {
  REQUIRE_DECODER();
  REQUIRE_CONTAINERS();
  const std::string base = std::string(VX_TEST_DATA_DIR) + "/frame960/lc960_48_mo";
  const std::string out = Temp("frame960.wav");
  const ToolRun r = Exec("--info \"" + base + ".m4a\" -o " + out);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("frames:       25"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("samples:      24000 per channel"), std::string::npos) << r.out;
  const vxtest::CompareResult cmp =
      vxtest::Compare(ReadWavOrFail(out), ReadWavOrFail(base + ".wav"));
  ASSERT_TRUE(cmp.ok) << cmp.error;
  EXPECT_LE(cmp.rms_lsb, 0.30) << vxtest::FormatResult(cmp);
  EXPECT_LE(cmp.max_lsb, 1.0) << vxtest::FormatResult(cmp);
  std::remove(out.c_str());
}

// LOAS files are decoded directly, LATM in MPEG-TS through GStreamer: both
// carry the ADTS clip's access units.  A stream that changes its format
// keeps the first one in the file (exit status 1, not an unusable input),
// or continues in a second file with --split-formats.
TEST(VxaacDecode, LoasFilesAndLatmInTransportStreams) {
  REQUIRE_DECODER();
  REQUIRE_CONTAINERS();
  const std::string dir = std::string(VX_TEST_DATA_DIR);
  // Names of its own: the tests run in parallel.
  const std::string adts = Temp("latm_adts.wav"), loas = Temp("latm_loas.wav"),
                    ts = Temp("latm_ts.wav");
  ASSERT_EQ(Exec("-q \"" + dir + "/aac/lc_44k_st_ms.aac\" -o " + adts).status, 0);
  ToolRun r = Exec("--info \"" + dir + "/latm/lc_44k_st_ms.loas\" -o " + loas);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("container:    LOAS"), std::string::npos) << r.out;
  r = Exec("--info \"" + dir + "/latm/lc_44k_st_ms_latm.ts\" -o " + ts);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("audio/mpeg, loas"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("object type:  2 (AAC LC)"), std::string::npos) << r.out;
  const vxtest::Wav a = ReadWavOrFail(adts), b = ReadWavOrFail(loas), c = ReadWavOrFail(ts);
  EXPECT_GT(a.Frames(), 0u);
  EXPECT_TRUE(a.ints == b.ints);
  EXPECT_TRUE(a.ints == c.ints);

  const std::string sw = Temp("latm_switch.wav");
  r = Exec("-q \"" + dir + "/latm/switch_st_51.loas\" -o " + sw);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("changes its format from 2 channels at 44100 Hz to 6 at 24000 Hz"),
            std::string::npos)
      << r.out;
  const vxtest::Wav d = ReadWavOrFail(sw);
  EXPECT_TRUE(d.ints == a.ints);

  const std::string split = Temp("latm_split.wav"), split2 = Temp("latm_split-2.wav"),
                    b51 = Temp("latm_51.wav");
  ASSERT_EQ(Exec("-q \"" + dir + "/aac/lc_24k_51_crc.aac\" -o " + b51).status, 0);
  for (const char* route : {"", "--gst "}) {
    SCOPED_TRACE(route);
    r = Exec(std::string(route) + "-q --split-formats \"" + dir + "/latm/switch_st_51.loas\" -o " +
             split);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(ReadWavOrFail(split).ints == a.ints);
    const vxtest::Wav second = ReadWavOrFail(split2);
    EXPECT_EQ(second.channels, 6);
    EXPECT_TRUE(second.ints == ReadWavOrFail(b51).ints);
  }
  for (const std::string& f : {adts, loas, ts, sw, split, split2, b51}) std::remove(f.c_str());
}

TEST(VxaacDecode, MultichannelWavIsExtensibleInWavOrder) {
  REQUIRE_DECODER();
  const vxtest::Wav ref = ReadWavOrFail(Data("lc_48k_51_384_ref16.wav"));
  for (const char* route : {"", "--gst "}) {
    if (!kContainers && *route) continue;
    SCOPED_TRACE(route);
    const std::string out = Temp("51.wav");
    const ToolRun r = Exec(std::string(route) + "\"" + Data("lc_48k_51_384.aac") + "\" -o " + out);
    ASSERT_EQ(r.status, 0) << r.out;
    const Bytes bytes = ReadBytes(out);
    ASSERT_GT(bytes.size(), 44u);
    EXPECT_EQ(bytes[20] | (bytes[21] << 8), 0xFFFE);  // WAVE_FORMAT_EXTENSIBLE
    const vxtest::Wav w = ReadWavOrFail(out);
    EXPECT_EQ(w.channels, 6);
    EXPECT_EQ(w.channel_mask, 0x3Fu);  // FL FR FC LFE BL BR
    const vxtest::CompareResult cmp = vxtest::Compare(w, ref);
    ASSERT_TRUE(cmp.ok) << cmp.error;
    EXPECT_LT(cmp.rms_lsb, 1.0) << vxtest::FormatResult(cmp);
    std::remove(out.c_str());
  }
}

TEST(VxaacDecode, RawOutputAndPipes) {
  REQUIRE_DECODER();
  const std::string wav = Temp("p.wav"), raw = Temp("p.raw"), piped = Temp("piped.wav");
  ASSERT_EQ(Exec("\"" + Data("lc_44k_st_128.aac") + "\" -o " + wav).status, 0);
  ASSERT_EQ(Exec("--raw \"" + Data("lc_44k_st_128.aac") + "\" -o " + raw).status, 0);
  const std::string cmd = "cat \"" + Data("lc_44k_st_128.aac") + "\" | env -u GST_PLUGIN_PATH " +
                          kLeakOptions + kTool + " - -o - > " + piped;
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  const vxtest::Wav w = ReadWavOrFail(wav);
  const Bytes r = ReadBytes(raw);
  ASSERT_EQ(r.size(), w.ints.size() * 2);
  for (size_t i = 0; i < w.ints.size(); ++i)
    ASSERT_EQ(static_cast<int16_t>(r[2 * i] | (r[2 * i + 1] << 8)), w.ints[i]) << i;
  // On a pipe the header keeps its streaming sizes; the samples are the same.
  const vxtest::Wav p = ReadWavOrFail(piped);
  EXPECT_TRUE(p.ints == w.ints);
  for (const std::string& f : {wav, raw, piped}) std::remove(f.c_str());
}

TEST(VxaacDecode, DamagedStreamDecodesWithExitStatusOne) {
  REQUIRE_DECODER();
  Bytes s = ReadBytes(Data("lc_44k_st_crc.aac"));
  ASSERT_GT(s.size(), 2000u);
  s[1500] ^= 0x10;  // inside a CRC-protected frame
  const std::string in = Temp("damaged.aac"), out = Temp("damaged.wav");
  FILE* f = std::fopen(in.c_str(), "wb");
  std::fwrite(s.data(), 1, s.size(), f);
  std::fclose(f);
  const ToolRun r = Exec("--info " + in + " -o " + out);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("frames:       16"), std::string::npos) << r.out;
  EXPECT_EQ(ReadWavOrFail(out).Frames(), 16u * 1024);
  std::remove(in.c_str());
  std::remove(out.c_str());
}

TEST(VxaacDecode, AlsOriginalFileIsRestoredAndItsCrcChecked) {
  REQUIRE_DECODER();
  const std::string als = std::string(VX_TEST_DATA_DIR) + "/als/als_16b_mo_odd.als";
  const std::string original = std::string(VX_TEST_DATA_DIR) + "/als/alsA_16b_mo_odd.wav";
  const std::string out = Temp("restored.wav");
  const ToolRun r = Exec("--info --restore-original \"" + als + "\" -o " + out);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("crc:          match"), std::string::npos) << r.out;
  const Bytes restored = ReadBytes(out), expected = ReadBytes(original);
  ASSERT_FALSE(expected.empty());
  EXPECT_TRUE(restored == expected) << restored.size() << " vs " << expected.size();

  // A flipped bit in the last frame: a bad frame or a CRC mismatch, exit 1.
  Bytes damaged = ReadBytes(als);
  damaged[damaged.size() - 200] ^= 0x04;
  const std::string in = Temp("damaged.als");
  FILE* f = std::fopen(in.c_str(), "wb");
  std::fwrite(damaged.data(), 1, damaged.size(), f);
  std::fclose(f);
  const ToolRun bad = Exec("--info \"" + in + "\" -o /dev/null");
  EXPECT_EQ(bad.status, 1) << bad.out;
  EXPECT_EQ(bad.out.find("crc:          match"), std::string::npos) << bad.out;

  // Restoring needs an ALS stream.
  EXPECT_EQ(Exec("--restore-original \"" + Data("lc_44k_st_128.aac") + "\" -o /dev/null").status,
            2);
  for (const std::string& t : {out, in}) std::remove(t.c_str());
}

// 512 channels from a raw stream, from MP4 read straight from the file and
// from MP4 through GStreamer (parsebin must not put aacparse in front, which
// refuses them): WAVE_FORMAT_EXTENSIBLE with a zero channel mask, channels
// in the stream's order, the same samples every way.
TEST(VxaacDecode, AlsWithManyChannels) {
  REQUIRE_DECODER();
  Bytes first;
  const std::string dir = std::string(VX_TEST_DATA_DIR) + "/als/";
  for (const std::string& args :
       {"\"" + dir + "als_16b_512ch.als\"", "--info \"" + dir + "als_16b_512ch.mp4\"",
        "--gst \"" + dir + "als_16b_512ch.mp4\""}) {
    SCOPED_TRACE(args);
    if (!kContainers && args.starts_with("--gst")) continue;
    const std::string out = Temp("512ch.wav");
    const ToolRun r = Exec(args + " -o " + out);
    ASSERT_EQ(r.status, 0) << r.out;
    if (args.starts_with("--info")) {
      EXPECT_NE(r.out.find("container:    MP4 (ALS)"), std::string::npos) << r.out;
    }
    const Bytes wav = ReadBytes(out);
    std::remove(out.c_str());
    ASSERT_GT(wav.size(), 68u);
    EXPECT_EQ(wav[20] | (wav[21] << 8), 0xFFFE);  // WAVE_FORMAT_EXTENSIBLE
    EXPECT_EQ(wav[22] | (wav[23] << 8), 512);
    EXPECT_EQ(wav[40] | wav[41] | wav[42] | wav[43], 0);  // no speaker mask
    EXPECT_EQ(wav.size(), 68u + 100 * 512 * 2);           // 100 samples per channel
    if (first.empty()) first = wav;
    EXPECT_TRUE(wav == first);
  }
}

TEST(VxaacDecode, UnusableInputAndUsageExitWithTwo) {
  EXPECT_EQ(Exec("").status, 2);
  EXPECT_EQ(Exec("--help").status, 0);
  EXPECT_EQ(Exec("\"" + Data("lc_44k_st_128.aac") + "\"").status, 2);  // no output, no --info
  EXPECT_EQ(Exec("--ps bogus \"" + Data("lc_44k_st_128.aac") + "\" -o /dev/null").status, 2);
  EXPECT_EQ(Exec("--sbr-output").status, 2);
  EXPECT_EQ(Exec("--kernels mmx \"" + Data("lc_44k_st_128.aac") + "\" -o /dev/null").status, 2);
  EXPECT_EQ(Exec("/nonexistent/in.aac -o /dev/null").status, 2);
  EXPECT_EQ(Exec("\"" + Data("lc_44k_st_128.aac") + "\" -o /nonexistent/dir/out.wav").status, 2);
  const ToolRun text = Exec("\"" + std::string(VX_SOURCE_DIR) + "/README.md\" -o /dev/null");
  EXPECT_EQ(text.status, 2) << text.out;
  const ToolRun piped_container = Exec("- -o /dev/null < \"" + Data("lc_44k_st_128.m4a") + "\"");
  EXPECT_EQ(piped_container.status, 2) << piped_container.out;
}

}  // namespace
