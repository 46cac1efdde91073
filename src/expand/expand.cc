#include "expand/expand.h"

#include <lzo1x.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "expand/output_dirs.h"
#include "pak/checksums.h"
#include "platform/console.h"
#include "platform/process.h"

namespace radodaro {

namespace {

// Stored data is checksummed and written in pieces small enough to stay in
// the cache between the two passes.
constexpr uint64_t kStoredChunk = uint64_t{256} << 10;
// A buffer this much larger than the entry at hand is given back.
constexpr uint64_t kKeepSlack = 64ull * 1024 * 1024;

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
                  const platform::MappedView& view, DecodeBuffer* buffer) {
  const uint8_t* packed = view.data + entry.offset;
  uint8_t* out = buffer->acquire(entry.unpacked_size);
  if (out == nullptr) {
    report(path, false, kCantWrite);
    return;
  }
  lzo_uint produced = 0;
  int result = LZO_E_ERROR;
  uint32_t packed_sum = 0;
  // The packed bytes are read from the mapping; a pack cut short under us
  // shows there.
  const bool read_ok = platform::read_mapped(packed, entry.packed_size, [&] {
    if (buffer->codec_ready()) {
      produced = entry.unpacked_size;
      result = lzo1x_decompress_safe(packed, entry.packed_size, out, &produced, nullptr);
    }
    packed_sum = sum32(packed, entry.packed_size);
  });
  if (!read_ok) {
    buffer->settle(entry.unpacked_size, entry.unpacked_size);
    report(path, false, kBadEntry);
    return;
  }
  buffer->settle(produced, entry.unpacked_size);
  if (!buffer->codec_ready() || produced != entry.unpacked_size || result == LZO_E_OUTPUT_OVERRUN) {
    std::fputs("Error unpacking\n", stdout);
  }
  if (file->append(out, entry.unpacked_size) != platform::Error::kOk) {
    report(path, false, kCantWrite);
    return;
  }
  if (!commit(file, path, false)) return;
  print_checksums(entry, sum32(out, entry.unpacked_size));
  print_checksums(entry, packed_sum);
  std::printf("%s\n", path.c_str());
}

void expand_stored(platform::NewFile* file, const std::string& path, const PakEntry& entry,
                   const platform::MappedView& view) {
  if (entry.unpacked_size != entry.packed_size || entry.kind != kKindStored) {
    std::fputs("Warning!!!! unpacked flag not set!\n", stdout);
  }
  std::fputs("Unpacked file ", stdout);
  const uint8_t* data = view.data + entry.offset;
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

bool lzo1x_ready() {
  static const bool ready = lzo_init() == LZO_E_OK;
  return ready;
}

DecodeBuffer::~DecodeBuffer() { std::free(data_); }

uint8_t* DecodeBuffer::acquire(uint64_t size) {
  static uint8_t empty;
  if (size == 0) return &empty;
  if (size > capacity_ || capacity_ - size > kKeepSlack) {
    std::free(data_);
    // calloc hands large blocks over as fresh zero pages, untouched.
    data_ = static_cast<uint8_t*>(std::calloc(size, 1));
    capacity_ = data_ != nullptr ? size : 0;
    dirty_ = 0;
  }
  return data_;
}

void DecodeBuffer::settle(uint64_t produced, uint64_t size) {
  if (data_ == nullptr) return;
  // Bytes past `produced` were not written this time; those that an earlier
  // entry wrote must read as zero.
  if (produced < size && produced < dirty_) {
    std::memset(data_ + produced, 0, std::min(size, dirty_) - produced);
  }
  dirty_ = std::max(dirty_, std::min(produced, size));
}

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
                  const std::string& path, const PakEntry& entry, const platform::MappedView& view,
                  DecodeBuffer* buffer) {
  if (!range_in_file(entry.offset, stored_extent(entry), view.size)) {
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
    expand_lzo1x(&file, path, entry, view, buffer);
  } else {
    expand_stored(&file, path, entry, view);
  }
}

void run_expand(platform::Env& env, const platform::MappedView& view,
                const std::vector<uint8_t>& dir_image, const std::string& folder_path) {
  const PakHeader header = decode_header(dir_image.data());
  DecodeBuffer buffer;
  bool folders_made = false;
  OutputFolder folder;
  for (uint32_t i = 0; i < header.entry_count; ++i) {
    const PakEntry entry = decode_entry(dir_image.data() + entry_position(i));
    if (entry.kind == kKindSkipped) continue;
    const std::string name = member_name(i);
    const std::string path = folder_path + name;
    // Every member file lies in the same folder, so one walk serves them
    // all, and the folder, once open, spares each member a path lookup.
    if (!folders_made) {
      make_output_dirs(env, path);
      folder.open(env, folder_path);
      folders_made = true;
    }
    expand_entry(env, folder, name, path, entry, view, &buffer);
  }
}

}  // namespace radodaro
