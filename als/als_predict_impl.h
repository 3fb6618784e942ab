// Short-term synthesis filter of ALS: the generic kernel is the reference;
// the vectorised ones (als_predict_vec.h, reached through the DspAlsKernels
// of dsp_kernels.h) must match it bit for bit, which tests check on random
// data.
//
// PredictBlock: for i = 0..n-1,
//   x[i] = e[i] - ((sum_{j<K} rcof[j] * x[i-K+j] + 2^19) >> 20)
// with a wrapping 64-bit sum and 32-bit wrapping result; rcof holds the
// predictor coefficients in reverse order (rcof[j] = cof[K-1-j]) and
// x[-K..-1] is the history.
#pragma once

#include <cstdint>

namespace als_generic {
void PredictBlock(const int32_t* rcof, int32_t order, const int32_t* e, int32_t* x, int32_t n);
}

// The selected kernel (DspActiveKernels).
void AlsPredictBlock(const int32_t* rcof, int32_t order, const int32_t* e, int32_t* x, int32_t n);
