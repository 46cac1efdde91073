#include "cli/command_table.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "cli/tool.h"
#include "commands/invocation.h"
#include "commands/output.h"
#include "pak/entry_pipeline.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace radodaro {

namespace {

const Command* command_named(const std::string& name);
std::string command_help(const Command& command);

constexpr char kTryHelp[] = "try 'radodaro --help'";

int help(platform::Env&, const Invocation& in) {
  if (in.operands.empty()) {
    std::fputs(kUsageText, stdout);
    std::fputs(commands_help().c_str(), stdout);
    return 0;
  }
  const std::string& name = in.operands[0];
  const Command* command = command_named(name.starts_with("--") ? name : "--" + name);
  if (command == nullptr) {
    complain("unknown command '%s'", name.c_str());
    std::fprintf(stderr, "%s\n", kTryHelp);
    return -1;
  }
  std::fputs(command_help(*command).c_str(), stdout);
  return 0;
}

int version(platform::Env&, const Invocation&) {
  std::printf("radodaro %s\n", RADODARO_VERSION);
  return 0;
}

constexpr uint32_t kMostJobs = 256;

// --jobs N: a number from 0 (one thread per core) to 256.
bool parse_jobs(const std::string& v, CommandOptions* options) {
  const bool digits =
      !v.empty() && v.size() <= 3 && v.find_first_not_of("0123456789") == std::string::npos;
  const unsigned long n = digits ? std::stoul(v) : kMostJobs + 1;
  if (n > kMostJobs) {
    complain("--jobs takes a number from 0 to %u, not '%s'", kMostJobs, v.c_str());
    return false;
  }
  options->jobs = n == 0 ? default_workers() : static_cast<uint32_t>(n);
  return true;
}

// --only SELECTION.
bool parse_only(const std::string& v, CommandOptions* options) {
  std::string why;
  options->selection = EntrySelection();
  if (options->selection.parse(v, &why)) return true;
  complain("--only: %s", why.c_str());
  return false;
}

constexpr Option kJson = {"--json", nullptr,
                          "a JSON object per line for each entry, then a summary", nullptr,
                          &CommandOptions::json};
constexpr Option kOnly = {"--only",    nullptr, "only these entries: 3,7-9,12- or member names",
                          "SELECTION", nullptr, nullptr,
                          parse_only};
constexpr Option kJobs = {
    "--jobs", "-j",      "threads that work ahead (0: one per core, the default)", "N", nullptr,
    nullptr,  parse_jobs};
constexpr Option kProgress = {
    "--progress", nullptr, "show the progress line wherever stderr goes",
    nullptr,      nullptr, [](CommandOptions* o) { o->progress = ProgressMode::kOn; }};
constexpr Option kNoProgress = {
    "--no-progress", nullptr, "never show the progress line",
    nullptr,         nullptr, [](CommandOptions* o) { o->progress = ProgressMode::kOff; }};
constexpr Option kDryRun = {"--dry-run", "-n", "print what would be done; write nothing", nullptr,
                            &CommandOptions::dry_run};

constexpr Option kListOptions[] = {kJson, kOnly};

constexpr Option kVerifyOptions[] = {kJson, kOnly, kJobs, kProgress, kNoProgress};

constexpr Option kExpandOptions[] = {
    {"--verbose", "-v", "a line for each member file written", nullptr, &CommandOptions::verbose},
    kJson,
    {"--overwrite", nullptr, "replace member files that are there, each at once", nullptr,
     &CommandOptions::overwrite},
    kOnly,
    kJobs,
    kProgress,
    kNoProgress,
};

// The last of --fast, --best and --store counts, as with gzip and lzop.
constexpr Option kUpdateOptions[] = {
    {"--fast", "-1", "changed lzo1x members compressed fast (the default)", nullptr, nullptr,
     [](CommandOptions* o) { o->compression = Compression::kFast; }},
    {"--best", "-9", "changed lzo1x members compressed as small as can be", nullptr, nullptr,
     [](CommandOptions* o) { o->compression = Compression::kBest; }},
    {"--store", "-0", "every changed member stored uncompressed, as /p does", nullptr, nullptr,
     [](CommandOptions* o) { o->compression = Compression::kNone; }},
    kDryRun,
    kOnly,
    kJobs,
    kProgress,
    kNoProgress,
};

constexpr Option kCompactOptions[] = {kDryRun, kProgress, kNoProgress};

constexpr char kDoneOrNot[] = "0 done, 255 nothing could be done";
constexpr char kEntriesExits[] =
    "0 every entry fine, 1 some entries had problems, 255 nothing could be done";

constexpr unsigned kOnPack = kPackOperand | kInterruptible;
constexpr unsigned kOnPackAndFolder = kPackOperand | kFolderOperand | kInterruptible;
constexpr unsigned kReadingPack = kOnPack | kReadsPack;
constexpr unsigned kReadingPackIntoFolder = kOnPackAndFolder | kReadsPack;

// One row a command: what it takes, what --help says of it, and the file
// under src/commands/ that runs it.
constexpr Command kCommands[] = {
    {"--list", "PACK", 1, 1, "list the entries without reading their data", kListOptions,
     kDoneOrNot, kReadingPack, list_command},
    {"--verify", "PACK", 1, 1, "check every entry and the directory; writes nothing",
     kVerifyOptions, kEntriesExits, kReadingPack, verify_command},
    {"--expand", "PACK FOLDER", 2, 2, "write the entries out as member files, never over a file",
     kExpandOptions,
     "0 every selected entry written and checked, 1 some were not, 255 nothing could be done",
     kReadingPackIntoFolder, expand_command},
    {"--update", "PACK FOLDER", 2, 2, "group only the member files that changed", kUpdateOptions,
     kDoneOrNot, kOnPackAndFolder, update_command},
    {"--compact", "PACK", 1, 1, "give back the space that no entry refers to", kCompactOptions,
     kDoneOrNot, kOnPack, compact_command},
    {"--help",
     "[COMMAND]",
     0,
     1,
     "this text, or one command's",
     {},
     "0 done, 255 no such command",
     0,
     help},
    {"--version", "", 0, 0, "the version", {}, "0", 0, version},
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
  Invocation in;
  std::vector<std::pair<const Option*, std::string>> given;
  // What --help is asked about is a command's name, "--" and all.
  bool operands_only = c->run == help;
  for (int i = 2; i < argc; ++i) {
    const char* arg = argv[i];
    if (operands_only || arg[0] != '-' || arg[1] == '\0') {
      in.operands.emplace_back(arg);
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
    std::string value;
    if (inline_value != nullptr) {
      value = inline_value;
    } else if (o->value != nullptr) {
      if (i + 1 >= argc) return mistake(std::string(o->name) + " needs a value: " + o->value);
      value = argv[++i];
    }
    given.emplace_back(o, std::move(value));
  }
  if (in.operands.size() < c->least_operands || in.operands.size() > c->most_operands) {
    return mistake(std::string(c->name) + " takes " +
                   (*c->operands != '\0' ? c->operands : "no operands"));
  }
  // Each option where its row puts it, in the order given: the last of
  // several counts.
  in.options.jobs = default_workers();
  for (const auto& [o, value] : given) {
    if (o->flag != nullptr) in.options.*(o->flag) = true;
    if (o->set != nullptr) o->set(&in.options);
    if (o->parse != nullptr && !o->parse(value, &in.options)) return -1;
  }
  if ((c->setup & kFolderOperand) != 0) in.folder = platform::full_folder_path(in.operands[1]);
  if ((c->setup & kPackOperand) != 0) in.pack = platform::full_path(in.operands[0]);
  if ((c->setup & kInterruptible) != 0) platform::handle_interruptions();
  if ((c->setup & kReadsPack) != 0 && (!open_pack_to_read(env, in.pack, &in.view) ||
                                       !selection_fits(in.options.selection, in.view.dir_image))) {
    return -1;
  }
  return c->run(env, in);
}

}  // namespace radodaro
