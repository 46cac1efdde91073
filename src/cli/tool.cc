#include "cli/tool.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "cli/command_table.h"
#include "cli/tool_state.h"
#include "commands/expand.h"
#include "commands/group.h"
#include "commands/open_pack.h"
#include "pak/entry_pipeline.h"
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
