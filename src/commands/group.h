// /p and --update: member files appended to their pack, its directory
// rewritten through the journal.
#ifndef RADODARO_COMMANDS_GROUP_H_
#define RADODARO_COMMANDS_GROUP_H_

#include <cstdint>
#include <string>

#include "pak/entry_decoder.h"
#include "pak/entry_encoder.h"
#include "pak/pak_format.h"
#include "platform/files.h"

namespace radodaro {

// Offsets and lengths in a pack stay below this, as 32-bit signed file
// positions require.
constexpr uint64_t kPackLimit = uint64_t{1} << 31;

// Appends every member file under `folder_path` whose entry is not skipped
// to the pack at `pak_path` and rewrites the directory through the pack's
// journal. All or nothing: true means the new directory is durable; false
// means the pack is byte for byte as it was (or its journal will make it
// so on the next run), with the reason printed.
//
// With kOnlyChanged (--update), a member file that holds exactly what /e
// writes for its entry is passed over, its entry unchanged; when nothing
// changed, the pack is not written at all. A changed member of an lzo1x
// entry is stored as `compression` says: as a new lzo1x stream, or
// uncompressed as /p stores every member.
enum class GroupMode { kEvery, kOnlyChanged };
enum class Compression { kFast, kBest, kNone };
bool run_group(platform::Env& env, const std::string& pak_path, const std::string& folder_path,
               GroupMode mode = GroupMode::kEvery, Compression compression = Compression::kNone);

// --update PACK FOLDER.
inline bool run_update(platform::Env& env, const std::string& pak_path,
                       const std::string& folder_path,
                       Compression compression = Compression::kFast) {
  return run_group(env, pak_path, folder_path, GroupMode::kOnlyChanged, compression);
}

enum class GroupResult {
  kAppended,   // `entry` now describes the appended copy
  kAbsent,     // nothing there, or no regular file: nothing read, `entry` unchanged
  kUnchanged,  // the member holds what the entry holds: `entry` unchanged
  kFailed,     // the member file is there but could not be appended whole
};

// With --update: the pack as it was when the run began, mapped, to compare
// members with, and how a changed member of an lzo1x entry is stored.
struct UpdateContext {
  uint64_t pack_size = 0;
  const uint8_t* pack_data = nullptr;  // nullptr: nothing counts as the same
  DecodeBuffer* buffer = nullptr;
  Lzo1xEncoder* encoder = nullptr;  // nullptr: uncompressed, as a stored entry
};

// Appends the member file `name` of `folder` to `pack` at `*pack_end` and
// rewrites `entry` to point at it; `*pack_end` advances past the copy.
// With `same`, a member that holds what /e writes for `entry` is
// kUnchanged instead, and one of an lzo1x entry is appended as `same`
// says.
GroupResult group_entry(platform::Env& env, const platform::Handle& folder, const std::string& name,
                        const platform::Handle& pack, uint64_t* pack_end, PakEntry* entry,
                        const UpdateContext* same = nullptr);

}  // namespace radodaro

#endif  // RADODARO_COMMANDS_GROUP_H_
