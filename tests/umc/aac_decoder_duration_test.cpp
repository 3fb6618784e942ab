// GetDuration of a raw ALS stream: the length its header announces, and no
// made-up length when the header says the length is not known.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "dsp/dsp_core.h"
#include "umc/aac_decoder.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Duration after the first frame of an in-band stream.
UMC::Status DurationAfterFirstFrame(Bytes stream, float* seconds) {
  dspStaticInit();
  UMC::AACDecoder dec;
  UMC::AACDecoderParams params;
  params.in.stream_type = UMC::kStreamTypeInBand;
  EXPECT_EQ(dec.Init(&params), UMC::StatusOk);
  const uint32_t size = static_cast<uint32_t>(stream.size());
  stream.resize(stream.size() + 16, 0);
  Bytes out_buf(1 << 20);
  UMC::MediaData in, out;
  in.SetBufferPointer(stream.data(), static_cast<uint32_t>(stream.size()));
  in.SetDataSize(size);
  out.SetBufferPointer(out_buf.data(), static_cast<uint32_t>(out_buf.size()));
  EXPECT_EQ(dec.GetFrame(&in, &out), UMC::StatusOk);
  return dec.GetDuration(seconds);
}

TEST(AacDecoderDuration, AlsLengthFromTheHeaderOrUnknown) {
  std::ifstream f(std::string(VX_TEST_DATA_DIR) + "/als/als_16b_st.als", std::ios::binary);
  Bytes als((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  ASSERT_GT(als.size(), 12u);
  float seconds = 0;
  EXPECT_EQ(DurationAfterFirstFrame(als, &seconds), UMC::StatusOk);
  EXPECT_FLOAT_EQ(seconds, 24576.0f / 32000.0f);
  // samples = 0xFFFFFFFF: the stream does not say how long it is.
  for (int i = 8; i < 12; ++i) als[i] = 0xFF;
  EXPECT_NE(DurationAfterFirstFrame(als, &seconds), UMC::StatusOk);
  EXPECT_EQ(seconds, -1.0f);
}

}  // namespace
