#include "tools/common/mp4_sample_table.h"

#include <cstring>
#include <initializer_list>

namespace vxmp4 {

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

bool Find(Span s, const char* kind, Span* out) {
  return FindBox(s.p, s.n, kind, &out->p, &out->n);
}

bool FindPath(Span s, std::initializer_list<const char*> path, Span* out) {
  for (const char* kind : path) {
    if (!Find(s, kind, &s)) return false;
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

// The first trak whose sample description is mp4a: its stbl and edts
// presence, and the sample entry.
bool FindAudioTrak(Span moov, Span* stbl, Span* entry, bool* edit_list) {
  size_t pos = 0;
  while (pos < moov.n) {
    Span trak;
    if (!Find(Span{moov.p + pos, moov.n - pos}, "trak", &trak)) return false;
    pos = static_cast<size_t>(trak.p + trak.n - moov.p);
    Span stsd, edts;
    if (FindPath(trak, {"mdia", "minf", "stbl"}, stbl) && Find(*stbl, "stsd", &stsd) &&
        stsd.n > 8 && Find(Span{stsd.p + 8, stsd.n - 8}, "mp4a", entry)) {
      *edit_list = Find(trak, "edts", &edts);
      return true;
    }
  }
  return false;
}

}  // namespace

bool FindBox(const uint8_t* p, size_t n, const char* kind, const uint8_t** payload, size_t* size) {
  size_t pos = 0;
  while (n >= 8 && pos <= n - 8) {
    uint64_t box = Be(p + pos, 4);
    size_t header = 8;
    if (box == 1 && n - pos >= 16) {
      box = Be(p + pos + 8, 8);
      header = 16;
    } else if (box == 0) {
      box = n - pos;
    }
    if (box < header || box > n - pos) return false;
    if (std::memcmp(p + pos + 4, kind, 4) == 0) {
      *payload = p + pos + header;
      *size = static_cast<size_t>(box) - header;
      return true;
    }
    pos += static_cast<size_t>(box);
  }
  return false;
}

bool ReadAudioTrack(const uint8_t* moov_data, size_t moov_size, uint64_t file_size,
                    AudioTrack* track, std::string* error) {
  const Span moov{moov_data, moov_size};
  Span stbl, entry;
  if (!FindAudioTrak(moov, &stbl, &entry, &track->edit_list))
    return *error = "no mp4a track", false;
  Span esds;
  if (entry.n < 28 || !Find(Span{entry.p + 28, entry.n - 28}, "esds", &esds) ||
      !DecoderSpecificInfo(esds, &track->config)) {
    return *error = "no AudioSpecificConfig", false;
  }
  Span stsz, stsc, stco;
  const bool co64 = !Find(stbl, "stco", &stco) && Find(stbl, "co64", &stco);
  if (!Find(stbl, "stsz", &stsz) || !Find(stbl, "stsc", &stsc) || stco.n < 8 || stsz.n < 12 ||
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
  // A fixed sample size puts no table behind the count: the file bounds it.
  if (fixed && count > file_size / fixed) return *error = "sample outside the file", false;
  track->samples.clear();
  track->samples.reserve(count);
  uint32_t sample = 0, run = 0, per_chunk = 0;
  for (uint32_t c = 0; c < chunks && sample < count; ++c) {
    // Samples per chunk from the last stsc run that starts at or before it
    // (runs are in increasing order of their first chunk).
    while (run < runs && Be(stsc.p + 8 + 12 * size_t{run}, 4) <= uint64_t{c} + 1) {
      per_chunk = static_cast<uint32_t>(Be(stsc.p + 12 + 12 * size_t{run}, 4));
      ++run;
    }
    uint64_t at = Be(stco.p + 8 + offset_bytes * size_t{c}, offset_bytes);
    for (uint32_t k = 0; k < per_chunk && sample < count; ++k, ++sample) {
      const uint32_t size =
          fixed ? fixed : static_cast<uint32_t>(Be(stsz.p + 12 + 4 * size_t{sample}, 4));
      if (at > file_size || size > file_size - at) return *error = "sample outside the file", false;
      track->samples.push_back(Sample{at, size});
      at += size;
    }
  }
  if (sample != count) return *error = "chunks do not hold every sample", false;
  return true;
}

}  // namespace vxmp4
