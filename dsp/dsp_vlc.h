// Variable-length-code (Huffman) decoding through multi-level lookup tables
// built in caller memory from code lists, and the encoder-side bit counting.
//
// The stream is addressed by a byte pointer and a bit offset (0..7, bits
// already consumed in that byte, most significant first); the decode
// primitives advance both.  They read up to eight bytes beyond the byte that
// holds the last bit of a code word, so the caller's buffer must be padded.
#pragma once

#include <cstdint>

#include "dsp/dsp_core.h"

// One entry of a code list: the value, the code word right-aligned in
// `length` bits (1..32), sent most significant bit first.
struct DspVlcCode {
  int32_t value;
  int32_t code;
  int32_t length;
};

struct DspVlcDecodeSpec_32s;
struct DspVlcEncodeSpec_32s;

int32_t dspVlcDecodeGetSize_32s(const DspVlcCode* codes, int32_t count, const int32_t* widths,
                                int32_t num_widths, int32_t* size);
int32_t dspVlcDecodeInit_32s(const DspVlcCode* codes, int32_t count, const int32_t* widths,
                             int32_t num_widths, uint8_t* memory, DspVlcDecodeSpec_32s** spec);
int32_t dspVlcDecodeOne_16s(const uint8_t** stream, int32_t* bit_offset, int16_t* value,
                            const DspVlcDecodeSpec_32s* spec);
int32_t dspVlcDecodeBlock_16s(const uint8_t** stream, int32_t* bit_offset, int16_t* values,
                              int32_t count, const DspVlcDecodeSpec_32s* spec);
// Two values per code word, packed as first * 256 + (second + 128); a value
// of +/-16 is followed by an escape sequence (codebook 11 of ISO/IEC
// 14496-3).  `count` is rounded down to even.
int32_t dspVlcDecodePairsBlock_16s(const uint8_t** stream, int32_t* bit_offset, int16_t* values,
                                   int32_t count, const DspVlcDecodeSpec_32s* spec);

int32_t dspVlcEncodeGetSize_32s(const DspVlcCode* codes, int32_t count, int32_t* size);
int32_t dspVlcEncodeInit_32s(const DspVlcCode* codes, int32_t count, uint8_t* memory,
                             DspVlcEncodeSpec_32s** spec);
int32_t dspVlcCountBits_16s(const int16_t* values, int32_t count, int32_t* bits,
                            const DspVlcEncodeSpec_32s* spec);
// Pairs (values[2i], values[2i + 1]) looked up as values[2i] * 256 + values[2i + 1] + 128.
int32_t dspVlcCountBitsPairs_16s(const int16_t* values, int32_t count, int32_t* bits,
                                 const DspVlcEncodeSpec_32s* spec);
