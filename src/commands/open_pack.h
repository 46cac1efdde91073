// What every command that writes a pack does first.
#ifndef RADODARO_COMMANDS_OPEN_PACK_H_
#define RADODARO_COMMANDS_OPEN_PACK_H_

#include <cstdint>
#include <string>
#include <vector>

#include "pak/pack_notice.h"
#include "pak/pack_reader.h"
#include "pak/pack_update.h"
#include "platform/files.h"

namespace radodaro {

// Who says why a pack cannot be opened: /p, in its own words on stdout,
// or a "--" command, on stderr with the system's reason.
enum class Voice { kGroup, kCommand };

// Opens the pack for writing through `update` and reads its header and
// directory into `*dir_image`; on failure says why (/p: "Can't create data
// file", "Bad data file") and returns false.
bool open_pack_for_writing(platform::Env& env, PackUpdate* update, const std::string& pak_path,
                           std::vector<uint8_t>* dir_image, Voice voice);

// Opens the pack to read it, as open_pack() of the pack reader does; on
// failure prints why ("Can't open dir file", "Bad dir file") and returns
// false, holding nothing. What the journal has to tell goes to stderr.
bool open_pack(platform::Env& env, const std::string& pak_path, PackView* pack);

// The same, then prints the directory line: /e's first step.
bool map_pak_file(platform::Env& env, const std::string& pak_path, PackView* pack);

// Says on stderr what the pack layer has to tell.
void say(const PackNotice& notice);

}  // namespace radodaro

#endif  // RADODARO_COMMANDS_OPEN_PACK_H_
