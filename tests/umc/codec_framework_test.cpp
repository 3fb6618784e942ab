#include <gtest/gtest.h>

#include "umc/audio_codec.h"

using namespace UMC;

namespace {

// Smallest concrete codec: the base behaviour under test is everything but
// the three operations a real codec must provide.
class NullCodec : public AudioCodec {
 public:
  Status GetFrame(MediaData*, MediaData*) override { return StatusNotImplemented; }
  Status GetInfo(BaseCodecParams*) override { return StatusNotImplemented; }
  Status Reset() override { return StatusOk; }
};

// A name-only identifier, as another module would have.
const char* ForeignAudioCodecParamsId() {
  return "AudioCodecParams";
}

TEST(CodecIdentity, ParamsAnswerForTheirBases) {
  AACDecoderParams p;
  BaseCodecParams* base = &p;
  EXPECT_TRUE(base->TryCast(&AACDecoderParams::ClassId));
  EXPECT_TRUE(base->TryCast(&AudioCodecParams::ClassId));
  EXPECT_TRUE(base->TryCast(&BaseCodecParams::ClassId));
  EXPECT_FALSE(base->TryCast(&AudioCodec::ClassId));
  EXPECT_FALSE(base->TryCast(&ForeignAudioCodecParamsId));
  EXPECT_TRUE(base->IsKindOf(&ForeignAudioCodecParamsId));
  EXPECT_FALSE(base->IsKindOf(&MediaData::ClassId));
  EXPECT_FALSE(base->IsKindOf(nullptr));
  EXPECT_EQ(ClassCast<AudioCodecParams>(base), &p);

  AudioCodecParams audio;
  EXPECT_EQ(ClassCast<AACDecoderParams>(static_cast<BaseCodecParams*>(&audio)), nullptr);
  NullCodec codec;
  EXPECT_TRUE(codec.TryCast(&BaseCodec::ClassId));
  EXPECT_FALSE(codec.TryCast(&BaseCodecParams::ClassId));
}

TEST(CodecParams, Defaults) {
  AACDecoderParams p;
  EXPECT_EQ(p.sbr_mode, 18);
  EXPECT_EQ(p.sbr_rate_mode, 1);
  EXPECT_EQ(p.extension_mode, 777);
  EXPECT_EQ(p.ps_mode, 0);
  EXPECT_EQ(p.bsac_layer_limit, -1);
  EXPECT_EQ(p.data, nullptr);
  EXPECT_EQ(p.allocator, nullptr);
  EXPECT_EQ(p.in.stream_type, 0);
  EXPECT_FALSE(p.out.is_float);
}

TEST(BaseCodecInit, CreatesAndKeepsItsOwnAllocator) {
  NullCodec codec;
  AudioCodecParams p;
  EXPECT_EQ(codec.Init(nullptr), StatusNullPointer);
  ASSERT_EQ(codec.Init(&p), StatusOk);
  MemoryAllocator* own = codec.Allocator();
  ASSERT_NE(own, nullptr);
  EXPECT_TRUE(codec.OwnsAllocator());
  EXPECT_TRUE(own->TryCast(&DefaultMemoryAllocator::ClassId));
  ASSERT_EQ(codec.Init(&p), StatusOk);  // second Init without Close keeps it
  EXPECT_EQ(codec.Allocator(), own);
  DefaultMemoryAllocator other;
  p.allocator = &other;
  EXPECT_EQ(codec.Init(&p), StatusInitFailed);  // cannot switch from an owned one
  EXPECT_EQ(codec.Allocator(), own);
  EXPECT_EQ(codec.Close(), StatusOk);
  EXPECT_EQ(codec.Allocator(), nullptr);
}

TEST(BaseCodecInit, CallerAllocatorIsUsedButNotOwned) {
  DefaultMemoryAllocator mine, other;
  AudioCodecParams p;
  p.allocator = &mine;
  {
    NullCodec codec;
    ASSERT_EQ(codec.Init(&p), StatusOk);
    EXPECT_EQ(codec.Allocator(), &mine);
    EXPECT_FALSE(codec.OwnsAllocator());
    EXPECT_EQ(codec.Init(&p), StatusOk);  // the same one again
    p.allocator = &other;
    EXPECT_EQ(codec.Init(&p), StatusInitFailed);
    p.allocator = nullptr;
    EXPECT_EQ(codec.Init(&p), StatusInitFailed);  // has a foreign one
    EXPECT_EQ(codec.Close(), StatusOk);
    EXPECT_EQ(codec.Allocator(), &mine);  // not destroyed
  }
  MemId id = 0;
  EXPECT_EQ(mine.Alloc(&id, 16, 1, 16), StatusOk);  // still alive after the codec
}

TEST(BaseCodec, BaseOperationsReportNotImplemented) {
  NullCodec codec;
  AudioCodecParams p;
  EXPECT_EQ(codec.SetParams(&p), StatusNotImplemented);
  EXPECT_EQ(codec.SetParams(nullptr), StatusNullPointer);
  float seconds = 5.0f;
  EXPECT_EQ(codec.GetDuration(&seconds), StatusNotImplemented);
  EXPECT_EQ(seconds, -1.0f);
  EXPECT_EQ(codec.GetDuration(nullptr), StatusNotImplemented);
}

}  // namespace
