// Takes the input as a pack file and a few member files, groups them with
// the tool's own code, and checks the outcome: on failure the pack is byte
// for byte as before; on success every member found is appended, its entry
// points at it, and the directory CRC is right. Then --update of the same
// members, compressed: on success each entry gives back its member.
//
// Input: u32 pack length, the pack bytes, then records of u8 index, u16
// length and that many bytes, one member file each. Short input ends early.
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "commands/group.h"
#include "pak/checksums.h"
#include "pak/entry_decoder.h"
#include "pak/entry_kind.h"
#include "pak/pak_format.h"
#include "scratch.h"

using namespace radodaro;

namespace {

std::vector<uint8_t> read_all(const std::string& path) {
  std::vector<uint8_t> bytes;
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    std::fclose(f);
  }
  return bytes;
}

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  return std::freopen("/dev/null", "w", stdout) == nullptr ? 1 : 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const size_t pack_size = std::min<size_t>(decode_fixed32(data), size - 4);
  const std::vector<uint8_t> pack(data + 4, data + 4 + pack_size);
  const std::string pak = fuzz::scratch() + "pack";
  const std::string folder = fuzz::scratch() + "members/";
  fuzz::write_bytes(pak, pack.data(), pack.size());

  std::map<uint32_t, std::vector<uint8_t>> members;
  ::mkdir(folder.c_str(), 0777);
  for (size_t at = 4 + pack_size; at + 3 <= size;) {
    const uint32_t index = data[at];
    const size_t length = std::min<size_t>(data[at + 1] | data[at + 2] << 8, size - at - 3);
    members[index].assign(data + at + 3, data + at + 3 + length);
    at += 3 + length;
  }
  for (const auto& [index, content] : members) {
    fuzz::write_bytes(member_path(folder, index), content.data(), content.size());
  }

  const bool ok = run_group(platform::Env::system(), pak, folder);
  const std::vector<uint8_t> after = read_all(pak);
  if (!ok) {
    check(after == pack);
  } else {
    check(pack.size() >= kHeaderSize && after.size() >= pack.size());
    const PakHeader header = decode_header(after.data());
    check(std::memcmp(after.data(), pack.data(), kDirCrcOffset) == 0);
    const uint64_t dir_end = directory_end(header.entry_count);
    check(dir_end <= pack.size());
    check(header.dir_crc == Crc32().crc32(after.data() + kHeaderSize, dir_end - kHeaderSize));
    uint64_t end = pack.size();
    for (uint32_t i = 0; i < header.entry_count; ++i) {
      const PakEntry old_entry = decode_entry(pack.data() + entry_position(i));
      const PakEntry e = decode_entry(after.data() + entry_position(i));
      const auto m = members.find(i);
      if (old_entry.kind == kKindSkipped || m == members.end()) {
        check(std::memcmp(&old_entry, &e, sizeof e) == 0);
        continue;
      }
      const std::vector<uint8_t>& content = m->second;
      check(e.kind == kKindStored && e.offset == end && e.unpacked_size == content.size() &&
            e.packed_size == content.size() && e.crc1 == old_entry.crc1);
      check(e.crc2 == sum32(content.data(), content.size()));
      check(content.empty() ||
            std::memcmp(after.data() + e.offset, content.data(), content.size()) == 0);
      end += content.size();
    }
    check(end == after.size());
  }
  // --update, fast or best as the input says: every changed member's entry
  // gives back the member, whatever its kind.
  fuzz::write_bytes(pak, pack.data(), pack.size());
  const Compression compression = size % 2 ? Compression::kBest : Compression::kFast;
  if (run_update(platform::Env::system(), pak, folder, compression)) {
    const std::vector<uint8_t> updated = read_all(pak);
    const uint32_t count = decode_header(updated.data()).entry_count;
    DecodeBuffer buffer;
    for (const auto& [index, content] : members) {
      if (index >= count) continue;
      const PakEntry e = decode_entry(updated.data() + entry_position(index));
      if (e.kind == kKindSkipped) continue;
      check(e.unpacked_size == content.size() &&
            range_in_file(e.offset, read_extent(e), updated.size()));
      const uint8_t* bytes = updated.data() + e.offset;
      if (e.kind == kKindLzo1x) {
        const Decoded d = decode_lzo1x(e, bytes, &buffer);
        // What /e writes for it: an unchanged entry keeps its stream.
        check(d.data != nullptr && d.read);
        bytes = d.data;
      }
      check(content.empty() || std::memcmp(bytes, content.data(), content.size()) == 0);
    }
  }
  fuzz::remove_folder(folder);
  return 0;
}
