// ALS frame decoding (ISO/IEC 14496-3, 11.6): random access, block
// switching, channel pairs with joint stereo, multichannel correlation
// coding, the floating-point extension and PCM output.
#include <cstring>

#include "als/als_internal.h"
#include "dsp/dsp_vector.h"

namespace {

using UMC::BitReader;

uint32_t Rd(BitReader& r, int n) {
  return UMC::BitReaderRead(r, n);
}

int32_t ReadPartition(AlsState& s, BitReader& r, uint32_t* bs_info, int32_t* lengths) {
  const AlsConfig& c = s.cfg;
  const int32_t bits = c.block_switching == 1 ? 8 : c.block_switching == 2 ? 16 : 32;
  *bs_info = Rd(r, bits) << (32 - bits);
  return AlsBlockPartition(*bs_info, c.frame_length, lengths);
}

// Reconstructs one block outside RLS-LMS mode, or prepares its samples as
// the cascade's input in RLS-LMS mode.
void Reconstruct(AlsState& s, AlsBlock& b) {
  if (!s.cfg.rlslms || b.type == 0) {
    AlsReconstructBlock(s, b);
    return;
  }
  if (b.ltp) AlsApplyLtp(s, b);
  std::memcpy(b.out, b.residual, sizeof(int32_t) * static_cast<size_t>(b.length));
  if (b.shift > 0) {
    for (int32_t i = 0; i < b.length; ++i) {
      b.out[i] = static_cast<int32_t>(static_cast<uint32_t>(b.out[i]) << b.shift);
    }
  }
}

bool ResetBlock(const AlsState& s, bool ra_frame) {
  return ra_frame || s.rls_params.extension == 7;
}

// A channel decoded alone.
int DecodeChannel(AlsState& s, BitReader& r, int32_t ch, const int32_t* lengths, int32_t count,
                  bool ra_frame) {
  int32_t offset = 0;
  AlsBlock& b = s.blocks[ch];
  for (int32_t i = 0; i < count; ++i) {
    b.length = lengths[i];
    b.ra_block = ra_frame && i == 0;
    if (AlsReadBlock(s, r, b, ch) != 0) return -1;
    b.out = s.channel[ch] + offset;
    Reconstruct(s, b);
    if (s.cfg.rlslms) {
      const bool reset = ResetBlock(s, ra_frame);
      if (reset) AlsRlsReset(s, ch);
      if (b.type != 0 && AlsRlsRunChannel(s, ch, b.out, b.out, b.length, reset) != 0) return -1;
    }
    offset += b.length;
  }
  return 0;
}

// Channels c and c + 1 with one partition and joint stereo.
int DecodePair(AlsState& s, BitReader& r, int32_t c, const int32_t* lengths, int32_t count,
               bool ra_frame) {
  int32_t offset = 0;
  AlsBlock& a = s.blocks[c];
  AlsBlock& b = s.blocks[c + 1];
  int32_t* diff = s.difference[c / 2];
  int32_t* xa = s.channel[c];
  int32_t* xb = s.channel[c + 1];
  for (int32_t i = 0; i < count; ++i) {
    a.length = b.length = lengths[i];
    a.ra_block = b.ra_block = ra_frame && i == 0;
    if (AlsReadBlock(s, r, a, c) != 0) return -1;
    if (AlsReadBlock(s, r, b, c + 1) != 0) return -1;
    const int32_t n = lengths[i];
    if (s.cfg.rlslms) {
      a.out = xa + offset;
      b.out = xb + offset;
      Reconstruct(s, a);
      Reconstruct(s, b);
      if (AlsRlsRunPair(s, c, a, b, ResetBlock(s, ra_frame)) != 0) return -1;
    } else {
      a.out = (a.js_block ? diff : xa) + offset;
      b.out = (b.js_block ? diff : xb) + offset;
      Reconstruct(s, a);
      Reconstruct(s, b);
      AlsJointCombine(xa + offset, xb + offset, diff + offset, n, a.js_block, b.js_block);
    }
    offset += n;
  }
  return 0;
}

int DecodeMcc(AlsState& s, BitReader& r, bool ra_frame, bool last_frame) {
  const AlsConfig& c = s.cfg;
  int32_t lengths[kAlsMaxBlocks];
  int32_t count = 1;
  lengths[0] = c.frame_length;
  if (c.block_switching > 0) {
    uint32_t bs_info;
    count = ReadPartition(s, r, &bs_info, lengths);
  }
  if (last_frame) count = AlsShortenPartition(lengths, count, c.last_frame_length);
  int32_t offset = 0;
  for (int32_t i = 0; i < count; ++i) {
    const int32_t n = lengths[i];
    for (int32_t ch = 0; ch < c.channels; ++ch) {
      AlsBlock& b = s.blocks[ch];
      b.length = n;
      b.ra_block = ra_frame && i == 0;
      if (AlsReadBlock(s, r, b, ch) != 0) return -1;
      if (AlsReadMccParameters(s, r, ch) != 0 || UMC::BitReaderOverrun(r)) return -1;
    }
    AlsMccReconstruct(s, n);
    for (int32_t ch = 0; ch < c.channels; ++ch) {
      AlsBlock& b = s.blocks[ch];
      b.out = s.channel[ch] + offset;
      Reconstruct(s, b);
    }
    // Keep the pair difference buffers current for later joint-stereo frames.
    if (c.joint_stereo) {
      for (int32_t ch = 0; ch + 1 < c.channels; ch += 2) {
        AlsJointCombine(s.channel[ch] + offset, s.channel[ch + 1] + offset,
                        s.difference[ch / 2] + offset, n, 0, 0);
      }
    }
    offset += n;
  }
  return 0;
}

int DecodeChannels(AlsState& s, BitReader& r, bool ra_frame, bool last_frame) {
  const AlsConfig& c = s.cfg;
  int32_t lengths[kAlsMaxBlocks];
  for (int32_t ch = 0; ch < c.channels;) {
    int32_t count = 1;
    uint32_t bs_info = 0;
    lengths[0] = c.frame_length;
    if (!c.rlslms && c.block_switching > 0) count = ReadPartition(s, r, &bs_info, lengths);
    if (last_frame) count = AlsShortenPartition(lengths, count, c.last_frame_length);
    const bool alone = !c.joint_stereo || ch + 1 >= c.channels || (ch & 1) || (bs_info >> 31);
    if (alone) {
      if (DecodeChannel(s, r, ch, lengths, count, ra_frame) != 0) return -1;
      if (c.joint_stereo && !c.rlslms && (ch & 1) && ch >= 1) {
        // Separately decoded pair: refresh its difference signal.
        int32_t n = 0;
        for (int32_t i = 0; i < count; ++i) n += lengths[i];
        AlsJointCombine(s.channel[ch - 1], s.channel[ch], s.difference[ch / 2], n, 0, 0);
      }
      ++ch;
    } else {
      if (DecodePair(s, r, ch, lengths, count, ra_frame) != 0) return -1;
      ch += 2;
    }
  }
  return 0;
}

// End of frame: the last samples become the history of the next frame.
void SaveHistory(AlsState& s, int32_t n) {
  const int32_t H = s.history;
  if (H <= 0) return;
  auto save = [&](int32_t* x) {
    if (n >= H) {
      std::memmove(x - H, x + n - H, sizeof(int32_t) * static_cast<size_t>(H));
    } else {
      std::memmove(x - H, x - H + n, sizeof(int32_t) * static_cast<size_t>(H - n));
      std::memmove(x - n, x, sizeof(int32_t) * static_cast<size_t>(n));
    }
  };
  for (int32_t ch = 0; ch < s.cfg.channels; ++ch) save(s.channel[ch]);
  if (s.difference) {
    for (int32_t p = 0; p < s.cfg.channels / 2; ++p) save(s.difference[p]);
  }
}

// Interleaves one channel: n values of `bytes` bytes, `stride` bytes apart.
// `flip` is xored into 8-bit samples (0x80 turns signed into unsigned).
template <typename T>
void WriteChannel(uint8_t* dst, int64_t stride, const T* src, int32_t n, int32_t bytes,
                  bool big_endian, uint8_t flip) {
  switch (bytes) {
    case 1:
      for (int32_t j = 0; j < n; ++j) dst[j * stride] = static_cast<uint8_t>(src[j]) ^ flip;
      break;
    case 2:
      for (int32_t j = 0; j < n; ++j) {
        const uint32_t v = static_cast<uint32_t>(src[j]);
        uint8_t* d = dst + j * stride;
        d[big_endian ? 1 : 0] = static_cast<uint8_t>(v);
        d[big_endian ? 0 : 1] = static_cast<uint8_t>(v >> 8);
      }
      break;
    default:
      for (int32_t j = 0; j < n; ++j) {
        const uint32_t v = static_cast<uint32_t>(src[j]);
        uint8_t* d = dst + j * stride;
        for (int32_t i = 0; i < bytes; ++i) {
          d[i] = static_cast<uint8_t>(v >> (8 * (big_endian ? bytes - 1 - i : i)));
        }
      }
      break;
  }
}

// From the signed output form to the original file's bytes: 8-bit samples
// of WAVE (and unknown) files are unsigned; AIFF keeps them signed.
uint8_t OriginalFlip(const AlsConfig& c) {
  return (c.resolution == 8 && !c.floating && c.file_type != 2) ? 0x80 : 0;
}

// From decoded values to the signed output form: 8-bit samples are coded
// as the file's bytes with the top bit inverted, whatever the file type,
// so AIFF's signed samples come out of the predictor offset by 128.
uint8_t SignedFlip(const AlsConfig& c) {
  return (c.resolution == 8 && !c.floating && c.file_type == 2) ? 0x80 : 0;
}

void WritePcm(const AlsState& s, uint8_t* out, int32_t n, bool original) {
  const AlsConfig& c = s.cfg;
  const int32_t bytes = ALSBitsPerSample(&s) / 8;
  const int64_t stride = int64_t{c.channels} * bytes;
  const bool big_endian = original && c.msb_first;
  const uint8_t flip = SignedFlip(c) ^ (original ? OriginalFlip(c) : 0);
  for (int32_t k = 0; k < c.channels; ++k) {
    const int32_t ch = s.output_channel[k];
    uint8_t* dst = out + int64_t{k} * bytes;
    if (c.floating) {
      WriteChannel(dst, stride, s.float_bits + int64_t{ch} * c.frame_length, n, bytes, big_endian,
                   flip);
    } else {
      WriteChannel(dst, stride, s.channel[ch], n, bytes, big_endian, flip);
    }
  }
}

// The stored CRC covers the samples as the original file holds them: adds
// the frame's PCM (written little-endian and signed) in that form.
void UpdateCrc(AlsState& s, const uint8_t* pcm, int32_t size, int32_t bytes) {
  const bool swap = s.cfg.msb_first && bytes > 1;
  const uint8_t flip = OriginalFlip(s.cfg);
  if (!swap && !flip) {
    dspCrc32_8u(pcm, size, &s.running_crc);
    return;
  }
  uint8_t tmp[240];  // a multiple of every sample size
  for (int32_t off = 0; off < size; off += 240) {
    const int32_t len = size - off < 240 ? size - off : 240;
    for (int32_t i = 0; i < len; i += bytes) {
      for (int32_t b = 0; b < bytes; ++b) {
        tmp[i + b] = pcm[off + i + (swap ? bytes - 1 - b : b)] ^ flip;
      }
    }
    dspCrc32_8u(tmp, len, &s.running_crc);
  }
}

}  // namespace

int32_t ALSDecodeFrame(const uint8_t* input, int32_t* consumed, uint8_t* output, int32_t* written,
                       int32_t input_size, int32_t output_capacity, int32_t with_file_data,
                       AlsState* s, int32_t original_form) {
  if (!input || !output || !consumed || !written || !s) return 5;
  const AlsConfig& c = s->cfg;
  const bool first = s->frame_counter == 0;
  // A stream that announces no samples has no last frame to shorten.
  const bool last = c.frames > 0 && s->frame_counter + 1 >= c.frames;
  const int32_t n = last ? c.last_frame_length : c.frame_length;
  const int32_t bytes = ALSBitsPerSample(s) / 8;
  int64_t need = int64_t{bytes} * c.channels * n;
  if (with_file_data && first) need += c.header_size;
  if (with_file_data && last) need += c.trailer_size;
  *consumed = 0;
  *written = 0;
  if (int64_t{output_capacity} < need) return 7;
  if (with_file_data && first && c.header_size) {
    std::memcpy(output, s->orig_header, c.header_size);
    output += c.header_size;
    *written += static_cast<int32_t>(c.header_size);
  }
  BitReader r;
  UMC::BitReaderInit(r, input, input_size);
  const bool ra_frame =
      c.random_access > 0 && (s->frame_counter % static_cast<uint32_t>(c.random_access)) == 0;
  if (ra_frame) {
    if (c.ra_flag == 1) {
      Rd(r, 32);  // ra_unit_size
    } else if (c.ra_flag == 2 && s->ra_index < c.ra_units) {
      ++s->ra_index;
    }
  }
  s->js_switch = 0;
  if (c.mc_coding && c.joint_stereo) {
    s->js_switch = static_cast<int32_t>(Rd(r, 1));
    UMC::BitReaderByteAlign(r);
  }
  ++s->frame_counter;
  s->rls_params.extension = 0;
  const int rc = (c.mc_coding && !s->js_switch) ? DecodeMcc(*s, r, ra_frame, last)
                                                : DecodeChannels(*s, r, ra_frame, last);
  s->rls_params.extension = 0;
  if (rc != 0 || UMC::BitReaderOverrun(r)) {
    const int64_t used = (UMC::BitReaderBitsConsumed(r) + 7) >> 3;
    *consumed = static_cast<int32_t>(used < input_size ? used : input_size);
    return 4;
  }
  SaveHistory(*s, n);
  if (c.floating && AlsDecodeFloat(*s, r, n, ra_frame) != 0) {
    const int64_t used = (UMC::BitReaderBitsConsumed(r) + 7) >> 3;
    *consumed = static_cast<int32_t>(used < input_size ? used : input_size);
    return 4;
  }
  WritePcm(*s, output, n, original_form != 0);
  const int32_t pcm_bytes = bytes * c.channels * n;
  if (c.crc_enabled) {
    if (original_form) {
      dspCrc32_8u(output, pcm_bytes, &s->running_crc);
    } else {
      UpdateCrc(*s, output, pcm_bytes, bytes);
    }
  }
  output += pcm_bytes;
  *written += pcm_bytes;
  if (with_file_data && last && c.trailer_size) {
    std::memcpy(output, s->orig_trailer, c.trailer_size);
    *written += static_cast<int32_t>(c.trailer_size);
  }
  s->last_frame_samples = n;
  const int64_t used = UMC::BitReaderBitsConsumed(r) >> 3;
  *consumed = static_cast<int32_t>(used < input_size ? used : input_size);
  return 0;
}
