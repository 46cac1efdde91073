// The bytes of one entry, read from its pack: the one place that turns an
// entry into what a member file of it holds, for every command that
// writes, prints or compares them.
#ifndef RADODARO_PAK_ENTRY_READER_H_
#define RADODARO_PAK_ENTRY_READER_H_

#include <cstdint>

#include "pak/entry_decoder.h"
#include "pak/pack_reader.h"
#include "pak/pak_format.h"
#include "platform/files.h"

namespace radodaro {

// Stored data is read, checksummed and written in pieces of this size: a
// piece that the pack lost under us is where the member ends.
inline constexpr uint64_t kStoredChunk = uint64_t{256} << 10;

// What can be worked out for an entry before its turn, from the pack alone.
struct PreparedEntry {
  Decoded decoded;          // lzo1x: the decoded stream
  uint32_t stored_sum = 0;  // stored: the sum of the bytes read whole
  uint64_t read_whole = 0;  // stored: how many bytes from the start could be read
};

// Decodes or checksums `entry` of `pack`; nothing for an entry whose data
// lies outside the file. Touches no file and prints nothing. A pack cut
// inside a page reads as zeros past its end without a fault: data that
// ends as a cut one would is only taken once the file is seen to hold it.
void prepare_entry(platform::Env& env, const PakEntry& entry, const PackView& pack,
                   DecodeBuffer* buffer, PreparedEntry* prepared);

}  // namespace radodaro

#endif  // RADODARO_PAK_ENTRY_READER_H_
