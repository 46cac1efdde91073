// Helpers shared by the end-to-end tests: the output expand prints for a
// pack as the tests predict it, and small file utilities.
#ifndef RADODARO_TESTS_E2E_E2E_UTIL_H_
#define RADODARO_TESTS_E2E_E2E_UTIL_H_

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "pak/checksums.h"
#include "pak/pak_format.h"
#include "support/pack_builder.h"
#include "support/run.h"
#include "support/target.h"

namespace radodaro::testing {

// Waits until `pred` holds or two seconds pass.
template <typename F>
bool eventually(F pred) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// The usage text of /e and /p, as scripts have always seen it.
inline constexpr char kUsage[] =
    "Usage: radodaro.exe [option] pak_file extract_path\nOption:\n/e - expand files\n/p - group "
    "files\n";

inline std::string hex8(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08X", v);
  return buf;
}

inline uint32_t sum_of(const Bytes& b) { return sum32(b.data(), b.size()); }

inline std::string checksum_line(const PakEntry& e, uint32_t sum) {
  return "CRC1 = " + hex8(e.crc1) + "\t CRC2= " + hex8(e.crc2) + "\t SUMM=" + hex8(sum) + "\n";
}

inline std::string dir_line(const Bytes& pack) {
  const PakHeader h = decode_header(pack.data());
  return "Dir CRC=" + hex8(h.dir_crc) +
         ", SUMM=" + hex8(sum32(pack.data() + kHeaderSize, kEntrySize * h.entry_count)) + "\n";
}

// What a clean expand of a well-formed pack prints, entry by entry, for
// entries whose streams decode to exactly their unpacked size.
inline std::string expected_expand_output(const PackBuilder& pack, const std::string& folder) {
  const Bytes bytes = pack.build();
  std::string out = dir_line(bytes);
  const std::vector<PakEntry> dir = pack.directory();
  for (size_t i = 0; i < dir.size(); ++i) {
    const PakEntry& e = dir[i];
    const FixtureEntry& f = pack.entries()[i];
    if (e.kind == kKindSkipped) continue;
    if (e.kind == kKindLzo1x) {
      out += checksum_line(e, sum_of(f.content));
      out += checksum_line(e, sum_of(f.data));
    } else {
      if (e.kind != kKindStored || e.unpacked_size != e.packed_size) {
        out += "Warning!!!! unpacked flag not set!\n";
      }
      out += "Unpacked file " + checksum_line(e, sum32(bytes.data() + e.offset, e.unpacked_size));
    }
    out += member_path(folder + "/", static_cast<uint32_t>(i)) + "\n";
  }
  return out;
}

inline std::string member(const std::string& folder, uint32_t index) {
  return member_path(folder + "/", index);
}

// The journal of the pack whose real path is `pak`.
inline std::string journal_of(const std::string& pak) { return pak + ".radodaro-journal"; }

inline bool is_regular(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The pack a group run must leave, computed from the pack and the folder.
inline Bytes model_group(const Bytes& pack, const std::string& folder, std::string* printed) {
  Bytes out = pack;
  const PakHeader header = decode_header(out.data());
  *printed = "Packing...\n";
  for (uint32_t i = 0; i < header.entry_count; ++i) {
    uint8_t* record = out.data() + entry_position(i);
    PakEntry e = decode_entry(record);
    const std::string path = member(folder, i);
    if (e.kind == kKindSkipped || !is_regular(path)) continue;
    const Bytes content = read_file(path);
    e.kind = kKindStored;
    e.unpacked_size = e.packed_size = static_cast<uint32_t>(content.size());
    e.offset = static_cast<uint32_t>(out.size());
    e.crc2 = sum_of(content);
    encode_entry(e, record);
    out.insert(out.end(), content.begin(), content.end());
    *printed += path + "\n";
  }
  PakHeader h = header;
  h.dir_crc = Crc32().crc32(out.data() + kHeaderSize, kEntrySize * header.entry_count);
  encode_header(h, out.data());
  return out;
}

// Whether no entry of `pack` claims more than a few MiB: one that claims
// gigabytes of zeros would have each run write them.
inline bool modest(const Bytes& pack) {
  if (pack.size() < kHeaderSize) return true;
  const PakHeader header = decode_header(pack.data());
  for (uint32_t i = 0; i < header.entry_count && entry_position(i + 1) <= pack.size(); ++i) {
    if (decode_entry(pack.data() + entry_position(i)).unpacked_size > (8u << 20)) return false;
  }
  return true;
}

// The packs the fuzzers start from: every kind, damage of every sort.
inline std::vector<std::string> corpus_packs() {
  std::vector<std::string> packs = {RADODARO_SAMPLE_PACK};
  for (const auto& f : std::filesystem::directory_iterator(RADODARO_FUZZ_CORPUS "/expand")) {
    packs.push_back(f.path().string());
  }
  std::sort(packs.begin(), packs.end());
  return packs;
}

}  // namespace radodaro::testing

#endif  // RADODARO_TESTS_E2E_E2E_UTIL_H_
