// Built-in twiddle tables of the complex FFT, computed at compile time.
#include "dsp/fft_impl.h"

namespace {

constexpr std::array<float, kFftBuiltinPassFloats> MakePassTables() {
  std::array<float, kFftBuiltinPassFloats> t{};
  for (int64_t s = 4; s <= 256; s *= 4) FftFillPassTable(t.data() + 4 * (s - 4), s);
  return t;
}

constexpr std::array<float, 1024> MakeTwiddle1024() {
  std::array<float, 1024> t{};
  for (int64_t j = 0; j < 512; ++j) {
    const FftCosSin w = FftTurn(j, 1024);
    t[static_cast<size_t>(2 * j)] = static_cast<float>(w.c);
    t[static_cast<size_t>(2 * j + 1)] = static_cast<float>(-w.s);
  }
  return t;
}

constexpr std::array<int32_t, 15> MakeSmallBitrev() {
  std::array<int32_t, 15> t{};
  for (int32_t bits = 0; bits <= 3; ++bits) FftFillBitrev(t.data() + (1 << bits) - 1, bits);
  return t;
}

}  // namespace

constexpr std::array<float, kFftBuiltinPassFloats> kFftPassTwiddles = MakePassTables();
constexpr std::array<float, 1024> kFftTwiddle1024 = MakeTwiddle1024();
constexpr std::array<int32_t, 15> kFftSmallBitrev = MakeSmallBitrev();
