#include "pak/pak_open.h"

#include <cstdio>

#include "pak/checksums.h"
#include "pak/pak_format.h"

namespace radodaro {

bool map_pak_file(const std::string& pak_path, platform::MappedView* view) {
  switch (platform::map_file_shared(pak_path, view)) {
    case platform::MapStatus::kOk:
      break;
    case platform::MapStatus::kCantOpen:
      std::printf("Can't open dir file %s\n", pak_path.c_str());
      return false;
    case platform::MapStatus::kEmpty:
      std::printf("Bad dir file %s\n", pak_path.c_str());
      return false;
  }
  // Nothing is read outside the file: the header and the whole directory
  // must fit before a byte of either is looked at.
  if (view->size < kHeaderSize ||
      directory_end(decode_header(view->data).entry_count) > view->size) {
    platform::release_view(view);
    std::printf("Bad dir file %s\n", pak_path.c_str());
    return false;
  }
  const PakHeader header = decode_header(view->data);
  platform::advise_sequential(view->data, view->size);
  std::printf("Dir CRC=%08X, SUMM=%08X\n", header.dir_crc,
              sum32(view->data + kHeaderSize, kEntrySize * header.entry_count));
  return true;
}

}  // namespace radodaro
