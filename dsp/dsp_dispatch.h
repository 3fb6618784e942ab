// Six-entry dispatch tables of the primitives.
//
// Entry 0 is the generic implementation, entries 1..5 the vectorised one.
// The processor-class index (set once by dspStaticInit) selects the entry.
// Primitives that also have an AVX2 variant register their table so that
// dspStaticInit can put the AVX2 code into the vectorised entries when the
// processor and the operating system support it.
#pragma once

#include <cstdint>

#include "dsp/dsp_core.h"

namespace dsp_detail {

extern int32_t g_cpu_class;  // processor-class index, 0..4

struct TableNode {
  void (**entries)();  // the six entries, type-erased
  void (*sse2)();
  void (*avx2)();
  TableNode* next;
};
void RegisterTable(TableNode* node);
void ApplyAvx2(bool enable);

}  // namespace dsp_detail

template <typename Fn>
struct DspTable {
  Fn entry[6];
};

template <typename Fn>
constexpr DspTable<Fn> DspMakeTable(Fn generic, Fn vectorised) {
  return DspTable<Fn>{{generic, vectorised, vectorised, vectorised, vectorised, vectorised}};
}

// Registers an AVX2 variant for the vectorised entries of `table`.  Define
// one at namespace scope next to the table:
//   static DspTable<Fn> t = DspMakeTable<Fn>(generic::F, sse2::F);
//   static DspAvx2Variant<Fn> t_avx2(t, avx2::F);
template <typename Fn>
struct DspAvx2Variant {
  dsp_detail::TableNode node;
  DspAvx2Variant(DspTable<Fn>& table, Fn avx2) {
    node.entries = reinterpret_cast<void (**)()>(table.entry);
    node.sse2 = reinterpret_cast<void (*)()>(table.entry[1]);
    node.avx2 = reinterpret_cast<void (*)()>(avx2);
    node.next = nullptr;
    dsp_detail::RegisterTable(&node);
  }
};

template <typename Fn>
inline Fn DspSelect(const DspTable<Fn>& table) {
  return table.entry[dsp_detail::g_cpu_class];
}
