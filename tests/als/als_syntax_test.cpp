// ALS syntax and reconstruction on small hand-built streams: configuration
// values, PCM layout, file data, prediction, shift, random access, LTP and
// channel coupling.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "als/als_decoder.h"
#include "als/als_internal.h"
#include "als/als_predict_impl.h"
#include "als/als_tables.h"
#include "common/kernels.h"
#include "dsp/dsp_core.h"

namespace {

class BitWriter {
 public:
  void Put(uint64_t v, int n) {
    for (int i = n - 1; i >= 0; --i) PutBit(static_cast<int>((v >> i) & 1));
  }
  void Align() {
    while (bits_ % 8) PutBit(0);
  }
  // Signed Rice code with parameter k, as ALS defines it.
  void Rice(int32_t v, int k) {
    uint64_t q, r = 0;
    if (k == 0) {
      q = v >= 0 ? 2 * uint64_t(v) : 2 * uint64_t(-int64_t{v}) - 1;
    } else {
      const uint64_t half = uint64_t{1} << (k - 1);
      const uint64_t u = v >= 0 ? uint64_t(v) : uint64_t(-int64_t{v} - 1);
      q = u >> (k - 1);
      r = (u & (half - 1)) | (v >= 0 ? half : 0);
    }
    for (uint64_t i = 0; i < q; ++i) PutBit(1);
    PutBit(0);
    if (k) Put(r, k);
  }
  std::vector<uint8_t> bytes;

 private:
  void PutBit(int b) {
    if (bits_ % 8 == 0) bytes.push_back(0);
    if (b) bytes.back() |= static_cast<uint8_t>(0x80 >> (bits_ % 8));
    ++bits_;
  }
  int64_t bits_ = 0;
};

// Configuration of a synthetic stream (coefficients always sent as plain
// 7-bit values, fixed prediction order = max_order).
struct Synth {
  uint32_t rate = 48000;
  uint32_t samples = 16;
  int channels = 1, bits = 16, file_type = 1, msb_first = 0, frame_length = 16;
  int random_access = 0, max_order = 0, block_switching = 0, joint_stereo = 0, mc_coding = 0;
  int chan_sort = 0, crc_enabled = 0;
  std::vector<int> chan_pos;
  std::vector<uint8_t> header, trailer;
  uint32_t header_size_field = 0;  // 0: header.size()

  std::vector<uint8_t> Config() const {
    BitWriter w;
    w.Put(rate, 32);
    w.Put(samples, 32);
    w.Put(channels - 1, 16);
    w.Put(file_type, 3);
    w.Put(bits / 8 - 1, 3);
    w.Put(0, 1);  // floating
    w.Put(msb_first, 1);
    w.Put(frame_length - 1, 16);
    w.Put(random_access, 8);
    w.Put(0, 2);  // ra_flag
    w.Put(0, 1);  // adapt_order
    w.Put(3, 2);  // coef_table
    w.Put(0, 1);  // long_term_prediction
    w.Put(max_order, 10);
    w.Put(block_switching, 2);
    w.Put(0, 2);  // bgmc_mode, sb_part
    w.Put(joint_stereo, 1);
    w.Put(mc_coding, 1);
    w.Put(0, 1);  // chan_config
    w.Put(chan_sort, 1);
    w.Put(crc_enabled, 1);
    w.Put(0, 1);  // RLSLMS
    w.Put(0, 5);
    w.Put(0, 1);  // aux_data_enabled
    int pos_bits = 1;
    while ((channels - 1) >> pos_bits) ++pos_bits;
    if (chan_sort) {
      for (int p : chan_pos) w.Put(p, pos_bits);
    }
    w.Align();
    w.Put(header_size_field ? header_size_field : header.size(), 32);
    w.Put(trailer.size(), 32);
    for (uint8_t b : header) w.Put(b, 8);
    for (uint8_t b : trailer) w.Put(b, 8);
    if (crc_enabled) w.Put(0, 32);
    return w.bytes;
  }
};

void ConstBlock(BitWriter& w, int32_t value, int bits) {
  w.Put(0, 1);     // block type 0
  w.Put(0x40, 7);  // const block, no js
  w.Put(static_cast<uint32_t>(value) & ((uint64_t{1} << bits) - 1), bits);
  w.Align();
}

// A normal Rice-coded block: parameter s0, shift, parcor values q (K =
// q.size()), residuals e.
void NormalBlock(BitWriter& w, int s0, int shift, const std::vector<int>& q,
                 const std::vector<int32_t>& e, bool ra, int bits = 16) {
  w.Put(1, 1);  // block type 1
  w.Put(0, 1);  // js
  w.Put(s0, bits <= 16 ? 4 : 5);
  w.Put(shift > 0, 1);
  if (shift > 0) w.Put(shift - 1, 4);
  for (int v : q) w.Put(v + 64, 7);
  size_t i = 0;
  const int K = static_cast<int>(q.size());
  if (ra && K > 0) w.Rice(e[i++], bits - 4);
  if (ra && K > 1) w.Rice(e[i++], std::min(s0 + 3, 31));
  if (ra && K > 2) w.Rice(e[i++], std::min(s0 + 1, 31));
  for (; i < e.size(); ++i) w.Rice(e[i], s0);
  w.Align();
}

struct Decoder {
  AlsConfig cfg{};
  std::vector<uint8_t> config, mem;
  AlsState* s = nullptr;

  bool Open(const std::vector<uint8_t>& bytes) {
    config = bytes;
    UMC::BitReader r;
    UMC::BitReaderInit(r, config.data(), static_cast<int32_t>(config.size()));
    if (ALSConfigParse(cfg, r) != 0) return false;
    const int64_t size = ALSStateGetSize(cfg);
    if (size <= 0) return false;
    mem.assign(static_cast<size_t>(size), 0xA5);
    s = ALSStateInit(cfg, mem.data(), config.data(), static_cast<int32_t>(config.size()));
    return s != nullptr;
  }
  // Decodes one frame from exactly its bytes; returns the status.
  int32_t Frame(const std::vector<uint8_t>& frame, std::vector<uint8_t>* out, int32_t* used,
                int with_file_data = 0, int original = 0, int32_t capacity = 1 << 16) {
    out->assign(static_cast<size_t>(capacity), 0);
    int32_t written = 0;
    const int32_t st =
        ALSDecodeFrame(frame.data(), used, out->data(), &written,
                       static_cast<int32_t>(frame.size()), capacity, with_file_data, s, original);
    out->resize(static_cast<size_t>(written));
    return st;
  }
};

std::vector<int16_t> AsS16(const std::vector<uint8_t>& b) {
  std::vector<int16_t> v(b.size() / 2);
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<int16_t>(b[2 * i] | (b[2 * i + 1] << 8));
  return v;
}

// Order-1 synthesis as the standard writes it: x[n] = e[n] - pred.
std::vector<int32_t> OrderOne(const std::vector<int32_t>& e, int32_t par, int32_t prev) {
  std::vector<int32_t> x(e.size());
  for (size_t n = 0; n < e.size(); ++n) {
    const int64_t pred = (int64_t{par} * prev + (1 << 19)) >> 20;
    x[n] = static_cast<int32_t>(e[n] - pred);
    prev = x[n];
  }
  return x;
}

TEST(AlsConfig, DerivedValues) {
  Synth c;
  c.samples = 1000;
  c.frame_length = 256;
  Decoder d;
  ASSERT_TRUE(d.Open(c.Config()));
  EXPECT_EQ(d.cfg.frames, 4u);
  EXPECT_EQ(d.cfg.last_frame_length, 232);
  c.samples = 1024;
  ASSERT_TRUE(d.Open(c.Config()));
  EXPECT_EQ(d.cfg.frames, 4u);
  EXPECT_EQ(d.cfg.last_frame_length, 256);

  // Mono turns joint stereo off; 0xFFFFFFFF header size means no header.
  c.joint_stereo = 1;
  c.header_size_field = 0xFFFFFFFFu;
  ASSERT_TRUE(d.Open(c.Config()));
  EXPECT_EQ(d.cfg.joint_stereo, 0);
  EXPECT_EQ(d.cfg.header_size, 0u);

  // Six channels sort with 3-bit positions; the parser ends on the last
  // configuration byte.
  c = Synth{};
  c.channels = 6;
  c.chan_sort = 1;
  c.chan_pos = {5, 4, 3, 2, 1, 0};
  c.header = {1, 2, 3};
  const auto bytes = c.Config();
  UMC::BitReader r;
  UMC::BitReaderInit(r, bytes.data(), static_cast<int32_t>(bytes.size()));
  AlsConfig cfg;
  ASSERT_EQ(ALSConfigParse(cfg, r), 0);
  EXPECT_EQ(cfg.chan_pos_bits, 3);
  EXPECT_EQ(UMC::BitReaderBitsConsumed(r), int64_t(bytes.size()) * 8);
  // Cut inside the stored header: the parser fails.
  UMC::BitReaderInit(r, bytes.data(), static_cast<int32_t>(bytes.size()) - 2);
  EXPECT_EQ(ALSConfigParse(cfg, r), -1);
}

TEST(AlsConfig, LagBitsFollowTheSampleRate) {
  const struct {
    uint32_t rate;
    int ltp, mcc;
  } cases[] = {{48000, 8, 5},  {64000, 8, 5},  {95999, 8, 5},   {96000, 9, 6},
               {100000, 9, 6}, {191999, 9, 6}, {192000, 10, 7}, {44100, 8, 5}};
  for (const auto& t : cases) {
    Synth c;
    c.rate = t.rate;
    Decoder d;
    ASSERT_TRUE(d.Open(c.Config()));
    EXPECT_EQ(d.s->ltp_lag_bits, t.ltp) << t.rate;
    EXPECT_EQ(d.s->mcc_lag_bits, t.mcc) << t.rate;
  }
}

TEST(AlsConfig, StateSizingArguments) {
  Synth c;
  Decoder d;
  ASSERT_TRUE(d.Open(c.Config()));
  int64_t size = 0;
  AlsState* s = nullptr;
  uint8_t byte = 0;
  EXPECT_EQ(ALSStateGetSize(nullptr, &s, nullptr, &size), 5);
  EXPECT_EQ(ALSStateGetSize(&d.cfg, &s, nullptr, nullptr), 5);
  EXPECT_EQ(ALSStateGetSize(&d.cfg, nullptr, &byte, &size), 5);
  ASSERT_EQ(ALSStateGetSize(&d.cfg, nullptr, nullptr, &size), 0);
  EXPECT_EQ(size, ALSStateGetSize(d.cfg));
  int32_t v = 0;
  EXPECT_EQ(ALSGetChannels(nullptr, &v), 5);
  EXPECT_EQ(ALSGetFrameLength(d.s, nullptr), 5);
  ASSERT_EQ(ALSGetSampleRate(d.s, &v), 0);
  EXPECT_EQ(v, 48000);
  ASSERT_EQ(ALSGetBitsPerSample(d.s, &v), 0);
  EXPECT_EQ(v, 16);

  // Up to 65536 channels of 65536 samples would need gigabytes: refused.
  AlsConfig big = d.cfg;
  big.channels = 65536;
  big.frame_length = 65536;
  EXPECT_EQ(ALSStateGetSize(&big, nullptr, nullptr, &size), -1);
  EXPECT_EQ(size, -1);
  big.channels = 8;  // 8 x 65536 samples fits
  EXPECT_GT(ALSStateGetSize(big), 0);
  big.resolution = 40;
  EXPECT_EQ(ALSStateGetSize(big), -1);
}

// 24-bit output in both byte orders, and the channel permutation.
TEST(AlsPcm, ByteOrderAndChannelSort) {
  Synth c;
  c.channels = 2;
  c.bits = 24;
  c.msb_first = 1;
  c.chan_sort = 1;
  c.chan_pos = {1, 0};
  c.frame_length = 2;
  c.samples = 2;
  BitWriter w;
  ConstBlock(w, 0x123456, 24);
  ConstBlock(w, -3, 24);
  for (int original = 0; original < 2; ++original) {
    Decoder d;
    ASSERT_TRUE(d.Open(c.Config()));
    std::vector<uint8_t> out;
    int32_t used = 0;
    ASSERT_EQ(d.Frame(w.bytes, &out, &used, 0, original), 0);
    EXPECT_EQ(used, int32_t(w.bytes.size()));
    // Coded channel 1 is output channel 0.
    const std::vector<uint8_t> le = {0xFD, 0xFF, 0xFF, 0x56, 0x34, 0x12,
                                     0xFD, 0xFF, 0xFF, 0x56, 0x34, 0x12};
    const std::vector<uint8_t> be = {0xFF, 0xFF, 0xFD, 0x12, 0x34, 0x56,
                                     0xFF, 0xFF, 0xFD, 0x12, 0x34, 0x56};
    EXPECT_EQ(out, original ? be : le);
  }

  // Coded channel ch is the original channel chan_pos[ch] (a 3-cycle tells
  // this apart from the inverse mapping).
  c = Synth{};
  c.channels = 3;
  c.chan_sort = 1;
  c.chan_pos = {2, 0, 1};
  c.frame_length = c.samples = 1;
  BitWriter w3;
  for (int v : {10, 20, 30}) ConstBlock(w3, v, 16);
  Decoder d;
  ASSERT_TRUE(d.Open(c.Config()));
  std::vector<uint8_t> out;
  int32_t used = 0;
  ASSERT_EQ(d.Frame(w3.bytes, &out, &used), 0);
  EXPECT_EQ(AsS16(out), (std::vector<int16_t>{20, 30, 10}));

  // An invalid permutation (a repeated position) keeps the coded order.
  c.chan_pos = {1, 1, 0};
  ASSERT_TRUE(d.Open(c.Config()));
  ASSERT_EQ(d.Frame(w3.bytes, &out, &used), 0);
  EXPECT_EQ(AsS16(out), (std::vector<int16_t>{10, 20, 30}));
}

TEST(AlsPcm, EightBitConstantHoldsTheFileByte) {
  // An 8-bit constant is the original file's byte: unsigned in WAVE (0xFE
  // = +126), signed in AIFF (0xFE = -2).  Written back in the original
  // form it is that byte either way.
  Synth c;
  c.bits = 8;
  c.frame_length = c.samples = 2;
  BitWriter w;
  ConstBlock(w, -2, 8);
  for (int file_type : {1, 2}) {  // WAVE, AIFF
    c.file_type = file_type;
    Decoder d;
    ASSERT_TRUE(d.Open(c.Config()));
    std::vector<uint8_t> out;
    int32_t used = 0;
    ASSERT_EQ(d.Frame(w.bytes, &out, &used, 0, 1), 0);
    EXPECT_EQ(out, std::vector<uint8_t>(2, 0xFE));
    ASSERT_TRUE(d.Open(c.Config()));
    ASSERT_EQ(d.Frame(w.bytes, &out, &used), 0);
    EXPECT_EQ(out, std::vector<uint8_t>(2, file_type == 1 ? 0x7E : 0xFE));  // S8
  }
}

// Header before the first frame, trailer after the short last one, and the
// output-size check that leaves the frame to be decoded again.
TEST(AlsFrames, FileDataShortLastFrameAndRetry) {
  Synth c;
  c.frame_length = 8;
  c.samples = 20;  // frames of 8, 8 and 4
  c.header = {'H', 'D', 'R'};
  c.trailer = {'T', 'R'};
  Decoder d;
  ASSERT_TRUE(d.Open(c.Config()));
  uint32_t size = 0;
  const uint8_t* h = ALSOriginalHeader(d.s, &size);
  ASSERT_EQ(size, 3u);
  EXPECT_EQ(std::memcmp(h, "HDR", 3), 0);
  EXPECT_EQ(d.cfg.frames, 3u);

  BitWriter w;
  ConstBlock(w, 7, 16);
  std::vector<uint8_t> out;
  int32_t used = -1;
  EXPECT_EQ(d.Frame(w.bytes, &out, &used, 1, 0, 3 + 16 - 1), 7);
  EXPECT_EQ(used, 0);
  EXPECT_TRUE(out.empty());
  ASSERT_EQ(d.Frame(w.bytes, &out, &used, 1, 0, 3 + 16), 0);
  ASSERT_EQ(out.size(), 19u);
  EXPECT_EQ(std::memcmp(out.data(), "HDR", 3), 0);
  EXPECT_EQ(out[3], 7);
  ASSERT_EQ(d.Frame(w.bytes, &out, &used, 1), 0);
  EXPECT_EQ(out.size(), 16u);  // PCM only
  ASSERT_EQ(d.Frame(w.bytes, &out, &used, 1), 0);
  ASSERT_EQ(out.size(), 4u * 2 + 2);  // the last frame is 4 samples
  EXPECT_EQ(ALSFrameSamples(d.s), 4);
  EXPECT_EQ(out[8], 'T');
  EXPECT_EQ(out[9], 'R');
}

TEST(AlsPrediction, OrderOneAcrossFrames) {
  Synth c;
  c.max_order = 1;
  c.frame_length = 8;
  c.samples = 16;
  const std::vector<int32_t> e0 = {100, -50, 3, 0, 7, -8, 900, -1000};
  const std::vector<int32_t> e1 = {5, 5, -5, -5, 20, 0, 1, 2};
  const int32_t par = kAlsParcorScaled[64];  // q = 0
  Decoder d;
  ASSERT_TRUE(d.Open(c.Config()));
  std::vector<uint8_t> out;
  int32_t used = 0;
  BitWriter f0, f1;
  NormalBlock(f0, 10, 0, {0}, e0, false);
  NormalBlock(f1, 10, 0, {0}, e1, false);
  ASSERT_EQ(d.Frame(f0.bytes, &out, &used), 0);
  EXPECT_EQ(used, int32_t(f0.bytes.size()));
  const auto x0 = OrderOne(e0, par, 0);
  EXPECT_EQ(AsS16(out), std::vector<int16_t>(x0.begin(), x0.end()));
  ASSERT_EQ(d.Frame(f1.bytes, &out, &used), 0);
  const auto x1 = OrderOne(e1, par, x0.back());  // history crosses the frame
  EXPECT_EQ(AsS16(out), std::vector<int16_t>(x1.begin(), x1.end()));
}

// Two blocks of 8 (bs_info 0x40): the first shifted by 3, the second
// predicts from the first's samples as they are, not shifted.
TEST(AlsPrediction, ShiftAndBlockSwitching) {
  Synth c;
  c.max_order = 1;
  c.frame_length = 16;
  c.samples = 16;
  c.block_switching = 1;
  const std::vector<int32_t> ea = {10, -3, 4, 4, -20, 1, 0, 9};
  const std::vector<int32_t> eb = {1, 2, 3, 4, 5, 6, 7, 8};
  BitWriter w;
  w.Put(0x40, 8);
  NormalBlock(w, 8, 3, {5}, ea, false);
  NormalBlock(w, 8, 0, {5}, eb, false);
  Decoder d;
  ASSERT_TRUE(d.Open(c.Config()));
  std::vector<uint8_t> out;
  int32_t used = 0;
  ASSERT_EQ(d.Frame(w.bytes, &out, &used), 0);
  const auto pcm = AsS16(out);
  const int32_t par = kAlsParcorScaled[5 + 64];
  const auto ya = OrderOne(ea, par, 0);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(pcm[i], ya[i] * 8) << i;
  const auto xb = OrderOne(eb, par, ya.back() * 8);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(pcm[8 + i], xb[i]) << i;
}

// Random-access frames: the special residuals of the first block, progressive
// prediction without history, and orders beyond the block length unused.
TEST(AlsPrediction, RandomAccessBlocks) {
  Synth c;
  c.max_order = 2;
  c.frame_length = 8;
  c.samples = 16;
  c.random_access = 1;
  const std::vector<int32_t> e = {1234, -40, 17, 3, -3, 0, 12, 5};
  BitWriter f0, f1;
  NormalBlock(f0, 6, 0, {20, -30}, {9, 9, 9, 9, 9, 9, 9, 9}, true);
  NormalBlock(f1, 6, 0, {20, -30}, e, true);
  Decoder seq, fresh;
  ASSERT_TRUE(seq.Open(c.Config()));
  ASSERT_TRUE(fresh.Open(c.Config()));
  std::vector<uint8_t> a, b;
  int32_t used = 0;
  ASSERT_EQ(seq.Frame(f0.bytes, &a, &used), 0);
  ASSERT_EQ(seq.Frame(f1.bytes, &a, &used), 0);
  EXPECT_EQ(used, int32_t(f1.bytes.size()));  // exactly two special residuals
  ASSERT_EQ(fresh.Frame(f1.bytes, &b, &used), 0);
  EXPECT_EQ(a, b);               // nothing carried over from frame 0
  EXPECT_EQ(AsS16(a)[0], e[0]);  // order 0 predicts 0
  EXPECT_EQ(AsS16(a)[1], e[1] - ((int64_t{kAlsParcorScaled[20 + 64]} * e[0] + (1 << 19)) >> 20));

  // K = 20 with blocks of 8: only orders 0..7 are used, so parcor values
  // 8..19 do not change the samples.
  c.max_order = 20;
  c.samples = 8;
  std::vector<int> q(20, 3);
  std::vector<uint8_t> first;
  for (int variant = 0; variant < 2; ++variant) {
    for (int j = 8; j < 20; ++j) q[j] = variant ? -17 : 40;
    BitWriter w;
    NormalBlock(w, 6, 0, q, e, true);
    Decoder dk;
    ASSERT_TRUE(dk.Open(c.Config()));
    std::vector<uint8_t> out;
    ASSERT_EQ(dk.Frame(w.bytes, &out, &used), 0);
    if (variant == 0) {
      first = out;
    } else {
      EXPECT_EQ(out, first);
    }
  }
}

TEST(AlsPrediction, ConstantBlocksIgnorePrediction) {
  Synth c;
  c.max_order = 4;
  c.frame_length = 256;
  c.samples = 512;
  Decoder d;
  ASSERT_TRUE(d.Open(c.Config()));
  BitWriter w;
  NormalBlock(w, 12, 2, {1, 2, 3, 4}, std::vector<int32_t>(256, 77), false);
  std::vector<uint8_t> out;
  int32_t used = 0;
  ASSERT_EQ(d.Frame(w.bytes, &out, &used), 0);
  BitWriter k;
  ConstBlock(k, -3, 16);
  ASSERT_EQ(d.Frame(k.bytes, &out, &used), 0);
  EXPECT_EQ(AsS16(out), std::vector<int16_t>(256, -3));
}

// LTP with lag 0 and K = 2 (L = 4): taps e[i-6] .. e[i-2], in place.
TEST(AlsLtp, LagZeroOrderTwo) {
  std::vector<int32_t> buf(300 + 8, 0);
  AlsBlock b{};
  b.residual = buf.data() + 300;
  b.length = 8;
  b.order = 2;
  b.lag = 0;
  const int32_t gains[5] = {8, 16, 24, 32, 40};
  std::copy(gains, gains + 5, b.gain);
  b.residual[0] = 128;
  b.residual[1] = 0;
  AlsState unused{};
  AlsApplyLtp(unused, b);
  EXPECT_EQ(b.residual[0], 128);  // i < 2: every tap reads the zero lead
  EXPECT_EQ(b.residual[1], 0);
  EXPECT_EQ(b.residual[2], (40 * 128 + 64) >> 7);
  EXPECT_EQ(b.residual[3], (32 * 128 + 64) >> 7);
  EXPECT_EQ(b.residual[4], (24 * 128 + 40 * 40 + 64) >> 7);  // uses the updated e[2]
}

TEST(AlsChannels, JointStereoWrapsModulo2To32) {
  int32_t a = 100, b = 0, d = -30;
  AlsJointCombine(&a, &b, &d, 1, 0, 1);
  EXPECT_EQ(b, 70);
  a = 0;
  AlsJointCombine(&a, &b, &d, 1, 1, 0);
  EXPECT_EQ(a, 100);
  AlsJointCombine(&a, &b, &d, 1, 0, 0);
  EXPECT_EQ(d, -30);
  // A 32-bit pair whose difference needs 33 bits: the encoder's difference
  // wrapped, so the sum must wrap back.
  a = INT32_MAX;
  d = 1;
  AlsJointCombine(&a, &b, &d, 1, 0, 1);
  EXPECT_EQ(b, INT32_MIN);
  b = INT32_MIN;
  a = 1;
  AlsJointCombine(&a, &b, &d, 1, 0, 0);
  EXPECT_EQ(d, INT32_MAX);
}

// MCC stages on a real state: a master-self stage changes nothing, a chain
// of masters resolves within one stage, a cycle ends without changes.
TEST(AlsChannels, MccStages) {
  Synth c;
  c.channels = 3;
  c.mc_coding = 1;
  c.frame_length = c.samples = 6;
  Decoder d;
  ASSERT_TRUE(d.Open(c.Config()));
  AlsState& s = *d.s;
  const std::vector<int32_t> e[3] = {
      {1, 2, 3, 4, 5, 6}, {10, 20, 30, 40, 50, 60}, {0, 0, 0, 0, 0, 0}};
  auto load = [&] {
    for (int ch = 0; ch < 3; ++ch) {
      s.blocks[ch].type = 1;
      s.blocks[ch].residual = s.residual[ch];
      std::copy(e[ch].begin(), e[ch].end(), s.residual[ch]);
    }
  };
  auto stage = [&](int ch, int k, int master) {
    AlsMccStage& m = s.mcc[ch * kAlsMaxMccStages + k];
    m = AlsMccStage{};
    m.present = 1;
    m.master = master;
    m.w[1] = 128;  // weight 1.0 on m[i]
  };
  load();
  stage(0, 0, 0);  // self
  stage(1, 0, 0);
  stage(2, 0, 1);  // chain: 2 <- 1 <- 0
  AlsMccReconstruct(s, 6);
  EXPECT_EQ(std::vector<int32_t>(s.residual[0], s.residual[0] + 6), e[0]);
  EXPECT_EQ(std::vector<int32_t>(s.residual[1], s.residual[1] + 6),
            (std::vector<int32_t>{10, 22, 33, 44, 55, 60}));  // ends untouched
  EXPECT_EQ(std::vector<int32_t>(s.residual[2], s.residual[2] + 6),
            (std::vector<int32_t>{0, 22, 33, 44, 55, 0}));
  load();
  stage(0, 0, 1);
  stage(1, 0, 0);  // cycle
  s.mcc[2 * kAlsMaxMccStages].present = 0;
  AlsMccReconstruct(s, 6);
  EXPECT_EQ(std::vector<int32_t>(s.residual[0], s.residual[0] + 6), e[0]);
  EXPECT_EQ(std::vector<int32_t>(s.residual[1], s.residual[1] + 6), e[1]);
}

// The lagged taps stay inside the master's block for either sign of lag.
TEST(AlsChannels, MccTimeDifferenceBounds) {
  for (int lag : {3, -3, 7, -7}) {
    const int n = 12;
    std::vector<int32_t> m(n, 128), e(n, 0);
    AlsMccStage st{};
    st.present = 1;
    st.time_diff = 1;
    st.lag = lag;
    st.w[4] = 128;  // m[i + lag]
    AlsMccCorrect(e.data(), m.data(), st, n);
    for (int i = 0; i < n; ++i) {
      const bool inside = i >= std::max(1, 1 - lag) && i < n - 1 - std::max(lag, 0);
      EXPECT_EQ(e[i], inside ? 128 : 0) << "lag " << lag << " i " << i;
    }
  }
}

// The vectorised synthesis filters equal the generic one for any order and
// length, also when the 64-bit sums wrap (full-range coefficients and
// samples).
TEST(AlsPredictImpl, VectorisedMatchesGeneric) {
  std::mt19937 rng(2024);
  const std::vector<const DspKernels*> tables = VectorisedKernels();
  std::vector<int32_t> orders;
  for (int32_t k = 0; k <= 40; ++k) orders.push_back(k);
  for (int32_t k : {63, 64, 65, 100, 160, 1023}) orders.push_back(k);
  for (int32_t K : orders) {
    for (int range = 0; range < 2; ++range) {
      const int32_t n = 1 + static_cast<int32_t>(rng() % 300);
      // range 0: audio-like values; range 1: any 32-bit values.
      auto draw = [&] {
        return range ? static_cast<int32_t>(rng()) : static_cast<int32_t>(rng() % 4001) - 2000;
      };
      std::vector<int32_t> rcof(static_cast<size_t>(K)), e(static_cast<size_t>(n));
      std::vector<int32_t> ref(static_cast<size_t>(K + n));
      for (auto& v : rcof) v = draw();
      for (auto& v : e) v = draw() * (range ? 1 : 64);
      for (int32_t j = 0; j < K; ++j) ref[static_cast<size_t>(j)] = draw();
      std::vector<int32_t> hist(ref.begin(), ref.begin() + K);
      als_generic::PredictBlock(rcof.data(), K, e.data(), ref.data() + K, n);
      for (const DspKernels* table : tables) {
        std::vector<int32_t> x(static_cast<size_t>(K + n));
        std::copy(hist.begin(), hist.end(), x.begin());
        table->als.PredictBlock(rcof.data(), K, e.data(), x.data() + K, n);
        ASSERT_EQ(x, ref) << dspIsaName(table->isa) << " order " << K << " n " << n << " range "
                          << range;
      }
    }
  }
}

}  // namespace
