// A new pack, written as a file of its own: it appears under its name only
// once whole and durable, and an interrupted run leaves nothing under it.
#ifndef RADODARO_PAK_PACK_WRITER_H_
#define RADODARO_PAK_PACK_WRITER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "pak/pak_format.h"
#include "platform/files.h"

namespace radodaro {

class PackWriter {
 public:
  // A pack of `entry_count` entries, every one skipped until set, with
  // `lead_bytes` (8 of them) and `after_directory` (a patch's binding)
  // between its directory and its data.
  PackWriter(platform::Env& env, const platform::Handle& folder, const std::string& name,
             const uint8_t* lead_bytes, uint32_t entry_count,
             std::vector<uint8_t> after_directory = {});

  platform::Error create();
  // For writes of data at end(), which then moves past them.
  const platform::Handle& file() const { return file_.handle(); }
  uint64_t* end() { return &end_; }

  // Appends the `length` bytes at `data` (mapped from another pack: one
  // cut short meanwhile fails the call) and points `entry` at them. False
  // when they could not be written, or would take the pack to 2 GiB.
  bool append(const uint8_t* data, uint64_t length, PakEntry* entry);
  void set(uint32_t index, const PakEntry& entry);
  const std::vector<uint8_t>& image() const { return image_; }

  // Writes the header (its dir_crc too) and directory, and makes the file
  // durable.
  platform::Error finish();
  // Names it: never over anything there (kExists), or with `replacing`,
  // over a regular file only (kNotRegular).
  platform::Error name(bool replacing);
  // Then makes the name durable.
  platform::Error sync_name() { return env_.sync_folder(folder_); }

 private:
  platform::Env& env_;
  const platform::Handle& folder_;
  platform::NewFile file_;
  std::vector<uint8_t> image_;
  std::vector<uint8_t> after_directory_;
  uint64_t end_;
};

}  // namespace radodaro

#endif  // RADODARO_PAK_PACK_WRITER_H_
