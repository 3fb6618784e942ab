// Primitive library core: status codes, processor dispatch, memory hooks.
#pragma once

#include <cstddef>
#include <cstdint>

// Status codes returned by every primitive (0 ok, < 0 error, > 0 warning).
enum DspStatus : int32_t {
  dspStsNoErr = 0,
  dspStsMisalignedWarn = 2,
  dspStsNonReferenceCpu = 20,
  dspStsNoCpuid = 36,
  dspStsSizeErr = -6,
  dspStsNullPtrErr = -8,
  dspStsMemAllocErr = -9,
  dspStsStepErr = -14,
  dspStsFftOrderErr = -15,
  dspStsFftFlagErr = -16,
  dspStsContextMatchErr = -17,
  dspStsShiftErr = -32,
  dspStsVlcBadArgErr = -127,
  dspStsVlcBadLenErr = -129,
  dspStsBitOffsetErr = -193,
};

// Feature mask bits (CPUID leaf 1).
enum DspCpuFeature : uint32_t {
  dspCpuMMX = 1u << 0,
  dspCpuSSE = 1u << 1,
  dspCpuSSE2 = 1u << 2,
  dspCpuSSE3 = 1u << 3,
  dspCpuSSSE3 = 1u << 4,
  dspCpuMOVBE = 1u << 5,
  dspCpuSSE41 = 1u << 6,
  dspCpuSSE42 = 1u << 7,
};

// Detects the processor and selects the implementation of every primitive
// (the kernel table of dsp_kernels.h).  Returns 0, or 20 when the vendor is
// not the reference vendor (the selection is made anyway).  On aarch64,
// which has no CPUID, the result is 20 and the class index is 1 (NEON).
int32_t dspStaticInit();

// Writes the 64-bit feature mask (low word first) and, if cpuid is given, the
// EAX, EBX, ECX, EDX registers of CPUID leaf 1.
int32_t dspGetCpuFeatures(uint32_t mask[2], uint32_t cpuid[4]);

// Processor-class index (0 generic, 1..4 vectorised: the widest instruction
// set the build has and the processor runs) and sub-variant.
int32_t dspGetCpuClass();
int32_t dspGetCpuSubVariant();

// True when dspStaticInit selected the AVX2 table (AVX2 and FMA usable by
// processor and operating system).
bool dspHasAvx2();

// Selection rule on a given feature mask; exposed for tests.
void dspSelectClass(bool have_cpuid, uint32_t mask, int32_t* index, int32_t* sub_variant);

// Forces the processor-class index and with it the selected kernel table
// (tests and benchmarks that compare whole decodes; kernels alone are
// compared through dspKernelsFor without touching the selection).
void dspForceCpuClass(int32_t index);

// Memory hooks: allocate, allocate-zeroed, reallocate, release.
struct DspMemoryHooks {
  void* (*alloc)(size_t);
  void* (*calloc)(size_t, size_t);
  void* (*realloc)(void*, size_t);
  void (*free)(void*);
};
void dspSetMemoryHooks(const DspMemoryHooks* hooks);  // null restores the defaults
void dspGetMemoryHooks(DspMemoryHooks* hooks);

// 32-byte aligned allocation; n <= 0 gives null.
void* dspMalloc(int32_t n);
void dspFree(void* p);

// Rounds a pointer up to a power-of-two boundary.
template <typename T>
inline T* dspAlignPtr(void* p, uintptr_t align) {
  return reinterpret_cast<T*>((reinterpret_cast<uintptr_t>(p) + align - 1) & ~(align - 1));
}
