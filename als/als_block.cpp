// ALS block syntax (ISO/IEC 14496-3, 11.6.3): block partitions, block
// parameters, Rice coded residuals and the RLS-LMS parameters.
#include <algorithm>

#include "als/als_internal.h"

namespace {

using UMC::BitReader;

uint32_t Rd(BitReader& r, int n) {
  return UMC::BitReaderRead(r, n);
}

// Unary prefix: ones before the first zero.  Bounded: past the end of the
// data the reader returns zeros, which ends the count.
uint32_t ReadUnary(BitReader& r) {
  uint32_t q = 0;
  for (;;) {
    const uint32_t peek = UMC::BitReaderPeek(r, 32);
    if (peek != 0xFFFFFFFFu) {
      const int ones = __builtin_clz(~peek);
      UMC::BitReaderSkip(r, ones + 1);
      return q + static_cast<uint32_t>(ones);
    }
    UMC::BitReaderSkip(r, 32);
    q += 32;
    if (q > (1u << 26)) return q;  // absurd: the caller's overrun check fails the block
  }
}

// Signed Rice code with parameter k (0..31).
inline int32_t ReadRice(BitReader& r, int32_t k) {
  // Fast path: prefix, stop bit and remainder inside one 64-bit window (at
  // least 57 valid bits after the alignment shift).
  const uint64_t w = UMC::bitreader_detail::Load64(r, r.pos >> 3) << (r.pos & 7);
  const uint64_t inv = ~w;
  uint32_t q, rem = 0;
  if (inv != 0 && __builtin_clzll(inv) + 1 + k <= 57) {
    const int ones = __builtin_clzll(inv);
    q = static_cast<uint32_t>(ones);
    if (k) rem = static_cast<uint32_t>((w << (ones + 1)) >> (64 - k));
    r.pos += ones + 1 + k;
  } else {
    q = ReadUnary(r);
    rem = k ? Rd(r, k) : 0;
  }
  if (k == 0) return (q & 1) ? -static_cast<int32_t>((q + 1) >> 1) : static_cast<int32_t>(q >> 1);
  const uint64_t base = uint64_t{q} << (k - 1);
  const uint32_t half = 1u << (k - 1);
  if (rem & half) return static_cast<int32_t>(base + (rem - half));
  return static_cast<int32_t>(-static_cast<int64_t>(base + rem + 1));
}

int32_t BitLength(uint32_t x) {
  int32_t n = 1;
  while (n < 32 && (x >> n)) ++n;
  return n;
}

constexpr int8_t kRice[3][20] = {{4, 5, 4, 4, 4, 3, 3, 3, 3, 3, 3, 3, 2, 2, 2, 2, 2, 2, 2, 2},
                                 {3, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4, 3, 4, 3, 4, 3, 3, 3},
                                 {3, 5, 4, 4, 4, 4, 4, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 2}};
constexpr int8_t kOffset[3][20] = {
    {-52, -29, -31, 19, -16, 12, -7, 9, -5, 6, -4, 3, -3, 3, -2, 3, -1, 2, -1, 2},
    {-58, -42, -46, 37, -36, 29, -29, 25, -23, 20, -17, 16, -12, 12, -10, 7, -4, 3, -1, 1},
    {-59, -45, -50, 38, -39, 32, -30, 25, -23, 20, -20, 16, -13, 10, -7, 3, 0, -1, 2, -1}};
constexpr int32_t kLtpGain2[16] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 70, 76, 82, 88, 92, 96, 100};
constexpr int32_t kLmsOrder[32] = {2,   3,   4,   5,   6,   7,   8,   9,   10,   12, 14,
                                   16,  18,  20,  24,  28,  32,  36,  48,  64,   80, 96,
                                   128, 256, 384, 448, 512, 640, 768, 896, 1024, 0};
constexpr int32_t kLmsStep[32] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                                  18, 20, 22, 24, 26, 28, 30, 35, 40, 45, 50, 55, 60, 70, 80, 100};

int ReadRiceResiduals(BitReader& r, AlsBlock& b, int32_t first) {
  const int32_t sub_len = b.length / b.sub_blocks;
  int32_t pos = first;
  for (int32_t i = 0; i < b.sub_blocks; ++i) {
    const int32_t end = i + 1 == b.sub_blocks ? b.length : (i + 1) * sub_len;
    const int32_t k = b.s[i];
    for (; pos < end; ++pos) b.residual[pos] = ReadRice(r, k);
    if (UMC::BitReaderOverrun(r)) return -1;
  }
  return 0;
}

void ReadRlsParameters(AlsState& s, BitReader& r) {
  AlsRlsParams& p = s.rls_params;
  const uint32_t v = Rd(r, 2);
  p.stereo_flag = static_cast<int32_t>(v >> 1);
  if (!(v & 1)) return;
  const int32_t e = static_cast<int32_t>(Rd(r, 3));
  p.extension = e;
  if (e & 1) {
    const uint32_t orders = Rd(r, 7);
    p.rls_order = 2 * static_cast<int32_t>(orders >> 3);
    p.stages = static_cast<int32_t>(orders & 7);
    for (int32_t j = 0; j < p.stages; ++j) p.lms_order[j] = kLmsOrder[Rd(r, 5)];
    p.inputs = p.stages + 2;
  }
  if ((e & 2) && p.rls_order != 0) {
    p.lambda_ra = static_cast<int32_t>(Rd(r, 10));
    p.lambda = static_cast<int32_t>(Rd(r, 10));
  }
  if (e & 4) {
    for (int32_t j = 0; j < p.stages; ++j) p.lms_step[j] = kLmsStep[Rd(r, 5)];
    p.combiner_step = 16777 * static_cast<int32_t>(Rd(r, 3));
  }
}

}  // namespace

int32_t AlsReadRice(BitReader& r, int32_t k) {
  return ReadRice(r, k);
}

uint32_t AlsReadRiceUnsigned(BitReader& r, int32_t k) {
  const uint32_t q = ReadUnary(r);
  return (q << k) + (k ? Rd(r, k) : 0);
}

int32_t AlsBlockPartition(uint32_t bs_info, int32_t frame_length, int32_t* lengths) {
  int32_t count = 0;
  // Depth-first walk of the split tree: node (depth, index) uses bit
  // 31 - (2^depth + index) for depth 0..4.
  struct Node {
    int32_t depth, index;
  } stack[64];
  int32_t top = 0;
  stack[top++] = Node{0, 0};
  while (top > 0) {
    const Node nd = stack[--top];
    const int32_t bit = 30 - ((1 << nd.depth) - 1) - nd.index;
    const bool split = nd.depth < 5 && ((bs_info >> bit) & 1);
    if (split) {
      stack[top++] = Node{nd.depth + 1, 2 * nd.index + 1};
      stack[top++] = Node{nd.depth + 1, 2 * nd.index};
    } else {
      lengths[count++] = frame_length >> nd.depth;
    }
  }
  return count;
}

int32_t AlsShortenPartition(int32_t* lengths, int32_t count, int32_t total) {
  int32_t sum = 0;
  for (int32_t i = 0; i < count; ++i) {
    if (sum + lengths[i] >= total) {
      lengths[i] = total - sum;
      return i + 1;
    }
    sum += lengths[i];
  }
  return count;
}

int AlsReadBlock(AlsState& s, BitReader& r, AlsBlock& b, int32_t channel) {
  const AlsConfig& c = s.cfg;
  // Floating-point streams code their integer part in 24 bits.
  const int32_t bps = c.floating ? 24 : c.resolution;
  b.type = static_cast<int32_t>(Rd(r, 1));
  b.quant = s.quant[channel];
  b.residual = s.residual[channel];
  b.shift = 0;
  b.ltp = 0;
  b.order = 0;
  b.js_block = 0;
  b.const_block = 0;
  b.const_value = 0;
  if (b.type == 0) {
    const uint32_t v = Rd(r, 7);
    b.const_block = static_cast<int32_t>((v >> 6) & 1);
    b.js_block = static_cast<int32_t>((v >> 5) & 1);
    if (b.const_block) {
      const int32_t width = bps;
      uint32_t raw = Rd(r, width);
      // 8-bit samples are coded with their top bit inverted (the unsigned
      // form of WAV files), but a constant holds the file's byte itself.
      if (width == 8) raw ^= 0x80;
      b.const_value = width >= 32 ? static_cast<int32_t>(raw)
                                  : static_cast<int32_t>(raw << (32 - width)) >> (32 - width);
    }
  } else {
    b.js_block = static_cast<int32_t>(Rd(r, 1));
    if (!c.bgmc_mode && !c.sb_part) {
      b.sub_blocks = 1;
    } else if (c.bgmc_mode && c.sb_part) {
      b.sub_blocks = 1 << Rd(r, 2);
    } else {
      b.sub_blocks = Rd(r, 1) ? 4 : 1;
    }
    if (!c.bgmc_mode) {
      b.s[0] = static_cast<int32_t>(Rd(r, bps <= 16 ? 4 : 5));
      for (int32_t i = 1; i < b.sub_blocks; ++i) b.s[i] = b.s[i - 1] + AlsReadRice(r, 0);
      for (int32_t i = 0; i < b.sub_blocks; ++i) {
        if (b.s[i] < 0 || b.s[i] > 31) return -1;
      }
    } else {
      int32_t S = static_cast<int32_t>(Rd(r, bps <= 16 ? 8 : 9));
      for (int32_t i = 0; i < b.sub_blocks; ++i) {
        if (i > 0) S += AlsReadRice(r, 2);
        if (S < 0 || S > 31 * 16 + 15) return -1;
        b.s[i] = S >> 4;
        b.sx[i] = S & 15;
      }
    }
    if (Rd(r, 1)) b.shift = static_cast<int32_t>(Rd(r, 4)) + 1;
    if (c.rlslms) {
      b.order = 10;
    } else {
      if (!c.adapt_order) {
        b.order = c.max_order;
      } else {
        int32_t h = b.length > 7 ? (b.length >> 3) - 1 : 0;
        if (h > c.max_order) h = c.max_order;
        b.order = static_cast<int32_t>(Rd(r, BitLength(static_cast<uint32_t>(h))));
        if (b.order > c.max_order) return -1;
      }
      int32_t* q = b.quant;
      for (int32_t j = 0; j < b.order; ++j) {
        if (c.coef_table == 3) {
          q[j] = static_cast<int32_t>(Rd(r, 7)) - 64;
        } else if (j < 20) {
          q[j] = AlsReadRice(r, kRice[c.coef_table][j]) + kOffset[c.coef_table][j];
        } else if (j < 127) {
          q[j] = AlsReadRice(r, 2) + (j & 1);
        } else {
          q[j] = AlsReadRice(r, 1);
        }
      }
    }
    if (c.long_term_prediction) {
      b.ltp = static_cast<int32_t>(Rd(r, 1));
      if (b.ltp) {
        b.gain[0] = AlsReadRice(r, 1) * 8;
        b.gain[1] = AlsReadRice(r, 2) * 8;
        const uint32_t idx = AlsReadRiceUnsigned(r, 2);
        if (idx > 15) return -1;
        b.gain[2] = kLtpGain2[idx];
        b.gain[3] = AlsReadRice(r, 2) * 8;
        b.gain[4] = AlsReadRice(r, 1) * 8;
        b.lag = static_cast<int32_t>(Rd(r, s.ltp_lag_bits));
      }
    }
    int32_t first = 0;
    if (b.ra_block && b.order > 0) {
      b.residual[0] = AlsReadRice(r, bps - 4 > 31 ? 31 : bps - 4);
      first = 1;
      // Only as many as the block has samples.
      // Their parameters stay within the largest Rice parameter of the
      // resolution: 15 up to 16 bits, else 31.
      const int32_t max_k = bps <= 16 ? 15 : 31;
      if (b.order > 1 && b.length > 1) {
        b.residual[1] = AlsReadRice(r, std::min(b.s[0] + 3, max_k));
        first = 2;
      }
      if (b.order > 2 && b.length > 2) {
        b.residual[2] = AlsReadRice(r, std::min(b.s[0] + 1, max_k));
        first = 3;
      }
    }
    if ((c.bgmc_mode ? AlsReadBgmcResiduals(r, b, first) : ReadRiceResiduals(r, b, first)) != 0) {
      return -1;
    }
  }
  if (c.rlslms) ReadRlsParameters(s, r);
  // Blocks end byte-aligned, except inside a multichannel-coded frame.
  if (!c.mc_coding || s.js_switch) UMC::BitReaderByteAlign(r);
  return UMC::BitReaderOverrun(r) ? -1 : 0;
}
