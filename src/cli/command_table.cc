#include "cli/command_table.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "cli/tool.h"
#include "commands/compact.h"
#include "commands/group.h"
#include "commands/list_verify.h"
#include "pak/entry_pipeline.h"
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

constexpr char kJobsHelp[] = "threads that work ahead (0: one per core, the default)";
constexpr uint32_t kMostJobs = 256;

// The number of worker threads that --jobs asks for, the last one given
// counting; false, with the reason on stderr, for a value that is not a
// number from 0 to 256.
bool jobs_of(const Arguments& args, uint32_t* jobs) {
  *jobs = default_workers();
  return std::ranges::all_of(args.options, [&](const GivenOption& option) {
    if (option.name != "--jobs") return true;
    const std::string& v = option.value;
    const bool digits =
        !v.empty() && v.size() <= 3 && v.find_first_not_of("0123456789") == std::string::npos;
    const unsigned long n = digits ? std::stoul(v) : kMostJobs + 1;
    if (n > kMostJobs) {
      std::fprintf(stderr, "radodaro: --jobs takes a number from 0 to %u, not '%s'\n", kMostJobs,
                   v.c_str());
      return false;
    }
    *jobs = n == 0 ? default_workers() : static_cast<uint32_t>(n);
    return true;
  });
}

constexpr Option kVerifyOptions[] = {
    {"--jobs", "-j", kJobsHelp, "N"},
};

int verify(platform::Env& env, const Arguments& args) {
  uint32_t jobs = 1;
  if (!jobs_of(args, &jobs)) return -1;
  platform::handle_interruptions();
  return run_verify(env, platform::full_path(args.operands[0]), jobs);
}

constexpr Option kUpdateOptions[] = {
    {"--fast", "-1", "changed lzo1x members compressed fast (the default)"},
    {"--best", "-9", "changed lzo1x members compressed as small as can be"},
    {"--store", "-0", "every changed member stored uncompressed, as /p does"},
    {"--jobs", "-j", kJobsHelp, "N"},
};

int update(platform::Env& env, const Arguments& args) {
  // The last of them counts, as with gzip and lzop.
  Compression compression = Compression::kFast;
  for (const GivenOption& option : args.options) {
    if (option.name == "--jobs") continue;
    compression = option.name == "--best"    ? Compression::kBest
                  : option.name == "--store" ? Compression::kNone
                                             : Compression::kFast;
  }
  uint32_t jobs = 1;
  if (!jobs_of(args, &jobs)) return -1;
  const std::string folder = platform::full_folder_path(args.operands[1]);
  const std::string pack = platform::full_path(args.operands[0]);
  platform::handle_interruptions();
  return run_update(env, pack, folder, compression, jobs) ? 0 : -1;
}

int compact(platform::Env& env, const Arguments& args) {
  const std::string pack = platform::full_path(args.operands[0]);
  platform::handle_interruptions();
  return run_compact(env, pack) ? 0 : -1;
}

constexpr Command kCommands[] = {
    {"--list", "PACK", 1, "list the entries without reading their data", {}, list},
    {"--verify", "PACK", 1, "check every entry and the directory; writes nothing", kVerifyOptions,
     verify},
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

// The option of `command` that `arg` names, or nullptr; `*inline_value`
// points past the "=" of "--jobs=4", or is nullptr.
const Option* option_named(const Command& command, const char* arg, const char** inline_value) {
  *inline_value = nullptr;
  for (const Option& o : command.options) {
    if (std::strcmp(arg, o.name) == 0 || (o.alias != nullptr && std::strcmp(arg, o.alias) == 0)) {
      return &o;
    }
    const size_t n = std::strlen(o.name);
    if (o.value != nullptr && std::strncmp(arg, o.name, n) == 0 && arg[n] == '=') {
      *inline_value = arg + n + 1;
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
      std::string synopsis = std::string("  ") + o.name;
      if (o.alias != nullptr) synopsis.append(", ").append(o.alias);
      if (o.value != nullptr) synopsis.append(" ").append(o.value);
      text += help_line(synopsis, o.help);
    }
  }
  return text + "More in radodaro(1): man radodaro\n";
}

int run_command(platform::Env& env, int argc, const char* const* argv) {
  for (const Command& c : kCommands) {
    if (std::strcmp(argv[1], c.name) != 0) continue;
    Arguments args;
    for (int i = 2; i < argc; ++i) {
      const char* inline_value = nullptr;
      if (const Option* o = option_named(c, argv[i], &inline_value)) {
        GivenOption given{o->name, ""};
        if (inline_value != nullptr) {
          given.value = inline_value;
        } else if (o->value != nullptr && i + 1 < argc) {
          given.value = argv[++i];
        }
        args.options.push_back(std::move(given));
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
