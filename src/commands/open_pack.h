// What every command that writes a pack does first.
#ifndef RADODARO_COMMANDS_OPEN_PACK_H_
#define RADODARO_COMMANDS_OPEN_PACK_H_

#include <cstdint>
#include <string>
#include <vector>

#include "pak/pack_update.h"
#include "platform/files.h"

namespace radodaro {

// Opens the pack for writing through `update` and reads its header and
// directory into `*dir_image`; on failure prints why ("Can't create data
// file", "Bad data file") and returns false.
bool open_pack_for_writing(platform::Env& env, PackUpdate* update, const std::string& pak_path,
                           std::vector<uint8_t>* dir_image);

}  // namespace radodaro

#endif  // RADODARO_COMMANDS_OPEN_PACK_H_
