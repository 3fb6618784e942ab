// Hand-built SBR payloads for the payload and process tests: headers, grids,
// Huffman-coded levels written with the decoder's own code lists, and the
// decoder side (Huffman tables, ten slots, QMF tables) that the frame
// decoder would keep.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "dsp/dsp_core.h"
#include "sbr/sbr_decoder.h"
#include "sbr/sbr_huffman_tables.h"
#include "tests/aac/frame_builder.h"

namespace sbr_test {

using ics_test::BitWriter;

// One Huffman-coded delta.
inline void PutHuff(BitWriter& w, int table, int delta) {
  const SbrHuffmanList& l = kSbrHuffmanLists[table];
  for (int32_t i = 0; i < l.count; ++i) {
    if (l.codes[i].value == delta + l.lav) {
      w.Put(static_cast<uint32_t>(l.codes[i].code), l.codes[i].length);
      return;
    }
  }
  ADD_FAILURE() << "no code for " << delta << " in table " << table;
}

struct Header {
  int amp_res = 1;
  int start = 5;
  int stop = 7;
  int xover = 0;
  int freq_scale = 2;
  int alter_scale = 1;
  int noise_bands = 2;
  int limiter_bands = 2;
  int limiter_gains = 2;
  int interpol = 1;
  int smoothing = 1;
};

// sbr_header() with both optional parts.
inline void PutHeader(BitWriter& w, const Header& h) {
  w.Put(h.amp_res, 1).Put(h.start, 4).Put(h.stop, 4).Put(h.xover, 3).Put(0, 2);
  w.Put(1, 1).Put(1, 1);
  w.Put(h.freq_scale, 2).Put(h.alter_scale, 1).Put(h.noise_bands, 2);
  w.Put(h.limiter_bands, 2).Put(h.limiter_gains, 2).Put(h.interpol, 1).Put(h.smoothing, 1);
}

// Start of an SBR extension payload: type EXT_SBR_DATA, then the header
// flag and (when `h` is given) the header.
inline BitWriter Begin(const Header* h) {
  BitWriter w;
  w.Put(13, 4).Put(h ? 1 : 0, 1);
  if (h) PutHeader(w, *h);
  return w;
}

// The band tables a header gives at SBR rate index `rate` (N_high, N_low, N_Q).
inline std::unique_ptr<SBRDecState> Tables(const Header& h, int32_t rate = 4) {
  auto s = std::make_unique<SBRDecState>();
  SbrInitSlot(*s);
  s->sbrRateIndex = rate;
  s->bs_start_freq = h.start;
  s->bs_stop_freq = h.stop;
  s->bs_xover_band = h.xover;
  s->bs_freq_scale = h.freq_scale;
  s->bs_alter_scale = h.alter_scale;
  s->bs_noise_bands = h.noise_bands;
  EXPECT_EQ(SbrDeriveTables(*s), 0);
  return s;
}

// A time/frequency grid as coded.  `res` holds one frequency resolution per
// envelope in time order (FIXFIX: 2^fixfix_log2 envelopes, all res[0]).
struct Grid {
  int frame_class = FIXFIX;
  int fixfix_log2 = 0;
  int var_bord_0 = 0, var_bord_1 = 0;
  std::vector<int> rel_0, rel_1;  // slot pairs: 2, 4, 6 or 8
  int pointer = 0;
  std::vector<int> res = {1};
  int Envelopes() const {
    return frame_class == FIXFIX ? 1 << fixfix_log2 : static_cast<int>(res.size());
  }
  int Resolution(int l) const { return frame_class == FIXFIX ? res[0] : res[l]; }
};

inline void PutGrid(BitWriter& w, const Grid& g) {
  const int n = g.Envelopes();
  int pointer_bits = 0;
  while ((1 << pointer_bits) < n + 1) ++pointer_bits;
  w.Put(g.frame_class, 2);
  auto rel = [&](const std::vector<int>& v) {
    for (int r : v) w.Put((r - 2) / 2, 2);
  };
  switch (g.frame_class) {
    case FIXFIX:
      w.Put(g.fixfix_log2, 2).Put(g.res[0], 1);
      return;
    case FIXVAR:
      w.Put(g.var_bord_1, 2).Put(static_cast<uint32_t>(g.rel_1.size()), 2);
      rel(g.rel_1);
      w.Put(g.pointer, pointer_bits);
      for (int l = n - 1; l >= 0; --l) w.Put(g.res[l], 1);
      return;
    case VARFIX:
      w.Put(g.var_bord_0, 2).Put(static_cast<uint32_t>(g.rel_0.size()), 2);
      rel(g.rel_0);
      w.Put(g.pointer, pointer_bits);
      for (int l = 0; l < n; ++l) w.Put(g.res[l], 1);
      return;
    default:
      w.Put(g.var_bord_0, 2).Put(g.var_bord_1, 2);
      w.Put(static_cast<uint32_t>(g.rel_0.size()), 2).Put(static_cast<uint32_t>(g.rel_1.size()), 2);
      rel(g.rel_0);
      rel(g.rel_1);
      w.Put(g.pointer, pointer_bits);
      for (int l = 0; l < n; ++l) w.Put(g.res[l], 1);
      return;
  }
}

// Frequency-direction levels: the first value in `start_bits` bits, then
// the differences to the next values.
inline void PutFreqLevels(BitWriter& w, const std::vector<int>& v, int start_bits, int table) {
  w.Put(static_cast<uint32_t>(v[0]), start_bits);
  for (size_t k = 1; k < v.size(); ++k) PutHuff(w, table, v[k] - v[k - 1]);
}

inline void PutTimeLevels(BitWriter& w, const std::vector<int>& deltas, int table) {
  for (int d : deltas) PutHuff(w, table, d);
}

// sbr_single_channel_element() data after the grid's choice: every envelope
// and noise floor coded in frequency direction with constant levels `env`
// (in the frame's amplitude resolution) and `noise`, inverse filtering
// `invf`, no sinusoids, no extended data.  `amp_res` is the header's.
inline void PutSce(BitWriter& w, const SBRDecState& t, const Grid& g, int env, int noise,
                   int amp_res = 1, int invf = 0) {
  const int n_env = g.Envelopes(), n_noise = n_env > 1 ? 2 : 1;
  const bool fine = (g.frame_class == FIXFIX && n_env == 1) || amp_res == 0;
  w.Put(0, 1);  // bs_data_extra
  PutGrid(w, g);
  for (int l = 0; l < n_env + n_noise; ++l) w.Put(0, 1);  // frequency direction
  for (int i = 0; i < t.N_Q; ++i) w.Put(invf, 2);
  for (int l = 0; l < n_env; ++l) {
    const int n = g.Resolution(l) ? t.N_high : t.N_low;
    PutFreqLevels(w, std::vector<int>(n, env), fine ? 7 : 6,
                  fine ? kSbrHuffEnv15Freq : kSbrHuffEnv30Freq);
  }
  for (int l = 0; l < n_noise; ++l)
    PutFreqLevels(w, std::vector<int>(t.N_Q, noise), 5, kSbrHuffEnv30Freq);
  w.Put(0, 1).Put(0, 1);  // no sinusoids, no extended data
}

// sbr_channel_pair_element() without coupling: both channels with grid `g`
// and constant levels as in PutSce.
inline void PutCpe(BitWriter& w, const SBRDecState& t, const Grid& g, int env, int noise,
                   int amp_res = 1) {
  const int n_env = g.Envelopes(), n_noise = n_env > 1 ? 2 : 1;
  const bool fine = (g.frame_class == FIXFIX && n_env == 1) || amp_res == 0;
  w.Put(0, 1).Put(0, 1);  // bs_data_extra, bs_coupling
  PutGrid(w, g);
  PutGrid(w, g);
  for (int l = 0; l < 2 * (n_env + n_noise); ++l) w.Put(0, 1);
  for (int i = 0; i < 2 * t.N_Q; ++i) w.Put(0, 2);
  for (int ch = 0; ch < 2; ++ch) {
    for (int l = 0; l < n_env; ++l) {
      const int n = g.Resolution(l) ? t.N_high : t.N_low;
      PutFreqLevels(w, std::vector<int>(n, env), fine ? 7 : 6,
                    fine ? kSbrHuffEnv15Freq : kSbrHuffEnv30Freq);
    }
  }
  for (int l = 0; l < 2 * n_noise; ++l)
    PutFreqLevels(w, std::vector<int>(t.N_Q, noise), 5, kSbrHuffEnv30Freq);
  w.Put(0, 3);  // no sinusoids, no extended data
}

// A fill element carrying the payload `p` (whole bytes).
inline void PutFill(BitWriter& w, const BitWriter& p) {
  const int count = static_cast<int>(p.bytes().size());
  w.Put(ID_FIL, 3);
  if (count < 15) {
    w.Put(static_cast<uint32_t>(count), 4);
  } else {
    w.Put(15, 4).Put(static_cast<uint32_t>(count - 14), 8);
  }
  for (uint8_t b : p.bytes()) w.Put(b, 8);
}

// The decoder's side of the payloads.
class Decoder {
 public:
  explicit Decoder(int32_t rate = 4) {
    dspStaticInit();
    int32_t size = 0;
    EXPECT_EQ(SbrHuffmanGetSize(&size), 0);
    memory_.resize(static_cast<size_t>(size) + 64);
    EXPECT_EQ(SbrHuffmanInit(&huff_, dspAlignPtr<uint8_t>(memory_.data(), 32)), 0);
    for (int i = 0; i < kSbrSlots; ++i) {
      SbrInitSlot(slots_[i]);
      slots_[i].sbrRateIndex = rate;
    }
    SbrQmfTablesInit(tables_);
  }
  SBRDecState& slot(int i) { return slots_[i]; }

  // One fill-element payload into slot `i`: SbrExtensionPayload's result.
  // Whatever the result, the reader must end at the payload's end.
  int32_t Feed(int i, const BitWriter& w) {
    ics_test::PaddedStream stream(w);
    const int32_t count = static_cast<int32_t>(w.bytes().size());
    int32_t payloads = i;
    const int32_t rc =
        SbrExtensionPayload(stream.reader, count, slots_.get(), &payloads, 777, huff_, nullptr);
    EXPECT_EQ(UMC::BitReaderBitsConsumed(stream.reader), int64_t{8} * count);
    return rc;
  }
  // Expected result of a good payload.
  static int32_t Bytes(const BitWriter& w) { return static_cast<int32_t>(w.bytes().size()); }

  // The process of one channel on 1024 core samples; 2048 out.
  void Process(int i, int ch, std::vector<float>& time) {
    time.resize(2048);
    const SbrProcessOptions o{18, 0, &tables_, 0};
    SbrProcess(slots_[i], ch, time.data(), nullptr, o);
  }

 private:
  std::unique_ptr<SBRDecState[]> slots_{new SBRDecState[kSbrSlots]};
  std::vector<uint8_t> memory_;
  SbrHuffman huff_{};
  SbrQmfTables tables_{};
};

// Energy of x[0..n) in DFT bins lo..hi-1 of an n-point transform (Hann
// window, so that a loud band leaks little into distant bins).
inline double BinEnergy(const float* x, int n, int lo, int hi) {
  double e = 0.0;
  for (int k = lo; k < hi; ++k) {
    double c = 0.0, s = 0.0;
    for (int i = 0; i < n; ++i) {
      const double a = 2.0 * M_PI * static_cast<double>((int64_t{k} * i) % n) / n;
      const double v = x[i] * (0.5 - 0.5 * std::cos(2.0 * M_PI * i / n));
      c += v * std::cos(a);
      s += v * std::sin(a);
    }
    e += c * c + s * s;
  }
  return e;
}

// Access units through AACDecoder at a 22.05 kHz core (SBR at 44.1 kHz,
// rate index 4) with full-rate SBR output; one status and one block of
// interleaved PCM per unit.
struct Decoded {
  std::vector<std::vector<int16_t>> frames;
  std::vector<UMC::Status> status;
  int channels = 0;
  int rate = 0;
};

inline Decoded DecodeUnits(int configuration, const std::vector<BitWriter>& units) {
  ics_test::SharedBooks();
  uint8_t asc[2] = {static_cast<uint8_t>(ics_test::kObjectLc << 3 | 7 >> 1),
                    static_cast<uint8_t>((7 & 1) << 7 | configuration << 3)};
  UMC::MediaData config;
  config.SetBufferPointer(asc, 2);
  config.SetDataSize(2);
  UMC::AACDecoderParams params;
  params.in.stream_type = UMC::kStreamTypeMpeg4Config;
  params.data = &config;
  params.sbr_mode = 18;
  params.sbr_rate_mode = 0;
  UMC::AACDecoder dec;
  EXPECT_EQ(dec.Init(&params), UMC::StatusOk);
  Decoded d;
  std::vector<uint8_t> out_buf(1 << 17);
  for (const BitWriter& unit : units) {
    std::vector<uint8_t> au = unit.bytes();
    UMC::MediaData in, out;
    in.SetBufferPointer(au.data(), static_cast<uint32_t>(au.size()));
    in.SetDataSize(static_cast<uint32_t>(au.size()));
    out.SetBufferPointer(out_buf.data(), static_cast<uint32_t>(out_buf.size()));
    d.status.push_back(dec.GetFrame(&in, &out));
    const auto* p = reinterpret_cast<const int16_t*>(out_buf.data());
    d.frames.emplace_back(p, p + out.GetDataSize() / 2);
    UMC::AudioCodecParams info;
    dec.GetInfo(&info);
    d.channels = info.out.channels;
    d.rate = info.out.sample_frequency;
  }
  return d;
}

}  // namespace sbr_test
