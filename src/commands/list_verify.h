// --list and --verify: looking into a pack without writing anything.
#ifndef RADODARO_COMMANDS_LIST_VERIFY_H_
#define RADODARO_COMMANDS_LIST_VERIFY_H_

#include <cstdint>
#include <string>

#include "commands/output.h"
#include "pak/entry_selection.h"
#include "pak/member_names.h"
#include "pak/pack_reader.h"
#include "platform/files.h"

namespace radodaro {

// How --list and --verify look: at which entries, and printing text or
// JSON Lines.
struct LookOptions {
  std::string pak_path;  // as the summary names it
  EntrySelection selection;
  bool json = false;
  ProgressMode progress = ProgressMode::kAuto;  // --verify
  const MemberNames* names = nullptr;           // --list --names
};

// --list PACK, of the open `pack`, whose directory the selection fits:
// prints the directory and a summary, in which "unreferenced" is what
// --compact would give back; 0.
int run_list(const PackView& pack, const LookOptions& options = {});

// --verify PACK, of the open `pack`: prints a line for each problem and a
// summary; 0 when there is none, 1 when there are some.
int run_verify(platform::Env& env, const PackView& pack, uint32_t workers = 1,
               const LookOptions& options = {});

}  // namespace radodaro

#endif  // RADODARO_COMMANDS_LIST_VERIFY_H_
