#ifndef RADODARO_PAK_PAK_OPEN_H_
#define RADODARO_PAK_PAK_OPEN_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/files.h"

namespace radodaro {

// Opens and maps the pack at `pak_path` for expansion, after putting it
// back from a journal that an unfinished group run left, copies its header
// and directory into `*dir_image`, and prints the directory line. The copy
// is what expansion reads entries from: the pack may be cut short by
// another process later, but the copy was whole. On failure prints why
// ("Can't open dir file", "Bad dir file") and returns false, holding
// nothing.
bool map_pak_file(platform::Env& env, const std::string& pak_path, platform::MappedView* view,
                  std::vector<uint8_t>* dir_image);

// The same without the directory line, for the commands that read a pack
// without expanding it.
bool open_pak_file(platform::Env& env, const std::string& pak_path, platform::MappedView* view,
                   std::vector<uint8_t>* dir_image);

}  // namespace radodaro

#endif  // RADODARO_PAK_PAK_OPEN_H_
