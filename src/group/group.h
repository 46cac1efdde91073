#ifndef RADODARO_GROUP_GROUP_H_
#define RADODARO_GROUP_GROUP_H_

#include <cstdint>
#include <string>

#include "pak/pak_format.h"

namespace radodaro {

// Offsets and lengths in a pack stay below this, as 32-bit signed file
// positions require.
constexpr uint64_t kPackLimit = uint64_t{1} << 31;

// Appends every member file under `folder_path` whose entry is not skipped
// to the pack at `pak_path` and rewrites the directory. All or nothing: on
// failure the pack is left byte for byte as it was, the reason is printed,
// and false is returned.
bool run_group(const std::string& pak_path, const std::string& folder_path);

enum class GroupResult {
  kAppended,  // `entry` now describes the appended copy
  kAbsent,    // no member file: nothing read, `entry` unchanged
  kFailed,    // the member file could not be appended whole
};

// Appends the member file at `path` to the pack `pak_fd` at `*pak_end` and
// rewrites `entry` to point at it; `*pak_end` advances past the copy.
GroupResult group_entry(const std::string& path, int pak_fd, uint64_t* pak_end, PakEntry* entry);

}  // namespace radodaro

#endif  // RADODARO_GROUP_GROUP_H_
