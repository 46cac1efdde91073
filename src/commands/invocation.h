// What a "--" command is given once its command line is read: its operands,
// the pack and folder they name (made absolute), and every option, each
// already where its table row put it. A command is then one function over
// this, in one file.
#ifndef RADODARO_COMMANDS_INVOCATION_H_
#define RADODARO_COMMANDS_INVOCATION_H_

#include <cstdint>
#include <string>
#include <vector>

#include "commands/group.h"
#include "commands/output.h"
#include "pak/entry_selection.h"
#include "pak/pack_reader.h"
#include "platform/files.h"

namespace radodaro {

// The options of every command; a command reads those its row declares.
struct CommandOptions {
  bool json = false;
  bool verbose = false;
  bool overwrite = false;
  bool dry_run = false;
  bool quiet = false;
  bool skip_existing = false;
  bool check_all = false;
  bool guess_types = false;
  std::string names;  // --names LIST: the list's path
  bool force = false;
  std::string like;  // --create --like TEMPLATE
  std::string undo;  // --apply-patch --undo UNDO
  EntrySelection selection;
  uint32_t jobs = 1;  // threads, from --jobs or the default
  ProgressMode progress = ProgressMode::kAuto;
  Compression compression = Compression::kFast;
};

struct Invocation {
  std::vector<std::string> operands;
  std::string pack;    // the first operand as an absolute path, where the row asks
  std::string folder;  // the second as an absolute folder path, ending with a separator
  CommandOptions options;
  PackView view;  // the pack, open to be read, where the row asks
};

// The commands, each in its own file.
int list_command(platform::Env& env, const Invocation& in);
int verify_command(platform::Env& env, const Invocation& in);
int expand_command(platform::Env& env, const Invocation& in);
int update_command(platform::Env& env, const Invocation& in);
int compact_command(platform::Env& env, const Invocation& in);
int status_command(platform::Env& env, const Invocation& in);
int cat_command(platform::Env& env, const Invocation& in);
int diff_command(platform::Env& env, const Invocation& in);
int create_command(platform::Env& env, const Invocation& in);
int make_patch_command(platform::Env& env, const Invocation& in);
int apply_patch_command(platform::Env& env, const Invocation& in);

}  // namespace radodaro

#endif  // RADODARO_COMMANDS_INVOCATION_H_
