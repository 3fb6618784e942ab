// spectral_data() (ISO/IEC 14496-3, 4.4.2.7 and 4.6.3): Huffman-coded
// quantised values of every band, and the decoder tables of the twelve
// codebooks.
//
// The code lists fold the sign bits of the unsigned codebooks into the
// codewords and pack each tuple into one value (first element signed in the
// high bits, the others offset), so a quadruple or pair costs one lookup
// chain and one unpack; whole bands of a group go through one primitive call.
#include <cstring>

#include "aac/aac_huffman_tables.h"
#include "aac/channel_stream.h"
#include "dsp/dsp_core.h"
#include "dsp/dsp_vlc.h"

namespace {

constexpr int32_t kAlign = 32;

struct ReaderCursor {
  const uint8_t* ptr;
  int32_t bit_offset;
};

ReaderCursor CursorFrom(const UMC::BitReader& r) {
  return {r.data + (r.pos >> 3), static_cast<int32_t>(r.pos & 7)};
}

void CursorTo(const ReaderCursor& c, UMC::BitReader& r) {
  UMC::BitReaderSetPosition(r, (c.ptr - r.data) * 8 + c.bit_offset);
}

void UnpackQuads(const int16_t* packed, int32_t count, int32_t s, int32_t o, int16_t* out) {
  const int32_t mask = (1 << s) - 1;
  for (int32_t i = 0; i < count; ++i) {
    const int32_t v = packed[i];
    out[4 * i] = static_cast<int16_t>(v >> (3 * s));
    out[4 * i + 1] = static_cast<int16_t>(((v >> (2 * s)) & mask) - o);
    out[4 * i + 2] = static_cast<int16_t>(((v >> s) & mask) - o);
    out[4 * i + 3] = static_cast<int16_t>((v & mask) - o);
  }
}

void UnpackPairs(const int16_t* packed, int32_t count, int32_t s, int32_t o, int16_t* out) {
  const int32_t mask = (1 << s) - 1;
  for (int32_t i = 0; i < count; ++i) {
    const int32_t v = packed[i];
    out[2 * i] = static_cast<int16_t>(v >> s);
    out[2 * i + 1] = static_cast<int16_t>((v & mask) - o);
  }
}

// One band of one group: `lines` values with codebook `cb` into `out`.
int DecodeBand(UMC::BitReader& r, const AacHuffmanTables& books, int32_t cb, int32_t lines,
               int16_t* out) {
  if (cb <= ZERO_HCB || cb > ESC_HCB) {
    std::memset(out, 0, lines * sizeof(int16_t));
    return 0;
  }
  const AacCodebookInfo& layout = kAacCodebooks[cb];
  ReaderCursor c = CursorFrom(r);
  int32_t status;
  if (layout.kind == 2) {
    status = dspVlcDecodePairsBlock_16s(&c.ptr, &c.bit_offset, out, lines, books.book[cb]);
  } else {
    // Packed tuples go to a scratch buffer, then unpack into the band.
    alignas(16) int16_t packed[kAacFrameLength / 2];
    const int32_t dim = layout.kind == 0 ? 4 : 2;
    const int32_t count = lines / dim;
    status = dspVlcDecodeBlock_16s(&c.ptr, &c.bit_offset, packed, count, books.book[cb]);
    if (status >= 0) {
      if (dim == 4) {
        UnpackQuads(packed, count, layout.shift, layout.offset, out);
      } else {
        UnpackPairs(packed, count, layout.shift, layout.offset, out);
      }
    }
  }
  CursorTo(c, r);
  return status >= 0 ? 0 : -1;
}

}  // namespace

int DecodeSpectralData(ChannelStream& s, UMC::BitReader& r, const AacHuffmanTables& books) {
  const bool short_windows = s.window_sequence == EIGHT_SHORT_SEQUENCE;
  const int32_t* offset = short_windows ? s.bands.swb_offset_short : s.bands.swb_offset_long;
  const int32_t num_swb = short_windows ? s.bands.num_swb_short : s.bands.num_swb_long;
  if (!offset || s.max_sfb < 0 || s.max_sfb > num_swb || s.num_window_groups > kAacMaxWindows) {
    return -1;
  }
  int32_t p = 0;
  for (int32_t g = 0; g < s.num_window_groups; ++g) {
    const int32_t length = s.window_group_length[g];
    for (int32_t b = 0; b < s.max_sfb; ++b) {
      const int32_t lines = (offset[b + 1] - offset[b]) * length;
      if (lines < 0 || p + lines > kAacFrameLength) return -1;
      // A band starts only within the data; one band's codewords cannot
      // reach past the padding that follows it.
      if (UMC::BitReaderOverrun(r)) return -1;
      if (DecodeBand(r, books, s.sfb_cb[g][b], lines, s.quant + p) != 0) return -1;
      p += lines;
    }
  }
  return UMC::BitReaderOverrun(r) ? -1 : 0;
}

int AacHuffmanTablesGetSize(int32_t* size) {
  if (!size) return -1;
  int32_t total = 0;
  for (int cb = 0; cb < 12; ++cb) {
    int32_t book_size = 0;
    if (dspVlcDecodeGetSize_32s(kAacCodebooks[cb].codes, kAacCodebooks[cb].count,
                                kAacCodebooks[cb].widths, kAacCodebooks[cb].num_widths,
                                &book_size) != dspStsNoErr) {
      return -1;
    }
    total += book_size + kAlign;
  }
  *size = total;
  return 0;
}

int AacHuffmanTablesInit(AacHuffmanTables* tables, void* memory) {
  if (!tables || !memory) return -1;
  uint8_t* p = static_cast<uint8_t*>(memory);
  for (int cb = 0; cb < 12; ++cb) {
    int32_t book_size = 0;
    if (dspVlcDecodeGetSize_32s(kAacCodebooks[cb].codes, kAacCodebooks[cb].count,
                                kAacCodebooks[cb].widths, kAacCodebooks[cb].num_widths,
                                &book_size) != dspStsNoErr) {
      return -1;
    }
    uint8_t* table = dspAlignPtr<uint8_t>(p, kAlign);
    DspVlcDecodeSpec_32s* spec = nullptr;
    if (dspVlcDecodeInit_32s(kAacCodebooks[cb].codes, kAacCodebooks[cb].count,
                             kAacCodebooks[cb].widths, kAacCodebooks[cb].num_widths, table,
                             &spec) != dspStsNoErr) {
      return -1;
    }
    tables->book[cb] = spec;
    p += book_size + kAlign;
  }
  return 0;
}
