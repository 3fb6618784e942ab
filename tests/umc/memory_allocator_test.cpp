#include "umc/memory_allocator.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

using namespace UMC;

namespace {

bool Aligned(const void* p, uintptr_t a) {
  return (reinterpret_cast<uintptr_t>(p) & (a - 1)) == 0;
}

TEST(DefaultMemoryAllocator, RejectsBadArguments) {
  DefaultMemoryAllocator a;
  MemId id = 77;
  EXPECT_EQ(a.Alloc(nullptr, 16, 1, 16), StatusNullPointer);
  EXPECT_EQ(a.Alloc(&id, 0, 1, 16), StatusInvalidParams);
  EXPECT_EQ(a.Alloc(&id, 16, 1, 0), StatusInvalidParams);
  EXPECT_EQ(a.Alloc(&id, 16, 1, 24), StatusInvalidParams);
  EXPECT_EQ(a.Alloc(&id, 16, 1, size_t{1} << 22), StatusInvalidParams);
  EXPECT_EQ(a.Alloc(&id, SIZE_MAX - 8, 1, 16), StatusAllocFailed);
  EXPECT_EQ(id, 0);
  EXPECT_EQ(a.Lock(0), nullptr);
  EXPECT_EQ(a.Lock(12345), nullptr);
  EXPECT_EQ(a.Unlock(0), StatusOutOfRange);
  EXPECT_EQ(a.Unlock(12345), StatusOutOfRange);
  EXPECT_EQ(a.Free(0), StatusOutOfRange);
  EXPECT_EQ(a.Free(12345), StatusOutOfRange);
  EXPECT_EQ(a.ForceFree(0), StatusOutOfRange);
  EXPECT_EQ(a.ForceFree(12345), StatusOk);
}

TEST(DefaultMemoryAllocator, LockGivesAlignedWritableMemoryAndCountsLocks) {
  DefaultMemoryAllocator a;
  for (size_t align : {size_t{1}, size_t{16}, size_t{64}, size_t{4096}, size_t{1} << 21}) {
    MemId id = 0;
    ASSERT_EQ(a.Alloc(&id, 1000, 1, align), StatusOk);
    void* p = a.Lock(id);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(Aligned(p, align)) << align;
    std::memset(p, 0xAB, 1000);
    EXPECT_EQ(a.Lock(id), p);  // the address never moves
    EXPECT_EQ(a.Unlock(id), StatusOk);
    EXPECT_EQ(a.Unlock(id), StatusOk);
    EXPECT_EQ(a.Unlock(id), StatusOutOfRange);  // not locked any more
    EXPECT_EQ(a.Free(id), StatusOk);
  }
}

TEST(DefaultMemoryAllocator, FreeWhileLockedIsDeferredToLastUnlock) {
  DefaultMemoryAllocator a;
  MemId id = 0;
  ASSERT_EQ(a.Alloc(&id, 256, 1, 16), StatusOk);
  void* p = a.Lock(id);
  ASSERT_NE(a.Lock(id), nullptr);
  EXPECT_EQ(a.Free(id), StatusOk);
  EXPECT_EQ(a.Free(id), StatusOutOfRange);  // already pending
  EXPECT_EQ(a.Lock(id), nullptr);           // no new locks once freed
  // Still held: a request that would fit must not get this memory.
  MemId other = 0;
  ASSERT_EQ(a.Alloc(&other, 128, 1, 16), StatusOk);
  EXPECT_NE(a.Lock(other), p);
  EXPECT_EQ(a.Unlock(other), StatusOk);
  EXPECT_EQ(a.Unlock(id), StatusOk);
  EXPECT_EQ(a.Unlock(id), StatusOk);  // last unlock releases it
  EXPECT_EQ(a.Unlock(id), StatusOutOfRange);
  MemId again = 0;
  ASSERT_EQ(a.Alloc(&again, 256, 1, 16), StatusOk);
  EXPECT_EQ(a.Lock(again), p);  // recycled under a new id
  EXPECT_NE(again, id);
  EXPECT_EQ(a.Lock(id), nullptr);
}

TEST(DefaultMemoryAllocator, RecyclesOnlyBlocksLargeEnough) {
  DefaultMemoryAllocator a;
  MemId small = 0, big = 0;
  ASSERT_EQ(a.Alloc(&small, 100, 1, 16), StatusOk);
  ASSERT_EQ(a.Alloc(&big, 5000, 1, 16), StatusOk);
  void* small_p = a.Lock(small);
  void* big_p = a.Lock(big);
  a.Unlock(small);
  a.Unlock(big);
  ASSERT_EQ(a.Free(small), StatusOk);
  ASSERT_EQ(a.Free(big), StatusOk);
  MemId id = 0;
  ASSERT_EQ(a.Alloc(&id, 4000, 1, 16), StatusOk);  // skips the small block
  EXPECT_EQ(a.Lock(id), big_p);
  MemId id2 = 0;
  ASSERT_EQ(a.Alloc(&id2, 50, 1, 16), StatusOk);
  EXPECT_EQ(a.Lock(id2), small_p);
  EXPECT_EQ(a.EntryCount(), 2);
}

TEST(DefaultMemoryAllocator, GrowsFromEightToSixteenKeepingIdsAndAddresses) {
  DefaultMemoryAllocator a;
  std::vector<MemId> ids;
  std::vector<void*> addr;
  for (int i = 0; i < 9; ++i) {
    MemId id = 0;
    ASSERT_EQ(a.Alloc(&id, 64 + i, 1, 16), StatusOk);
    ids.push_back(id);
    addr.push_back(a.Lock(id));
    std::memset(addr.back(), i, 64 + i);
    a.Unlock(id);
    EXPECT_EQ(a.Capacity(), i < 8 ? 8 : 16);
  }
  for (int i = 0; i < 9; ++i) {
    EXPECT_EQ(ids[i], i + 1);
    auto* p = static_cast<uint8_t*>(a.Lock(ids[i]));
    EXPECT_EQ(p, addr[i]);
    EXPECT_EQ(p[63], i);
    a.Unlock(ids[i]);
  }
}

TEST(DefaultMemoryAllocator, FullTableReplacesTooSmallReleasedEntry) {
  DefaultMemoryAllocator a;
  MemId ids[8];
  for (MemId& id : ids) ASSERT_EQ(a.Alloc(&id, 32, 1, 16), StatusOk);
  ASSERT_EQ(a.Free(ids[3]), StatusOk);
  MemId big = 0;
  ASSERT_EQ(a.Alloc(&big, 100000, 1, 16), StatusOk);
  EXPECT_EQ(a.Capacity(), 8);  // reused the released entry instead of growing
  auto* p = static_cast<uint8_t*>(a.Lock(big));
  ASSERT_NE(p, nullptr);
  std::memset(p, 1, 100000);
  a.Unlock(big);
}

TEST(DefaultMemoryAllocator, ForceFreeIgnoresLocksAndIdsAreNeverReused) {
  DefaultMemoryAllocator a;
  MemId id = 0;
  ASSERT_EQ(a.Alloc(&id, 64, 1, 16), StatusOk);
  ASSERT_NE(a.Lock(id), nullptr);
  ASSERT_NE(a.Lock(id), nullptr);
  EXPECT_EQ(a.ForceFree(id), StatusOk);
  EXPECT_EQ(a.Lock(id), nullptr);
  EXPECT_EQ(a.Unlock(id), StatusOutOfRange);
  EXPECT_EQ(a.ForceFree(id), StatusOk);  // unknown id now
  // Close keeps the id counter.
  ASSERT_EQ(a.Close(), StatusOk);
  EXPECT_EQ(a.EntryCount(), 0);
  MemId next = 0;
  ASSERT_EQ(a.Alloc(&next, 64, 1, 16), StatusOk);
  EXPECT_EQ(next, id + 1);
  ASSERT_EQ(a.Init(nullptr), StatusOk);
  EXPECT_EQ(a.Lock(next), nullptr);
}

TEST(DefaultMemoryAllocator, Identity) {
  DefaultMemoryAllocator a;
  MemoryAllocator* base = &a;
  EXPECT_TRUE(base->TryCast(&DefaultMemoryAllocator::ClassId));
  EXPECT_TRUE(base->TryCast(&MemoryAllocator::ClassId));
  EXPECT_EQ(ClassCast<DefaultMemoryAllocator>(base), &a);
  MemoryAllocatorParams params;
  EXPECT_FALSE(params.TryCast(&MemoryAllocator::ClassId));
}

}  // namespace
