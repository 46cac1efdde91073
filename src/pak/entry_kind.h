// What each kind of entry is: how its data is read, decoded, checked and
// written again. Every command asks this table, so a new kind is one row
// here (and its codec).
#ifndef RADODARO_PAK_ENTRY_KIND_H_
#define RADODARO_PAK_ENTRY_KIND_H_

#include <cstdint>
#include <span>

#include "pak/pak_format.h"

namespace radodaro {

struct Decoded;
class DecodeBuffer;

struct EntryKind {
  uint32_t value;
  // As --list and JSON name it; nullptr for the row of kinds we do not
  // know, whose data is read as stored data is.
  const char* name;
  // False: no data and no member file (skipped).
  bool holds_data;
  // Its data is a stream of packed_size bytes that `decode` turns into
  // unpacked_size bytes, and a changed member is encoded again.
  bool compressed;
  // Its packed_size must be its unpacked_size.
  bool sizes_agree;
  // Compressed kinds: decodes the packed bytes at `packed` (checked to lie
  // in the file) into `buffer`; with `sum_packed`, also sums them.
  Decoded (*decode)(const PakEntry& entry, const uint8_t* packed, DecodeBuffer* buffer,
                    bool sum_packed);
};

// The kinds the format knows, in the order --list counts them.
std::span<const EntryKind> known_kinds();

// The row of `value`: one of known_kinds(), or the row of the unknown.
const EntryKind& kind_of(uint32_t value);
inline const EntryKind& kind_of(const PakEntry& entry) { return kind_of(entry.kind); }

// Its position in known_kinds(), or known_kinds().size() for an unknown one.
size_t kind_position(uint32_t value);

// "stored", "lzo1x" or "skipped"; nullptr for any other kind.
inline const char* kind_name(uint32_t value) { return kind_of(value).name; }

// The bytes of an entry's data that expansion reads: the packed stream of
// a compressed kind, unpacked_size bytes for every other.
inline uint64_t read_extent(const PakEntry& entry) {
  return kind_of(entry).compressed ? entry.packed_size : entry.unpacked_size;
}

// The bytes of an entry's data that a compaction keeps, in a file of
// `file_size` bytes: all it refers to (the packed stream of a compressed
// kind, the larger of the two sizes for any other) when that lies within
// the file, else what expansion reads when that does. False when neither
// does: its data lies outside the file.
inline bool kept_extent(const PakEntry& entry, uint64_t file_size, uint64_t* extent) {
  const uint64_t larger =
      entry.unpacked_size > entry.packed_size ? entry.unpacked_size : entry.packed_size;
  const uint64_t all = kind_of(entry).compressed ? entry.packed_size : larger;
  if (range_in_file(entry.offset, all, file_size)) {
    *extent = all;
    return true;
  }
  if (range_in_file(entry.offset, read_extent(entry), file_size)) {
    *extent = read_extent(entry);
    return true;
  }
  return false;
}

}  // namespace radodaro

#endif  // RADODARO_PAK_ENTRY_KIND_H_
