// Id-based memory blocks.  A codec asks for blocks by integer id and gets an
// address only while a block is locked; an allocator may move a block while
// it is unlocked (the default allocator never does).
#pragma once

#include <cstddef>
#include <cstdint>

#include "umc/umc_class.h"
#include "umc/umc_status.h"

namespace UMC {

using MemId = int32_t;  // 0 means no block

class MemoryAllocatorParams {
  UMC_ROOT_CLASS(MemoryAllocatorParams)

 public:
  virtual ~MemoryAllocatorParams() = default;
};

class MemoryAllocator {
  UMC_ROOT_CLASS(MemoryAllocator)

 public:
  MemoryAllocator() = default;
  MemoryAllocator(const MemoryAllocator&) = delete;
  MemoryAllocator& operator=(const MemoryAllocator&) = delete;
  virtual ~MemoryAllocator() = default;

  virtual Status Init(MemoryAllocatorParams* params) = 0;
  virtual Status Close() = 0;
  // `align` must be a power of two up to 2^21; `flags` is not used.
  virtual Status Alloc(MemId* id, size_t size, uint32_t flags, size_t align) = 0;
  // The block's address, or null for an unknown, empty or released id.
  virtual void* Lock(MemId id) = 0;
  virtual Status Unlock(MemId id) = 0;
  // Releases the block now, or at its last Unlock while it is locked.
  virtual Status Free(MemId id) = 0;
  // Releases the block whatever its lock count.
  virtual Status ForceFree(MemId id) = 0;
};

// Keeps a growable table of entries; never moves a block and recycles the
// memory of released blocks for later requests of the same or smaller size.
// Ids are 1, 2, 3, ... and are never reused within one allocator's life.
class DefaultMemoryAllocator : public MemoryAllocator {
  UMC_DERIVED_CLASS(DefaultMemoryAllocator, MemoryAllocator)

 public:
  DefaultMemoryAllocator() = default;
  ~DefaultMemoryAllocator() override { CloseAll(); }

  // Inline wrappers: no key function (see umc_class.h).
  Status Init(MemoryAllocatorParams*) override { return CloseAll(); }
  // Frees every block and the table; ids keep counting.
  Status Close() override { return CloseAll(); }
  Status Alloc(MemId* id, size_t size, uint32_t, size_t align) override {
    return AllocBlock(id, size, align);
  }
  void* Lock(MemId id) override { return LockBlock(id); }
  Status Unlock(MemId id) override { return UnlockBlock(id); }
  Status Free(MemId id) override { return FreeBlock(id, false); }
  Status ForceFree(MemId id) override { return FreeBlock(id, true); }

  // Introspection for tests and diagnostics.
  int32_t EntryCount() const { return count_; }
  int32_t Capacity() const { return capacity_; }

 private:
  struct Entry {
    uint8_t* raw;  // from dspMalloc, or null
    size_t size;   // bytes obtained: requested size + alignment
    MemId id;      // 0: released, the memory may be recycled
    size_t align;
    int32_t lock_count;
    bool free_pending;
  };

  Status CloseAll();
  Status AllocBlock(MemId* id, size_t size, size_t align);
  void* LockBlock(MemId id);
  Status UnlockBlock(MemId id);
  Status FreeBlock(MemId id, bool force);
  Entry* Find(MemId id);
  int32_t TakeEntry(size_t size, size_t align);
  bool Grow();
  static void Release(Entry& e);

  Entry* entries_ = nullptr;
  int32_t count_ = 0;  // entries in use at the front of the table
  int32_t capacity_ = 0;
  MemId last_id_ = 0;
};

}  // namespace UMC
