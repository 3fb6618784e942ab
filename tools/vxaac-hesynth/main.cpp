// vxaac-hesynth: turns an AAC LC ADTS stream into a synthetic HE-AAC (or,
// with --ps, HE-AAC v2) stream for differential tests of the SBR and
// parametric stereo decoders.
//
// Every raw_data_block keeps its elements; after the last one and before
// ID_END the tool adds one fill element (EXT_SBR_DATA, no CRC) per SCE/CPE,
// in element order, carrying a random but valid sbr_extension_data()
// (ISO/IEC 14496-3, 4.4.2.8 and 4.6.18): an sbr_header() in the first frame
// and then at random, sometimes with other values (a reset); every frame
// class with 1..5 envelopes and every legal pointer, both amplitude
// resolutions, time- and frequency-direction delta coding, coupled pairs,
// inverse filtering modes, sinusoids, noise floors, unknown extensions and,
// for a mono stream with --ps, ps_data() in the extended data.
//
// What the payloads keep to, so that any two correct decoders must agree:
//  - the frequency band tables of every header obey the limits of 4.6.18.3
//    (k2 - k0 by rate, kx <= 32, kx + M <= 64, N_Q <= 5, at most 5 patches);
//  - the leading border of a frame is the trailing border of the frame
//    before (frame classes are chosen for that), borders strictly increase;
//  - time-direction coding never refers to values of another band layout
//    (after a reset), of another coupling mode or of another amplitude
//    resolution for balance values, and every decoded value stays within
//    the range of its quantiser; envelope levels are a random walk around a
//    middle level, so the output stays well below full scale.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "aac/aac_dec_state.h"
#include "aac/channel_stream.h"
#include "dsp/dsp_core.h"
#include "sbr/sbr_decoder.h"
#include "sbr/sbr_huffman_tables.h"
#include "tests/common/bit_writer.h"
#include "tools/vxaac-hesynth/ps_writer.h"

namespace {

using vxtest::BitWriter;

// ---- options ----------------------------------------------------------------

struct Options {
  uint32_t seed = 1;
  int frames = 0;  // 0: all
  bool ps = false;
  bool ps_ffmpeg = false;      // leave out the PS writer's features FFmpeg decodes otherwise
  int coupling = -1;           // -1 random per frame, 0 never, 1 always
  bool header_changes = true;  // later headers may carry other values
  bool fixed_header = false;   // one header (the default values below) throughout
  int level = 36;              // middle envelope level, 1.5 dB steps
  bool sinusoids = true;
  bool time_delta = true;
  bool extensions = true;                      // unknown sbr_extension() ids with fill bits
  bool smoothing_changes = false;              // bs_smoothing_mode changes without a reset
  bool dropped_patch_resets = false;           // resets into tables with a dropped last patch
  bool limiter_changes_smoothing = false;      // new bs_limiter_bands while smoothing, no reset
  bool dropped_patch_limiter_changes = false;  // new bs_limiter_bands, no reset, dropped last patch
  int start = -1, stop = -1, freq_scale = -1;  // force header fields
  bool initial_header = false;                 // first header repeats a new slot's fields
  bool six_patches = false;                    // table-changing headers give six patches
  int classes = 15;                            // bit c: frame class c allowed
  int max_env = 5;
  int invf = -1;   // -1 random
  int noise = -1;  // -1 random noise floor levels
  bool verbose = false;
};

void Usage(FILE* f) {
  std::fputs(
      "usage: vxaac-hesynth [options] IN.aac OUT.aac\n"
      "  IN: AAC LC ADTS (protection_absent=1, one raw_data_block per frame)\n"
      "  --seed N            random seed (1)\n"
      "  --frames N          write only the first N frames\n"
      "  --ps                parametric stereo data (mono input only)\n"
      "  --ps-ffmpeg         --ps without the PS features FFmpeg decodes otherwise\n"
      "  --coupling MODE     random|never|always (coupled stereo pairs)\n"
      "  --no-header-changes later headers repeat the first one\n"
      "  --fixed-header      default header values (start 5, stop 7, ...)\n"
      "  --start N / --stop N / --freq-scale N   force these header fields\n"
      "  --initial-header    the first header's table fields are those a decoder\n"
      "                      starts with (start 5, stop 0, crossover 0, scale 2,\n"
      "                      alter 1, noise 2); otherwise so in one stream of ten\n"
      "  --six-patches       headers that change the tables give six patches (SBR\n"
      "                      rates of 24 kHz and up); otherwise so in one stream of\n"
      "                      ten where the rate allows it\n"
      "  --level L           middle envelope level in 1.5 dB steps (36)\n"
      "  --classes DIGITS    frame classes to use (0123: FIXFIX FIXVAR VARFIX VARVAR)\n"
      "  --max-env N         at most N envelopes per frame (5)\n"
      "  --invf N            inverse filtering mode N in every band\n"
      "  --noise N           noise floor level N (0..30) in every band\n"
      "  --no-sinusoids      no bs_add_harmonic\n"
      "  --no-time-delta     frequency-direction coding only\n"
      "  --no-extensions     no unknown extended data\n"
      "  --smoothing-changes bs_smoothing_mode may change without a reset\n"
      "  --dropped-patch-resets  resets may lead to tables whose last patch is dropped\n"
      "  --limiter-changes-smoothing  bs_limiter_bands may change without a reset while\n"
      "                      smoothing is on\n"
      "  --dropped-patch-limiter-changes  bs_limiter_bands may change without a reset on\n"
      "                      tables whose last patch is dropped\n"
      "  -v                  one line per frame on stderr\n",
      f);
}

// ---- random helpers ---------------------------------------------------------

class Rng {
 public:
  explicit Rng(uint32_t seed) : g_(seed) {}
  int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(g_); }
  bool Chance(double p) { return std::uniform_real_distribution<double>(0.0, 1.0)(g_) < p; }
  std::mt19937& engine() { return g_; }

 private:
  std::mt19937 g_;
};

// ---- SBR payload ------------------------------------------------------------

int Lav(int table) {
  return kSbrHuffmanLists[table].lav;
}

bool PutHuff(BitWriter& w, int table, int delta) {
  const SbrHuffmanList& l = kSbrHuffmanLists[table];
  for (int32_t i = 0; i < l.count; ++i) {
    if (l.codes[i].value == delta + l.lav) {
      w.Put(static_cast<uint32_t>(l.codes[i].code), l.codes[i].length);
      return true;
    }
  }
  std::fprintf(stderr, "vxaac-hesynth: no code for %d in table %d\n", delta, table);
  std::exit(3);
}

struct Header {
  int amp_res = 1, start = 5, stop = 7, xover = 0;
  bool extra1 = true, extra2 = true;
  int freq_scale = 2, alter_scale = 1, noise_bands = 2;
  int limiter_bands = 2, limiter_gains = 2, interpol = 1, smoothing = 1;
  // The fields whose change resets the decoder (4.6.18.3.1).
  bool SameTables(const Header& o) const {
    return start == o.start && stop == o.stop && xover == o.xover && freq_scale == o.freq_scale &&
           alter_scale == o.alter_scale && noise_bands == o.noise_bands;
  }
};

void PutHeader(BitWriter& w, const Header& h) {
  w.Put(h.amp_res, 1).Put(h.start, 4).Put(h.stop, 4).Put(h.xover, 3).Put(0, 2);
  w.Put(h.extra1, 1).Put(h.extra2, 1);
  if (h.extra1) w.Put(h.freq_scale, 2).Put(h.alter_scale, 1).Put(h.noise_bands, 2);
  if (h.extra2) {
    w.Put(h.limiter_bands, 2).Put(h.limiter_gains, 2).Put(h.interpol, 1).Put(h.smoothing, 1);
  }
}

// Band tables of a header at SBR rate index `rate`; false when the header
// breaks a limit of 4.6.18.3.
bool Derive(const Header& h, int rate, SBRDecState* t) {
  SbrInitSlot(*t);
  t->sbrRateIndex = rate;
  t->bs_start_freq = h.start;
  t->bs_stop_freq = h.stop;
  t->bs_xover_band = h.xover;
  t->bs_freq_scale = h.freq_scale;
  t->bs_alter_scale = h.alter_scale;
  t->bs_noise_bands = h.noise_bands;
  if (SbrDeriveTables(*t) != 0) return false;
  // Limits checked here again rather than trusted to the decoder.
  const int k2 = t->f_master[t->N_master];
  const int limit = rate <= 3 ? 32 : (rate == 4 ? 35 : 48);
  if (k2 > 64 || k2 - t->k0 > limit || t->kx > 32 || t->kx + t->M > 64) return false;
  if (t->N_Q < 1 || t->N_Q > 5 || t->numPatches < 1 || t->numPatches > 6) return false;
  if (t->N_high < 1 || t->N_low < 1) return false;
  for (int i = 0; i < t->N_master; ++i) {
    if (t->f_master[i + 1] <= t->f_master[i]) return false;
  }
  return true;
}

struct Grid {
  int frame_class = FIXFIX;
  int n_env = 1;
  int bord0 = 0, bord1 = 0;  // bs_var_bord_0 / _1
  std::vector<int> rel0, rel1;
  int pointer = 0;
  int res[kSbrMaxEnvelopes] = {};
  int Trail() const { return (frame_class == FIXVAR || frame_class == VARVAR) ? bord1 : 0; }
};

int PointerBits(int n_env) {
  int bits = 0;
  while ((1 << bits) < n_env + 1) ++bits;
  return bits;
}

// A grid whose leading border continues the previous frame's trailing
// border (`lead` slots past the frame start).
Grid RandomGrid(Rng& rng, int lead, const Options& o) {
  // Without a VAR* class to follow, no frame may end past the frame end.
  const bool var_lead = o.classes & (1 << VARFIX | 1 << VARVAR);
  for (;;) {
    Grid g;
    g.frame_class = rng.Int(0, 3);
    if (!(o.classes & 1 << g.frame_class)) continue;
    if (lead > 0 && g.frame_class != VARFIX && g.frame_class != VARVAR) continue;
    g.bord0 = lead;
    int t[kSbrMaxEnvelopes + 1];
    switch (g.frame_class) {
      case FIXFIX:
        g.n_env = 1 << rng.Int(0, 2);
        break;
      case FIXVAR:
        g.bord1 = rng.Int(0, 3);
        g.rel1.resize(rng.Int(0, 3));
        break;
      case VARFIX:
        g.rel0.resize(rng.Int(0, 3));
        break;
      default: {
        g.bord1 = rng.Int(0, 3);
        const int n0 = rng.Int(0, 3);
        g.rel0.resize(n0);
        g.rel1.resize(rng.Int(0, std::min(3, 4 - n0)));
        break;
      }
    }
    for (int& r : g.rel0) r = 2 * rng.Int(1, 4);
    for (int& r : g.rel1) r = 2 * rng.Int(1, 4);
    if (g.frame_class != FIXFIX) g.n_env = static_cast<int>(g.rel0.size() + g.rel1.size()) + 1;
    // Borders (slots of two QMF samples), strictly increasing.
    if (g.frame_class == FIXFIX) {
      for (int l = 0; l <= g.n_env; ++l) t[l] = l * 16 / g.n_env;
    } else {
      const int lead_b = (g.frame_class == VARFIX || g.frame_class == VARVAR) ? g.bord0 : 0;
      const int trail_b = 16 + g.Trail();
      t[0] = lead_b;
      t[g.n_env] = trail_b;
      for (size_t i = 0; i < g.rel0.size(); ++i) t[i + 1] = t[i] + g.rel0[i];
      for (size_t i = 0; i < g.rel1.size(); ++i) t[g.n_env - 1 - i] = t[g.n_env - i] - g.rel1[i];
    }
    bool ok = g.n_env <= o.max_env && (var_lead || g.Trail() == 0);
    for (int l = 1; l <= g.n_env; ++l) ok = ok && t[l] > t[l - 1];
    if (!ok) continue;
    // Every pointer whose transient envelope and middle noise border exist.
    g.pointer = g.frame_class == FIXFIX ? 0 : rng.Int(0, g.n_env);
    const int res = rng.Int(0, 1);
    for (int l = 0; l < g.n_env; ++l) g.res[l] = g.frame_class == FIXFIX ? res : rng.Int(0, 1);
    return g;
  }
}

void PutGrid(BitWriter& w, const Grid& g) {
  w.Put(g.frame_class, 2);
  auto rel = [&](const std::vector<int>& v) {
    for (int r : v) w.Put((r - 2) / 2, 2);
  };
  const int pb = PointerBits(g.n_env);
  switch (g.frame_class) {
    case FIXFIX:
      w.Put(g.n_env == 1 ? 0 : (g.n_env == 2 ? 1 : 2), 2).Put(g.res[0], 1);
      return;
    case FIXVAR:
      w.Put(g.bord1, 2).Put(static_cast<uint32_t>(g.rel1.size()), 2);
      rel(g.rel1);
      w.Put(g.pointer, pb);
      for (int l = g.n_env - 1; l >= 0; --l) w.Put(g.res[l], 1);
      return;
    case VARFIX:
      w.Put(g.bord0, 2).Put(static_cast<uint32_t>(g.rel0.size()), 2);
      rel(g.rel0);
      w.Put(g.pointer, pb);
      for (int l = 0; l < g.n_env; ++l) w.Put(g.res[l], 1);
      return;
    default:
      w.Put(g.bord0, 2).Put(g.bord1, 2);
      w.Put(static_cast<uint32_t>(g.rel0.size()), 2).Put(static_cast<uint32_t>(g.rel1.size()), 2);
      rel(g.rel0);
      rel(g.rel1);
      w.Put(g.pointer, pb);
      for (int l = 0; l < g.n_env; ++l) w.Put(g.res[l], 1);
      return;
  }
}

// What the decoder keeps of a channel between frames, as the generator
// models it: the last envelope and noise floor (quantised, as decoded).
struct ChannelHistory {
  bool valid = false;  // time-direction coding has a reference
  int res = 1;         // frequency resolution of the last envelope
  int amp = 1;         // amplitude resolution of the last frame
  bool balance = false;
  std::vector<int> env;    // last envelope, in its resolution's bands
  std::vector<int> noise;  // last noise floor
  int lead = 0;            // leading border the next frame must use
};

// Level state of a channel: a slow random walk per high-resolution band, in
// 1.5 dB steps relative to the middle level; balance in 1.5 dB steps
// relative to the centre.
struct Levels {
  std::vector<int> env;      // per high-resolution band
  std::vector<int> balance;  // per high-resolution band
  std::vector<int> noise, noise_balance;
  std::vector<int> invf;
};

class SbrWriter {
 public:
  SbrWriter(const Options& o, int rate, bool pair, uint32_t seed)
      : o_(o), rate_(rate), pair_(pair), rng_(seed), ps_rng_(seed ^ 0x5053u), ps_(PsOptions(o)) {}

  // One sbr_extension_data() after the extension_type nibble.
  void Write(BitWriter& w, int frame) {
    const bool first = frame == 0;
    bool send = first || rng_.Chance(0.15);
    bool reset = false;
    if (first) {
      header_ = RandomHeader(nullptr);
    } else if (send && o_.header_changes && !o_.fixed_header && rng_.Chance(0.4)) {
      const Header next = RandomHeader(&header_);
      reset = !next.SameTables(header_);
      header_ = next;
    }
    if (first || reset) {
      if (!Derive(header_, rate_, &t_)) std::abort();
      stats_.six += t_.numPatches == 6;
      ResizeLevels();
      for (ChannelHistory& h : hist_) h.valid = false;
    }
    ++stats_.frames;
    stats_.headers += send;
    stats_.resets += reset;
    w.Put(send, 1);
    if (send) PutHeader(w, header_);
    describe_ = send ? (reset ? " header(reset)" : " header") : "";
    if (send && o_.verbose) {
      const Header& h = header_;
      describe_ += "{amp " + std::to_string(h.amp_res) + " lim " + std::to_string(h.limiter_bands) +
                   "/" + std::to_string(h.limiter_gains) + " int " + std::to_string(h.interpol) +
                   " sm " + std::to_string(h.smoothing) + "}";
    }
    if (pair_) {
      WritePair(w);
    } else {
      WriteSingle(w);
    }
  }

  struct Stats {
    long frames = 0, headers = 0, resets = 0, coupled = 0, sinusoids = 0, time_env = 0,
         time_noise = 0, envelopes[6] = {}, classes[4] = {}, ext = 0, ps = 0, fine = 0, six = 0;
  };
  const Stats& stats() const { return stats_; }
  const Header& header() const { return header_; }
  hesynth::PsWriter& ps() { return ps_; }

 private:
  Header RandomHeader(const Header* prev) {
    // Six patches (a low start and a wide SBR range, e.g. the tables of
    // start 0, stop 8, linear scale at 44.1 kHz) on the first header of one
    // stream in ten, and then on every other reset.  Only SBR rates of
    // 24 kHz and up have such tables; a random choice gives up for the
    // stream after a while, a forced one fails below.
    if (!prev) six_ = o_.six_patches || rng_.Chance(0.1);
    const bool want_six = six_ && (!prev || rng_.Chance(0.5));
    for (int attempt = 0;; ++attempt) {
      if (attempt == 50000 && !o_.six_patches) six_ = false;
      Header h = prev ? *prev : Header{};
      if (o_.fixed_header) {
        if (!Derive(h, rate_, &t_)) std::abort();
        return h;
      }
      // A later header changes either only the fields without a reset or
      // any field.
      const bool tables = !prev || rng_.Chance(0.6);
      h.amp_res = rng_.Int(0, 1);
      h.extra2 = rng_.Chance(0.7);
      if (h.extra2) {
        h.limiter_bands = rng_.Int(0, 3);
        h.limiter_gains = rng_.Int(0, 3);
        h.interpol = rng_.Int(0, 1);
        h.smoothing = rng_.Int(0, 1);
      } else {
        h.limiter_bands = h.limiter_gains = 2;
        h.interpol = h.smoothing = 1;
      }
      // bs_smoothing_mode changes only with a reset: when smoothing starts
      // without one, FFmpeg's float decoder smooths the first slots with
      // other gains than the previous slots' G_temp that FAAD2 and we use
      // (6.8 and 35.4 LSB RMS in that frame).  Checked after the table
      // fields are chosen, below.
      const int smoothing = prev ? prev->smoothing : h.smoothing;
      if (tables) {
        h.start = o_.start >= 0 ? o_.start : rng_.Int(0, 15);
        h.stop = o_.stop >= 0 ? o_.stop : rng_.Int(0, 15);
        h.xover = rng_.Chance(0.6) ? 0 : rng_.Int(1, 7);
        h.extra1 = rng_.Chance(0.7) || o_.freq_scale >= 0;
        if (h.extra1) {
          h.freq_scale = o_.freq_scale >= 0 ? o_.freq_scale : rng_.Int(0, 3);
          h.alter_scale = rng_.Int(0, 1);
          h.noise_bands = rng_.Int(0, 3);
        } else {
          h.freq_scale = 2;
          h.alter_scale = 1;
          h.noise_bands = 2;
        }
      }
      // The first header may repeat the table fields a decoder's SBR state
      // starts with: the tables must still be derived from it.
      // (Not in a stream that seeks six patches.)
      const bool initial = !prev && o_.start < 0 && o_.stop < 0 && o_.freq_scale < 0 &&
                           (o_.initial_header || (!six_ && rng_.Chance(0.1)));
      if (initial) {
        h.start = 5;
        h.stop = 0;
        h.xover = 0;
        h.extra1 = rng_.Chance(0.5);
        h.freq_scale = 2;
        h.alter_scale = 1;
        h.noise_bands = 2;
      }
      if (prev && h.SameTables(*prev) && !o_.smoothing_changes) h.smoothing = smoothing;
      // Nor a new bs_limiter_bands without a reset while smoothing is on:
      // FFmpeg's smoothed gains then differ for the first slots of the
      // frame (and for good after a dropped last patch), FAAD2 and we
      // agree.
      if (prev && h.SameTables(*prev) && h.smoothing == 0 && !o_.limiter_changes_smoothing) {
        h.limiter_bands = prev->limiter_bands;
      }
      // Without bs_header_extra_2 the decoder takes the defaults: send it
      // when a kept value is another.
      if (h.limiter_bands != 2 || h.limiter_gains != 2 || h.interpol != 1 || h.smoothing != 1) {
        h.extra2 = true;
      }
      SBRDecState t;
      const bool six_wanted = want_six && six_ && tables && !initial;
      if (Derive(h, rate_, &t) && (!six_wanted || t.numPatches == 6)) {
        // No reset into tables whose short last patch is dropped (the top
        // subbands without a patch): FFmpeg's float decoder then leaves
        // those subbands with what the previous tables put there (FAAD2
        // and we agree on the standard's output; from the first header on,
        // all three agree).
        int covered = 0;
        for (int i = 0; i < t.numPatches; ++i) covered += t.patchNumSubbands[i];
        const bool reset = prev && !h.SameTables(*prev);
        // Nor, on such tables, a new bs_limiter_bands without a reset: when
        // the top of the range merges into the band below, the subbands
        // above the last limiter band keep their old gains in FFmpeg (we
        // silence them, as on a reset).
        if (prev && !reset && covered != t.M && !o_.dropped_patch_limiter_changes) {
          h.limiter_bands = prev->limiter_bands;
        }
        if (!reset || covered == t.M || o_.dropped_patch_resets) return h;
      }
      if (attempt > 100000) {
        std::fprintf(stderr, "vxaac-hesynth: no valid header%s at rate index %d\n",
                     six_wanted ? " with six patches" : "", rate_);
        std::exit(3);
      }
    }
  }

  void ResizeLevels() {
    for (Levels& lv : levels_) {
      lv.env.assign(t_.N_high, 0);
      lv.balance.assign(t_.N_high, 0);
      for (int k = 0; k < t_.N_high; ++k) {
        lv.env[k] = rng_.Int(-6, 6) - k / 3;  // a gentle tilt downwards
        lv.balance[k] = rng_.Int(-6, 6);
      }
      lv.noise.assign(t_.N_Q, 0);
      lv.noise_balance.assign(t_.N_Q, 0);
      lv.invf.assign(t_.N_Q, 0);
      for (int k = 0; k < t_.N_Q; ++k) {
        lv.noise[k] = rng_.Int(2, 14);
        lv.noise_balance[k] = rng_.Int(-4, 4);
        lv.invf[k] = rng_.Int(0, 3);
      }
    }
  }

  void Walk(Levels& lv) {
    for (int& v : lv.env) v = std::clamp(v + rng_.Int(-2, 2), -12, 10);
    for (int& v : lv.balance) v = std::clamp(v + rng_.Int(-2, 2), -8, 8);
    for (int& v : lv.noise) v = std::clamp(v + rng_.Int(-2, 2), 0, 20);
    for (int& v : lv.noise_balance) v = std::clamp(v + rng_.Int(-1, 1), -5, 5);
    for (int& v : lv.invf) {
      if (rng_.Chance(0.25)) v = rng_.Int(0, 3);
      if (o_.invf >= 0) v = o_.invf;
    }
  }

  // Values of one envelope (band count by resolution), in the frame's
  // amplitude resolution.
  std::vector<int> EnvValues(const Levels& lv, int res, int amp, bool balance) {
    const int n = res ? t_.N_high : t_.N_low;
    std::vector<int> v(n);
    for (int k = 0; k < n; ++k) {
      // The high-resolution band at the start of the band.
      int hk = k;
      if (!res) {
        for (int i = 0; i <= t_.N_high; ++i) {
          if (t_.f_high[i] == t_.f_low[k]) hk = i;
        }
      }
      const int jitter = rng_.Int(-1, 1);
      if (balance) {
        // The decoder doubles every coded balance value and delta (the
        // pair's second channel when coupled): centre 12 (3 dB) or 24
        // (1.5 dB) after doubling.
        const int b = lv.balance[hk] + jitter;  // 1.5 dB steps
        v[k] = amp ? 6 + b / 4 : 12 + b / 2;
      } else {
        const int e = o_.level + lv.env[hk] + jitter;
        v[k] = amp ? e / 2 : e;
      }
    }
    return v;
  }

  // The previous value of band k for time-direction coding (4.6.18.3.5:
  // the previous envelope mapped onto the current resolution).
  int Reference(const ChannelHistory& h, int res, int k) const {
    if (h.res == res) return h.env[k];
    if (res == 0) {
      for (int i = 0; i <= t_.N_high; ++i) {
        if (t_.f_high[i] == t_.f_low[k]) return h.env[i];
      }
      std::abort();
    }
    for (int j = 0; j < t_.N_low; ++j) {
      if (t_.f_low[j] <= t_.f_high[k] && t_.f_high[k] < t_.f_low[j + 1]) return h.env[j];
    }
    std::abort();
  }

  struct ChannelFrame {
    Grid grid;
    int amp = 1;
    bool balance = false;
    std::vector<int> df_env, df_noise;
    std::vector<std::vector<int>> env, noise;
    std::vector<int> invf;
    bool harmonic = false;
    std::vector<int> harmonics;
  };

  // Levels, directions and the other per-channel choices of one frame;
  // updates the history as the decoder will.
  void Plan(ChannelFrame& f, ChannelHistory& h, Levels& lv, bool balance) {
    const Grid& g = f.grid;
    f.amp = (g.frame_class == FIXFIX && g.n_env == 1) ? 0 : header_.amp_res;
    if (f.amp == 0) ++stats_.fine;
    f.balance = balance;
    const int n_noise = g.n_env > 1 ? 2 : 1;
    // Time direction only where the reference is of the same kind.
    const bool time_ok =
        o_.time_delta && h.valid && h.balance == balance && (!balance || h.amp == f.amp);
    int table_t, table_f;
    if (balance) {
      table_t = f.amp ? kSbrHuffBal30Time : kSbrHuffBal15Time;
      table_f = f.amp ? kSbrHuffBal30Freq : kSbrHuffBal15Freq;
    } else {
      table_t = f.amp ? kSbrHuffEnv30Time : kSbrHuffEnv15Time;
      table_f = f.amp ? kSbrHuffEnv30Freq : kSbrHuffEnv15Freq;
    }
    const int start_bits = balance ? (f.amp ? 5 : 6) : (f.amp ? 6 : 7);
    (void)start_bits;
    ChannelHistory cur = h;
    f.env.clear();
    f.df_env.clear();
    for (int l = 0; l < g.n_env; ++l) {
      std::vector<int> v = EnvValues(lv, g.res[l], f.amp, balance);
      bool dt = (l > 0 || time_ok) && rng_.Chance(0.5);
      if (dt) {
        for (size_t k = 0; k < v.size(); ++k) {
          if (std::abs(v[k] - Reference(cur, g.res[l], static_cast<int>(k))) > Lav(table_t))
            dt = false;
        }
      }
      for (size_t k = 1; k < v.size() && !dt; ++k) {
        if (std::abs(v[k] - v[k - 1]) > Lav(table_f)) std::abort();
      }
      f.df_env.push_back(dt);
      if (dt) {
        std::vector<int> d(v.size());
        for (size_t k = 0; k < v.size(); ++k)
          d[k] = v[k] - Reference(cur, g.res[l], static_cast<int>(k));
        f.env.push_back(d);
        ++stats_.time_env;
      } else {
        f.env.push_back(v);
      }
      cur.env = v;
      cur.res = g.res[l];
    }
    f.noise.clear();
    f.df_noise.clear();
    for (int l = 0; l < n_noise; ++l) {
      std::vector<int> v(t_.N_Q);
      for (int k = 0; k < t_.N_Q; ++k) {
        v[k] = balance ? 6 + lv.noise_balance[k] / 2
                       : std::clamp(lv.noise[k] + rng_.Int(-1, 1), 0, 30);
        if (o_.noise >= 0 && !balance) v[k] = o_.noise;
      }
      const bool dt = (l > 0 || time_ok) && rng_.Chance(0.5);
      f.df_noise.push_back(dt);
      if (dt) {
        std::vector<int> d(v.size());
        for (int k = 0; k < t_.N_Q; ++k) d[k] = v[k] - cur.noise[k];
        f.noise.push_back(d);
        ++stats_.time_noise;
      } else {
        f.noise.push_back(v);
      }
      cur.noise = v;
    }
    f.invf = lv.invf;
    f.harmonic = o_.sinusoids && rng_.Chance(0.3);
    f.harmonics.assign(t_.N_high, 0);
    if (f.harmonic) {
      ++stats_.sinusoids;
      for (int& s : f.harmonics) s = rng_.Chance(0.2);
    }
    if (o_.verbose) {
      std::string d = " [class " + std::to_string(g.frame_class) + " env " +
                      std::to_string(g.n_env) + " ptr " + std::to_string(g.pointer) + " res ";
      for (int l = 0; l < g.n_env; ++l) d += std::to_string(g.res[l]);
      d += " amp " + std::to_string(f.amp) + (balance ? " bal" : "") + " dt ";
      for (int x : f.df_env) d += std::to_string(x);
      d += "/";
      for (int x : f.df_noise) d += std::to_string(x);
      d += f.harmonic ? " sin" : "";
      d += "]";
      describe_ += d;
    }
    cur.valid = true;
    cur.amp = f.amp;
    cur.balance = balance;
    cur.lead = g.Trail();
    h = cur;
  }

  void PutDirections(BitWriter& w, const ChannelFrame& f) {
    for (int d : f.df_env) w.Put(d, 1);
    for (int d : f.df_noise) w.Put(d, 1);
  }
  void PutInvf(BitWriter& w, const ChannelFrame& f) {
    for (int m : f.invf) w.Put(m, 2);
  }
  void PutEnvelope(BitWriter& w, const ChannelFrame& f) {
    const bool b = f.balance;
    const int tt = b ? (f.amp ? kSbrHuffBal30Time : kSbrHuffBal15Time)
                     : (f.amp ? kSbrHuffEnv30Time : kSbrHuffEnv15Time);
    const int tf = b ? (f.amp ? kSbrHuffBal30Freq : kSbrHuffBal15Freq)
                     : (f.amp ? kSbrHuffEnv30Freq : kSbrHuffEnv15Freq);
    const int bits = b ? (f.amp ? 5 : 6) : (f.amp ? 6 : 7);
    for (size_t l = 0; l < f.env.size(); ++l) {
      const std::vector<int>& v = f.env[l];
      if (f.df_env[l]) {
        for (int d : v) PutHuff(w, tt, d);
      } else {
        w.Put(static_cast<uint32_t>(v[0]), bits);
        for (size_t k = 1; k < v.size(); ++k) PutHuff(w, tf, v[k] - v[k - 1]);
      }
    }
  }
  void PutNoise(BitWriter& w, const ChannelFrame& f) {
    const bool b = f.balance;
    for (size_t l = 0; l < f.noise.size(); ++l) {
      const std::vector<int>& v = f.noise[l];
      if (f.df_noise[l]) {
        for (int d : v) PutHuff(w, b ? kSbrHuffNoiseBal30Time : kSbrHuffNoise30Time, d);
      } else {
        w.Put(static_cast<uint32_t>(v[0]), 5);
        for (size_t k = 1; k < v.size(); ++k)
          PutHuff(w, b ? kSbrHuffBal30Freq : kSbrHuffEnv30Freq, v[k] - v[k - 1]);
      }
    }
  }
  void PutHarmonics(BitWriter& w, const ChannelFrame& f) {
    w.Put(f.harmonic, 1);
    if (f.harmonic) {
      for (int s : f.harmonics) w.Put(s, 1);
    }
  }

  // bs_extended_data: parametric stereo (mono with --ps) and, now and then,
  // an extension of an unknown id whose fill bits decoders must skip.
  void PutExtended(BitWriter& w, int frame) {
    BitWriter ext;
    if (o_.ps && !pair_) {
      ext.Put(2, 2);  // EXTENSION_ID_PS
      ps_.Write(ext, ps_rng_.engine(), frame == 0);
      if (o_.verbose) std::fprintf(stderr, "ps bits %ld\n", static_cast<long>(ext.bits()));
      ++stats_.ps;
    }
    const bool unknown = o_.extensions && rng_.Chance(0.1);
    if (unknown) {
      // Right after ps_data(): the loop of sbr_extension data reads another
      // id while more than 7 bits remain, and an unknown id takes the rest.
      ext.Put(rng_.Chance(0.5) ? 0 : 1, 2);
      const int fill = rng_.Int(6, 30);
      for (int i = 0; i < fill; ++i) ext.Put(rng_.Int(0, 1), 1);
      ++stats_.ext;
    }
    if (ext.bits() == 0) {
      w.Put(0, 1);
      return;
    }
    const int bytes = static_cast<int>((ext.bits() + 7) / 8);
    w.Put(1, 1);
    if (bytes < 15) {
      w.Put(bytes, 4);
    } else {
      w.Put(15, 4).Put(bytes - 15, 8);
    }
    w.Append(ext);
    for (int64_t i = ext.bits(); i < int64_t{bytes} * 8; ++i) w.Put(0, 1);
  }

  void WriteSingle(BitWriter& w) {
    const int frame = static_cast<int>(stats_.frames - 1);
    ChannelFrame f;
    Walk(levels_[0]);
    f.grid = RandomGrid(rng_, hist_[0].lead, o_);
    Count(f.grid);
    Plan(f, hist_[0], levels_[0], false);
    const bool extra = rng_.Chance(0.1);
    w.Put(extra, 1);
    if (extra) w.Put(rng_.Int(0, 15), 4);
    PutGrid(w, f.grid);
    PutDirections(w, f);
    PutInvf(w, f);
    PutEnvelope(w, f);
    PutNoise(w, f);
    PutHarmonics(w, f);
    PutExtended(w, frame);
  }

  void WritePair(BitWriter& w) {
    const int frame = static_cast<int>(stats_.frames - 1);
    ChannelFrame a, b;
    Walk(levels_[0]);
    Walk(levels_[1]);
    // Coupling shares one grid: both channels must continue from the same
    // border.
    bool coupling = o_.coupling == 1 || (o_.coupling == -1 && rng_.Chance(0.5));
    if (hist_[0].lead != hist_[1].lead) coupling = false;  // never with --coupling always
    stats_.coupled += coupling;
    if (coupling) describe_ += " coupled";
    const bool extra = rng_.Chance(0.1);
    w.Put(extra, 1);
    if (extra) w.Put(rng_.Int(0, 15), 4).Put(rng_.Int(0, 15), 4);
    w.Put(coupling, 1);
    if (coupling) {
      a.grid = RandomGrid(rng_, hist_[0].lead, o_);
      b.grid = a.grid;
      Count(a.grid);
      Plan(a, hist_[0], levels_[0], false);
      Plan(b, hist_[1], levels_[1], true);
      PutGrid(w, a.grid);
      PutDirections(w, a);
      PutDirections(w, b);
      PutInvf(w, a);
      PutEnvelope(w, a);
      PutNoise(w, a);
      PutEnvelope(w, b);
      PutNoise(w, b);
    } else {
      a.grid = RandomGrid(rng_, hist_[0].lead, o_);
      b.grid = RandomGrid(rng_, hist_[1].lead, o_);
      Count(a.grid);
      Count(b.grid);
      Plan(a, hist_[0], levels_[0], false);
      Plan(b, hist_[1], levels_[1], false);
      PutGrid(w, a.grid);
      PutGrid(w, b.grid);
      PutDirections(w, a);
      PutDirections(w, b);
      PutInvf(w, a);
      PutInvf(w, b);
      PutEnvelope(w, a);
      PutEnvelope(w, b);
      PutNoise(w, a);
      PutNoise(w, b);
    }
    PutHarmonics(w, a);
    PutHarmonics(w, b);
    PutExtended(w, frame);
  }

  void Count(const Grid& g) {
    ++stats_.classes[g.frame_class];
    ++stats_.envelopes[g.n_env];
  }

  const Options& o_;
  int rate_;
  bool pair_;
  Rng rng_, ps_rng_;
  Header header_;
  bool six_ = false;  // this stream's resets seek tables with six patches
  SBRDecState t_{};
  Levels levels_[2];
  ChannelHistory hist_[2];
  static hesynth::PsWriterOptions PsOptions(const Options& o) {
    hesynth::PsWriterOptions p;
    if (o.ps_ffmpeg) {
      // See ps_writer.h: phases in the bands of negative-frequency
      // sub-subbands, frames without phases after frames with them and
      // layout switches after phases are where FFmpeg alone differs.
      p.phase_low_bands = false;
      p.phase_gaps = false;
      p.phase_layout_switches = false;
    }
    return p;
  }

  hesynth::PsWriter ps_;
  Stats stats_;

 public:
  std::string describe_;  // with -v: the last frame's choices
};

// ---- ADTS and raw_data_block ------------------------------------------------

struct Adts {
  int sf_index = 0;
  int channel_config = 0;
  int frame_length = 0;
  int blocks = 0;
  bool protection_absent = true;
};

bool ParseAdts(const uint8_t* p, size_t left, Adts* h) {
  if (left < 7 || p[0] != 0xFF || (p[1] & 0xF6) != 0xF0) return false;
  h->protection_absent = p[1] & 1;
  h->sf_index = (p[2] >> 2) & 15;
  h->channel_config = ((p[2] & 1) << 2) | (p[3] >> 6);
  h->frame_length = ((p[3] & 3) << 11) | (p[4] << 3) | (p[5] >> 5);
  h->blocks = p[6] & 3;
  return true;
}

// The core's side: Huffman books and two channel records.
class CoreParser {
 public:
  explicit CoreParser(int sf_index) {
    if (AacHuffmanTablesInit(&books_) != 0) std::abort();
    a_ = std::make_unique<ChannelStream>();
    b_ = std::make_unique<ChannelStream>();
    if (InitChannelStream(*a_, sf_index, 2) != 0 || InitChannelStream(*b_, sf_index, 2) != 0) {
      std::fprintf(stderr, "vxaac-hesynth: unsupported sampling frequency index %d\n", sf_index);
      std::exit(2);
    }
  }

  // Walks one raw_data_block: the bit position of ID_END and the channel
  // elements in order (false for a malformed block or an unsupported
  // element).
  bool Walk(const uint8_t* data, int32_t size, int64_t* end_pos, std::vector<int>* elements) {
    buffer_.assign(static_cast<size_t>(size) + kAacReaderPadding + 64, 0);
    uint8_t* aligned = buffer_.data() + ((4 - reinterpret_cast<uintptr_t>(buffer_.data()) % 4) % 4);
    std::memcpy(aligned, data, static_cast<size_t>(size));
    UMC::BitReader r;
    UMC::BitReaderInit(r, aligned, size);
    elements->clear();
    for (;;) {
      const int64_t pos = UMC::BitReaderBitsConsumed(r);
      const uint32_t id = UMC::BitReaderRead(r, 3);
      if (UMC::BitReaderOverrun(r)) return false;
      switch (id) {
        case ID_SCE:
        case ID_LFE:
          UMC::BitReaderRead(r, 4);
          if (DecodeChannelStream(*a_, r, 0, 2, books_) != 0) return false;
          if (id == ID_SCE) elements->push_back(ID_SCE);
          break;
        case ID_CPE: {
          UMC::BitReaderRead(r, 4);
          const int cw = static_cast<int>(UMC::BitReaderRead(r, 1));
          a_->ms_mask_present = 0;
          if (cw) {
            if (DecodeIcsInfo(*a_, r, 2) != 0) return false;
            CopyIcsInfo(*a_, *b_, 2);
            if (DecodeMsData(*a_, r) != 0) return false;
          }
          if (DecodeChannelStream(*a_, r, cw, 2, books_) != 0) return false;
          if (DecodeChannelStream(*b_, r, cw, 2, books_) != 0) return false;
          elements->push_back(ID_CPE);
          break;
        }
        case ID_DSE: {
          UMC::BitReaderRead(r, 4);
          const uint32_t align = UMC::BitReaderRead(r, 1);
          uint32_t count = UMC::BitReaderRead(r, 8);
          if (count == 255) count += UMC::BitReaderRead(r, 8);
          if (align) UMC::BitReaderByteAlign(r);
          UMC::BitReaderSkip(r, int64_t{8} * count);
          break;
        }
        case ID_FIL: {
          uint32_t count = UMC::BitReaderRead(r, 4);
          if (count == 15) count += UMC::BitReaderRead(r, 8) - 1;
          UMC::BitReaderSkip(r, int64_t{8} * count);
          break;
        }
        case ID_END:
          *end_pos = pos;
          return !UMC::BitReaderOverrun(r);
        default:  // PCE, CCE: not in the streams this tool takes
          return false;
      }
      if (UMC::BitReaderOverrun(r)) return false;
    }
  }

 private:
  std::vector<uint8_t> memory_, buffer_;
  AacHuffmanTables books_{};
  std::unique_ptr<ChannelStream> a_, b_;
};

void CopyBits(BitWriter& w, const uint8_t* data, int64_t bits) {
  for (int64_t i = 0; i < bits; ++i) w.Put((data[i >> 3] >> (7 - (i & 7))) & 1, 1);
}

// A fill element with extension payload `p` (EXT_SBR_DATA nibble included).
bool PutFill(BitWriter& w, const BitWriter& p) {
  const int count = static_cast<int>(p.bytes().size());
  if (count > 15 + 255 - 1) return false;
  w.Put(ID_FIL, 3);
  if (count < 15) {
    w.Put(static_cast<uint32_t>(count), 4);
  } else {
    w.Put(15, 4).Put(static_cast<uint32_t>(count - 14), 8);
  }
  for (uint8_t b : p.bytes()) w.Put(b, 8);
  return true;
}

bool ParseInt(const char* s, long* v) {
  char* end = nullptr;
  *v = std::strtol(s, &end, 10);
  return end != s && *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::vector<const char*> files;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    const bool has = i + 1 < argc;
    long v = 0;
    auto value = [&](long lo, long hi) {
      if (!has || !ParseInt(argv[++i], &v) || v < lo || v > hi) {
        std::fprintf(stderr, "vxaac-hesynth: bad value for %s\n", a);
        std::exit(2);
      }
      return static_cast<int>(v);
    };
    if (!std::strcmp(a, "-h") || !std::strcmp(a, "--help")) {
      Usage(stdout);
      return 0;
    } else if (!std::strcmp(a, "--seed")) {
      if (!has || !ParseInt(argv[++i], &v)) return Usage(stderr), 2;
      o.seed = static_cast<uint32_t>(v);
    } else if (!std::strcmp(a, "--frames")) {
      o.frames = value(0, 1 << 30);
    } else if (!std::strcmp(a, "--ps")) {
      o.ps = true;
    } else if (!std::strcmp(a, "--ps-ffmpeg")) {
      o.ps = o.ps_ffmpeg = true;
    } else if (!std::strcmp(a, "--coupling")) {
      const char* m = has ? argv[++i] : "";
      if (!std::strcmp(m, "random")) {
        o.coupling = -1;
      } else if (!std::strcmp(m, "never")) {
        o.coupling = 0;
      } else if (!std::strcmp(m, "always")) {
        o.coupling = 1;
      } else {
        return Usage(stderr), 2;
      }
    } else if (!std::strcmp(a, "--no-header-changes")) {
      o.header_changes = false;
    } else if (!std::strcmp(a, "--fixed-header")) {
      o.fixed_header = true;
    } else if (!std::strcmp(a, "--initial-header")) {
      o.initial_header = true;
    } else if (!std::strcmp(a, "--six-patches")) {
      o.six_patches = true;
    } else if (!std::strcmp(a, "--start")) {
      o.start = value(0, 15);
    } else if (!std::strcmp(a, "--stop")) {
      o.stop = value(0, 15);
    } else if (!std::strcmp(a, "--freq-scale")) {
      o.freq_scale = value(0, 3);
    } else if (!std::strcmp(a, "--level")) {
      o.level = value(12, 100);
    } else if (!std::strcmp(a, "--classes")) {
      o.classes = 0;
      for (const char* c = has ? argv[++i] : ""; *c; ++c) {
        if (*c < '0' || *c > '3') return Usage(stderr), 2;
        o.classes |= 1 << (*c - '0');
      }
      if (!o.classes) return Usage(stderr), 2;
    } else if (!std::strcmp(a, "--max-env")) {
      o.max_env = value(1, 5);
    } else if (!std::strcmp(a, "--noise")) {
      o.noise = value(0, 30);
    } else if (!std::strcmp(a, "--invf")) {
      o.invf = value(0, 3);
    } else if (!std::strcmp(a, "--no-sinusoids")) {
      o.sinusoids = false;
    } else if (!std::strcmp(a, "--no-time-delta")) {
      o.time_delta = false;
    } else if (!std::strcmp(a, "--limiter-changes-smoothing")) {
      o.limiter_changes_smoothing = true;
    } else if (!std::strcmp(a, "--dropped-patch-limiter-changes")) {
      o.dropped_patch_limiter_changes = true;
    } else if (!std::strcmp(a, "--dropped-patch-resets")) {
      o.dropped_patch_resets = true;
    } else if (!std::strcmp(a, "--smoothing-changes")) {
      o.smoothing_changes = true;
    } else if (!std::strcmp(a, "--no-extensions")) {
      o.extensions = false;
    } else if (!std::strcmp(a, "-v")) {
      o.verbose = true;
    } else if (a[0] == '-' && a[1]) {
      std::fprintf(stderr, "vxaac-hesynth: unknown option %s\n", a);
      return 2;
    } else {
      files.push_back(a);
    }
  }
  if (files.size() != 2) return Usage(stderr), 2;
  dspStaticInit();

  std::ifstream in(files[0], std::ios::binary);
  const std::vector<uint8_t> input((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
  if (input.empty()) {
    std::fprintf(stderr, "vxaac-hesynth: cannot read %s\n", files[0]);
    return 2;
  }
  std::vector<uint8_t> output;
  std::unique_ptr<CoreParser> core;
  std::vector<std::unique_ptr<SbrWriter>> writers;
  int sf_index = -1, frame = 0;
  size_t pos = 0;
  while (pos < input.size() && (o.frames == 0 || frame < o.frames)) {
    Adts h;
    if (!ParseAdts(&input[pos], input.size() - pos, &h) || h.frame_length < 7 ||
        pos + static_cast<size_t>(h.frame_length) > input.size()) {
      std::fprintf(stderr, "vxaac-hesynth: bad ADTS frame at byte %zu\n", pos);
      return 1;
    }
    if (!h.protection_absent || h.blocks != 0) {
      std::fprintf(stderr, "vxaac-hesynth: frame %d has a CRC or several blocks\n", frame);
      return 1;
    }
    if (sf_index < 0) {
      sf_index = h.sf_index;
      if (sf_index < 3 || sf_index > 11) {
        std::fprintf(stderr, "vxaac-hesynth: core rate index %d has no SBR rate\n", sf_index);
        return 1;
      }
      core = std::make_unique<CoreParser>(sf_index);
    } else if (h.sf_index != sf_index) {
      std::fprintf(stderr, "vxaac-hesynth: rate changes at frame %d\n", frame);
      return 1;
    }
    const uint8_t* block = &input[pos + 7];
    const int32_t block_size = h.frame_length - 7;
    int64_t end_pos = 0;
    std::vector<int> elements;
    if (!core->Walk(block, block_size, &end_pos, &elements)) {
      std::fprintf(stderr, "vxaac-hesynth: cannot parse frame %d\n", frame);
      return 1;
    }
    if (writers.empty()) {
      for (size_t e = 0; e < elements.size(); ++e) {
        const bool pair = elements[e] == ID_CPE;
        if (o.ps && (pair || elements.size() != 1)) {
          std::fprintf(stderr, "vxaac-hesynth: --ps needs a mono stream\n");
          return 2;
        }
        writers.push_back(std::make_unique<SbrWriter>(
            o, sf_index - 3, pair, o.seed * 2654435761u + static_cast<uint32_t>(e)));
      }
    } else if (elements.size() != writers.size()) {
      std::fprintf(stderr, "vxaac-hesynth: element layout changes at frame %d\n", frame);
      return 1;
    }
    BitWriter w;
    CopyBits(w, block, end_pos);
    for (size_t e = 0; e < writers.size(); ++e) {
      BitWriter p;
      p.Put(13, 4);  // EXT_SBR_DATA
      writers[e]->Write(p, frame);
      if (!PutFill(w, p)) {
        std::fprintf(stderr, "vxaac-hesynth: SBR payload of frame %d too long\n", frame);
        return 1;
      }
    }
    w.Put(ID_END, 3);
    while (w.bits() % 8) w.Put(0, 1);
    const size_t length = 7 + w.bytes().size();
    // The decoder input buffer holds 6144 bits per channel (ISO/IEC
    // 14496-3, 4.5.3.1): a core frame near that limit leaves no room for
    // the payloads.
    size_t channels = 0;
    for (int e : elements) channels += e == ID_CPE ? 2 : 1;
    if (length - 7 > 768 * channels) {
      std::fprintf(
          stderr,
          "vxaac-hesynth: frame %d exceeds 6144 bits per channel (core bit rate too high)\n",
          frame);
      return 1;
    }
    if (length > 8191) {
      std::fprintf(stderr, "vxaac-hesynth: frame %d too long\n", frame);
      return 1;
    }
    uint8_t hdr[7];
    std::memcpy(hdr, &input[pos], 7);
    hdr[3] = static_cast<uint8_t>((hdr[3] & 0xFC) | (length >> 11));
    hdr[4] = static_cast<uint8_t>((length >> 3) & 0xFF);
    hdr[5] = static_cast<uint8_t>(((length & 7) << 5) | (hdr[5] & 0x1F));
    output.insert(output.end(), hdr, hdr + 7);
    output.insert(output.end(), w.bytes().begin(), w.bytes().end());
    if (o.verbose) {
      const Header& hd = writers[0]->header();
      std::fprintf(stderr, "frame %d: %zu -> %zu bytes, start %d stop %d xover %d scale %d/%d%s\n",
                   frame, static_cast<size_t>(h.frame_length), length, hd.start, hd.stop, hd.xover,
                   hd.freq_scale, hd.alter_scale, writers[0]->describe_.c_str());
    }
    pos += static_cast<size_t>(h.frame_length);
    ++frame;
  }
  std::ofstream out(files[1], std::ios::binary);
  out.write(reinterpret_cast<const char*>(output.data()),
            static_cast<std::streamsize>(output.size()));
  if (!out) {
    std::fprintf(stderr, "vxaac-hesynth: cannot write %s\n", files[1]);
    return 2;
  }
  // Coverage summary on stderr.
  for (size_t e = 0; e < writers.size(); ++e) {
    const auto& s = writers[e]->stats();
    std::fprintf(stderr,
                 "element %zu: %ld frames, %ld headers, %ld resets, classes %ld/%ld/%ld/%ld, "
                 "envelopes %ld/%ld/%ld/%ld/%ld, coupled %ld, time-delta env %ld noise %ld, "
                 "sinusoids %ld, 1.5 dB %ld, unknown ext %ld, ps %ld, six-patch tables %ld\n",
                 e, s.frames, s.headers, s.resets, s.classes[0], s.classes[1], s.classes[2],
                 s.classes[3], s.envelopes[1], s.envelopes[2], s.envelopes[3], s.envelopes[4],
                 s.envelopes[5], s.coupled, s.time_env, s.time_noise, s.sinusoids, s.fine, s.ext,
                 s.ps, s.six);
  }
  return 0;
}
