// Hand-built ps_data() for the parser and synthesis tests: a bit writer,
// code words from the decoder's code lists, and a PSDecState on the heap.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "common/bit_writer.h"
#include "dsp/dsp_core.h"
#include "ps/ps_decoder.h"
#include "ps/ps_huffman_tables.h"

namespace ps_test {

// Code lists in the decoder's order; a set's time-direction list follows
// its frequency-direction one.
enum Table { kIidFine = 0, kIid = 2, kIcc = 4, kIpd = 6, kOpd = 8 };

// The common writer plus PS code words; Put and Append keep the type so
// that calls chain into Code and Set.
class BitWriter : public vxtest::BitWriter {
 public:
  BitWriter& Put(uint32_t value, int bits) {
    vxtest::BitWriter::Put(value, bits);
    return *this;
  }
  BitWriter& Append(const BitWriter& w) {
    vxtest::BitWriter::Append(w);
    return *this;
  }
  // The code word of `delta` in code list `list` (0..9).
  BitWriter& Code(int list, int delta) {
    const PsHuffmanList& l = kPsHuffmanLists[list];
    for (int32_t i = 0; i < l.count; ++i) {
      if (l.codes[i].value == delta)
        return Put(static_cast<uint32_t>(l.codes[i].code), l.codes[i].length);
    }
    ADD_FAILURE() << "no code for " << delta << " in list " << list;
    return *this;
  }
  // A direction bit and one code per delta (set = kIid, kIcc, ...).
  BitWriter& Set(int set, int dt, const std::vector<int>& deltas) {
    Put(static_cast<uint32_t>(dt), 1);
    for (int d : deltas) Code(set + dt, d);
    return *this;
  }
};

// Header with enable_ps_header set.
inline void PutHeader(BitWriter& w, int enable_iid, int iid_mode, int enable_icc, int icc_mode,
                      int enable_ext) {
  w.Put(1, 1).Put(static_cast<uint32_t>(enable_iid), 1);
  if (enable_iid) w.Put(static_cast<uint32_t>(iid_mode), 3);
  w.Put(static_cast<uint32_t>(enable_icc), 1);
  if (enable_icc) w.Put(static_cast<uint32_t>(icc_mode), 3);
  w.Put(static_cast<uint32_t>(enable_ext), 1);
}

// frame_class, num_env index and (variable class) the border positions
// (slots 1..32, coded minus one).
inline void PutGrid(BitWriter& w, int frame_class, int num_env_idx,
                    const std::vector<int>& borders = {}) {
  w.Put(static_cast<uint32_t>(frame_class), 1).Put(static_cast<uint32_t>(num_env_idx), 2);
  for (int b : borders) w.Put(static_cast<uint32_t>(b - 1), 5);
}

// ps_extension() with id 0 and its size field: `payload` holds
// enable_ipdopd onwards (without reserved_ps).
inline void PutPhaseExtension(BitWriter& w, const BitWriter& payload) {
  const int64_t bits = 2 + payload.bits() + 1;
  const int64_t bytes = (bits + 7) / 8;
  if (bytes < 15) {
    w.Put(static_cast<uint32_t>(bytes), 4);
  } else {
    w.Put(15, 4).Put(static_cast<uint32_t>(bytes - 15), 8);
  }
  w.Put(0, 2).Append(payload).Put(0, 1);
  for (int64_t i = bits; i < bytes * 8; ++i) w.Put(0, 1);
}

struct PsStateDeleter {
  void operator()(PSDecState* p) const { delete p; }
};
using PsStatePtr = std::unique_ptr<PSDecState, PsStateDeleter>;

// An initialised state attached in `ps_mode` (1, 111 or 411).
inline PsStatePtr MakeState(int32_t ps_mode = 411) {
  dspStaticInit();
  PsStatePtr ps(new PSDecState);
  EXPECT_EQ(PsInit(*ps), 0);
  ps->ps_mode = ps_mode;
  return ps;
}

// PsParse over the writer's bytes with the budget `budget` (default: the
// bits written); the reader's final position goes to `consumed`.
inline int32_t Parse(PSDecState& ps, const BitWriter& w, int64_t budget = -1,
                     int64_t* consumed = nullptr) {
  UMC::BitReader r;
  UMC::BitReaderInit(r, w.bytes().data(), static_cast<int32_t>(w.bytes().size()));
  const int32_t rc = PsParse(ps, r, static_cast<int32_t>(budget < 0 ? w.bits() : budget));
  if (consumed) *consumed = UMC::BitReaderBitsConsumed(r);
  return rc;
}

}  // namespace ps_test
