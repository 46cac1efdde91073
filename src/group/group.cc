#include "group/group.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "pak/checksums.h"
#include "platform/files.h"
#include "platform/signals.h"

namespace radodaro {

namespace {

// Member files are mapped a window at a time, so memory stays flat however
// large they are, and their bytes are checksummed and appended in pieces
// small enough to stay in the cache between the two passes. Mapping spares
// the copy that reading into a buffer would make.
constexpr uint64_t kWindow = uint64_t{1} << 20;
constexpr uint64_t kPiece = uint64_t{256} << 10;
static_assert(kWindow % platform::kWindowAlign == 0);

// Puts the pack back as it was before the run, as far as the file lets us:
// the old header and directory if they may have been overwritten, and the
// old length.
void roll_back(int pak_fd, const std::vector<uint8_t>* original_image, uint64_t original_size) {
  if (original_image != nullptr) {
    (void)platform::pwrite_all(pak_fd, original_image->data(), original_image->size(), 0);
  }
  (void)platform::truncate_file(pak_fd, original_size);
  (void)platform::sync_file(pak_fd);
  platform::clear_pack_rollback();
}

}  // namespace

GroupResult group_entry(const std::string& path, int pak_fd, uint64_t* pak_end, PakEntry* entry) {
  platform::UniqueFd member;
  uint64_t length = 0;
  if (!platform::open_regular_for_read(path, &member, &length)) return GroupResult::kAbsent;
  if (length >= kPackLimit || *pak_end + length >= kPackLimit) return GroupResult::kFailed;

  Sum32 sum;
  for (uint64_t done = 0; done < length;) {
    const uint64_t window_size = std::min(length - done, kWindow);
    const uint8_t* window = platform::map_window(member.get(), done, window_size);
    if (window == nullptr) return GroupResult::kFailed;
    bool ok = true;
    for (uint64_t at = 0; ok && at < window_size; at += kPiece) {
      const uint64_t n = std::min(window_size - at, kPiece);
      // A member file cut short by someone else faults here, or fails the
      // write, instead of stopping the run.
      ok = platform::guard_mapped_reads([&] { sum.update(window + at, n); }) &&
           platform::pwrite_all(pak_fd, window + at, n, *pak_end + done + at);
    }
    platform::unmap_window(window, window_size);
    if (!ok) return GroupResult::kFailed;
    done += window_size;
  }

  entry->kind = kKindStored;
  entry->unpacked_size = static_cast<uint32_t>(length);
  entry->packed_size = static_cast<uint32_t>(length);
  entry->offset = static_cast<uint32_t>(*pak_end);
  entry->crc2 = sum.value();
  *pak_end += length;
  return GroupResult::kAppended;
}

bool run_group(const std::string& pak_path, const std::string& folder_path) {
  platform::UniqueFd pak;
  uint64_t original_size = 0;
  if (!platform::open_locked_for_update(pak_path, &pak, &original_size)) {
    std::printf("Can't create data file %s\n", pak_path.c_str());
    return false;
  }

  // Header and directory must lie inside the file before they are read.
  uint8_t header_bytes[kHeaderSize];
  if (original_size < kHeaderSize || platform::pread_full(pak.get(), header_bytes, kHeaderSize,
                                                          0) != static_cast<int64_t>(kHeaderSize)) {
    std::printf("Bad data file %s\n", pak_path.c_str());
    return false;
  }
  PakHeader header = decode_header(header_bytes);
  const uint64_t image_size = directory_end(header.entry_count);
  if (image_size > original_size) {
    std::printf("Bad data file %s\n", pak_path.c_str());
    return false;
  }
  // The original stays beside the working image, to put back should the
  // final write fail.
  std::vector<uint8_t> original_image(image_size);
  if (platform::pread_full(pak.get(), original_image.data(), image_size, 0) !=
      static_cast<int64_t>(image_size)) {
    std::printf("Bad data file %s\n", pak_path.c_str());
    return false;
  }
  std::vector<uint8_t> dir_image = original_image;

  std::fputs("Packing...\n", stdout);
  // Until the directory is rewritten, the pack's old contents stand; an
  // interruption only has to cut off what was appended.
  platform::set_pack_rollback(pak.get(), original_size);
  uint64_t pak_end = original_size;
  for (uint32_t i = 0; i < header.entry_count; ++i) {
    uint8_t* record = dir_image.data() + entry_position(i);
    PakEntry entry = decode_entry(record);
    if (entry.kind == kKindSkipped) continue;
    const std::string path = member_path(folder_path, i);
    switch (group_entry(path, pak.get(), &pak_end, &entry)) {
      case GroupResult::kAbsent:
        continue;
      case GroupResult::kAppended:
        encode_entry(entry, record);
        std::printf("%s\n", path.c_str());
        continue;
      case GroupResult::kFailed:
        std::printf("Can't group file %s\n", path.c_str());
        roll_back(pak.get(), nullptr, original_size);
        return false;
    }
  }

  // The appended data must be on disk before a directory points at it: a
  // crash in between then leaves the old directory over intact old data.
  if (pak_end != original_size && !platform::sync_file(pak.get())) {
    std::printf("Can't write data file %s\n", pak_path.c_str());
    roll_back(pak.get(), nullptr, original_size);
    return false;
  }

  // From here an interruption must also put the old directory back.
  platform::set_pack_rollback(pak.get(), original_size, original_image.data(), image_size);
  header.dir_crc = Crc32().crc32(dir_image.data() + kHeaderSize, image_size - kHeaderSize);
  encode_header(header, dir_image.data());
  if (!platform::pwrite_all(pak.get(), dir_image.data(), image_size, 0) ||
      !platform::sync_file(pak.get())) {
    std::printf("Can't write data file %s\n", pak_path.c_str());
    roll_back(pak.get(), &original_image, original_size);
    return false;
  }
  platform::clear_pack_rollback();
  if (!platform::close_checked(&pak)) {
    std::printf("Can't write data file %s\n", pak_path.c_str());
    return false;
  }
  return true;
}

}  // namespace radodaro
