// Coupling channel elements in whole access units: the coupled output must
// equal the sum of separately decoded channels (the synthesis is linear), for
// every coupling point, channel selection and gain form.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "tests/aac/frame_builder.h"

using namespace ics_test;
using namespace frame_test;

namespace {

constexpr Quad kX = {12, -7, 3, 16};
constexpr Quad kXr = {-5, 9, 0, -14};
constexpr Quad kY = {4, 11, -13, 2};

struct Target {
  bool cpe;
  int tag;
  int cc_lr;  // 2 cc_l + cc_r
};

struct Cce {
  int ind_sw = 0;
  int domain = 0;
  int sign = 0;
  int scale = 0;
  std::vector<Target> targets = {{false, 0, 0}};
  // Gains of the lists after the first: a common gain, or one per-band value.
  std::vector<std::pair<bool, int>> gains;
};

void PutCce(BitWriter& w, const Cce& c, const Quad& q) {
  w.Put(ID_CCE, 3).Put(0, 4).Put(static_cast<uint32_t>(c.ind_sw), 1);
  w.Put(static_cast<uint32_t>(c.targets.size() - 1), 3);
  for (const Target& t : c.targets) {
    w.Put(t.cpe, 1).Put(static_cast<uint32_t>(t.tag), 4);
    if (t.cpe) w.Put(static_cast<uint32_t>(t.cc_lr), 2);
  }
  w.Put(static_cast<uint32_t>(c.domain), 1)
      .Put(static_cast<uint32_t>(c.sign), 1)
      .Put(static_cast<uint32_t>(c.scale), 2);
  PutIcs(w, q);
  for (const auto& [common, value] : c.gains) {
    if (!c.ind_sw) w.Put(common, 1);
    PutScalefactorDelta(w, value);  // common gain, or the only band's value
  }
}

double Rms(const std::vector<int>& v) {
  double e = 0;
  for (int x : v) e += double{1} * x * x;
  return v.empty() ? 0 : std::sqrt(e / static_cast<double>(v.size()));
}

// got == sum of the parts, to the rounding of each 16-bit output.
void ExpectSum(const std::vector<int>& got, const std::vector<std::vector<int>>& parts,
               const char* what) {
  for (const auto& p : parts) ASSERT_EQ(p.size(), got.size()) << what;
  int worst = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    int sum = 0;
    for (const auto& p : parts) sum += p[i];
    worst = std::max(worst, std::abs(got[i] - sum));
  }
  EXPECT_LE(worst, static_cast<int>(parts.size())) << what;
}

std::vector<int> Mono(const Quad& q, int global_gain = kGain) {
  BitWriter w;
  PutSce(w, 0, q, global_gain);
  w.Put(ID_END, 3);
  const Decoded d = Decode(1, w);
  EXPECT_EQ(d.channels, 1);
  return Channel(d, 0);
}

TEST(Coupling, EveryPointAddsTheCouplingChannelToAnSce) {
  const std::vector<int> x = Mono(kX), y = Mono(kY);
  ASSERT_GT(Rms(x), 50.0);
  ASSERT_GT(Rms(y), 50.0);
  // Main streams without predictor data decode the same channels, with the
  // coupling channel running its own predictor.
  for (int object_type : {kObjectLc, kObjectMain}) {
    // (ind_sw_cce_flag, cc_domain): before TNS, after TNS, after the filter bank.
    for (const auto& [ind_sw, domain] : {std::pair{0, 0}, std::pair{0, 1}, std::pair{1, 0}}) {
      Cce c;
      c.ind_sw = ind_sw;
      c.domain = domain;
      BitWriter w;
      PutSce(w, 0, kX);
      PutCce(w, c, kY);
      w.Put(ID_END, 3);
      const Decoded d = Decode(1, w, 3, object_type);
      for (UMC::Status st : d.status) ASSERT_EQ(st, UMC::StatusOk);
      ExpectSum(Channel(d, 0), {x, y}, ind_sw ? "time domain" : "spectral");
    }
  }
}

TEST(Coupling, CpeChannelSelectionAndGainLists) {
  const std::vector<int> xl = Mono(kX), xr = Mono(kXr), y = Mono(kY);
  const std::vector<int> half_y = Mono(kY, kGain - 4);  // 2^(-4/4)
  std::vector<int> minus_y(y.size());
  for (size_t i = 0; i < y.size(); ++i) minus_y[i] = -y[i];
  struct Case {
    int cc_lr, ind_sw, sign, scale;
    std::vector<std::pair<bool, int>> gains;
    std::vector<std::vector<int>> left, right;
    const char* what;
  };
  const std::vector<Case> cases = {
      {0, 0, 0, 0, {}, {xl, y}, {xr, y}, "neither cc_l nor cc_r: both, one list"},
      {1, 0, 0, 0, {}, {xl}, {xr, y}, "cc_r only"},
      {2, 0, 0, 0, {}, {xl, y}, {xr}, "cc_l only"},
      // scale 3: cc_scale 2, common gain 1 halves the second list.
      {3, 0, 0, 3, {{true, 1}}, {xl, y}, {xr, half_y}, "common gain"},
      {3, 1, 0, 3, {{true, 1}}, {xl, y}, {xr, half_y}, "common gain, time domain"},
      // Signed per-band value 1: sign bit set, magnitude 0, gain -1.
      {3, 0, 1, 0, {{false, 1}}, {xl, y}, {xr, minus_y}, "signed band gain"},
  };
  for (const Case& k : cases) {
    Cce c;
    c.ind_sw = k.ind_sw;
    c.sign = k.sign;
    c.scale = k.scale;
    c.targets = {{true, 0, k.cc_lr}};
    c.gains = k.gains;
    BitWriter w;
    PutCpe(w, 0, kX, kXr);
    PutCce(w, c, kY);
    w.Put(ID_END, 3);
    const Decoded d = Decode(2, w);
    for (UMC::Status st : d.status) ASSERT_EQ(st, UMC::StatusOk) << k.what;
    ASSERT_EQ(d.channels, 2);
    ExpectSum(Channel(d, 0), k.left, k.what);
    ExpectSum(Channel(d, 1), k.right, k.what);
  }
}

TEST(Coupling, TargetsThatAreNotInTheFrameAreSkipped) {
  const std::vector<int> x = Mono(kX);
  Cce c;
  c.targets = {{false, 5, 0}, {true, 0, 0}, {false, 0, 0}};  // only the last exists
  c.gains = {{true, 0}, {true, 0}};
  BitWriter w;
  PutSce(w, 0, kX);
  PutCce(w, c, kY);
  w.Put(ID_END, 3);
  const Decoded d = Decode(1, w);
  for (UMC::Status st : d.status) ASSERT_EQ(st, UMC::StatusOk);
  ExpectSum(Channel(d, 0), {x, Mono(kY)}, "one real target");

  c.targets = {{false, 5, 0}};
  c.gains = {};
  BitWriter none;
  PutSce(none, 0, kX);
  PutCce(none, c, kY);
  none.Put(ID_END, 3);
  EXPECT_EQ(Channel(Decode(1, none), 0), x);
}

TEST(Coupling, MalformedCouplingElementsFailTheFrame) {
  {  // a third coupling element
    BitWriter w;
    PutSce(w, 0, kX);
    for (int i = 0; i < 3; ++i) PutCce(w, Cce{}, kY);
    w.Put(ID_END, 3);
    const Decoded d = Decode(1, w, 1);
    EXPECT_EQ(d.status[0], UMC::StatusInvalidStream);
  }
  // Every cut of a frame with a coupling element decodes or fails cleanly;
  // cuts inside the element must fail.
  Cce c;
  c.targets = {{true, 0, 3}};
  c.gains = {{false, -7}};
  BitWriter w;
  PutCpe(w, 0, kX, kXr);
  const size_t cce_start = w.bytes().size();
  PutCce(w, c, kY);
  w.Put(ID_END, 3);
  const std::vector<uint8_t> full = w.bytes();
  for (size_t n = cce_start + 1; n < full.size() - 1; ++n) {
    BitWriter cut;
    for (size_t i = 0; i < n; ++i) cut.Put(full[i], 8);
    const Decoded d = Decode(2, cut, 1);
    EXPECT_EQ(d.status[0], UMC::StatusInvalidStream) << n;
  }
}

}  // namespace
