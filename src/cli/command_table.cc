#include "cli/command_table.h"

#include <getopt.h>
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
int unknown_command(const std::string& typed);

constexpr char kTryHelp[] = "try 'radodaro --help'";

int help(platform::Env&, const Invocation& in) {
  if (in.operands.empty()) {
    std::fputs(kUsageText, stdout);
    std::fputs(commands_help().c_str(), stdout);
    return 0;
  }
  const std::string& name = in.operands[0];
  const Command* command = command_named(name.starts_with("--") ? name : "--" + name);
  if (command == nullptr) return unknown_command(name);
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

// --only SELECTION; given more than once, the union.
bool parse_only(const std::string& v, CommandOptions* options) {
  std::string why;
  if (options->selection.parse(v, &why)) return true;
  complain("--only: %s", why.c_str());
  return false;
}

constexpr Option kJson = {"--json", nullptr,
                          "a JSON object per line for each entry, then a summary", nullptr,
                          &CommandOptions::json};
constexpr Option kOnly = {
    "--only",    nullptr, "only these entries: 3,7-9,0x1f-, or member names; again for more",
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
constexpr Option kNames = {"--names",
                           nullptr,
                           "paths of their own for entries, from lines INDEX<TAB>PATH",
                           "LIST",
                           nullptr,
                           nullptr,
                           [](const std::string& v, CommandOptions* o) {
                             o->names = v;
                             return true;
                           }};
constexpr Option kCheckAll = {"--check-all", nullptr,
                              "read every member, whatever the folder's record says", nullptr,
                              &CommandOptions::check_all};
constexpr Option kForce = {"--force", nullptr,
                           "go on with a folder whose record is of another pack (or version)",
                           nullptr, &CommandOptions::force};
constexpr Option kDryRun = {"--dry-run", "-n", "print what would be done; write nothing", nullptr,
                            &CommandOptions::dry_run};

constexpr Option kListOptions[] = {kJson, kOnly, kNames};

constexpr Option kVerifyOptions[] = {kJson, kOnly, kJobs, kProgress, kNoProgress};

constexpr Option kExpandOptions[] = {
    {"--verbose", "-v", "a line for each member file written", nullptr, &CommandOptions::verbose},
    {"--quiet", "-q", "nothing but errors: no lines, no progress", nullptr, &CommandOptions::quiet},
    kJson,
    // The last of --overwrite and --skip-existing counts.
    {"--overwrite", nullptr, "replace member files that are there, each at once", nullptr, nullptr,
     [](CommandOptions* o) {
       o->overwrite = true;
       o->skip_existing = false;
     }},
    kNames,
    {"--guess-types", nullptr, "an extension from the content for each member not named", nullptr,
     &CommandOptions::guess_types},
    {"--skip-existing", nullptr, "pass over member files that are there, without a word", nullptr,
     nullptr,
     [](CommandOptions* o) {
       o->skip_existing = true;
       o->overwrite = false;
     }},
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
    {"--json", nullptr, "a JSON object per member appended, then a summary", nullptr,
     &CommandOptions::json},
    kCheckAll,
    kForce,
    kOnly,
    kJobs,
    kProgress,
    kNoProgress,
};

constexpr Option kStatusOptions[] = {
    {"--verbose", "-v", "unchanged members too", nullptr, &CommandOptions::verbose},
    {"--json", nullptr, "a JSON object per member, then a summary", nullptr, &CommandOptions::json},
    kCheckAll,
    kForce,
    kOnly,
    kJobs,
    kProgress,
    kNoProgress,
};

constexpr Option kCatOptions[] = {kNames};

constexpr Option kDiffOptions[] = {{"--json", nullptr,
                                    "a JSON object per difference, then a summary", nullptr,
                                    &CommandOptions::json}};

constexpr Option kOverwriteFile = {"--overwrite", nullptr,
                                   "replace the file if it is there (a regular file only)", nullptr,
                                   &CommandOptions::overwrite};

constexpr Option kCreateOptions[] = {
    {"--like", nullptr, "lead bytes, kinds, crc1 and entries with no member from it", "TEMPLATE",
     nullptr, nullptr,
     [](const std::string& v, CommandOptions* o) {
       o->like = v;
       return true;
     }},
    {"--fast", "-1", "members of lzo1x entries compressed fast (the default)", nullptr, nullptr,
     [](CommandOptions* o) { o->compression = Compression::kFast; }},
    {"--best", "-9", "members of lzo1x entries compressed as small as can be", nullptr, nullptr,
     [](CommandOptions* o) { o->compression = Compression::kBest; }},
    {"--store", "-0", "every member stored uncompressed", nullptr, nullptr,
     [](CommandOptions* o) { o->compression = Compression::kNone; }},
    kOverwriteFile,
    {"--json", nullptr, "a JSON summary of the pack made", nullptr, &CommandOptions::json},
    kJobs,
    kProgress,
    kNoProgress,
};

constexpr Option kMakePatchOptions[] = {
    kOverwriteFile,
    {"--json", nullptr, "a JSON summary of the patch made", nullptr, &CommandOptions::json}};

constexpr Option kApplyPatchOptions[] = {
    {"--undo", nullptr, "first write the patch that takes this one off again", "UNDO", nullptr,
     nullptr,
     [](const std::string& v, CommandOptions* o) {
       o->undo = v;
       return true;
     }},
    kDryRun,
    {"--force", nullptr, "apply it even to entries that conflict", nullptr, &CommandOptions::force},
    {"--json", nullptr, "a JSON object per entry the patch changes, then a summary", nullptr,
     &CommandOptions::json},
};

constexpr Option kCompactOptions[] = {
    kDryRun,
    {"--json", nullptr, "a JSON summary with the sizes before and after", nullptr,
     &CommandOptions::json},
    kProgress,
    kNoProgress};

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
    {"--status", "PACK FOLDER", 2, 2, "what --update would put back, and why", kStatusOptions,
     "0 nothing to put back, 1 something to put back, 255 nothing could be done", kOnPackAndFolder,
     status_command},
    {"--cat", "PACK SELECTION", 2, 2, "the content of the selected entries, to standard output",
     kCatOptions, kEntriesExits, kReadingPack, cat_command},
    {"--diff", "OLD NEW", 2, 2, "what differs between two packs, entry by entry, by content",
     kDiffOptions, "0 the same content, 1 different, 255 nothing could be done", kReadingPack,
     diff_command},
    {"--create", "PACK FOLDER", 2, 2, "a new pack from the member files of a folder",
     kCreateOptions, kDoneOrNot, kPackOperand | kFolderOperand | kInterruptible, create_command},
    {"--make-patch", "OLD NEW PATCH", 3, 3, "a patch that turns OLD's content into NEW's",
     kMakePatchOptions, kDoneOrNot, kReadingPack, make_patch_command},
    {"--apply-patch", "PACK PATCH", 2, 2, "apply a patch, whole or not at all", kApplyPatchOptions,
     "0 applied (or in place already), 255 nothing was changed", kOnPack, apply_patch_command},
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

// The synopsis, then the help from the 24th column on (or on a line of its
// own when the synopsis reaches it).
std::string help_line(const std::string& synopsis, const char* help) {
  constexpr size_t kColumn = 23;
  std::string line = synopsis;
  if (line.size() >= kColumn) line.append("\n");
  line.resize(line.size() >= kColumn ? line.size() + kColumn : kColumn, ' ');
  return line.append(help).append("\n");
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

// How far apart two names are: the edits (a character put in, taken out
// or changed, or two swapped) that turn one into the other.
size_t distance(const std::string& a, const std::string& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min(
          {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

// "; did you mean '--list'?" for the names nearest to `typed`, when one is
// near enough to be what was meant; "" when none is.
std::string nearest(const std::string& typed, const std::vector<std::string>& names) {
  size_t best = 3;  // as far as a typo goes
  std::vector<std::string> found;
  for (const std::string& name : names) {
    const size_t d = distance(typed, name);
    // A name that begins with what was typed is as near as a typo.
    const size_t near = name.starts_with(typed) && typed.size() > 2 ? 1 : d;
    if (near < best) {
      best = near;
      found.clear();
    }
    if (near == best) found.push_back(name);
  }
  if (found.empty()) return "";
  std::string text = "; did you mean ";
  for (size_t i = 0; i < found.size(); ++i) {
    text.append(i == 0 ? "" : i + 1 == found.size() ? " or " : ", ");
    text.append("'").append(found[i]).append("'");
  }
  return text + "?";
}

// Says what is wrong with the command line, and where to read more: the
// help of `command`, or of them all.
int mistake(const std::string& what, const Command* command = nullptr) {
  complain("%s", what.c_str());
  if (command == nullptr) {
    std::fprintf(stderr, "%s\n", kTryHelp);
  } else {
    std::fprintf(stderr, "try 'radodaro %s --help'\n", command->name);
  }
  return -1;
}

int unknown_command(const std::string& typed) {
  std::vector<std::string> names;
  names.reserve(std::size(kCommands));
  for (const Command& c : kCommands) names.emplace_back(c.name);
  return mistake("unknown command '" + typed + "'" + nearest(typed, names));
}

// The help option that every command takes.
constexpr Option kHelpOption = {"--help", "-h", "this command's help"};

// What getopt_long returns for an option without a letter: past every
// character.
constexpr int kLongOnly = 0x100;

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
  text += "Every command takes --help (-h) for its own help.\n";
  return text + "More in radodaro(1): man radodaro\n";
}

int run_command(platform::Env& env, int argc, const char* const* argv) {
  const Command* c = command_named(argv[1]);
  if (c == nullptr) return unknown_command(argv[1]);
  Invocation in;
  // What --help is asked about is a command's name, "--" and all.
  if (c->run == help) {
    for (int i = 2; i < argc; ++i) in.operands.emplace_back(argv[i]);
    if (in.operands.size() > c->most_operands) return mistake("--help takes [COMMAND]");
    return c->run(env, in);
  }
  // The command line as getopt_long reads it: the command in place of the
  // program's name, then the options (with letters, clustered, "=" or the
  // next argument for a value) and operands in any order, up to a "--".
  std::vector<const Option*> rows;
  for (const Option& o : c->options) rows.push_back(&o);
  rows.push_back(&kHelpOption);
  std::vector<option> longs;
  std::string letters = ":";  // a missing value is ':', not '?'
  for (size_t i = 0; i < rows.size(); ++i) {
    const Option& o = *rows[i];
    const int has_arg = o.value != nullptr ? required_argument : no_argument;
    longs.push_back({o.name + 2, has_arg, nullptr, kLongOnly + static_cast<int>(i)});
    if (o.alias != nullptr) {
      letters.push_back(o.alias[1]);
      if (o.value != nullptr) letters.push_back(':');
    }
  }
  longs.push_back({nullptr, 0, nullptr, 0});
  std::vector<char*> args;
  for (int i = 1; i < argc; ++i) args.push_back(const_cast<char*>(argv[i]));
  args.push_back(nullptr);
  const int count = argc - 1;
  std::vector<std::pair<const Option*, std::string>> given;
  opterr = 0;
  optind = 0;  // from the start, whatever an earlier call read
  for (int got = 0;
       (got = getopt_long(count, args.data(), letters.c_str(), longs.data(), nullptr)) != -1;) {
    const Option* o = nullptr;
    if (got >= kLongOnly) {
      o = rows[static_cast<size_t>(got - kLongOnly)];
    } else if (got != '?' && got != ':') {
      for (const Option* row : rows) {
        if (row->alias != nullptr && row->alias[1] == got) o = row;
      }
    }
    if (o == nullptr) {
      // The option at fault: the row it names, if any, and as it was typed.
      const bool letter = optopt > 0 && optopt < kLongOnly;
      const Option* meant =
          optopt >= kLongOnly ? rows[static_cast<size_t>(optopt - kLongOnly)] : nullptr;
      for (const Option* row : rows) {
        if (letter && row->alias != nullptr && row->alias[1] == optopt) meant = row;
      }
      // A value missing, or one given to an option that takes none (which
      // some getopt_long also answer with ':').
      if (meant != nullptr && meant->value != nullptr) {
        return mistake(std::string(meant->name) + " needs a value: " + meant->value, c);
      }
      if (meant != nullptr) return mistake(std::string(meant->name) + " takes no value", c);
      std::string typed = letter ? std::string("-") + static_cast<char>(optopt)
                                 : std::string(args[static_cast<size_t>(optind) - 1]);
      if (const size_t equals = typed.find('='); equals != std::string::npos) typed.resize(equals);
      std::vector<std::string> names;
      names.reserve(rows.size());
      for (const Option* row : rows) names.emplace_back(row->name);
      return mistake("unknown option '" + typed + "' of " + c->name + nearest(typed, names), c);
    }
    if (o == &kHelpOption) {
      std::fputs(command_help(*c).c_str(), stdout);
      return 0;
    }
    given.emplace_back(o, optarg != nullptr && o->value != nullptr ? optarg : "");
  }
  for (int i = optind; i < count; ++i) in.operands.emplace_back(args[static_cast<size_t>(i)]);
  if (in.operands.size() < c->least_operands || in.operands.size() > c->most_operands) {
    return mistake(
        std::string(c->name) + " takes " + (*c->operands != '\0' ? c->operands : "no operands"), c);
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
