// The abstract codec: configured through parameter objects, fed and drained
// through media data descriptors, given memory by a MemoryAllocator.
// Defined inline so that the class has no key function (see umc_class.h).
#pragma once

#include <cstdint>
#include <new>

#include "umc/media_data.h"
#include "umc/memory_allocator.h"
#include "umc/umc_class.h"
#include "umc/umc_status.h"

namespace UMC {

class BaseCodecParams {
  UMC_ROOT_CLASS(BaseCodecParams)

 public:
  BaseCodecParams() = default;
  virtual ~BaseCodecParams() = default;

  MediaData* data = nullptr;             // configuration bytes for Init, or null
  MemoryAllocator* allocator = nullptr;  // caller's allocator, or null
  int32_t suggested_input_size = 0;      // written by GetInfo
  int32_t suggested_output_size = 0;     // written by GetInfo
  int32_t profile = 0;  // written by GetInfo: object type, +0x100 with SBR, +0x200 with PS data
  int32_t level = 0;
};

class BaseCodec {
  UMC_ROOT_CLASS(BaseCodec)

 public:
  BaseCodec() = default;
  BaseCodec(const BaseCodec&) = delete;
  BaseCodec& operator=(const BaseCodec&) = delete;
  virtual ~BaseCodec() { DestroyOwnedAllocator(); }

  // Allocator set-up.  Without a caller allocator the codec creates and
  // owns a DefaultMemoryAllocator (once; a second Init keeps it).  A caller
  // allocator is taken, not owned, by a codec that has none yet, and kept
  // when it is the one already in use; switching allocators is refused
  // (StatusInitFailed) because blocks may live in the old one.
  virtual Status Init(BaseCodecParams* params) {
    if (!params) return StatusNullPointer;
    if (params->allocator) {
      if (!allocator_) {
        allocator_ = params->allocator;
        owns_allocator_ = false;
        return StatusOk;
      }
      return (!owns_allocator_ && allocator_ == params->allocator) ? StatusOk : StatusInitFailed;
    }
    if (allocator_) return owns_allocator_ ? StatusOk : StatusInitFailed;
    allocator_ = new (std::nothrow) DefaultMemoryAllocator();
    if (!allocator_) return StatusAllocFailed;
    owns_allocator_ = true;
    return StatusOk;
  }
  virtual Status GetFrame(MediaData* in, MediaData* out) = 0;
  virtual Status GetInfo(BaseCodecParams* info) = 0;
  // Destroys an owned allocator.
  virtual Status Close() {
    DestroyOwnedAllocator();
    return StatusOk;
  }
  virtual Status Reset() = 0;
  // The base class takes no parameters.
  virtual Status SetParams(BaseCodecParams* params) {
    return params ? StatusNotImplemented : StatusNullPointer;
  }

  MemoryAllocator* Allocator() const { return allocator_; }
  bool OwnsAllocator() const { return owns_allocator_; }

 protected:
  MemoryAllocator* allocator_ = nullptr;
  bool owns_allocator_ = false;

 private:
  void DestroyOwnedAllocator() {
    if (owns_allocator_) {
      delete allocator_;
      allocator_ = nullptr;
    }
    owns_allocator_ = false;
  }
};

}  // namespace UMC
