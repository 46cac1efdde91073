// Reading a pack's header and directory, never past its end, and opening a
// pack for the runs that only read it.
#ifndef RADODARO_PAK_PACK_READER_H_
#define RADODARO_PAK_PACK_READER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "pak/pack_notice.h"
#include "pak/pak_format.h"
#include "platform/files.h"

namespace radodaro {

enum class DirectoryRead {
  kOk,
  kBad,       // the file is too short for its header or its directory
  kNoMemory,  // the directory does not fit in memory
};

// Reads the header and the whole directory of the pack `file`, `file_size`
// bytes long, into `*image`. Nothing is read, and no memory is taken for
// the directory, unless all of it lies within the file.
DirectoryRead read_directory(platform::Env& env, const platform::Handle& file, uint64_t file_size,
                             std::vector<uint8_t>* image);

// The header and directory in `image`, as read_directory() gives them.
inline PakHeader header_of(const std::vector<uint8_t>& image) {
  return decode_header(image.data());
}
inline PakEntry entry_of(const std::vector<uint8_t>& image, uint32_t index) {
  return decode_entry(image.data() + entry_position(index));
}

// A pack opened for reading.
struct PackView {
  platform::MappedView map;  // all of the file, and the hold on it
  // The header and directory, copied: entries are read from here, so a
  // pack cut short meanwhile cannot change them.
  std::vector<uint8_t> dir_image;
  // The pack's length: less than the mapping's where an unfinished group
  // run appended past it.
  uint64_t size = 0;
  const uint8_t* data() const { return map.data; }
};

// Gives back the mapped pages of a pack behind the entries a run is done
// with, a few MiB at a time: the run's memory then stays with what it has
// in flight, however large the pack, for the cost of a call per chunk.
class ReadBehind {
 public:
  // `base`: the mapping, or nullptr for nothing to give back.
  // What was not given back goes with the mapping.
  explicit ReadBehind(const uint8_t* base) : base_(base) {}
  ReadBehind(const ReadBehind&) = delete;
  ReadBehind& operator=(const ReadBehind&) = delete;

  // The `length` bytes at `offset` (within the mapping) are done with.
  void done(uint64_t offset, uint64_t length);

 private:
  void flush();
  const uint8_t* base_;
  uint64_t from_ = 0;
  uint64_t to_ = 0;
};

// Why a pack could not be opened: not a pack (`bad`: empty, or too short
// for its header and directory), or the system's reason.
struct PackOpenFailure {
  bool bad = false;
  platform::Error error = platform::Error::kOk;
};

// Opens and maps the pack at the absolute `pak_path` for reading, shared
// with other readers but no writer, and copies its header and directory.
// Where an unfinished group run left a journal that fits the pack, the
// pack is read as the journal would put it back (the old directory, the
// old length), and `notices` hears of it; nothing is written. On failure
// `*failure` says why, and nothing is held.
bool open_pack(platform::Env& env, const std::string& pak_path, PackView* pack,
               PackOpenFailure* failure, PackNotices notices);

}  // namespace radodaro

#endif  // RADODARO_PAK_PACK_READER_H_
