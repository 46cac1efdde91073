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

int help(platform::Env&, const Arguments&) {
  std::fputs(kUsageText, stdout);
  std::fputs(commands_help().c_str(), stdout);
  return 0;
}

int version(platform::Env&, const Arguments&) {
  std::printf("radodaro %s\n", RADODARO_VERSION);
  return 0;
}

int list(platform::Env& env, const Arguments& args) {
  platform::handle_interruptions();
  return run_list(env, platform::full_path(args.operands[0]));
}

int verify(platform::Env& env, const Arguments& args) {
  platform::handle_interruptions();
  return run_verify(env, platform::full_path(args.operands[0]));
}

constexpr Option kUpdateOptions[] = {
    {"--fast", "-1", "changed lzo1x members compressed fast (the default)"},
    {"--best", "-9", "changed lzo1x members compressed as small as can be"},
    {"--store", "-0", "every changed member stored uncompressed, as /p does"},
};

int update(platform::Env& env, const Arguments& args) {
  // The last of them counts, as with gzip and lzop.
  Compression compression = Compression::kFast;
  for (const std::string& option : args.options) {
    compression = option == "--best"    ? Compression::kBest
                  : option == "--store" ? Compression::kNone
                                        : Compression::kFast;
  }
  const std::string folder = platform::full_folder_path(args.operands[1]);
  const std::string pack = platform::full_path(args.operands[0]);
  platform::handle_interruptions();
  return run_update(env, pack, folder, compression) ? 0 : -1;
}

int compact(platform::Env& env, const Arguments& args) {
  const std::string pack = platform::full_path(args.operands[0]);
  platform::handle_interruptions();
  return run_compact(env, pack) ? 0 : -1;
}

constexpr Command kCommands[] = {
    {"--list", "PACK", 1, "list the entries without reading their data", {}, list},
    {"--verify", "PACK", 1, "check every entry and the directory; writes nothing", {}, verify},
    {"--update", "PACK FOLDER", 2, "group only the member files that changed", kUpdateOptions,
     update},
    {"--compact", "PACK", 1, "give back the space that no entry refers to", {}, compact},
    {"--help", "", 0, "this text", {}, help},
    {"--version", "", 0, "the version", {}, version},
};

std::string help_line(const std::string& synopsis, const char* help) {
  char line[200];
  std::snprintf(line, sizeof line, "%-23s%s\n", synopsis.c_str(), help);
  return line;
}

// The option of `command` that `arg` names, or nullptr.
const Option* option_named(const Command& command, const char* arg) {
  for (const Option& o : command.options) {
    if (std::strcmp(arg, o.name) == 0 || (o.alias != nullptr && std::strcmp(arg, o.alias) == 0)) {
      return &o;
    }
  }
  return nullptr;
}

}  // namespace

std::span<const Command> commands() { return kCommands; }

std::string commands_help() {
  std::string text = "Commands:\n";
  for (const Command& c : kCommands) {
    text += help_line(*c.operands ? std::string(c.name) + " " + c.operands : c.name, c.help);
    for (const Option& o : c.options) {
      text += help_line(std::string("  ") + o.name + (o.alias ? std::string(", ") + o.alias : ""),
                        o.help);
    }
  }
  return text + "More in radodaro(1): man radodaro\n";
}

int run_command(platform::Env& env, int argc, const char* const* argv) {
  for (const Command& c : kCommands) {
    if (std::strcmp(argv[1], c.name) != 0) continue;
    Arguments args;
    for (int i = 2; i < argc; ++i) {
      if (const Option* o = option_named(c, argv[i])) {
        args.options.emplace_back(o->name);
      } else {
        args.operands.emplace_back(argv[i]);
      }
    }
    if (args.operands.size() == c.operand_count) return c.run(env, args);
  }
  std::fputs(kUsageText, stdout);
  return -1;
}

}  // namespace radodaro
