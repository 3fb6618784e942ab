// The permuting copy from the decoder's channel order into GStreamer's.
#include "gst/channel_layout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

namespace {

// Every channel count and sample size, out of place and in place, against a
// byte-by-byte copy; a trailing partial frame is left alone.
TEST(ChannelLayout, CopyReorderedMatchesPlainPermutation) {
  std::mt19937 rng(7);
  for (int channels = 1; channels <= 8; ++channels) {
    for (int width = 1; width <= 4; ++width) {
      int map[8];
      std::iota(map, map + channels, 0);
      std::shuffle(map, map + channels, rng);
      const size_t frame = static_cast<size_t>(channels) * width;
      const size_t bytes = frame * 37 + (frame > 1 ? 1 : 0);
      std::vector<uint8_t> src(bytes), want(bytes, 0xEE), got(bytes, 0xEE);
      for (auto& b : src) b = static_cast<uint8_t>(rng());
      for (size_t pos = 0; pos + frame <= bytes; pos += frame)
        for (int c = 0; c < channels; ++c)
          std::memcpy(&want[pos + c * width], &src[pos + map[c] * width], width);
      VxCopyReordered(src.data(), got.data(), bytes, channels, width, map);
      EXPECT_EQ(got, want) << channels << " channels, " << width << " bytes";
      std::vector<uint8_t> in_place = src;
      VxCopyReordered(in_place.data(), in_place.data(), bytes, channels, width, map);
      if (bytes % frame) want.back() = src.back();
      EXPECT_EQ(in_place, want) << channels << " channels, " << width << " bytes in place";
    }
  }
}

}  // namespace
