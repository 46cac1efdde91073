#include "cli/command_table.h"

#include <cstdio>
#include <cstring>

#include "cli/tool.h"
#include "commands/compact.h"
#include "commands/group.h"
#include "commands/list_verify.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace radodaro {

namespace {

int help(platform::Env&, const char* const*) {
  std::fputs(kUsageText, stdout);
  std::fputs(commands_help().c_str(), stdout);
  return 0;
}

int version(platform::Env&, const char* const*) {
  std::printf("radodaro %s\n", RADODARO_VERSION);
  return 0;
}

int list(platform::Env& env, const char* const* operands) {
  platform::handle_interruptions();
  return run_list(env, platform::full_path(operands[0]));
}

int verify(platform::Env& env, const char* const* operands) {
  platform::handle_interruptions();
  return run_verify(env, platform::full_path(operands[0]));
}

int update(platform::Env& env, const char* const* operands) {
  const std::string folder = platform::full_folder_path(operands[1]);
  const std::string pack = platform::full_path(operands[0]);
  platform::handle_interruptions();
  return run_update(env, pack, folder) ? 0 : -1;
}

int compact(platform::Env& env, const char* const* operands) {
  const std::string pack = platform::full_path(operands[0]);
  platform::handle_interruptions();
  return run_compact(env, pack) ? 0 : -1;
}

constexpr Command kCommands[] = {
    {"--list", "PACK", 1, "list the entries without reading their data", list},
    {"--verify", "PACK", 1, "check every entry and the directory; writes nothing", verify},
    {"--update", "PACK FOLDER", 2, "group only the member files that changed", update},
    {"--compact", "PACK", 1, "give back the space that no entry refers to", compact},
    {"--help", "", 0, "this text", help},
    {"--version", "", 0, "the version", version},
};

}  // namespace

std::span<const Command> commands() { return kCommands; }

std::string commands_help() {
  std::string text = "Commands:\n";
  for (const Command& c : kCommands) {
    char line[160];
    const std::string synopsis = *c.operands ? std::string(c.name) + " " + c.operands : c.name;
    std::snprintf(line, sizeof line, "%-23s%s\n", synopsis.c_str(), c.help);
    text += line;
  }
  return text + "More in radodaro(1): man radodaro\n";
}

int run_command(platform::Env& env, int argc, const char* const* argv) {
  for (const Command& c : kCommands) {
    if (std::strcmp(argv[1], c.name) == 0 && argc - 2 == c.operand_count) {
      return c.run(env, argv + 2);
    }
  }
  std::fputs(kUsageText, stdout);
  return -1;
}

}  // namespace radodaro
