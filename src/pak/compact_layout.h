// Where a compaction puts each entry's data, and so how much of a pack no
// entry refers to: --list reports what --compact gives back from this one
// computation.
#ifndef RADODARO_PAK_COMPACT_LAYOUT_H_
#define RADODARO_PAK_COMPACT_LAYOUT_H_

#include <cstdint>
#include <vector>

namespace radodaro {

// `length` bytes from `from` in the old pack go to `to` in the new one.
struct Move {
  uint64_t from = 0;
  uint64_t to = 0;
  uint64_t length = 0;
};

struct CompactLayout {
  std::vector<Move> moves;         // in order, one after the other, no gaps
  std::vector<uint8_t> dir_image;  // the new header and directory
  uint64_t new_size = 0;
  bool offsets_fit = true;  // false: some data would move past where an offset can point

  // Bytes of entry data that the new pack holds.
  uint64_t data_size() const { return new_size - dir_image.size(); }
  // What a compaction of a pack of `file_size` bytes gives back: nothing
  // when it would not make the pack smaller, or cannot be done.
  uint64_t gives_back(uint64_t file_size) const {
    return offsets_fit && new_size < file_size ? file_size - new_size : 0;
  }
};

// The new layout of a pack of `file_size` bytes whose header and directory
// are `dir_image`: the data of every entry that lies within the file,
// shared data once, right after the directory in the order of the old
// offsets. Entries outside the file keep their offsets; the directory's
// CRC is made anew.
CompactLayout plan_compaction(const std::vector<uint8_t>& dir_image, uint64_t file_size);

}  // namespace radodaro

#endif  // RADODARO_PAK_COMPACT_LAYOUT_H_
