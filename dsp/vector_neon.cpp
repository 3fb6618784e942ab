// NEON vector kernels: vector_vec.h over four lanes, the same set as SSE2
// (the table look-ups and scaled integer sums keep the generic code).
#include "dsp/dsp_kernels.h"
#include "dsp/simd_neon.h"
#include "dsp/vector_vec.h"

void dsp_neon::FillVector(DspVectorKernels& k) {
  using V = LaneNeon;
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
