#include "umc/memory_allocator.h"

#include <cstring>

#include "dsp/dsp_core.h"

namespace UMC {

UMC_DEFINE_CLASS(MemoryAllocatorParams)
UMC_DEFINE_CLASS(MemoryAllocator)
UMC_DEFINE_CLASS(DefaultMemoryAllocator)

namespace {

constexpr size_t kMaxAlign = size_t{1} << 21;
constexpr int32_t kMinCapacity = 8;

// Offset from raw to its first address aligned to `align`.
size_t AlignOffset(const uint8_t* raw, size_t align) {
  const uintptr_t p = reinterpret_cast<uintptr_t>(raw);
  return ((p + align - 1) & ~(uintptr_t{align} - 1)) - p;
}

bool Fits(const uint8_t* raw, size_t have, size_t size, size_t align) {
  const size_t off = AlignOffset(raw, align);
  return have >= off && have - off >= size;
}

}  // namespace

Status DefaultMemoryAllocator::CloseAll() {
  for (int32_t i = 0; i < count_; ++i) dspFree(entries_[i].raw);
  dspFree(entries_);
  entries_ = nullptr;
  count_ = capacity_ = 0;
  return StatusOk;
}

DefaultMemoryAllocator::Entry* DefaultMemoryAllocator::Find(MemId id) {
  if (id == 0) return nullptr;
  for (int32_t i = 0; i < count_; ++i)
    if (entries_[i].id == id) return &entries_[i];
  return nullptr;
}

void DefaultMemoryAllocator::Release(Entry& e) {
  e.id = 0;  // memory stays for recycling
  e.lock_count = 0;
  e.free_pending = false;
}

bool DefaultMemoryAllocator::Grow() {
  if (capacity_ > INT32_MAX / 2) return false;
  const int32_t cap = capacity_ < kMinCapacity / 2 ? kMinCapacity : capacity_ * 2;
  const size_t bytes = static_cast<size_t>(cap) * sizeof(Entry);
  if (bytes > static_cast<size_t>(INT32_MAX)) return false;
  auto* table = static_cast<Entry*>(dspMalloc(static_cast<int32_t>(bytes)));
  if (!table) return false;
  std::memset(static_cast<void*>(table), 0, bytes);
  if (count_ > 0) std::memcpy(static_cast<void*>(table), entries_, count_ * sizeof(Entry));
  dspFree(entries_);
  entries_ = table;
  capacity_ = cap;
  return true;
}

// Index of the entry that will hold the block, or -1 when the table cannot
// grow.  Prefers a released entry large enough to recycle; the first entry
// without memory ends the scan.
int32_t DefaultMemoryAllocator::TakeEntry(size_t size, size_t align) {
  int32_t too_small = -1;
  for (int32_t i = 0; i < count_; ++i) {
    Entry& e = entries_[i];
    if (!e.raw) return i;
    if (e.id != 0) continue;
    if (Fits(e.raw, e.size, size, align)) return i;
    too_small = i;
  }
  if (count_ < capacity_) return count_++;
  if (too_small >= 0) {
    dspFree(entries_[too_small].raw);
    entries_[too_small].raw = nullptr;
    entries_[too_small].size = 0;
    return too_small;
  }
  if (!Grow()) return -1;
  return count_++;
}

Status DefaultMemoryAllocator::AllocBlock(MemId* id, size_t size, size_t align) {
  if (!id) return StatusNullPointer;
  if (size == 0 || align == 0 || align > kMaxAlign || (align & (align - 1)) != 0)
    return StatusInvalidParams;
  *id = 0;
  if (size > static_cast<size_t>(INT32_MAX) - align) return StatusAllocFailed;
  if (last_id_ == INT32_MAX) return StatusAllocFailed;  // ids would repeat

  const int32_t idx = TakeEntry(size, align);
  if (idx < 0) return StatusAllocFailed;
  Entry& e = entries_[idx];
  if (!(e.raw && e.id == 0 && Fits(e.raw, e.size, size, align))) {
    dspFree(e.raw);
    e.raw = static_cast<uint8_t*>(dspMalloc(static_cast<int32_t>(size + align)));
    e.size = e.raw ? size + align : 0;
    e.id = 0;
    if (!e.raw) return StatusAllocFailed;
  }
  e.align = align;
  e.lock_count = 0;
  e.free_pending = false;
  e.id = ++last_id_;
  *id = e.id;
  return StatusOk;
}

void* DefaultMemoryAllocator::LockBlock(MemId id) {
  Entry* e = Find(id);
  if (!e || !e->raw || e->free_pending) return nullptr;
  if (e->lock_count == INT32_MAX) return nullptr;
  ++e->lock_count;
  return e->raw + AlignOffset(e->raw, e->align);
}

Status DefaultMemoryAllocator::UnlockBlock(MemId id) {
  Entry* e = Find(id);
  if (!e || !e->raw || e->lock_count <= 0) return StatusOutOfRange;
  if (--e->lock_count == 0 && e->free_pending) Release(*e);
  return StatusOk;
}

// Free defers the release of a locked block to its last Unlock; ForceFree
// releases it at once.  A block already pending is refused by Free only.
Status DefaultMemoryAllocator::FreeBlock(MemId id, bool force) {
  if (id == 0) return StatusOutOfRange;
  Entry* e = Find(id);
  if (!e) return force ? StatusOk : StatusOutOfRange;
  if (!e->raw || (!force && e->free_pending)) return StatusOutOfRange;
  e->free_pending = true;
  if (force || e->lock_count == 0) Release(*e);
  return StatusOk;
}

}  // namespace UMC
