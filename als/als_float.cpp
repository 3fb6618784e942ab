// Floating-point extension of ALS (ISO/IEC 14496-3, 11.6.6): the integer
// samples carry the value's leading bits, the extension adds the remaining
// mantissa bits (raw or compressed with a masked Lempel-Ziv dictionary),
// an optional common multiplier and an exponent shift per channel.
#include <cstring>

#include "als/als_internal.h"

namespace {

using UMC::BitReader;

uint32_t Rd(BitReader& r, int n) {
  return UMC::BitReaderRead(r, n);
}

void LzReset(AlsLzState& z) {
  z.width = 9;
  z.next_code = 258;
  z.bump_code = 511;
  z.open = 1;
  z.previous = -1;
}

// Writes the string of `code` into z.string; returns its length.
int32_t LzString(AlsLzState& z, int32_t code) {
  if (code < 256) {
    z.string[0] = static_cast<uint8_t>(code);
    return 1;
  }
  const int32_t len = z.length[code];
  int32_t c = code;
  for (int32_t i = len - 1; i >= 0; --i) {
    if (c < 256) {
      z.string[i] = static_cast<uint8_t>(c);
      break;
    }
    z.string[i] = z.last_byte[c];
    c = z.prefix[c];
  }
  return len;
}

void LzAdd(AlsLzState& z, int32_t prefix, uint8_t last) {
  if (!z.open || z.next_code >= kAlsLzEntries - 1) return;
  const int32_t plen = prefix < 256 ? 1 : z.length[prefix];
  if (plen + 1 > 0x7FFF) return;
  z.prefix[z.next_code] = static_cast<uint16_t>(prefix);
  z.last_byte[z.next_code] = last;
  z.length[z.next_code] = static_cast<uint16_t>(plen + 1);
  ++z.next_code;
}

// Code of the current width, most significant bit first.
int32_t LzReadCode(AlsLzState& z, BitReader& r) {
  return static_cast<int32_t>(Rd(r, z.width));
}

// Each compressed part is coded on its own, but with the dictionary that
// the earlier parts (channels, frames) built: no string continues across
// parts, so the first code of a part adds no entry.
void LzStartPart(AlsLzState& z) {
  z.previous = -1;
  z.pending_count = z.pending_pos = 0;
}

// Produces `count` bytes; false when the data ends first.
bool LzDecode(AlsLzState& z, BitReader& r, uint8_t* out, int32_t count) {
  int32_t done = 0;
  while (done < count && z.pending_pos < z.pending_count) out[done++] = z.pending[z.pending_pos++];
  while (done < count) {
    if (UMC::BitReaderOverrun(r)) return false;
    const int32_t c = LzReadCode(z, r);
    if (c == 256 || c == 0x7FFF) {
      LzReset(z);
      continue;
    }
    if (c == 257) {
      z.open = 0;
      continue;
    }
    if (c == z.bump_code) {
      if (z.width < 15) {
        ++z.width;
        z.bump_code = 2 * z.bump_code + 1;
      }
      continue;
    }
    int32_t len;
    if (c < z.next_code) {
      len = LzString(z, c);
      if (z.previous >= 0) LzAdd(z, z.previous, z.string[0]);
    } else if (z.previous < 0) {
      z.previous = c < 256 ? c : -1;
      continue;
    } else {
      len = LzString(z, z.previous);
      z.string[len] = z.string[0];
      ++len;
      LzAdd(z, z.previous, z.string[0]);
    }
    z.previous = c < z.next_code ? c : z.next_code - 1;
    int32_t i = 0;
    while (i < len && done < count) out[done++] = z.string[i++];
    z.pending_count = 0;
    z.pending_pos = 0;
    while (i < len) z.pending[z.pending_count++] = z.string[i++];
  }
  return true;
}

struct Float32 {
  uint32_t sign;
  int32_t exponent;   // biased
  uint32_t mantissa;  // 24 bits with the hidden bit
};

Float32 Split(int32_t v) {
  float f = static_cast<float>(v);
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return Float32{u >> 31, static_cast<int32_t>((u >> 23) & 0xFF), (u & 0x7FFFFF) | 0x800000};
}

// m * (A + 2^23) brought back to 24 significant bits, ties to even.
void Multiply(Float32& f, uint32_t multiplier) {
  const uint64_t product = uint64_t{f.mantissa} * (uint64_t{multiplier} + (1u << 23));
  int shift = 23;
  if (product >= (uint64_t{1} << 47)) {
    shift = 24;
    ++f.exponent;
  }
  uint64_t m = product >> shift;
  const uint64_t rest = product & ((uint64_t{1} << shift) - 1);
  const uint64_t half = uint64_t{1} << (shift - 1);
  if (rest > half || (rest == half && (m & 1))) ++m;
  if (m >= (1u << 24)) {
    m >>= 1;
    ++f.exponent;
  }
  f.mantissa = static_cast<uint32_t>(m);
}

}  // namespace

int AlsDecodeFloat(AlsState& s, BitReader& r, int32_t n, bool ra_frame) {
  const int32_t channels = s.cfg.channels;
  const uint32_t bytes = Rd(r, 32);
  const int64_t end = UMC::BitReaderBitsConsumed(r) + int64_t{bytes} * 8;
  const int32_t use_acf = static_cast<int32_t>(Rd(r, 1));
  AlsLzState& z = *s.lz;
  if (ra_frame) {
    for (int32_t c = 0; c < channels; ++c) s.acf_mantissa[c] = s.float_shift[c] = 0;
    LzReset(z);
    z.pending_count = z.pending_pos = 0;
  }
  if (z.width == 0) LzReset(z);
  uint8_t buf[4];
  for (int32_t c = 0; c < channels; ++c) {
    const int32_t* x = s.channel[c];
    uint32_t* out = s.float_bits + int64_t{c} * s.cfg.frame_length;
    uint32_t* diff = s.mantissa_diff;
    int32_t multiplier = 0;
    if (use_acf) {
      if (Rd(r, 1)) s.acf_mantissa[c] = static_cast<int32_t>(Rd(r, 23));
      multiplier = s.acf_mantissa[c];
    }
    // highest_byte (2 bits), shift_amp, partA_flag.  The shift value is
    // coded with a bias of 127.
    const uint32_t flags = Rd(r, 4);
    const int32_t highest_byte = static_cast<int32_t>(flags >> 2);
    const int32_t part_a = static_cast<int32_t>(flags & 1);
    if (flags & 2) s.float_shift[c] = static_cast<int32_t>(Rd(r, 8)) - 127;
    // Part A: samples whose integer part is 0 carry their whole pattern.
    if (part_a) {
      const bool compressed = Rd(r, 1);
      if (compressed) LzStartPart(z);
      for (int32_t i = 0; i < n; ++i) {
        if (x[i] != 0) continue;
        if (compressed) {
          if (!LzDecode(z, r, buf, 4)) return -1;
          out[i] = (uint32_t{buf[0]} << 24) | (uint32_t{buf[1]} << 16) | (uint32_t{buf[2]} << 8) |
                   buf[3];
        } else {
          out[i] = Rd(r, 32);
        }
      }
    } else {
      for (int32_t i = 0; i < n; ++i) {
        if (x[i] == 0) out[i] = 0;
      }
    }
    // Part B: the mantissa bits below the integer part.
    for (int32_t i = 0; i < n; ++i) diff[i] = 0;
    if (highest_byte > 0) {
      const bool compressed = Rd(r, 1);
      if (compressed) LzStartPart(z);
      for (int32_t i = 0; i < n; ++i) {
        if (x[i] == 0) continue;
        int32_t width = highest_byte * 8;
        const int32_t limit = multiplier ? 23 : 150 - Split(x[i]).exponent;
        if (limit < width) width = limit;
        if (width <= 0) continue;
        if (compressed) {
          const int32_t nb = (width + 7) / 8;
          uint8_t tmp[4] = {0, 0, 0, 0};
          if (!LzDecode(z, r, tmp, nb)) return -1;
          uint32_t acc = 0;
          for (int32_t k = 0; k < nb; ++k) acc = (acc << 8) | tmp[k];
          diff[i] = acc >> (8 * nb - width);
        } else {
          diff[i] = Rd(r, width);
        }
      }
    }
    UMC::BitReaderByteAlign(r);
    if (UMC::BitReaderOverrun(r)) return -1;
    // Rebuild the samples with a non-zero integer part.
    for (int32_t i = 0; i < n; ++i) {
      if (x[i] == 0) continue;
      Float32 f = Split(x[i]);
      if (multiplier) Multiply(f, static_cast<uint32_t>(multiplier));
      uint32_t m = f.mantissa + diff[i];
      if (m >= (1u << 24)) {
        m >>= 1;
        ++f.exponent;
      }
      // The integer part holds the value scaled by 2^23; the shift value
      // moves the exponent further.
      const int32_t e = f.exponent - 23 + s.float_shift[c];
      out[i] = (f.sign << 31) | ((static_cast<uint32_t>(e) & 0xFF) << 23) | (m & 0x7FFFFF);
    }
  }
  if (end >= UMC::BitReaderBitsConsumed(r)) UMC::BitReaderSetPosition(r, end);
  return UMC::BitReaderOverrun(r) ? -1 : 0;
}
