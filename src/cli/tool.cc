#include "cli/tool.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "cli/tool_state.h"
#include "expand/expand.h"
#include "expand/pack_report.h"
#include "group/group.h"
#include "pak/compact.h"
#include "pak/pak_open.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace radodaro {

const char kUsageText[] =
    "Usage: radodaro.exe [option] pak_file extract_path\nOption:\n/e - expand files\n/p - group "
    "files\n";

const char kCommandsText[] =
    "Commands:\n"
    "--list PACK            list the entries without reading their data\n"
    "--verify PACK          check every entry and the directory; writes nothing\n"
    "--update PACK FOLDER   group only the member files that changed\n"
    "--compact PACK         give back the space that no entry refers to\n"
    "--help                 this text\n"
    "--version              the version\n"
    "More in radodaro(1): man radodaro\n";

namespace {

// The commands behind a first argument that begins with "--", which the
// original rules take for a bad option: no invocation of those changes.
int run_command(platform::Env& env, int argc, const char* const* argv) {
  const std::string command = argv[1];
  const int operands = argc - 2;
  if (command == "--help" && operands == 0) {
    std::fputs(kUsageText, stdout);
    std::fputs(kCommandsText, stdout);
    return 0;
  }
  if (command == "--version" && operands == 0) {
    std::printf("radodaro %s\n", RADODARO_VERSION);
    return 0;
  }
  if (command == "--list" && operands == 1) {
    platform::handle_interruptions();
    return run_list(env, platform::full_path(argv[2]));
  }
  if (command == "--verify" && operands == 1) {
    platform::handle_interruptions();
    return run_verify(env, platform::full_path(argv[2]));
  }
  if (command == "--update" && operands == 2) {
    const std::string folder = platform::full_folder_path(argv[3]);
    const std::string pak = platform::full_path(argv[2]);
    platform::handle_interruptions();
    return run_group(env, pak, folder, GroupMode::kOnlyChanged) ? 0 : -1;
  }
  if (command == "--compact" && operands == 1) {
    const std::string pak = platform::full_path(argv[2]);
    platform::handle_interruptions();
    return run_compact(env, pak) ? 0 : -1;
  }
  std::fputs(kUsageText, stdout);
  return -1;
}

Mode parse_mode(std::string option) {
  for (char& c : option) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  if (option == "/E") return Mode::kExpand;
  if (option == "/P") return Mode::kGroup;
  return Mode::kNone;
}

}  // namespace

int run_tool(int argc, const char* const* argv) {
  platform::Env& env = platform::Env::system();
  if (argc >= 2 && std::strncmp(argv[1], "--", 2) == 0) return run_command(env, argc, argv);
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
      if (!map_pak_file(env, state.pak_path, &state.pak_view, &state.dir_image)) return -1;
      run_expand(env, state.pak_view, state.dir_image, state.folder_path);
      return 0;
    case Mode::kGroup:
      platform::handle_interruptions();
      return run_group(env, state.pak_path, state.folder_path) ? 0 : -1;
  }
  return -1;
}

}  // namespace radodaro
