// ps_data() (ISO/IEC 14496-3, 8.6.4.3-8.6.4.5): header, envelope grid, IID,
// ICC and the IPD/OPD extension, then delta decoding, the envelope fix-up
// and the mapping of every parameter set onto the stereo layout's bands.
// A frame is read completely into local storage before anything in the
// state changes, so a damaged frame leaves the previous parameters intact.
#include <cstring>

#include "ps/ps_huffman_tables.h"
#include "ps/ps_internal.h"

namespace {

using UMC::BitReader;

constexpr int32_t kNumEnvTab[2][4] = {{0, 1, 2, 4}, {1, 2, 3, 4}};
constexpr int32_t kParBands[6] = {10, 20, 34, 10, 20, 34};
constexpr int32_t kPhaseBands[6] = {5, 11, 17, 5, 11, 17};
constexpr int kCodedEnvelopes = 4;

int32_t Read(BitReader& r, int n) {
  return static_cast<int32_t>(UMC::BitReaderRead(r, n));
}

// One code word.  The lookup runs on a padded copy of the next 32 stream
// bits (the longest PS code has 20), so it never reads outside the reader's
// buffer whatever the data.  A bit pattern that is no code word sets `bad`.
int32_t DecodeCode(BitReader& r, const DspVlcDecodeSpec_32s* table, bool* bad) {
  uint8_t bytes[16] = {};
  const uint32_t bits = UMC::BitReaderPeek(r, 32);
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(bits >> (24 - 8 * i));
  const uint8_t* p = bytes;
  int32_t offset = 0;
  int16_t value = 0;
  if (dspVlcDecodeOne_16s(&p, &offset, &value, table) != dspStsNoErr || p - bytes > 3) {
    *bad = true;
    return 0;
  }
  UMC::BitReaderSkip(r, (p - bytes) * 8 + offset);
  return value;
}

// Header fields as read in this frame.
struct Header {
  int32_t present, enable_iid, iid_mode, enable_icc, icc_mode, enable_ext;
};

// Everything ps_data() codes for one frame, before delta decoding.
struct Coded {
  int32_t frame_class;
  int32_t num_env;  // 0..4
  int32_t border[kCodedEnvelopes + 1];
  int32_t enable_ipdopd;
  int32_t iid_dt[kCodedEnvelopes], icc_dt[kCodedEnvelopes];
  int32_t ipd_dt[kCodedEnvelopes], opd_dt[kCodedEnvelopes];
  int16_t iid[kCodedEnvelopes][kPsMaxBands], icc[kCodedEnvelopes][kPsMaxBands];
  int16_t ipd[kCodedEnvelopes][kPsMaxPhaseBands], opd[kCodedEnvelopes][kPsMaxPhaseBands];
};

void ReadCodes(BitReader& r, const PsHuffman& h, int table, int32_t count, int16_t* out,
               bool* bad) {
  for (int32_t b = 0; b < count; ++b)
    out[b] = static_cast<int16_t>(DecodeCode(r, h.table[table], bad));
}

template <int N>
void ReadSet(BitReader& r, const PsHuffman& h, int32_t num_env, int freq_table, int32_t count,
             int32_t* dt, int16_t (*out)[N], bool* bad) {
  for (int32_t e = 0; e < num_env; ++e) {
    dt[e] = Read(r, 1);
    ReadCodes(r, h, freq_table + dt[e], count, out[e], bad);
  }
}

// The extension loop; id 0 carries IPD/OPD.  Unknown extensions are skipped
// to the end of the budget.  Returns false when the data overrun it.
bool ReadExtension(BitReader& r, const PsHuffman& h, const Header& hd, Coded& c, bool* bad) {
  int32_t size = Read(r, 4);
  if (size == 15) size += Read(r, 8);
  int64_t budget = int64_t{size} * 8;
  while (budget > 7) {
    const int32_t id = Read(r, 2);
    budget -= 2;
    if (id != 0) {
      UMC::BitReaderSkip(r, budget);
      budget = 0;
      break;
    }
    const int64_t start = UMC::BitReaderBitsConsumed(r);
    c.enable_ipdopd = Read(r, 1);
    if (c.enable_ipdopd) {
      const int32_t bands = kPhaseBands[hd.iid_mode];
      for (int32_t e = 0; e < c.num_env; ++e) {
        c.ipd_dt[e] = Read(r, 1);
        ReadCodes(r, h, kPsHuffIpdFreq + c.ipd_dt[e], bands, c.ipd[e], bad);
        c.opd_dt[e] = Read(r, 1);
        ReadCodes(r, h, kPsHuffOpdFreq + c.opd_dt[e], bands, c.opd[e], bad);
      }
    }
    Read(r, 1);  // reserved_ps
    budget -= UMC::BitReaderBitsConsumed(r) - start;
    if (budget < 0) return false;
  }
  UMC::BitReaderSkip(r, budget);  // fill bits
  return true;
}

int32_t Clamp(int32_t v, int32_t lo, int32_t hi) {
  return v < lo ? lo : (v > hi ? hi : v);
}

// Decoding rule of one parameter set.
struct SetRule {
  int32_t coded;  // bands coded per envelope
  int32_t grid;   // bands of the grid the values are kept on
  int32_t lo, hi;
  bool phase;  // modulo 8 instead of clamping
};

SetRule IidIccRule(int32_t coded, int32_t lo, int32_t hi) {
  return SetRule{coded, coded == 10 ? 20 : coded, lo, hi, false};
}
SetRule PhaseRule(int32_t coded) {
  return SetRule{coded, coded == 5 ? 11 : coded, 0, 7, true};
}

// Delta decoding of one set onto its grid, envelope by envelope: frequency
// direction from band to band, time direction from the previous envelope
// (the previous frame's last one for the first).  Coarse data (10 or 5
// bands) are repeated onto two grid bands each, and referenced at 2i.
template <int N>
void DeltaDecode(const SetRule& rule, int32_t num_env, const int32_t* dt,
                 const int16_t (*deltas)[N], const int16_t* prev, int16_t (*grid)[N]) {
  const int32_t step = rule.grid >= 2 * rule.coded ? 2 : 1;
  for (int32_t e = 0; e < num_env; ++e) {
    const int16_t* ref = e == 0 ? prev : grid[e - 1];
    int16_t* out = grid[e];
    int16_t values[N] = {};
    int32_t sum = 0;  // frequency direction: running sum of the deltas
    for (int32_t i = 0; i < rule.coded; ++i) {
      sum = (dt[e] ? ref[step * i] : sum) + deltas[e][i];
      values[i] = static_cast<int16_t>(rule.phase ? (sum & 7) : Clamp(sum, rule.lo, rule.hi));
    }
    for (int32_t g = 0; g < N; ++g) out[g] = 0;
    for (int32_t i = 0; i < rule.coded; ++i) {
      for (int32_t j = 0; j < step; ++j) out[step * i + j] = values[i];
    }
  }
}

// Grid values of every envelope of one set, after the fix-up: disabled sets
// are zero, a frame without envelopes repeats the previous values, and the
// appended envelope repeats the last one.  `prev` becomes the last envelope.
template <int N>
void DecodeSet(bool enabled, const SetRule& rule, int32_t coded_env, int32_t num_env,
               const int32_t* dt, const int16_t (*deltas)[N], int16_t* prev, int16_t (*grid)[N]) {
  if (!enabled) {
    std::memset(grid, 0, sizeof(int16_t) * N * kPsMaxEnvelopes);
    std::memset(prev, 0, sizeof(int16_t) * N);
    return;
  }
  DeltaDecode<N>(rule, coded_env, dt, deltas, prev, grid);
  for (int32_t e = coded_env; e < num_env; ++e) {
    std::memcpy(grid[e], e == 0 ? prev : grid[e - 1], sizeof(int16_t) * N);
    // Values kept from a frame with fine IID may exceed a coarse range.
    if (e == 0 && !rule.phase) {
      for (int32_t g = 0; g < N; ++g)
        grid[e][g] = static_cast<int16_t>(Clamp(grid[e][g], rule.lo, rule.hi));
    }
  }
  std::memcpy(prev, grid[num_env - 1], sizeof(int16_t) * N);
}

// One envelope's grid values onto the layout's bands.
void ToLayout(const int16_t* grid, int32_t grid_bands, int32_t layout_bands, bool phase,
              int16_t* out) {
  const int32_t full = phase ? 17 : 34;
  if (grid_bands == layout_bands) {
    std::memcpy(out, grid, sizeof(int16_t) * static_cast<size_t>(layout_bands));
  } else if (grid_bands == full) {
    PsMapIndices34To20(grid, out, layout_bands);
  } else {
    PsMapIndices20To34(grid, out, layout_bands);
  }
}

// Post-processing of a parsed frame into the state.
void Commit(PSDecState& ps, const Coded& c) {
  const bool baseline = ps.ps_mode == 111;
  const int32_t iid_bands = kParBands[ps.iid_mode], icc_bands = kParBands[ps.icc_mode];
  const int32_t phase_bands = kPhaseBands[ps.iid_mode];
  const bool phase = c.enable_ipdopd && !baseline;
  if (ps.enable_iid || ps.enable_icc) {
    const bool wide = (ps.enable_iid && iid_bands == 34) || (ps.enable_icc && icc_bands == 34);
    ps.numBandsLayout = wide ? kPsLayout34 : kPsLayout20;
  }
  if (baseline) ps.numBandsLayout = kPsLayout20;
  ps.mixingProcedure = (ps.icc_mode >= 3 && !baseline) ? 1 : 0;
  ps.fineIid = ps.iid_mode >= 3 ? 1 : 0;
  ps.enable_ipdopd = phase ? 1 : 0;

  ps.frame_class = c.frame_class;
  ps.num_env = c.num_env;
  for (int32_t e = 0; e <= c.num_env; ++e) ps.border_position[e] = c.border[e];
  if (ps.num_env == 0 || ps.border_position[ps.num_env] < ps.num_slots) {
    ps.border_position[++ps.num_env] = ps.num_slots;
  }
  for (int32_t e = 0; e < kPsMaxEnvelopes; ++e) {
    const bool coded = e < c.num_env;
    ps.iid_dt[e] = coded ? c.iid_dt[e] : 0;
    ps.icc_dt[e] = coded ? c.icc_dt[e] : 0;
    ps.ipd_dt[e] = coded ? c.ipd_dt[e] : 0;
    ps.opd_dt[e] = coded ? c.opd_dt[e] : 0;
  }

  int16_t iid[kPsMaxEnvelopes][kPsMaxBands], icc[kPsMaxEnvelopes][kPsMaxBands];
  int16_t ipd[kPsMaxEnvelopes][kPsMaxPhaseBands], opd[kPsMaxEnvelopes][kPsMaxPhaseBands];
  const int32_t fine = ps.fineIid ? 15 : 7;
  const SetRule iid_rule = IidIccRule(iid_bands, -fine, fine);
  const SetRule icc_rule = IidIccRule(icc_bands, 0, 7);
  const SetRule phase_rule = PhaseRule(phase_bands);
  DecodeSet<kPsMaxBands>(ps.enable_iid, iid_rule, c.num_env, ps.num_env, c.iid_dt, c.iid,
                         ps.iidIndexPrev, iid);
  DecodeSet<kPsMaxBands>(ps.enable_icc, icc_rule, c.num_env, ps.num_env, c.icc_dt, c.icc,
                         ps.iccIndexPrev, icc);
  // Phase data of a frame without them count as zero (and are the
  // reference of the next frame's time-direction coding).
  DecodeSet<kPsMaxPhaseBands>(c.enable_ipdopd, phase_rule, c.num_env, ps.num_env, c.ipd_dt, c.ipd,
                              ps.ipdIndexPrev, ipd);
  DecodeSet<kPsMaxPhaseBands>(c.enable_ipdopd, phase_rule, c.num_env, ps.num_env, c.opd_dt, c.opd,
                              ps.opdIndexPrev, opd);

  const int32_t bands = ps.numBandsLayout == kPsLayout34 ? 34 : 20;
  const int32_t pbands = ps.numBandsLayout == kPsLayout34 ? 17 : 11;
  for (int32_t e = 0; e < ps.num_env; ++e) {
    ToLayout(iid[e], ps.enable_iid ? iid_rule.grid : bands, bands, false, ps.iidIndex[e]);
    ToLayout(icc[e], ps.enable_icc ? icc_rule.grid : bands, bands, false, ps.iccIndex[e]);
    if (phase) {
      ToLayout(ipd[e], phase_rule.grid, pbands, true, ps.ipdIndex[e]);
      ToLayout(opd[e], phase_rule.grid, pbands, true, ps.opdIndex[e]);
    } else {
      std::memset(ps.ipdIndex[e], 0, sizeof(ps.ipdIndex[e]));
      std::memset(ps.opdIndex[e], 0, sizeof(ps.opdIndex[e]));
    }
  }
  ps.fresh = 1;
  ps.started = 1;
}

}  // namespace

// Integer means truncate toward zero (the integer division of ISO/IEC
// 14496-3), also for negative IID indices.
void PsMapIndices34To20(const int16_t* a, int16_t* b, int32_t count) {
  int16_t t[20];
  t[0] = static_cast<int16_t>((2 * a[0] + a[1]) / 3);
  t[1] = static_cast<int16_t>((a[1] + 2 * a[2]) / 3);
  t[2] = static_cast<int16_t>((2 * a[3] + a[4]) / 3);
  t[3] = static_cast<int16_t>((a[4] + 2 * a[5]) / 3);
  t[4] = static_cast<int16_t>((a[6] + a[7]) / 2);
  t[5] = static_cast<int16_t>((a[8] + a[9]) / 2);
  t[6] = a[10];
  t[7] = a[11];
  t[8] = static_cast<int16_t>((a[12] + a[13]) / 2);
  t[9] = static_cast<int16_t>((a[14] + a[15]) / 2);
  t[10] = a[16];
  if (count > 11) {
    t[11] = a[17];
    t[12] = a[18];
    t[13] = a[19];
    t[14] = static_cast<int16_t>((a[20] + a[21]) / 2);
    t[15] = static_cast<int16_t>((a[22] + a[23]) / 2);
    t[16] = static_cast<int16_t>((a[24] + a[25]) / 2);
    t[17] = static_cast<int16_t>((a[26] + a[27]) / 2);
    t[18] = static_cast<int16_t>((a[28] + a[29] + a[30] + a[31]) / 4);
    t[19] = static_cast<int16_t>((a[32] + a[33]) / 2);
  }
  std::memcpy(b, t, sizeof(int16_t) * static_cast<size_t>(count > 11 ? 20 : 11));
}

void PsMapIndices20To34(const int16_t* a, int16_t* b, int32_t count) {
  // Source band of every result; a pair means the (arithmetic) mean of two.
  static constexpr int8_t kFirst[34] = {0,  0,  1,  2,  2,  3,  4,  4,  5,  5,  6,  7,
                                        8,  8,  9,  9,  10, 11, 12, 13, 14, 14, 15, 15,
                                        16, 16, 17, 17, 18, 18, 18, 18, 19, 19};
  static constexpr int8_t kSecond[34] = {0,  1,  1,  2,  3,  3,  4,  4,  5,  5,  6,  7,
                                         8,  8,  9,  9,  10, 11, 12, 13, 14, 14, 15, 15,
                                         16, 16, 17, 17, 18, 18, 18, 18, 19, 19};
  int16_t t[34];
  const int32_t n = count > 17 ? 34 : 17;
  for (int32_t i = 0; i < n; ++i) t[i] = static_cast<int16_t>((a[kFirst[i]] + a[kSecond[i]]) / 2);
  std::memcpy(b, t, sizeof(int16_t) * static_cast<size_t>(n));
}

int32_t PsParse(PSDecState& ps, BitReader& reader, int32_t budget_bits) {
  // The frame is read through a copy of the reader that ends with the
  // budget's last byte (bits beyond it read as zero), so nothing after the
  // budget is ever read; the caller's reader moves only on success.
  BitReader r = reader;
  const int64_t start = UMC::BitReaderBitsConsumed(r);
  const int64_t end_byte = (start + (budget_bits > 0 ? budget_bits : 0) + 7) >> 3;
  if (end_byte < r.size) r.size = static_cast<int32_t>(end_byte);
  const PsHuffman& h = ps.huffman;
  Header hd{0, ps.enable_iid, ps.iid_mode, ps.enable_icc, ps.icc_mode, ps.enable_ext};
  hd.present = Read(r, 1);
  if (hd.present) {
    hd.enable_iid = Read(r, 1);
    if (hd.enable_iid) hd.iid_mode = Read(r, 3);
    hd.enable_icc = Read(r, 1);
    if (hd.enable_icc) hd.icc_mode = Read(r, 3);
    hd.enable_ext = Read(r, 1);
    if (hd.iid_mode > 5 || hd.icc_mode > 5) {
      ps.enable_ps_header = 1;
      ps.enable_iid = ps.iid_mode = ps.enable_icc = ps.icc_mode = ps.enable_ext = 0;
      ps.numBandsLayout = kPsLayout20;
      return kPsError;
    }
  }
  Coded c;
  std::memset(&c, 0, sizeof(c));
  c.frame_class = Read(r, 1);
  c.num_env = kNumEnvTab[c.frame_class][Read(r, 2)];
  const int32_t slots = ps.num_slots;
  if (c.frame_class) {
    // A border beyond the frame (possible over 30-slot frames) ends at it.
    for (int32_t e = 1; e <= c.num_env; ++e) {
      const int32_t b = Read(r, 5) + 1;
      c.border[e] = b < slots ? b : slots;
      if (c.border[e] < c.border[e - 1]) return kPsError;
    }
  } else {
    for (int32_t e = 1; e <= c.num_env; ++e) c.border[e] = slots * e / c.num_env;
  }
  bool bad = false;
  const int fine = hd.iid_mode >= 3 ? kPsHuffIidFineFreq : kPsHuffIidFreq;
  if (hd.enable_iid) {
    ReadSet<kPsMaxBands>(r, h, c.num_env, fine, kParBands[hd.iid_mode], c.iid_dt, c.iid, &bad);
  }
  if (hd.enable_icc) {
    ReadSet<kPsMaxBands>(r, h, c.num_env, kPsHuffIccFreq, kParBands[hd.icc_mode], c.icc_dt, c.icc,
                         &bad);
  }
  if (hd.enable_ext && !ReadExtension(r, h, hd, c, &bad)) return kPsError;
  const int64_t used = UMC::BitReaderBitsConsumed(r) - start;
  if (bad || UMC::BitReaderOverrun(r) || used > budget_bits) return kPsError;

  ps.enable_ps_header = hd.present;
  ps.enable_iid = hd.enable_iid;
  ps.iid_mode = hd.iid_mode;
  ps.enable_icc = hd.enable_icc;
  ps.icc_mode = hd.icc_mode;
  ps.enable_ext = hd.enable_ext;
  Commit(ps, c);
  reader.pos = r.pos;
  return 0;
}

int32_t PsParseExtension(PSDecState* ps, BitReader& r, int32_t budget_bits) {
  if (!ps) return kPsError;
  const int64_t start = UMC::BitReaderBitsConsumed(r);
  if (PsParse(*ps, r, budget_bits) != 0) return kPsError;
  return static_cast<int32_t>(UMC::BitReaderBitsConsumed(r) - start);
}

int32_t PsHuffmanInit(PsHuffman& h) {
  static constexpr int32_t kWidths[3] = {8, 6, 6};
  uint8_t* memory = dspAlignPtr<uint8_t>(h.memory, 32);
  const uint8_t* end = h.memory + sizeof(h.memory);
  for (int i = 0; i < 10; ++i) {
    const PsHuffmanList& l = kPsHuffmanLists[i];
    int32_t n = 0;
    DspVlcDecodeSpec_32s* spec = nullptr;
    if (dspVlcDecodeGetSize_32s(l.codes, l.count, kWidths, 3, &n) != dspStsNoErr ||
        n > end - memory ||
        dspVlcDecodeInit_32s(l.codes, l.count, kWidths, 3, memory, &spec) != dspStsNoErr) {
      return kPsError;
    }
    h.table[i] = spec;
    memory += (n + 31) & ~31;
  }
  return 0;
}

int32_t PsInit(PSDecState& ps) {
  if (PsHuffmanInit(ps.huffman) != 0) return kPsError;
  PsReset(ps);
  return 0;
}
