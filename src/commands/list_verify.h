// --list and --verify: looking into a pack without writing anything.
#ifndef RADODARO_COMMANDS_LIST_VERIFY_H_
#define RADODARO_COMMANDS_LIST_VERIFY_H_

#include <cstdint>
#include <string>

#include "commands/output.h"
#include "pak/entry_selection.h"
#include "platform/files.h"

namespace radodaro {

// How --list and --verify look: at which entries, and printing text or
// JSON Lines.
struct LookOptions {
  EntrySelection selection;
  bool json = false;
  ProgressMode progress = ProgressMode::kAuto;  // --verify
};

// --list PACK: prints the directory and a summary, in which "unreferenced"
// is what --compact would give back; 0, or -1 when the pack cannot be
// opened or the selection does not fit it (with the reason on stderr).
int run_list(platform::Env& env, const std::string& pak_path, const LookOptions& options = {});

// --verify PACK: prints a line for each problem and a summary; 0 when there
// is none, 1 when there are some, -1 when the pack cannot be opened or the
// selection does not fit it.
int run_verify(platform::Env& env, const std::string& pak_path, uint32_t workers = 1,
               const LookOptions& options = {});

}  // namespace radodaro

#endif  // RADODARO_COMMANDS_LIST_VERIFY_H_
