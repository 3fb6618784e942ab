// Whole access units for frame-level tests: minimal channel streams written
// with the decoder's code lists, decoded through AACDecoder with a two-byte
// AudioSpecificConfig.
#pragma once

#include <array>
#include <vector>

#include "aac/aac_dec_state.h"
#include "tests/aac/ics_test_util.h"
#include "umc/aac_decoder.h"

namespace frame_test {

using ics_test::BitWriter;

using Quad = std::array<int, 4>;

constexpr int kGain = 156;  // loud enough for a few hundred LSB, far from clipping

// A long-window channel stream with one band (4 lines, codebook 11).
inline void PutIcs(BitWriter& w, const Quad& q, int global_gain = kGain) {
  w.Put(static_cast<uint32_t>(global_gain), 8);
  w.Put(0, 1).Put(ONLY_LONG_SEQUENCE, 2).Put(0, 1).Put(1, 6).Put(0, 1);  // ics_info
  w.Put(11, 4).Put(1, 5);                                                // one section
  ics_test::PutScalefactorDelta(w, 0);
  w.Put(0, 1).Put(0, 1).Put(0, 1);  // no pulses, TNS or gain control
  ics_test::PutEscPair(w, q[0], q[1]);
  ics_test::PutEscPair(w, q[2], q[3]);
}

inline void PutSce(BitWriter& w, int tag, const Quad& q, int global_gain = kGain) {
  w.Put(ID_SCE, 3).Put(static_cast<uint32_t>(tag), 4);
  PutIcs(w, q, global_gain);
}

inline void PutCpe(BitWriter& w, int tag, const Quad& l, const Quad& r) {
  w.Put(ID_CPE, 3).Put(static_cast<uint32_t>(tag), 4).Put(0, 1);  // no common window
  PutIcs(w, l);
  PutIcs(w, r);
}

struct Decoded {
  std::vector<int16_t> pcm;
  int channels = 0;
  std::vector<UMC::Status> status;
};

// Decodes `frames` copies of one access unit with a one-channel (config 1)
// or two-channel (config 2) configuration at 44.1 kHz, LC or Main.
inline Decoded Decode(int configuration, const BitWriter& frame, int frames = 3,
                      int object_type = ics_test::kObjectLc) {
  ics_test::SharedBooks();  // primitives initialised
  uint8_t asc[2] = {static_cast<uint8_t>(object_type << 3 | 0x02),
                    static_cast<uint8_t>(configuration << 3)};
  UMC::MediaData config;
  config.SetBufferPointer(asc, 2);
  config.SetDataSize(2);
  UMC::AACDecoderParams params;
  params.in.stream_type = UMC::kStreamTypeMpeg4Config;
  params.data = &config;
  UMC::AACDecoder dec;
  EXPECT_EQ(dec.Init(&params), UMC::StatusOk);
  std::vector<uint8_t> au = frame.bytes();
  Decoded d;
  std::vector<uint8_t> out_buf(1 << 16);
  for (int i = 0; i < frames; ++i) {
    UMC::MediaData in, out;
    in.SetBufferPointer(au.data(), static_cast<uint32_t>(au.size()));
    in.SetDataSize(static_cast<uint32_t>(au.size()));
    out.SetBufferPointer(out_buf.data(), static_cast<uint32_t>(out_buf.size()));
    d.status.push_back(dec.GetFrame(&in, &out));
    const auto* p = reinterpret_cast<const int16_t*>(out_buf.data());
    d.pcm.insert(d.pcm.end(), p, p + out.GetDataSize() / 2);
  }
  UMC::AudioCodecParams info;
  dec.GetInfo(&info);
  d.channels = info.out.channels;
  return d;
}

// Channel `ch` of interleaved PCM.
template <typename D>
std::vector<int> Channel(const D& d, int ch) {
  std::vector<int> v;
  for (size_t i = static_cast<size_t>(ch); i < d.pcm.size(); i += static_cast<size_t>(d.channels))
    v.push_back(d.pcm[i]);
  return v;
}

// One ADTS frame (MPEG-4 LC, no CRC, 44.1 kHz) around a raw data block.
inline std::vector<uint8_t> Adts(const BitWriter& block, int configuration) {
  const std::vector<uint8_t>& raw = block.bytes();
  const uint32_t length = static_cast<uint32_t>(raw.size() + 7);
  BitWriter h;
  h.Put(0xFFF, 12).Put(0, 1).Put(0, 2).Put(1, 1);  // syncword, MPEG-4, layer, no CRC
  h.Put(1, 2).Put(4, 4).Put(0, 1).Put(static_cast<uint32_t>(configuration), 3);
  h.Put(0, 4).Put(length, 13).Put(0x7FF, 11).Put(0, 2);
  std::vector<uint8_t> frame = h.bytes();
  frame.insert(frame.end(), raw.begin(), raw.end());
  return frame;
}

}  // namespace frame_test
