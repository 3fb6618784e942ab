// The kernel tables a test can compare: every instruction set this build has
// code for and the processor runs, taken without touching the selection the
// decoders use.
#pragma once

#include <vector>

#include "dsp/dsp_kernels.h"

inline const DspKernels& GenericKernels() {
  return *dspKernelsFor(dspIsaGeneric);
}

// The vectorised tables (SSE2 and AVX2, or NEON); empty on a build or
// processor without any.
inline std::vector<const DspKernels*> VectorisedKernels() {
  std::vector<const DspKernels*> v;
  for (int isa = dspIsaGeneric + 1; isa < dspIsaCount; ++isa) {
    if (const DspKernels* k = dspKernelsFor(static_cast<DspIsa>(isa))) v.push_back(k);
  }
  return v;
}
