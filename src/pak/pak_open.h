#ifndef RADODARO_PAK_PAK_OPEN_H_
#define RADODARO_PAK_PAK_OPEN_H_

#include <string>

#include "platform/files.h"

namespace radodaro {

// Opens and maps the pack at `pak_path` for expansion and prints its
// directory line. On success `*view` holds the whole file, with its header
// and directory known to lie inside it. On failure prints why ("Can't open
// dir file", "Bad dir file") and returns false, holding nothing.
bool map_pak_file(const std::string& pak_path, platform::MappedView* view);

}  // namespace radodaro

#endif  // RADODARO_PAK_PAK_OPEN_H_
