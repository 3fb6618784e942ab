// LOAS streams through the decoder: each fixture carries the access units of
// a committed ADTS fixture (tests/data/latm/README.md), so its decode must
// equal that stream's decode sample for sample, whatever the multiplex does
// around them (versions, subframes, other data, signalling, tune-in,
// configuration changes, input in pieces, small output buffers).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "common/stream_decode.h"
#include "dsp/dsp_core.h"
#include "umc/aac_decoder.h"
#include "umc/decode_loop.h"
#include "umc/latm.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Data(const std::string& name) {
  return vxtest::ReadBytes(std::string(VX_TEST_DATA_DIR) + "/" + name);
}

struct Frame {
  int channels = 0;
  int rate = 0;
  bool ok = false;
  std::vector<int16_t> pcm;
};

struct Decoded {
  std::vector<Frame> frames;
  UMC::Status end = UMC::StatusOk;  // the status that ended decoding early
  std::string refusal;
  int object_type = 0;
};

// Feeds `stream` in pieces of `chunk` bytes through the decode loop (the
// bytes the decoder leaves stay in front of the next piece), whose output
// area starts at `out_size` bytes and grows whenever the decoder asks for
// more.
Decoded Decode(const Bytes& stream, vxtest::DecodeOptions o = {}, size_t chunk = 1 << 20,
               uint32_t out_size = 1 << 16) {
  using Event = UMC::DecodeLoop::Event;
  dspStaticInit();
  UMC::DecodeLoop loop;
  UMC::DecodeLoop::Settings settings;
  settings.sbr_rate_mode = o.sbr_rate_mode;
  settings.ps_mode = o.ps_mode;
  settings.initial_output_bytes = out_size;
  Decoded run;
  if (loop.Open(settings) != UMC::StatusOk) return run;
  Bytes pending;
  size_t fed = 0;
  for (;;) {
    const size_t n = std::min(chunk, stream.size() - fed);
    pending.insert(pending.end(), stream.begin() + static_cast<long>(fed),
                   stream.begin() + static_cast<long>(fed + n));
    fed += n;
    if (loop.Load(pending.data(), pending.size(), fed == stream.size()) != UMC::StatusOk) break;
    UMC::DecodeLoop::Frame out;
    Event e;
    while ((e = loop.Next(&out)) == Event::kFrame || e == Event::kNewStream) {
      if (e != Event::kFrame) continue;
      UMC::AudioCodecParams info;
      loop.Decoder()->GetInfo(&info);
      Frame f;
      f.channels = info.out.channels;
      f.rate = info.out.sample_frequency;
      f.ok = out.status == UMC::StatusOk;
      const auto* p = reinterpret_cast<const int16_t*>(out.pcm);
      f.pcm.assign(p, p + out.bytes / 2);
      run.frames.push_back(f);
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<long>(loop.Consumed()));
    if (e == Event::kFailed) {
      run.end = loop.FailureStatus();
      break;
    }
    if (fed == stream.size()) break;
  }
  run.refusal = loop.LatmRefusal() ? loop.LatmRefusal() : "";
  run.object_type = loop.ObjectType();
  return run;
}

std::vector<int16_t> Pcm(const Decoded& r, size_t from = 0) {
  std::vector<int16_t> pcm;
  for (size_t i = from; i < r.frames.size(); ++i)
    pcm.insert(pcm.end(), r.frames[i].pcm.begin(), r.frames[i].pcm.end());
  return pcm;
}

// Byte offsets of the LOAS frames of a stream.
std::vector<size_t> LoasFrames(const Bytes& s) {
  std::vector<size_t> at;
  for (size_t i = 0; i + 3 <= s.size();) {
    at.push_back(i);
    const int32_t n = UMC::LoasFrameBytes(s.data() + i, static_cast<int64_t>(s.size() - i));
    if (n <= 0) break;
    i += static_cast<size_t>(n);
  }
  return at;
}

struct Case {
  const char* loas;
  const char* adts;
  vxtest::DecodeOptions loas_options;
  vxtest::DecodeOptions adts_options;
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.loas;
}

class LoasLikeAdts : public ::testing::TestWithParam<Case> {};

TEST_P(LoasLikeAdts, SameSamples) {
  const Case& c = GetParam();
  const Decoded adts = Decode(Data(c.adts), c.adts_options);
  const Decoded loas = Decode(Data(std::string("latm/") + c.loas), c.loas_options);
  ASSERT_FALSE(adts.frames.empty());
  ASSERT_EQ(loas.frames.size(), adts.frames.size());
  for (const Frame& f : loas.frames) {
    EXPECT_TRUE(f.ok);
    EXPECT_EQ(f.channels, adts.frames.back().channels);
    EXPECT_EQ(f.rate, adts.frames.back().rate);
  }
  EXPECT_TRUE(Pcm(loas) == Pcm(adts));
}

vxtest::DecodeOptions FullRate(int ps = 0) {
  vxtest::DecodeOptions o;
  o.sbr_rate_mode = 0;
  o.ps_mode = ps;
  return o;
}

INSTANTIATE_TEST_SUITE_P(Fixtures, LoasLikeAdts,
                         ::testing::Values(
                             // FFmpeg's writer: version 0, a configuration in every fourth element.
                             Case{"lc_44k_st_ms.loas", "aac/lc_44k_st_ms.aac", {}, {}},
                             // Version 0 with two subframes, escape-coded other data and the CRC.
                             Case{"lc_44k_st_ms_v0_sub.loas", "aac/lc_44k_st_ms.aac", {}, {}},
                             // 5.1, version 1: three subframes, other data, CRC, fill bits.
                             Case{"lc_24k_51_v1.loas", "aac/lc_24k_51_crc.aac", {}, {}},
                             // SBR signalled at twice the core rate: full-rate output unasked.
                             Case{"he_44k_st_64_hier.loas", "sbr/he_44k_st_64.aac", {}, FullRate()},
                             // Backward-compatible SBR and PS signalling (version 1).
                             Case{"ps_32k_16_bc.loas", "ps/ps_32k_16.aac", FullRate(411),
                                  FullRate(411)}),
                         [](const ::testing::TestParamInfo<Case>& i) {
                           std::string n = i.param.loas;
                           n = n.substr(0, n.find('.'));
                           return n;
                         });

// A receiver tuning in: garbage, then elements without a configuration
// (skipped); decoding starts with the first configuration, and from the
// second decoded frame on (the first lacks its overlap) equals the stream's.
TEST(LoasDecode, TuneInSkipsToTheFirstConfiguration) {
  const Bytes loas = Data("latm/lc_44k_st_ms.loas");
  const std::vector<size_t> frames = LoasFrames(loas);
  ASSERT_GT(frames.size(), 8u);
  Bytes cut;
  for (int i = 0; i < 100; ++i) cut.push_back(static_cast<uint8_t>(i * 7 + 1));  // no 0x56
  cut.insert(cut.end(), loas.begin() + static_cast<long>(frames[1]), loas.end());
  const Decoded full = Decode(Data("aac/lc_44k_st_ms.aac"));
  const Decoded tuned = Decode(cut, {}, 61);
  // Elements 1-3 carry no configuration; element 4 does.
  ASSERT_EQ(tuned.frames.size() + 4, full.frames.size());
  EXPECT_TRUE(Pcm(tuned, 1) == Pcm(full, 5));
}

// ADTS behind garbage that holds a LOAS header whose length runs past the
// short stream's end: the confirmed ADTS start wins over the candidate that
// would wait for more data.
TEST(LoasDecode, AdtsBehindAFalseLoasHeader) {
  const Bytes adts = Data("aac/lc_22k_st_64.aac");
  Bytes bytes = {0x00, 0x56, 0xF8, 0x00, 0x11};  // a LOAS header of 6144 bytes
  bytes.insert(bytes.end(), adts.begin(), adts.end());
  const Decoded clean = Decode(adts), behind = Decode(bytes);
  ASSERT_FALSE(clean.frames.empty());
  EXPECT_TRUE(Pcm(behind) == Pcm(clean));
}

// A new AudioSpecificConfig starts over as a new decoder would: each part
// equals its own stream's decode, and the output format follows.
TEST(LoasDecode, ConfigurationChangeStartsANewStream) {
  const Decoded a = Decode(Data("aac/lc_44k_st_ms.aac"));
  const Decoded b = Decode(Data("aac/lc_24k_51_crc.aac"));
  const Decoded s = Decode(Data("latm/switch_st_51.loas"));
  ASSERT_EQ(s.frames.size(), a.frames.size() + b.frames.size());
  EXPECT_EQ(s.frames.front().channels, 2);
  EXPECT_EQ(s.frames.front().rate, 44100);
  EXPECT_EQ(s.frames.back().channels, 6);
  EXPECT_EQ(s.frames.back().rate, 24000);
  EXPECT_TRUE(Pcm(s) == [&] {
    std::vector<int16_t> both = Pcm(a);
    const std::vector<int16_t> pb = Pcm(b);
    both.insert(both.end(), pb.begin(), pb.end());
    return both;
  }());

  // Joined LOAS streams: HE-AAC v2 (parametric stereo output from mono),
  // stereo HE-AAC (which turns that output off for its stream), HE-AAC v2
  // again; PS and the SBR slots start over with each.
  const Bytes ps = Data("latm/ps_32k_16_bc.loas"), he = Data("latm/he_44k_st_64_hier.loas");
  Bytes joined = ps;
  joined.insert(joined.end(), he.begin(), he.end());
  joined.insert(joined.end(), ps.begin(), ps.end());
  const Decoded p = Decode(ps, FullRate(411)), h = Decode(he, FullRate(411));
  std::vector<int16_t> expected = Pcm(p), ph = Pcm(h);
  expected.insert(expected.end(), ph.begin(), ph.end());
  ph = Pcm(p);
  expected.insert(expected.end(), ph.begin(), ph.end());
  EXPECT_TRUE(Pcm(Decode(joined, FullRate(411))) == expected);
}

// Subframes stay in step when the input comes in small pieces and the output
// buffer is refused for space (the first subframe's frame is consumed only
// once it is delivered).
TEST(LoasDecode, SubframesSurvivePiecesAndSmallBuffers) {
  const Bytes loas = Data("latm/lc_24k_51_v1.loas");
  const Decoded whole = Decode(loas);
  const Decoded pieces = Decode(loas, {}, 97, 700);
  ASSERT_EQ(pieces.frames.size(), whole.frames.size());
  EXPECT_TRUE(Pcm(pieces) == Pcm(whole));
}

// Multiplexes and object types that are not decoded: refused at the start
// with the reason; the same damage after a good configuration is one
// damaged element (silence), and decoding goes on.
TEST(LoasDecode, RefusedLayoutsAndDamagedConfigurations) {
  const Bytes loas = Data("latm/lc_44k_st_ms.loas");
  const std::vector<size_t> frames = LoasFrames(loas);
  // Element bits: useSameStreamMux, audioMuxVersion, allStreamsSameTimeFraming,
  // numSubFrames (6), numProgram (4, its last bit is bit 12), numLayer (3),
  // then the AudioSpecificConfig (object type 2 = 00010 in bits 16-20).
  auto with_bit = [&](size_t frame, int bit) {
    Bytes b = loas;
    b[frames[frame] + 3 + static_cast<size_t>(bit / 8)] ^= static_cast<uint8_t>(0x80 >> (bit % 8));
    return b;
  };
  const Decoded programs = Decode(with_bit(0, 12));
  EXPECT_EQ(programs.end, UMC::StatusUnsupportedStream);
  EXPECT_TRUE(programs.frames.empty());
  EXPECT_EQ(programs.refusal, "several programs in the multiplex");
  const Decoded ssr = Decode(with_bit(0, 20));
  EXPECT_EQ(ssr.end, UMC::StatusFailed);
  EXPECT_EQ(ssr.object_type, 3);

  const Decoded clean = Decode(loas);
  const Decoded late = Decode(with_bit(4, 12));  // element 4 carries a configuration
  ASSERT_EQ(late.frames.size(), clean.frames.size());
  EXPECT_EQ(late.end, UMC::StatusOk);
  for (size_t i = 0; i < late.frames.size(); ++i) {
    EXPECT_EQ(late.frames[i].ok, i != 4) << i;
    if (i == 4) {
      EXPECT_EQ(late.frames[i].pcm, std::vector<int16_t>(2048, 0));
    } else if (i < 4) {
      EXPECT_EQ(late.frames[i].pcm, clean.frames[i].pcm);
    }
  }
}

}  // namespace
