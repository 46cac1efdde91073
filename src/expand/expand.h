#ifndef RADODARO_EXPAND_EXPAND_H_
#define RADODARO_EXPAND_EXPAND_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "pak/pak_format.h"
#include "platform/files.h"

namespace radodaro {

// The buffer that lzo1x entries are decompressed into. It is reused from
// one entry to the next, but each entry sees exactly its unpacked_size bytes
// and every byte that its stream did not produce reads as zero.
class DecodeBuffer {
 public:
  DecodeBuffer() = default;
  DecodeBuffer(const DecodeBuffer&) = delete;
  DecodeBuffer& operator=(const DecodeBuffer&) = delete;
  ~DecodeBuffer();

  // A zero-filled region of `size` bytes, or nullptr when no memory is left.
  uint8_t* acquire(uint64_t size);
  // Records that the decoder produced `produced` bytes of the `size` asked
  // for; the rest is zeroed.
  void settle(uint64_t produced, uint64_t size);

 private:
  uint8_t* data_ = nullptr;
  uint64_t capacity_ = 0;
  uint64_t dirty_ = 0;  // bytes from the start that may be other than zero
};

// Writes every entry of the pack in `view` that is not skipped to its
// member file under `folder_path`, printing the lines of each. `view` must
// hold the whole directory.
void run_expand(const platform::MappedView& view, const std::string& folder_path);

// Expands one entry into a new member file at the absolute `path`, created
// in `folder_fd` (the folder that `path` names, held open) or, with
// platform::kNoFolder, by `path` itself. Per-entry trouble is printed;
// nothing is returned.
void expand_entry(const std::string& path, const PakEntry& entry, const platform::MappedView& view,
                  DecodeBuffer* buffer, int folder_fd = platform::kNoFolder);

}  // namespace radodaro

#endif  // RADODARO_EXPAND_EXPAND_H_
