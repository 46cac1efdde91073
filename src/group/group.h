#ifndef RADODARO_GROUP_GROUP_H_
#define RADODARO_GROUP_GROUP_H_

#include <cstdint>
#include <string>

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
bool run_group(platform::Env& env, const std::string& pak_path, const std::string& folder_path);

enum class GroupResult {
  kAppended,  // `entry` now describes the appended copy
  kAbsent,    // nothing there, or no regular file: nothing read, `entry` unchanged
  kFailed,    // the member file is there but could not be appended whole
};

// Appends the member file `name` of `folder` to `pack` at `*pak_end` and
// rewrites `entry` to point at it; `*pak_end` advances past the copy.
GroupResult group_entry(platform::Env& env, const platform::Handle& folder, const std::string& name,
                        const platform::Handle& pack, uint64_t* pak_end, PakEntry* entry);

}  // namespace radodaro

#endif  // RADODARO_GROUP_GROUP_H_
