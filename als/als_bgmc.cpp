// Block Gilbert-Moore coded residuals (ISO/IEC 14496-3, 11.6.3.2): an
// arithmetic-coded most significant part per value with one of 16
// cumulative frequency tables, followed by Rice-coded tails and plain least
// significant bits.
#include "als/als_internal.h"
#include "als/als_tables.h"

namespace {

using UMC::BitReader;

uint32_t Rd(BitReader& r, int n) {
  return UMC::BitReaderRead(r, n);
}

constexpr uint32_t kTop = (1u << 18) - 1;
constexpr uint32_t kFirstQtr = kTop / 4 + 1;
constexpr uint32_t kHalf = 2 * kFirstQtr;
constexpr uint32_t kThirdQtr = 3 * kFirstQtr;

struct Bgmc {
  uint32_t low = 0, high = kTop, value = 0;
};

// One most-significant-part symbol with table sx, stride 2^delta.
int32_t BgmcSymbol(Bgmc& g, BitReader& r, int32_t sx, int32_t delta, int32_t max_symbol) {
  const uint16_t* cf = kAlsBgmcCumFreq[sx];
  const uint32_t range = g.high - g.low + 1;
  const uint32_t target = (((g.value - g.low + 1) << 14) - 1) / range;
  int32_t m = 0;
  while (m < max_symbol && cf[(m + 1) << delta] > target) ++m;
  g.high = g.low + ((range * cf[m << delta] - (1u << 14)) >> 14);
  g.low = g.low + ((range * cf[(m + 1) << delta]) >> 14);
  for (;;) {
    if (g.high >= kHalf) {
      if (g.low >= kHalf) {
        g.value -= kHalf, g.low -= kHalf, g.high -= kHalf;
      } else if (g.low >= kFirstQtr && g.high < kThirdQtr) {
        g.value -= kFirstQtr, g.low -= kFirstQtr, g.high -= kFirstQtr;
      } else {
        break;
      }
    }
    g.low *= 2;
    g.high = 2 * g.high + 1;
    g.value = 2 * g.value + Rd(r, 1);
  }
  return m;
}

}  // namespace

int AlsReadBgmcResiduals(BitReader& r, AlsBlock& b, int32_t first) {
  const int32_t n = b.length;
  int32_t B = 0;
  if (n > 7) {
    int32_t log2n = 0;
    while ((1 << log2n) < n) ++log2n;
    B = (log2n - 3) >> 1;
    B = B < 0 ? 0 : (B > 5 ? 5 : B);
  }
  const int32_t sub_len = n / b.sub_blocks;
  int32_t k[kAlsMaxSubBlocks], delta[kAlsMaxSubBlocks];
  for (int32_t i = 0; i < b.sub_blocks; ++i) {
    k[i] = b.s[i] > B ? b.s[i] - B : 0;
    delta[i] = 5 - b.s[i] + k[i];
    if (delta[i] < 0 || delta[i] > 5 || b.sx[i] < 0 || b.sx[i] > 15) return -1;
  }
  Bgmc g;
  g.value = Rd(r, 18);
  int32_t* res = b.residual;
  int32_t pos = first;
  // Pass 1: the most significant parts.
  for (int32_t i = 0; i < b.sub_blocks; ++i) {
    const int32_t end = i + 1 == b.sub_blocks ? n : (i + 1) * sub_len;
    const int32_t max_symbol = ((2 * kAlsBgmcSymbols[b.sx[i]]) >> delta[i]) - 1;
    for (; pos < end; ++pos) {
      res[pos] = BgmcSymbol(g, r, b.sx[i], delta[i], max_symbol);
      if (UMC::BitReaderOverrun(r)) return -1;
    }
  }
  UMC::BitReaderSetPosition(r, UMC::BitReaderBitsConsumed(r) - 16);
  // Pass 2: tails and least significant bits.
  pos = first;
  for (int32_t i = 0; i < b.sub_blocks; ++i) {
    const int32_t end = i + 1 == b.sub_blocks ? n : (i + 1) * sub_len;
    const int32_t tail = kAlsBgmcTail[b.sx[i]][delta[i]];
    const int32_t max = kAlsBgmcSymbols[b.sx[i]] >> delta[i];
    for (; pos < end; ++pos) {
      int32_t m = res[pos];
      if (m == tail) {
        const int64_t f = AlsReadRice(r, b.s[i]);
        res[pos] = static_cast<int32_t>(f >= 0 ? f + (int64_t{max} << k[i])
                                               : f - (int64_t{max - 1} << k[i]));
      } else {
        if (m > tail) --m;
        int32_t part = (m & 1) ? -((m + 1) >> 1) : (m >> 1);
        if (k[i] > 0) {
          part = static_cast<int32_t>((static_cast<uint32_t>(part) << k[i]) | Rd(r, k[i]));
        }
        res[pos] = part;
      }
    }
  }
  return UMC::BitReaderOverrun(r) ? -1 : 0;
}
