// The LOAS/LATM parser on hand-built AudioMuxElements: the fields of both
// audioMuxVersions, payloads realigned from odd bit positions, layouts that
// are refused rather than misread, and lengths that do not fit.
#include "umc/latm.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "common/bit_writer.h"

namespace {

using vxtest::BitWriter;
using Bytes = std::vector<uint8_t>;

void LatmValue(BitWriter& w, uint32_t v, int bytes) {
  w.Put(static_cast<uint32_t>(bytes - 1), 2);
  for (int i = bytes - 1; i >= 0; --i) w.Put((v >> (8 * i)) & 255, 8);
}

// LC 48 kHz stereo: the GASpecificConfig's three flags as zeros.
void LcConfig(BitWriter& w) {
  w.Put(2, 5).Put(3, 4).Put(2, 4).Put(0, 3);
}

struct Layout {
  int version = 0;
  int subframes = 1;
  int programs = 1, layers = 1, frame_length_type = 0, same_time = 1, version_a = 0;
  uint32_t other_bits = 0;
  bool crc = false;
  int asc_fill = 0;           // version 1: fill bits after the configuration
  bool backward_sbr = false;  // version 1: SBR signalled after the core configuration
  bool pce = false;           // channel configuration 0 with a PCE (one CPE, comment "ab")
};

void MuxConfig(BitWriter& w, const Layout& l) {
  w.Put(static_cast<uint32_t>(l.version), 1);
  if (l.version) {
    w.Put(static_cast<uint32_t>(l.version_a), 1);
    LatmValue(w, 0x1234, 2);  // taraBufferFullness
  }
  w.Put(static_cast<uint32_t>(l.same_time), 1).Put(static_cast<uint32_t>(l.subframes - 1), 6);
  w.Put(static_cast<uint32_t>(l.programs - 1), 4).Put(static_cast<uint32_t>(l.layers - 1), 3);
  BitWriter asc;
  if (l.pce) {
    asc.Put(2, 5).Put(3, 4).Put(0, 4).Put(0, 3);
    asc.Put(0, 4).Put(1, 2).Put(3, 4).Put(1, 4).Put(0, 4).Put(0, 4).Put(0, 2).Put(0, 3).Put(0, 4);
    asc.Put(0, 3).Put(1, 1).Put(0, 4);     // no mixdowns; the front CPE
    while (asc.bits() % 8) asc.Put(0, 1);  // byte_alignment() from the configuration's start
    asc.Put(2, 8).Put('a', 8).Put('b', 8);
  } else {
    LcConfig(asc);
  }
  if (l.backward_sbr) asc.Put(0x2B7, 11).Put(5, 5).Put(1, 1).Put(3, 4);
  if (l.version) LatmValue(w, static_cast<uint32_t>(asc.bits() + l.asc_fill), 1);
  w.Append(asc).Put(0, l.asc_fill);
  w.Put(static_cast<uint32_t>(l.frame_length_type), 3).Put(0xFF, 8);
  w.Put(l.other_bits > 0, 1);
  if (l.other_bits > 0) {
    if (l.version) {
      LatmValue(w, l.other_bits, 3);
    } else {  // escape-coded, 8 bits at a time
      w.Put(1, 1).Put(l.other_bits >> 8, 8).Put(0, 1).Put(l.other_bits & 255, 8);
    }
  }
  w.Put(l.crc, 1);
  if (l.crc) w.Put(0x5A, 8);
}

// An element (with its configuration unless `same`) and payloads of the
// given sizes, payload byte k of subframe i being (i * 37 + k) & 255.
Bytes Element(const Layout& l, const std::vector<int>& sizes, bool same = false) {
  BitWriter w;
  w.Put(same, 1);  // useSameStreamMux
  if (!same) MuxConfig(w, l);
  for (size_t i = 0; i < sizes.size(); ++i) {
    int n = sizes[i];
    for (; n >= 255; n -= 255) w.Put(255, 8);
    w.Put(static_cast<uint32_t>(n), 8);
    for (int k = 0; k < sizes[i]; ++k) w.Put((static_cast<uint32_t>(i) * 37 + k) & 255, 8);
  }
  for (uint32_t b = 0; b < l.other_bits; ++b) w.Put(b & 1, 1);
  return w.bytes();
}

struct Parsed {
  int32_t result = -1;
  bool fresh = false;
  std::unique_ptr<UMC::LatmMuxConfig> cfg = std::make_unique<UMC::LatmMuxConfig>();
  UMC::LatmPayloads out{};
  Bytes payload = Bytes(8192);
};

void Parse(const Bytes& e, const UMC::LatmMuxConfig* current, Parsed* p) {
  // An exactly sized copy: the sanitizers see any read past the element.
  std::unique_ptr<uint8_t[]> copy(new uint8_t[e.size()]);
  std::memcpy(copy.get(), e.data(), e.size());
  p->result = UMC::ParseAudioMuxElement(copy.get(), static_cast<int32_t>(e.size()), current,
                                        *p->cfg, &p->fresh, p->out, p->payload.data(),
                                        static_cast<int32_t>(p->payload.size()));
}

void ExpectPayloads(const Parsed& p, const std::vector<int>& sizes) {
  ASSERT_EQ(p.out.count, static_cast<int32_t>(sizes.size()));
  for (size_t i = 0; i < sizes.size(); ++i) {
    ASSERT_EQ(p.out.length[i], sizes[i]);
    for (int k = 0; k < sizes[i]; ++k)
      ASSERT_EQ(p.payload[static_cast<size_t>(p.out.offset[i] + k)], (i * 37 + k) & 255) << i;
  }
}

TEST(Latm, VersionOneFieldsAndRealignedPayloads) {
  Layout l;
  l.version = 1;
  l.subframes = 3;
  l.other_bits = 21;
  l.crc = true;
  l.asc_fill = 6;
  const std::vector<int> sizes = {300, 0, 7};  // 300 takes two length bytes
  Parsed p;
  Parse(Element(l, sizes), nullptr, &p);
  ASSERT_EQ(p.result, UMC::kLatmOk);
  EXPECT_TRUE(p.fresh);
  const UMC::LatmMuxConfig& c = *p.cfg;
  EXPECT_EQ(c.audio_mux_version, 1);
  EXPECT_EQ(c.tara_buffer_fullness, 0x1234);
  EXPECT_EQ(c.num_sub_frames, 2);
  EXPECT_EQ(c.other_data_len_bits, 21);
  EXPECT_EQ(c.crc_check_sum, 0x5A);
  EXPECT_EQ(c.latm_buffer_fullness, 0xFF);
  EXPECT_EQ(c.asc.object_type, 2);
  EXPECT_EQ(c.asc.sampling_frequency_index, 3);
  EXPECT_EQ(c.asc.channel_configuration, 2);
  EXPECT_EQ(c.asc_bits, 16 + 6);  // the fill bits belong to the configuration
  ExpectPayloads(p, sizes);

  // The same element without its configuration reads with it.
  Parsed q;
  Parse(Element(l, sizes, true), p.cfg.get(), &q);
  ASSERT_EQ(q.result, UMC::kLatmOk);
  EXPECT_FALSE(q.fresh);
  ExpectPayloads(q, sizes);
  Parsed none;
  Parse(Element(l, sizes, true), nullptr, &none);
  EXPECT_EQ(none.result, UMC::kLatmNoConfig);
}

// Version 0: the configuration in place (so no backward-compatible SBR
// signalling can follow it) and the escape-coded other data length.
TEST(Latm, VersionZeroInPlaceConfigAndEscapedOtherData) {
  Layout l;
  l.other_bits = 300;
  Parsed p;
  Parse(Element(l, {40}), nullptr, &p);
  ASSERT_EQ(p.result, UMC::kLatmOk);
  EXPECT_EQ(p.cfg->other_data_len_bits, 300);
  EXPECT_EQ(p.cfg->asc_bits, 16);
  EXPECT_EQ(p.cfg->asc.sbr_present, -1);
  ExpectPayloads(p, {40});

  // Version 1 finds SBR signalled after the core configuration in ascLen.
  l.version = 1;
  l.backward_sbr = true;
  Parsed v1;
  Parse(Element(l, {40}), nullptr, &v1);
  ASSERT_EQ(v1.result, UMC::kLatmOk);
  EXPECT_EQ(v1.cfg->asc.sbr_present, 1);
  EXPECT_EQ(v1.cfg->asc.extension_sampling_frequency_index, 3);
  ExpectPayloads(v1, {40});

  // A PCE's byte alignment counts from the configuration's first bit, which
  // version 1 leaves unaligned in the element.
  l.backward_sbr = false;
  l.pce = true;
  Parsed pce;
  Parse(Element(l, {40}), nullptr, &pce);
  ASSERT_EQ(pce.result, UMC::kLatmOk);
  EXPECT_EQ(pce.cfg->asc.channel_configuration, 0);
  EXPECT_EQ(pce.cfg->asc.ga.pce.front_channels, 2);
  ASSERT_EQ(pce.cfg->asc.ga.pce.comment_field_bytes, 2);
  EXPECT_EQ(pce.cfg->asc.ga.pce.comment_field_data[1], 'b');
  ExpectPayloads(pce, {40});
}

TEST(Latm, OtherLayoutsAreRefusedNotMisread) {
  struct Case {
    Layout layout;
    int32_t refusal;
  };
  std::vector<Case> cases(5);
  cases[0].layout.programs = 2;
  cases[0].refusal = UMC::kLatmRefusalPrograms;
  cases[1].layout.layers = 2;
  cases[1].refusal = UMC::kLatmRefusalLayers;
  cases[2].layout.frame_length_type = 1;
  cases[2].refusal = UMC::kLatmRefusalFrameLengthType;
  cases[3].layout.same_time = 0;
  cases[3].refusal = UMC::kLatmRefusalTimeFraming;
  cases[4].layout.version = 1;
  cases[4].layout.version_a = 1;
  cases[4].refusal = UMC::kLatmRefusalVersionA;
  for (const Case& c : cases) {
    Parsed p;
    Parse(Element(c.layout, {10}), nullptr, &p);
    EXPECT_EQ(p.result, UMC::kLatmUnsupportedLayout) << c.refusal;
    EXPECT_EQ(p.cfg->refusal, c.refusal);
    EXPECT_EQ(p.out.count, 0);
  }
}

// Lengths beyond the element, and every cut of a valid element: refused,
// never read past the data.
TEST(Latm, LengthsThatDoNotFitAreMalformed) {
  Layout l;
  l.version = 1;
  l.subframes = 2;
  l.other_bits = 9;
  const Bytes good = Element(l, {20, 30});
  for (size_t n = 1; n + 1 < good.size(); ++n) {
    Parsed p;
    Parse(Bytes(good.begin(), good.begin() + static_cast<long>(n)), nullptr, &p);
    EXPECT_EQ(p.result, UMC::kLatmMalformed) << n;
  }
  // ascLen shorter than the configuration it announces.
  BitWriter w;
  w.Put(0, 1).Put(1, 1).Put(0, 1);
  LatmValue(w, 0, 1);
  w.Put(1, 1).Put(0, 6).Put(0, 4).Put(0, 3);
  LatmValue(w, 10, 1);
  LcConfig(w);
  w.Put(0, 3).Put(0xFF, 8).Put(0, 2).Put(0, 8);
  Parsed p;
  Parse(w.bytes(), nullptr, &p);
  EXPECT_EQ(p.result, UMC::kLatmMalformed);
}

TEST(Latm, FindsConfirmedLoasFrames) {
  // Garbage, then two frames (length 2 and 1).
  const Bytes s = {0x00, 0x56, 0xE0, 0x04, 0x56, 0xE0, 0x02, 0xAA, 0xBB, 0x56, 0xE0, 0x01, 0xCC};
  bool pending = false;
  EXPECT_EQ(UMC::FindLoasStart(s.data(), static_cast<int64_t>(s.size()), 64, &pending), 4);
  EXPECT_FALSE(pending);  // the candidate at 1 is not followed by a header
  EXPECT_EQ(UMC::LoasFrameBytes(s.data() + 4, 9), 5);
  EXPECT_EQ(UMC::FindLoasStart(s.data() + 4, 6, 64, &pending), 0);
  EXPECT_TRUE(pending);  // the next header is not in hand yet
}

}  // namespace
