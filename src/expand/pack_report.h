// Looking into a pack without writing anything: the listing of its
// directory and the check of every entry.
#ifndef RADODARO_EXPAND_PACK_REPORT_H_
#define RADODARO_EXPAND_PACK_REPORT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "pak/pak_format.h"
#include "platform/files.h"

namespace radodaro {

// How the pack's bytes are used: by its header and directory, by the data
// of its entries (data that entries share counts once), or by nothing.
struct PackUse {
  uint64_t file_size = 0;
  uint64_t referenced = 0;    // data bytes that entries refer to, past the directory
  uint64_t unreferenced = 0;  // what compaction gives back
};

// `dir_image` is the header and directory of a pack of `file_size` bytes.
PackUse pack_use(const std::vector<uint8_t>& dir_image, uint64_t file_size);

// --list PACK: prints the directory and a summary; 0, or -1 when the pack
// cannot be opened (with the expand messages).
int run_list(platform::Env& env, const std::string& pak_path);

// --verify PACK: prints a line for each problem and a summary; 0 when there
// is none, 1 when there are some, -1 when the pack cannot be opened.
int run_verify(platform::Env& env, const std::string& pak_path);

}  // namespace radodaro

#endif  // RADODARO_EXPAND_PACK_REPORT_H_
