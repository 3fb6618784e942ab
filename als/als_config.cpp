// ALSSpecificConfig (ISO/IEC 14496-3, 11.6.1) and the layout of the state.
#include <cstring>

#include "als/als_internal.h"

namespace {

using UMC::BitReader;

uint32_t Rd(BitReader& r, int n) {
  return UMC::BitReaderRead(r, n);
}

// Bits needed to write x (at least 1).
int32_t BitLength(uint32_t x) {
  int32_t n = 1;
  while (n < 32 && (x >> n)) ++n;
  return n;
}

bool Skip(BitReader& r, int64_t bits) {
  if (bits < 0 || UMC::BitReaderBitsLeft(r) < bits) return false;
  UMC::BitReaderSkip(r, bits);
  return true;
}

int32_t HistoryFor(const AlsConfig& c) {
  return c.rlslms ? 10 : c.max_order;
}
int32_t LtpLagBits(uint32_t rate) {
  return rate < 96000 ? 8 : rate < 192000 ? 9 : 10;
}
// The same rate steps as the LTP lag (not 48/96 kHz): 5 bits below 96 kHz.
int32_t MccLagBits(uint32_t rate) {
  return rate < 96000 ? 5 : rate < 192000 ? 6 : 7;
}
int32_t ResidualLead(const AlsConfig& c) {
  return HistoryFor(c) + (1 << LtpLagBits(c.samp_freq)) + 8;
}

// Bump allocator over the state's block (16-byte aligned pieces).  With a
// null base it only counts.
class Layout {
 public:
  explicit Layout(uint8_t* base) : base_(base) {}
  template <typename T>
  T* Take(int64_t count) {
    const int64_t at = (used_ + 15) & ~int64_t{15};
    used_ = at + count * static_cast<int64_t>(sizeof(T));
    if (used_ > kAlsMaxStateBytes + 4096) overflow_ = true;
    return (base_ && !overflow_) ? reinterpret_cast<T*>(base_ + at) : nullptr;
  }
  int64_t used() const { return used_; }
  bool overflow() const { return overflow_; }

 private:
  uint8_t* base_;
  int64_t used_ = 0;
  bool overflow_ = false;
};

// Lays out (or sizes) the state; returns the state or null when counting.
AlsState* Arrange(const AlsConfig& c, Layout& L) {
  const int64_t C = c.channels, F = c.frame_length, K = HistoryFor(c);
  const int64_t lead = ResidualLead(c);
  AlsState* s = L.Take<AlsState>(1);
  int32_t** channel = L.Take<int32_t*>(C);
  int32_t** residual = L.Take<int32_t*>(C);
  int32_t** quant = L.Take<int32_t*>(C);
  int32_t* output_channel = L.Take<int32_t>(C);
  int32_t** difference = c.joint_stereo ? L.Take<int32_t*>(C / 2 + 1) : nullptr;
  int32_t* channel_mem = L.Take<int32_t>(C * (K + F));
  int32_t* residual_mem =
      L.Take<int32_t>(C * (lead + F + 4));  // +4: random-access residuals of tiny blocks
  int32_t* quant_mem = L.Take<int32_t>(C * (K + 1));
  int32_t* difference_mem = c.joint_stereo ? L.Take<int32_t>((C / 2) * (K + F)) : nullptr;
  uint16_t* chan_pos = c.chan_sort ? L.Take<uint16_t>(C) : nullptr;
  uint32_t* ra = L.Take<uint32_t>(c.ra_flag == 2 && c.random_access > 0 ? c.ra_units : 0);
  uint8_t* header = L.Take<uint8_t>(c.header_size);
  uint8_t* trailer = L.Take<uint8_t>(c.trailer_size);
  AlsRlsLms* rls = c.rlslms ? L.Take<AlsRlsLms>(C) : nullptr;
  AlsMccStage* mcc = c.mc_coding ? L.Take<AlsMccStage>(C * kAlsMaxMccStages) : nullptr;
  AlsBlock* blocks = L.Take<AlsBlock>(C);
  int32_t* acf = c.floating ? L.Take<int32_t>(C) : nullptr;
  int32_t* fshift = c.floating ? L.Take<int32_t>(C) : nullptr;
  uint32_t* fbits = c.floating ? L.Take<uint32_t>(C * F) : nullptr;
  uint32_t* fdiff = c.floating ? L.Take<uint32_t>(F) : nullptr;
  AlsLzState* lz = c.floating ? L.Take<AlsLzState>(1) : nullptr;
  int32_t* par = L.Take<int32_t>(K + 1);
  int32_t* cof = L.Take<int32_t>(K + 1);
  int32_t* save = L.Take<int32_t>(K + 1);
  int32_t* rcof = L.Take<int32_t>(K + 8);
  if (!s) return nullptr;

  s->channel = channel;
  s->residual = residual;
  s->quant = quant;
  s->output_channel = output_channel;
  s->difference = difference;
  for (int64_t ch = 0; ch < C; ++ch) {
    channel[ch] = channel_mem + ch * (K + F) + K;
    residual[ch] = residual_mem + ch * (lead + F + 4) + lead;
    quant[ch] = quant_mem + ch * (K + 1);
  }
  if (difference) {
    for (int64_t p = 0; p < C / 2; ++p) difference[p] = difference_mem + p * (K + F) + K;
  }
  s->chan_pos = chan_pos;
  s->ra_unit_size = ra;
  s->orig_header = header;
  s->orig_trailer = trailer;
  s->rls = rls;
  s->mcc = mcc;
  s->blocks = blocks;
  s->acf_mantissa = acf;
  s->float_shift = fshift;
  s->float_bits = fbits;
  s->mantissa_diff = fdiff;
  s->lz = lz;
  s->par = par;
  s->cof = cof;
  s->save = save;
  s->rcof = rcof;
  return s;
}

// Coded channel ch is the original file's channel chan_pos[ch]; an invalid
// permutation (out of range or repeated) keeps the coded order.
void MapOutputs(AlsState* s) {
  const int32_t C = s->cfg.channels;
  for (int32_t k = 0; k < C; ++k) s->output_channel[k] = -1;
  bool valid = s->cfg.chan_sort != 0;
  for (int32_t ch = 0; valid && ch < C; ++ch) {
    const int32_t pos = s->chan_pos[ch];
    if (pos >= C || s->output_channel[pos] >= 0) {
      valid = false;
    } else {
      s->output_channel[pos] = ch;
    }
  }
  if (!valid) {
    for (int32_t k = 0; k < C; ++k) s->output_channel[k] = k;
  }
}

}  // namespace

int ALSConfigParse(AlsConfig& c, BitReader& r) {
  std::memset(&c, 0, sizeof(c));
  c.samp_freq = Rd(r, 32);
  c.samples = Rd(r, 32);
  c.channels = static_cast<int32_t>(Rd(r, 16)) + 1;
  c.file_type = static_cast<int32_t>(Rd(r, 3));
  c.resolution = (static_cast<int32_t>(Rd(r, 3)) + 1) * 8;
  c.floating = static_cast<int32_t>(Rd(r, 1));
  c.msb_first = static_cast<int32_t>(Rd(r, 1));
  c.frame_length = static_cast<int32_t>(Rd(r, 16)) + 1;
  c.random_access = static_cast<int32_t>(Rd(r, 8));
  c.ra_flag = static_cast<int32_t>(Rd(r, 2));
  c.adapt_order = static_cast<int32_t>(Rd(r, 1));
  c.coef_table = static_cast<int32_t>(Rd(r, 2));
  c.long_term_prediction = static_cast<int32_t>(Rd(r, 1));
  c.max_order = static_cast<int32_t>(Rd(r, 10));
  c.block_switching = static_cast<int32_t>(Rd(r, 2));
  c.bgmc_mode = static_cast<int32_t>(Rd(r, 1));
  c.sb_part = static_cast<int32_t>(Rd(r, 1));
  c.joint_stereo = static_cast<int32_t>(Rd(r, 1));
  c.mc_coding = static_cast<int32_t>(Rd(r, 1));
  c.chan_config = static_cast<int32_t>(Rd(r, 1));
  c.chan_sort = static_cast<int32_t>(Rd(r, 1));
  c.crc_enabled = static_cast<int32_t>(Rd(r, 1));
  c.rlslms = static_cast<int32_t>(Rd(r, 1));
  Rd(r, 5);
  c.aux_data_enabled = static_cast<int32_t>(Rd(r, 1));
  if (c.channels == 1) c.joint_stereo = 0;
  if (c.chan_config) c.chan_config_info = static_cast<int32_t>(Rd(r, 16));
  c.tables_bit = UMC::BitReaderBitsConsumed(r);
  c.chan_pos_bits = BitLength(static_cast<uint32_t>(c.channels - 1));
  if (c.chan_sort && !Skip(r, int64_t{c.channels} * c.chan_pos_bits)) return -1;
  UMC::BitReaderByteAlign(r);
  c.header_size = Rd(r, 32);
  c.trailer_size = Rd(r, 32);
  if (c.header_size == 0xFFFFFFFFu) c.header_size = 0;
  if (c.trailer_size == 0xFFFFFFFFu) c.trailer_size = 0;
  if (!Skip(r, int64_t{c.header_size} * 8) || !Skip(r, int64_t{c.trailer_size} * 8)) return -1;
  if (c.crc_enabled) c.crc = Rd(r, 32);
  c.frames = static_cast<uint32_t>((uint64_t{c.samples} + c.frame_length - 1) / c.frame_length);
  c.last_frame_length = static_cast<int32_t>(c.samples % static_cast<uint32_t>(c.frame_length));
  if (c.last_frame_length == 0) c.last_frame_length = c.frame_length;
  if (c.ra_flag == 2 && c.random_access > 0) {
    c.ra_units = c.frames == 0 ? 0 : (c.frames - 1) / static_cast<uint32_t>(c.random_access) + 1;
    if (!Skip(r, int64_t{c.ra_units} * 32)) return -1;
  }
  if (c.aux_data_enabled) {
    const uint32_t aux = Rd(r, 32);
    if (!Skip(r, int64_t{aux} * 8)) return -1;
  }
  return UMC::BitReaderOverrun(r) ? -1 : 0;
}

int32_t ALSStateGetSize(const AlsConfig* c, AlsState** state, uint8_t* memory, int64_t* size) {
  if (!c || !size || (memory && !state)) return 5;
  *size = -1;
  if (c->resolution > 32 || c->channels < 1 || c->frame_length < 1) return -1;
  // No rate, or one beyond the codec interface's 32-bit signed fields: the
  // frames could not be timed or described.
  if (c->samp_freq == 0 || c->samp_freq > INT32_MAX) return -1;
  Layout count(nullptr);
  Arrange(*c, count);
  if (count.overflow() || count.used() > kAlsMaxStateBytes) return -1;
  *size = count.used() + 16;  // room to align the block
  if (!memory) return 0;
  uint8_t* base =
      reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(memory) + 15) & ~uintptr_t{15});
  std::memset(base, 0, static_cast<size_t>(count.used()));
  Layout L(base);
  AlsState* s = Arrange(*c, L);
  s->cfg = *c;
  s->base = base;
  s->history = HistoryFor(*c);
  s->residual_lead = ResidualLead(*c);
  s->ltp_lag_bits = LtpLagBits(c->samp_freq);
  s->mcc_lag_bits = MccLagBits(c->samp_freq);
  if (s->lz) s->lz->previous = -1;
  MapOutputs(s);
  *state = s;
  return 0;
}

int32_t ALSConfigStoreTables(AlsState* s, BitReader r) {
  if (!s) return 5;
  const AlsConfig& c = s->cfg;
  UMC::BitReaderSetPosition(r, c.tables_bit);
  for (int32_t ch = 0; ch < c.channels; ++ch) {
    if (c.chan_sort) s->chan_pos[ch] = static_cast<uint16_t>(Rd(r, c.chan_pos_bits));
  }
  MapOutputs(s);
  UMC::BitReaderByteAlign(r);
  UMC::BitReaderSkip(r, 64);
  for (uint32_t i = 0; i < c.header_size; ++i) s->orig_header[i] = static_cast<uint8_t>(Rd(r, 8));
  for (uint32_t i = 0; i < c.trailer_size; ++i) s->orig_trailer[i] = static_cast<uint8_t>(Rd(r, 8));
  if (c.crc_enabled) UMC::BitReaderSkip(r, 32);
  if (c.ra_flag == 2 && c.random_access > 0) {
    for (uint32_t i = 0; i < c.ra_units; ++i) s->ra_unit_size[i] = Rd(r, 32);
  }
  return 0;
}

int64_t ALSStateGetSize(const AlsConfig& c) {
  int64_t size = -1;
  ALSStateGetSize(&c, nullptr, nullptr, &size);
  return size;
}

AlsState* ALSStateInit(const AlsConfig& c, uint8_t* memory, const uint8_t* config,
                       int32_t config_size) {
  AlsState* s = nullptr;
  int64_t size = 0;
  if (!memory || ALSStateGetSize(&c, &s, memory, &size) != 0) return nullptr;
  BitReader r;
  UMC::BitReaderInit(r, config, config_size);
  ALSConfigStoreTables(s, r);
  return s;
}

void ALSStateRelocate(AlsState* s, intptr_t delta) {
  if (!s || delta == 0) return;
  // The state is the first piece of its block: re-running the layout at the
  // new address rewrites every pointer and leaves the contents alone.
  Layout L(s->base + delta);
  Arrange(s->cfg, L);
  s->base += delta;
}

int32_t ALSGetFrameLength(const AlsState* s, int32_t* frame_length) {
  if (!s || !frame_length) return 5;
  *frame_length = s->cfg.frame_length;
  return 0;
}
int32_t ALSGetSampleRate(const AlsState* s, int32_t* samp_freq) {
  if (!s || !samp_freq) return 5;
  *samp_freq = static_cast<int32_t>(s->cfg.samp_freq);
  return 0;
}
int32_t ALSGetChannels(const AlsState* s, int32_t* channels) {
  if (!s || !channels) return 5;
  *channels = s->cfg.channels;
  return 0;
}
int32_t ALSGetBitsPerSample(const AlsState* s, int32_t* bits) {
  if (!s || !bits) return 5;
  *bits = ALSBitsPerSample(s);
  return 0;
}
const AlsConfig& ALSGetConfig(const AlsState* s) {
  return s->cfg;
}
int32_t ALSBitsPerSample(const AlsState* s) {
  return s->cfg.floating ? 32 : s->cfg.resolution;
}
int32_t ALSFrameSamples(const AlsState* s) {
  return s->last_frame_samples;
}
uint32_t ALSFramesDecoded(const AlsState* s) {
  return s->frame_counter;
}
int64_t ALSMaxFrameBytes(const AlsState* s) {
  return int64_t{ALSBitsPerSample(s) / 8} * s->cfg.channels * s->cfg.frame_length;
}
const uint8_t* ALSOriginalHeader(const AlsState* s, uint32_t* size) {
  *size = s->cfg.header_size;
  return s->orig_header;
}
const uint8_t* ALSOriginalTrailer(const AlsState* s, uint32_t* size) {
  *size = s->cfg.trailer_size;
  return s->orig_trailer;
}
uint32_t ALSRunningCrc(const AlsState* s) {
  return s->running_crc;
}
int32_t ALSCrcCheck(const AlsState* s) {
  if (!s->cfg.crc_enabled || s->frame_counter < s->cfg.frames) return -1;
  return s->running_crc == s->cfg.crc ? 1 : 0;
}
