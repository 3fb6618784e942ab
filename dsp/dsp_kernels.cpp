// The kernel tables of every instruction set and the process's selection.
#include "dsp/dsp_kernels.h"

#include <cstring>

#include "als/als_predict_impl.h"
#include "dsp/fft_impl.h"
#include "dsp/mdct_impl.h"
#include "dsp/vector_impl.h"
#include "ps/ps_hybrid_kernels.h"
#include "sbr/sbr_hf_kernels.h"
#include "sbr/sbr_qmf_impl.h"

namespace {

constexpr DspKernels MakeGeneric() {
  DspKernels k{};
  k.isa = dspIsaGeneric;
  DspVectorKernels& v = k.vector;
  v.MulC_32f = dsp_generic::MulC_32f;
  v.Add_32f = dsp_generic::Add_32f;
  v.Mul_32f = dsp_generic::Mul_32f;
  v.AddProductC_32f = dsp_generic::AddProductC_32f;
  v.Add_32fc = dsp_generic::Add_32fc;
  v.Sub_32fc = dsp_generic::Sub_32fc;
  v.Max_32s = dsp_generic::Max_32s;
  v.Max_16s = dsp_generic::Max_16s;
  v.Min_32s = dsp_generic::Min_32s;
  v.ShiftLeft_32s = dsp_generic::ShiftLeft_32s;
  v.ShiftRight_32s = dsp_generic::ShiftRight_32s;
  v.AddScaled_32s = dsp_generic::AddScaled_32s;
  v.InterleaveConvert_32f16s = dsp_generic::InterleaveConvert_32f16s;
  // Float output is a small share of a frame's work: generic in every table.
  v.InterleaveScale_32f = dsp_generic::InterleaveScale_32f;
  v.Crc32 = dsp_generic::Crc32;
  v.Pow43_16s32f = dsp_generic::Pow43_16s32f;
  v.ScalefactorGain_16s32f = dsp_generic::ScalefactorGain_16s32f;
  v.Pow43Bands_16s32f = dsp_generic::Pow43Bands_16s32f;
  v.MulAdd_32f = dsp_generic::MulAdd_32f;
  v.SumDiff_32f = dsp_generic::SumDiff_32f;
  v.Predict_32f = dsp_generic::Predict_32f;
  v.Noise_32f = dsp_generic::Noise_32f;
  k.transform = {dsp_generic::FftCore, dsp_generic::MdctInvCore, dsp_generic::MdctFwdCore,
                 dsp_generic::MdctInvOverlapCore, MixedFftForward};
  k.qmf = {qmf_generic::AnalysisB,    qmf_generic::AnalysisA,    qmf_generic::Synthesis64B,
           qmf_generic::Synthesis32B, qmf_generic::Synthesis64A, qmf_generic::Synthesis32A};
  k.ps_hybrid = {ps_generic::HybridComplex, ps_generic::HybridReal, ps_generic::AllPass,
                 ps_generic::MixReal,       ps_generic::MixComplex, ps_generic::Transient,
                 ps_generic::ToBands,       ps_generic::ToSlots};
  k.als = {als_generic::PredictBlock};
  k.sbr = {sbr_generic::Covariance, sbr_generic::Solve,  sbr_generic::Patch,
           sbr_generic::Energies,   sbr_generic::Smooth, sbr_generic::Adjust,
           sbr_generic::Gains,      sbr_generic::Limit,  sbr_generic::Boost};
  return k;
}

// Complete before any code runs, so primitives called before dspStaticInit
// (or in a program that never calls it) use the generic code.
constexpr DspKernels kGeneric = MakeGeneric();

DspKernels Build(DspIsa isa) {
  DspKernels k = kGeneric;
  k.isa = isa;
#if VX_SIMD_X86
  if (isa == dspIsaSse2 || isa == dspIsaAvx2) {
    dsp_sse2::FillVector(k.vector);
    dsp_sse2::FillTransform(k.transform);
    dsp_sse2::FillQmf(k.qmf);
    dsp_sse2::FillPsHybrid(k.ps_hybrid);
    dsp_sse2::FillAls(k.als);
    dsp_sse2::FillSbr(k.sbr);
  }
  if (isa == dspIsaAvx2) {
    dsp_avx2::FillVector(k.vector);
    dsp_avx2::FillTransform(k.transform);
    dsp_avx2::FillQmf(k.qmf);
    dsp_avx2::FillPsHybrid(k.ps_hybrid);
    dsp_avx2::FillAls(k.als);
    dsp_avx2::FillSbr(k.sbr);
  }
#endif
#if VX_SIMD_NEON
  if (isa == dspIsaNeon) {
    dsp_neon::FillVector(k.vector);
    dsp_neon::FillTransform(k.transform);
    dsp_neon::FillQmf(k.qmf);
    dsp_neon::FillPsHybrid(k.ps_hybrid);
    dsp_neon::FillAls(k.als);
    dsp_neon::FillSbr(k.sbr);
  }
#endif
  return k;
}

}  // namespace

namespace dsp_detail {
constinit const DspKernels* g_kernels = &kGeneric;
}  // namespace dsp_detail

const DspKernels* dspKernelsFor(DspIsa isa) {
  if (isa < 0 || isa >= dspIsaCount || !dsp_detail::IsaRunnable(isa)) return nullptr;
  // Built on first use (thread-safe), never changed afterwards.
  static const DspKernels tables[dspIsaCount] = {kGeneric, Build(dspIsaSse2), Build(dspIsaAvx2),
                                                 Build(dspIsaNeon)};
  return &tables[isa];
}

namespace {
constexpr const char* kIsaNames[dspIsaCount] = {"generic", "sse2", "avx2", "neon"};
}

const char* dspIsaName(DspIsa isa) {
  return isa >= 0 && isa < dspIsaCount ? kIsaNames[isa] : "?";
}

DspIsa dspIsaByName(const char* name) {
  for (int isa = 0; name && isa < dspIsaCount; ++isa) {
    if (std::strcmp(name, kIsaNames[isa]) == 0) return static_cast<DspIsa>(isa);
  }
  return dspIsaCount;
}
