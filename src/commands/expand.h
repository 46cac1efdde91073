// /e: every entry of a pack written out as its member file.
#ifndef RADODARO_COMMANDS_EXPAND_H_
#define RADODARO_COMMANDS_EXPAND_H_

#include <string>
#include <unordered_set>

#include "commands/output.h"
#include "pak/entry_decoder.h"
#include "pak/entry_reader.h"
#include "pak/entry_selection.h"
#include "pak/member_names.h"
#include "pak/pack_reader.h"
#include "pak/pak_format.h"
#include "platform/files.h"

namespace radodaro {

// The folder that member files go to, and the names that were in it when
// the run began: one listing spares a look-up per member. A name that
// appears later is still never written over.
struct OutputFolder {
  platform::Handle handle;
  bool listed = false;  // `names` holds everything that was there
  std::unordered_set<std::string> names;

  // Opens the folder at `path` and lists it.
  void open(platform::Env& env, const std::string& path);
  // Whether anything is at `name`: kOk, kNotFound, or why it cannot be told.
  platform::Error look_up(platform::Env& env, const std::string& name) const;
};

// Writes every entry of `pack` that is not skipped to its member file under
// `folder_path`, printing the lines of each, with `workers` threads
// preparing the entries ahead of their turn.
void run_expand(platform::Env& env, const PackView& pack, const std::string& folder_path,
                uint32_t workers = 1);

// How --expand runs.
struct ExpandOptions {
  EntrySelection selection;
  bool verbose = false;    // a line per member written
  bool json = false;       // a JSON object per entry, then a summary
  bool overwrite = false;  // a regular file at a member's name is replaced
  // A member that is there already is passed over without a word, as a
  // resumed run wants.
  bool skip_existing = false;
  ProgressMode progress = ProgressMode::kAuto;
  std::string pak_path;  // as the summary names it
  // Paths of their own for some entries (--names), or nullptr.
  const MemberNames* names = nullptr;
  // Members of the other entries take an extension that their content
  // calls for (--guess-types): 00000003.dds.
  bool guess_types = false;
};

// --expand PACK FOLDER: the selected entries written out as /e writes
// them, each whole or not at all, existing files left alone (or, with
// `overwrite`, replaced at once), every problem said on stderr. 0 when every
// selected entry was written and checked, 1 when some were not, -1 when
// nothing could be done. `pack` is open, and the selection fits it.
int run_expand_command(platform::Env& env, const PackView& pack, const std::string& folder_path,
                       const ExpandOptions& options, uint32_t workers);

// Expands one entry, prepared, into a new member file `name` in `folder`,
// whose whole path, for messages, is `path`. The file appears under its
// name only once it is whole. Per-entry trouble is printed; nothing is
// returned.
void expand_entry(platform::Env& env, const OutputFolder& folder, const std::string& name,
                  const std::string& path, const PakEntry& entry, const PackView& pack,
                  const PreparedEntry& prepared);

// Both steps at once.
void expand_entry(platform::Env& env, const OutputFolder& folder, const std::string& name,
                  const std::string& path, const PakEntry& entry, const PackView& pack,
                  DecodeBuffer* buffer);

}  // namespace radodaro

#endif  // RADODARO_COMMANDS_EXPAND_H_
