// ADTS framing in the front end: frames above 768 bytes per channel, frames
// of several raw data blocks (with and without the error check), damaged
// blocks and headers, a layout change inside a frame, and configurations
// of object types the decoder does not implement.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/compare.h"
#include "common/stream_decode.h"
#include "common/wav.h"
#include "dsp/dsp_core.h"
#include "tests/aac/frame_builder.h"
#include "tools/vxaac-adtsblocks/adts_blocks.h"
#include "umc/aac_decoder.h"
#include "umc/decode_loop.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Data(const std::string& name) {
  return vxtest::ReadBytes(std::string(VX_TEST_DATA_DIR) + "/" + name);
}

struct Decoded {
  std::vector<int16_t> pcm;
  std::vector<uint32_t> sizes;  // bytes per output
  std::vector<double> starts;
  std::vector<int> channels;  // GetInfo's output channels after each output
  std::vector<bool> reordered;
  std::vector<int8_t> speakers;  // of the last output
  int damaged = 0;               // outputs with StatusInvalidStream
};

// Feeds `stream` in pieces of `chunk` bytes through the decode loop, whose
// output area starts at `out_size` bytes (0: the decoder's suggestion) and
// grows when the decoder refuses a frame for space; bytes left unconsumed
// stay in front of the next piece.
Decoded Feed(const Bytes& stream, size_t chunk, uint32_t out_size = 0,
             const std::function<void(UMC::DecodeLoop&)>& setup = {}) {
  using Event = UMC::DecodeLoop::Event;
  dspStaticInit();
  UMC::DecodeLoop loop;
  UMC::DecodeLoop::Settings settings;
  settings.initial_output_bytes = out_size;
  Decoded run;
  EXPECT_EQ(loop.Open(settings), UMC::StatusOk);
  if (setup) setup(loop);
  Bytes pending;
  size_t fed = 0;
  for (;;) {
    const size_t n = std::min(chunk, stream.size() - fed);
    pending.insert(pending.end(), stream.begin() + static_cast<long>(fed),
                   stream.begin() + static_cast<long>(fed + n));
    fed += n;
    EXPECT_EQ(loop.Load(pending.data(), pending.size(), fed == stream.size()), UMC::StatusOk);
    UMC::DecodeLoop::Frame f;
    Event e;
    while ((e = loop.Next(&f)) == Event::kFrame || e == Event::kNewStream) {
      if (e != Event::kFrame) continue;
      run.damaged += f.status != UMC::StatusOk;
      const auto* p = reinterpret_cast<const int16_t*>(f.pcm);
      run.pcm.insert(run.pcm.end(), p, p + f.bytes / 2);
      run.sizes.push_back(f.bytes);
      run.starts.push_back(f.start);
      run.reordered.push_back(f.reordered);
      UMC::AudioCodecParams info;
      loop.Decoder()->GetInfo(&info);
      run.channels.push_back(info.out.channels);
      run.speakers.resize(10);
      run.speakers.resize(loop.Decoder()->GetChannelSpeakers(run.speakers.data(), 10));
    }
    EXPECT_EQ(e, Event::kNeedData);
    pending.erase(pending.begin(), pending.begin() + static_cast<long>(loop.Consumed()));
    if (e != Event::kNeedData || fed == stream.size()) break;
  }
  return run;
}

// A frame above 768 bytes per channel is decoded like any other: FFmpeg's
// encoder writes them at high rates, and every other decoder plays them.
TEST(AdtsFrames, FramesAboveTheBufferSizeAreDecoded) {
  const Bytes stream = Data("adts/lc_44k_mo_256_long.aac");
  std::vector<adts_blocks::Frame> frames;
  std::string error;
  ASSERT_TRUE(adts_blocks::SplitFrames(stream, &frames, &error)) << error;
  ASSERT_EQ(frames.size(), 16u);
  EXPECT_GE(std::count_if(frames.begin(), frames.end(),
                          [](const adts_blocks::Frame& f) { return f.payload.size() > 768; }),
            2);
  const Decoded run = Feed(stream, stream.size());
  EXPECT_EQ(run.sizes.size(), 16u);
  EXPECT_EQ(run.damaged, 0);
  vxtest::Wav ref;
  ASSERT_TRUE(
      vxtest::ReadWav(std::string(VX_TEST_DATA_DIR) + "/adts/lc_44k_mo_256_long.wav", &ref, &error))
      << error;
  const vxtest::CompareResult c = vxtest::Compare16(run.pcm.data(), run.pcm.size(), 1, ref);
  ASSERT_TRUE(c.ok) << c.error;
  EXPECT_EQ(c.frames, 16u * 1024);
  EXPECT_LE(c.rms_lsb, 0.30) << vxtest::FormatResult(c);
  EXPECT_LE(c.max_lsb, 1.0) << vxtest::FormatResult(c);
}

// Every block of a frame of several is decoded, with or without the error
// check: the samples and times equal those of the same blocks one per
// frame, whatever the input pieces and however small the output buffer.
TEST(AdtsFrames, SeveralBlocksGiveTheSamplesOfOneBlockPerFrame) {
  const struct {
    const char* blocks;
    const char* single;
    int outputs;
  } cases[] = {{"adts/lc_44k_st_crc_4blk.aac", "gst/lc_44k_st_crc.aac", 4},
               {"adts/lc_24k_51_crc_mixblk.aac", "aac/lc_24k_51_crc.aac", 3},
               {"adts/lc_44k_st_128_mixblk.aac", "gst/lc_44k_st_128.aac", 18},
               {"adts/lc_44k_mo_256_long_4blk.aac", "adts/lc_44k_mo_256_long.aac", 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.blocks);
    const Bytes single = Data(c.single), blocks = Data(c.blocks);
    const Decoded want = Feed(single, single.size());
    ASSERT_GT(want.sizes.size(), 4u);
    EXPECT_EQ(want.damaged, 0);
    for (const size_t chunk : {blocks.size(), size_t{1}, size_t{777}}) {
      const Decoded got = Feed(blocks, chunk, 2048);
      EXPECT_EQ(got.damaged, 0) << chunk;
      EXPECT_EQ(got.sizes.size(), static_cast<size_t>(c.outputs)) << chunk;
      EXPECT_TRUE(got.pcm == want.pcm) << chunk;
      // Each output starts where the block it begins with starts.
      const size_t block_bytes = want.sizes[0];
      size_t block = 0;
      for (size_t i = 0; i < got.starts.size() && block < want.starts.size(); ++i) {
        EXPECT_NEAR(got.starts[i], want.starts[block], 1e-9) << i;
        block += got.sizes[i] / block_bytes;
      }
    }
  }
}

// 4096 bytes per 1024 stereo samples.
Bytes BlockBytes(const std::vector<int16_t>& pcm, size_t block) {
  const auto* p = reinterpret_cast<const uint8_t*>(pcm.data());
  const size_t n = pcm.size() * 2;
  if ((block + 1) * 4096 > n) return {};
  return Bytes(p + block * 4096, p + (block + 1) * 4096);
}

// A block whose CRC fails is silence and the blocks after it are found at
// their stated positions (only the next one differs, by the overlap it
// lacks); a header whose own CRC fails silences its whole frame.
TEST(AdtsFrames, DamagedBlocksAndHeadersOfProtectedFrames) {
  const Bytes clean = Data("adts/lc_44k_st_crc_4blk.aac");
  const Decoded want = Feed(Data("gst/lc_44k_st_crc.aac"), 1 << 20);
  ASSERT_EQ(want.pcm.size(), 16u * 2048);
  // Frames of four blocks: header, three positions and the CRC word, then
  // blocks with their CRC words.  Block 1 of frame 2 (block 9) is damaged.
  std::vector<size_t> starts;
  for (size_t at = 0; at + 7 <= clean.size();
       at += static_cast<size_t>(adts_blocks::FrameLength(&clean[at]))) {
    ASSERT_EQ(clean[at + 6] & 3, 3);
    starts.push_back(at);
  }
  ASSERT_EQ(starts.size(), 4u);
  const size_t f2 = starts[2],
               block9 = f2 + static_cast<size_t>((clean[f2 + 7] << 8) | clean[f2 + 8]);
  Bytes bad_block = clean;
  bad_block[block9 + 4] ^= 0x08;  // inside the first 192 protected bits
  Decoded got = Feed(bad_block, bad_block.size());
  EXPECT_EQ(got.damaged, 1);
  ASSERT_EQ(got.pcm.size(), want.pcm.size());
  EXPECT_TRUE(BlockBytes(got.pcm, 9) == Bytes(4096, 0));
  EXPECT_FALSE(BlockBytes(got.pcm, 10) == BlockBytes(want.pcm, 10));
  for (size_t b : {0u, 8u, 11u, 12u, 15u})
    EXPECT_TRUE(BlockBytes(got.pcm, b) == BlockBytes(want.pcm, b)) << b;

  // Frame 1's second position: its header CRC fails.
  Bytes bad_header = clean;
  bad_header[starts[1] + 10] ^= 0x01;
  got = Feed(bad_header, bad_header.size());
  EXPECT_EQ(got.damaged, 1);
  ASSERT_EQ(got.pcm.size(), want.pcm.size());
  for (size_t b = 4; b < 8; ++b) EXPECT_TRUE(BlockBytes(got.pcm, b) == Bytes(4096, 0)) << b;
  for (size_t b : {0u, 3u, 9u, 15u})
    EXPECT_TRUE(BlockBytes(got.pcm, b) == BlockBytes(want.pcm, b)) << b;
}

// An unprotected ADTS frame around raw data blocks (channel configuration 0).
Bytes AdtsFrame(const std::vector<Bytes>& blocks) {
  size_t length = 7;
  for (const Bytes& b : blocks) length += b.size();
  Bytes f = {0xFF, 0xF1, 0x50, 0x00, 0, 0, 0};  // MPEG-4 LC, 44.1 kHz, configuration 0
  f[3] = static_cast<uint8_t>(length >> 11);
  f[4] = static_cast<uint8_t>(length >> 3);
  f[5] = static_cast<uint8_t>(((length & 7) << 5) | 0x1F);
  f[6] = static_cast<uint8_t>(0xFC | (blocks.size() - 1));
  for (const Bytes& b : blocks) f.insert(f.end(), b.begin(), b.end());
  return f;
}

// A frame whose blocks change layout (one channel, then two) gives two
// outputs, each described by GetInfo as it is; the frame's bytes go with
// the second, and times run on.
TEST(AdtsFrames, LayoutChangeWithinAFrameStartsAnotherOutput) {
  frame_test::BitWriter mono, pair;
  frame_test::PutSce(mono, 0, {10, 0, 0, 0});
  mono.Put(ID_END, 3);
  frame_test::PutCpe(pair, 0, {10, 0, 0, 0}, {0, 10, 0, 0});
  pair.Put(ID_END, 3);
  const Bytes frame = AdtsFrame({mono.bytes(), mono.bytes(), pair.bytes()});
  Bytes stream = frame;
  stream.insert(stream.end(), frame.begin(), frame.end());
  const Decoded run = Feed(stream, stream.size());
  EXPECT_EQ(run.damaged, 0);
  ASSERT_EQ(run.sizes.size(), 4u);
  EXPECT_EQ(run.sizes, (std::vector<uint32_t>{4096, 4096, 4096, 4096}));
  EXPECT_EQ(run.channels, (std::vector<int>{1, 2, 1, 2}));
  for (size_t i = 0; i < run.starts.size(); ++i) {
    const double blocks_before = i % 2 == 0 ? 3.0 * (i / 2) : 3.0 * (i / 2) + 2;
    EXPECT_NEAR(run.starts[i], blocks_before * 1024 / 44100, 1e-9) << i;
  }
}

// Valid configurations of object types the decoder does not implement are
// refused as such (StatusFailed, the type known: "Unsupported audio object
// type N"); reserved types and rate indices stay invalid (StatusInitFailed).
TEST(AdtsFrames, UnsupportedObjectTypesAreToldFromInvalidConfigurations) {
  dspStaticInit();
  const struct {
    Bytes asc;
    UMC::Status status;
    int object_type;
  } cases[] = {
      {{0x89, 0x90}, UMC::StatusFailed, 17},              // ER AAC LC, 48 kHz stereo
      {{0xB9, 0x90, 0x00}, UMC::StatusFailed, 23},        // ER AAC LD
      {{0xF8, 0xE6, 0x40, 0x00}, UMC::StatusFailed, 39},  // ER AAC ELD (escaped)
      {{0x41, 0x90}, UMC::StatusFailed, 8},               // CELP
      {{0x91, 0x90}, UMC::StatusInitFailed, 0},           // 18: reserved
      {{0xBE, 0x90, 0x00}, UMC::StatusInitFailed, 0},     // ER AAC LD, rate index 13
      {{0x2A, 0x11, 0x94}, UMC::StatusInitFailed, 0},     // SBR around SBR
  };
  for (const auto& c : cases) {
    Bytes asc = c.asc;
    asc.resize(asc.size() + 4, 0);
    UMC::MediaData config;
    config.SetBufferPointer(asc.data(), static_cast<uint32_t>(asc.size()));
    config.SetDataSize(static_cast<uint32_t>(c.asc.size()));
    UMC::AACDecoderParams params;
    params.in.stream_type = UMC::kStreamTypeMpeg4Config;
    params.data = &config;
    UMC::AACDecoder dec;
    EXPECT_EQ(dec.Init(&params), c.status) << int{c.asc[0]};
    EXPECT_EQ(dec.ObjectType(), c.object_type) << int{c.asc[0]};
  }
}

// A requested channel order applies to every output of the layout it names
// (frames of several blocks included) and to no other layout, and a map
// that is not a permutation is refused.
TEST(AdtsFrames, OutputOrderPermutesTheLayoutItNames) {
  const Bytes stream = Data("adts/lc_24k_51_crc_mixblk.aac");
  const Decoded plain = Feed(stream, 777);
  ASSERT_EQ(plain.speakers.size(), 6u);
  const int32_t map[6] = {3, 5, 0, 4, 1, 2};
  const std::vector<int8_t> speakers = plain.speakers;
  const Decoded ordered = Feed(stream, 777, 2048, [&](UMC::DecodeLoop& loop) {
    const int32_t twice[6] = {0, 0, 1, 2, 3, 4};
    EXPECT_FALSE(loop.SetOutputOrder(speakers.data(), twice, 6));
    EXPECT_TRUE(loop.SetOutputOrder(speakers.data(), map, 6));
  });
  ASSERT_EQ(ordered.pcm.size(), plain.pcm.size());
  EXPECT_EQ(ordered.damaged, 0);
  // The first output comes before the decoder knows its layout's speakers:
  // the order applies from the outputs after it.
  size_t at = 0, permuted = 0;
  for (size_t i = 0; i < ordered.sizes.size(); ++i) {
    const size_t n = ordered.sizes[i] / 2;
    for (size_t k = at; k < at + n; k += 6) {
      for (int c = 0; c < 6; ++c) {
        const int from = ordered.reordered[i] ? map[c] : c;
        ASSERT_EQ(ordered.pcm[k + c], plain.pcm[k + from]) << i << " " << k;
      }
    }
    permuted += ordered.reordered[i];
    at += n;
  }
  EXPECT_GE(permuted + 1, ordered.sizes.size());
  // Other speakers: the stream's order.
  std::vector<int8_t> other = speakers;
  std::swap(other[0], other[1]);
  const Decoded kept = Feed(stream, 777, 2048, [&](UMC::DecodeLoop& loop) {
    EXPECT_TRUE(loop.SetOutputOrder(other.data(), map, 6));
  });
  EXPECT_TRUE(kept.pcm == plain.pcm);
  EXPECT_EQ(std::count(kept.reordered.begin(), kept.reordered.end(), true), 0);
}

}  // namespace
