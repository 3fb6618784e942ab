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
constexpr uint32_t kThirdQtr = 3 * kFirstQtr;  // half = 2 * kFirstQtr

struct Bgmc {
  uint32_t low = 0, high = kTop, value = 0;
};

// Single bits from a 64-bit window refilled from the reader (zeros past the
// end of the data, like the reader itself); `pos` is the reader position.
class BitCache {
 public:
  explicit BitCache(const BitReader& r) : r_(r), pos_(r.pos) {}
  // Next n bits, 1 <= n <= 32.
  uint32_t Bits(int n) {
    if (avail_ < n) Refill();
    const uint32_t v = static_cast<uint32_t>(bits_ >> (64 - n));
    bits_ <<= n;
    avail_ -= n;
    pos_ += n;
    return v;
  }
  int64_t pos() const { return pos_; }
  // The decoder reads 16 bits ahead of what it uses and gives them back at
  // the end, so a block that ends the data may take them from past its end.
  bool overrun() const { return pos_ - 16 > int64_t{r_.size} * 8; }

 private:
  void Refill() {
    bits_ = UMC::bitreader_detail::Load64(r_, pos_ >> 3) << (pos_ & 7);
    avail_ = 64 - static_cast<int>(pos_ & 7);
  }
  const BitReader& r_;
  int64_t pos_;
  uint64_t bits_ = 0;
  int avail_ = 0;
};

// One most-significant-part symbol with table sx, stride 2^delta.
int32_t BgmcSymbol(Bgmc& g, BitCache& in, const uint16_t* cf, int32_t delta, int32_t max_symbol) {
  const uint32_t range = g.high - g.low + 1;
  const uint32_t target = (((g.value - g.low + 1) << 14) - 1) / range;
  int32_t m = 0;
  while (m < max_symbol && cf[(m + 1) << delta] > target) ++m;
  g.high = g.low + ((range * cf[m << delta] - (1u << 14)) >> 14);
  g.low = g.low + ((range * cf[(m + 1) << delta]) >> 14);
  // Renormalisation.  Leading bits on which low and high agree are settled
  // (the interval lies in one half): shift them all out at once.  Then, while
  // the interval straddles the middle within the second and third quarters,
  // expand it around the middle.  On valid data value lies inside
  // [low, high], so masking the settled bits equals subtracting the half.
  for (;;) {
    const uint32_t diff = (g.low ^ g.high) & kTop;
    const int c = diff ? __builtin_clz(diff) - 14 : 18;
    if (c > 0) {
      g.low = (g.low << c) & kTop;
      g.high = ((g.high << c) | ((1u << c) - 1)) & kTop;
      g.value = ((g.value << c) | in.Bits(c)) & kTop;
    }
    if (g.low < kFirstQtr || g.high >= kThirdQtr) break;
    g.low = 2 * (g.low - kFirstQtr);
    g.high = 2 * (g.high - kFirstQtr) + 1;
    g.value = 2 * (g.value - kFirstQtr) + in.Bits(1);
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
  BitCache in(r);
  for (int32_t i = 0; i < b.sub_blocks; ++i) {
    const int32_t end = i + 1 == b.sub_blocks ? n : (i + 1) * sub_len;
    const int32_t max_symbol = ((2 * kAlsBgmcSymbols[b.sx[i]]) >> delta[i]) - 1;
    const uint16_t* cf = kAlsBgmcCumFreq[b.sx[i]];
    for (; pos < end; ++pos) {
      res[pos] = BgmcSymbol(g, in, cf, delta[i], max_symbol);
      if (in.overrun()) return -1;
    }
  }
  UMC::BitReaderSetPosition(r, in.pos());
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
