#include "expand/expand.h"

#include <lzo1x.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "expand/output_dirs.h"
#include "pak/checksums.h"
#include "platform/console.h"
#include "platform/signals.h"

namespace radodaro {

namespace {

// Stored data is checksummed and written in pieces small enough to stay in
// the cache between the two passes.
constexpr uint64_t kStoredChunk = 256 * 1024;
// A buffer this much larger than the entry at hand is given back.
constexpr uint64_t kKeepSlack = 64ull * 1024 * 1024;

void print_checksums(const PakEntry& entry, uint32_t sum) {
  std::printf("CRC1 = %08X\t CRC2= %08X\t SUMM=%08X\n", entry.crc1, entry.crc2, sum);
}

// Removes the member file that could not be written whole, so that a later
// group run cannot pack a truncated copy.
void fail_write(const std::string& path, platform::UniqueFd* fd, bool line_begun) {
  fd->reset();
  (void)platform::remove_file(path);
  if (line_begun) std::fputc('\n', stdout);
  std::printf("Can't write file %s\n", path.c_str());
}

void fail_bad_entry(const std::string& path, platform::UniqueFd* fd, bool line_begun) {
  fd->reset();
  (void)platform::remove_file(path);
  if (line_begun) std::fputc('\n', stdout);
  std::printf("Bad entry %s\n", path.c_str());
}

void expand_lzo1x(const std::string& path, const PakEntry& entry, const platform::MappedView& view,
                  DecodeBuffer* buffer, platform::UniqueFd* fd) {
  const uint8_t* packed = view.data + entry.offset;
  uint8_t* out = buffer->acquire(entry.unpacked_size);
  if (out == nullptr) {
    fail_write(path, fd, false);
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
    fail_bad_entry(path, fd, false);
    return;
  }
  buffer->settle(produced, entry.unpacked_size);
  if (produced != entry.unpacked_size || result == LZO_E_OUTPUT_OVERRUN) {
    std::fputs("Error unpacking\n", stdout);
  }
  if (!platform::write_all(fd->get(), out, entry.unpacked_size) || !platform::close_checked(fd)) {
    fail_write(path, fd, false);
    return;
  }
  print_checksums(entry, sum32(out, entry.unpacked_size));
  print_checksums(entry, packed_sum);
  std::printf("%s\n", path.c_str());
}

void expand_stored(const std::string& path, const PakEntry& entry, const platform::MappedView& view,
                   platform::UniqueFd* fd) {
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
      fail_bad_entry(path, fd, true);
      return;
    }
    if (!platform::write_all(fd->get(), data, n)) {
      fail_write(path, fd, true);
      return;
    }
    data += n;
    left -= n;
  }
  if (!platform::close_checked(fd)) {
    fail_write(path, fd, true);
    return;
  }
  print_checksums(entry, sum);
  std::printf("%s\n", path.c_str());
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
                  DecodeBuffer* buffer) {
  if (!range_in_file(entry.offset, stored_extent(entry), view.size)) {
    std::printf("Bad entry %s\n", path.c_str());
    return;
  }
  platform::UniqueFd fd;
  switch (platform::create_exclusive(path, &fd)) {
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
  const platform::PartialFileGuard partial(path);
  if (entry.kind == kKindLzo1x) {
    expand_lzo1x(path, entry, view, buffer, &fd);
  } else {
    expand_stored(path, entry, view, &fd);
  }
}

void run_expand(const platform::MappedView& view, const std::string& folder_path) {
  const PakHeader header = decode_header(view.data);
  DecodeBuffer buffer;
  bool folders_made = false;
  for (uint32_t i = 0; i < header.entry_count; ++i) {
    const PakEntry entry = decode_entry(view.data + entry_position(i));
    if (entry.kind == kKindSkipped) continue;
    const std::string path = member_path(folder_path, i);
    // Every member file lies in the same folder, so one walk serves them all.
    if (!folders_made) {
      make_output_dirs(path);
      folders_made = true;
    }
    expand_entry(path, entry, view, &buffer);
  }
}

}  // namespace radodaro
