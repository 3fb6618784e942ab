// Temporal noise shaping: tns_data() parsing, filter ranges and limits, and
// the filter output against a lattice implementation of the standard's
// equations, alone and in a decoded stream.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "aac/channel_stream.h"
#include "common/stream_decode.h"
#include "tests/aac/ics_test_util.h"

using namespace ics_test;

namespace {

struct FilterSpec {
  int length;
  int order;
  int direction;
  int compress;
  std::vector<int> coef;  // raw fields
};

// One window's tns_data() for long (short = false) or short windows.
void PutWindow(BitWriter& w, bool short_window, int coef_res,
               const std::vector<FilterSpec>& filters) {
  w.Put(static_cast<uint32_t>(filters.size()), short_window ? 1 : 2);
  if (filters.empty()) return;
  w.Put(coef_res, 1);
  for (const FilterSpec& f : filters) {
    w.Put(f.length, short_window ? 4 : 6).Put(f.order, short_window ? 3 : 5);
    if (!f.order) continue;
    w.Put(f.direction, 1).Put(f.compress, 1);
    for (int c : f.coef) w.Put(static_cast<uint32_t>(c), 3 + coef_res - f.compress);
  }
}

std::unique_ptr<ChannelStream> Stream(int32_t object_type, int32_t sequence, int32_t max_sfb) {
  auto s = std::make_unique<ChannelStream>();
  EXPECT_EQ(InitChannelStream(*s, kSf44100, object_type), 0);
  s->window_sequence = sequence;
  s->num_windows = sequence == EIGHT_SHORT_SEQUENCE ? 8 : 1;
  s->max_sfb = max_sfb;
  s->tns_data_present = 1;
  return s;
}

double Reflection(int raw, int bits, int coef_res) {
  const int c = raw >= (1 << (bits - 1)) ? raw - (1 << bits) : raw;
  const double h = std::pow(2.0, coef_res + 3 - 1);
  const double d = c >= 0 ? h - 0.5 : h + 0.5;
  return std::sin(c / d * M_PI / 2);
}

// The standard's all-pole lattice (zero initial state) over `size` lines
// walking by `step`, in double precision.
void LatticeFilter(double* x, int size, int step, const std::vector<double>& k) {
  const int p = static_cast<int>(k.size());
  std::vector<double> b(p + 1, 0.0);  // b[m]: backward residual of stage m, previous line
  for (int n = 0; n < size; ++n) {
    double f = x[n * step];
    std::vector<double> nb(p + 1);
    for (int m = p; m >= 1; --m) {
      f -= k[m - 1] * b[m - 1];
      nb[m] = b[m - 1] + k[m - 1] * f;
    }
    nb[0] = f;
    b = nb;
    x[n * step] = f;
  }
}

TEST(Tns, ParsesLongAndShortSideInformation) {
  auto s = Stream(kObjectLc, ONLY_LONG_SEQUENCE, 40);
  BitWriter w;
  PutWindow(w, false, 1, {{20, 4, 1, 0, {1, 15, 8, 7}}, {10, 0, 0, 0, {}}, {5, 2, 0, 1, {2, 5}}});
  w.Put(1, 1);
  PaddedStream in(w);
  ASSERT_EQ(DecodeTnsData(*s, in.reader), 0);
  EXPECT_EQ(in.reader.pos, w.bits() - 1);
  const TnsData& t = s->tns;
  EXPECT_EQ(t.n_filt[0], 3);
  EXPECT_EQ(t.coef_res[0], 1);
  EXPECT_EQ(t.length[0][0], 20);
  EXPECT_EQ(t.order[0][0], 4);
  EXPECT_EQ(t.direction[0][0], 1);
  EXPECT_EQ(t.coef[0][0][1], 15);
  EXPECT_EQ(t.order[0][1], 0);
  EXPECT_EQ(t.coef_compress[0][2], 1);
  EXPECT_EQ(t.coef[0][2][1], 5);

  auto sh = Stream(kObjectLc, EIGHT_SHORT_SEQUENCE, 14);
  BitWriter ws;
  for (int win = 0; win < 8; ++win) {
    if (win % 2) {
      PutWindow(ws, true, 0, {{15, 7, 0, 0, {1, 2, 3, 4, 5, 6, 7}}});
    } else {
      PutWindow(ws, true, 0, {});
    }
  }
  PaddedStream ins(ws);
  ASSERT_EQ(DecodeTnsData(*sh, ins.reader), 0);
  EXPECT_EQ(ins.reader.pos, ws.bits());
  EXPECT_EQ(sh->tns.n_filt[0], 0);
  EXPECT_EQ(sh->tns.n_filt[7], 1);
  EXPECT_EQ(sh->tns.order[7][0], 7);
  EXPECT_EQ(sh->tns.coef[7][0][6], 7);
}

TEST(Tns, ReflectionCoefficientsFollowTheQuantiser) {
  // Order 1: lpc[1] is the reflection coefficient itself.
  for (int coef_res = 0; coef_res < 2; ++coef_res) {
    for (int compress = 0; compress < 2; ++compress) {
      const int bits = 3 + coef_res - compress;
      for (int raw = 0; raw < (1 << bits); ++raw) {
        auto s = Stream(kObjectLc, ONLY_LONG_SEQUENCE, 49);
        BitWriter w;
        PutWindow(w, false, coef_res, {{49, 1, 0, compress, {raw}}});
        PaddedStream in(w);
        ASSERT_EQ(DecodeTnsData(*s, in.reader), 0);
        TnsFilterSet set;
        PrepareTns(*s, &set);
        ASSERT_EQ(set.filter[0][0].order, 1);
        EXPECT_NEAR(set.filter[0][0].lpc[1], Reflection(raw, bits, coef_res), 1e-6)
            << coef_res << " " << compress << " " << raw;
      }
    }
  }
}

TEST(Tns, FilterRangesAndLimits) {
  const int32_t* off = nullptr;
  {  // two filters from the top; LC at 44.1 kHz allows 42 bands, max_sfb 40 limits
    auto s = Stream(kObjectLc, ONLY_LONG_SEQUENCE, 40);
    off = s->bands.swb_offset_long;
    BitWriter w;
    PutWindow(w, false, 0, {{20, 2, 0, 0, {1, 2}}, {10, 1, 1, 0, {3}}});
    PaddedStream in(w);
    ASSERT_EQ(DecodeTnsData(*s, in.reader), 0);
    TnsFilterSet set;
    PrepareTns(*s, &set);
    ASSERT_EQ(set.n_filt[0], 2);
    const TnsFilter& f0 = set.filter[0][0];  // bands 29..48 limited to 29..39
    EXPECT_EQ(f0.order, 2);
    EXPECT_EQ(f0.start, off[29]);
    EXPECT_EQ(f0.size, off[40] - off[29]);
    EXPECT_EQ(f0.step, 1);
    const TnsFilter& f1 = set.filter[0][1];  // bands 19..28, downward from the top line
    EXPECT_EQ(f1.order, 1);
    EXPECT_EQ(f1.step, -1);
    EXPECT_EQ(f1.start, off[29] - 1);
    EXPECT_EQ(f1.size, off[29] - off[19]);
  }
  {  // length beyond the band count reaches line 0; a range above max_sfb is skipped
    auto s = Stream(kObjectLc, ONLY_LONG_SEQUENCE, 5);
    BitWriter w;
    PutWindow(w, false, 0, {{63, 1, 0, 0, {1}}});
    PaddedStream in(w);
    ASSERT_EQ(DecodeTnsData(*s, in.reader), 0);
    TnsFilterSet set;
    PrepareTns(*s, &set);
    EXPECT_EQ(set.filter[0][0].start, 0);
    EXPECT_EQ(set.filter[0][0].size, off[5]);

    BitWriter w2;
    PutWindow(w2, false, 0, {{10, 1, 0, 0, {1}}});  // bands 39..48, max_sfb 5
    PaddedStream in2(w2);
    ASSERT_EQ(DecodeTnsData(*s, in2.reader), 0);
    PrepareTns(*s, &set);
    EXPECT_EQ(set.filter[0][0].order, 0);
  }
  {  // order 15: LC keeps 12 (all 15 fields read), Main keeps 15
    std::vector<int> coef(15, 1);
    for (int32_t object : {kObjectLc, kObjectMain}) {
      auto s = Stream(object, ONLY_LONG_SEQUENCE, 49);
      BitWriter w;
      PutWindow(w, false, 0, {{30, 15, 0, 0, coef}});
      w.Put(5, 3);
      PaddedStream in(w);
      ASSERT_EQ(DecodeTnsData(*s, in.reader), 0);
      EXPECT_EQ(UMC::BitReaderRead(in.reader, 3), 5u);
      TnsFilterSet set;
      PrepareTns(*s, &set);
      EXPECT_EQ(set.filter[0][0].order, object == kObjectLc ? 12 : 15);
    }
  }
  {  // order 31 in the stream with Main: cut to 20, coefficients of two filters kept apart
    auto s = Stream(kObjectMain, ONLY_LONG_SEQUENCE, 49);
    std::vector<int> a(31, 2), b(20, 14);
    BitWriter w;
    PutWindow(w, false, 1, {{20, 31, 0, 0, a}, {20, 20, 0, 0, b}});
    PaddedStream in(w);
    ASSERT_EQ(DecodeTnsData(*s, in.reader), 0);
    TnsFilterSet set;
    PrepareTns(*s, &set);
    EXPECT_EQ(set.filter[0][0].order, 20);
    EXPECT_EQ(set.filter[0][1].order, 20);
    EXPECT_NE(set.filter[0][0].lpc[20], set.filter[0][1].lpc[20]);
  }
  {  // short windows: per-window filters over the short band table
    auto s = Stream(kObjectLc, EIGHT_SHORT_SEQUENCE, 14);
    const int32_t* so = s->bands.swb_offset_short;
    BitWriter w;
    for (int win = 0; win < 8; ++win) PutWindow(w, true, 0, {{4, win == 3 ? 2 : 0, 0, 0, {1, 1}}});
    PaddedStream in(w);
    ASSERT_EQ(DecodeTnsData(*s, in.reader), 0);
    TnsFilterSet set;
    PrepareTns(*s, &set);
    EXPECT_EQ(set.num_windows, 8);
    EXPECT_EQ(set.filter[0][0].order, 0);
    EXPECT_EQ(set.filter[3][0].order, 2);
    EXPECT_EQ(set.filter[3][0].start, so[10]);
    EXPECT_EQ(set.filter[3][0].size, so[14] - so[10]);
  }
  {  // absent TNS: nothing prepared, nothing filtered
    auto s = Stream(kObjectLc, ONLY_LONG_SEQUENCE, 49);
    s->tns_data_present = 0;
    TnsFilterSet set;
    PrepareTns(*s, &set);
    EXPECT_EQ(set.present, 0);
    std::vector<float> x(1024, 1.0f);
    ApplyTns(set, x.data());
    for (float v : x) ASSERT_EQ(v, 1.0f);
  }
}

TEST(Tns, FilterMatchesTheLattice) {
  std::mt19937 rng(7);
  // Raw 4-bit fields -4..3 (|k| <= 0.8): filters as encoders send them, whose
  // gain keeps single-precision rounding small.
  std::uniform_int_distribution<int> raw(-4, 3);
  std::uniform_real_distribution<float> value(-1000.0f, 1000.0f);
  for (int trial = 0; trial < 40; ++trial) {
    const bool short_windows = trial % 4 == 3;
    const int32_t object = trial % 2 ? kObjectMain : kObjectLc;
    auto s = Stream(object, short_windows ? EIGHT_SHORT_SEQUENCE : ONLY_LONG_SEQUENCE,
                    short_windows ? 14 : 49);
    const int max_order = short_windows ? 7 : (object == kObjectMain ? 20 : 12);
    BitWriter w;
    std::vector<std::vector<FilterSpec>> per_window(s->num_windows);
    for (int win = 0; win < s->num_windows; ++win) {
      const int filters = short_windows ? 1 : 1 + trial % 3;
      for (int f = 0; f < filters; ++f) {
        FilterSpec spec{short_windows ? 3 + f : 12 + 5 * f,
                        1 + (trial + 3 * f) % max_order,
                        (trial + f) % 2,
                        0,
                        {}};
        for (int i = 0; i < spec.order; ++i) spec.coef.push_back(raw(rng) & 15);
        per_window[win].push_back(spec);
      }
      PutWindow(w, short_windows, 1, per_window[win]);
    }
    PaddedStream in(w);
    ASSERT_EQ(DecodeTnsData(*s, in.reader), 0);
    TnsFilterSet set;
    PrepareTns(*s, &set);

    std::vector<float> x(1024);
    for (float& v : x) v = value(rng);
    std::vector<double> ref(x.begin(), x.end());
    ApplyTns(set, x.data());
    for (int win = 0; win < s->num_windows; ++win) {
      for (size_t f = 0; f < per_window[win].size(); ++f) {
        const TnsFilter& tf = set.filter[win][f];
        if (tf.order == 0) continue;
        std::vector<double> k;
        for (int c : per_window[win][f].coef) k.push_back(Reflection(c, 4, 1));
        LatticeFilter(ref.data() + 128 * win + tf.start, tf.size, tf.step, k);
      }
    }
    double err = 0.0, mag = 0.0;
    for (int i = 0; i < 1024; ++i) {
      err = std::max(err, std::abs(ref[i] - x[i]));
      mag = std::max(mag, std::abs(ref[i]));
    }
    EXPECT_LT(err, 2e-5 * mag) << "trial " << trial;
  }
}

TEST(Tns, SteepFiltersStayAccurate) {
  // Filters an encoder sent for a full-scale onset (raw 4-bit fields of two
  // LC order-12 filters and a Main order-19 one): reflection coefficients
  // alternating near +-0.7 give direct-form values up to 14.5, and the sums
  // cancel terms ten times larger than their result.  Rounding the
  // coefficients or the sums to float cost up to 1e-4 of the output (1.8 LSB
  // in the decoded onset).
  const std::vector<std::vector<int>> filters = {
      {13, 4, 12, 4, 12, 4, 13, 3, 0, 0, 0, 1},
      {13, 4, 12, 4, 12, 4, 12, 3, 15, 0, 1, 1},
      {13, 4, 12, 4, 12, 4, 12, 3, 15, 0, 1, 1, 0, 0, 1, 0, 0, 0, 1}};
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> value(-8e5f, 8e5f);
  for (const std::vector<int>& coef : filters) {
    const int32_t object = coef.size() > 12 ? kObjectMain : kObjectLc;
    auto s = Stream(object, ONLY_LONG_SEQUENCE, 40);
    BitWriter w;
    PutWindow(w, false, 1, {{32, static_cast<int>(coef.size()), 0, 0, coef}});
    PaddedStream in(w);
    ASSERT_EQ(DecodeTnsData(*s, in.reader), 0);
    TnsFilterSet set;
    PrepareTns(*s, &set);
    const TnsFilter& tf = set.filter[0][0];
    ASSERT_EQ(tf.order, static_cast<int32_t>(coef.size()));

    std::vector<float> x(1024);
    for (float& v : x) v = value(rng);
    std::vector<double> ref(x.begin(), x.end());
    ApplyTns(set, x.data());
    std::vector<double> k;
    for (int c : coef) k.push_back(Reflection(c, 4, 1));
    LatticeFilter(ref.data() + tf.start, tf.size, tf.step, k);
    double err = 0.0, mag = 0.0;
    for (int i = 0; i < 1024; ++i) {
      err = std::max(err, std::abs(ref[i] - x[i]));
      mag = std::max(mag, std::abs(ref[i]));
    }
    EXPECT_LT(err, 1e-6 * mag) << "order " << coef.size() << ": " << err / mag;
  }
}

// One ONLY_LONG mono frame in double precision up to the overlap: the
// library's parser and inverse quantisation, TNS by the lattice, and the
// inverse MDCT x[n] = 2/N sum X[k] cos(2 pi/N (n + n0)(k + 1/2)).
struct ModelFrame {
  int32_t sequence = -1;
  int32_t shape = 0;
  std::vector<double> time;  // 2048 samples, unwindowed
};

ModelFrame ModelLongFrame(const std::vector<uint8_t>& payload, int32_t sf_index) {
  ModelFrame m;
  auto s = std::make_unique<ChannelStream>();
  EXPECT_EQ(InitChannelStream(*s, sf_index, kObjectLc), 0);
  PaddedStream in(payload);
  if (UMC::BitReaderRead(in.reader, 7) >> 4 != 0) return m;  // not ID_SCE (the encoder's fill)
  EXPECT_EQ(DecodeChannelStream(*s, in.reader, 0, kObjectLc, SharedBooks().tables), 0);
  m.sequence = s->window_sequence;
  m.shape = s->window_shape;
  if (m.sequence != ONLY_LONG_SEQUENCE) return m;
  if (s->pulse_data_present) ApplyPulses(*s);
  std::vector<float> spectrum(1024);
  InverseQuantise(*s, spectrum.data());
  std::vector<double> x(spectrum.begin(), spectrum.end());
  TnsFilterSet set;
  PrepareTns(*s, &set);
  for (int f = 0; set.present && f < set.n_filt[0]; ++f) {
    const TnsFilter& tf = set.filter[0][f];
    const int bits = 3 + s->tns.coef_res[0] - s->tns.coef_compress[0][f];
    std::vector<double> k;
    for (int i = 0; i < tf.order; ++i)
      k.push_back(Reflection(s->tns.coef[0][f][i], bits, s->tns.coef_res[0]));
    if (tf.order > 0) LatticeFilter(x.data() + tf.start, tf.size, tf.step, k);
  }
  // (n + n0)(k + 1/2) = (2n + 1025)(2k + 1) / 4: one table of 4N cosines.
  std::vector<double> cosine(8192);
  for (int p = 0; p < 8192; ++p) cosine[p] = std::cos(2.0 * M_PI * p / 8192.0);
  m.time.assign(2048, 0.0);
  for (int n = 0; n < 2048; ++n) {
    double sum = 0.0;
    for (int k = 0; k < 1024; ++k) {
      if (x[k] != 0.0) sum += x[k] * cosine[((2 * n + 1025) * (2 * k + 1)) & 8191];
    }
    m.time[n] = sum * 2.0 / 2048.0;
  }
  return m;
}

TEST(Tns, SteepFilterStreamDecodesToTheRoundedExactOutput) {
  // Tones near full scale, frames 4-13 shaped by a steep order-12 filter
  // (tests/data/aac_tools/README.md).  Where a frame and the one before are
  // ONLY_LONG, every sample must be the double-precision decode rounded:
  // with float filter coefficients and sums it was up to 3.0 LSB away.
  const std::vector<uint8_t> stream =
      vxtest::ReadBytes(std::string(VX_TEST_DATA_DIR) + "/aac_tools/lc_44k_mo_tns_steep.aac");
  ASSERT_GT(stream.size(), 7u);
  const vxtest::StreamDecode d = vxtest::DecodeStream(stream);
  ASSERT_EQ(d.channels, 1);
  int32_t bank_size = 0;
  ASSERT_EQ(FilterBankGetSize(kFilterBankInverse, kObjectLc, &bank_size), 0);
  std::vector<uint8_t> bank_memory(static_cast<size_t>(bank_size));
  auto bank = std::make_unique<FilterBank>();
  ASSERT_EQ(InitFilterBank(*bank, bank_memory.data(), kFilterBankInverse, kObjectLc), 0);

  std::vector<ModelFrame> frames;
  for (size_t pos = 0; pos + 7 <= stream.size();) {
    const uint8_t* h = &stream[pos];
    const size_t length = (size_t{h[3] & 3u} << 11) | (size_t{h[4]} << 3) | (h[5] >> 5);
    ASSERT_TRUE(h[1] & 1) << "unprotected frames expected";
    ASSERT_LE(pos + length, stream.size());
    frames.push_back(ModelLongFrame(std::vector<uint8_t>(h + 7, h + length), (h[2] >> 2) & 15));
    pos += length;
  }
  ASSERT_EQ(d.pcm.size(), frames.size() * 1024);
  double worst = 0.0, peak = 0.0;
  int compared = 0;
  for (size_t f = 1; f < frames.size(); ++f) {
    if (frames[f].sequence != ONLY_LONG_SEQUENCE || frames[f - 1].sequence != ONLY_LONG_SEQUENCE)
      continue;
    const float* w = bank->long_window[frames[f - 1].shape & 1];
    for (int n = 0; n < 1024; ++n) {
      const double y = w[n] * frames[f].time[n] + w[1024 + n] * frames[f - 1].time[1024 + n];
      worst = std::max(worst, std::abs(d.pcm[f * 1024 + n] - y));
      peak = std::max(peak, std::abs(y));
    }
    ++compared;
  }
  EXPECT_GE(compared, 12);
  EXPECT_GT(peak, 20000.0);  // loud enough for the filter's rounding to show
  EXPECT_LT(peak, 32767.0);  // and never clipped
  EXPECT_LE(worst, 0.55);
}

}  // namespace
