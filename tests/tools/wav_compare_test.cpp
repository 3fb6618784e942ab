#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/compare.h"
#include "common/wav.h"

using namespace vxtest;

namespace {

Wav IntWav(int channels, int bits, std::vector<int32_t> samples, uint32_t mask = 0) {
  Wav w;
  w.channels = channels;
  w.sample_rate = 44100;
  w.bits_per_sample = bits;
  w.channel_mask = mask;
  w.ints = std::move(samples);
  return w;
}

Wav FloatWav(int channels, int bits, std::vector<double> samples) {
  Wav w;
  w.channels = channels;
  w.sample_rate = 48000;
  w.bits_per_sample = bits;
  w.is_float = true;
  w.floats = std::move(samples);
  return w;
}

Wav RoundTrip(const Wav& w) {
  const std::vector<uint8_t> bytes = SerializeWav(w);
  Wav back;
  std::string error;
  EXPECT_TRUE(ParseWav(bytes.data(), bytes.size(), &back, &error)) << error;
  return back;
}

TEST(Wav, RoundTripsEveryFormat) {
  const Wav cases[] = {
      IntWav(1, 8, {-128, 0, 127}),
      IntWav(2, 16, {-32768, 32767, 1, -1}),
      IntWav(3, 24, {-8388608, 8388607, 5, -5, 0, 1}, 0x7),
      IntWav(1, 32, {INT32_MIN, INT32_MAX, 12345}),
      FloatWav(2, 32, {0.5, -1.25, 1e-3, 0.0}),
      FloatWav(1, 64, {0.1, -0.3}),
  };
  for (const Wav& w : cases) {
    const Wav b = RoundTrip(w);
    EXPECT_EQ(b.channels, w.channels);
    EXPECT_EQ(b.sample_rate, w.sample_rate);
    EXPECT_EQ(b.bits_per_sample, w.bits_per_sample);
    EXPECT_EQ(b.is_float, w.is_float);
    EXPECT_EQ(b.channel_mask, w.channel_mask);
    EXPECT_EQ(b.ints, w.ints);
    ASSERT_EQ(b.floats.size(), w.floats.size());
    for (size_t i = 0; i < w.floats.size(); ++i)
      EXPECT_EQ(b.floats[i],
                w.bits_per_sample == 32 ? static_cast<float>(w.floats[i]) : w.floats[i]);
  }
  const Wav b = RoundTrip(IntWav(1, 8, {-128, 0, 127}));
  EXPECT_EQ(b.Normalized(0), -1.0);
  EXPECT_EQ(b.Normalized(2), 127.0 / 128);
  EXPECT_EQ(RoundTrip(IntWav(1, 24, {-4194304})).Normalized(0), -0.5);
}

// Header of a WAV with a custom chunk layout around fmt and data.
std::vector<uint8_t> Chunked(
    const std::vector<std::pair<std::string, std::vector<uint8_t>>>& chunks) {
  std::vector<uint8_t> v = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
  for (const auto& [id, body] : chunks) {
    v.insert(v.end(), id.begin(), id.end());
    const uint32_t n = static_cast<uint32_t>(body.size());
    for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(n >> (8 * i)));
    v.insert(v.end(), body.begin(), body.end());
    if (n & 1) v.push_back(0);
  }
  return v;
}

const std::vector<uint8_t> kFmtMono16 = {1,    0,    1, 0, 0x44, 0xAC, 0,  0,
                                         0x88, 0x58, 1, 0, 2,    0,    16, 0};

TEST(Wav, SkipsOtherChunksAndToleratesStreamedSizes) {
  std::vector<uint8_t> bytes = Chunked({{"LIST", {1, 2, 3}},  // odd size, padded
                                        {"fmt ", kFmtMono16},
                                        {"fact", {0, 0, 0, 0}},
                                        {"data", {0x01, 0x00, 0xFF, 0xFF}}});
  Wav w;
  std::string error;
  ASSERT_TRUE(ParseWav(bytes.data(), bytes.size(), &w, &error)) << error;
  EXPECT_EQ(w.ints, (std::vector<int32_t>{1, -1}));

  // A data size of 0xFFFFFFFF (written while streaming) means "to the end";
  // a trailing half sample is dropped.
  bytes = Chunked({{"fmt ", kFmtMono16}, {"data", {0x02, 0x00, 0x03}}});
  bytes.pop_back();  // no pad byte: the file ends inside the second sample
  bytes[bytes.size() - 7] = bytes[bytes.size() - 6] = bytes[bytes.size() - 5] =
      bytes[bytes.size() - 4] = 0xFF;
  ASSERT_TRUE(ParseWav(bytes.data(), bytes.size(), &w, &error)) << error;
  EXPECT_EQ(w.ints, (std::vector<int32_t>{2}));
}

TEST(Wav, RejectsMalformedFiles) {
  Wav w;
  std::string error;
  const std::vector<uint8_t> bad_align = {1, 0, 2, 0, 0x44, 0xAC, 0, 0, 0, 0, 0, 0, 2, 0, 16, 0};
  const std::vector<uint8_t> bad_bits = {1, 0, 1, 0, 0x44, 0xAC, 0, 0, 0, 0, 0, 0, 2, 0, 12, 0};
  const std::vector<uint8_t> no_channels = {1, 0, 0, 0, 0x44, 0xAC, 0, 0, 0, 0, 0, 0, 0, 0, 16, 0};
  const std::vector<std::vector<uint8_t>> inputs = {
      {},
      {'R', 'I', 'F', 'F'},
      Chunked({{"data", {0, 0}}}),                      // data before fmt
      Chunked({{"fmt ", kFmtMono16}}),                  // no data
      Chunked({{"fmt ", {1, 0, 1, 0}}, {"data", {}}}),  // short fmt
      Chunked({{"fmt ", bad_align}, {"data", {0, 0, 0, 0}}}),
      Chunked({{"fmt ", bad_bits}, {"data", {0, 0}}}),
      Chunked({{"fmt ", no_channels}, {"data", {0, 0}}}),
  };
  for (size_t i = 0; i < inputs.size(); ++i)
    EXPECT_FALSE(ParseWav(inputs[i].data(), inputs[i].size(), &w, &error)) << i;
  std::vector<uint8_t> truncated = SerializeWav(IntWav(2, 16, {1, 2, 3, 4}));
  truncated.resize(30);  // inside the fmt chunk
  EXPECT_FALSE(ParseWav(truncated.data(), truncated.size(), &w, &error));
  EXPECT_FALSE(ReadWav("/nonexistent/x.wav", &w, &error));
}

TEST(Compare, MeasuresDifferencesOnThe16BitScale) {
  // Reference 1.0 = 32768; values past full scale are clipped first.
  const Wav ref = FloatWav(2, 32, {100 / 32768.0, 1.5, -2.0, 0.0});
  const int16_t exact[] = {100, 32767, -32768, 0};
  CompareResult r = Compare16(exact, 2, 2, ref);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.rms_lsb, 0.0);
  EXPECT_EQ(r.max_lsb, 0.0);
  EXPECT_EQ(r.frames, 2u);

  const int16_t off[] = {102, 32767, -32768, -2};
  r = Compare16(off, 2, 2, ref);
  EXPECT_DOUBLE_EQ(r.max_lsb, 2.0);
  EXPECT_DOUBLE_EQ(r.rms_lsb, std::sqrt(8.0 / 4));
  EXPECT_EQ(r.max_channel, 0);
  EXPECT_EQ(r.max_frame, 0u);
}

TEST(Compare, OffsetMapAndLengths) {
  const Wav ref = IntWav(2, 16, {1, 10, 2, 20, 3, 30, 4, 40});
  const int16_t swapped_late[] = {20, 2, 30, 3, 40, 4};
  CompareOptions o;
  o.offset = 1;
  o.channel_map = {1, 0};
  CompareResult r = Compare16(swapped_late, 3, 2, ref, o);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.max_lsb, 0.0);
  EXPECT_EQ(r.frames, 3u);
  EXPECT_EQ(r.ours_frames, 3u);
  EXPECT_EQ(r.ref_frames, 4u);
  o.offset = -1;  // our sample 1 against reference sample 0
  r = Compare16(swapped_late, 3, 2, ref, o);
  EXPECT_EQ(r.frames, 2u);
  EXPECT_GT(r.max_lsb, 0.0);
  o.offset = 10;
  r = Compare16(swapped_late, 3, 2, ref, o);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.frames, 0u);

  o = {};
  EXPECT_FALSE(Compare16(swapped_late, 2, 3, ref, o).ok);  // 3 channels vs 2
  o.channel_map = {0, 2};
  EXPECT_FALSE(Compare16(swapped_late, 3, 2, ref, o).ok);
  o.channel_map = {0};
  EXPECT_FALSE(Compare16(swapped_late, 3, 2, ref, o).ok);
}

TEST(Compare, LevelsPerFrameIgnoreSilence) {
  // Frame 0 loud, frame 1 silent in both, frame 2 at half the level in ours.
  std::vector<double> ref_s;
  std::vector<int16_t> ours;
  for (int i = 0; i < 3 * 1024; ++i) {
    const double v = (i / 1024 == 1) ? 0.0 : 0.25 * std::sin(i * 0.05);
    ref_s.push_back(v);
    ours.push_back(static_cast<int16_t>(std::lrint(v * 32768 * (i / 1024 == 2 ? 0.5 : 1.0))));
  }
  const Wav ref = FloatWav(1, 64, ref_s);
  CompareResult r = Compare16(ours.data(), ours.size(), 1, ref);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.level_frames, 2u);
  EXPECT_NEAR(r.worst_level_db, 6.02, 0.01);
  // Noise where the reference is silent counts, measured against the floor.
  ours[1500] = 16384;
  r = Compare16(ours.data(), ours.size(), 1, ref);
  EXPECT_EQ(r.level_frames, 3u);
  EXPECT_GT(r.worst_level_db, 20.0);
}

// The command-line tool built from the same code.
TEST(CompareTool, ExitStatusFollowsThresholds) {
  const std::string tool = std::string(VX_BINARY_DIR) + "/tools/vxaac-compare";
  FILE* probe = std::fopen(tool.c_str(), "rb");
  if (!probe) GTEST_SKIP() << "vxaac-compare not built";
  std::fclose(probe);
  const std::string dir = ::testing::TempDir();
  const std::string a = dir + "/vx_cmp_a.wav", b = dir + "/vx_cmp_b.wav";
  std::string error;
  ASSERT_TRUE(WriteWav(a, IntWav(1, 16, {0, 100, 200, 300}), &error));
  ASSERT_TRUE(
      WriteWav(b, FloatWav(1, 32, {0, 101 / 32768.0, 200 / 32768.0, 300 / 32768.0}), &error));
  auto run = [&](const std::string& args) {
    const int st = std::system((VX_TOOL_EMULATOR + tool + " " + args + " >/dev/null 2>&1").c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  };
  EXPECT_EQ(run(a + " " + b), 0);
  EXPECT_EQ(run("--max-abs 1 " + a + " " + b), 0);
  EXPECT_EQ(run("--max-abs 0.5 " + a + " " + b), 1);
  EXPECT_EQ(run("--max-rms 0.4 " + a + " " + b), 1);
  EXPECT_EQ(run("--max-rms 0.6 " + a + " " + b), 0);
  EXPECT_EQ(run("--max-rms x " + a + " " + b), 2);
  EXPECT_EQ(run(a), 2);
  EXPECT_EQ(run(a + " /nonexistent.wav"), 2);
  std::remove(a.c_str());
  std::remove(b.c_str());
}

}  // namespace
