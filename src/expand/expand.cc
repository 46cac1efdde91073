#include "expand/expand.h"

#include <lzo1x.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "expand/output_dirs.h"
#include "pak/checksums.h"
#include "platform/console.h"
#include "platform/paths.h"
#include "platform/signals.h"

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

// The member file being written: its path for messages, and how to reach
// it for removal.
struct Output {
  const std::string& path;
  int folder_fd;
  const char* name;
  platform::UniqueFd fd;
};

// Removes the member file that could not be written whole, so that a later
// group run cannot pack a truncated copy, and says why with `message`.
void fail(Output* out, bool line_begun, const char* message) {
  out->fd.reset();
  (void)platform::remove_file(out->folder_fd, out->name);
  if (line_begun) std::fputc('\n', stdout);
  std::printf(message, out->path.c_str());
}

constexpr char kCantWrite[] = "Can't write file %s\n";
constexpr char kBadEntry[] = "Bad entry %s\n";

void expand_lzo1x(Output* output, const PakEntry& entry, const platform::MappedView& view,
                  DecodeBuffer* buffer) {
  const uint8_t* packed = view.data + entry.offset;
  uint8_t* out = buffer->acquire(entry.unpacked_size);
  if (out == nullptr) {
    fail(output, false, kCantWrite);
    return;
  }
  lzo_uint produced = entry.unpacked_size;
  int result = LZO_E_OK;
  uint32_t packed_sum = 0;
  // The packed bytes are read from the mapping; a pack cut short under us
  // faults there.
  const bool read_ok = platform::guard_mapped_reads([&] {
    result = lzo1x_decompress_safe(packed, entry.packed_size, out, &produced, nullptr);
    packed_sum = sum32(packed, entry.packed_size);
  });
  if (!read_ok) {
    buffer->settle(entry.unpacked_size, entry.unpacked_size);
    fail(output, false, kBadEntry);
    return;
  }
  buffer->settle(produced, entry.unpacked_size);
  if (produced != entry.unpacked_size || result == LZO_E_OUTPUT_OVERRUN) {
    std::fputs("Error unpacking\n", stdout);
  }
  if (!platform::write_all(output->fd.get(), out, entry.unpacked_size) ||
      !platform::close_checked(&output->fd)) {
    fail(output, false, kCantWrite);
    return;
  }
  print_checksums(entry, sum32(out, entry.unpacked_size));
  print_checksums(entry, packed_sum);
  std::printf("%s\n", output->path.c_str());
}

void expand_stored(Output* output, const PakEntry& entry, const platform::MappedView& view) {
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
    const bool read_ok = platform::guard_mapped_reads([&] { sum += sum32(data, n); });
    if (!read_ok) {
      fail(output, true, kBadEntry);
      return;
    }
    if (!platform::write_all(output->fd.get(), data, n)) {
      fail(output, true, kCantWrite);
      return;
    }
    data += n;
    left -= n;
  }
  if (!platform::close_checked(&output->fd)) {
    fail(output, true, kCantWrite);
    return;
  }
  print_checksums(entry, sum);
  std::printf("%s\n", output->path.c_str());
}

}  // namespace

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

void expand_entry(const std::string& path, const PakEntry& entry, const platform::MappedView& view,
                  DecodeBuffer* buffer, int folder_fd) {
  if (!range_in_file(entry.offset, stored_extent(entry), view.size)) {
    std::printf("Bad entry %s\n", path.c_str());
    return;
  }
  Output output{path, folder_fd, path.c_str(), {}};
  if (folder_fd != platform::kNoFolder) output.name += path.rfind(platform::kSeparator) + 1;
  platform::PartialFileGuard partial(folder_fd, output.name);
  const platform::CreateStatus status =
      platform::create_exclusive(folder_fd, output.name, &output.fd);
  partial.created(status == platform::CreateStatus::kCreated);
  switch (status) {
    case platform::CreateStatus::kCreated:
      break;
    case platform::CreateStatus::kExists:
      std::printf("File %s alredy exists\n", path.c_str());
      std::fflush(stdout);
      platform::wait_for_key();
      return;
    case platform::CreateStatus::kFailed:
      std::printf("Can't create file %s\n", path.c_str());
      return;
  }
  if (entry.kind == kKindLzo1x) {
    expand_lzo1x(&output, entry, view, buffer);
  } else {
    expand_stored(&output, entry, view);
  }
}

void run_expand(const platform::MappedView& view, const std::string& folder_path) {
  const PakHeader header = decode_header(view.data);
  DecodeBuffer buffer;
  bool folders_made = false;
  platform::UniqueFd folder;
  for (uint32_t i = 0; i < header.entry_count; ++i) {
    const PakEntry entry = decode_entry(view.data + entry_position(i));
    if (entry.kind == kKindSkipped) continue;
    const std::string path = member_path(folder_path, i);
    // Every member file lies in the same folder, so one walk serves them
    // all, and the folder, once open, spares each member a path lookup.
    if (!folders_made) {
      make_output_dirs(path);
      folder = platform::open_folder(folder_path);
      folders_made = true;
    }
    expand_entry(path, entry, view, &buffer, folder.valid() ? folder.get() : platform::kNoFolder);
  }
}

}  // namespace radodaro
