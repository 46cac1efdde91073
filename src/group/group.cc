#include "group/group.h"

#include <lzo1x.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
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

// Whether the `length` bytes of `member` are the `length` mapped bytes at
// `expected`, compared a window at a time; false also when either cannot
// be read whole.
bool member_holds(platform::Env& env, const platform::Handle& member, uint64_t length,
                  const uint8_t* expected) {
  for (uint64_t done = 0; done < length;) {
    const uint64_t n = std::min(length - done, kWindow);
    const uint8_t* window = env.map_window(member, done, n);
    if (window == nullptr) return false;
    bool same = false;
    const bool read = platform::read_mapped(window, n, expected + done, n, [&] {
      same = std::memcmp(window, expected + done, n) == 0;
    });
    env.unmap_window(window, n);
    if (!read || !same) return false;
    done += n;
  }
  return true;
}

// Whether `member` holds what `entry` holds now: the bytes that expansion
// would write for it.
bool holds_the_same(platform::Env& env, const platform::Handle& member, uint64_t length,
                    const PakEntry& entry, const SameCheck& same) {
  if (length != entry.unpacked_size || same.pack_data == nullptr) return false;
  const uint8_t* data = same.pack_data + entry.offset;
  if (entry.kind != kKindLzo1x) {
    return range_in_file(entry.offset, length, same.pack_size) &&
           member_holds(env, member, length, data);
  }
  if (!range_in_file(entry.offset, entry.packed_size, same.pack_size) ||
      !same.buffer->codec_ready()) {
    return false;
  }
  uint8_t* out = same.buffer->acquire(length);
  if (out == nullptr) return false;
  lzo_uint produced = length;
  int result = LZO_E_ERROR;
  const bool read = platform::read_mapped(data, entry.packed_size, [&] {
    result = lzo1x_decompress_safe(data, entry.packed_size, out, &produced, nullptr);
  });
  same.buffer->settle(read ? produced : 0, length);
  // Only a stream that decodes cleanly says what the entry holds.
  if (!read || result != LZO_E_OK || produced != length) return false;
  return member_holds(env, member, length, out);
}

}  // namespace

GroupResult group_entry(platform::Env& env, const platform::Handle& folder, const std::string& name,
                        const platform::Handle& pack, uint64_t* pak_end, PakEntry* entry,
                        const SameCheck* same) {
  platform::Handle member;
  uint64_t length = 0;
  // Only nothing there, or something that is not a file, counts as absent:
  // a member that is there but cannot be read is an edit that would be
  // lost without a word.
  if (const platform::Error e = env.open_for_read(folder, name, &member, &length);
      e != platform::Error::kOk) {
    return absent(e) ? GroupResult::kAbsent : GroupResult::kFailed;
  }
  if (same != nullptr && holds_the_same(env, member, length, *entry, *same)) {
    return GroupResult::kUnchanged;
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

bool run_group(platform::Env& env, const std::string& pak_path, const std::string& folder_path,
               GroupMode mode) {
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

  // --update compares members with the pack as it was, mapped: the run
  // holds it, and appends only past its old end.
  DecodeBuffer buffer;
  SameCheck same{original_size, nullptr, &buffer};
  const SameCheck* check = nullptr;
  if (mode == GroupMode::kOnlyChanged) {
    same.pack_data = env.map_window(update.file(), 0, original_size);
    check = &same;
  }
  struct Unmap {
    platform::Env& env;
    const SameCheck& same;
    ~Unmap() {
      if (same.pack_data != nullptr) env.unmap_window(same.pack_data, same.pack_size);
    }
  } unmap{env, same};

  std::fputs("Packing...\n", stdout);
  uint64_t pak_end = original_size;
  uint32_t appended = 0;
  for (uint32_t i = 0; i < header.entry_count; ++i) {
    uint8_t* record = dir_image.get() + entry_position(i);
    PakEntry entry = decode_entry(record);
    if (entry.kind == kKindSkipped) continue;
    const std::string name = member_name(i);
    const GroupResult result =
        folder.is_open() ? group_entry(env, folder, name, update.file(), &pak_end, &entry, check)
        : absent(folder_error) ? GroupResult::kAbsent
                               : GroupResult::kFailed;
    switch (result) {
      case GroupResult::kAbsent:
      case GroupResult::kUnchanged:
        continue;
      case GroupResult::kAppended:
        ++appended;
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
  if (check != nullptr && appended == 0) {
    update.leave_untouched();
    return true;
  }

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
