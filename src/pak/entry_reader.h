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

// A pack's bytes as a run holds them: `data`, mapped, the first `size`
// bytes of `file`.
struct PackBytes {
  const uint8_t* data = nullptr;
  uint64_t size = 0;
  const platform::Handle* file = nullptr;
};
inline PackBytes bytes_of(const PackView& pack) { return {pack.data(), pack.size, &pack.map.file}; }

void prepare_entry(platform::Env& env, const PakEntry& entry, const PackBytes& pack,
                   DecodeBuffer* buffer, PreparedEntry* prepared);

// The content of one entry as /e writes it: `data` (mapped, or in the
// decode buffer) holds `size` bytes; none for an entry that holds no data.
// Not `readable` when it cannot be read whole. (Content whose sums do not
// check is still the content /e writes.)
struct EntryContent {
  bool present = false;
  bool readable = true;
  const uint8_t* data = nullptr;
  uint64_t size = 0;
};
EntryContent content_of(platform::Env& env, const PackBytes& pack, const PakEntry& entry,
                        DecodeBuffer* buffer, PreparedEntry* prepared);

// Whether two contents hold the same bytes (presence aside); false in
// `*read` when a pack lost its bytes under the compare.
bool same_content(const EntryContent& a, const EntryContent& b, bool* read);

}  // namespace radodaro

#endif  // RADODARO_PAK_ENTRY_READER_H_
