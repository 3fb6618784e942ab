// SBR payloads in fill elements (ISO/IEC 14496-3, 4.4.2.8 / 4.5.2.8): grids,
// delta-coding directions, inverse filtering, envelopes, noise floors,
// sinusoids, extended data (parametric stereo), and delta decoding.
#include <cstdint>
#include <cstring>

#include "sbr/sbr_decoder.h"
#include "sbr/sbr_huffman_tables.h"

namespace {

using UMC::BitReader;

int32_t Rd(BitReader& r, int n) {
  return static_cast<int32_t>(UMC::BitReaderRead(r, n));
}

// One Huffman-coded value (table index minus lav).
int32_t Huff(BitReader& r, const SbrHuffman& h, int table) {
  if (UMC::BitReaderOverrun(r)) return 0;
  const uint8_t* p = r.data + (r.pos >> 3);
  int32_t off = static_cast<int32_t>(r.pos & 7);
  int16_t v = 0;
  if (dspVlcDecodeOne_16s(&p, &off, &v, h.table[table]) != dspStsNoErr) {
    UMC::BitReaderSetPosition(r, int64_t{r.size} * 8 + 1);  // mark the overrun
    return 0;
  }
  UMC::BitReaderSetPosition(r, (p - r.data) * 8 + off);
  return v - h.lav[table];
}

constexpr int32_t kPointerBits[6] = {0, 1, 2, 2, 3, 3};

// `slots` is numTimeSlots: 16, or 15 over a 960-sample core frame.
int ReadGrid(SbrChannel& c, BitReader& r, int32_t slots) {
  c.bs_frame_class = Rd(r, 2);
  int32_t rel0[4] = {}, rel1[4] = {};
  int32_t n0 = 0, n1 = 0, b0 = 0, b1 = 0;
  switch (c.bs_frame_class) {
    case FIXFIX: {
      const int32_t e = Rd(r, 2);
      if (e == 3) return -1;  // eight envelopes do not exist
      c.L_E = 1 << e;
      const int32_t res = Rd(r, 1);
      // Equal envelopes of NINT(numTimeSlots / L_E) slots; the last one
      // ends at numTimeSlots (shorter with 15 slots).
      const int32_t step = (slots + c.L_E / 2) / c.L_E;
      for (int32_t l = 0; l < c.L_E; ++l) {
        c.freqRes[l] = res;
        c.t_E[l] = l * step;
      }
      c.t_E[c.L_E] = slots;
      c.bs_pointer = 0;
      break;
    }
    case FIXVAR:
      b1 = Rd(r, 2);
      n1 = Rd(r, 2);
      c.L_E = n1 + 1;
      for (int32_t i = 0; i < n1; ++i) rel1[i] = 2 * Rd(r, 2) + 2;
      c.bs_pointer = Rd(r, kPointerBits[c.L_E]);
      for (int32_t l = c.L_E - 1; l >= 0; --l) c.freqRes[l] = Rd(r, 1);
      c.t_E[0] = 0;
      c.t_E[c.L_E] = slots + b1;
      for (int32_t l = 1; l <= n1; ++l) c.t_E[c.L_E - l] = c.t_E[c.L_E - l + 1] - rel1[l - 1];
      break;
    case VARFIX:
      b0 = Rd(r, 2);
      n0 = Rd(r, 2);
      c.L_E = n0 + 1;
      for (int32_t i = 0; i < n0; ++i) rel0[i] = 2 * Rd(r, 2) + 2;
      c.bs_pointer = Rd(r, kPointerBits[c.L_E]);
      for (int32_t l = 0; l < c.L_E; ++l) c.freqRes[l] = Rd(r, 1);
      c.t_E[0] = b0;
      c.t_E[c.L_E] = slots;
      for (int32_t l = 1; l <= n0; ++l) c.t_E[l] = c.t_E[l - 1] + rel0[l - 1];
      break;
    default:  // VARVAR
      b0 = Rd(r, 2);
      b1 = Rd(r, 2);
      n0 = Rd(r, 2);
      n1 = Rd(r, 2);
      c.L_E = n0 + n1 + 1;
      if (c.L_E > kSbrMaxEnvelopes) return -1;
      for (int32_t i = 0; i < n0; ++i) rel0[i] = 2 * Rd(r, 2) + 2;
      for (int32_t i = 0; i < n1; ++i) rel1[i] = 2 * Rd(r, 2) + 2;
      c.bs_pointer = Rd(r, kPointerBits[c.L_E]);
      for (int32_t l = 0; l < c.L_E; ++l) c.freqRes[l] = Rd(r, 1);
      c.t_E[0] = b0;
      c.t_E[c.L_E] = slots + b1;
      for (int32_t l = 1; l <= n0; ++l) c.t_E[l] = c.t_E[l - 1] + rel0[l - 1];
      for (int32_t l = 1; l <= n1; ++l) c.t_E[c.L_E - l] = c.t_E[c.L_E - l + 1] - rel1[l - 1];
      break;
  }
  // Borders must stay in 0..numTimeSlots + 3 and must not decrease; the
  // pointer must name an envelope border.
  for (int32_t l = 0; l <= c.L_E; ++l) {
    if (c.t_E[l] < 0 || c.t_E[l] > slots + 3 || (l > 0 && c.t_E[l] < c.t_E[l - 1])) return -1;
  }
  if (c.bs_pointer > c.L_E + 1) return -1;
  c.L_Q = c.L_E < 2 ? 1 : 2;
  c.t_Q[0] = c.t_E[0];
  c.t_Q[c.L_Q] = c.t_E[c.L_E];
  if (c.L_Q == 2) {
    int32_t m;
    const int32_t p = c.bs_pointer;
    if (c.bs_frame_class == FIXFIX) {
      m = c.L_E / 2;
    } else if (c.bs_frame_class == VARFIX) {
      m = p == 0 ? 1 : (p == 1 ? c.L_E - 1 : p - 1);
    } else {
      m = p <= 1 ? c.L_E - 1 : c.L_E + 1 - p;
    }
    if (m < 1 || m >= c.L_E) return -1;
    c.t_Q[1] = c.t_E[m];
  }
  return 0;
}

void CopyGrid(const SbrChannel& from, SbrChannel& to) {
  to.bs_frame_class = from.bs_frame_class;
  to.bs_pointer = from.bs_pointer;
  to.L_E = from.L_E;
  to.L_Q = from.L_Q;
  std::memcpy(to.t_E, from.t_E, sizeof(to.t_E));
  std::memcpy(to.freqRes, from.freqRes, sizeof(to.freqRes));
  std::memcpy(to.t_Q, from.t_Q, sizeof(to.t_Q));
}

void ReadDirections(SbrChannel& c, BitReader& r) {
  for (int32_t l = 0; l < c.L_E; ++l) c.bs_df_env[l] = Rd(r, 1);
  for (int32_t l = 0; l < c.L_Q; ++l) c.bs_df_noise[l] = Rd(r, 1);
}

void ReadInvf(const SBRDecState& s, SbrChannel& c, BitReader& r) {
  for (int32_t i = 0; i < s.N_Q; ++i) c.bs_invf_mode[i] = Rd(r, 2);
}

void ReadEnvelope(const SBRDecState& s, SbrChannel& c, BitReader& r, const SbrHuffman& h,
                  bool balance) {
  const int32_t amp = c.bs_amp_res;
  int time_table, freq_table, start_bits;
  if (balance) {
    time_table = amp ? kSbrHuffBal30Time : kSbrHuffBal15Time;
    freq_table = amp ? kSbrHuffBal30Freq : kSbrHuffBal15Freq;
    start_bits = amp ? 5 : 6;
  } else {
    time_table = amp ? kSbrHuffEnv30Time : kSbrHuffEnv15Time;
    freq_table = amp ? kSbrHuffEnv30Freq : kSbrHuffEnv15Freq;
    start_bits = amp ? 6 : 7;
  }
  for (int32_t l = 0; l < c.L_E; ++l) {
    const int32_t n = c.freqRes[l] ? s.N_high : s.N_low;
    int16_t* v = c.envValues[l];
    if (c.bs_df_env[l] == 0) {
      v[0] = static_cast<int16_t>(Rd(r, start_bits));
      for (int32_t k = 1; k < n; ++k) v[k] = static_cast<int16_t>(Huff(r, h, freq_table));
    } else {
      for (int32_t k = 0; k < n; ++k) v[k] = static_cast<int16_t>(Huff(r, h, time_table));
    }
  }
}

void ReadNoise(const SBRDecState& s, SbrChannel& c, BitReader& r, const SbrHuffman& h,
               bool balance) {
  for (int32_t l = 0; l < c.L_Q; ++l) {
    int16_t* v = c.noiseValues[l];
    if (c.bs_df_noise[l] == 0) {
      v[0] = static_cast<int16_t>(Rd(r, 5));
      for (int32_t k = 1; k < s.N_Q; ++k)
        v[k] = static_cast<int16_t>(Huff(r, h, balance ? kSbrHuffBal30Freq : kSbrHuffEnv30Freq));
    } else {
      for (int32_t k = 0; k < s.N_Q; ++k)
        v[k] = static_cast<int16_t>(
            Huff(r, h, balance ? kSbrHuffNoiseBal30Time : kSbrHuffNoise30Time));
    }
  }
}

void ReadHarmonics(const SBRDecState& s, SbrChannel& c, BitReader& r) {
  c.bs_add_harmonic_flag = Rd(r, 1);
  for (int32_t i = 0; i < 64; ++i) c.bs_add_harmonic[i] = 0;
  if (c.bs_add_harmonic_flag) {
    for (int32_t i = 0; i < s.N_high; ++i) c.bs_add_harmonic[i] = Rd(r, 1);
  }
}

// sbr_extension() data: parametric stereo is handed to its parser (-7 when
// it fails); any other extension id ends the data.
int ReadExtendedData(SBRDecState& s, BitReader& r, SbrPsParser ps_parser) {
  if (!Rd(r, 1)) return 0;
  int32_t size = Rd(r, 4);
  if (size == 15) size += Rd(r, 8);
  int64_t budget = int64_t{size} * 8;
  const int64_t end = UMC::BitReaderBitsConsumed(r) + budget;
  while (budget > 7) {
    const int32_t id = Rd(r, 2);
    budget -= 2;
    if (id == 2) s.psSeen = 1;
    // Any other extension (or parametric stereo without its parser) takes
    // the rest of the data as fill bits; only after ps_data() may another
    // extension id follow.
    if (id != 2 || !s.ps || !ps_parser) break;
    const int32_t used = ps_parser(s.ps, r, static_cast<int32_t>(budget));
    if (used < 0 || used > budget) return -7;
    budget -= used;
  }
  UMC::BitReaderSetPosition(r, end);
  return 0;
}

// Reference value of band k of the current envelope from the previous one.
int32_t Reference(const SBRDecState& s, const int16_t* prev, int32_t prev_res, int32_t res,
                  int32_t k) {
  if (prev_res == res) return prev[k];
  if (res == 0) {  // current low, previous high: the high band starting at f_low[k]
    for (int32_t i = 0; i <= s.N_high; ++i) {
      if (s.f_high[i] == s.f_low[k]) return prev[i < 64 ? i : 63];
    }
    return 0;
  }
  for (int32_t j = 0; j < s.N_low; ++j) {  // current high, previous low
    if (s.f_low[j] <= s.f_high[k] && s.f_high[k] < s.f_low[j + 1]) return prev[j];
  }
  return 0;
}

int DeltaDecode(const SBRDecState& s, SbrChannel& c, int32_t d) {
  if (c.L_E > kSbrMaxEnvelopes) return -1;
  int32_t prev_res = c.freqResPrev[kSbrMaxEnvelopes];  // last envelope of the previous frame
  const int16_t* prev = c.envPrev;
  for (int32_t l = 0; l < c.L_E; ++l) {
    const int32_t res = c.freqRes[l];
    const int32_t n = res ? s.N_high : s.N_low;
    int16_t* v = c.envValues[l];
    if (c.bs_df_env[l] == 0) {
      v[0] = static_cast<int16_t>(d * v[0]);
      for (int32_t k = 1; k < n; ++k) v[k] = static_cast<int16_t>(v[k - 1] + d * v[k]);
    } else {
      for (int32_t k = 0; k < n; ++k)
        v[k] = static_cast<int16_t>(Reference(s, prev, prev_res, res, k) + d * v[k]);
    }
    prev = v;
    prev_res = res;
  }
  const int16_t* nprev = c.noisePrev;
  for (int32_t l = 0; l < c.L_Q; ++l) {
    int16_t* v = c.noiseValues[l];
    if (c.bs_df_noise[l] == 0) {
      v[0] = static_cast<int16_t>(d * v[0]);
      for (int32_t k = 1; k < s.N_Q; ++k) v[k] = static_cast<int16_t>(v[k - 1] + d * v[k]);
    } else {
      for (int32_t k = 0; k < s.N_Q; ++k) v[k] = static_cast<int16_t>(nprev[k] + d * v[k]);
    }
    nprev = v;
  }
  const int32_t last = c.L_E - 1;
  std::memcpy(c.envPrev, c.envValues[last], sizeof(c.envPrev));
  std::memcpy(c.noisePrev, c.noiseValues[c.L_Q - 1], sizeof(c.noisePrev));
  for (int32_t l = 0; l < c.L_E; ++l) c.freqResPrev[l] = c.freqRes[l];
  c.freqResPrev[kSbrMaxEnvelopes] = c.freqRes[last];
  return 0;
}

// The 1.5 dB tables are forced for a FIXFIX frame with one envelope.
int32_t AmpRes(const SBRDecState& s, const SbrChannel& c) {
  return (c.bs_frame_class == FIXFIX && c.L_E == 1) ? 0 : s.bs_amp_res;
}

int SingleChannel(SBRDecState& s, BitReader& r, const SbrHuffman& h, SbrPsParser ps_parser) {
  SbrChannel& c = s.ch[0];
  if (Rd(r, 1)) Rd(r, 4);
  if (ReadGrid(c, r, s.numTimeSlots) != 0) return kSbrError;
  ReadDirections(c, r);
  ReadInvf(s, c, r);
  c.bs_amp_res = AmpRes(s, c);
  ReadEnvelope(s, c, r, h, false);
  ReadNoise(s, c, r, h, false);
  ReadHarmonics(s, c, r);
  const int ps = ReadExtendedData(s, r, ps_parser);
  if (UMC::BitReaderOverrun(r) || DeltaDecode(s, c, 1) != 0) return kSbrError;
  return ps;
}

int ChannelPair(SBRDecState& s, BitReader& r, const SbrHuffman& h) {
  SbrChannel& a = s.ch[0];
  SbrChannel& b = s.ch[1];
  if (Rd(r, 1)) Rd(r, 8);
  s.bs_coupling = Rd(r, 1);
  if (s.bs_coupling) {
    if (ReadGrid(a, r, s.numTimeSlots) != 0) return kSbrError;
    CopyGrid(a, b);
    ReadDirections(a, r);
    ReadDirections(b, r);
    ReadInvf(s, a, r);
    std::memcpy(b.bs_invf_mode, a.bs_invf_mode, sizeof(b.bs_invf_mode));
    a.bs_amp_res = b.bs_amp_res = AmpRes(s, a);
    ReadEnvelope(s, a, r, h, false);
    ReadNoise(s, a, r, h, false);
    ReadEnvelope(s, b, r, h, true);
    ReadNoise(s, b, r, h, true);
  } else {
    if (ReadGrid(a, r, s.numTimeSlots) != 0 || ReadGrid(b, r, s.numTimeSlots) != 0) {
      return kSbrError;
    }
    ReadDirections(a, r);
    ReadDirections(b, r);
    ReadInvf(s, a, r);
    ReadInvf(s, b, r);
    a.bs_amp_res = AmpRes(s, a);
    b.bs_amp_res = AmpRes(s, b);
    ReadEnvelope(s, a, r, h, false);
    ReadEnvelope(s, b, r, h, false);
    ReadNoise(s, a, r, h, false);
    ReadNoise(s, b, r, h, false);
  }
  ReadHarmonics(s, a, r);
  ReadHarmonics(s, b, r);
  const int ps = ReadExtendedData(s, r, nullptr);
  if (UMC::BitReaderOverrun(r) || DeltaDecode(s, a, 1) != 0 ||
      DeltaDecode(s, b, s.bs_coupling ? 2 : 1) != 0) {
    return kSbrError;
  }
  return ps;
}

int32_t ExtensionData(SBRDecState& s, BitReader& r, bool crc, const SbrHuffman& h,
                      SbrPsParser ps_parser) {
  if (crc) Rd(r, 10);
  bool limiter_changed = false;
  if (Rd(r, 1)) {
    const int32_t limiter_bands = s.bs_limiter_bands;
    if (s.headerCount < INT32_MAX) ++s.headerCount;
    SbrReadHeader(s, r);
    limiter_changed = s.bs_limiter_bands != limiter_bands;
    // The first header always derives the tables: the field values a slot
    // starts with are no tables, even when the header repeats them (a
    // header with bs_start_freq 5 and bs_stop_freq 0 and the default
    // extra fields would otherwise leave the slot without SBR bands).
    if (s.headerCount == 1) s.reset = 1;
    if (s.errorState == kSbrError) {
      s.reset = 1;
      s.errorState = 0;
    }
  }
  if (s.headerCount == 0) return 0;
  if (s.reset && s.errorState == 0 && SbrDeriveTables(s) != 0) return kSbrError;
  // A new bs_limiter_bands takes effect without a reset: the limiter bands
  // follow from the tables in force.
  if (!s.reset && limiter_changed && s.errorState == 0) SbrLimiterTable(s);
  if (s.errorState != 0) return 0;
  if (s.elementType == 0) return SingleChannel(s, r, h, ps_parser) == kSbrError ? kSbrError : 0;
  if (s.elementType == 1) return ChannelPair(s, r, h) == kSbrError ? kSbrError : 0;
  return 0;
}

}  // namespace

int SbrHuffmanGetSize(int32_t* size) {
  static constexpr int32_t kWidths[4] = {8, 8, 8, 8};
  int32_t total = 0;
  for (const SbrHuffmanList& l : kSbrHuffmanLists) {
    int32_t n = 0;
    if (dspVlcDecodeGetSize_32s(l.codes, l.count, kWidths, 4, &n) != dspStsNoErr) return -1;
    total += (n + 63) & ~31;
  }
  *size = total;
  return 0;
}

int SbrHuffmanInit(SbrHuffman* h, uint8_t* memory) {
  static constexpr int32_t kWidths[4] = {8, 8, 8, 8};
  for (int i = 0; i < 10; ++i) {
    const SbrHuffmanList& l = kSbrHuffmanLists[i];
    int32_t n = 0;
    DspVlcDecodeSpec_32s* spec = nullptr;
    if (dspVlcDecodeGetSize_32s(l.codes, l.count, kWidths, 4, &n) != dspStsNoErr ||
        dspVlcDecodeInit_32s(l.codes, l.count, kWidths, 4, memory, &spec) != dspStsNoErr) {
      return -1;
    }
    h->table[i] = spec;
    h->lav[i] = l.lav;
    memory += (n + 63) & ~31;
  }
  return 0;
}

int32_t SbrExtensionPayload(BitReader& r, int32_t count, SBRDecState* slots, int32_t* payloads,
                            int32_t extension_mode, const SbrHuffman& huff, SbrPsParser ps_parser) {
  const int64_t end = UMC::BitReaderBitsConsumed(r) + int64_t{count} * 8;
  const int32_t type = extension_mode == 777 ? Rd(r, 4) : -1;
  if (type == 13 || type == 14) {
    if (*payloads >= kSbrSlots) return kSbrError;
    SBRDecState& s = slots[(*payloads)++];
    if (ExtensionData(s, r, type == 14, huff, ps_parser) != 0) {
      s.errorState = kSbrError;
      UMC::BitReaderSetPosition(r, end);
      return kSbrError;
    }
  }
  UMC::BitReaderSetPosition(r, end);
  return count;
}
