// The one dispatch of the vector routines: a routine lists its variants, one per instruction set
// it is built for, plainest first and the scalar one first of all, and the process runs the
// widest variant the processor supports. The variant files themselves never dispatch (the x86-64
// gate kernels call nothing outside their own library); the dispatching file calls them.
// Internal linkage, like every helper a file compiled with other -m flags could include.
// Any thread; never fails.
#pragma once

#include <cstddef>

#include "runtime/cpu_features.h"

namespace qelt {
namespace {

// One variant of a routine: what it is built for, and its entry (a function pointer, or a
// function returning a table of them).
template <class Entry>
struct IsaVariant {
  InstructionSet instruction_set;
  Entry entry;
};

// The variant built for `set`, or null when the routine has none for it.
template <class Entry, std::size_t N>
constexpr const IsaVariant<Entry>* variant_for(const IsaVariant<Entry> (&variants)[N],
                                               InstructionSet set) noexcept {
  for (const IsaVariant<Entry>& v : variants) {
    if (v.instruction_set == set) return &v;
  }
  return nullptr;
}

// The widest variant this processor supports; the first, scalar, one when no other is.
template <class Entry, std::size_t N>
const IsaVariant<Entry>& widest_supported(const IsaVariant<Entry> (&variants)[N]) noexcept {
  static_assert(N >= 1);
  for (std::size_t i = N - 1; i > 0; --i) {
    if (cpu_supports(variants[i].instruction_set)) return variants[i];
  }
  return variants[0];
}

// The same for the table VARIANTS, chosen on first use and kept for the process.
template <const auto& VARIANTS>
const auto& chosen_variant() noexcept {
  static const auto& chosen = widest_supported(VARIANTS);
  return chosen;
}

}  // namespace
}  // namespace qelt
