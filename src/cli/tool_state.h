#ifndef RADODARO_CLI_TOOL_STATE_H_
#define RADODARO_CLI_TOOL_STATE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/files.h"

namespace radodaro {

enum class Mode { kNone, kExpand, kGroup };

// The run-wide state: one instance, alive from start to exit.
struct ToolState {
  Mode mode = Mode::kNone;
  std::string pak_path;            // absolute
  std::string folder_path;         // absolute, always ending with the separator
  platform::MappedView pak_view;   // expand mode; never released before exit
  std::vector<uint8_t> dir_image;  // expand mode: the header and directory, copied
};

}  // namespace radodaro

#endif  // RADODARO_CLI_TOOL_STATE_H_
