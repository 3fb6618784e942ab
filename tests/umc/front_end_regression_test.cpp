// Faults the fuzz targets found in the decoder front end, each kept as a
// plain case: stream recognition when input arrives in small pieces, stream
// figures that do not fit the codec interface's fields.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "dsp/dsp_core.h"
#include "umc/aac_decoder.h"

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

// Feeds an in-band stream in pieces of `chunk` bytes: the bytes the decoder
// leaves stay in front of the next piece, like the element's adapter.
Decoded FeedInBand(const Bytes& stream, size_t chunk) {
  dspStaticInit();
  UMC::AACDecoder dec;
  UMC::AACDecoderParams params;
  params.in.stream_type = UMC::kStreamTypeInBand;
  Decoded run;
  if (dec.Init(&params) != UMC::StatusOk) return run;
  Bytes pending, out_buf(1 << 16);
  size_t fed = 0;
  for (int guard = 0; guard < 1000000; ++guard) {
    Bytes buf = pending;
    buf.resize(buf.size() + 16, 0);
    UMC::MediaData in, out;
    in.SetBufferPointer(buf.data(), static_cast<uint32_t>(buf.size()));
    in.SetDataSize(static_cast<uint32_t>(pending.size()));
    out.SetBufferPointer(out_buf.data(), static_cast<uint32_t>(out_buf.size()));
    const UMC::Status st = pending.empty() ? UMC::StatusNotEnoughData : dec.GetFrame(&in, &out);
    pending.erase(pending.begin(), pending.end() - in.GetDataSize());
    if (st == UMC::StatusOk || st == UMC::StatusInvalidStream) {
      run.errors += st != UMC::StatusOk;
      ++run.frames;
      run.pcm.insert(run.pcm.end(), out_buf.begin(), out_buf.begin() + out.GetDataSize());
      continue;
    }
    if (st != UMC::StatusNotEnoughData || fed == stream.size()) break;
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
UMC::Status InitAlsCodecData(const Bytes& als) {
  Bytes asc = {0xF8, 0x80, 0x00};
  asc.insert(asc.end(), als.begin(), als.end());
  UMC::MediaData config;
  config.SetBufferPointer(asc.data(), static_cast<uint32_t>(asc.size()));
  config.SetDataSize(static_cast<uint32_t>(asc.size()));
  UMC::AACDecoderParams params;
  params.in.stream_type = UMC::kStreamTypeMpeg4Config;
  params.data = &config;
  UMC::AACDecoder dec;
  return dec.Init(&params);
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

}  // namespace
