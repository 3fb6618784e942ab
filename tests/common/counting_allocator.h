// A memory allocator that counts the blocks its users hold, so that tests
// and fuzz targets can check that every block a decoder takes is given back.
#pragma once

#include "umc/memory_allocator.h"

namespace vxtest {

class CountingAllocator : public UMC::DefaultMemoryAllocator {
 public:
  UMC::Status Alloc(UMC::MemId* id, size_t size, uint32_t flags, size_t align) override {
    const UMC::Status st = DefaultMemoryAllocator::Alloc(id, size, flags, align);
    live += st == UMC::StatusOk;
    return st;
  }
  UMC::Status Free(UMC::MemId id) override {
    const UMC::Status st = DefaultMemoryAllocator::Free(id);
    live -= st == UMC::StatusOk;
    return st;
  }
  UMC::Status ForceFree(UMC::MemId id) override {
    const UMC::Status st = DefaultMemoryAllocator::ForceFree(id);
    live -= st == UMC::StatusOk;
    return st;
  }
  int live = 0;
};

}  // namespace vxtest
