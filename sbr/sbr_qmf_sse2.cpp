// SSE2 QMF banks: four time slots per vector.
#include <emmintrin.h>

#include "sbr/sbr_qmf_impl.h"
#include "sbr/sbr_qmf_kernels.h"

namespace {

struct LaneSse2 {
  using T = __m128;
  static constexpr int L = 4;
  static T Zero() { return _mm_setzero_ps(); }
  static T Set1(float v) { return _mm_set1_ps(v); }
  static T Load(const float* p) { return _mm_loadu_ps(p); }
  static void Store(float* p, T v) { _mm_storeu_ps(p, v); }
  static T Add(T a, T b) { return _mm_add_ps(a, b); }
  static T Sub(T a, T b) { return _mm_sub_ps(a, b); }
  static T Mul(T a, T b) { return _mm_mul_ps(a, b); }
  static void Transpose(T* r) { _MM_TRANSPOSE4_PS(r[0], r[1], r[2], r[3]); }
};

}  // namespace

namespace qmf_sse2 {
VX_SBR_QMF_DEFINE(LaneSse2)
}  // namespace qmf_sse2
