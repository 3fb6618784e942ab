// The synthetic-stream PS writer against our parser: every ps_data() it
// produces parses, is consumed to the last bit, and decodes to the values
// the writer meant; over many frames it reaches every mode and coding
// choice its options allow and none they exclude.
#include "tools/vxaac-hesynth/ps_writer.h"

#include <gtest/gtest.h>

#include <random>

#include "ps/ps_test_util.h"

namespace {

struct Case {
  const char* name;
  hesynth::PsWriterOptions o;
};

hesynth::PsWriterOptions All() {
  hesynth::PsWriterOptions o;
  o.unknown_extensions = true;
  return o;
}
hesynth::PsWriterOptions Restricted() {
  hesynth::PsWriterOptions o;
  o.bands34 = o.fine_iid = o.mixing2 = o.ipdopd = o.variable_class = false;
  return o;
}

// Writes `frames` frames of one seed, a header every eighth frame, checking
// each parse; `stats` receives the writer's statistics.
void WriteAndParse(const hesynth::PsWriterOptions& o, uint32_t seed, int frames,
                   hesynth::PsWriterStats* stats = nullptr) {
  hesynth::PsWriter writer(o);
  std::mt19937 rng(seed);
  auto ps = ps_test::MakeState(411);
  for (int f = 0; f < frames; ++f) {
    ps_test::BitWriter w;
    writer.Write(w, rng, f % 8 == 0);
    int64_t consumed = 0;
    ASSERT_EQ(ps_test::Parse(*ps, w, -1, &consumed), 0) << "seed " << seed << " frame " << f;
    ASSERT_EQ(consumed, w.bits()) << "seed " << seed << " frame " << f;
    // The last envelope on the parser's grid (coarse data repeated).
    for (int set = 0; set < 4; ++set) {
      int bands = 0;
      const int* v = writer.Last(set, &bands);
      if (!v || (set >= 2 && !ps->enable_ipdopd)) continue;
      const int16_t* got = set == 0   ? ps->iidIndexPrev
                           : set == 1 ? ps->iccIndexPrev
                           : set == 2 ? ps->ipdIndexPrev
                                      : ps->opdIndexPrev;
      const int step = (bands == 10 || bands == 5) ? 2 : 1;
      for (int b = 0; b < bands; ++b)
        ASSERT_EQ(got[step * b], v[b]) << "seed " << seed << " frame " << f << " set " << set;
    }
  }
  if (stats) *stats = writer.stats();
}

TEST(PsWriter, EveryFrameParsesExactlyToTheWrittenValues) {
  for (const Case& c : {Case{"all", All()}, Case{"restricted", Restricted()}}) {
    SCOPED_TRACE(c.name);
    for (uint32_t seed = 1; seed <= 40; ++seed) WriteAndParse(c.o, seed, 64);
  }
}

// All features on: every mode, both frame classes, every fixed-class
// envelope count, time direction in every set and the phase extension.
TEST(PsWriter, CoversEveryFeature) {
  hesynth::PsWriterStats t;
  for (uint32_t seed = 100; seed < 120; ++seed) {
    hesynth::PsWriterStats s;
    WriteAndParse(All(), seed, 64, &s);
    for (int m = 0; m < 6; ++m) {
      t.iid_mode[m] += s.iid_mode[m];
      t.icc_mode[m] += s.icc_mode[m];
    }
    for (int e = 0; e < 5; ++e) t.num_env[e] += s.num_env[e];
    t.iid_off += s.iid_off;
    t.icc_off += s.icc_off;
    t.variable += s.variable;
    t.open_end += s.open_end;
    t.iid_dt += s.iid_dt;
    t.icc_dt += s.icc_dt;
    t.phase_dt += s.phase_dt;
    t.ipdopd += s.ipdopd;
    t.ext += s.ext;
    t.ext_escape += s.ext_escape;
    t.unknown_ext += s.unknown_ext;
    t.mode_changes += s.mode_changes;
    t.extra_headers += s.extra_headers;
  }
  for (int m = 0; m < 6; ++m) {
    EXPECT_GT(t.iid_mode[m], 0) << m;
    EXPECT_GT(t.icc_mode[m], 0) << m;
  }
  for (int e : {0, 1, 2, 4}) EXPECT_GT(t.num_env[e], 0) << e;
  EXPECT_GT(t.iid_off, 0);
  EXPECT_GT(t.icc_off, 0);
  EXPECT_GT(t.variable, 0);
  EXPECT_GT(t.open_end, 0);
  EXPECT_GT(t.iid_dt, 0);
  EXPECT_GT(t.icc_dt, 0);
  EXPECT_GT(t.phase_dt, 0);
  EXPECT_GT(t.ext, t.ipdopd);  // the extension also without phase data
  EXPECT_GT(t.ipdopd, 0);
  EXPECT_GT(t.ext_escape, 0);
  EXPECT_GT(t.unknown_ext, 0);
  EXPECT_GT(t.mode_changes, 0);
  EXPECT_GT(t.extra_headers, 0);
}

// Restrictions hold: coarse 10/20-band data, the first mixing procedure,
// fixed class, no extension, one set of modes for the whole stream.
TEST(PsWriter, OptionsRestrictTheFeatures) {
  hesynth::PsWriterOptions o = Restricted();
  o.time_delta = o.mode_changes = o.disable_sets = false;
  for (uint32_t seed = 1; seed <= 20; ++seed) {
    hesynth::PsWriterStats s;
    WriteAndParse(o, seed, 32, &s);
    for (int m : {2, 3, 4, 5}) {
      EXPECT_EQ(s.iid_mode[m], 0) << m;
      EXPECT_EQ(s.icc_mode[m], 0) << m;
    }
    EXPECT_EQ(s.iid_off + s.icc_off + s.variable + s.ext + s.iid_dt + s.icc_dt + s.mode_changes, 0);
  }
}

// The options that keep FFmpeg's departures out: no phases in the lowest
// coded phase bands, no frame without phase data once they started, one
// layout from then on.
TEST(PsWriter, PhaseRestrictionsHold) {
  hesynth::PsWriterOptions o;
  o.phase_low_bands = o.phase_gaps = o.phase_layout_switches = false;
  int64_t phase_frames = 0;
  for (uint32_t seed = 1; seed <= 30; ++seed) {
    hesynth::PsWriter writer(o);
    std::mt19937 rng(seed);
    auto ps = ps_test::MakeState(411);
    bool started = false;
    int32_t layout = 0;
    for (int f = 0; f < 48; ++f) {
      ps_test::BitWriter w;
      writer.Write(w, rng, f % 8 == 0);
      ASSERT_EQ(ps_test::Parse(*ps, w), 0);
      if (started) {
        EXPECT_TRUE(ps->enable_ipdopd) << "seed " << seed << " frame " << f;
        EXPECT_EQ(ps->numBandsLayout, layout) << "seed " << seed << " frame " << f;
      }
      if (!ps->enable_ipdopd) continue;
      ++phase_frames;
      started = true;
      layout = ps->numBandsLayout;
      for (int e = 0; e < ps->num_env; ++e) {
        for (int b = 0; b < (layout == kPsLayout34 ? 3 : 2); ++b) {
          EXPECT_EQ(ps->ipdIndex[e][b], 0);
          EXPECT_EQ(ps->opdIndex[e][b], 0);
        }
        if (layout == kPsLayout34) {
          EXPECT_EQ(ps->ipdIndex[e][10], 0);
          EXPECT_EQ(ps->opdIndex[e][10], 0);
        }
      }
    }
  }
  EXPECT_GT(phase_frames, 500);
}

}  // namespace
