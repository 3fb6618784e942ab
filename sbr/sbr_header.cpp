// SBR header and frequency band tables (ISO/IEC 14496-3, 4.6.18.3), in Q28
// integer arithmetic so that every decoder derives the same tables.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "sbr/sbr_decoder.h"
#include "sbr/sbr_tables.h"

namespace {

using UMC::BitReader;

int32_t Rd(BitReader& r, int n) {
  return static_cast<int32_t>(UMC::BitReaderRead(r, n));
}

constexpr int32_t kStartMin[12] = {7, 7, 10, 11, 12, 16, 16, 17, 24, 32, 35, 48};
constexpr int32_t kStopMin[12] = {13, 15, 20, 21, 23, 32, 32, 35, 48, 64, 70, 96};
constexpr int32_t kGoalSb[12] = {21, 23, 32, 43, 46, 64, 85, 93, 128, 171, 186, 256};
constexpr int8_t kStartOffset[9][16] = {
    {-2, -1, 0, 1, 2, 3, 4, 5, 6, 7, 9, 11, 13, 16, 20, 24},
    {-4, -2, -1, 0, 1, 2, 3, 4, 5, 6, 7, 9, 11, 13, 16, 20},
    {-6, -4, -2, -1, 0, 1, 2, 3, 4, 5, 6, 7, 9, 11, 13, 16},
    {-5, -3, -2, -1, 0, 1, 2, 3, 4, 5, 6, 7, 9, 11, 13, 16},
    {-5, -4, -3, -2, -1, 0, 1, 2, 3, 4, 5, 6, 7, 9, 11, 13},
    {-8, -7, -6, -5, -4, -3, -2, -1, 0, 1, 2, 3, 4, 5, 6, 7},
};
// Row of the start offsets by rate index (0, 1 -> row 0; 2..4 -> row 1;
// 5 -> 2; 6 -> 3; 7 -> 4; 8 and above -> 5; the 7350 Hz core shares 8 kHz's).
constexpr int8_t kStartRow[12] = {0, 0, 1, 1, 1, 2, 3, 4, 5, 5, 5, 5};
constexpr int32_t kLimiterDensityQ14[4] = {0, 19661, 32768, 49152};
constexpr int32_t kHalfBands[4] = {0, 6, 5, 4};
constexpr int32_t kHalfBandsWarpQ14[4] = {0, 75618, 63015, 50412};

// Stop offsets of one rate: v[i] = round(s (64/s)^(i/13)), sorted differences,
// accumulated.
void StopOffsets(int32_t stop_min, int32_t* offsets) {
  int32_t v[14], d[13];
  for (int i = 0; i < 14; ++i) {
    v[i] = static_cast<int32_t>(std::lround(stop_min * std::pow(64.0 / stop_min, i / 13.0)));
  }
  for (int i = 0; i < 13; ++i) d[i] = v[i + 1] - v[i];
  std::sort(d, d + 13);
  offsets[0] = 0;
  for (int j = 1; j < 14; ++j) offsets[j] = offsets[j - 1] + d[j - 1];
}

inline int32_t MulHi(int32_t a, int32_t b) {
  return static_cast<int32_t>((int64_t{a} * b) >> 32);
}

// Geometric series of n steps from a to b (Q24 ratio, fifth-order Taylor
// polynomial of e^x in fixed point); v has n + 1 entries.
void Series(int32_t n, int32_t a, int32_t b, int32_t* v) {
  int32_t q = 0;
  if (n >= 1 && n <= 64 && a >= 1 && a <= 64 && b >= 1 && b <= 64) {
    const int32_t x = (kSbrLnQ28[b] - kSbrLnQ28[a]) / n;
    const int32_t t1 = x >> 4;
    const int32_t t2 =
        static_cast<int32_t>(static_cast<uint32_t>(MulHi(2 * MulHi(t1, 1 << 30), x)) << 4);
    const int32_t t3 =
        static_cast<int32_t>(static_cast<uint32_t>(MulHi(2 * MulHi(t2, 715827883), x)) << 4);
    const int32_t t4 =
        static_cast<int32_t>(static_cast<uint32_t>(MulHi(2 * MulHi(t3, 1 << 29), x)) << 4);
    const int32_t t5 =
        static_cast<int32_t>(static_cast<uint32_t>(MulHi(2 * MulHi(t4, 429496730), x)) << 4);
    q = (1 << 24) + t1 + t2 + t3 + t4 + t5;
  }
  v[0] = a;
  int32_t acc = a << 24;
  for (int32_t i = 1; i <= n; ++i) {
    acc = static_cast<int32_t>(static_cast<uint32_t>(MulHi(acc, q)) << 8);
    v[i] = static_cast<int32_t>((int64_t{acc} + (1 << 23)) >> 24);
  }
}

int LinearMaster(SBRDecState& s, int32_t k0, int32_t k2) {
  const int32_t dk = s.bs_alter_scale ? 2 : 1;
  const int32_t bands = s.bs_alter_scale ? 2 * ((k2 - k0 + 2) >> 2) : 2 * ((k2 - k0) >> 1);
  if (bands <= 0 || bands > 64) return kSbrError;
  int32_t vdk[64];
  for (int32_t i = 0; i < bands; ++i) vdk[i] = dk;
  // Spread the remainder: widen bands from the top down, or narrow them
  // from the bottom up, one subband at a time.
  int32_t diff = k2 - k0 - bands * dk;
  for (int32_t i = bands - 1; diff > 0; i = i > 0 ? i - 1 : bands - 1, --diff) ++vdk[i];
  for (int32_t i = 0; diff < 0; i = (i + 1) % bands, ++diff) --vdk[i];
  s.f_master[0] = k0;
  for (int32_t i = 1; i <= bands; ++i) {
    s.f_master[i] = s.f_master[i - 1] + vdk[i - 1];
    if (vdk[i - 1] <= 0) return kSbrError;
  }
  s.N_master = bands;
  return 0;
}

int LogMaster(SBRDecState& s, int32_t k0, int32_t k2) {
  const int32_t h = kHalfBands[s.bs_freq_scale];
  const bool two_regions = int64_t{k0} * 9436764 < int64_t{k2} << 22;
  const int32_t k1 = two_regions ? 2 * k0 : k2;
  const int32_t bands0 = static_cast<int32_t>(
      (((int64_t{kSbrLog2Q28[k1]} - kSbrLog2Q28[k0]) * h + (1 << 27)) >> 27) & ~int64_t{1});
  if (bands0 < 0 || bands0 > 64) return kSbrError;
  int32_t v[65], vdk0[64], vdk1[64];
  Series(bands0, k0, k1, v);
  for (int32_t i = 0; i < bands0; ++i) vdk0[i] = v[i + 1] - v[i];
  std::sort(vdk0, vdk0 + bands0);
  if (bands0 > 0 && vdk0[0] <= 0) return kSbrError;  // empty or negative band
  s.f_master[0] = k0;
  for (int32_t i = 1; i <= bands0; ++i) s.f_master[i] = s.f_master[i - 1] + vdk0[i - 1];
  if (!two_regions) {
    s.N_master = bands0;
    return bands0 > 0 ? 0 : kSbrError;
  }
  int64_t l = int64_t{kSbrLog2Q28[k2]} - kSbrLog2Q28[k1];
  l = s.bs_alter_scale ? (l >> 14) * kHalfBandsWarpQ14[s.bs_freq_scale] : l * h;
  const int32_t bands1 = static_cast<int32_t>(2 * ((l + (1 << 27)) >> 28));
  if (bands1 < 0 || bands0 + bands1 > 64) return kSbrError;
  Series(bands1, k1, k2, v);
  for (int32_t i = 0; i < bands1; ++i) vdk1[i] = v[i + 1] - v[i];
  if (bands1 > 0) {
    const int32_t min1 = *std::min_element(vdk1, vdk1 + bands1);
    if (min1 <= 0) return kSbrError;
    const int32_t max0 = bands0 > 0 ? vdk0[bands0 - 1] : 0;
    if (min1 < max0) {
      std::sort(vdk1, vdk1 + bands1);
      const int32_t change = std::min(max0 - vdk1[0], (vdk1[bands1 - 1] - vdk1[0]) >> 1);
      vdk1[0] += change;
      vdk1[bands1 - 1] -= change;
    }
    std::sort(vdk1, vdk1 + bands1);
  }
  for (int32_t i = 1; i <= bands1; ++i)
    s.f_master[bands0 + i] = s.f_master[bands0 + i - 1] + vdk1[i - 1];
  s.N_master = bands0 + bands1;
  return s.N_master > 0 ? 0 : kSbrError;
}

int Patches(SBRDecState& s) {
  const int32_t k0 = s.k0, kx = s.kx, M = s.M;
  int32_t msb = k0, usb = kx;
  s.numPatches = 0;
  const int32_t goal = kGoalSb[s.sbrRateIndex];
  int32_t k = s.N_master;
  if (goal < kx + M) {
    k = 0;
    while (k < s.N_master && s.f_master[k] < goal) ++k;
  }
  int32_t sb = 0;
  for (int guard = 0; guard < 64; ++guard) {
    int32_t j = k;
    int32_t odd = (s.f_master[j] + k0) & 1;
    while (j > 0 && s.f_master[j] > k0 - 1 + msb - odd) {
      --j;
      odd = (s.f_master[j] + k0) & 1;
    }
    sb = s.f_master[j];
    const int32_t n = std::max(sb - usb, 0);
    if (s.numPatches >= 6) return kSbrError;
    s.patchNumSubbands[s.numPatches] = n;
    s.patchStartSubband[s.numPatches] = k0 - odd - n;
    if (n > 0) {
      usb = msb = sb;
      ++s.numPatches;
    } else {
      msb = kx;
    }
    if (s.f_master[k] - sb < 3) k = s.N_master;
    if (sb == kx + M) break;
  }
  if (sb != kx + M) return kSbrError;
  if (s.numPatches > 1 && s.patchNumSubbands[s.numPatches - 1] < 3) --s.numPatches;
  // Six patches are valid: a low start with a wide range (k0 8, kx + M 43
  // at 44.1 kHz) needs them, and real encoders send such tables.
  if (s.numPatches < 0 || s.numPatches > 6) return kSbrError;
  for (int32_t i = 0; i < s.numPatches; ++i) {
    if (s.patchStartSubband[i] < 0 || s.patchStartSubband[i] + s.patchNumSubbands[i] > k0)
      return kSbrError;
  }
  return 0;
}

void LimiterTable(SBRDecState& s) {
  const int32_t top = s.f_low[s.N_low];
  if (s.bs_limiter_bands == 0) {
    s.f_lim[0] = s.f_low[0];
    s.f_lim[1] = top;
    s.N_L = 1;
    for (int i = 2; i < 65; ++i) s.f_lim[i] = 0;
    return;
  }
  // Patch borders: kx and the end of every patch.  When the derivation
  // dropped a short last patch, the last border lies below the top of the
  // SBR range, and the top itself may merge away: the subbands above the
  // last limiter band then stay silent.
  int32_t pb[7];
  pb[0] = s.kx;
  for (int32_t i = 1; i <= s.numPatches; ++i) pb[i] = pb[i - 1] + s.patchNumSubbands[i - 1];
  constexpr int32_t kRemoved = 1 << 20;  // sorts past every border
  int32_t t[80];
  int32_t n = 0;
  for (int32_t i = 0; i <= s.N_low; ++i) t[n++] = s.f_low[i];
  for (int32_t i = 1; i < s.numPatches; ++i) t[n++] = pb[i];
  std::sort(t, t + n);
  int32_t nr_lim = n - 1;
  const int64_t density = kLimiterDensityQ14[s.bs_limiter_bands];
  auto is_patch_border = [&](int32_t v) {
    for (int32_t i = 0; i <= s.numPatches; ++i) {
      if (pb[i] == v) return true;
    }
    return false;
  };
  for (int32_t j = 1; j <= nr_lim;) {
    const int64_t octaves = ((int64_t{kSbrLog2Q28[t[j]]} - kSbrLog2Q28[t[j - 1]]) >> 14) * density;
    if (octaves >= 131533373) {
      ++j;
      continue;
    }
    if (t[j] == t[j - 1] || !is_patch_border(t[j])) {
      t[j] = kRemoved;
    } else if (is_patch_border(t[j - 1])) {
      ++j;
      continue;
    } else {
      t[j - 1] = kRemoved;
    }
    std::sort(t, t + n);
    --n;
    --nr_lim;
  }
  s.N_L = nr_lim;
  for (int32_t i = 0; i < 65; ++i) s.f_lim[i] = i <= nr_lim ? t[i] : 0;
}

}  // namespace

void SbrInitSlot(SBRDecState& s) {
  std::memset(static_cast<void*>(&s), 0, sizeof(s));
  s.bs_amp_res = 1;
  s.bs_start_freq = 5;
  s.bs_freq_scale = 2;
  s.bs_alter_scale = 1;
  s.bs_noise_bands = 2;
  s.bs_limiter_bands = 2;
  s.bs_limiter_gains = 2;
  s.bs_interpol_freq = 1;
  s.bs_smoothing_mode = 1;
  s.reset = 1;
  s.sbrRateIndex = -1;
  s.numTimeSlots = 16;
  s.kx = s.kxPrev = 32;
  for (SbrChannel& c : s.ch) {
    c.lAPrev = -1;
    c.resetHistory = 1;
    c.L_E = 1;
    c.L_Q = 1;
    SbrQmfAnalysisInit(c.analysis);
    SbrQmfSynthesisInit(c.synthesis, 64);
  }
}

void SbrSetFrameLength(SBRDecState& s, int32_t core_frame_length) {
  s.numTimeSlots = core_frame_length == 960 ? 15 : 16;
}

int32_t SbrReadHeader(SBRDecState& s, BitReader& r) {
  const int64_t start = UMC::BitReaderBitsConsumed(r);
  s.bs_amp_res = Rd(r, 1);
  const int32_t start_freq = Rd(r, 4), stop_freq = Rd(r, 4), xover = Rd(r, 3);
  Rd(r, 2);
  const int32_t extra1 = Rd(r, 1), extra2 = Rd(r, 1);
  int32_t freq_scale = 2, alter_scale = 1, noise_bands = 2;
  if (extra1) {
    freq_scale = Rd(r, 2);
    alter_scale = Rd(r, 1);
    noise_bands = Rd(r, 2);
  }
  s.bs_limiter_bands = 2;
  s.bs_limiter_gains = 2;
  s.bs_interpol_freq = 1;
  s.bs_smoothing_mode = 1;
  if (extra2) {
    s.bs_limiter_bands = Rd(r, 2);
    s.bs_limiter_gains = Rd(r, 2);
    s.bs_interpol_freq = Rd(r, 1);
    s.bs_smoothing_mode = Rd(r, 1);
  }
  const bool same = start_freq == s.bs_start_freq && stop_freq == s.bs_stop_freq &&
                    freq_scale == s.bs_freq_scale && alter_scale == s.bs_alter_scale &&
                    xover == s.bs_xover_band && noise_bands == s.bs_noise_bands;
  s.reset = same ? 0 : 1;
  s.bs_start_freq = start_freq;
  s.bs_stop_freq = stop_freq;
  s.bs_freq_scale = freq_scale;
  s.bs_alter_scale = alter_scale;
  s.bs_xover_band = xover;
  s.bs_noise_bands = noise_bands;
  return static_cast<int32_t>(UMC::BitReaderBitsConsumed(r) - start);
}

void SbrLimiterTable(SBRDecState& s) {
  LimiterTable(s);
}

int32_t SbrDeriveTables(SBRDecState& s) {
  const int32_t r = s.sbrRateIndex;
  if (static_cast<uint32_t>(r) > 11) return kSbrError;
  const int32_t k0 = kStartMin[r] + kStartOffset[kStartRow[r]][s.bs_start_freq];
  int32_t k2;
  if (s.bs_stop_freq <= 13) {
    int32_t offsets[14];
    StopOffsets(kStopMin[r], offsets);
    k2 = std::min(64, kStopMin[r] + offsets[s.bs_stop_freq]);
  } else {
    k2 = std::min(64, (s.bs_stop_freq == 14 ? 2 : 3) * k0);
  }
  const int32_t limit = r <= 3 ? 32 : (r == 4 ? 35 : 48);
  if (k0 < 1 || k2 - k0 < 0 || k2 - k0 > limit) return kSbrError;
  s.k0 = k0;
  std::memset(s.f_master, 0, sizeof(s.f_master));
  const int rc = s.bs_freq_scale == 0 ? LinearMaster(s, k0, k2) : LogMaster(s, k0, k2);
  if (rc != 0) return kSbrError;
  s.N_high = s.N_master - s.bs_xover_band;
  if (s.N_high <= 0) return kSbrError;
  for (int32_t i = 0; i <= s.N_high; ++i) s.f_high[i] = s.f_master[i + s.bs_xover_band];
  s.N_low = s.N_high - (s.N_high >> 1);
  s.f_low[0] = s.f_high[0];
  for (int32_t i = 1; i <= s.N_low; ++i) s.f_low[i] = s.f_high[2 * i - (s.N_high & 1)];
  s.kx = s.f_high[0];
  s.M = s.f_high[s.N_high] - s.f_high[0];
  if (s.kx > 32 || s.M <= 0 || s.kx + s.M > 64) return kSbrError;
  int32_t nq = static_cast<int32_t>(
      (int64_t{s.bs_noise_bands} * (kSbrLog2Q28[k2] - kSbrLog2Q28[s.kx]) + (1 << 27)) >> 28);
  if (nq <= 0) nq = 1;
  if (nq > 5) return kSbrError;
  s.N_Q = nq;
  int32_t idx = 0;
  s.f_noise[0] = s.f_low[0];
  for (int32_t k = 1; k <= nq; ++k) {
    idx += (s.N_low - idx) / (nq + 1 - k);
    s.f_noise[k] = s.f_low[idx];
  }
  if (Patches(s) != 0) return kSbrError;
  LimiterTable(s);
  return 0;
}
