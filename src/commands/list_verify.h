// --list and --verify: looking into a pack without writing anything.
#ifndef RADODARO_COMMANDS_LIST_VERIFY_H_
#define RADODARO_COMMANDS_LIST_VERIFY_H_

#include <cstdint>
#include <string>

#include "platform/files.h"

namespace radodaro {

// --list PACK: prints the directory and a summary, in which "unreferenced"
// is what --compact would give back; 0, or -1 when the pack cannot be
// opened (with the expand messages).
int run_list(platform::Env& env, const std::string& pak_path);

// --verify PACK: prints a line for each problem and a summary; 0 when there
// is none, 1 when there are some, -1 when the pack cannot be opened.
int run_verify(platform::Env& env, const std::string& pak_path, uint32_t workers = 1);

}  // namespace radodaro

#endif  // RADODARO_COMMANDS_LIST_VERIFY_H_
