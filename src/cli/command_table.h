// The commands behind a first argument that begins with "--": one table
// from which the argument check, the dispatch and --help are all made, so
// that a new command is one row here and one file in src/commands/.
#ifndef RADODARO_CLI_COMMAND_TABLE_H_
#define RADODARO_CLI_COMMAND_TABLE_H_

#include <span>
#include <string>

#include "platform/files.h"

namespace radodaro {

struct Command {
  const char* name;      // "--list"
  const char* operands;  // as --help shows them: "PACK FOLDER"; "" for none
  int operand_count;
  const char* help;  // one line
  // The exit status; `operands` has operand_count items.
  int (*run)(platform::Env& env, const char* const* operands);
};

std::span<const Command> commands();

// What --help prints after the usage text: a line per command, then where
// to read more.
std::string commands_help();

// Runs the command that argv[1] names with the operands after it: the
// usage text and -1 for an unknown command or the wrong number of operands.
int run_command(platform::Env& env, int argc, const char* const* argv);

}  // namespace radodaro

#endif  // RADODARO_CLI_COMMAND_TABLE_H_
