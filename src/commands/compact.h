// --compact: the space that no entry refers to given back.
#ifndef RADODARO_COMMANDS_COMPACT_H_
#define RADODARO_COMMANDS_COMPACT_H_

#include <string>

#include "commands/output.h"
#include "platform/files.h"

namespace radodaro {

// Writes the compacted pack beside the real file behind `pak_path`, makes
// it durable, gives it the old one's owner, group, mode and attributes,
// prints the sizes, and renames it over the old one, all under the pack's
// exclusive hold. True means compacted (or nothing to give back); false,
// with the reason printed, leaves the pack as it was. A pack with more
// than one name (hard links) is refused: a rename would split them.
// With `dry_run`, only prints the sizes before and after; nothing is written
// and the pack is held only as a reader holds it.
struct CompactOptions {
  bool dry_run = false;
  bool json = false;  // the sizes as a JSON summary instead of a line
  ProgressMode progress = ProgressMode::kOff;
};
bool run_compact(platform::Env& env, const std::string& pak_path,
                 const CompactOptions& options = {});

}  // namespace radodaro

#endif  // RADODARO_COMMANDS_COMPACT_H_
