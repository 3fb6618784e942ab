// Frame-level rules: which elements become which output channels, in which
// order, what makes a frame malformed, and the frame kept for a larger
// output buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "aac/aac_dec_state.h"
#include "common/stream_decode.h"
#include "tests/aac/frame_builder.h"

using namespace frame_test;

namespace {

constexpr Quad kA = {12, -7, 3, 16};
constexpr Quad kB = {-5, 9, 0, -14};
constexpr Quad kC = {4, 11, -13, 2};

std::vector<int> MonoOf(const Quad& q) {
  BitWriter w;
  PutSce(w, 0, q);
  w.Put(ID_END, 3);
  return Channel(Decode(1, w), 0);
}

// Three ADTS frames carrying the same raw data block.
std::vector<uint8_t> ThreeFrames(const BitWriter& block, int configuration) {
  std::vector<uint8_t> s;
  for (int i = 0; i < 3; ++i) {
    const std::vector<uint8_t> f = Adts(block, configuration);
    s.insert(s.end(), f.begin(), f.end());
  }
  return s;
}

TEST(RawDataBlock, SameTagTwiceGivesTwoChannelsInOrderOfAppearance) {
  // Without a configuration or PCE the output is the channels as they come;
  // keys tag and tag + 16 keep the two SCEs apart across frames.
  BitWriter w;
  PutSce(w, 3, kA);
  PutSce(w, 3, kB);
  w.Put(ID_END, 3);
  const vxtest::StreamDecode d = vxtest::DecodeStream(ThreeFrames(w, 0));
  EXPECT_EQ(d.ok_frames, 3);
  EXPECT_EQ(d.bad_frames, 0);
  ASSERT_EQ(d.channels, 2);
  EXPECT_EQ(Channel(d, 0), MonoOf(kA));
  EXPECT_EQ(Channel(d, 1), MonoOf(kB));
}

TEST(RawDataBlock, ConfigurationPlacesCentreFirstWhateverTheBitstreamOrder) {
  // Configuration 3 is C, L, R: the CPE written first still comes second.
  BitWriter w;
  PutCpe(w, 0, kA, kB);
  PutSce(w, 0, kC);
  w.Put(ID_END, 3);
  const vxtest::StreamDecode d = vxtest::DecodeStream(ThreeFrames(w, 3));
  ASSERT_EQ(d.channels, 3);
  EXPECT_EQ(Channel(d, 0), MonoOf(kC));
  EXPECT_EQ(Channel(d, 1), MonoOf(kA));
  EXPECT_EQ(Channel(d, 2), MonoOf(kB));

  // Configuration 2: an SCE has no position and is not output.
  BitWriter extra;
  PutSce(extra, 0, kC);
  PutCpe(extra, 0, kA, kB);
  extra.Put(ID_END, 3);
  const Decoded two = Decode(2, extra);
  for (UMC::Status st : two.status) EXPECT_EQ(st, UMC::StatusOk);
  ASSERT_EQ(two.channels, 2);
  EXPECT_EQ(Channel(two, 0), MonoOf(kA));
}

TEST(RawDataBlock, MissingOrExcessElementsFailTheFrame) {
  BitWriter end_only;
  end_only.Put(ID_END, 3);
  // No configuration: an empty frame is valid and has no channels.
  const vxtest::StreamDecode none = vxtest::DecodeStream(ThreeFrames(end_only, 0));
  EXPECT_GE(none.ok_frames, 2);  // the last 8-byte frame is below the ADTS minimum
  EXPECT_EQ(none.bad_frames, 0);
  EXPECT_TRUE(none.pcm.empty());
  // Configuration 1 needs its SCE, configuration 2 its CPE.
  EXPECT_EQ(Decode(1, end_only, 1).status[0], UMC::StatusInvalidStream);
  BitWriter sce_only;
  PutSce(sce_only, 0, kA);
  sce_only.Put(ID_END, 3);
  EXPECT_EQ(Decode(2, sce_only, 1).status[0], UMC::StatusInvalidStream);
  // An eleventh channel.
  BitWriter eleven;
  for (int i = 0; i < 11; ++i) PutSce(eleven, i, kA);
  eleven.Put(ID_END, 3);
  const vxtest::StreamDecode d = vxtest::DecodeStream(ThreeFrames(eleven, 0));
  EXPECT_EQ(d.ok_frames, 0);
  EXPECT_EQ(d.bad_frames, 3);
  // A block whose elements run past the access unit.
  BitWriter cut;
  PutSce(cut, 0, kA);
  std::vector<uint8_t> bytes = cut.bytes();
  bytes.resize(bytes.size() - 2);
  BitWriter shorter;
  for (uint8_t b : bytes) shorter.Put(b, 8);
  EXPECT_EQ(Decode(1, shorter, 1).status[0], UMC::StatusInvalidStream);
}

TEST(RawDataBlock, FrameIsKeptUntilTheOutputBufferIsLargeEnough) {
  BitWriter w;
  PutCpe(w, 0, kA, kB);
  w.Put(ID_END, 3);
  const Decoded ref = Decode(2, w, 1);
  ASSERT_EQ(ref.pcm.size(), 2048u);

  uint8_t asc[2] = {0x12, 0x10};
  UMC::MediaData config;
  config.SetBufferPointer(asc, 2);
  config.SetDataSize(2);
  UMC::AACDecoderParams params;
  params.in.stream_type = UMC::kStreamTypeMpeg4Config;
  params.data = &config;
  UMC::AACDecoder dec;
  ASSERT_EQ(dec.Init(&params), UMC::StatusOk);
  std::vector<uint8_t> au = w.bytes();
  std::vector<uint8_t> out_buf(2 * 2048 + 16);
  UMC::MediaData in, out;
  in.SetBufferPointer(au.data(), static_cast<uint32_t>(au.size()));
  in.SetDataSize(static_cast<uint32_t>(au.size()));
  out.SetBufferPointer(out_buf.data(), 2 * 2048 - 1);  // one byte short
  EXPECT_EQ(dec.GetFrame(&in, &out), UMC::StatusNotEnoughBuffer);
  EXPECT_EQ(in.GetDataSize(), au.size());  // nothing consumed
  out.SetBufferPointer(out_buf.data(), static_cast<uint32_t>(out_buf.size()));
  ASSERT_EQ(dec.GetFrame(&in, &out), UMC::StatusOk);
  ASSERT_EQ(out.GetDataSize(), 2u * 2048);
  const auto* p = reinterpret_cast<const int16_t*>(out_buf.data());
  EXPECT_EQ(std::vector<int16_t>(p, p + 2048), ref.pcm);
}

}  // namespace

// SBR slots are set up on first use, from whatever the memory held: the
// slot takes this frame's element type, the frame length and synthesis bands
// in force, and a second use keeps its state.
TEST(RawDataBlock, SbrSlotSetUpOnFirstUseOnly) {
  auto s = std::make_unique<AACDecState>();
  std::memset(static_cast<void*>(s->sbr), 0xA5, sizeof(s->sbr));
  s->sbr_ready = 0;
  s->frame_length = 960;
  s->sbr_synthesis_bands = 32;
  s->sbr[3].elementType = kElementCpe;
  SBRDecState& slot = AacSbrSlot(*s, 3);
  EXPECT_EQ(&slot, &s->sbr[3]);
  EXPECT_EQ(s->sbr_ready, 1u << 3);
  EXPECT_EQ(slot.elementType, kElementCpe);
  EXPECT_EQ(slot.numTimeSlots, 15);
  EXPECT_EQ(slot.bs_start_freq, 5);
  EXPECT_EQ(slot.psSeen, 0);
  for (const SbrChannel& c : slot.ch) EXPECT_EQ(SbrQmfSynthesisBands(c.synthesis), 32);
  slot.bs_start_freq = 9;
  EXPECT_EQ(AacSbrSlot(*s, 3).bs_start_freq, 9);
  AacSbrInit(*s);  // a new stream: every slot is set up again on first use
  EXPECT_EQ(s->sbr_ready, 0u);
  EXPECT_EQ(AacSbrSlot(*s, 3).bs_start_freq, 5);
}
