#include "cli/tool.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "cli/command_table.h"
#include "cli/drop.h"
#include "cli/tool_state.h"
#include "commands/expand.h"
#include "commands/group.h"
#include "commands/open_pack.h"
#include "commands/output.h"
#include "pak/entry_pipeline.h"
#include "pak/member_record.h"
#include "pak/pack_reader.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace radodaro {

const char kUsageText[] =
    "Usage: radodaro.exe [option] pak_file extract_path\nOption:\n/e - expand files\n/p - group "
    "files\n";

namespace {

Mode parse_mode(std::string option) {
  for (char& c : option) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  if (option == "/E") return Mode::kExpand;
  if (option == "/P") return Mode::kGroup;
  return Mode::kNone;
}

}  // namespace

namespace {

// What is at `path`, as a drop needs to know it.
DroppedPath look_at(platform::Env& env, const std::string& path) {
  DroppedPath what;
  platform::Handle folder;
  if (env.open_folder(path, &folder) == platform::Error::kOk) {
    what.kind = DroppedPath::Kind::kFolder;
    MemberRecord record;
    std::string why;
    if (read_record(env, folder, &record, &why) == RecordRead::kRead)
      what.record_pack = record.pack;
    return what;
  }
  platform::Handle parent;
  if (env.open_folder(platform::folder_of(path), &parent) == platform::Error::kOk &&
      env.regular_file_at(parent, platform::name_of(path)) == platform::Error::kOk) {
    what.kind = DroppedPath::Kind::kFile;
  }
  return what;
}

// A path dropped on the program in Explorer: the command it calls for.
int run_drop(platform::Env& env, const char* argument) {
  const std::string path = platform::full_path(argument);
  const DropPlan plan = plan_drop(true, path, platform::real_path(path), look_at(env, path),
                                  look_at(env, folder_for_pack(path)));
  if (plan.action == DropPlan::Action::kRefuse) {
    complain("%s", plan.why.c_str());
    return -1;
  }
  std::vector<const char*> args = {"radodaro"};
  for (const std::string& a : plan.command) args.push_back(a.c_str());
  std::printf("radodaro %s %s %s\n", plan.command[0].c_str(),
              plan.command[plan.command.size() - 2].c_str(), plan.command.back().c_str());
  const int status = run_command(env, static_cast<int>(args.size()), args.data());
  std::printf(status == 0 ? "Done.\n" : "Not done: see above.\n");
  return status;
}

}  // namespace

int run_tool(int argc, const char* const* argv) {
  platform::Env& env = platform::Env::system();
  if (argc >= 2 && std::strncmp(argv[1], "--", 2) == 0) return run_command(env, argc, argv);
  // Explorer gives a dropped file's whole path; an option (-h, /?) keeps
  // the usage text, wherever the program runs.
  if (argc == 2 && argv[1][0] != '-' && argv[1][0] != '/' && platform::console_of_our_own()) {
    return run_drop(env, argv[1]);
  }
  if (argc != 4) {
    std::fputs(kUsageText, stdout);
    return -1;
  }
  ToolState state;
  state.mode = parse_mode(argv[1]);
  state.folder_path = platform::full_folder_path(argv[3]);
  state.pak_path = platform::full_path(argv[2]);

  switch (state.mode) {
    case Mode::kNone:
      std::fputs(kUsageText, stdout);
      return -1;
    case Mode::kExpand:
      platform::handle_interruptions();
      if (!map_pak_file(env, state.pak_path, &state.pak_view)) return -1;
      run_expand(env, state.pak_view, state.folder_path, default_workers());
      return 0;
    case Mode::kGroup:
      platform::handle_interruptions();
      return run_group(env, state.pak_path, state.folder_path) ? 0 : -1;
  }
  return -1;
}

}  // namespace radodaro
