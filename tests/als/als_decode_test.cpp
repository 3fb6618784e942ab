// ALS streams decode to exactly the encoder's input.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "als/als_decoder.h"
#include "als/als_internal.h"
#include "dsp/dsp_core.h"

namespace {

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)),
                              std::istreambuf_iterator<char>());
}

// The bytes of the "data" chunk of a RIFF WAVE file.
std::vector<uint8_t> WavData(const std::vector<uint8_t>& wav) {
  size_t pos = 12;
  while (pos + 8 <= wav.size()) {
    const uint32_t len =
        wav[pos + 4] | (wav[pos + 5] << 8) | (wav[pos + 6] << 16) | (uint32_t(wav[pos + 7]) << 24);
    if (std::memcmp(&wav[pos], "data", 4) == 0) {
      return std::vector<uint8_t>(wav.begin() + pos + 8,
                                  wav.begin() + std::min(wav.size(), pos + 8 + len));
    }
    pos += 8 + len + (len & 1);
  }
  return {};
}

struct Decoded {
  std::vector<uint8_t> pcm;
  int bad_frames = 0;
  int crc = -1;
};

Decoded DecodeRaw(const std::vector<uint8_t>& file, int with_file_data = 0, int stream_order = 0) {
  Decoded d;
  EXPECT_GE(file.size(), 4u);
  EXPECT_EQ(std::memcmp(file.data(), "ALS\0", 4), 0);
  UMC::BitReader r;
  UMC::BitReaderInit(r, file.data() + 4, static_cast<int32_t>(file.size() - 4));
  AlsConfig cfg;
  EXPECT_EQ(ALSConfigParse(cfg, r), 0);
  const int64_t size = ALSStateGetSize(cfg);
  EXPECT_GT(size, 0);
  std::vector<uint8_t> mem(static_cast<size_t>(size));
  AlsState* s =
      ALSStateInit(cfg, mem.data(), file.data() + 4, static_cast<int32_t>(file.size() - 4));
  EXPECT_NE(s, nullptr);
  if (!s) return d;
  size_t pos = 4 + static_cast<size_t>((UMC::BitReaderBitsConsumed(r) + 7) / 8);
  std::vector<uint8_t> out(static_cast<size_t>(ALSMaxFrameBytes(s)) + cfg.header_size +
                           cfg.trailer_size);
  for (uint32_t f = 0; f < cfg.frames && pos <= file.size(); ++f) {
    int32_t used = 0, written = 0;
    const int32_t st = ALSDecodeFrame(
        file.data() + pos, &used, out.data(), &written, static_cast<int32_t>(file.size() - pos),
        static_cast<int32_t>(out.size()), with_file_data, s, stream_order);
    if (st != 0) {
      ++d.bad_frames;
      if (used == 0) break;
    }
    d.pcm.insert(d.pcm.end(), out.begin(), out.begin() + written);
    pos += used;
  }
  d.crc = ALSCrcCheck(s);
  return d;
}

// A fixture stream opened as the front end does it, with the frame offsets
// found while decoding.
struct Opened {
  std::vector<uint8_t> file;
  AlsConfig cfg{};
  std::unique_ptr<uint8_t[]> mem;
  int64_t size = 0;
  AlsState* s = nullptr;
  size_t first_frame = 0;

  explicit Opened(const std::string& name, size_t align_offset = 0)
      : file(ReadFile(VX_TEST_DATA_DIR "/als/" + name)) {
    UMC::BitReader r;
    UMC::BitReaderInit(r, file.data() + 4, static_cast<int32_t>(file.size() - 4));
    if (ALSConfigParse(cfg, r) != 0) return;
    size = ALSStateGetSize(cfg);
    mem.reset(new uint8_t[static_cast<size_t>(size) + 64]);
    s = ALSStateInit(cfg, Aligned(mem.get()) + align_offset, file.data() + 4,
                     static_cast<int32_t>(file.size() - 4));
    first_frame = 4 + static_cast<size_t>((UMC::BitReaderBitsConsumed(r) + 7) / 8);
  }
  static uint8_t* Aligned(uint8_t* p) {
    return reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(p) + 31) & ~uintptr_t{31});
  }
  // Decodes one frame at `pos`; appends its PCM; returns the status.
  int32_t Frame(size_t& pos, std::vector<uint8_t>& pcm) {
    std::vector<uint8_t> out(static_cast<size_t>(ALSMaxFrameBytes(s)));
    int32_t used = 0, written = 0;
    const int32_t st = ALSDecodeFrame(file.data() + pos, &used, out.data(), &written,
                                      static_cast<int32_t>(file.size() - pos),
                                      static_cast<int32_t>(out.size()), 0, s);
    pcm.insert(pcm.end(), out.begin(), out.begin() + written);
    pos += static_cast<size_t>(used);
    return st;
  }
};

class AlsStreams : public ::testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(AlsStreams, DecodesBitExactly) {
  const std::string dir = VX_TEST_DATA_DIR "/als/";
  const auto file = ReadFile(dir + GetParam().first);
  const auto ref = WavData(ReadFile(dir + GetParam().second));
  ASSERT_FALSE(file.empty());
  ASSERT_FALSE(ref.empty());
  // The reference code, then the vectorised code the processor selects.
  dspForceCpuClass(0);
  const Decoded generic = DecodeRaw(file);
  dspStaticInit();
  Decoded d = DecodeRaw(file);
  EXPECT_EQ(generic.pcm, d.pcm);
  if (std::string(GetParam().first).find("_8b") != std::string::npos) {
    for (auto& b : d.pcm) b = static_cast<uint8_t>(b + 128);  // the file is unsigned 8-bit
  }

  EXPECT_EQ(d.bad_frames, 0);
  ASSERT_EQ(d.pcm.size(), ref.size());
  size_t first_diff = ref.size();
  for (size_t i = 0; i < ref.size(); ++i) {
    if (d.pcm[i] != ref[i]) {
      first_diff = i;
      break;
    }
  }
  EXPECT_EQ(first_diff, ref.size()) << "first differing byte";
  EXPECT_NE(d.crc, 0) << "CRC mismatch";
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, AlsStreams,
    ::testing::Values(std::make_pair("als_16b_st.als", "alsA_16b_st.wav"),
                      std::make_pair("als_16b_st_bgmc.als", "alsA_16b_st.wav"),
                      std::make_pair("als_16b_st_ltp.als", "alsA_16b_st.wav"),
                      std::make_pair("als_16b_st_indep.als", "alsA_16b_st.wav"),
                      std::make_pair("als_16b_st_adapt.als", "alsA_16b_st.wav"),
                      std::make_pair("als_16b_st_o160.als", "alsA_16b_st.wav"),
                      std::make_pair("als_16b_st_g3.als", "alsA_16b_st.wav"),
                      std::make_pair("als_16b_st_ra.als", "alsA_16b_st.wav"),
                      std::make_pair("als_16b_st_z1.als", "alsA_16b_st.wav"),
                      std::make_pair("als_16b_st_z2.als", "alsA_16b_st.wav"),
                      std::make_pair("als_16b_st_z3.als", "alsA_16b_st.wav"),
                      std::make_pair("als_16b_st_combo.als", "alsA_16b_st.wav"),
                      std::make_pair("als_8b_mo.als", "alsA_8b_mo.wav"),
                      std::make_pair("als_24b_st.als", "alsA_24b_st.wav"),
                      std::make_pair("als_24b_st_lsb.als", "alsA_20in24_st.wav"),
                      std::make_pair("als_32b_st.als", "alsA_32b_st.wav"),
                      std::make_pair("als_fl_st.als", "alsA_fl_st.wav"),
                      std::make_pair("als_16b_51.als", "alsA_16b_51.wav"),
                      std::make_pair("als_16b_51_mcc.als", "alsA_16b_51.wav"),
                      std::make_pair("als_16b_51_sort.als", "alsA_16b_51.wav"),
                      std::make_pair("als_16b_51_combo.als", "alsA_16b_51.wav"),
                      std::make_pair("als_16b_mo_odd.als", "alsA_16b_mo_odd.wav")));

// Streams of the reference encoder that exercise its corner cases (see
// tests/data/als/README.md): every frame decodes and the samples match the
// CRC the encoder took of its input.
class AlsCornerStreams : public ::testing::TestWithParam<const char*> {};

TEST_P(AlsCornerStreams, MatchTheEncodersCrc) {
  const auto file = ReadFile(std::string(VX_TEST_DATA_DIR "/als/") + GetParam());
  ASSERT_GT(file.size(), 4u);
  UMC::BitReader r;
  UMC::BitReaderInit(r, file.data() + 4, static_cast<int32_t>(file.size() - 4));
  AlsConfig cfg;
  ASSERT_EQ(ALSConfigParse(cfg, r), 0);
  ASSERT_TRUE(cfg.crc_enabled);
  const Decoded d = DecodeRaw(file);
  EXPECT_EQ(d.bad_frames, 0);
  EXPECT_EQ(d.crc, 1);
  const size_t bytes = cfg.floating ? 4 : static_cast<size_t>(cfg.resolution / 8);
  EXPECT_EQ(d.pcm.size(), size_t{cfg.samples} * static_cast<size_t>(cfg.channels) * bytes);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, AlsCornerStreams,
                         ::testing::Values("als_8b_mo_last1.als", "als_8b_st_aiff.als",
                                           "als_32b_st_extremes.als", "als_32b_st_1.als",
                                           "als_fl_st_ra2.als", "als_fl_4ch_wild.als",
                                           "als_24b_4ch_bgmc_end.als", "als_16b_st_mcc64k.als",
                                           "als_16b_st_bgmc_last.als", "als_16b_512ch.als",
                                           "als_16b_mo_ra_noise.als"));

// 8-bit AIFF samples are signed in the file: the signed output form is the
// file's bytes, like the original form.
TEST(Als, EightBitAiffComesOutAsTheFileHoldsIt) {
  const auto file = ReadFile(VX_TEST_DATA_DIR "/als/als_8b_st_aiff.als");
  EXPECT_EQ(DecodeRaw(file, 0, 0).pcm, DecodeRaw(file, 0, 1).pcm);
}

TEST(Als, BlockPartitionsAndLastFrame) {
  int32_t len[32];
  ASSERT_EQ(AlsBlockPartition(0x4000u << 16, 4096, len), 2);
  EXPECT_EQ(len[0], 2048);
  EXPECT_EQ(len[1], 2048);
  ASSERT_EQ(AlsBlockPartition(0x6000u << 16, 4096, len), 3);
  EXPECT_EQ(len[0], 1024);
  EXPECT_EQ(len[1], 1024);
  EXPECT_EQ(len[2], 2048);
  EXPECT_EQ(AlsBlockPartition(0, 4096, len), 1);
  EXPECT_EQ(AlsBlockPartition(0x7FFFFFFFu, 4096, len), 32);  // every split: 32 blocks of 128
  EXPECT_EQ(len[31], 128);
  AlsBlockPartition(0x6000u << 16, 4096, len);
  ASSERT_EQ(AlsShortenPartition(len, 3, 1000), 1);
  EXPECT_EQ(len[0], 1000);
}

TEST(Als, RiceCodes) {
  // Rice(0): 0, 10, 110, 1110 -> 0, -1, 1, -2.  Rice(2): q=1 r=3 -> 3; q=0 r=1 -> -2.
  const uint8_t bits[] = {0b01011011, 0b10101100, 0b10000000, 0, 0, 0, 0, 0};
  UMC::BitReader r;
  UMC::BitReaderInit(r, bits, sizeof(bits));
  EXPECT_EQ(AlsReadRice(r, 0), 0);
  EXPECT_EQ(AlsReadRice(r, 0), -1);
  EXPECT_EQ(AlsReadRice(r, 0), 1);
  EXPECT_EQ(AlsReadRice(r, 0), -2);
  EXPECT_EQ(AlsReadRice(r, 2), 3);
  EXPECT_EQ(AlsReadRice(r, 2), -2);
}

// Configuration values, and the file header and trailer kept in the stream.
TEST(Als, ConfigurationAndOriginalFile) {
  const auto file = ReadFile(VX_TEST_DATA_DIR "/als/als_16b_mo_odd.als");
  const auto wav = ReadFile(VX_TEST_DATA_DIR "/als/alsA_16b_mo_odd.wav");
  UMC::BitReader r;
  UMC::BitReaderInit(r, file.data() + 4, static_cast<int32_t>(file.size() - 4));
  AlsConfig cfg;
  ASSERT_EQ(ALSConfigParse(cfg, r), 0);
  EXPECT_EQ(cfg.samp_freq, 22050u);
  EXPECT_EQ(cfg.samples, 44101u);
  EXPECT_EQ(cfg.frames, 44u);
  EXPECT_EQ(cfg.last_frame_length, 44101 - 43 * 1024);
  // With the file data the decoder reproduces the original file byte for byte.
  const Decoded d = DecodeRaw(file, 1, 1);
  EXPECT_EQ(d.pcm, wav);
  EXPECT_EQ(d.crc, 1);
  // A configuration cut inside the stored header fails.
  UMC::BitReaderInit(r, file.data() + 4, 40);
  EXPECT_EQ(ALSConfigParse(cfg, r), -1);
}

// The state block moved mid-stream (same alignment) decodes on after the
// relocation: RLS-LMS, floating-point (LZ dictionary) and MCC states.
TEST(Als, RelocatedStateDecodesOn) {
  for (const char* name : {"als_16b_st_z3.als", "als_fl_st.als", "als_16b_51_mcc.als"}) {
    Opened a(name);
    ASSERT_NE(a.s, nullptr);
    const Decoded whole = DecodeRaw(a.file);
    std::vector<uint8_t> pcm;
    size_t pos = a.first_frame;
    const uint32_t half = a.cfg.frames / 2;
    for (uint32_t f = 0; f < half; ++f) ASSERT_EQ(a.Frame(pos, pcm), 0);
    std::unique_ptr<uint8_t[]> moved(new uint8_t[static_cast<size_t>(a.size) + 64]);
    uint8_t* from = Opened::Aligned(a.mem.get());
    uint8_t* to = Opened::Aligned(moved.get());
    std::memcpy(to, from, static_cast<size_t>(a.size));
    std::memset(from, 0xEE, static_cast<size_t>(a.size));  // the old block is gone
    a.s = reinterpret_cast<AlsState*>(reinterpret_cast<uint8_t*>(a.s) + (to - from));
    ALSStateRelocate(a.s, to - from);
    for (uint32_t f = half; f < a.cfg.frames; ++f) ASSERT_EQ(a.Frame(pos, pcm), 0) << f;
    EXPECT_EQ(pcm, whole.pcm) << name;
  }
}

// Every frame of a random-access stream decodes from a fresh state, and
// ra_unit_size in each frame gives the bytes after it up to the next one.
TEST(Als, RandomAccessFramesStandAlone) {
  Opened seq("als_16b_st_ra.als");
  ASSERT_NE(seq.s, nullptr);
  std::vector<size_t> starts;
  std::vector<uint8_t> pcm;
  size_t pos = seq.first_frame;
  for (uint32_t f = 0; f < seq.cfg.frames; ++f) {
    starts.push_back(pos);
    ASSERT_EQ(seq.Frame(pos, pcm), 0);
  }
  starts.push_back(pos);
  const size_t frame_bytes = 1024 * 2 * 2;
  for (uint32_t f : {1u, 10u, seq.cfg.frames - 1}) {
    const uint8_t* p = seq.file.data() + starts[f];
    const uint32_t unit = (uint32_t{p[0]} << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
    EXPECT_EQ(starts[f] + 4 + unit, starts[f + 1]) << f;  // the size field excluded
    Opened fresh("als_16b_st_ra.als");
    std::vector<uint8_t> one;
    size_t at = starts[f];
    ASSERT_EQ(fresh.Frame(at, one), 0);
    ASSERT_GE(pcm.size(), f * frame_bytes + one.size());
    EXPECT_TRUE(std::equal(one.begin(), one.end(), pcm.begin() + f * frame_bytes)) << f;
  }
}

// A changed stored CRC is reported as a mismatch once all frames are decoded.
TEST(Als, CrcMismatchIsReported) {
  auto file = ReadFile(VX_TEST_DATA_DIR "/als/als_16b_st_g3.als");
  UMC::BitReader r;
  UMC::BitReaderInit(r, file.data() + 4, static_cast<int32_t>(file.size() - 4));
  AlsConfig cfg;
  ASSERT_EQ(ALSConfigParse(cfg, r), 0);
  ASSERT_TRUE(cfg.crc_enabled);
  // No random-access table or aux data: the CRC ends the configuration.
  const size_t end = 4 + static_cast<size_t>(UMC::BitReaderBitsConsumed(r) / 8);
  EXPECT_EQ(file[end - 1], cfg.crc & 0xFF);
  EXPECT_EQ(DecodeRaw(file).crc, 1);
  file[end - 1] ^= 1;
  EXPECT_EQ(DecodeRaw(file).crc, 0);
}

// Frames handed over in buffers of exactly their (cut) size: a cut frame is
// a bad frame, nothing is read past the buffer (checked under ASan), and
// `consumed` stays inside it.
TEST(Als, TruncatedFramesInExactBuffers) {
  for (const char* name : {"als_16b_st_bgmc.als", "als_16b_st_z1.als", "als_fl_st.als",
                           "als_16b_51_combo.als", "als_24b_st.als"}) {
    Opened seq(name);
    ASSERT_NE(seq.s, nullptr);
    std::vector<size_t> starts;
    std::vector<uint8_t> pcm;
    size_t pos = seq.first_frame;
    for (uint32_t f = 0; f < 4; ++f) {
      starts.push_back(pos);
      ASSERT_EQ(seq.Frame(pos, pcm), 0);
    }
    starts.push_back(pos);
    for (int f = 0; f < 4; ++f) {
      const size_t full = starts[f + 1] - starts[f];
      for (size_t cut : {size_t{0}, size_t{1}, full / 3, full / 2, full - 8}) {
        Opened d(name);
        std::vector<uint8_t> tmp;
        for (int k = 0; k < f; ++k) {
          size_t at = starts[k];
          ASSERT_EQ(d.Frame(at, tmp), 0);
        }
        std::unique_ptr<uint8_t[]> exact(new uint8_t[cut ? cut : 1]);
        std::memcpy(exact.get(), d.file.data() + starts[f], cut);
        std::vector<uint8_t> out(static_cast<size_t>(ALSMaxFrameBytes(d.s)));
        int32_t used = -1, written = -1;
        const int32_t st =
            ALSDecodeFrame(exact.get(), &used, out.data(), &written, static_cast<int32_t>(cut),
                           static_cast<int32_t>(out.size()), 0, d.s);
        EXPECT_EQ(st, 4) << name << " frame " << f << " cut " << cut;
        EXPECT_LE(size_t(used), cut);
        EXPECT_EQ(written, 0);
      }
    }
  }
}

// Random bytes as frames of every kind of configuration: only "decoded" or
// "bad frame", never more output than room, never a read outside the bytes.
TEST(Als, GarbageFrames) {
  uint32_t seed = 99;
  for (const char* name : {"als_16b_st_combo.als", "als_16b_st_z2.als", "als_fl_st.als",
                           "als_16b_51_combo.als", "als_16b_51_sort.als", "als_8b_mo.als"}) {
    Opened d(name);
    ASSERT_NE(d.s, nullptr);
    const size_t cap = static_cast<size_t>(ALSMaxFrameBytes(d.s));
    std::vector<uint8_t> out(cap + 16, 0xCD);
    for (int trial = 0; trial < 40; ++trial) {
      std::vector<uint8_t> junk(1 + (trial * 977) % 6000);
      for (auto& b : junk) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(seed >> 24);
      }
      int32_t used = 0, written = 0;
      const int32_t st =
          ALSDecodeFrame(junk.data(), &used, out.data(), &written,
                         static_cast<int32_t>(junk.size()), static_cast<int32_t>(cap), 0, d.s);
      EXPECT_TRUE(st == 0 || st == 4) << st;
      EXPECT_LE(size_t(written), cap);
      EXPECT_LE(size_t(used), junk.size());
      EXPECT_EQ(out[cap], 0xCD);
    }
  }
}

// Whole streams with flipped bits: the damage is detected and the decoder
// carries on without reading or writing out of bounds (sanitizer builds).
TEST(Als, FlippedBitsInStreams) {
  for (const char* name : {"als_16b_st_combo.als", "als_16b_st_z3.als", "als_fl_st.als",
                           "als_16b_51_combo.als", "als_32b_st.als"}) {
    const auto clean = ReadFile(std::string(VX_TEST_DATA_DIR "/als/") + name);
    uint32_t seed = 12345;
    for (int trial = 0; trial < 8; ++trial) {
      std::vector<uint8_t> file = clean;
      for (int k = 0; k < 6; ++k) {
        seed = seed * 1103515245u + 12345u;
        const size_t at = 200 + (seed >> 8) % (file.size() - 200);  // past the configuration
        file[at] ^= static_cast<uint8_t>(1u << ((seed >> 4) & 7));
      }
      const Decoded d = DecodeRaw(file);
      // The damage shows as bad frames or, failing that, as a CRC mismatch.
      EXPECT_TRUE(d.bad_frames > 0 || d.crc == 0) << name << " trial " << trial;
    }
  }
}

// Unary prefixes over a run of one bits end at the data's end.
TEST(Als, RiceOverOnesIsBounded) {
  const std::vector<uint8_t> ones(1 << 16, 0xFF);
  UMC::BitReader r;
  UMC::BitReaderInit(r, ones.data(), static_cast<int32_t>(ones.size()));
  AlsReadRice(r, 5);
  EXPECT_TRUE(UMC::BitReaderOverrun(r));
  UMC::BitReaderInit(r, ones.data(), static_cast<int32_t>(ones.size()));
  AlsReadRiceUnsigned(r, 0);
  EXPECT_TRUE(UMC::BitReaderOverrun(r));
}

}  // namespace
