// The framing module and the decode loop every caller shares.
#include "umc/inband_framer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/stream_decode.h"
#include "dsp/dsp_core.h"
#include "umc/decode_loop.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Kind = UMC::InbandFramer::Kind;
using Event = UMC::DecodeLoop::Event;

Bytes Read(const char* name) {
  return vxtest::ReadBytes(std::string(VX_TEST_DATA_DIR) + "/" + name);
}

// The first `count` ADTS frames of a stream.
Bytes Frames(const Bytes& s, size_t count, std::vector<size_t>* lengths = nullptr) {
  size_t at = 0;
  UMC::AdtsFrameHeader h;
  for (size_t i = 0;
       i < count && UMC::ReadAdtsFrameHeader(s.data() + at, static_cast<int64_t>(s.size() - at),
                                             h) == UMC::kAdtsHeaderOk;
       ++i) {
    if (lengths) lengths->push_back(static_cast<size_t>(h.variable.aac_frame_length));
    at += static_cast<size_t>(h.variable.aac_frame_length);
  }
  return Bytes(s.begin(), s.begin() + static_cast<long>(at));
}

struct Step {
  Kind kind;
  int64_t bytes;
  bool new_stream;
};

std::vector<Step> Walk(const Bytes& s, bool detect_new_streams) {
  UMC::InbandFramer framer(detect_new_streams);
  std::vector<Step> steps;
  size_t at = 0;
  while (at < s.size() && steps.size() < 1000) {
    const UMC::InbandFramer::Span span =
        framer.Next(s.data() + at, static_cast<int64_t>(s.size() - at), true);
    if (span.kind == Kind::kNeedData) break;
    steps.push_back({span.kind, span.bytes, span.new_stream});
    at += static_cast<size_t>(span.bytes);
  }
  return steps;
}

// An ID3v2 tag, garbage, three frames of one stream, two of another (a new
// stream when the framer is asked to see one, garbage otherwise) and an
// impossible header: what a caller is told to drop or decode at each step.
TEST(InbandFramer, StepsThroughTagsGarbageStreamsAndBadHeaders) {
  std::vector<size_t> first, second;
  const Bytes a = Frames(Read("gst/lc_44k_st_128.aac"), 3, &first);
  const Bytes b = Frames(Read("aac/lc_16k_mo_32.aac"), 2, &second);
  Bytes s = {'I', 'D', '3', 4, 0, 0, 0, 0, 0, 20};
  s.resize(30, 0);
  s.resize(130, 0x55);  // no sync word in it
  s.insert(s.end(), a.begin(), a.end());
  s.insert(s.end(), b.begin(), b.end());
  // A frame of the first stream's fields whose length (5) cannot hold its header.
  Bytes bad(a.begin(), a.begin() + static_cast<long>(first[0]));
  bad[3] = static_cast<uint8_t>(bad[3] & 0xFC);
  bad[4] = 0;
  bad[5] = static_cast<uint8_t>((bad[5] & 0x1F) | (5 << 5));
  s.insert(s.end(), bad.begin(), bad.end());

  const std::vector<Step> seen = Walk(s, true);
  ASSERT_GE(seen.size(), 8u);
  EXPECT_EQ(seen[0].kind, Kind::kSkip);
  EXPECT_EQ(seen[0].bytes, 30);
  EXPECT_EQ(seen[1].kind, Kind::kSkip);
  EXPECT_EQ(seen[1].bytes, 100);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(seen[2 + i].kind, Kind::kFrame);
    EXPECT_EQ(seen[2 + i].bytes, static_cast<int64_t>(first[i]));
    EXPECT_FALSE(seen[2 + i].new_stream);
  }
  EXPECT_EQ(seen[5].kind, Kind::kFrame);
  EXPECT_TRUE(seen[5].new_stream);
  EXPECT_EQ(seen[5].bytes, static_cast<int64_t>(second[0]));
  EXPECT_EQ(seen[6].kind, Kind::kFrame);
  EXPECT_FALSE(seen[6].new_stream);
  EXPECT_EQ(seen[7].kind, Kind::kSkip) << "a header of the first stream's fields is garbage now";

  // Without new streams the second stream's frames are garbage; the bad
  // header of the first stream's fields is skipped by 3 bytes.
  const std::vector<Step> plain = Walk(s, false);
  int frames = 0, bad_headers = 0;
  for (const Step& st : plain) {
    frames += st.kind == Kind::kFrame;
    bad_headers += st.kind == Kind::kBadHeader && st.bytes == 3;
    EXPECT_FALSE(st.new_stream);
  }
  EXPECT_EQ(frames, 3);
  EXPECT_EQ(bad_headers, 1);
}

struct LoopRun {
  Bytes pcm;
  int frames = 0;
  int new_streams = 0;
  std::vector<int> rates;
};

// Feeds `s` in pieces of `chunk` bytes the way the element and the
// command-line decoder do: the bytes the loop leaves stay for the next call.
LoopRun Feed(const Bytes& s, size_t chunk, uint32_t first_output) {
  dspStaticInit();
  UMC::DecodeLoop loop;
  UMC::DecodeLoop::Settings settings;
  settings.initial_output_bytes = first_output;
  EXPECT_EQ(loop.Open(settings), UMC::StatusOk);
  LoopRun run;
  Bytes pending;
  size_t fed = 0;
  for (int guard = 0; guard < 100000; ++guard) {
    const bool at_end = fed == s.size();
    loop.Load(pending.data(), pending.size(), at_end);
    UMC::DecodeLoop::Frame f;
    Event e;
    while ((e = loop.Next(&f)) == Event::kFrame || e == Event::kNewStream) {
      run.new_streams += e == Event::kNewStream;
      if (e != Event::kFrame) continue;
      ++run.frames;
      run.pcm.insert(run.pcm.end(), f.pcm, f.pcm + f.bytes);
      UMC::AudioCodecParams info;
      loop.Decoder()->GetInfo(&info);
      if (run.rates.empty() || run.rates.back() != info.out.sample_frequency)
        run.rates.push_back(info.out.sample_frequency);
    }
    EXPECT_NE(e, Event::kFailed);
    pending.erase(pending.begin(), pending.begin() + static_cast<long>(loop.Consumed()));
    if (at_end || e == Event::kFailed) break;
    const size_t n = std::min(chunk, s.size() - fed);
    pending.insert(pending.end(), s.begin() + static_cast<long>(fed),
                   s.begin() + static_cast<long>(fed + n));
    fed += n;
  }
  return run;
}

// Two ADTS streams back to back are two streams (a new decoder at the
// change, whatever the pieces), raw ALS is never decoded from part of a
// frame, and a one-byte first output area only makes the loop grow it.
TEST(DecodeLoop, PiecesNewStreamsAndOutputGrowthGiveTheWholeDecode) {
  const Bytes a = Read("gst/lc_44k_st_128.aac"), b = Read("aac/lc_16k_mo_32.aac");
  Bytes both = a;
  both.insert(both.end(), b.begin(), b.end());
  const LoopRun whole = Feed(both, both.size(), 0);
  EXPECT_EQ(whole.new_streams, 1);
  EXPECT_EQ(whole.rates, (std::vector<int>{44100, 16000}));
  EXPECT_EQ(whole.frames, 43 + 16);
  for (size_t chunk : {size_t{1}, size_t{333}}) {
    SCOPED_TRACE(chunk);
    const LoopRun pieces = Feed(both, chunk, chunk == 1 ? 1 : 0);
    EXPECT_EQ(pieces.new_streams, 1);
    EXPECT_TRUE(pieces.pcm == whole.pcm);
  }
  const Bytes als = Read("als/als_16b_st.als");
  const LoopRun als_whole = Feed(als, als.size(), 0);
  ASSERT_GT(als_whole.frames, 0);
  const LoopRun als_pieces = Feed(als, 1000, 0);
  EXPECT_EQ(als_pieces.frames, als_whole.frames);
  EXPECT_TRUE(als_pieces.pcm == als_whole.pcm);
}

}  // namespace
