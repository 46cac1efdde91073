#ifndef RADODARO_EXPAND_EXPAND_H_
#define RADODARO_EXPAND_EXPAND_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "pak/pak_format.h"
#include "platform/files.h"

namespace radodaro {

// Whether the LZO library is ready to decode; it is made ready on the
// first call.
bool lzo1x_ready();

// The buffer that lzo1x entries are decompressed into. It is reused from
// one entry to the next, but each entry sees exactly its unpacked_size bytes
// and every byte that its stream did not produce reads as zero.
class DecodeBuffer {
 public:
  // `codec_ready` false makes every lzo1x entry a decoding error.
  explicit DecodeBuffer(bool codec_ready = lzo1x_ready()) : codec_ready_(codec_ready) {}
  DecodeBuffer(const DecodeBuffer&) = delete;
  DecodeBuffer& operator=(const DecodeBuffer&) = delete;
  ~DecodeBuffer();

  bool codec_ready() const { return codec_ready_; }
  // A zero-filled region of `size` bytes, or nullptr when no memory is left.
  uint8_t* acquire(uint64_t size);
  // Records that the decoder produced `produced` bytes of the `size` asked
  // for; the rest is zeroed.
  void settle(uint64_t produced, uint64_t size);

 private:
  bool codec_ready_;
  uint8_t* data_ = nullptr;
  uint64_t capacity_ = 0;
  uint64_t dirty_ = 0;  // bytes from the start that may be other than zero
};

// The folder that member files go to, and the names that were in it when
// the run began: one listing spares a look-up per member. A name that
// appears later is still never written over.
struct OutputFolder {
  platform::Handle handle;
  bool listed = false;  // `names` holds everything that was there
  std::unordered_set<std::string> names;

  // Opens the folder at `path` and lists it.
  void open(platform::Env& env, const std::string& path);
  // Whether anything is at `name`: kOk, kNotFound, or why it cannot be told.
  platform::Error look_up(platform::Env& env, const std::string& name) const;
};

// Writes every entry of the pack in `view` that is not skipped to its
// member file under `folder_path`, printing the lines of each. Entries are
// read from `dir_image`, the pack's header and directory as map_pak_file()
// copied them.
void run_expand(platform::Env& env, const platform::MappedView& view,
                const std::vector<uint8_t>& dir_image, const std::string& folder_path);

// Expands one entry into a new member file `name` in `folder`, whose whole
// path, for messages, is `path`. The file appears under its name only once
// it is whole. Per-entry trouble is printed; nothing is returned.
void expand_entry(platform::Env& env, const OutputFolder& folder, const std::string& name,
                  const std::string& path, const PakEntry& entry, const platform::MappedView& view,
                  DecodeBuffer* buffer);

}  // namespace radodaro

#endif  // RADODARO_EXPAND_EXPAND_H_
