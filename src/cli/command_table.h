// The commands behind a first argument that begins with "--": one table
// from which the argument check, the dispatch and --help are all made, so
// that a new command is one row here and one file in src/commands/.
#ifndef RADODARO_CLI_COMMAND_TABLE_H_
#define RADODARO_CLI_COMMAND_TABLE_H_

#include <span>
#include <string>
#include <vector>

#include "commands/invocation.h"
#include "platform/files.h"

namespace radodaro {

struct Option {
  const char* name;   // "--best"
  const char* alias;  // "-9", or nullptr
  const char* help;   // one line
  // What the value that follows it stands for, as --help shows it ("N"),
  // or nullptr for an option without one. The value is the next argument,
  // or follows "=" in the same one.
  const char* value = nullptr;
  // Where it goes, one of the three: the flag it sets; what it does to the
  // options, for one without a value; or how its value is read into them
  // (false, with the reason on stderr, for a value that does not do).
  bool CommandOptions::*flag = nullptr;
  void (*set)(CommandOptions* options) = nullptr;
  bool (*parse)(const std::string& value, CommandOptions* options) = nullptr;
};

// What the table does for a command before it runs it.
enum Setup : unsigned {
  kPackOperand = 1,    // the first operand is a pack: Invocation::pack
  kFolderOperand = 2,  // the second is a folder: Invocation::folder
  kInterruptible = 4,  // interruptions undo what the run did (handle_interruptions)
  // The pack is opened to be read (Invocation::view), and --only checked
  // against its entries, before the command runs.
  kReadsPack = 8,
};

struct Command {
  const char* name;      // "--list"
  const char* operands;  // as --help shows them: "PACK FOLDER"; "" for none
  size_t least_operands;
  size_t most_operands;
  const char* help;  // one line
  // Taken anywhere after the command, up to a "--" after which everything
  // is an operand.
  std::span<const Option> options;
  const char* exits;  // what each exit status means, on one line
  unsigned setup;     // Setup flags
  // The exit status; `in` has from least_operands to most_operands
  // operands, and its options parsed.
  int (*run)(platform::Env& env, const Invocation& in);
};

std::span<const Command> commands();

// What --help prints after the usage text: a line per command and per
// option, and the exit statuses, then where to read more.
std::string commands_help();

// Runs the command that argv[1] names with the arguments after it. An
// unknown command or option, a missing value or the wrong number of
// operands is said on stderr, with a pointer to --help, and gives -1.
int run_command(platform::Env& env, int argc, const char* const* argv);

}  // namespace radodaro

#endif  // RADODARO_CLI_COMMAND_TABLE_H_
