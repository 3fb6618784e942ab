// SSE2 vector kernels: vector_vec.h over four lanes.  The table look-ups
// (4/3 power, scale-factor gains) and the scaled integer sums keep the
// generic code: SSE2 has no gather and no 64-bit comparisons.
#include "dsp/dsp_kernels.h"
#include "dsp/simd_sse2.h"
#include "dsp/vector_vec.h"

void dsp_sse2::FillVector(DspVectorKernels& k) {
  using V = LaneSse2;
  using namespace vector_vec;
  k.MulC_32f = MulC<V>;
  k.Add_32f = Add<V>;
  k.Mul_32f = Mul<V>;
  k.MulAdd_32f = MulAdd<V>;
  k.SumDiff_32f = SumDiff<V>;
  k.AddProductC_32f = AddProductC<V>;
  k.Add_32fc = AddC<V>;
  k.Sub_32fc = SubC<V>;
  k.Max_32s = Max32<V>;
  k.Max_16s = Max16<V>;
  k.Min_32s = Min32<V>;
  k.ShiftLeft_32s = ShiftLeft<V>;
  k.ShiftRight_32s = ShiftRight<V>;
  k.InterleaveConvert_32f16s = InterleaveConvert<V>;
  k.Crc32 = dsp_generic::Crc32Slice8;
  k.Predict_32f = Predict<V>;
  k.Noise_32f = Noise<V>;
}
