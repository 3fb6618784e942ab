// Faults the fuzz targets found in the decoder front end, each kept as a
// plain case: stream recognition when input arrives in small pieces, stream
// figures that do not fit the codec interface's fields.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "common/counting_allocator.h"
#include "dsp/dsp_core.h"
#include "umc/aac_decoder.h"
#include "umc/decode_loop.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadData(const std::string& name) {
  std::ifstream f(std::string(VX_TEST_DATA_DIR) + "/" + name, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

struct Decoded {
  Bytes pcm;
  int frames = 0;
  int errors = 0;
};

// Feeds an in-band stream in pieces of `chunk` bytes through the decode
// loop: the bytes it leaves stay in front of the next piece, like the
// element's adapter.
Decoded FeedInBand(const Bytes& stream, size_t chunk) {
  dspStaticInit();
  UMC::DecodeLoop loop;
  Decoded run;
  if (loop.Open(UMC::DecodeLoop::Settings{}) != UMC::StatusOk) return run;
  Bytes pending;
  size_t fed = 0;
  for (int guard = 0; guard < 1000000; ++guard) {
    const bool at_end = fed == stream.size();
    loop.Load(pending.data(), pending.size(), at_end);
    UMC::DecodeLoop::Frame f;
    UMC::DecodeLoop::Event e;
    while ((e = loop.Next(&f)) == UMC::DecodeLoop::Event::kFrame ||
           e == UMC::DecodeLoop::Event::kNewStream) {
      if (e == UMC::DecodeLoop::Event::kNewStream) continue;
      run.errors += f.status != UMC::StatusOk;
      ++run.frames;
      run.pcm.insert(run.pcm.end(), f.pcm, f.pcm + f.bytes);
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<long>(loop.Consumed()));
    if (e == UMC::DecodeLoop::Event::kFailed || at_end) break;
    const size_t n = std::min(chunk, stream.size() - fed);
    pending.insert(pending.end(), stream.begin() + static_cast<long>(fed),
                   stream.begin() + static_cast<long>(fed + n));
    fed += n;
  }
  return run;
}

// An ADIF header that arrives over several inputs was scanned as garbage
// for ADTS headers and partly dropped, so the stream was never recognised.
TEST(FrontEndRegression, AdifHeaderSplitAcrossInputs) {
  const Bytes adif = ReadData("gst/lc_44k_st_128.adif");
  ASSERT_GT(adif.size(), 4000u);
  const Decoded whole = FeedInBand(adif, adif.size());
  ASSERT_GT(whole.frames, 10);
  EXPECT_EQ(whole.errors, 0);
  for (size_t chunk : {1u, 5u, 9u, 64u}) {
    const Decoded pieces = FeedInBand(adif, chunk);
    EXPECT_EQ(pieces.errors, 0) << chunk;
    EXPECT_EQ(pieces.frames, whole.frames) << chunk;
    EXPECT_TRUE(pieces.pcm == whole.pcm) << "chunk " << chunk;
  }
}

// Bytes after the last frame of a raw ALS stream (padding, a tag, the rest
// of a damaged frame) were decoded as further frames: 20 kB of zeros gave
// megabytes of extra samples.  The announced frames end the stream.
TEST(FrontEndRegression, AlsStreamEndsWithItsLastFrame) {
  const Bytes als = ReadData("als/als_16b_st_bgmc_last.als");
  ASSERT_GT(als.size(), 64u);
  const Decoded plain = FeedInBand(als, als.size());
  ASSERT_EQ(plain.pcm.size(), 2432u * 2 * 2);
  EXPECT_EQ(plain.errors, 0);
  for (uint8_t fill : {0x00, 0xFF, 0x5A}) {
    Bytes padded = als;
    padded.resize(als.size() + 20000, fill);
    const Decoded d = FeedInBand(padded, padded.size());
    EXPECT_EQ(d.errors, 0) << int{fill};
    EXPECT_TRUE(d.pcm == plain.pcm) << int{fill};
  }
}

// ALS carries a 32-bit sampling rate: the output bit rate of GetInfo
// (rate x bits) overflowed a 32-bit product and came out negative.
TEST(FrontEndRegression, AlsBitRateSaturates) {
  Bytes als = ReadData("als/als_8b_mo.als");
  ASSERT_GT(als.size(), 64u);
  als[4] = 0x40;  // samp_freq 0x40000000 (big-endian, after "ALS\0")
  als[5] = als[6] = als[7] = 0;
  dspStaticInit();
  UMC::AACDecoder dec;
  UMC::AACDecoderParams params;
  params.in.stream_type = UMC::kStreamTypeInBand;
  ASSERT_EQ(dec.Init(&params), UMC::StatusOk);
  als.resize(als.size() + 16, 0);
  Bytes out_buf(1 << 16);
  UMC::MediaData in, out;
  in.SetBufferPointer(als.data(), static_cast<uint32_t>(als.size()));
  in.SetDataSize(static_cast<uint32_t>(als.size() - 16));
  out.SetBufferPointer(out_buf.data(), static_cast<uint32_t>(out_buf.size()));
  ASSERT_EQ(dec.GetFrame(&in, &out), UMC::StatusOk);
  UMC::AudioCodecParams info;
  ASSERT_EQ(dec.GetInfo(&info), UMC::StatusOk);
  EXPECT_EQ(info.out.sample_frequency, 0x40000000);
  EXPECT_EQ(info.out.bits_per_sample, 8);
  EXPECT_EQ(info.out.bitrate, INT32_MAX);
}

// Init with the header of a raw ALS stream as codec data: object type 36
// (escaped), index 0, no channel configuration, fill bits, then the header.
UMC::Status InitAlsCodecData(UMC::AACDecoder& dec, const Bytes& als,
                             UMC::MemoryAllocator* allocator = nullptr) {
  Bytes asc = {0xF8, 0x80, 0x00};
  asc.insert(asc.end(), als.begin(), als.end());
  UMC::MediaData config;
  config.SetBufferPointer(asc.data(), static_cast<uint32_t>(asc.size()));
  config.SetDataSize(static_cast<uint32_t>(asc.size()));
  UMC::AACDecoderParams params;
  params.in.stream_type = UMC::kStreamTypeMpeg4Config;
  params.data = &config;
  params.allocator = allocator;
  return dec.Init(&params);
}

UMC::Status InitAlsCodecData(const Bytes& als) {
  UMC::AACDecoder dec;
  return InitAlsCodecData(dec, als);
}

// An ALS configuration without a sampling rate (or with one beyond the
// interface's signed 32-bit fields) decoded frames that could be neither
// timed nor described; it is refused like any unusable configuration,
// in-band and as codec data.
TEST(FrontEndRegression, AlsWithoutUsableRateIsRefused) {
  const Bytes als = ReadData("als/als_8b_mo.als");
  ASSERT_GT(als.size(), 64u);
  EXPECT_GT(FeedInBand(als, als.size()).frames, 0);
  EXPECT_EQ(InitAlsCodecData(als), UMC::StatusOk);
  for (uint32_t rate : {0u, 0x80000000u}) {
    Bytes stream = als;
    for (int i = 0; i < 4; ++i) stream[4 + i] = static_cast<uint8_t>(rate >> (24 - 8 * i));
    EXPECT_EQ(FeedInBand(stream, stream.size()).frames, 0) << rate;
    EXPECT_NE(InitAlsCodecData(stream), UMC::StatusOk) << rate;
  }
}

using vxtest::CountingAllocator;

// The first frame of an in-band stream (given whole) and the decoder's
// description of it.
UMC::AudioCodecParams FirstFrameInfo(UMC::AACDecoder& dec, Bytes stream) {
  UMC::AudioCodecParams info;
  const uint32_t size = static_cast<uint32_t>(stream.size());
  stream.resize(stream.size() + 16, 0);
  Bytes out_buf(1 << 16);
  UMC::MediaData in, out;
  in.SetBufferPointer(stream.data(), static_cast<uint32_t>(stream.size()));
  in.SetDataSize(size);
  out.SetBufferPointer(out_buf.data(), static_cast<uint32_t>(out_buf.size()));
  for (int call = 0; call < 4 && out.GetDataSize() == 0; ++call) {
    if (dec.GetFrame(&in, &out) != UMC::StatusOk) return info;
  }
  dec.GetInfo(&info);
  return info;
}

// Init on a decoder that had decoded a stream kept that stream's object-type
// block: every Init of an ALS configuration added another ALS state (the
// configuration fuzz target ran out of memory on a shared allocator), and a
// stream after an ALS stream was still described as ALS.
TEST(FrontEndRegression, InitAgainReleasesTheLastStreamsBlock) {
  dspStaticInit();
  const Bytes als = ReadData("als/als_8b_mo.als");
  const Bytes adts = ReadData("gst/lc_44k_st_128.aac");
  ASSERT_GT(als.size(), 64u);
  ASSERT_GT(adts.size(), 1000u);
  CountingAllocator allocator;
  {
    UMC::AACDecoder dec;
    for (int i = 0; i < 3; ++i) {
      ASSERT_EQ(InitAlsCodecData(dec, als, &allocator), UMC::StatusOk);
      EXPECT_EQ(allocator.live, 2) << "Init " << i;  // the main block and the ALS state
    }
    UMC::AACDecoderParams params;
    params.in.stream_type = UMC::kStreamTypeInBand;
    params.allocator = &allocator;
    for (int i = 0; i < 2; ++i) {
      ASSERT_EQ(dec.Init(&params), UMC::StatusOk);
      EXPECT_EQ(allocator.live, 1);
      const UMC::AudioCodecParams info = FirstFrameInfo(dec, als);
      EXPECT_EQ(info.out.bits_per_sample, 8);
      EXPECT_EQ(info.out.channels, 1);
      EXPECT_EQ(allocator.live, 2);
    }
    ASSERT_EQ(dec.Init(&params), UMC::StatusOk);
    const UMC::AudioCodecParams info = FirstFrameInfo(dec, adts);
    EXPECT_EQ(info.out.bits_per_sample, 16);
    EXPECT_EQ(info.out.channels, 2);
    EXPECT_EQ(info.out.sample_frequency, 44100);
    EXPECT_EQ(allocator.live, 1);
  }
  EXPECT_EQ(allocator.live, 0);
}

}  // namespace
