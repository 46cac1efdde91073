#include "commands/open_pack.h"

#include <cstdio>

#include "pak/pack_reader.h"

namespace radodaro {

bool open_pack_for_writing(platform::Env& env, PackUpdate* update, const std::string& pak_path,
                           std::vector<uint8_t>* dir_image) {
  if (update->open() != PackUpdate::Open::kOk) {
    std::printf("Can't create data file %s\n", pak_path.c_str());
    return false;
  }
  switch (read_directory(env, update->file(), update->original_size(), dir_image)) {
    case DirectoryRead::kOk:
      return true;
    case DirectoryRead::kBad:
      std::printf("Bad data file %s\n", pak_path.c_str());
      return false;
    case DirectoryRead::kNoMemory:
      std::printf("Can't create data file %s\n", pak_path.c_str());
      return false;
  }
  return false;
}

}  // namespace radodaro
