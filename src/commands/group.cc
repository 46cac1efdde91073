#include "commands/group.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "commands/open_pack.h"
#include "pak/checksums.h"
#include "pak/pack_reader.h"
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

// Whether `member` holds what /e writes for `entry`: then /e followed by
// --update with nothing edited never writes the pack.
bool holds_the_same(platform::Env& env, const platform::Handle& member, uint64_t length,
                    const PakEntry& entry, const UpdateContext& same) {
  if (length != entry.unpacked_size || same.pack_data == nullptr ||
      !range_in_file(entry.offset, read_extent(entry), same.pack_size)) {
    return false;
  }
  const uint8_t* data = same.pack_data + entry.offset;
  if (entry.kind != kKindLzo1x) return member_holds(env, member, length, data);
  const Decoded d = decode_lzo1x(entry, data, same.buffer);
  return d.data != nullptr && d.read && member_holds(env, member, length, d.data);
}

// Appends the `length` bytes of `member` to `pack` at `*pack_end` as one
// lzo1x stream, and points the lzo1x `entry` at it.
GroupResult append_lzo1x(platform::Env& env, const platform::Handle& member, uint64_t length,
                         const platform::Handle& pack, uint64_t* pack_end, PakEntry* entry,
                         Lzo1xEncoder* encoder) {
  // The stream is made in one piece: the member is mapped whole.
  const uint8_t* data = length == 0 ? nullptr : env.map_window(member, 0, length);
  if (length != 0 && data == nullptr) return GroupResult::kFailed;
  uint32_t sum = 0;
  const bool encoded = encoder->encode(data, length, &sum);
  if (data != nullptr) env.unmap_window(data, length);
  const std::vector<uint8_t>& stream = encoder->stream();
  if (!encoded || *pack_end + stream.size() >= kPackLimit ||
      env.write_at(pack, stream.data(), stream.size(), *pack_end) != platform::Error::kOk) {
    return GroupResult::kFailed;
  }
  entry->unpacked_size = static_cast<uint32_t>(length);
  entry->packed_size = static_cast<uint32_t>(stream.size());
  entry->offset = static_cast<uint32_t>(*pack_end);
  entry->crc2 = sum;
  *pack_end += stream.size();
  return GroupResult::kAppended;
}

}  // namespace

GroupResult group_entry(platform::Env& env, const platform::Handle& folder, const std::string& name,
                        const platform::Handle& pack, uint64_t* pack_end, PakEntry* entry,
                        const UpdateContext* same) {
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
  if (length >= kPackLimit || *pack_end + length >= kPackLimit) return GroupResult::kFailed;
  if (same != nullptr && same->encoder != nullptr && entry->kind == kKindLzo1x) {
    return append_lzo1x(env, member, length, pack, pack_end, entry, same->encoder);
  }

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
           env.write_at(pack, window + at, n, *pack_end + done + at) == platform::Error::kOk;
    }
    env.unmap_window(window, window_size);
    if (!ok) return GroupResult::kFailed;
    done += window_size;
  }

  entry->kind = kKindStored;
  entry->unpacked_size = static_cast<uint32_t>(length);
  entry->packed_size = static_cast<uint32_t>(length);
  entry->offset = static_cast<uint32_t>(*pack_end);
  entry->crc2 = sum.value();
  *pack_end += length;
  return GroupResult::kAppended;
}

namespace {

// The member files' folder, opened once, so that it cannot be swapped for
// another halfway through the run.
struct MemberFolder {
  platform::Handle handle;
  platform::Error error = platform::Error::kOk;
};

// With --update: the pack as it was, mapped (the run holds it, and appends
// only past its old end), and the decoder and encoder the run uses.
class UpdateState {
 public:
  UpdateState(platform::Env& env, const PackUpdate& update, bool wanted, Compression compression)
      : env_(env),
        encoder_(compression == Compression::kBest ? Lzo1xEffort::kBest : Lzo1xEffort::kFast),
        check_{update.original_size(), nullptr, &buffer_,
               compression == Compression::kNone ? nullptr : &encoder_} {
    if (wanted) check_.pack_data = env.map_window(update.file(), 0, update.original_size());
  }
  ~UpdateState() {
    if (check_.pack_data != nullptr) env_.unmap_window(check_.pack_data, check_.pack_size);
  }
  UpdateState(const UpdateState&) = delete;
  UpdateState& operator=(const UpdateState&) = delete;
  const UpdateContext* check(bool wanted) const { return wanted ? &check_ : nullptr; }

 private:
  platform::Env& env_;
  DecodeBuffer buffer_;
  Lzo1xEncoder encoder_;
  UpdateContext check_;
};

// Opens the pack and reads its directory; says why not, and warns that a
// pack with several names is put back only through the one this run used.
bool open_pack(platform::Env& env, PackUpdate* update, const std::string& pak_path,
               std::vector<uint8_t>* dir_image) {
  if (!open_pack_for_writing(env, update, pak_path, dir_image)) return false;
  if (update->identity().links > 1) {
    std::fprintf(stderr,
                 "radodaro: warning: %s has %llu names (hard links); should this run be cut "
                 "off, only a run through this same name puts the pack back\n",
                 pak_path.c_str(), static_cast<unsigned long long>(update->identity().links));
  }
  return true;
}

// Appends each member file in index order, printing its path; false, with
// the member named, at the first that cannot be appended whole.
bool group_members(platform::Env& env, const MemberFolder& folder, const std::string& folder_path,
                   const platform::Handle& pack, const UpdateContext* same,
                   std::vector<uint8_t>* dir_image, uint64_t* pack_end, uint32_t* appended) {
  const uint32_t count = header_of(*dir_image).entry_count;
  for (uint32_t i = 0; i < count; ++i) {
    PakEntry entry = entry_of(*dir_image, i);
    if (entry.kind == kKindSkipped) continue;
    const std::string name = member_name(i);
    const GroupResult result = folder.handle.is_open() ? group_entry(env, folder.handle, name, pack,
                                                                     pack_end, &entry, same)
                               : absent(folder.error)  ? GroupResult::kAbsent
                                                       : GroupResult::kFailed;
    switch (result) {
      case GroupResult::kAbsent:
      case GroupResult::kUnchanged:
        continue;
      case GroupResult::kAppended:
        ++*appended;
        encode_entry(entry, dir_image->data() + entry_position(i));
        std::printf("%s%s\n", folder_path.c_str(), name.c_str());
        continue;
      case GroupResult::kFailed:
        std::printf("Can't group file %s%s\n", folder_path.c_str(), name.c_str());
        return false;
    }
  }
  return true;
}

}  // namespace

bool run_group(platform::Env& env, const std::string& pak_path, const std::string& folder_path,
               GroupMode mode, Compression compression) {
  PackUpdate update(env, pak_path);
  std::vector<uint8_t> dir_image;
  if (!open_pack(env, &update, pak_path, &dir_image)) return false;
  MemberFolder folder;
  folder.error = env.open_folder(folder_path, &folder.handle);
  const bool only_changed = mode == GroupMode::kOnlyChanged;
  const UpdateState mapped(env, update, only_changed, compression);

  std::fputs("Packing...\n", stdout);
  uint64_t pack_end = update.original_size();
  uint32_t appended = 0;
  if (!group_members(env, folder, folder_path, update.file(), mapped.check(only_changed),
                     &dir_image, &pack_end, &appended)) {
    return false;
  }
  // The lines must reach their reader before the pack changes: a run whose
  // log is lost reports failure, and then the pack must be as it was.
  if (!platform::flush_output()) return false;
  if (only_changed && appended == 0) {
    update.leave_untouched();
    return true;
  }

  PakHeader header = header_of(dir_image);
  header.dir_crc = Crc32().crc32(dir_image.data() + kHeaderSize, dir_image.size() - kHeaderSize);
  encode_header(header, dir_image.data());
  if (!update.commit(dir_image.data(), dir_image.size(), pack_end)) {
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
