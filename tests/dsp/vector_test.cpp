// Vector primitives: edge cases of the public entry points, and every
// vectorised kernel against the generic reference on random data.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "common/kernels.h"
#include "dsp/dsp_vector.h"
#include "dsp/vector_impl.h"

namespace {

std::mt19937 rng(1234);

std::vector<float> RandomFloats(int n, float scale) {
  std::uniform_real_distribution<float> d(-scale, scale);
  std::vector<float> v(n);
  for (auto& x : v) x = d(rng);
  return v;
}

std::vector<int32_t> RandomInts(int n) {
  std::uniform_int_distribution<int32_t> d(INT32_MIN, INT32_MAX);
  std::vector<int32_t> v(n);
  for (auto& x : v) x = d(rng);
  return v;
}

bool SameBits(const float* a, const float* b, int n) {
  return std::memcmp(a, b, 4 * n) == 0;
}

TEST(Vector, ScaledAddSubRoundsToEvenAndSaturates) {
  auto add = [](int32_t a, int32_t b, int32_t sf) {
    int32_t r;
    EXPECT_EQ(dspAddScaled_32s(&a, &b, &r, 1, sf), 0);
    return r;
  };
  EXPECT_EQ(add(0x7FFFFFFF, 1, 0), 0x7FFFFFFF);
  EXPECT_EQ(add(INT32_MIN, -1, 0), INT32_MIN);
  EXPECT_EQ(add(1, 2, 1), 2);
  EXPECT_EQ(add(1, 4, 1), 2);
  EXPECT_EQ(add(-1, -2, 1), -2);
  EXPECT_EQ(add(3, 3, 2), 2);  // 1.5 -> 2
  EXPECT_EQ(add(5, 5, 2), 2);  // 2.5 -> 2
  EXPECT_EQ(add(12345, 1, 33), 0);
  EXPECT_EQ(add(1, 1, -31), INT32_MAX);
  EXPECT_EQ(add(-1, 0, -40), INT32_MIN);
  EXPECT_EQ(add(3, 0, -2), 12);
  int32_t a = 10, b = 3, r;
  ASSERT_EQ(dspSubScaled_32s(&a, &b, &r, 1, 0), 0);
  EXPECT_EQ(r, -7);  // src2 - src1
  EXPECT_EQ(dspAddScaled_32s(&a, nullptr, &r, 1, 0), dspStsNullPtrErr);
  EXPECT_EQ(dspAddScaled_32s(&a, &b, &r, 0, 0), dspStsSizeErr);
}

TEST(Vector, InterleaveConvertRoundsTiesToEvenAndSaturates) {
  const float c0[] = {2.5f, 3.5f, -2.5f, 40000.0f, -40000.0f, 0.49999997f, -0.5f, NAN};
  const float* ch[1] = {c0};
  int16_t out[8];
  ASSERT_EQ(dspInterleaveConvert_32f16s(ch, 1, 8, out), 0);
  const int16_t want[] = {2, 4, -2, 32767, -32768, 0, 0, 0};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(out[i], want[i]) << i;
  const float l[] = {0.0f, 1.0f}, r[] = {2.0f, 3.0f};
  const float* st[2] = {l, r};
  ASSERT_EQ(dspInterleaveConvert_32f16s(st, 2, 2, out), 0);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[1], 2);
  EXPECT_EQ(out[2], 1);
  EXPECT_EQ(out[3], 3);
  const float* bad[2] = {l, nullptr};
  EXPECT_EQ(dspInterleaveConvert_32f16s(bad, 2, 2, out), dspStsNullPtrErr);
  EXPECT_EQ(dspInterleaveConvert_32f16s(st, 0, 2, out), dspStsSizeErr);
}

TEST(Vector, ShiftsReductionsSortCrc) {
  int32_t v[2] = {-5, 5};
  EXPECT_EQ(dspShiftRight_32s(40, v, 2), 0);
  EXPECT_EQ(v[0], -1);
  EXPECT_EQ(v[1], 0);
  EXPECT_EQ(dspShiftRight_32s(-1, v, 2), dspStsShiftErr);
  int32_t w[2] = {3, -1};
  EXPECT_EQ(dspShiftLeft_32s(31, w, 2), 0);
  EXPECT_EQ(w[0], INT32_MIN);
  EXPECT_EQ(dspShiftLeft_32s(32, w, 2), 0);
  EXPECT_EQ(w[0], 0);
  const int32_t m[3] = {3, 1, 1};
  int32_t mn = 0, idx = -1;
  EXPECT_EQ(dspMinIndex_32s(m, 3, &mn, &idx), 0);
  EXPECT_EQ(mn, 1);
  EXPECT_EQ(idx, 1);
  EXPECT_EQ(dspMinIndex_32s(m, 3, &mn, nullptr), 0);
  int32_t s[5] = {5, -2, 9, 0, -2};
  EXPECT_EQ(dspSortAscend_32s(s, 5), 0);
  EXPECT_EQ(s[0], -2);
  EXPECT_EQ(s[4], 9);
  EXPECT_EQ(dspSortAscend_32s(s, 0), dspStsSizeErr);
  const char* digits = "123456789";
  uint32_t crc = 0;
  EXPECT_EQ(dspCrc32_8u(reinterpret_cast<const uint8_t*>(digits), 9, &crc), 0);
  EXPECT_EQ(crc, 0xCBF43926u);
  crc = 0;
  dspCrc32_8u(reinterpret_cast<const uint8_t*>(digits), 4, &crc);
  dspCrc32_8u(reinterpret_cast<const uint8_t*>(digits) + 4, 5, &crc);
  EXPECT_EQ(crc, 0xCBF43926u);
  int32_t mv[6] = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(dspMove_32s(mv, mv + 1, 5), 0);  // overlapping upward copy
  EXPECT_EQ(mv[5], 5);
  EXPECT_EQ(mv[1], 1);
}

// Every position of every length up to three blocks and a tail: a value
// there (even the smallest denormal) makes the array nonzero; -0 does not.
TEST(Vector, IsZeroSeesEveryPosition) {
  std::vector<float> x(100, -0.0f);
  EXPECT_TRUE(dspIsZero_32f(x.data(), 100));
  EXPECT_FALSE(dspIsZero_32f(x.data(), 0));
  EXPECT_FALSE(dspIsZero_32f(nullptr, 4));
  for (int n = 1; n <= 100; ++n) {
    for (int at = 0; at < n; ++at) {
      x[at] = std::numeric_limits<float>::denorm_min();
      ASSERT_FALSE(dspIsZero_32f(x.data(), n)) << n << " " << at;
      x[at] = 0.0f;
    }
    x[n - 1] = 0.0f;
    ASSERT_TRUE(dspIsZero_32f(x.data(), n)) << n;
  }
}

TEST(Vector, AacKernels) {
  const int16_t sf[2] = {104, 100};
  float g[2];
  EXPECT_EQ(dspScalefactorGain_16s32f(sf, 100, g, 2), 0);
  EXPECT_EQ(g[0], 2.0f);
  EXPECT_EQ(g[1], 1.0f);
  // Intensity positions and noise energies (and their differences).
  for (int32_t e = -512; e < 512; ++e) {
    ASSERT_EQ(dspPow2Quarter(e), static_cast<float>(std::exp2(e / 4.0))) << e;
  }
  const int16_t q[4] = {-8, 0, 1, 8191};
  float p[4];
  EXPECT_EQ(dspPow43_16s32f(q, p, 4), 0);
  EXPECT_EQ(p[0], -16.0f);
  EXPECT_EQ(p[1], 0.0f);
  EXPECT_EQ(p[2], 1.0f);
  EXPECT_NEAR(p[3], std::pow(8191.0, 4.0 / 3.0), 0.01);
  EXPECT_EQ(dspPow43_16s32f(q, p, 0), 0);
  EXPECT_EQ(dspPow43_16s32f(q, p, -1), dspStsSizeErr);
  const int16_t huge[1] = {32767};
  EXPECT_EQ(dspPow43_16s32f(huge, p, 1), 0);  // clamped, never read past the table
  float x[6] = {1, 1, 1, 1, 1, 1};
  const float gains[2] = {2.0f, 3.0f};
  const int32_t offs[3] = {0, 2, 6};
  EXPECT_EQ(dspMulBands_32f(x, gains, offs, 2), 0);
  EXPECT_EQ(x[1], 2.0f);
  EXPECT_EQ(x[5], 3.0f);
  EXPECT_EQ(dspMulBands_32f(x, gains, offs, 0), dspStsSizeErr);
  // Band offsets must not be negative nor decrease; a rejected call writes
  // nothing.
  const int16_t quant[6] = {1, -1, 8, 0, 1, 1};
  float y[6] = {};
  EXPECT_EQ(dspPow43Bands_16s32f(quant, gains, offs, 2, y), 0);
  EXPECT_EQ(y[1], -2.0f);
  EXPECT_EQ(y[2], 48.0f);
  const int32_t bad[][3] = {{0, 4, 2}, {-4, 0, 2}, {2, 2, INT32_MIN}, {1, INT32_MIN, 6}};
  for (const auto& o : bad) {
    float z[6] = {7, 7, 7, 7, 7, 7};
    EXPECT_EQ(dspPow43Bands_16s32f(quant, gains, o, 2, z), dspStsSizeErr) << o[0] << " " << o[1];
    for (float v : z) ASSERT_EQ(v, 7.0f);
  }
}

// Straightforward model of the standard's predictor equations (float, with
// the 16-bit roundings), written independently of the kernels.
struct ModelLine {
  float c0 = 0, c1 = 0, v0 = 1, v1 = 1, r0 = 0, r1 = 0;
};
float Keep16(float f, bool round) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  u = (round ? u + 0x8000 : u) & 0xFFFF0000u;
  std::memcpy(&f, &u, 4);
  return f;
}
float ModelRecip(float v) {
  // b / v with the mantissa rounded to 8 bits, 0 below 2.0.
  if (v < 2.0f) return 0.0f;
  int e;
  const float m = std::frexp(v, &e);  // v = m * 2^e, m in [0.5, 1)
  const float mant = std::floor((m * 2.0f - 1.0f) * 128.0f) / 128.0f + 1.0f;
  const double q = 0.953125 / mant;
  int qe;
  const double qm = std::frexp(q, &qe);
  const double rounded = std::nearbyint(qm * 256.0) / 256.0 * std::ldexp(1.0, qe);
  return static_cast<float>(rounded) * std::ldexp(1.0f, -(e - 1));
}
float ModelStep(ModelLine& s, float x, bool add) {
  const float k1 = s.c0 * ModelRecip(s.v0), k2 = s.c1 * ModelRecip(s.v1);
  const float pred = Keep16(k1 * s.r0 + k2 * s.r1, true);
  if (add) x += pred;
  const float e1 = x - k1 * s.r0;
  ModelLine n;
  n.c0 = Keep16(0.90625f * s.c0 + s.r0 * x, false);
  n.c1 = Keep16(0.90625f * s.c1 + s.r1 * e1, false);
  n.v0 = Keep16(0.90625f * s.v0 + 0.5f * (s.r0 * s.r0 + x * x), false);
  n.v1 = Keep16(0.90625f * s.v1 + 0.5f * (s.r1 * s.r1 + e1 * e1), false);
  n.r1 = Keep16(0.953125f * (s.r0 - k1 * x), false);
  n.r0 = Keep16(0.953125f * x, false);
  s = n;
  return x;
}

TEST(Predictor, MatchesModelOverFramesAndResets) {
  constexpr int kLines = 64;
  int32_t size = 0;
  ASSERT_EQ(dspPredictorGetSize_32f(kLines, &size), 0);
  std::vector<uint8_t> mem(size);
  DspPredictorState* st = nullptr;
  ASSERT_EQ(dspPredictorInit_32f(&st, kLines, mem.data() + 3), 0);  // unaligned memory
  std::vector<ModelLine> model(kLines);
  const int32_t offs[3] = {0, 32, kLines};
  const uint8_t flags[2] = {1, 0};
  alignas(16) float x[kLines];
  for (int frame = 0; frame < 40; ++frame) {
    float expect[kLines];
    for (int i = 0; i < kLines; ++i) {
      // A slowly varying tone makes the predictor lock on.
      x[i] = std::round(1000.0f * std::sin(0.3f * frame + i));
      expect[i] = ModelStep(model[i], x[i], i < 32);
    }
    if (frame == 0) {
      float first[kLines];
      std::memcpy(first, x, sizeof(x));
      ASSERT_EQ(dspPredict_32f(x, offs, 2, flags, st), 0);
      EXPECT_TRUE(SameBits(first, x, kLines));  // first frame predicts 0
    } else {
      ASSERT_EQ(dspPredict_32f(x, offs, 2, flags, st), 0);
    }
    for (int i = 0; i < kLines; ++i)
      ASSERT_EQ(x[i], expect[i]) << "frame " << frame << " line " << i;
  }
  // Group reset: step 30 from line 0 resets 0, 30, 60.
  ASSERT_EQ(dspPredictorResetGroup_32f(30, 0, st), 0);
  model[0] = model[30] = model[60] = ModelLine{};
  for (int i = 0; i < kLines; ++i) x[i] = 500.0f;
  float expect[kLines];
  for (int i = 0; i < kLines; ++i) expect[i] = ModelStep(model[i], 500.0f, i < 32);
  ASSERT_EQ(dspPredict_32f(x, offs, 2, flags, st), 0);
  for (int i = 0; i < kLines; ++i) EXPECT_EQ(x[i], expect[i]) << i;
  EXPECT_EQ(x[0], 500.0f);
  EXPECT_EQ(dspPredictorResetGroup_32f(0, 0, st), dspStsStepErr);
  EXPECT_EQ(dspPredictorResetGroup_32f(30, -1, st), dspStsSizeErr);
  uint8_t junk[64] = {};
  EXPECT_EQ(dspPredict_32f(x, offs, 2, flags, reinterpret_cast<DspPredictorState*>(junk)),
            dspStsContextMatchErr);
}

// ---- vectorised against generic --------------------------------------------
//
// Every vectorised table (SSE2 and AVX2, or NEON) against the generic one,
// bit for bit, at every length and misalignment that leaves a remainder.

TEST(VectorKernels, FloatArithmeticBitExact) {
  const DspVectorKernels& g = GenericKernels().vector;
  for (const DspKernels* table : VectorisedKernels()) {
    const DspVectorKernels& v = table->vector;
    const char* isa = dspIsaName(table->isa);
    for (int n = 1; n < 300; n += 7) {
      for (int off = 0; off < 3; ++off) {
        auto a = RandomFloats(n + off, 1e4f), b = RandomFloats(n + off, 1e4f);
        const float c = 0.7071f;
        std::vector<float> ref(n + off), got(n + off), acc_ref = b, acc_got = b;
        const float *pa = a.data() + off, *pb = b.data() + off;
        g.Add_32f(pa, pb, ref.data() + off, n);
        v.Add_32f(pa, pb, got.data() + off, n);
        ASSERT_TRUE(SameBits(ref.data(), got.data(), n + off)) << isa << " n " << n;
        g.Mul_32f(pa, pb, ref.data() + off, n);
        v.Mul_32f(pa, pb, got.data() + off, n);
        ASSERT_TRUE(SameBits(ref.data(), got.data(), n + off)) << isa << " n " << n;
        g.MulC_32f(pa, c, ref.data() + off, n);
        v.MulC_32f(pa, c, got.data() + off, n);
        ASSERT_TRUE(SameBits(ref.data(), got.data(), n + off)) << isa << " n " << n;
        g.MulAdd_32f(pa, pb, pa, ref.data() + off, n);
        v.MulAdd_32f(pa, pb, pa, got.data() + off, n);
        ASSERT_TRUE(SameBits(ref.data(), got.data(), n + off)) << isa << " n " << n;
        auto sa_ref = a, sb_ref = b, sa_got = a, sb_got = b;
        g.SumDiff_32f(sa_ref.data() + off, sb_ref.data() + off, n);
        v.SumDiff_32f(sa_got.data() + off, sb_got.data() + off, n);
        ASSERT_TRUE(SameBits(sa_ref.data(), sa_got.data(), n + off)) << isa << " n " << n;
        ASSERT_TRUE(SameBits(sb_ref.data(), sb_got.data(), n + off)) << isa << " n " << n;
        g.AddProductC_32f(pa, c, acc_ref.data() + off, n);
        v.AddProductC_32f(pa, c, acc_got.data() + off, n);
        ASSERT_TRUE(SameBits(acc_ref.data(), acc_got.data(), n + off)) << isa << " n " << n;
        const auto* ca = reinterpret_cast<const Dsp32fc*>(a.data());
        const auto* cb = reinterpret_cast<const Dsp32fc*>(b.data());
        const int nc = (n + off) / 2;
        std::vector<Dsp32fc> cr(n), cg(n);
        g.Sub_32fc(ca, cb, cr.data(), nc);
        v.Sub_32fc(ca, cb, cg.data(), nc);
        ASSERT_EQ(std::memcmp(cr.data(), cg.data(), 8 * nc), 0) << isa << " n " << n;
        g.Add_32fc(ca, cb, cr.data(), nc);
        v.Add_32fc(ca, cb, cg.data(), nc);
        ASSERT_EQ(std::memcmp(cr.data(), cg.data(), 8 * nc), 0) << isa << " n " << n;
      }
    }
  }
}

TEST(VectorKernels, IntegerKernelsBitExact) {
  const DspVectorKernels& g = GenericKernels().vector;
  for (const DspKernels* table : VectorisedKernels()) {
    const DspVectorKernels& v = table->vector;
    const char* isa = dspIsaName(table->isa);
    for (int n = 1; n < 300; n += 5) {
      auto a = RandomInts(n);
      EXPECT_EQ(g.Max_32s(a.data(), n), v.Max_32s(a.data(), n)) << isa << " n " << n;
      EXPECT_EQ(g.Min_32s(a.data(), n), v.Min_32s(a.data(), n)) << isa << " n " << n;
      std::vector<int16_t> h(n);
      for (int i = 0; i < n; ++i) h[i] = static_cast<int16_t>(a[i]);
      EXPECT_EQ(g.Max_16s(h.data(), n), v.Max_16s(h.data(), n)) << isa << " n " << n;
      for (int k : {1, 7, 31, 32, 45}) {
        auto x = a, y = a;
        g.ShiftLeft_32s(k, x.data(), n);
        v.ShiftLeft_32s(k, y.data(), n);
        ASSERT_EQ(x, y) << isa << " k " << k;
        x = a, y = a;
        g.ShiftRight_32s(k, x.data(), n);
        v.ShiftRight_32s(k, y.data(), n);
        ASSERT_EQ(x, y) << isa << " k " << k;
      }
      std::vector<uint8_t> bytes(n);
      for (int i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(a[i]);
      EXPECT_EQ(g.Crc32(bytes.data(), n, 0x12345678u), v.Crc32(bytes.data(), n, 0x12345678u))
          << isa;
      // Whole 16-bit range: magnitudes past the table are clamped alike.
      for (int i = 0; i < n; i += 7) h[i] = static_cast<int16_t>(i & 1 ? -32768 : 9000 + i);
      std::vector<float> p_ref(n), p_got(n);
      g.Pow43_16s32f(h.data(), p_ref.data(), n);
      v.Pow43_16s32f(h.data(), p_got.data(), n);
      ASSERT_EQ(p_ref, p_got) << isa << " n " << n;
      // The same values in bands of 4..64 lines (AAC widths are multiples of 4).
      std::vector<int32_t> offsets = {0};
      while (offsets.back() + 4 <= n) {
        const int32_t unit = n % 3 ? 4 : 3;  // multiples of four, and a table that is not
        offsets.push_back(offsets.back() +
                          unit * (1 + static_cast<int32_t>(h[offsets.back()] & 15)));
        if (offsets.back() > n) offsets.back() = n;
      }
      const int32_t nb = static_cast<int32_t>(offsets.size()) - 1;
      if (nb > 0) {
        const auto gains = RandomFloats(nb, 4.0f);
        std::vector<float> q_ref(n, 1.0f), q_got(n, 1.0f);
        g.Pow43Bands_16s32f(h.data(), gains.data(), offsets.data(), nb, q_ref.data());
        v.Pow43Bands_16s32f(h.data(), gains.data(), offsets.data(), nb, q_got.data());
        ASSERT_TRUE(SameBits(q_ref.data(), q_got.data(), n)) << isa << " n " << n;
        for (int32_t i = 0; i < offsets.back(); ++i) {  // = Pow43 times the band's gain
          const int32_t b = static_cast<int32_t>(
              std::upper_bound(offsets.begin(), offsets.end(), i) - offsets.begin() - 1);
          ASSERT_EQ(q_ref[i], p_ref[i] * gains[b]) << "line " << i;
        }
        // Empty bands in between (every third edge repeated): their gains
        // apply to no line.
        std::vector<int32_t> gapped;
        std::vector<float> gapped_gains;
        for (int32_t b = 0; b < nb; ++b) {
          gapped.push_back(offsets[b]);
          gapped_gains.push_back(gains[b]);
          if (b % 3 == 1) {
            gapped.push_back(offsets[b + 1]);
            gapped_gains.push_back(-1000.0f);
          }
        }
        gapped.push_back(offsets[nb]);
        std::fill(q_got.begin(), q_got.end(), 1.0f);
        v.Pow43Bands_16s32f(h.data(), gapped_gains.data(), gapped.data(),
                            static_cast<int32_t>(gapped_gains.size()), q_got.data());
        ASSERT_TRUE(SameBits(q_ref.data(), q_got.data(), n)) << isa << " n " << n << " gapped";
      }
    }
  }
}

// Spectra as AAC has them: mostly magnitudes up to 15 with sparse larger
// ones, so that blocks of lines take the small-value and the table paths
// side by side, in bands of 4..64 lines starting anywhere, over line counts
// that leave every kind of remainder after the blocks.
TEST(VectorKernels, Pow43BandsMixedMagnitudes) {
  const DspVectorKernels& g = GenericKernels().vector;
  uint32_t seed = 7;
  const auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
  for (const DspKernels* table : VectorisedKernels()) {
    const DspVectorKernels& v = table->vector;
    for (int32_t k = 1; k <= 100; ++k) {
      const int32_t n = k <= 80 ? 4 * (k % 12 + 1) : 52 * (k - 80);  // short ones in turn
      const int32_t first = 4 * (k % 3);  // lines before it stay untouched
      std::vector<int16_t> q(first + n);
      for (int16_t& x : q) {
        const uint32_t r = next();
        x = static_cast<int16_t>((r >> 28) == 0 ? static_cast<int32_t>(r >> 16 & 8191) - 4096
                                                : static_cast<int32_t>(r >> 8 & 31) - 15);
      }
      std::vector<int32_t> offsets = {first};
      while (offsets.back() < first + n) {
        const uint32_t widths = n < 48 ? 30 : 28;  // 4..16 lines, else 4..64
        offsets.push_back(
            std::min<int32_t>(first + n, offsets.back() + 4 * (1 + (next() >> widths))));
      }
      const int32_t nb = static_cast<int32_t>(offsets.size()) - 1;
      const auto gains = RandomFloats(nb, 4.0f);
      std::vector<float> ref(first + n), got(first + n);
      g.Pow43Bands_16s32f(q.data(), gains.data(), offsets.data(), nb, ref.data());
      v.Pow43Bands_16s32f(q.data(), gains.data(), offsets.data(), nb, got.data());
      ASSERT_TRUE(SameBits(ref.data(), got.data(), first + n))
          << dspIsaName(table->isa) << " n " << n;
    }
  }
}

// Scale factor gains against the generic table: every exponent the table
// holds (the subnormal ones below 2^-126 included), the whole 16-bit input
// range with the wrap modulo 1024, odd offsets, and counts with tails.
TEST(VectorKernels, ScalefactorGainBitExact) {
  const DspVectorKernels& g = GenericKernels().vector;
  uint32_t seed = 11;
  const auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
  for (const DspKernels* table : VectorisedKernels()) {
    const DspVectorKernels& v = table->vector;
    const char* isa = dspIsaName(table->isa);
    for (int32_t offset : {100, 0, -7, 513, 70000}) {
      std::vector<int16_t> sf(1024);
      for (int32_t u = 0; u < 1024; ++u) sf[u] = static_cast<int16_t>(u - 512 + offset % 1024);
      std::vector<float> ref(1024), got(1024);
      g.ScalefactorGain_16s32f(sf.data(), offset, ref.data(), 1024);
      v.ScalefactorGain_16s32f(sf.data(), offset, got.data(), 1024);
      ASSERT_TRUE(SameBits(ref.data(), got.data(), 1024)) << isa << " offset " << offset;
      for (int32_t n = 1; n <= 64; ++n) {
        for (int16_t& x : sf) {
          const uint32_t r = next();
          // Mostly a real stream's range, at times anything.
          x = static_cast<int16_t>(r >> 29 ? (r >> 8 & 255) - 128 + offset : r >> 16);
        }
        std::vector<float> a(n + 1, 3.0f), b(n + 1, 3.0f);
        g.ScalefactorGain_16s32f(sf.data(), offset, a.data(), n);
        v.ScalefactorGain_16s32f(sf.data(), offset, b.data(), n);
        ASSERT_TRUE(SameBits(a.data(), b.data(), n + 1)) << isa << " n " << n;
      }
    }
  }
}

TEST(VectorKernels, InterleaveConvertBitExact) {
  const DspVectorKernels& g = GenericKernels().vector;
  for (const DspKernels* table : VectorisedKernels()) {
    for (int nch : {1, 2, 3, 6, 8}) {
      for (int n = 1; n < 200; n += 3) {
        std::vector<std::vector<float>> chans;
        std::vector<const float*> ptrs;
        for (int k = 0; k < nch; ++k) {
          auto v = RandomFloats(n, 40000.0f);
          for (int i = 0; i < n; i += 5) v[i] = std::round(v[i]) + 0.5f;  // ties
          if (n > 3) v[3] = NAN;
          chans.push_back(v);
        }
        for (auto& c : chans) ptrs.push_back(c.data());
        std::vector<int16_t> ref(n * nch), got(n * nch);
        g.InterleaveConvert_32f16s(ptrs.data(), nch, n, ref.data());
        table->vector.InterleaveConvert_32f16s(ptrs.data(), nch, n, got.data());
        ASSERT_EQ(ref, got) << dspIsaName(table->isa) << " nch " << nch << " n " << n;
      }
    }
  }
}

// Values where a plain rounding conversion or the saturating narrowing
// could part from the clamping reference: infinities, NaNs of both signs,
// the edges of the 16- and 32-bit ranges, ties around them.  One per block
// in some channel, so that neighbouring blocks stay ordinary.
TEST(VectorKernels, InterleaveConvertExtremes) {
  const float extremes[] = {
      INFINITY,       -INFINITY, NAN,    -NAN,     2147483648.0f, -2147483648.0f, 2147483520.0f,
      -2147483520.0f, 1e30f,     -1e30f, 32767.5f, 32768.5f,      -32768.5f,      -32769.5f,
      65535.5f,       -65536.5f, 0.5f,   -0.5f,    1.5f,          -1e-40f};
  const DspVectorKernels& g = GenericKernels().vector;
  for (const DspKernels* table : VectorisedKernels()) {
    for (int nch : {1, 2, 6, 8}) {
      const int n = 20 * 16 + 5;  // a block per extreme and a tail
      std::vector<std::vector<float>> chans;
      std::vector<const float*> ptrs;
      for (int k = 0; k < nch; ++k) chans.push_back(RandomFloats(n, 40000.0f));
      for (int e = 0; e < 20; ++e) chans[(e * 5) % nch][e * 16 + (e * 7) % 16] = extremes[e];
      chans[nch - 1][n - 1] = NAN;
      for (auto& c : chans) ptrs.push_back(c.data());
      std::vector<int16_t> ref(n * nch), got(n * nch);
      g.InterleaveConvert_32f16s(ptrs.data(), nch, n, ref.data());
      table->vector.InterleaveConvert_32f16s(ptrs.data(), nch, n, got.data());
      ASSERT_EQ(ref, got) << dspIsaName(table->isa) << " nch " << nch;
    }
  }
}

TEST(VectorKernels, PredictorBitExact) {
  constexpr int kLines = 1024;
  for (const DspKernels* table : VectorisedKernels()) {
    std::vector<float> ref_state(6 * kLines), got_state(6 * kLines);
    for (int i = 0; i < kLines; ++i)
      ref_state[kVar0 * kLines + i] = ref_state[kVar1 * kLines + i] = 1.0f;
    got_state = ref_state;
    float* rs[6];
    float* gs[6];
    for (int k = 0; k < 6; ++k)
      rs[k] = ref_state.data() + k * kLines, gs[k] = got_state.data() + k * kLines;
    for (int frame = 0; frame < 20; ++frame) {
      auto x = RandomFloats(kLines, 3000.0f);
      auto y = x;
      const int begin = frame % 5, end = kLines - frame % 3;
      dsp_generic::Predict_32f(x.data(), begin, end, frame % 2 == 0, rs);
      table->vector.Predict_32f(y.data(), begin, end, frame % 2 == 0, gs);
      ASSERT_TRUE(SameBits(x.data(), y.data(), kLines)) << dspIsaName(table->isa) << frame;
      ASSERT_TRUE(SameBits(ref_state.data(), got_state.data(), 6 * kLines))
          << dspIsaName(table->isa) << frame;
    }
  }
}

// The generator's values and final state against the serial recurrence,
// and every kernel's energy bit for bit against the generic one, over band
// widths around the lane count.
TEST(VectorKernels, NoiseBitExact) {
  const DspVectorKernels& g = dspKernelsFor(dspIsaGeneric)->vector;
  for (int n = 0; n < 80; ++n) {
    const uint32_t seed = static_cast<uint32_t>(RandomInts(1)[0]);
    std::vector<float> ref(n + 1, -1.0f);
    uint32_t ref_state = seed;
    const float ref_energy = g.Noise_32f(ref.data(), n, &ref_state);
    uint32_t s = seed;
    double energy = 0;
    for (int i = 0; i < n; ++i) {
      s = s * 1664525u + 1013904223u;
      ASSERT_EQ(ref[i], static_cast<float>(static_cast<int32_t>(s))) << n << " " << i;
      energy += double{ref[i]} * ref[i];
    }
    ASSERT_EQ(ref_state, s) << n;
    ASSERT_EQ(ref[n], -1.0f) << n;  // nothing written past the band
    EXPECT_NEAR(ref_energy, energy, energy * 1e-6) << n;
    for (const DspKernels* table : VectorisedKernels()) {
      std::vector<float> got(n + 1, -1.0f);
      uint32_t got_state = seed;
      const float got_energy = table->vector.Noise_32f(got.data(), n, &got_state);
      const char* isa = dspIsaName(table->isa);
      ASSERT_TRUE(SameBits(ref.data(), got.data(), n + 1)) << isa << " n " << n;
      ASSERT_EQ(got_state, ref_state) << isa << " n " << n;
      ASSERT_TRUE(SameBits(&ref_energy, &got_energy, 1)) << isa << " n " << n;
    }
  }
  float v;
  uint32_t state = 0;
  float energy = 1.0f;
  EXPECT_EQ(dspNoise_32f(&v, 0, &state, &energy), dspStsNoErr);
  EXPECT_EQ(energy, 0.0f);
  EXPECT_EQ(dspNoise_32f(&v, -1, &state, &energy), dspStsSizeErr);
  EXPECT_EQ(dspNoise_32f(nullptr, 1, &state, &energy), dspStsNullPtrErr);
}

TEST(VectorKernels, TablesMatchDefinitions) {
  for (int n = 0; n < 8207; n += 13) {
    EXPECT_EQ(dsp_tables::kPow43[n],
              static_cast<float>(std::pow(static_cast<double>(n), 4.0 / 3.0)))
        << n;
  }
  for (int j = 0; j < 1024; j += 7) {
    EXPECT_EQ(dsp_tables::kSfGain[j], static_cast<float>(std::exp2((j - 512) / 4.0))) << j;
  }
  EXPECT_EQ(kRecipExponent[127], 0.0f);
  EXPECT_EQ(kRecipExponent[128], 0.5f);
  EXPECT_EQ(kRecipMantissa[0], 0.953125f);
}

}  // namespace
