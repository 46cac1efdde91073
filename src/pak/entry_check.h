// What is wrong with an entry whose data was read: one sentence per
// problem, the same for --verify and --expand.
#ifndef RADODARO_PAK_ENTRY_CHECK_H_
#define RADODARO_PAK_ENTRY_CHECK_H_

#include <string>
#include <vector>

#include "pak/entry_decoder.h"
#include "pak/entry_reader.h"
#include "pak/pak_format.h"

namespace radodaro {

// Problems that the directory entry shows by itself: an unknown kind, a
// stored entry whose sizes differ.
void directory_problems(const PakEntry& entry, std::vector<std::string>* problems);

// Problems of the data of a stored (or unknown-kind) entry whose content
// sums to `sum`.
void stored_problems(const PakEntry& entry, uint32_t sum, std::vector<std::string>* problems);

// Problems of the lzo1x entry that `decoded` decoded (read whole, packed
// bytes summed) to content that sums to `content_sum`.
void lzo1x_problems(const PakEntry& entry, const Decoded& decoded, uint32_t content_sum,
                    std::vector<std::string>* problems);

// The problem of data that lies past the end of the file.
std::string outside_problem(const PakEntry& entry);

// What reading and checking one entry found: the one checker of every
// command that reads an entry's data.
struct EntryVerdict {
  enum class Read {
    kWhole,     // read whole: `problems` says what does not check
    kOutside,   // its data lies past the end of the file
    kCutShort,  // the pack was cut short while it was read
    kNoMemory,  // no memory to decode it
  };
  Read read = Read::kWhole;
  // Those of its directory record, and of its data when read whole.
  std::vector<std::string> problems;
  bool summed = false;  // `sum` is the sum of its content
  uint32_t sum = 0;
  bool packed_summed = false;  // lzo1x: `packed_sum` is the sum of its packed bytes
  uint32_t packed_sum = 0;
};

// Checks the non-skipped `entry` of a pack `pack_size` bytes long, as
// prepare_entry() read it.
EntryVerdict check_entry(const PakEntry& entry, uint64_t pack_size, const PreparedEntry& prepared);

}  // namespace radodaro

#endif  // RADODARO_PAK_ENTRY_CHECK_H_
