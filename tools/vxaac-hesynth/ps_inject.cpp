// vxaac-psinject: replaces the parametric stereo data of every frame of an
// HE-AAC v2 ADTS stream (mono LC core, SBR in a fill element after the
// SCE) by random valid ps_data() from hesynth::PsWriter, for differential
// tests of the PS decoder against other decoders.  The SBR data and the
// core stay as the encoder made them.
//
//   vxaac-psinject IN.aac OUT.aac [--seed N] [--frames N] [--header-every N]
//                  [--no-34] [--coarse] [--no-mix2] [--no-ipdopd] [--fixed-class]
//                  [--no-dt] [--no-mode-changes] [--no-disable] [--no-empty]
//                  [--unknown-ext] [--no-low-phases] [--no-phase-gaps]
//                  [--no-phase-layout-switches]
//                  [--phase-percent N] [--ps-from N] [--dump]
//
// --ps-from N: frames before N keep their SBR data but carry no ps_data()
// (bs_extended_data 0), so parametric stereo starts in frame N.
//
// Every frame must be: one raw_data_block without CRC, a fill element with
// the SBR data of the SCE followed only by fill elements and ID_END, the
// PS extension the only sbr_extension.  The fill element is the first
// whose chain of fill elements ends the frame; the library's SBR parser
// checks it and finds ps_data() (through its PS hook).
//
// Built as vxaac-psinject; scripts/ps_diff.sh runs it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dsp/dsp_core.h"
#include "ps/ps_decoder.h"
#include "sbr/sbr_decoder.h"
#include "tests/common/bit_writer.h"
#include "tools/vxaac-hesynth/ps_writer.h"

namespace {

uint32_t Bits(const std::vector<uint8_t>& d, int64_t pos, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; ++i) {
    const int64_t p = pos + i;
    const uint32_t bit =
        p >= 0 && (p >> 3) < static_cast<int64_t>(d.size()) ? (d[p >> 3] >> (7 - (p & 7))) & 1 : 0;
    v = (v << 1) | bit;
  }
  return v;
}

void Copy(vxtest::BitWriter& w, const std::vector<uint8_t>& d, int64_t from, int64_t to) {
  for (int64_t p = from; p < to; ++p) w.Put(Bits(d, p, 1), 1);
}

// Where the hook saw ps_data(): position, budget and bits used.
struct HookResult {
  int64_t pos = -1;
  int32_t budget = 0;
  int32_t used = 0;
} g_hook;

int32_t Hook(PSDecState* ps, UMC::BitReader& r, int32_t budget_bits) {
  g_hook.pos = UMC::BitReaderBitsConsumed(r);
  g_hook.budget = budget_bits;
  g_hook.used = PsParseExtension(ps, r, budget_bits);
  return g_hook.used;
}

struct Fill {
  int64_t start;    // ID_FIL
  int64_t payload;  // the extension type after the count
  int32_t count;    // payload bytes
  int64_t end;      // the next element
};

// A fill element at `start`: its payload and end.
bool ReadFill(const std::vector<uint8_t>& raw, int64_t start, Fill* f) {
  if (Bits(raw, start, 3) != 6) return false;
  int32_t count = static_cast<int32_t>(Bits(raw, start + 3, 4));
  int64_t payload = start + 7;
  if (count == 15) {
    count += static_cast<int32_t>(Bits(raw, start + 7, 8)) - 1;
    payload += 8;
  }
  *f = Fill{start, payload, count, payload + int64_t{count} * 8};
  return f->end <= static_cast<int64_t>(raw.size()) * 8;
}

// The SBR fill element: a fill element with EXT_SBR_DATA followed only by
// fill elements up to ID_END and the byte alignment at the frame's end.
// `tail` receives where ID_END is.  Candidates from bit `from` on.
bool FindFill(const std::vector<uint8_t>& raw, int64_t from, Fill* f, int64_t* tail) {
  const int64_t total = static_cast<int64_t>(raw.size()) * 8;
  for (int64_t start = from; start + 11 < total; ++start) {
    if (!ReadFill(raw, start, f) || f->count == 0 || Bits(raw, f->payload, 4) != 13) continue;
    int64_t p = f->end;
    Fill next;
    while (ReadFill(raw, p, &next)) p = next.end;
    if (Bits(raw, p, 3) == 7 && total - (p + 3) < 8 && Bits(raw, p + 3, int(total - p - 3)) == 0) {
      *tail = p;
      return true;
    }
  }
  return false;
}

// One line per frame: what our parser makes of the written ps_data().
void Dump(int frame, PSDecState& ps, const vxtest::BitWriter& w) {
  UMC::BitReader r;
  UMC::BitReaderInit(r, w.bytes().data(), static_cast<int32_t>(w.bytes().size()));
  const int32_t rc = PsParse(ps, r, static_cast<int32_t>(w.bits()));
  std::printf("frame %d rc %d hdr %d iid %d/%d icc %d/%d ext %d class %d env %d [", frame, rc,
              ps.enable_ps_header, ps.enable_iid, ps.iid_mode, ps.enable_icc, ps.icc_mode,
              ps.enable_ext, ps.frame_class, ps.num_env);
  for (int e = 0; e <= ps.num_env; ++e) std::printf(" %d", ps.border_position[e]);
  std::printf(" ] ipdopd %d\n", ps.enable_ipdopd);
  const int bands = ps.numBandsLayout == kPsLayout34 ? 34 : 20;
  const int pbands = ps.numBandsLayout == kPsLayout34 ? 17 : 11;
  for (int e = 0; e < ps.num_env; ++e) {
    std::printf("  e%d iid", e);
    for (int b = 0; b < bands; ++b) std::printf(" %d", ps.iidIndex[e][b]);
    std::printf(" icc");
    for (int b = 0; b < bands; ++b) std::printf(" %d", ps.iccIndex[e][b]);
    if (ps.enable_ipdopd) {
      std::printf(" ipd");
      for (int b = 0; b < pbands; ++b) std::printf(" %d", ps.ipdIndex[e][b]);
      std::printf(" opd");
      for (int b = 0; b < pbands; ++b) std::printf(" %d", ps.opdIndex[e][b]);
    }
    std::printf("\n");
  }
}

int Usage() {
  std::fprintf(stderr,
               "usage: vxaac-psinject IN.aac OUT.aac [--seed N] [--frames N] [--header-every N]\n"
               "       [--no-34] [--coarse] [--no-mix2] [--no-ipdopd] [--fixed-class] [--no-dt]\n"
               "       [--no-mode-changes] [--no-disable] [--no-empty] [--unknown-ext]\n"
               "       [--no-low-phases] [--no-phase-gaps] [--no-phase-layout-switches]\n"
               "       [--phase-percent N] [--ps-from N] [--dump]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  uint32_t seed = 1;
  int max_frames = 1 << 30, header_every = 8, ps_from = 0;
  hesynth::PsWriterOptions o;
  bool dump = false;
  for (int i = 3; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    if (a == "--seed" && has_value) {
      seed = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (a == "--frames" && has_value) {
      max_frames = std::atoi(argv[++i]);
    } else if (a == "--ps-from" && has_value) {
      ps_from = std::atoi(argv[++i]);
    } else if (a == "--header-every" && has_value) {
      header_every = std::atoi(argv[++i]);
    } else if (a == "--no-34") {
      o.bands34 = false;
    } else if (a == "--coarse") {
      o.fine_iid = false;
    } else if (a == "--no-mix2") {
      o.mixing2 = false;
    } else if (a == "--no-ipdopd") {
      o.ipdopd = false;
    } else if (a == "--fixed-class") {
      o.variable_class = false;
    } else if (a == "--no-dt") {
      o.time_delta = false;
    } else if (a == "--no-mode-changes") {
      o.mode_changes = false;
    } else if (a == "--no-disable") {
      o.disable_sets = false;
    } else if (a == "--no-empty") {
      o.empty_frames = false;
    } else if (a == "--phase-percent" && has_value) {
      o.phase_percent = std::atoi(argv[++i]);
    } else if (a == "--no-low-phases") {
      o.phase_low_bands = false;
    } else if (a == "--unknown-ext") {
      o.unknown_extensions = true;
    } else if (a == "--no-phase-gaps") {
      o.phase_gaps = false;
    } else if (a == "--no-phase-layout-switches") {
      o.phase_layout_switches = false;
    } else if (a == "--dump") {
      dump = true;
    } else {
      return Usage();
    }
  }
  if (header_every < 1) return Usage();

  FILE* in = std::fopen(argv[1], "rb");
  if (!in) return Usage();
  std::vector<uint8_t> file;
  for (int c; (c = std::fgetc(in)) != EOF;) file.push_back(static_cast<uint8_t>(c));
  std::fclose(in);

  dspStaticInit();
  auto ps = std::make_unique<PSDecState>();
  if (PsInit(*ps) != 0) return 1;
  ps->ps_mode = 1;
  auto slots = std::make_unique<SBRDecState[]>(kSbrSlots);
  for (int i = 0; i < kSbrSlots; ++i) SbrInitSlot(slots[i]);
  int32_t huff_size = 0;
  if (SbrHuffmanGetSize(&huff_size) != 0) return 1;
  std::vector<uint8_t> huff_memory(static_cast<size_t>(huff_size) + 64);
  SbrHuffman huff;
  if (SbrHuffmanInit(&huff, huff_memory.data()) != 0) return 1;

  auto check = std::make_unique<PSDecState>();
  if (PsInit(*check) != 0) return 1;
  check->ps_mode = 411;
  hesynth::PsWriter writer(o);
  std::mt19937 rng(seed);
  std::vector<uint8_t> out;
  size_t pos = 0;
  int frame = 0;
  for (; frame < max_frames && pos + 7 <= file.size(); ++frame) {
    const uint8_t* h = &file[pos];
    const size_t length = ((h[3] & 3u) << 11) | (h[4] << 3) | (h[5] >> 5);
    if (h[0] != 0xFF || (h[1] & 0xF6) != 0xF0 || length < 7 || pos + length > file.size()) {
      std::fprintf(stderr, "frame %d: no ADTS header\n", frame);
      return 1;
    }
    if ((h[1] & 1) == 0 || (h[6] & 3) != 0) {
      std::fprintf(stderr, "frame %d: CRC or several raw data blocks\n", frame);
      return 1;
    }
    const int sf_index = (h[2] >> 2) & 15;
    const std::vector<uint8_t> raw(file.begin() + static_cast<long>(pos) + 7,
                                   file.begin() + static_cast<long>(pos + length));
    // The first candidate whose SBR payload parses (the SBR and PS states
    // go back to the frame's start for the next candidate).
    Fill f;
    int64_t tail = 0;
    bool found = false;
    const SBRDecState slot_before = slots[0];
    const auto ps_before = std::make_unique<PSDecState>(*ps);
    for (int64_t from = 0; !found && FindFill(raw, from, &f, &tail); from = f.start + 1) {
      SBRDecState& slot = slots[0];
      slot.elementType = 0;
      slot.sbrRateIndex = sf_index - 3;
      slot.ps = ps.get();
      UMC::BitReader r;
      UMC::BitReaderInit(r, raw.data(), static_cast<int32_t>(raw.size()));
      UMC::BitReaderSetPosition(r, f.payload);
      int32_t payloads = 0;
      g_hook = HookResult{};
      found = SbrExtensionPayload(r, f.count, slots.get(), &payloads, 777, huff, Hook) == f.count &&
              g_hook.pos >= 0 && g_hook.used >= 0 && slot.errorState == 0;
      if (!found) {
        slots[0] = slot_before;
        *ps = *ps_before;
      }
    }
    if (!found) {
      std::fprintf(stderr, "frame %d: no SBR fill element with PS data before ID_END\n", frame);
      return 1;
    }
    // The sbr_extension() size field before the extension id: the PS
    // extension must be the only one.
    const int32_t size = (g_hook.budget + 2) / 8;
    int64_t size_field = g_hook.pos - 2 - (size < 15 ? 4 : 12);
    if ((g_hook.budget + 2) % 8 != 0 || Bits(raw, g_hook.pos - 2, 2) != 2 ||
        Bits(raw, size_field - 1, 1) != 1 ||
        (size < 15 ? Bits(raw, size_field, 4) != static_cast<uint32_t>(size)
                   : Bits(raw, size_field, 12) != (0xF00u | static_cast<uint32_t>(size - 15)))) {
      std::fprintf(stderr, "frame %d: unexpected sbr_extension layout\n", frame);
      return 1;
    }

    // New SBR payload: everything up to bs_extended_data, then the new
    // extension.
    // A frame whose fill element would exceed 269 bytes is written again
    // from the same writer state with other random draws.
    const hesynth::PsWriter writer_before = writer;
    vxtest::BitWriter ext;
    int64_t payload_bits = 0, count = 0;
    int64_t copy_end = size_field;  // the SBR payload bits kept
    if (frame < ps_from) {
      // No ps_data(): bs_extended_data 0 in place of the flag.
      copy_end = size_field - 1;
      ext.Put(0, 1);
      payload_bits = (copy_end - f.payload) + 1;
      count = (payload_bits + 7) / 8;
    }
    for (int attempt = 0; frame >= ps_from; ++attempt) {
      if (attempt == 100) {
        std::fprintf(stderr, "frame %d: fill element too long\n", frame);
        return 1;
      }
      writer = writer_before;
      vxtest::BitWriter psw;
      writer.Write(psw, rng, (frame - ps_from) % header_every == 0);
      const int64_t ext_bits = 2 + psw.bits();
      const int64_t ext_bytes = (ext_bits + 7) / 8;
      ext = vxtest::BitWriter();
      if (ext_bytes < 15) {
        ext.Put(static_cast<uint32_t>(ext_bytes), 4);
      } else {
        ext.Put(15, 4).Put(static_cast<uint32_t>(ext_bytes - 15), 8);
      }
      ext.Put(2, 2).Append(psw);
      for (int64_t i = ext_bits; i < ext_bytes * 8; ++i) ext.Put(0, 1);
      payload_bits = (size_field - f.payload) + ext.bits();
      count = (payload_bits + 7) / 8;
      if (ext_bytes <= 15 + 255 && count <= 269) {
        if (dump) Dump(frame, *check, psw);
        break;
      }
    }
    vxtest::BitWriter w;
    Copy(w, raw, 0, f.start);
    w.Put(6, 3);  // ID_FIL
    if (count < 15) {
      w.Put(static_cast<uint32_t>(count), 4);
    } else {
      w.Put(15, 4).Put(static_cast<uint32_t>(count - 14), 8);
    }
    Copy(w, raw, f.payload, copy_end);
    w.Append(ext);
    for (int64_t i = payload_bits; i < count * 8; ++i) w.Put(0, 1);
    Copy(w, raw, f.end, tail);  // later fill elements
    w.Put(7, 3);                // ID_END
    while (w.bits() % 8) w.Put(0, 1);

    const size_t new_length = 7 + w.bytes().size();
    if (new_length >= (1u << 13)) return 1;
    std::vector<uint8_t> header(h, h + 7);
    header[3] = static_cast<uint8_t>((header[3] & ~3u) | ((new_length >> 11) & 3));
    header[4] = static_cast<uint8_t>(new_length >> 3);
    header[5] = static_cast<uint8_t>((header[5] & 0x1F) | ((new_length & 7) << 5));
    out.insert(out.end(), header.begin(), header.end());
    out.insert(out.end(), w.bytes().begin(), w.bytes().end());
    pos += length;
  }
  FILE* o_file = std::fopen(argv[2], "wb");
  if (!o_file || std::fwrite(out.data(), 1, out.size(), o_file) != out.size()) return 1;
  std::fclose(o_file);
  std::fprintf(stderr, "%d frames\n", frame);
  return 0;
}
