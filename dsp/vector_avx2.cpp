// AVX2 vector kernels where eight lanes pay (over the SSE2 table): the float
// arithmetic, mono and stereo interleaving, the gathers of the 4/3-power
// table and the predictor's reciprocals, and the scale factor gains (by
// permute) and the noise generator.  Bit-exact like every vector kernel: no fused multiply-add.
#include "dsp/dsp_kernels.h"
#include "dsp/simd_avx2.h"
#include "dsp/vector_vec.h"

void dsp_avx2::FillVector(DspVectorKernels& k) {
  using V = LaneAvx2;
  using namespace vector_vec;
  k.MulC_32f = MulC<V>;
  k.Add_32f = Add<V>;
  k.Mul_32f = Mul<V>;
  k.MulAdd_32f = MulAdd<V>;
  k.SumDiff_32f = SumDiff<V>;
  k.Add_32fc = AddC<V>;
  k.InterleaveConvert_32f16s = InterleaveConvert<V>;
  k.Pow43_16s32f = Pow43<V>;
  k.Pow43Bands_16s32f = Pow43BandsWide<V>;
  k.ScalefactorGain_16s32f = ScalefactorGain<V>;
  k.Predict_32f = Predict<V>;
  k.Noise_32f = Noise<V>;
}
