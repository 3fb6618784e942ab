#include "common/mp4_track.h"

#include <cstddef>
#include <initializer_list>

namespace vxtest {

namespace {

struct Span {
  const uint8_t* p = nullptr;
  size_t n = 0;
};

uint64_t Be(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | p[i];
  return v;
}

// The payload of the first child box of `kind` inside `s`.
bool FindBox(Span s, const char* kind, Span* out) {
  size_t pos = 0;
  while (pos + 8 <= s.n) {
    uint64_t size = Be(s.p + pos, 4);
    size_t header = 8;
    if (size == 1 && pos + 16 <= s.n) {
      size = Be(s.p + pos + 8, 8);
      header = 16;
    } else if (size == 0) {
      size = s.n - pos;
    }
    if (size < header || size > s.n - pos) return false;
    if (std::string(reinterpret_cast<const char*>(s.p + pos + 4), 4) == kind) {
      *out = Span{s.p + pos + header, static_cast<size_t>(size) - header};
      return true;
    }
    pos += static_cast<size_t>(size);
  }
  return false;
}

bool FindPath(Span s, std::initializer_list<const char*> path, Span* out) {
  for (const char* kind : path) {
    if (!FindBox(s, kind, &s)) return false;
  }
  *out = s;
  return true;
}

// One descriptor of the esds box: tag and payload.
bool Descriptor(Span* s, int* tag, Span* payload) {
  if (s->n < 2) return false;
  *tag = s->p[0];
  size_t len = 0, i = 1;
  for (; i < 5 && i < s->n; ++i) {
    len = len << 7 | (s->p[i] & 0x7F);
    if (!(s->p[i] & 0x80)) break;
  }
  ++i;
  if (i > s->n || len > s->n - i) return false;
  *payload = Span{s->p + i, len};
  *s = Span{s->p + i + len, s->n - i - len};
  return true;
}

bool DecoderSpecificInfo(Span esds, std::vector<uint8_t>* config) {
  if (esds.n < 4) return false;
  Span s{esds.p + 4, esds.n - 4};  // version and flags
  int tag = 0;
  Span es;
  if (!Descriptor(&s, &tag, &es) || tag != 3 || es.n < 3) return false;
  const uint8_t flags = es.p[2];
  size_t skip = 3 + (flags & 0x80 ? 2 : 0) + (flags & 0x20 ? 2 : 0);
  if ((flags & 0x40) && skip < es.n) skip += 1 + es.p[skip];
  if (skip > es.n) return false;
  Span rest{es.p + skip, es.n - skip};
  Span dc;
  if (!Descriptor(&rest, &tag, &dc) || tag != 4 || dc.n < 13) return false;
  Span inner{dc.p + 13, dc.n - 13};
  Span dsi;
  if (!Descriptor(&inner, &tag, &dsi) || tag != 5) return false;
  config->assign(dsi.p, dsi.p + dsi.n);
  return true;
}

}  // namespace

bool ReadMp4Track(const std::vector<uint8_t>& file, Mp4Track* track, std::string* error) {
  const Span all{file.data(), file.size()};
  Span moov;
  if (!FindBox(all, "moov", &moov)) return *error = "no moov box", false;
  // The first trak whose sample description is mp4a.
  Span stbl, entry;
  size_t pos = 0;
  bool found = false;
  while (!found && pos < moov.n) {
    Span trak;
    if (!FindBox(Span{moov.p + pos, moov.n - pos}, "trak", &trak)) break;
    pos = static_cast<size_t>(trak.p + trak.n - moov.p);
    Span stsd;
    if (FindPath(trak, {"mdia", "minf", "stbl"}, &stbl) && FindBox(stbl, "stsd", &stsd) &&
        stsd.n > 8 && FindBox(Span{stsd.p + 8, stsd.n - 8}, "mp4a", &entry)) {
      found = true;
    }
  }
  if (!found) return *error = "no mp4a track", false;
  Span esds;
  if (entry.n < 28 || !FindBox(Span{entry.p + 28, entry.n - 28}, "esds", &esds) ||
      !DecoderSpecificInfo(esds, &track->config)) {
    return *error = "no AudioSpecificConfig", false;
  }
  Span stsz, stsc, stco;
  const bool co64 = !FindBox(stbl, "stco", &stco) && FindBox(stbl, "co64", &stco);
  if (!FindBox(stbl, "stsz", &stsz) || !FindBox(stbl, "stsc", &stsc) || stco.n < 8 || stsz.n < 12 ||
      stsc.n < 8) {
    return *error = "incomplete sample table", false;
  }
  const uint32_t fixed = static_cast<uint32_t>(Be(stsz.p + 4, 4));
  const uint32_t count = static_cast<uint32_t>(Be(stsz.p + 8, 4));
  const uint32_t chunks = static_cast<uint32_t>(Be(stco.p + 4, 4));
  const uint32_t runs = static_cast<uint32_t>(Be(stsc.p + 4, 4));
  const int offset_bytes = co64 ? 8 : 4;
  if ((!fixed && stsz.n < 12 + 4 * size_t{count}) || stco.n < 8 + offset_bytes * size_t{chunks} ||
      stsc.n < 8 + 12 * size_t{runs}) {
    return *error = "truncated sample table", false;
  }
  track->units.clear();
  uint32_t sample = 0;
  for (uint32_t c = 0; c < chunks && sample < count; ++c) {
    // Samples per chunk from the last stsc run that starts at or before it.
    uint32_t per_chunk = 0;
    for (uint32_t r = 0; r < runs; ++r) {
      if (Be(stsc.p + 8 + 12 * r, 4) <= c + 1)
        per_chunk = static_cast<uint32_t>(Be(stsc.p + 12 + 12 * r, 4));
    }
    uint64_t at = Be(stco.p + 8 + offset_bytes * c, offset_bytes);
    for (uint32_t k = 0; k < per_chunk && sample < count; ++k, ++sample) {
      const uint32_t size = fixed ? fixed : static_cast<uint32_t>(Be(stsz.p + 12 + 4 * sample, 4));
      if (at > file.size() || size > file.size() - at)
        return *error = "sample outside the file", false;
      track->units.emplace_back(file.begin() + static_cast<ptrdiff_t>(at),
                                file.begin() + static_cast<ptrdiff_t>(at + size));
      at += size;
    }
  }
  if (sample != count) return *error = "chunks do not hold every sample", false;
  return true;
}

}  // namespace vxtest
