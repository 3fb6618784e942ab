// Random but valid ps_data() (ISO/IEC 14496-3, 8.4) for synthetic HE-AAC v2
// streams: header with every iid_mode/icc_mode, fixed and variable frame
// class, IID/ICC in both coding directions and the IPD/OPD extension.
//
// The writer keeps the decoder's view from frame to frame (modes in force
// when no header is sent, the last envelope of every set as the reference
// of time-direction coding), so every decoded index stays within its legal
// range: IID -7..7 (coarse) or -15..15 (fine), ICC 0..7, IPD/OPD 0..7
// modulo 8.  Parameter values are random walks from envelope to envelope,
// so the stereo image moves but stays realistic.
//
// It stays away from cases where decoders are known to differ and the
// standard says least: time-direction coding of a first envelope whose
// reference frame had another band count or quantisation, another set
// state (disabled, no phase data) or no frame at all; a frame without
// envelopes after such a change; the extension without IID (its phase
// band count comes from an iid_mode no header carried).  The last three
// options below leave out what FFmpeg decodes differently from the
// standard (scripts/ps_diff.sh turns them off against it).
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>

#include "ps/ps_huffman_tables.h"
#include "tests/common/bit_writer.h"

namespace hesynth {

struct PsWriterOptions {
  bool bands34 = true;         // iid_mode/icc_mode 2 and 5 (34 bands)
  bool fine_iid = true;        // iid_mode 3..5
  bool mixing2 = true;         // icc_mode 3..5 (second mixing procedure)
  bool ipdopd = true;          // enable_ext with IPD/OPD data
  bool variable_class = true;  // frame_class 1 with borders
  bool time_delta = true;      // iid_dt/icc_dt/ipd_dt/opd_dt 1
  bool mode_changes = true;    // later headers may change modes (band counts)
  bool disable_sets = true;    // enable_iid/enable_icc 0
  bool empty_frames = true;    // fixed class without envelopes (num_env 0)
  int phase_percent = 67;      // frames with the extension that carry IPD/OPD
  // An extension id 1..3 with a few random bits after the IPD/OPD one.  Our
  // parser skips the rest of the extension data after an unknown id; FFmpeg
  // reads nothing for it and takes the next two bits as another id (so its
  // fill bits may become a second IPD/OPD extension).  Off by default.
  bool unknown_extensions = false;
  // IPD/OPD in the phase bands that reach the sub-subbands of negative
  // centre frequency, whose rotation turns the other way (coded band 0 of
  // 5, bands 0-1 of 11, 0-2 of 17) and, with 34 bands, the band of the
  // first two sub-subbands of QMF band 1 (parameter band 10: coded band 3
  // of 5, 6 of 11, 10 of 17).  Off, they stay 0.
  bool phase_low_bands = true;
  // Frames without IPD/OPD after frames with them.  Off, once a frame
  // carries phase data every later one does (the extension and IID stay on).
  bool phase_gaps = true;
  // Changes between the 10/20- and the 34-band layout once IPD/OPD have
  // been sent.  Off, later headers keep the layout.
  bool phase_layout_switches = true;
};

// What the writer produced so far (coverage of a run).
struct PsWriterStats {
  int64_t frames = 0, headers = 0, mode_changes = 0;
  int64_t iid_mode[6] = {}, icc_mode[6] = {};
  int64_t iid_off = 0, icc_off = 0;
  int64_t num_env[5] = {};         // coded envelopes of fixed-class frames
  int64_t variable = 0;            // frame_class 1 frames
  int64_t open_end = 0;            // variable class with the last border < 32
  int64_t iid_dt = 0, icc_dt = 0;  // time-direction envelopes
  int64_t ext = 0, ipdopd = 0, phase_dt = 0;
  int64_t ext_escape = 0;     // extension sizes of 15 bytes or more
  int64_t unknown_ext = 0;    // extensions with an unknown id after the phases
  int64_t extra_headers = 0;  // headers sent without being asked for
};

class PsWriter {
 public:
  explicit PsWriter(const PsWriterOptions& o = {}) : o_(o) {}

  const PsWriterStats& stats() const { return stats_; }

  // Values of the last envelope written of set 0 (IID), 1 (ICC), 2 (IPD)
  // or 3 (OPD) on its coded bands; nullptr while the set is off.
  const int* Last(int set, int* bands) const {
    const SetState& s = set == 0 ? iid_ : (set == 1 ? icc_ : (set == 2 ? ipd_ : opd_));
    *bands = s.bands;
    return s.valid ? s.v : nullptr;
  }

  // Appends one ps_data(); `header` forces enable_ps_header (the first
  // frame always has one).
  void Write(vxtest::BitWriter& w, std::mt19937& rng, bool header) {
    ++stats_.frames;
    const Modes before = m_;
    const bool send = header || !started_ || Chance(rng, 1, 6);
    if (send) {
      ++stats_.headers;
      if (!header && started_) ++stats_.extra_headers;
      ChooseModes(rng);
      PutHeader(w);
    } else {
      w.Put(0, 1);  // enable_ps_header
    }
    const bool changed = !started_ || !(m_ == before);
    if (started_ && !(m_ == before)) ++stats_.mode_changes;

    // Envelope grid.
    int num_env = 0;
    const bool variable = o_.variable_class && Chance(rng, 1, 2);
    w.Put(variable ? 1 : 0, 1);
    if (variable) {
      ++stats_.variable;
      const int idx = Uniform(rng, 0, 3);
      num_env = idx + 1;
      w.Put(static_cast<uint32_t>(idx), 2);
      // Strictly increasing borders within 1..32, coded minus one; the
      // last one sometimes ends before the frame (an envelope is appended).
      int borders[4];
      const bool open = Chance(rng, 1, 3);
      const int last = open ? Uniform(rng, num_env, 31) : 32;
      if (open) ++stats_.open_end;
      PickBorders(rng, num_env, last, borders);
      for (int e = 0; e < num_env; ++e) w.Put(static_cast<uint32_t>(borders[e] - 1), 5);
    } else {
      static constexpr int kEnv[4] = {0, 1, 2, 4};
      int idx = Uniform(rng, o_.empty_frames && !changed ? 0 : 1, 3);
      num_env = kEnv[idx];
      ++stats_.num_env[num_env];
      w.Put(static_cast<uint32_t>(idx), 2);
    }

    if (m_.enable_iid) {
      const int bands = kParBands[m_.iid_mode];
      const bool fine = m_.iid_mode >= 3;
      const int range = fine ? 15 : 7;
      SetState& s = iid_;
      const bool reuse = s.valid && s.bands == bands && s.fine == fine;
      if (!reuse) Reinit(rng, s, bands, fine, -range, range);
      for (int e = 0; e < num_env; ++e) {
        const bool dt = o_.time_delta && (e > 0 || reuse) && Chance(rng, 1, 2);
        if (dt) ++stats_.iid_dt;
        int ref[34];
        std::copy(s.v, s.v + 34, ref);
        Step(rng, s, -range, range);
        PutSet(w, fine ? 0 : 2, dt, ref, s, false);
      }
      s.valid = true;
    } else {
      iid_.valid = false;
    }
    if (m_.enable_icc) {
      const int bands = kParBands[m_.icc_mode];
      SetState& s = icc_;
      const bool reuse = s.valid && s.bands == bands;
      if (!reuse) Reinit(rng, s, bands, false, 0, 7);
      for (int e = 0; e < num_env; ++e) {
        const bool dt = o_.time_delta && (e > 0 || reuse) && Chance(rng, 1, 2);
        if (dt) ++stats_.icc_dt;
        int ref[34];
        std::copy(s.v, s.v + 34, ref);
        Step(rng, s, 0, 7);
        PutSet(w, 4, dt, ref, s, false);
      }
      s.valid = true;
    } else {
      icc_.valid = false;
    }

    if (m_.enable_ext) {
      ++stats_.ext;
      // An envelope-less frame keeps the phase state of the previous one.
      const bool phase =
          num_env == 0 ? ipd_.valid
                       : (!o_.phase_gaps && phase_started_) || Chance(rng, o_.phase_percent, 100);
      phase_started_ = phase_started_ || phase;
      vxtest::BitWriter ext;
      ext.Put(0, 2);  // ps_extension_id 0
      ext.Put(phase ? 1 : 0, 1);
      if (phase) {
        ++stats_.ipdopd;
        const int bands = kPhaseBands[m_.iid_mode];
        const bool reuse = ipd_.valid && ipd_.bands == bands;
        if (!reuse) {
          Reinit(rng, ipd_, bands, false, 0, 7);
          Reinit(rng, opd_, bands, false, 0, 7);
          ClearLowPhases(ipd_);
          ClearLowPhases(opd_);
        }
        for (int e = 0; e < num_env; ++e) {
          const bool ipd_dt = o_.time_delta && (e > 0 || reuse) && Chance(rng, 1, 2);
          const bool opd_dt = o_.time_delta && (e > 0 || reuse) && Chance(rng, 1, 2);
          stats_.phase_dt += (ipd_dt ? 1 : 0) + (opd_dt ? 1 : 0);
          int ref[34];
          std::copy(ipd_.v, ipd_.v + 34, ref);
          PhaseStep(rng, ipd_);
          ClearLowPhases(ipd_);
          PutSet(ext, 6, ipd_dt, ref, ipd_, true);
          std::copy(opd_.v, opd_.v + 34, ref);
          PhaseStep(rng, opd_);
          ClearLowPhases(opd_);
          PutSet(ext, 8, opd_dt, ref, opd_, true);
        }
        ipd_.valid = opd_.valid = true;
      } else {
        ipd_.valid = opd_.valid = false;
      }
      ext.Put(0, 1);  // reserved_ps
      if (o_.unknown_extensions && Chance(rng, 1, 4)) {
        ++stats_.unknown_ext;
        ext.Put(static_cast<uint32_t>(Uniform(rng, 1, 3)), 2);
        for (int i = Uniform(rng, 1, 40); i > 0; --i) ext.Put(Uniform(rng, 0, 1), 1);
      }
      // Size in bytes, then fewer than 8 fill bits (8 more would be read
      // as another extension).
      const int bytes = static_cast<int>((ext.bits() + 7) / 8);
      if (bytes < 15) {
        w.Put(static_cast<uint32_t>(bytes), 4);
      } else {
        ++stats_.ext_escape;
        w.Put(15, 4).Put(static_cast<uint32_t>(bytes - 15), 8);
      }
      w.Append(ext);
      for (int64_t i = ext.bits(); i < int64_t{bytes} * 8; ++i) w.Put(0, 1);
    } else {
      ipd_.valid = opd_.valid = false;
    }
    started_ = true;
  }

 private:
  static constexpr int kParBands[6] = {10, 20, 34, 10, 20, 34};
  static constexpr int kPhaseBands[6] = {5, 11, 17, 5, 11, 17};

  struct Modes {
    int enable_iid = 0, iid_mode = 0, enable_icc = 0, icc_mode = 0, enable_ext = 0;
    bool operator==(const Modes& b) const {
      return enable_iid == b.enable_iid && iid_mode == b.iid_mode && enable_icc == b.enable_icc &&
             icc_mode == b.icc_mode && enable_ext == b.enable_ext;
    }
  };

  // Values of one set on its coded bands: the last envelope written.
  struct SetState {
    bool valid = false;
    int bands = 0;
    bool fine = false;
    int v[34] = {};
  };

  static bool Chance(std::mt19937& rng, int num, int den) { return Uniform(rng, 0, den - 1) < num; }
  static int Uniform(std::mt19937& rng, int lo, int hi) {
    return std::uniform_int_distribution<int>(lo, hi)(rng);
  }
  static int Clamp(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

  int PickMode(std::mt19937& rng, bool fine_allowed) const {
    for (;;) {
      const int mode = Uniform(rng, 0, 5);
      if (!o_.bands34 && (mode == 2 || mode == 5)) continue;
      if (!fine_allowed && mode >= 3) continue;
      return mode;
    }
  }

  static bool Layout34(const Modes& m) {
    return (m.enable_iid && m.iid_mode % 3 == 2) || (m.enable_icc && m.icc_mode % 3 == 2);
  }

  void ChooseModes(std::mt19937& rng) {
    if (started_ && (!o_.mode_changes || Chance(rng, 1, 2))) return;  // repeat the header
    const Modes before = m_;
    for (int attempt = 0; attempt < 64; ++attempt) {
      PickModes(rng);
      if (o_.phase_layout_switches || !phase_started_ || Layout34(m_) == Layout34(before)) break;
      m_ = before;  // gives up on a change after 64 attempts
    }
    if (m_.enable_iid) ++stats_.iid_mode[m_.iid_mode];
    if (m_.enable_icc) ++stats_.icc_mode[m_.icc_mode];
    if (!m_.enable_iid) ++stats_.iid_off;
    if (!m_.enable_icc) ++stats_.icc_off;
  }

  void PickModes(std::mt19937& rng) {
    const bool keep_phase = !o_.phase_gaps && phase_started_;
    m_.enable_iid = o_.disable_sets && !keep_phase ? (Chance(rng, 7, 8) ? 1 : 0) : 1;
    m_.enable_icc = o_.disable_sets ? (Chance(rng, 7, 8) ? 1 : 0) : 1;
    m_.iid_mode = m_.enable_iid ? PickMode(rng, o_.fine_iid) : m_.iid_mode;
    m_.icc_mode = m_.enable_icc ? PickMode(rng, o_.mixing2) : m_.icc_mode;
    m_.enable_ext = keep_phase || (o_.ipdopd && m_.enable_iid && Chance(rng, 2, 3)) ? 1 : 0;
  }

  void PutHeader(vxtest::BitWriter& w) const {
    w.Put(1, 1).Put(static_cast<uint32_t>(m_.enable_iid), 1);
    if (m_.enable_iid) w.Put(static_cast<uint32_t>(m_.iid_mode), 3);
    w.Put(static_cast<uint32_t>(m_.enable_icc), 1);
    if (m_.enable_icc) w.Put(static_cast<uint32_t>(m_.icc_mode), 3);
    w.Put(static_cast<uint32_t>(m_.enable_ext), 1);
  }

  // `n` strictly increasing borders, the last one `last`.
  static void PickBorders(std::mt19937& rng, int n, int last, int* borders) {
    borders[n - 1] = last;
    for (int e = n - 2; e >= 0; --e) {
      // Room for e + 1 borders of at least one slot below the next one.
      borders[e] = Uniform(rng, e + 1, borders[e + 1] - 1);
    }
  }

  // A fresh smooth set: a random walk across the bands.
  static void Reinit(std::mt19937& rng, SetState& s, int bands, bool fine, int lo, int hi) {
    s.valid = false;
    s.bands = bands;
    s.fine = fine;
    int v = Uniform(rng, lo, hi) / 2 + (lo + hi) / 4;
    for (int b = 0; b < bands; ++b) {
      v = Clamp(v + Uniform(rng, -1, 1), lo, hi);
      s.v[b] = v;
    }
  }

  // The next envelope: every band moves by a small random step, now and
  // then a larger one, within the legal range.
  static void Step(std::mt19937& rng, SetState& s, int lo, int hi) {
    const int big = (hi - lo) / 3;
    for (int b = 0; b < s.bands; ++b) {
      const int d = Chance(rng, 1, 10) ? Uniform(rng, -big, big) : Uniform(rng, -1, 1);
      s.v[b] = Clamp(s.v[b] + d, lo, hi);
    }
  }
  void ClearLowPhases(SetState& s) const {
    if (o_.phase_low_bands) return;
    const int low = s.bands == 5 ? 1 : (s.bands == 11 ? 2 : 3);
    for (int b = 0; b < low; ++b) s.v[b] = 0;
    const bool layout34 =
        (m_.enable_iid && m_.iid_mode % 3 == 2) || (m_.enable_icc && m_.icc_mode % 3 == 2);
    if (layout34) s.v[s.bands == 5 ? 3 : (s.bands == 11 ? 6 : 10)] = 0;
  }
  static void PhaseStep(std::mt19937& rng, SetState& s) {
    for (int b = 0; b < s.bands; ++b) {
      const int d = Chance(rng, 1, 6) ? Uniform(rng, 0, 7) : Uniform(rng, -1, 1);
      s.v[b] = (s.v[b] + d) & 7;
    }
  }

  // Direction bit and the deltas of the set's values: against `ref`, the
  // envelope before (time), or the band below (frequency, 0 below band 0).
  static void PutSet(vxtest::BitWriter& w, int list, bool dt, const int* ref, const SetState& s,
                     bool phase) {
    w.Put(dt ? 1 : 0, 1);
    int below = 0;
    for (int b = 0; b < s.bands; ++b) {
      int delta = dt ? s.v[b] - ref[b] : s.v[b] - below;
      if (phase) delta &= 7;
      PutCode(w, list + (dt ? 1 : 0), delta);
      below = s.v[b];
    }
  }

  static void PutCode(vxtest::BitWriter& w, int list, int delta) {
    const PsHuffmanList& l = kPsHuffmanLists[list];
    for (int32_t i = 0; i < l.count; ++i) {
      if (l.codes[i].value == delta) {
        w.Put(static_cast<uint32_t>(l.codes[i].code), l.codes[i].length);
        return;
      }
    }
    // Deltas stay within every list's range by construction.
    __builtin_trap();
  }

  PsWriterOptions o_;
  PsWriterStats stats_;
  Modes m_;
  bool started_ = false;
  bool phase_started_ = false;
  SetState iid_, icc_, ipd_, opd_;
};

}  // namespace hesynth
