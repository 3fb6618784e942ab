#include "umc/media_data.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace UMC;

namespace {

TEST(MediaData, ConstructionAndAlloc) {
  MediaData empty;
  EXPECT_EQ(empty.GetBufferPointer(), nullptr);
  EXPECT_EQ(empty.GetTime(), -1.0);
  double s = 0, e = 1;
  ASSERT_EQ(empty.GetTime(&s, &e), StatusOk);
  EXPECT_EQ(s, -1.0);
  EXPECT_EQ(e, 0.0);
  EXPECT_EQ(empty.SetDataSize(0), StatusNullPointer);  // no buffer

  MediaData sized(100);
  ASSERT_NE(sized.GetBufferPointer(), nullptr);
  EXPECT_EQ(sized.GetDataPointer(), sized.GetBufferPointer());
  EXPECT_EQ(sized.GetBufferSize(), 100u);
  EXPECT_EQ(sized.GetDataSize(), 0u);
  EXPECT_TRUE(sized.OwnsBuffer());

  sized.frame_type = 3;
  EXPECT_EQ(sized.Alloc(0), StatusOk);  // empties the descriptor
  EXPECT_EQ(sized.GetBufferPointer(), nullptr);
  EXPECT_EQ(sized.GetBufferSize(), 0u);
  EXPECT_EQ(sized.frame_type, 0);
  EXPECT_FALSE(sized.OwnsBuffer());
  EXPECT_EQ(sized.Alloc(0x80000000u), StatusAllocFailed);
  EXPECT_EQ(sized.GetBufferPointer(), nullptr);
}

TEST(MediaData, DataWindowStaysInsideTheBuffer) {
  MediaData md(64);
  EXPECT_EQ(md.SetDataSize(64), StatusOk);
  EXPECT_EQ(md.SetDataSize(65), StatusOutOfRange);
  EXPECT_EQ(md.MoveDataPointer(10), StatusOk);
  EXPECT_EQ(md.GetDataSize(), 54u);
  EXPECT_EQ(md.GetFreeSpaceAfterData(), 0u);
  EXPECT_EQ(md.SetDataSize(54), StatusOk);  // exactly the remaining space
  EXPECT_EQ(md.SetDataSize(55), StatusOutOfRange);
  EXPECT_EQ(md.SetDataSize(20), StatusOk);
  EXPECT_EQ(md.MoveDataPointer(21), StatusOutOfRange);
  EXPECT_EQ(md.MoveDataPointer(-11), StatusOutOfRange);  // before the buffer start
  EXPECT_EQ(md.GetDataPointer(), md.GetBufferPointer() + 10);
  EXPECT_EQ(md.GetDataSize(), 20u);
  EXPECT_EQ(md.MoveDataPointer(-10), StatusOk);  // restores pointer, grows size
  EXPECT_EQ(md.GetDataPointer(), md.GetBufferPointer());
  EXPECT_EQ(md.GetDataSize(), 30u);
  EXPECT_EQ(md.MoveDataPointer(INT32_MIN), StatusOutOfRange);
  EXPECT_EQ(md.MoveDataPointer(INT32_MAX), StatusOutOfRange);
  EXPECT_EQ(md.GetDataSize(), 30u);

  md.SetTime(1.0, 2.0);
  md.frame_type = 1;
  md.aux_flag = 1;
  md.MoveDataPointer(5);
  EXPECT_EQ(md.Reset(), StatusOk);
  EXPECT_EQ(md.GetDataPointer(), md.GetBufferPointer());
  EXPECT_EQ(md.GetDataSize(), 0u);
  EXPECT_EQ(md.GetTime(), -1.0);
  EXPECT_EQ(md.frame_type, 0);
  EXPECT_EQ(md.aux_flag, 0);
}

TEST(MediaData, BorrowedBuffersAreNeverFreed) {
  static uint8_t storage[32];
  {
    MediaData md(16);
    md.frame_type = 5;
    // Frees the owned buffer (the leak checker of the sanitizer build sees it).
    EXPECT_EQ(md.SetBufferPointer(storage, sizeof storage), StatusOk);
    EXPECT_FALSE(md.OwnsBuffer());
    EXPECT_EQ(md.GetBufferPointer(), storage);
    EXPECT_EQ(md.GetBufferSize(), 32u);
    EXPECT_EQ(md.GetDataSize(), 0u);
    EXPECT_EQ(md.frame_type, 0);
    EXPECT_EQ(md.SetBufferPointer(nullptr, 100), StatusOk);
    EXPECT_EQ(md.GetBufferSize(), 0u);
    EXPECT_EQ(md.SetBufferPointer(storage, sizeof storage), StatusOk);
  }  // destructor must leave `storage` alone
  storage[0] = 1;

  MediaData owner(16);
  owner.SetDataSize(8);
  owner.SetTime(3.0, 4.0);
  MediaData copy;
  copy = owner;
  EXPECT_FALSE(copy.OwnsBuffer());
  EXPECT_EQ(copy.GetDataPointer(), owner.GetDataPointer());
  EXPECT_EQ(copy.GetDataSize(), 8u);
  EXPECT_EQ(copy.GetTime(), 3.0);
}

TEST(MediaData, MoveDataToCopiesWhatFits) {
  MediaData src(10), dst(8);
  std::memcpy(src.GetBufferPointer(), "0123456789", 10);
  src.SetDataSize(10);
  src.SetTime(0.5, 0.75);
  src.frame_type = 2;
  src.aux_flag = 1;
  dst.SetDataSize(3);
  ASSERT_EQ(src.MoveDataTo(&dst), StatusOk);
  EXPECT_EQ(dst.GetDataSize(), 8u);
  EXPECT_EQ(std::memcmp(dst.GetDataPointer() + 3, "01234", 5), 0);
  EXPECT_EQ(src.GetDataSize(), 5u);
  EXPECT_EQ(*src.GetDataPointer(), '5');
  EXPECT_EQ(dst.GetTime(), 0.5);
  EXPECT_EQ(dst.frame_type, 2);
  EXPECT_EQ(dst.aux_flag, 1);
  ASSERT_EQ(src.MoveDataTo(&dst), StatusOk);  // full: nothing moves
  EXPECT_EQ(src.GetDataSize(), 5u);

  MediaData none, no_buffer;
  EXPECT_EQ(none.MoveDataTo(&dst), StatusNotInitialized);
  EXPECT_EQ(src.MoveDataTo(nullptr), StatusNullPointer);
  EXPECT_EQ(src.MoveDataTo(&no_buffer), StatusNullPointer);
}

TEST(MediaData, FillWithPaddingZeroesThePad) {
  const uint8_t bytes[5] = {1, 2, 3, 4, 5};
  MediaData md;
  ASSERT_EQ(FillWithPadding(&md, bytes, 5, 16), StatusOk);
  ASSERT_EQ(md.GetBufferSize(), 21u);
  EXPECT_EQ(md.GetDataSize(), 5u);
  EXPECT_EQ(std::memcmp(md.GetDataPointer(), bytes, 5), 0);
  for (uint32_t i = 5; i < 21; ++i) EXPECT_EQ(md.GetBufferPointer()[i], 0) << i;
  EXPECT_EQ(FillWithPadding(&md, nullptr, 0, 0), StatusOk);
  EXPECT_EQ(md.GetBufferPointer(), nullptr);
  EXPECT_EQ(FillWithPadding(&md, nullptr, 4, 0), StatusNullPointer);
  EXPECT_EQ(FillWithPadding(&md, bytes, UINT32_MAX, 16), StatusInvalidParams);
}

TEST(MediaData, Identity) {
  AudioData audio;
  MediaData plain;
  MediaData* as_base = &audio;
  EXPECT_TRUE(as_base->TryCast(&MediaData::ClassId));
  EXPECT_TRUE(as_base->IsKindOf(&AudioData::ClassId));
  EXPECT_EQ(ClassCast<AudioData>(as_base), &audio);
  EXPECT_EQ(ClassCast<AudioData>(&plain), nullptr);
  EXPECT_EQ(ClassCast<AudioData>(static_cast<MediaData*>(nullptr)), nullptr);
}

}  // namespace
