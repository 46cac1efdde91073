#include "commands/expand.h"

#include <algorithm>
#include <cstdio>

#include "pak/checksums.h"
#include "platform/console.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace radodaro {

namespace {

// Stored data is checksummed and written in pieces small enough to stay in
// the cache between the two passes.
constexpr uint64_t kStoredChunk = uint64_t{256} << 10;

void print_checksums(const PakEntry& entry, uint32_t sum) {
  std::printf("CRC1 = %08X\t CRC2= %08X\t SUMM=%08X\n", entry.crc1, entry.crc2, sum);
}

constexpr char kCantWrite[] = "Can't write file %s\n";
constexpr char kBadEntry[] = "Bad entry %s\n";
constexpr char kExists[] = "File %s alredy exists\n";

// Says why the member could not be written, ending the line that "Unpacked
// file " began first. Existing files get their key wait.
void report(const std::string& path, bool line_begun, const char* message) {
  if (line_begun) std::fputc('\n', stdout);
  std::printf(message, path.c_str());
  if (message == kExists) {
    std::fflush(stdout);
    platform::wait_for_key();
  }
}

// Names the whole member file; what stands at its name already wins.
bool commit(platform::NewFile* file, const std::string& path, bool line_begun) {
  const platform::Error e = file->commit();
  if (e == platform::Error::kOk) return true;
  report(path, line_begun, e == platform::Error::kExists ? kExists : kCantWrite);
  return false;
}

void expand_lzo1x(platform::NewFile* file, const std::string& path, const PakEntry& entry,
                  const PackView& pack, DecodeBuffer* buffer) {
  // The packed bytes are read from the mapping; a pack cut short under us
  // shows there.
  const Decoded d = decode_lzo1x(entry, pack.data() + entry.offset, buffer, /*sum_packed=*/true);
  if (d.data == nullptr) {
    report(path, false, kCantWrite);
    return;
  }
  if (!d.read) {
    report(path, false, kBadEntry);
    return;
  }
  if (d.unpack_error()) std::fputs("Error unpacking\n", stdout);
  if (file->append(d.data, entry.unpacked_size) != platform::Error::kOk) {
    report(path, false, kCantWrite);
    return;
  }
  if (!commit(file, path, false)) return;
  print_checksums(entry, sum32(d.data, entry.unpacked_size));
  print_checksums(entry, d.packed_sum);
  std::printf("%s\n", path.c_str());
}

void expand_stored(platform::NewFile* file, const std::string& path, const PakEntry& entry,
                   const PackView& pack) {
  if (entry.unpacked_size != entry.packed_size || entry.kind != kKindStored) {
    std::fputs("Warning!!!! unpacked flag not set!\n", stdout);
  }
  std::fputs("Unpacked file ", stdout);
  const uint8_t* data = pack.data() + entry.offset;
  uint64_t left = entry.unpacked_size;
  uint32_t sum = 0;
  while (left > 0) {
    // Every piece but the last is a whole number of words, so the pieces'
    // sums add up to the sum of the whole.
    const uint64_t n = std::min(left, kStoredChunk);
    if (!platform::read_mapped(data, n, [&] { sum += sum32(data, n); })) {
      report(path, true, kBadEntry);
      return;
    }
    if (file->append(data, n) != platform::Error::kOk) {
      report(path, true, kCantWrite);
      return;
    }
    data += n;
    left -= n;
  }
  if (!commit(file, path, true)) return;
  print_checksums(entry, sum);
  std::printf("%s\n", path.c_str());
}

}  // namespace

void OutputFolder::open(platform::Env& env, const std::string& path) {
  if (env.open_folder(path, &handle) != platform::Error::kOk) return;
  std::vector<std::string> all;
  listed = env.list_folder(handle, &all) == platform::Error::kOk;
  if (listed) names.insert(all.begin(), all.end());
}

platform::Error OutputFolder::look_up(platform::Env& env, const std::string& name) const {
  if (!listed) return env.look_up(handle, name);
  return names.contains(name) ? platform::Error::kOk : platform::Error::kNotFound;
}

void expand_entry(platform::Env& env, const OutputFolder& folder, const std::string& name,
                  const std::string& path, const PakEntry& entry, const PackView& pack,
                  DecodeBuffer* buffer) {
  if (!range_in_file(entry.offset, read_extent(entry), pack.size)) {
    std::printf(kBadEntry, path.c_str());
    return;
  }
  // What is at the name already is left alone, and found before a byte is
  // written; a link counts, wherever it leads.
  switch (folder.look_up(env, name)) {
    case platform::Error::kOk:
      report(path, false, kExists);
      return;
    case platform::Error::kNotFound:
      break;
    default:
      std::printf("Can't create file %s\n", path.c_str());
      return;
  }
  platform::NewFile file(env, folder.handle, name);
  // Where a new file takes its name at once, one that appeared since the
  // look shows here.
  if (const platform::Error e = file.create(); e != platform::Error::kOk) {
    if (e == platform::Error::kExists) {
      report(path, false, kExists);
    } else {
      std::printf("Can't create file %s\n", path.c_str());
    }
    return;
  }
  if (entry.kind == kKindLzo1x) {
    expand_lzo1x(&file, path, entry, pack, buffer);
  } else {
    expand_stored(&file, path, entry, pack);
  }
}

void run_expand(platform::Env& env, const PackView& pack, const std::string& folder_path) {
  const PakHeader header = header_of(pack.dir_image);
  DecodeBuffer buffer;
  bool folders_made = false;
  OutputFolder folder;
  for (uint32_t i = 0; i < header.entry_count; ++i) {
    const PakEntry entry = entry_of(pack.dir_image, i);
    if (entry.kind == kKindSkipped) continue;
    const std::string name = member_name(i);
    const std::string path = folder_path + name;
    // Every member file lies in the same folder, so one walk serves them
    // all, and the folder, once open, spares each member a path lookup.
    if (!folders_made) {
      platform::make_folder_chain(env, path);
      folder.open(env, folder_path);
      folders_made = true;
    }
    expand_entry(env, folder, name, path, entry, pack, &buffer);
  }
}

}  // namespace radodaro
