// Processor detection, implementation selection and memory hooks.
#include "dsp/dsp_core.h"

#include <cstdlib>
#include <cstring>

#include "dsp/dsp_kernels.h"

#if VX_SIMD_X86
#include <cpuid.h>
#define VX_HAVE_CPUID 1
#endif
#if VX_SIMD_NEON
#include <sys/auxv.h>
#endif

namespace dsp_detail {

namespace {
int32_t g_cpu_class = 0;
int32_t g_sub_variant = 0;
bool g_avx2 = false;

// Feature cache; two racing first queries store identical values.
bool g_features_detected = false;
uint32_t g_features = 0;
uint32_t g_leaf1[4] = {0, 0, 0, 0};

bool QueryLeaf(uint32_t leaf, uint32_t regs[4]) {
#ifdef VX_HAVE_CPUID
  // On x86-64 the CPUID instruction always exists (the flags-register test
  // of 32-bit processors is not needed there).
  unsigned a, b, c, d;
  if (!__get_cpuid_count(leaf, 0, &a, &b, &c, &d)) return false;
  regs[0] = a;
  regs[1] = b;
  regs[2] = c;
  regs[3] = d;
  return true;
#else
  (void)leaf;
  (void)regs;
  return false;
#endif
}

bool DetectFeatures() {
  if (g_features_detected) return true;
  uint32_t r[4];
  if (!QueryLeaf(1, r)) return false;
  const uint32_t ecx = r[2], edx = r[3];
  uint32_t m = 0;
  if (edx & (1u << 23)) m |= dspCpuMMX;
  if (edx & (1u << 25)) m |= dspCpuSSE;
  if (edx & (1u << 26)) m |= dspCpuSSE2;
  if (ecx & (1u << 0)) m |= dspCpuSSE3;
  if (ecx & (1u << 9)) m |= dspCpuSSSE3;
  if (ecx & (1u << 22)) m |= dspCpuMOVBE;
  if (ecx & (1u << 19)) m |= dspCpuSSE41;
  if (ecx & (1u << 20)) m |= dspCpuSSE42;
  std::memcpy(g_leaf1, r, sizeof(g_leaf1));
  g_features = m;
  g_features_detected = true;
  return true;
}

// AVX2 and FMA, and the operating system saving the YMM registers (XCR0
// bits 1 and 2, readable once OSXSAVE is set).  Read here rather than through
// the compiler's runtime, whose processor-model code would be linked in and
// stay resident for a single query.
bool DetectAvx2() {
#if VX_SIMD_X86
  uint32_t r7[4];
  if (!DetectFeatures() || !QueryLeaf(7, r7)) return false;
  constexpr uint32_t kFma = 1u << 12, kOsXsave = 1u << 27, kAvx = 1u << 28;
  if ((g_leaf1[2] & (kFma | kOsXsave | kAvx)) != (kFma | kOsXsave | kAvx)) return false;
  uint32_t xcr0_lo, xcr0_hi;
  __asm__("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
  (void)xcr0_hi;
  return (xcr0_lo & 6u) == 6u && (r7[1] & (1u << 5)) != 0;
#else
  return false;
#endif
}

// Advanced SIMD is part of every aarch64 Linux system; the kernel still
// says so in the hardware capabilities.
bool DetectNeon() {
#if VX_SIMD_NEON
  return (getauxval(AT_HWCAP) & HWCAP_ASIMD) != 0;
#else
  return false;
#endif
}

// The table of processor-class index `index`: 0 generic, otherwise the
// widest instruction set this build has and the processor runs.
const DspKernels* KernelsForClass(int32_t index) {
  static constexpr DspIsa kWidestFirst[] = {dspIsaAvx2, dspIsaSse2, dspIsaNeon};
  if (index > 0) {
    for (DspIsa isa : kWidestFirst) {
      if (const DspKernels* k = dspKernelsFor(isa)) return k;
    }
  }
  return dspKernelsFor(dspIsaGeneric);
}

}  // namespace

bool IsaRunnable(DspIsa isa) {
  switch (isa) {
    case dspIsaGeneric:
      return true;
    case dspIsaSse2: {
      uint32_t mask[2] = {0, 0};
      return dspGetCpuFeatures(mask, nullptr) == dspStsNoErr && (mask[0] & dspCpuSSE2);
    }
    case dspIsaAvx2:
      return IsaRunnable(dspIsaSse2) && DetectAvx2();
    case dspIsaNeon:
      return DetectNeon();
    default:
      return false;
  }
}

}  // namespace dsp_detail

using namespace dsp_detail;

int32_t dspGetCpuFeatures(uint32_t mask[2], uint32_t cpuid[4]) {
  if (!DetectFeatures()) return dspStsNoCpuid;
  if (!mask) return dspStsNullPtrErr;
  mask[0] = g_features;
  mask[1] = 0;
  if (cpuid) std::memcpy(cpuid, g_leaf1, sizeof(g_leaf1));
  return dspStsNoErr;
}

void dspSelectClass(bool have_cpuid, uint32_t m, int32_t* index, int32_t* sub) {
  if (!have_cpuid) {
    *index = 0, *sub = 0;
  } else if (m & dspCpuSSE41) {
    *index = 4, *sub = 1;
  } else if ((m & dspCpuMOVBE) && (m & dspCpuSSSE3)) {
    *index = 3, *sub = 2;
  } else if (m & dspCpuSSSE3) {
    *index = 3, *sub = 1;
  } else if (m & dspCpuSSE3) {
    *index = 2, *sub = 1;
  } else if (m & dspCpuSSE2) {
    *index = 1, *sub = 1;
  } else {
    *index = 0, *sub = 0;
  }
}

int32_t dspStaticInit() {
  uint32_t mask[2] = {0, 0};
  const bool have = dspGetCpuFeatures(mask, nullptr) == dspStsNoErr;
  int32_t index, sub;
  dspSelectClass(have, mask[0], &index, &sub);
  // Without CPUID (aarch64) the vectorised class stands for NEON.
  if (!have && IsaRunnable(dspIsaNeon)) index = 1, sub = 1;
  g_cpu_class = index;
  g_sub_variant = sub;
  g_kernels = KernelsForClass(index);
  g_avx2 = g_kernels->isa == dspIsaAvx2;
  uint32_t r[4];
  if (!have || !QueryLeaf(0, r)) return dspStsNonReferenceCpu;
  const bool reference = r[1] == 0x756e6547u && r[3] == 0x49656e69u && r[2] == 0x6c65746eu;
  return reference ? dspStsNoErr : dspStsNonReferenceCpu;
}

int32_t dspGetCpuClass() {
  return g_cpu_class;
}
int32_t dspGetCpuSubVariant() {
  return g_sub_variant;
}
bool dspHasAvx2() {
  return g_avx2;
}

void dspForceCpuClass(int32_t index) {
  if (index < 0 || index > 4) index = 0;
  g_cpu_class = index;
  g_kernels = KernelsForClass(index);
}

int32_t dspSelectKernels(DspIsa isa) {
  const DspKernels* k = dspKernelsFor(isa);
  if (!k) return dspStsSizeErr;
  g_kernels = k;
  if (isa == dspIsaGeneric) {
    g_cpu_class = 0;
  } else if (g_cpu_class == 0) {
    g_cpu_class = 1;
  }
  return dspStsNoErr;
}

namespace {
DspMemoryHooks g_hooks = {std::malloc, std::calloc, std::realloc, std::free};
}

void dspSetMemoryHooks(const DspMemoryHooks* hooks) {
  if (hooks) {
    g_hooks = *hooks;
  } else {
    g_hooks = {std::malloc, std::calloc, std::realloc, std::free};
  }
}

void dspGetMemoryHooks(DspMemoryHooks* hooks) {
  if (hooks) *hooks = g_hooks;
}

// The raw address is kept in the pointer-sized slot just below the aligned
// result (a full pointer, so that it survives on 64-bit hosts).
void* dspMalloc(int32_t n) {
  if (n <= 0) return nullptr;
  const size_t slack = 32 + sizeof(void*);
  void* raw = g_hooks.alloc(static_cast<size_t>(n) + slack);
  if (!raw) return nullptr;
  const uintptr_t base = reinterpret_cast<uintptr_t>(raw) + sizeof(void*);
  uint8_t* aligned = reinterpret_cast<uint8_t*>((base + 31) & ~uintptr_t{31});
  std::memcpy(aligned - sizeof(void*), &raw, sizeof(void*));
  return aligned;
}

void dspFree(void* p) {
  if (!p) return;
  void* raw;
  std::memcpy(&raw, static_cast<uint8_t*>(p) - sizeof(void*), sizeof(void*));
  g_hooks.free(raw);
}
