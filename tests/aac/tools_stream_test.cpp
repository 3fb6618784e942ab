// The channel-stream tools on a real stream: intensity stereo, M/S and
// window-sequence transitions decoded through the frame decoder against a
// float reference, and the same frames with flipped bits decoded safely.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "common/compare.h"
#include "common/stream_decode.h"
#include "common/wav.h"
#include "umc/aac_decoder.h"

namespace {

const std::string kDir = std::string(VX_TEST_DATA_DIR) + "/aac_tools/";

TEST(ToolStreams, IntensityStereoMatchesTheReference) {
  const std::vector<uint8_t> stream = vxtest::ReadBytes(kDir + "lc_44k_st_is.aac");
  ASSERT_FALSE(stream.empty());
  vxtest::Wav ref;
  std::string error;
  ASSERT_TRUE(vxtest::ReadWav(kDir + "lc_44k_st_is.wav", &ref, &error)) << error;
  const vxtest::StreamDecode o = vxtest::DecodeStream(stream);
  EXPECT_EQ(o.ok_frames, 16);
  EXPECT_EQ(o.bad_frames, 0);
  ASSERT_EQ(o.channels, 2);
  const vxtest::CompareResult r = vxtest::Compare16(o.pcm.data(), o.pcm.size() / 2, 2, ref);
  ASSERT_TRUE(r.ok) << r.error;
  std::printf("lc_44k_st_is  %s\n", vxtest::FormatResult(r).c_str());
  EXPECT_EQ(r.frames, 16u * 1024u);
  EXPECT_LE(r.rms_lsb, 0.30);
  EXPECT_LE(r.max_lsb, 1.0);
}

// Bits flipped inside the frames' payloads (headers kept): every frame
// decodes or is reported damaged, and nothing reads or writes outside its
// buffers (checked by the sanitizer build).  A flipped element id may change
// a frame's channel count, so the output length is not fixed.
TEST(ToolStreams, FlippedPayloadBitsAreDecodedOrRejected) {
  const std::vector<uint8_t> stream = vxtest::ReadBytes(kDir + "lc_44k_st_is.aac");
  ASSERT_FALSE(stream.empty());
  std::vector<std::pair<size_t, size_t>> payloads;  // [start, end) after each header
  for (size_t pos = 0; pos + 7 <= stream.size();) {
    const size_t len =
        ((stream[pos + 3] & 3u) << 11) | (stream[pos + 4] << 3) | (stream[pos + 5] >> 5);
    ASSERT_GE(len, 7u);
    payloads.emplace_back(pos + 7, pos + len);
    pos += len;
  }
  std::mt19937 rng(99);
  int damaged = 0;
  for (int trial = 0; trial < 60; ++trial) {
    std::vector<uint8_t> bytes = stream;
    for (const auto& [start, end] : payloads) {
      const int flips = 1 + trial % 8;
      for (int i = 0; i < flips; ++i) {
        const size_t byte = start + rng() % (end - start);
        bytes[byte] ^= static_cast<uint8_t>(1u << (rng() % 8));
      }
    }
    const vxtest::StreamDecode o = vxtest::DecodeStream(bytes);
    EXPECT_EQ(o.other, UMC::StatusOk) << trial;
    EXPECT_GE(o.ok_frames + o.bad_frames, 15) << trial;
    EXPECT_LE(o.pcm.size(), 16u * 1024u * 8u) << trial;
    damaged += o.bad_frames;
  }
  EXPECT_GT(damaged, 0);
}

}  // namespace
