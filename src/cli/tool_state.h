#ifndef RADODARO_CLI_TOOL_STATE_H_
#define RADODARO_CLI_TOOL_STATE_H_

#include <string>

#include "pak/pack_reader.h"

namespace radodaro {

enum class Mode { kNone, kExpand, kGroup };

// The run-wide state: one instance, alive from start to exit.
struct ToolState {
  Mode mode = Mode::kNone;
  std::string pak_path;     // absolute
  std::string folder_path;  // absolute, always ending with the separator
  PackView pak_view;  // expand mode: the mapping and the directory; never released before exit
};

}  // namespace radodaro

#endif  // RADODARO_CLI_TOOL_STATE_H_
