// The decoder front end as its callers drive it: configuration from codec
// data, in-band streams fed in pieces, ADIF, time stamps and reset.
#include "umc/aac_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "dsp/dsp_core.h"
#include "tests/aac/frame_builder.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadFile(const std::string& name) {
  std::ifstream f(std::string(VX_TEST_DATA_DIR) + "/gst/" + name, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

struct Feed {
  std::vector<int16_t> pcm;
  std::vector<double> starts;
  int errors = 0;
};

UMC::Status InitInBand(UMC::AACDecoder& dec) {
  dspStaticInit();
  UMC::AACDecoderParams params;
  params.in.stream_type = UMC::kStreamTypeInBand;
  return dec.Init(&params);
}

// Feeds `stream` in pieces of `chunk` bytes, as a caller with a growing
// buffer does: unconsumed bytes stay, new bytes are appended.
Feed FeedInBand(UMC::AACDecoder& dec, const Bytes& stream, size_t chunk) {
  Feed run;
  Bytes pending;
  size_t fed = 0;
  std::vector<uint8_t> out_buf(1 << 16);
  for (int guard = 0; guard < 1000000; ++guard) {
    const bool at_end = fed == stream.size();
    Bytes buf = pending;
    buf.resize(buf.size() + 16, 0);  // readers may look past the data
    UMC::MediaData in, out;
    in.SetBufferPointer(buf.data(), static_cast<uint32_t>(buf.size()));
    in.SetDataSize(static_cast<uint32_t>(pending.size()));
    out.SetBufferPointer(out_buf.data(), static_cast<uint32_t>(out_buf.size()));
    const UMC::Status st = pending.empty() ? UMC::StatusNotEnoughData : dec.GetFrame(&in, &out);
    if (st == UMC::StatusOk || st == UMC::StatusInvalidStream) {
      run.errors += st != UMC::StatusOk;
      const auto* p = reinterpret_cast<const int16_t*>(out_buf.data());
      run.pcm.insert(run.pcm.end(), p, p + out.GetDataSize() / 2);
      double t0 = 0, t1 = 0;
      out.GetTime(&t0, &t1);
      run.starts.push_back(t0);
      pending.erase(pending.begin(), pending.end() - in.GetDataSize());
      continue;
    }
    EXPECT_EQ(st, UMC::StatusNotEnoughData);
    if (st != UMC::StatusNotEnoughData || at_end) break;
    const size_t n = std::min(chunk, stream.size() - fed);
    pending.insert(pending.end(), stream.begin() + static_cast<long>(fed),
                   stream.begin() + static_cast<long>(fed + n));
    fed += n;
  }
  return run;
}

TEST(AacDecoderFrontEnd, CodecDataConfiguresTheDecoder) {
  dspStaticInit();
  struct Case {
    uint8_t asc[2];
    UMC::Status init;
    int channels, rate;
  };
  // LC 44.1 kHz stereo; LC 48 kHz mono; SSR (3) is not decoded.
  const Case cases[] = {{{0x12, 0x10}, UMC::StatusOk, 2, 44100},
                        {{0x11, 0x88}, UMC::StatusOk, 1, 48000},
                        {{0x1A, 0x10}, UMC::StatusFailed, 0, 0}};
  for (const Case& c : cases) {
    uint8_t asc[2] = {c.asc[0], c.asc[1]};
    UMC::MediaData config;
    config.SetBufferPointer(asc, 2);
    config.SetDataSize(2);
    UMC::AACDecoderParams params;
    params.in.stream_type = UMC::kStreamTypeMpeg4Config;
    params.data = &config;
    UMC::AACDecoder dec;
    ASSERT_EQ(dec.Init(&params), c.init) << int{asc[0]};
    if (c.init != UMC::StatusOk) continue;
    UMC::AudioCodecParams info;
    EXPECT_EQ(dec.GetInfo(&info), 3);  // sizes only until a frame is decoded
    EXPECT_GT(info.suggested_output_size, 0);
    frame_test::BitWriter w;
    if (c.channels == 1) {
      frame_test::PutSce(w, 0, {0, 0, 0, 0});
    } else {
      frame_test::PutCpe(w, 0, {0, 0, 0, 0}, {0, 0, 0, 0});
    }
    w.Put(ID_END, 3);
    Bytes au = w.bytes();
    std::vector<uint8_t> out_buf(1 << 14);
    UMC::MediaData in, out;
    in.SetBufferPointer(au.data(), static_cast<uint32_t>(au.size()));
    in.SetDataSize(static_cast<uint32_t>(au.size()));
    out.SetBufferPointer(out_buf.data(), static_cast<uint32_t>(out_buf.size()));
    ASSERT_EQ(dec.GetFrame(&in, &out), UMC::StatusOk);
    EXPECT_EQ(out.GetDataSize(), 2048u * static_cast<uint32_t>(c.channels));
    ASSERT_EQ(dec.GetInfo(&info), UMC::StatusOk);
    EXPECT_EQ(info.in.channels, c.channels);
    EXPECT_EQ(info.in.sample_frequency, c.rate);
    EXPECT_EQ(info.profile & 0xFF, 2);
  }
}

TEST(AacDecoderFrontEnd, PiecesOfAnyLengthGiveTheSameFramesAndTimes) {
  const Bytes adts = ReadFile("lc_44k_st_128.aac");
  ASSERT_GT(adts.size(), 10000u);
  UMC::AACDecoder whole_dec;
  ASSERT_EQ(InitInBand(whole_dec), UMC::StatusOk);
  const Feed whole = FeedInBand(whole_dec, adts, adts.size());
  ASSERT_GT(whole.starts.size(), 10u);
  EXPECT_EQ(whole.errors, 0);
  // Successive 1024-sample frames at 44.1 kHz.
  for (size_t i = 0; i < whole.starts.size(); ++i)
    EXPECT_NEAR(whole.starts[i], i * 1024.0 / 44100.0, 1e-9) << i;
  for (size_t chunk : {1u, 7u, 100u, 1500u}) {
    UMC::AACDecoder dec;
    ASSERT_EQ(InitInBand(dec), UMC::StatusOk);
    const Feed run = FeedInBand(dec, adts, chunk);
    EXPECT_EQ(run.errors, 0) << chunk;
    EXPECT_TRUE(run.pcm == whole.pcm) << "chunk " << chunk;
  }
  // Reset starts the stream again: same samples, times from 0.
  const Feed again = FeedInBand(whole_dec, Bytes(), 1);
  EXPECT_TRUE(again.pcm.empty());
  ASSERT_EQ(whole_dec.Reset(), UMC::StatusOk);
  const Feed after = FeedInBand(whole_dec, adts, adts.size());
  EXPECT_TRUE(after.pcm == whole.pcm);
  ASSERT_FALSE(after.starts.empty());
  EXPECT_EQ(after.starts[0], 0.0);
}

TEST(AacDecoderFrontEnd, AdifCarriesTheSameAudioAsAdts) {
  const Bytes adif = ReadFile("lc_44k_st_128.adif"), adts = ReadFile("lc_44k_st_128.aac");
  ASSERT_FALSE(adif.empty());
  UMC::AACDecoder a, b;
  ASSERT_EQ(InitInBand(a), UMC::StatusOk);
  ASSERT_EQ(InitInBand(b), UMC::StatusOk);
  const Feed from_adif = FeedInBand(a, adif, 4096);
  const Feed from_adts = FeedInBand(b, adts, adts.size());
  EXPECT_EQ(from_adif.errors, 0);
  ASSERT_GT(from_adif.pcm.size(), 10u * 2048);
  // The same encode in two framings; compare what both hold.
  const size_t n = std::min(from_adif.pcm.size(), from_adts.pcm.size());
  size_t differ = 0;
  for (size_t i = 0; i < n; ++i) differ += from_adif.pcm[i] != from_adts.pcm[i];
  EXPECT_EQ(differ, 0u);
}

}  // namespace
