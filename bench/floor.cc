// The floor: what expanding a pack costs at the least. Maps the pack, writes
// each stored entry straight from the mapping and decompresses each lzo1x
// entry into one reused buffer. No messages, no checksums, no checks beyond
// staying inside the file. With FOLDER "-" it writes nothing: the floor of
// reading and decoding alone, for --verify.
#include <fcntl.h>
#include <lzo1x.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string_view>
#include <vector>

#include "pak/entry_kind.h"
#include "pak/pak_format.h"

using namespace radodaro;

static bool write_file(int folder, const char* name, const uint8_t* data, size_t size) {
  const int fd = ::openat(folder, name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n <= 0) break;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return ::close(fd) == 0 && size == 0;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: radodaro_floor PACK FOLDER\n");
    return 2;
  }
  const int fd = ::open(argv[1], O_RDONLY);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_size < 16) return 1;
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  const auto* map =
      static_cast<const uint8_t*>(::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0));
  if (map == MAP_FAILED) return 1;
  const PakHeader header = decode_header(map);
  if (directory_end(header.entry_count) > size) return 1;
  const bool decode_only = std::string_view(argv[2]) == "-";
  int folder = -1;
  if (!decode_only) {
    ::mkdir(argv[2], 0777);
    folder = ::open(argv[2], O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return 1;
  }
  uint64_t touched = 0;
  std::vector<uint8_t> buffer;
  for (uint32_t i = 0; i < header.entry_count; ++i) {
    const PakEntry e = decode_entry(map + entry_position(i));
    if (e.kind == kKindSkipped || !range_in_file(e.offset, read_extent(e), size)) continue;
    char name[16];
    std::snprintf(name, sizeof name, "%08x.dat", i);
    if (e.kind == kKindLzo1x) {
      if (buffer.size() < e.unpacked_size) buffer.resize(e.unpacked_size);
      lzo_uint out = e.unpacked_size;
      lzo1x_decompress_safe(map + e.offset, e.packed_size, buffer.data(), &out, nullptr);
      if (decode_only) {
        if (out > 0) touched += buffer[out / 2];
      } else if (!write_file(folder, name, buffer.data(), e.unpacked_size)) {
        return 1;
      }
    } else if (decode_only) {
      for (uint64_t at = 0; at < e.unpacked_size; at += 4096) touched += map[e.offset + at];
    } else if (!write_file(folder, name, map + e.offset, e.unpacked_size)) {
      return 1;
    }
  }
  // Keeps the reads from being optimised away.
  return touched == 1 ? 3 : 0;
}
