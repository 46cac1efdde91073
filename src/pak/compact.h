// Giving back the space in a pack that no entry refers to.
#ifndef RADODARO_PAK_COMPACT_H_
#define RADODARO_PAK_COMPACT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/files.h"

namespace radodaro {

// Where each stretch of the old pack goes in the new one: `length` bytes
// from `from` are copied to `to`.
struct Move {
  uint64_t from = 0;
  uint64_t to = 0;
  uint64_t length = 0;
};

// The new layout of a pack of `file_size` bytes whose header and directory
// are `dir_image`: the data of every entry that lies within the file,
// shared data once, right after the directory in the order of the old
// offsets. Rewrites the offsets in `dir_image` (entries outside the file
// keep theirs) and its dir_crc; gives the copies to make and the new size.
std::vector<Move> compact_layout(std::vector<uint8_t>* dir_image, uint64_t file_size,
                                 uint64_t* new_size);

// --compact PACK: writes the compacted pack beside the old one, makes it
// durable and renames it over the old one, all under the pack's exclusive
// hold; prints the sizes. False, with the reason printed, leaves the pack
// as it was.
bool run_compact(platform::Env& env, const std::string& pak_path);

}  // namespace radodaro

#endif  // RADODARO_PAK_COMPACT_H_
