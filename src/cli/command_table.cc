#include "cli/command_table.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "cli/tool.h"
#include "commands/compact.h"
#include "commands/expand.h"
#include "commands/group.h"
#include "commands/list_verify.h"
#include "commands/output.h"
#include "pak/entry_pipeline.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace radodaro {

bool Arguments::has(const char* name) const {
  return std::ranges::any_of(options, [&](const GivenOption& o) { return o.name == name; });
}

namespace {

const Command* command_named(const std::string& name);
std::string command_help(const Command& command);

constexpr char kTryHelp[] = "try 'radodaro --help'";

int help(platform::Env&, const Arguments& args) {
  if (args.operands.empty()) {
    std::fputs(kUsageText, stdout);
    std::fputs(commands_help().c_str(), stdout);
    return 0;
  }
  const std::string& name = args.operands[0];
  const Command* command = command_named(name.starts_with("--") ? name : "--" + name);
  if (command == nullptr) {
    complain("unknown command '%s'", name.c_str());
    std::fprintf(stderr, "%s\n", kTryHelp);
    return -1;
  }
  std::fputs(command_help(*command).c_str(), stdout);
  return 0;
}

int version(platform::Env&, const Arguments&) {
  std::printf("radodaro %s\n", RADODARO_VERSION);
  return 0;
}

constexpr Option kJson = {"--json", nullptr,
                          "a JSON object per line for each entry, then a summary"};
constexpr Option kOnly = {"--only", nullptr, "only these entries: 3,7-9,12- or member names",
                          "SELECTION"};
constexpr Option kJobs = {"--jobs", "-j", "threads that work ahead (0: one per core, the default)",
                          "N"};
constexpr Option kProgress = {"--progress", nullptr, "show the progress line wherever stderr goes"};
constexpr Option kNoProgress = {"--no-progress", nullptr, "never show the progress line"};
constexpr Option kDryRun = {"--dry-run", "-n", "print what would be done; write nothing"};
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
      complain("--jobs takes a number from 0 to %u, not '%s'", kMostJobs, v.c_str());
      return false;
    }
    *jobs = n == 0 ? default_workers() : static_cast<uint32_t>(n);
    return true;
  });
}

// The entries that --only selects, the last one given counting; false, with
// the reason on stderr, for one that is not a selection.
bool selection_of(const Arguments& args, EntrySelection* selection) {
  return std::ranges::all_of(args.options, [&](const GivenOption& option) {
    if (option.name != "--only") return true;
    std::string why;
    if (selection->parse(option.value, &why)) return true;
    complain("--only: %s", why.c_str());
    return false;
  });
}

// --progress and --no-progress: the last one given counts.
ProgressMode progress_of(const Arguments& args) {
  ProgressMode mode = ProgressMode::kAuto;
  for (const GivenOption& option : args.options) {
    if (option.name == "--progress") mode = ProgressMode::kOn;
    if (option.name == "--no-progress") mode = ProgressMode::kOff;
  }
  return mode;
}

constexpr Option kListOptions[] = {kJson, kOnly};

int list(platform::Env& env, const Arguments& args) {
  LookOptions options;
  options.json = args.has("--json");
  if (!selection_of(args, &options.selection)) return -1;
  platform::handle_interruptions();
  return run_list(env, platform::full_path(args.operands[0]), options);
}

constexpr Option kVerifyOptions[] = {kJson, kOnly, kJobs, kProgress, kNoProgress};

int verify(platform::Env& env, const Arguments& args) {
  LookOptions options;
  options.json = args.has("--json");
  options.progress = progress_of(args);
  uint32_t jobs = 1;
  if (!selection_of(args, &options.selection) || !jobs_of(args, &jobs)) return -1;
  platform::handle_interruptions();
  return run_verify(env, platform::full_path(args.operands[0]), jobs, options);
}

constexpr Option kExpandOptions[] = {
    {"--verbose", "-v", "a line for each member file written"},
    kJson,
    {"--overwrite", nullptr, "replace member files that are there, each at once"},
    kOnly,
    kJobs,
    kProgress,
    kNoProgress,
};

int expand(platform::Env& env, const Arguments& args) {
  ExpandOptions options;
  options.verbose = args.has("--verbose");
  options.json = args.has("--json");
  options.overwrite = args.has("--overwrite");
  options.progress = progress_of(args);
  uint32_t jobs = 1;
  if (!selection_of(args, &options.selection) || !jobs_of(args, &jobs)) return -1;
  const std::string folder = platform::full_folder_path(args.operands[1]);
  const std::string pack = platform::full_path(args.operands[0]);
  platform::handle_interruptions();
  return run_expand_command(env, pack, folder, options, jobs);
}

constexpr Option kUpdateOptions[] = {
    {"--fast", "-1", "changed lzo1x members compressed fast (the default)"},
    {"--best", "-9", "changed lzo1x members compressed as small as can be"},
    {"--store", "-0", "every changed member stored uncompressed, as /p does"},
    kDryRun,
    kOnly,
    kJobs,
    kProgress,
    kNoProgress,
};

int update(platform::Env& env, const Arguments& args) {
  // The last of them counts, as with gzip and lzop.
  Compression compression = Compression::kFast;
  for (const GivenOption& option : args.options) {
    if (option.name == "--best") compression = Compression::kBest;
    if (option.name == "--store") compression = Compression::kNone;
    if (option.name == "--fast") compression = Compression::kFast;
  }
  GroupOptions options;
  options.dry_run = args.has("--dry-run");
  options.progress = progress_of(args);
  uint32_t jobs = 1;
  if (!selection_of(args, &options.selection) || !jobs_of(args, &jobs)) return -1;
  const std::string folder = platform::full_folder_path(args.operands[1]);
  const std::string pack = platform::full_path(args.operands[0]);
  platform::handle_interruptions();
  return run_update(env, pack, folder, compression, jobs, options) ? 0 : -1;
}

constexpr Option kCompactOptions[] = {kDryRun, kProgress, kNoProgress};

int compact(platform::Env& env, const Arguments& args) {
  CompactOptions options;
  options.dry_run = args.has("--dry-run");
  options.progress = progress_of(args);
  const std::string pack = platform::full_path(args.operands[0]);
  platform::handle_interruptions();
  return run_compact(env, pack, options) ? 0 : -1;
}

constexpr char kDoneOrNot[] = "0 done, 255 nothing could be done";
constexpr char kEntriesExits[] =
    "0 every entry fine, 1 some entries had problems, 255 nothing could be done";

constexpr Command kCommands[] = {
    {"--list", "PACK", 1, 1, "list the entries without reading their data", kListOptions,
     kDoneOrNot, list},
    {"--verify", "PACK", 1, 1, "check every entry and the directory; writes nothing",
     kVerifyOptions, kEntriesExits, verify},
    {"--expand", "PACK FOLDER", 2, 2, "write the entries out as member files, never over a file",
     kExpandOptions,
     "0 every selected entry written and checked, 1 some were not, 255 nothing could be done",
     expand},
    {"--update", "PACK FOLDER", 2, 2, "group only the member files that changed", kUpdateOptions,
     kDoneOrNot, update},
    {"--compact", "PACK", 1, 1, "give back the space that no entry refers to", kCompactOptions,
     kDoneOrNot, compact},
    {"--help",
     "[COMMAND]",
     0,
     1,
     "this text, or one command's",
     {},
     "0 done, 255 no such command",
     help},
    {"--version", "", 0, 0, "the version", {}, "0", version},
};

const Command* command_named(const std::string& name) {
  const auto* const it =
      std::ranges::find_if(kCommands, [&](const Command& c) { return name == c.name; });
  return it == std::end(kCommands) ? nullptr : &*it;
}

std::string help_line(const std::string& synopsis, const char* help) {
  char line[200];
  std::snprintf(line, sizeof line, "%-23s%s\n", synopsis.c_str(), help);
  return line;
}

std::string options_help(const Command& c) {
  std::string text;
  for (const Option& o : c.options) {
    std::string synopsis = std::string("  ") + o.name;
    if (o.alias != nullptr) synopsis.append(", ").append(o.alias);
    if (o.value != nullptr) synopsis.append(" ").append(o.value);
    text += help_line(synopsis, o.help);
  }
  return text;
}

std::string synopsis(const Command& c) {
  std::string text = c.name;
  if (*c.operands != '\0') text.append(" ").append(c.operands);
  return text;
}

std::string command_help(const Command& c) {
  std::string text = "Usage: radodaro " + synopsis(c);
  if (!c.options.empty()) text.append(" [OPTION]...");
  text.append("\n").append(c.help).append("\n");
  if (!c.options.empty()) text.append("Options:\n").append(options_help(c));
  return text.append("Exit status: ").append(c.exits).append("\n");
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

// Says what is wrong with the command line, and where to read more.
int mistake(const std::string& what) {
  complain("%s", what.c_str());
  std::fprintf(stderr, "%s\n", kTryHelp);
  return -1;
}

}  // namespace

std::span<const Command> commands() { return kCommands; }

std::string commands_help() {
  std::string text = "Commands:\n";
  for (const Command& c : kCommands) {
    text += help_line(synopsis(c), c.help);
    text += options_help(c);
  }
  text += "Exit status:\n";
  for (const Command& c : kCommands) text += help_line(std::string("  ") + c.name, c.exits);
  return text + "More in radodaro(1): man radodaro\n";
}

int run_command(platform::Env& env, int argc, const char* const* argv) {
  const Command* c = command_named(argv[1]);
  if (c == nullptr) return mistake(std::string("unknown command '") + argv[1] + "'");
  Arguments args;
  // What --help is asked about is a command's name, "--" and all.
  bool operands_only = c->run == help;
  for (int i = 2; i < argc; ++i) {
    const char* arg = argv[i];
    if (operands_only || arg[0] != '-' || arg[1] == '\0') {
      args.operands.emplace_back(arg);
      continue;
    }
    if (std::strcmp(arg, "--") == 0) {
      operands_only = true;
      continue;
    }
    const char* inline_value = nullptr;
    const Option* o = option_named(*c, arg, &inline_value);
    if (o == nullptr) {
      return mistake(std::string("unknown option '") + arg + "' of " + c->name);
    }
    GivenOption given{o->name, ""};
    if (inline_value != nullptr) {
      given.value = inline_value;
    } else if (o->value != nullptr) {
      if (i + 1 >= argc) return mistake(std::string(o->name) + " needs a value: " + o->value);
      given.value = argv[++i];
    }
    args.options.push_back(std::move(given));
  }
  if (args.operands.size() < c->least_operands || args.operands.size() > c->most_operands) {
    return mistake(std::string(c->name) + " takes " +
                   (*c->operands != '\0' ? c->operands : "no operands"));
  }
  return c->run(env, args);
}

}  // namespace radodaro
