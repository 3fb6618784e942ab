// Public entry points of the vector primitives: argument checks, then the
// kernel of the selected table (dsp_kernels.h).
#include <algorithm>
#include <cstring>

#include "dsp/dsp_kernels.h"
#include "dsp/vector_impl.h"

namespace dsp_tables {

namespace {
constexpr uint32_t kCrcPoly = 0xEDB88320u;
struct CrcTables {
  uint32_t t[8][256];
};
constexpr CrcTables MakeCrcTables() {
  CrcTables c{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t v = i;
    for (int b = 0; b < 8; ++b) v = (v & 1) ? (v >> 1) ^ kCrcPoly : v >> 1;
    c.t[0][i] = v;
  }
  for (int k = 1; k < 8; ++k) {
    for (uint32_t i = 0; i < 256; ++i)
      c.t[k][i] = (c.t[k - 1][i] >> 8) ^ c.t[0][c.t[k - 1][i] & 0xFF];
  }
  return c;
}
constexpr CrcTables kCrcTables = MakeCrcTables();
}  // namespace

extern const uint32_t (&kCrc32)[8][256];
const uint32_t (&kCrc32)[8][256] = kCrcTables.t;

}  // namespace dsp_tables

namespace {

template <typename T>
int32_t Fill(T* dst, T value, int32_t n) {
  if (!dst) return dspStsNullPtrErr;
  if (n <= 0) return dspStsSizeErr;
  std::fill(dst, dst + n, value);
  return dspStsNoErr;
}

template <typename T>
int32_t CopyN(const T* src, T* dst, int32_t n) {
  if (!src || !dst) return dspStsNullPtrErr;
  if (n <= 0) return dspStsSizeErr;
  std::memcpy(dst, src, sizeof(T) * static_cast<size_t>(n));
  return dspStsNoErr;
}

}  // namespace

int32_t dspZero_8u(uint8_t* dst, int32_t n) {
  return Fill<uint8_t>(dst, 0, n);
}
int32_t dspZero_16s(int16_t* dst, int32_t n) {
  return Fill<int16_t>(dst, 0, n);
}
int32_t dspZero_32s(int32_t* dst, int32_t n) {
  return Fill<int32_t>(dst, 0, n);
}
int32_t dspZero_32f(float* dst, int32_t n) {
  return Fill<float>(dst, 0.0f, n);
}
int32_t dspZero_32fc(Dsp32fc* dst, int32_t n) {
  return Fill<Dsp32fc>(dst, Dsp32fc{0.0f, 0.0f}, n);
}
bool dspIsZero_32f(const float* src, int32_t n) {
  if (!src || n <= 0) return false;
  // Blocks of 32 ORed without branches (the compiler vectorises the inner
  // loop); a nonzero value usually shows in the first block.
  constexpr int32_t kBlock = 32;
  int32_t i = 0;
  for (; i + kBlock <= n; i += kBlock) {
    uint32_t bits = 0;
    for (int32_t k = 0; k < kBlock; ++k) {
      uint32_t v;
      std::memcpy(&v, src + i + k, sizeof v);
      bits |= v << 1;  // drops the sign: -0 counts as zero
    }
    if (bits) return false;
  }
  for (; i < n; ++i) {
    uint32_t v;
    std::memcpy(&v, src + i, sizeof v);
    if (v << 1) return false;
  }
  return true;
}
int32_t dspCopy_8u(const uint8_t* s, uint8_t* d, int32_t n) {
  return CopyN(s, d, n);
}
int32_t dspCopy_16s(const int16_t* s, int16_t* d, int32_t n) {
  return CopyN(s, d, n);
}
int32_t dspCopy_32s(const int32_t* s, int32_t* d, int32_t n) {
  return CopyN(s, d, n);
}
int32_t dspCopy_32f(const float* s, float* d, int32_t n) {
  return CopyN(s, d, n);
}
int32_t dspCopy_32fc(const Dsp32fc* s, Dsp32fc* d, int32_t n) {
  return CopyN(s, d, n);
}

int32_t dspMove_32s(const int32_t* src, int32_t* dst, int32_t n) {
  if (!src || !dst) return dspStsNullPtrErr;
  if (n <= 0) return dspStsSizeErr;
  if (src != dst) std::memmove(dst, src, sizeof(int32_t) * static_cast<size_t>(n));
  return dspStsNoErr;
}

int32_t dspSet_32s(int32_t value, int32_t* dst, int32_t n) {
  return Fill(dst, value, n);
}
int32_t dspSet_16s(int16_t value, int16_t* dst, int32_t n) {
  return Fill(dst, value, n);
}

int32_t dspMulC_32f(const float* src, float c, float* dst, int32_t n) {
  if (!src || !dst) return dspStsNullPtrErr;
  if (n <= 0) return dspStsSizeErr;
  DspActiveKernels().vector.MulC_32f(src, c, dst, n);
  return dspStsNoErr;
}

int32_t dspMulCInPlace_32f(float c, float* srcdst, int32_t n) {
  if (!srcdst) return dspStsNullPtrErr;
  if (n <= 0) return dspStsSizeErr;
  if (c != 1.0f) DspActiveKernels().vector.MulC_32f(srcdst, c, srcdst, n);
  return dspStsNoErr;
}

int32_t dspAdd_32f(const float* src1, const float* src2, float* dst, int32_t n) {
  if (!src1 || !src2 || !dst) return dspStsNullPtrErr;
  if (n <= 0) return dspStsSizeErr;
  DspActiveKernels().vector.Add_32f(src1, src2, dst, n);
  return dspStsNoErr;
}

int32_t dspMul_32f(const float* src1, const float* src2, float* dst, int32_t n) {
  if (!src1 || !src2 || !dst) return dspStsNullPtrErr;
  if (n <= 0) return dspStsSizeErr;
  DspActiveKernels().vector.Mul_32f(src1, src2, dst, n);
  return dspStsNoErr;
}

int32_t dspAddInPlace_32f(const float* src, float* srcdst, int32_t n) {
  return dspAdd_32f(src, srcdst, srcdst, n);
}

int32_t dspMulInPlace_32f(const float* src, float* srcdst, int32_t n) {
  return dspMul_32f(src, srcdst, srcdst, n);
}

int32_t dspMulAdd_32f(const float* src1, const float* src2, const float* src3, float* dst,
                      int32_t n) {
  if (!src1 || !src2 || !src3 || !dst) return dspStsNullPtrErr;
  if (n <= 0) return dspStsSizeErr;
  DspActiveKernels().vector.MulAdd_32f(src1, src2, src3, dst, n);
  return dspStsNoErr;
}

int32_t dspSumDiff_32f(float* a, float* b, int32_t n) {
  if (!a || !b) return dspStsNullPtrErr;
  if (n <= 0) return dspStsSizeErr;
  const auto ua = reinterpret_cast<uintptr_t>(a), ub = reinterpret_cast<uintptr_t>(b);
  const uintptr_t bytes = static_cast<uintptr_t>(n) * sizeof(float);
  if (ua < ub + bytes && ub < ua + bytes) return dspStsSizeErr;  // overlapping arrays
  DspActiveKernels().vector.SumDiff_32f(a, b, n);
  return dspStsNoErr;
}

int32_t dspAddProductC_32f(const float* src, float c, float* srcdst, int32_t n) {
  if (!src || !srcdst) return dspStsNullPtrErr;
  if (n <= 0) return dspStsSizeErr;
  DspActiveKernels().vector.AddProductC_32f(src, c, srcdst, n);
  return dspStsNoErr;
}

int32_t dspAddInPlace_32fc(const Dsp32fc* src, Dsp32fc* srcdst, int32_t n) {
  if (n <= 0) return dspStsSizeErr;
  if (!src || !srcdst) return dspStsNullPtrErr;
  DspActiveKernels().vector.Add_32fc(src, srcdst, srcdst, n);
  return dspStsNoErr;
}

int32_t dspSub_32fc(const Dsp32fc* src1, const Dsp32fc* src2, Dsp32fc* dst, int32_t n) {
  if (n <= 0) return dspStsSizeErr;
  if (!src1 || !src2 || !dst) return dspStsNullPtrErr;
  DspActiveKernels().vector.Sub_32fc(src1, src2, dst, n);
  return dspStsNoErr;
}

int32_t dspMax_32s(const int32_t* src, int32_t n, int32_t* max) {
  if (!src || !max) return dspStsNullPtrErr;
  if (n <= 0) return dspStsSizeErr;
  *max = DspActiveKernels().vector.Max_32s(src, n);
  return dspStsNoErr;
}

int32_t dspMax_16s(const int16_t* src, int32_t n, int16_t* max) {
  if (!src || !max) return dspStsNullPtrErr;
  if (n <= 0) return dspStsSizeErr;
  *max = DspActiveKernels().vector.Max_16s(src, n);
  return dspStsNoErr;
}

int32_t dspMin_32s(const int32_t* src, int32_t n, int32_t* min) {
  if (!src || !min) return dspStsNullPtrErr;
  if (n <= 0) return dspStsSizeErr;
  *min = DspActiveKernels().vector.Min_32s(src, n);
  return dspStsNoErr;
}

int32_t dspMinIndex_32s(const int32_t* src, int32_t n, int32_t* min, int32_t* index) {
  if (!src || !min) return dspStsNullPtrErr;
  if (n <= 0) return dspStsSizeErr;
  const int32_t m = DspActiveKernels().vector.Min_32s(src, n);
  *min = m;
  if (index) *index = static_cast<int32_t>(std::find(src, src + n, m) - src);
  return dspStsNoErr;
}

int32_t dspSortAscend_32s(int32_t* srcdst, int32_t n) {
  if (!srcdst) return dspStsNullPtrErr;
  if (n < 1) return dspStsSizeErr;
  std::sort(srcdst, srcdst + n);
  return dspStsNoErr;
}

int32_t dspAddScaled_32s(const int32_t* src1, const int32_t* src2, int32_t* dst, int32_t n,
                         int32_t sf) {
  if (!src1 || !src2 || !dst) return dspStsNullPtrErr;
  if (n <= 0) return dspStsSizeErr;
  DspActiveKernels().vector.AddScaled_32s(src1, src2, dst, n, sf, false);
  return dspStsNoErr;
}

int32_t dspSubScaled_32s(const int32_t* src1, const int32_t* src2, int32_t* dst, int32_t n,
                         int32_t sf) {
  if (!src1 || !src2 || !dst) return dspStsNullPtrErr;
  if (n <= 0) return dspStsSizeErr;
  DspActiveKernels().vector.AddScaled_32s(src1, src2, dst, n, sf, true);
  return dspStsNoErr;
}

int32_t dspShiftLeft_32s(int32_t k, int32_t* srcdst, int32_t n) {
  if (!srcdst) return dspStsNullPtrErr;
  if (n <= 0) return dspStsSizeErr;
  if (k < 0) return dspStsShiftErr;
  if (k > 0) DspActiveKernels().vector.ShiftLeft_32s(k, srcdst, n);
  return dspStsNoErr;
}

int32_t dspShiftRight_32s(int32_t k, int32_t* srcdst, int32_t n) {
  if (!srcdst) return dspStsNullPtrErr;
  if (n <= 0) return dspStsSizeErr;
  if (k < 0) return dspStsShiftErr;
  if (k > 0) DspActiveKernels().vector.ShiftRight_32s(k, srcdst, n);
  return dspStsNoErr;
}

int32_t dspInterleaveConvert_32f16s(const float* const* channels, int32_t num_channels, int32_t n,
                                    int16_t* dst) {
  if (!dst) return dspStsNullPtrErr;
  if (num_channels <= 0 || n <= 0) return dspStsSizeErr;
  if (!channels) return dspStsNullPtrErr;
  for (int32_t k = 0; k < num_channels; ++k) {
    if (!channels[k]) return dspStsNullPtrErr;
  }
  DspActiveKernels().vector.InterleaveConvert_32f16s(channels, num_channels, n, dst);
  return dspStsNoErr;
}

int32_t dspInterleaveScale_32f(const float* const* channels, int32_t num_channels, int32_t n,
                               float scale, float* dst) {
  if (!dst || !channels) return dspStsNullPtrErr;
  if (num_channels <= 0 || n <= 0) return dspStsSizeErr;
  for (int32_t k = 0; k < num_channels; ++k) {
    if (!channels[k]) return dspStsNullPtrErr;
  }
  DspActiveKernels().vector.InterleaveScale_32f(channels, num_channels, n, scale, dst);
  return dspStsNoErr;
}

int32_t dspCrc32_8u(const uint8_t* src, int32_t n, uint32_t* crc) {
  if (!src || !crc) return dspStsNullPtrErr;
  if (n <= 0) return dspStsSizeErr;
  *crc = ~DspActiveKernels().vector.Crc32(src, n, ~*crc);
  return dspStsNoErr;
}

int32_t dspNoise_32f(float* dst, int32_t n, uint32_t* state, float* energy) {
  if (!dst || !state || !energy) return dspStsNullPtrErr;
  if (n < 0) return dspStsSizeErr;
  *energy = DspActiveKernels().vector.Noise_32f(dst, n, state);
  return dspStsNoErr;
}

int32_t dspMulBands_32f(float* x, const float* gains, const int32_t* offsets, int32_t nbands) {
  if (!x || !gains || !offsets) return dspStsNullPtrErr;
  if (nbands <= 0) return dspStsSizeErr;
  const auto mulc = DspActiveKernels().vector.MulC_32f;
  for (int32_t b = 0; b < nbands; ++b) {
    const int32_t len = offsets[b + 1] - offsets[b];
    if (len > 0) mulc(x + offsets[b], gains[b], x + offsets[b], len);
  }
  return dspStsNoErr;
}

float dspPow2Quarter(int32_t e) {
  return dsp_tables::kSfGain[static_cast<uint32_t>(e + 512) & 1023];
}

int32_t dspScalefactorGain_16s32f(const int16_t* sf, int32_t offset, float* gains, int32_t n) {
  if (!sf || !gains) return dspStsNullPtrErr;
  if (n <= 0) return dspStsSizeErr;
  DspActiveKernels().vector.ScalefactorGain_16s32f(sf, offset, gains, n);
  return dspStsNoErr;
}

int32_t dspPow43Bands_16s32f(const int16_t* q, const float* gains, const int32_t* offsets,
                             int32_t nbands, float* dst) {
  if (!q || !gains || !offsets || !dst) return dspStsNullPtrErr;
  if (nbands <= 0) return dspStsSizeErr;
  // Some offset negative or below the one before sets the sign bit (a
  // difference of two nonnegative offsets cannot wrap): no early exit, so
  // that the check vectorises.
  uint32_t bad = static_cast<uint32_t>(offsets[0]);
  for (int32_t b = 0; b < nbands; ++b) {
    const uint32_t next = static_cast<uint32_t>(offsets[b + 1]);
    bad |= next | (next - static_cast<uint32_t>(offsets[b]));
  }
  if (bad >> 31) return dspStsSizeErr;
  DspActiveKernels().vector.Pow43Bands_16s32f(q, gains, offsets, nbands, dst);
  return dspStsNoErr;
}

int32_t dspPow43_16s32f(const int16_t* q, float* dst, int32_t n) {
  if (!q || !dst) return dspStsNullPtrErr;
  if (n < 0) return dspStsSizeErr;
  // The kernels clamp magnitudes above 8206 to the table's last entry.
  if (n > 0) DspActiveKernels().vector.Pow43_16s32f(q, dst, n);
  return dspStsNoErr;
}

// ---- backward-adaptive predictor -----------------------------------------

namespace {
constexpr int32_t kPredictorTag = 59;
// 32-byte header: word 0 line count, word 1 array stride in bytes, word 7 tag;
// the six arrays follow, each 32-byte aligned.
struct PredictorHeader {
  int32_t lines;
  int32_t stride;
  int32_t reserved[5];
  int32_t tag;
};
static_assert(sizeof(PredictorHeader) == 32);

int32_t StrideFor(int32_t lines) {
  return (lines * 4 + 31) & ~31;
}

void Arrays(DspPredictorState* state, float* out[kPredictorArrays]) {
  auto* h = reinterpret_cast<PredictorHeader*>(state);
  uint8_t* base = reinterpret_cast<uint8_t*>(state) + sizeof(PredictorHeader);
  for (int k = 0; k < kPredictorArrays; ++k)
    out[k] = reinterpret_cast<float*>(base + k * h->stride);
}

void ResetLine(float* const* a, int32_t i) {
  a[kCor0][i] = a[kCor1][i] = a[kR0][i] = a[kR1][i] = 0.0f;
  a[kVar0][i] = a[kVar1][i] = 1.0f;
}

bool Valid(DspPredictorState* s) {
  return reinterpret_cast<PredictorHeader*>(s)->tag == kPredictorTag;
}
}  // namespace

int32_t dspPredictorGetSize_32f(int32_t lines, int32_t* size) {
  if (!size) return dspStsNullPtrErr;
  if (lines <= 0 || lines > (1 << 24)) return dspStsSizeErr;
  *size = 24 * lines + 260;
  return dspStsNoErr;
}

int32_t dspPredictorInit_32f(DspPredictorState** state, int32_t lines, uint8_t* memory) {
  if (!state || !memory) return dspStsNullPtrErr;
  if (lines <= 0 || lines > (1 << 24)) return dspStsSizeErr;
  auto* h = dspAlignPtr<PredictorHeader>(memory, 32);
  *h = PredictorHeader{lines, StrideFor(lines), {0, 0, 0, 0, 0}, kPredictorTag};
  *state = reinterpret_cast<DspPredictorState*>(h);
  return dspPredictorReset_32f(*state);
}

int32_t dspPredictorReset_32f(DspPredictorState* state) {
  if (!state) return dspStsNullPtrErr;
  if (!Valid(state)) return dspStsContextMatchErr;
  float* a[kPredictorArrays];
  Arrays(state, a);
  const int32_t lines = reinterpret_cast<PredictorHeader*>(state)->lines;
  for (int32_t i = 0; i < lines; ++i) ResetLine(a, i);
  return dspStsNoErr;
}

int32_t dspPredictorResetGroup_32f(int32_t step, int32_t start, DspPredictorState* state) {
  if (!state) return dspStsNullPtrErr;
  if (start < 0) return dspStsSizeErr;
  if (step <= 0) return dspStsStepErr;
  if (!Valid(state)) return dspStsContextMatchErr;
  float* a[kPredictorArrays];
  Arrays(state, a);
  const int32_t lines = reinterpret_cast<PredictorHeader*>(state)->lines;
  for (int32_t i = start; i < lines; i += step) ResetLine(a, i);
  return dspStsNoErr;
}

int32_t dspPredict_32f(float* x, const int32_t* band_offsets, int32_t nbands,
                       const uint8_t* band_flags, DspPredictorState* state) {
  if (!x || !band_offsets || !band_flags || !state) return dspStsNullPtrErr;
  if (nbands < 1) return dspStsSizeErr;
  if (!Valid(state)) return dspStsContextMatchErr;
  float* a[kPredictorArrays];
  Arrays(state, a);
  const int32_t lines = reinterpret_cast<PredictorHeader*>(state)->lines;
  const auto predict = DspActiveKernels().vector.Predict_32f;
  for (int32_t b = 0; b < nbands; ++b) {
    const int32_t begin = std::max(band_offsets[b], 0);
    const int32_t end = std::min(band_offsets[b + 1], lines);  // never beyond the state
    if (end > begin) predict(x, begin, end, band_flags[b] != 0, a);
  }
  return (reinterpret_cast<uintptr_t>(x) & 15) ? dspStsMisalignedWarn : dspStsNoErr;
}
