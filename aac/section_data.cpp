// section_data() (ISO/IEC 14496-3, 4.4.2.7): the codebook of every band.
#include <cstring>

#include "aac/channel_stream.h"

namespace {

// A group's codebooks are written a fixed 64 entries per section (one
// section spans at most max_sfb <= 51 bands; the next section overwrites
// the excess), so that the fill does not branch on the section's length.
constexpr int32_t kFillWidth = 64;
struct GroupRow {
  int32_t cb[kAacMaxSfb + kFillWidth];
};

// One group's sections.  Every section must end within max_sfb; a section
// may be empty, so the number of sections is bounded by max_sfb as well.
int DecodeGroupSections(ChannelStream& s, AacBits& r, GroupRow& row, uint32_t* used,
                        uint64_t* starts) {
  const bool short_windows = s.window_sequence == EIGHT_SHORT_SEQUENCE;
  const int sect_bits = short_windows ? 3 : 5;
  const int32_t sect_esc = (1 << sect_bits) - 1;
  int32_t k = 0;
  int32_t sections = 0;
  while (k < s.max_sfb) {
    if (++sections > s.max_sfb) return -1;
    // The codebook and the first length field from one refill; escaped
    // lengths (rare) refill again.
    r.Refill();
    const int32_t sect_cb = static_cast<int32_t>(r.cache >> 60);
    int32_t incr = static_cast<int32_t>((r.cache << 4) >> (64 - sect_bits));
    r.Skip(4);
    if (sect_cb == RESERVED_HCB) return -1;
    r.Skip(sect_bits);
    *used |= 1u << sect_cb;
    *starts |= uint64_t{1} << k;
    int32_t sect_len = incr;
    if (k + sect_len > s.max_sfb) return -1;
    while (incr == sect_esc) {
      r.Refill();
      incr = static_cast<int32_t>(r.cache >> (64 - sect_bits));
      r.Skip(sect_bits);
      sect_len += incr;
      if (k + sect_len > s.max_sfb) return -1;
    }
    for (int32_t i = 0; i < kFillWidth; ++i) row.cb[k + i] = sect_cb;
    k += sect_len;
  }
  return 0;
}

// Zeroes the rows from `from` on that a previous frame may have written
// (a long-window frame after short ones); a small frame clears no more than
// it has to.
void ClearRows(ChannelStream& s, int32_t from) {
  const int32_t rows = s.sfb_cb_rows < kAacMaxWindows ? s.sfb_cb_rows : kAacMaxWindows;
  for (int32_t g = from; g < rows; ++g) std::memset(s.sfb_cb[g], 0, sizeof s.sfb_cb[g]);
  for (int32_t g = from; g < kAacMaxWindows; ++g) s.section_starts[g] = 0;
  s.sfb_cb_rows = from;
}

}  // namespace

int DecodeSectionData(ChannelStream& s, UMC::BitReader& r) {
  if (s.max_sfb < 0 || s.max_sfb > kAacMaxSfb || s.num_window_groups < 0 ||
      s.num_window_groups > kAacMaxWindows || UMC::BitReaderOverrun(r)) {
    ClearRows(s, 0);
    s.cb_used = 0;
    return -1;
  }
  // At most 8 x 51 sections of a few bits: all within the reader's padding,
  // so one overrun check at the end suffices.
  AacBits bits;
  bits.Start(r.data, r.pos);
  int status = 0;
  GroupRow row;
  uint32_t used = 0;
  // Rows written from here on may be nonzero until cleared.
  s.sfb_cb_rows = s.sfb_cb_rows > s.num_window_groups ? s.sfb_cb_rows : s.num_window_groups;
  for (int32_t g = 0; g < s.num_window_groups && status == 0; ++g) {
    uint64_t starts = 0;
    status = DecodeGroupSections(s, bits, row, &used, &starts);
    if (status != 0) break;
    s.section_starts[g] = starts;
    // In 64-byte pieces: as one 256-byte fill the compiler emits a string
    // store, slow to start for so few bytes.
    for (int32_t i = 0; i < kFillWidth; i += 16) std::memset(&row.cb[s.max_sfb + i], 0, 64);
    std::memcpy(s.sfb_cb[g], row.cb, sizeof s.sfb_cb[g]);
  }
  ClearRows(s, status == 0 ? s.num_window_groups : 0);
  s.cb_used = status == 0 ? used : 0;
  // Where decoding stopped, also on failure (data that ends early shows as
  // an overrun).
  UMC::BitReaderSetPosition(r, bits.Position(r.data));
  return status == 0 && !UMC::BitReaderOverrun(r) ? 0 : -1;
}
