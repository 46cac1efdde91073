#include "group/group.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>

#include "pak/checksums.h"
#include "pak/pack_update.h"
#include "platform/process.h"

namespace radodaro {

namespace {

// Member files are mapped a window at a time, so memory stays flat however
// large they are, and their bytes are checksummed and appended in pieces
// small enough to stay in the cache between the two passes. Mapping spares
// the copy that reading into a buffer would make.
constexpr uint64_t kWindow = uint64_t{1} << 20;
constexpr uint64_t kPiece = uint64_t{256} << 10;
static_assert(kWindow % platform::kWindowAlign == 0);

bool absent(platform::Error e) {
  return e == platform::Error::kNotFound || e == platform::Error::kNotRegular;
}

}  // namespace

GroupResult group_entry(platform::Env& env, const platform::Handle& folder, const std::string& name,
                        const platform::Handle& pack, uint64_t* pak_end, PakEntry* entry) {
  platform::Handle member;
  uint64_t length = 0;
  // Only nothing there, or something that is not a file, counts as absent:
  // a member that is there but cannot be read is an edit that would be
  // lost without a word.
  if (const platform::Error e = env.open_for_read(folder, name, &member, &length);
      e != platform::Error::kOk) {
    return absent(e) ? GroupResult::kAbsent : GroupResult::kFailed;
  }
  if (length >= kPackLimit || *pak_end + length >= kPackLimit) return GroupResult::kFailed;

  Sum32 sum;
  for (uint64_t done = 0; done < length;) {
    const uint64_t window_size = std::min(length - done, kWindow);
    const uint8_t* window = env.map_window(member, done, window_size);
    if (window == nullptr) return GroupResult::kFailed;
    bool ok = true;
    for (uint64_t at = 0; ok && at < window_size; at += kPiece) {
      const uint64_t n = std::min(window_size - at, kPiece);
      // A member file cut short by someone else shows here, or fails the
      // write, instead of stopping the run.
      ok = platform::read_mapped(window + at, n, [&] { sum.update(window + at, n); }) &&
           env.write_at(pack, window + at, n, *pak_end + done + at) == platform::Error::kOk;
    }
    env.unmap_window(window, window_size);
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

bool run_group(platform::Env& env, const std::string& pak_path, const std::string& folder_path) {
  PackUpdate update(env, pak_path);
  if (update.open() != PackUpdate::Open::kOk) {
    std::printf("Can't create data file %s\n", pak_path.c_str());
    return false;
  }
  const uint64_t original_size = update.original_size();

  // Header and directory must lie inside the file before they are read.
  uint8_t header_bytes[kHeaderSize];
  uint64_t got = 0;
  if (original_size < kHeaderSize ||
      env.read_at(update.file(), header_bytes, kHeaderSize, 0, &got) != platform::Error::kOk ||
      got != kHeaderSize) {
    std::printf("Bad data file %s\n", pak_path.c_str());
    return false;
  }
  PakHeader header = decode_header(header_bytes);
  const uint64_t image_size = directory_end(header.entry_count);
  if (image_size > original_size) {
    std::printf("Bad data file %s\n", pak_path.c_str());
    return false;
  }
  // The one copy of the directory in memory; the journal keeps the old one.
  const std::unique_ptr<uint8_t[]> dir_image(new (std::nothrow) uint8_t[image_size]);
  if (!dir_image) {
    std::printf("Can't create data file %s\n", pak_path.c_str());
    return false;
  }
  if (env.read_at(update.file(), dir_image.get(), image_size, 0, &got) != platform::Error::kOk ||
      got != image_size) {
    std::printf("Bad data file %s\n", pak_path.c_str());
    return false;
  }

  // The folder is opened once, so that it cannot be swapped for another
  // halfway through the run.
  platform::Handle folder;
  const platform::Error folder_error = env.open_folder(folder_path, &folder);

  std::fputs("Packing...\n", stdout);
  uint64_t pak_end = original_size;
  for (uint32_t i = 0; i < header.entry_count; ++i) {
    uint8_t* record = dir_image.get() + entry_position(i);
    PakEntry entry = decode_entry(record);
    if (entry.kind == kKindSkipped) continue;
    const std::string name = member_name(i);
    const GroupResult result = folder.is_open()
                                   ? group_entry(env, folder, name, update.file(), &pak_end, &entry)
                               : absent(folder_error) ? GroupResult::kAbsent
                                                      : GroupResult::kFailed;
    switch (result) {
      case GroupResult::kAbsent:
        continue;
      case GroupResult::kAppended:
        encode_entry(entry, record);
        std::printf("%s%s\n", folder_path.c_str(), name.c_str());
        continue;
      case GroupResult::kFailed:
        std::printf("Can't group file %s%s\n", folder_path.c_str(), name.c_str());
        return false;
    }
  }

  // The lines must reach their reader before the pack changes: a run whose
  // log is lost reports failure, and then the pack must be as it was.
  if (!platform::flush_output()) return false;

  header.dir_crc = Crc32().crc32(dir_image.get() + kHeaderSize, image_size - kHeaderSize);
  encode_header(header, dir_image.get());
  if (!update.commit(dir_image.get(), image_size, pak_end)) {
    std::printf("Can't write data file %s\n", pak_path.c_str());
    return false;
  }
  if (update.close() != platform::Error::kOk) {
    std::fprintf(stderr,
                 "radodaro: warning: closing %s failed after its new directory was made durable\n",
                 pak_path.c_str());
  }
  return true;
}

}  // namespace radodaro
