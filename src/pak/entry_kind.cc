#include "pak/entry_kind.h"

#include <iterator>

#include "pak/entry_decoder.h"

namespace radodaro {

namespace {

constexpr EntryKind kKnown[] = {
    {kKindStored, "stored", true, false, true, nullptr},
    {kKindLzo1x, "lzo1x", true, true, false, decode_lzo1x},
    {kKindSkipped, "skipped", false, false, false, nullptr},
};

// Data of a kind we do not know is read as stored data is, whatever its
// sizes say.
constexpr EntryKind kUnknown = {0, nullptr, true, false, false, nullptr};

}  // namespace

std::span<const EntryKind> known_kinds() { return kKnown; }

size_t kind_position(uint32_t value) {
  size_t i = 0;
  while (i < std::size(kKnown) && kKnown[i].value != value) ++i;
  return i;
}

const EntryKind& kind_of(uint32_t value) {
  const size_t i = kind_position(value);
  return i < std::size(kKnown) ? kKnown[i] : kUnknown;
}

}  // namespace radodaro
