#include "dsp/dsp_core.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>

#include "dsp/dsp_kernels.h"

namespace {

TEST(DspCore, SelectionRule) {
  int32_t idx, sub;
  dspSelectClass(false, 0xFF, &idx, &sub);
  EXPECT_EQ(idx, 0);
  EXPECT_EQ(sub, 0);
  dspSelectClass(true, dspCpuSSE2 | dspCpuSSE, &idx, &sub);
  EXPECT_EQ(idx, 1);
  EXPECT_EQ(sub, 1);
  dspSelectClass(true, dspCpuSSE2 | dspCpuSSE3, &idx, &sub);
  EXPECT_EQ(idx, 2);
  dspSelectClass(true, dspCpuSSE2 | dspCpuSSSE3 | dspCpuMOVBE, &idx, &sub);
  EXPECT_EQ(idx, 3);
  EXPECT_EQ(sub, 2);
  dspSelectClass(true, dspCpuSSE2 | dspCpuSSSE3, &idx, &sub);
  EXPECT_EQ(idx, 3);
  EXPECT_EQ(sub, 1);
  dspSelectClass(true, dspCpuSSE41, &idx, &sub);
  EXPECT_EQ(idx, 4);
  EXPECT_EQ(sub, 1);
  dspSelectClass(true, dspCpuMMX | dspCpuSSE, &idx, &sub);
  EXPECT_EQ(idx, 0);
  EXPECT_EQ(sub, 0);
}

#if defined(__x86_64__)
TEST(DspCore, StaticInitPicksVectorisedOnX86_64) {
  const int32_t st = dspStaticInit();
  EXPECT_TRUE(st == 0 || st == 20);
  uint32_t mask[2] = {0xdead, 0xbeef};
  uint32_t regs[4] = {};
  ASSERT_EQ(dspGetCpuFeatures(mask, regs), 0);
  EXPECT_EQ(mask[1], 0u);
  EXPECT_TRUE(mask[0] & dspCpuSSE2);  // every x86-64 has SSE2
  EXPECT_GE(dspGetCpuClass(), 1);
  EXPECT_EQ(dspGetCpuFeatures(nullptr, nullptr), dspStsNullPtrErr);
  const DspIsa isa = DspActiveKernels().isa;
  EXPECT_EQ(isa, dspHasAvx2() ? dspIsaAvx2 : dspIsaSse2);
  EXPECT_EQ(dspKernelsFor(dspIsaNeon), nullptr);
  // Our CPUID reading agrees with the compiler's own processor model.
  __builtin_cpu_init();
  EXPECT_EQ(dspHasAvx2(), __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"));
}
#elif defined(__aarch64__)
// No CPUID: the feature query fails, the vendor check reports 20, and the
// vectorised class stands for NEON.
TEST(DspCore, StaticInitPicksNeonOnAarch64) {
  EXPECT_EQ(dspStaticInit(), dspStsNonReferenceCpu);
  uint32_t mask[2] = {0xdead, 0xbeef};
  EXPECT_EQ(dspGetCpuFeatures(mask, nullptr), dspStsNoCpuid);
  EXPECT_EQ(mask[0], 0xdeadu);
  EXPECT_EQ(dspGetCpuClass(), 1);
  EXPECT_EQ(DspActiveKernels().isa, dspIsaNeon);
  EXPECT_EQ(dspKernelsFor(dspIsaSse2), nullptr);
  EXPECT_EQ(dspKernelsFor(dspIsaAvx2), nullptr);
}
#endif

// Tables of any supported instruction set come without touching the
// selection; forcing the class index moves the selection between the
// generic table and the widest one.
TEST(DspCore, KernelTablesAndSelection) {
  dspStaticInit();
  const DspKernels* selected = &DspActiveKernels();
  const DspKernels* generic = dspKernelsFor(dspIsaGeneric);
  ASSERT_NE(generic, nullptr);
  EXPECT_EQ(generic->isa, dspIsaGeneric);
  for (int isa = 0; isa < dspIsaCount; ++isa) {
    const DspKernels* k = dspKernelsFor(static_cast<DspIsa>(isa));
    if (k) {
      EXPECT_EQ(k->isa, isa);
    }
    EXPECT_EQ(&DspActiveKernels(), selected);
  }
  EXPECT_EQ(dspKernelsFor(dspIsaCount), nullptr);
  EXPECT_STREQ(dspIsaName(dspIsaNeon), "neon");
  if (selected->isa != dspIsaGeneric) {
    EXPECT_NE(generic->vector.Add_32f, selected->vector.Add_32f);
  }
  dspForceCpuClass(0);
  EXPECT_EQ(&DspActiveKernels(), generic);
  dspForceCpuClass(1);
  EXPECT_EQ(&DspActiveKernels(), selected);
  // One instruction set by name, as the command-line decoder selects it.
  EXPECT_EQ(dspSelectKernels(dspIsaByName("generic")), dspStsNoErr);
  EXPECT_EQ(&DspActiveKernels(), generic);
  EXPECT_EQ(dspGetCpuClass(), 0);
  EXPECT_EQ(dspSelectKernels(dspIsaByName("mmx")), dspStsSizeErr);
  EXPECT_EQ(&DspActiveKernels(), generic);
  EXPECT_EQ(dspSelectKernels(selected->isa), dspStsNoErr);
  EXPECT_EQ(&DspActiveKernels(), selected);
  dspStaticInit();
  EXPECT_EQ(&DspActiveKernels(), selected);
}

int g_alloc_calls = 0;
void* CountingAlloc(size_t n) {
  ++g_alloc_calls;
  return std::malloc(n);
}

TEST(DspCore, MallocAlignmentAndHooks) {
  DspMemoryHooks hooks;
  dspGetMemoryHooks(&hooks);
  hooks.alloc = CountingAlloc;
  dspSetMemoryHooks(&hooks);
  g_alloc_calls = 0;
  EXPECT_EQ(dspMalloc(0), nullptr);
  EXPECT_EQ(dspMalloc(-5), nullptr);
  EXPECT_EQ(g_alloc_calls, 0);
  for (int n : {1, 3, 31, 32, 33, 1000, 65536}) {
    auto* p = static_cast<uint8_t*>(dspMalloc(n));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 32, 0u);
    for (int i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(i);  // whole range writable
    dspFree(p);
  }
  EXPECT_EQ(g_alloc_calls, 7);
  dspFree(nullptr);
  dspSetMemoryHooks(nullptr);
}

}  // namespace
