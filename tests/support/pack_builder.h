// Builds pack files for tests from a description: header fields, entries and
// their data, with LZO1X streams made by liblzo2's compressors.
#ifndef RADODARO_TESTS_SUPPORT_PACK_BUILDER_H_
#define RADODARO_TESTS_SUPPORT_PACK_BUILDER_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pak/pak_format.h"

namespace radodaro::testing {

using Bytes = std::vector<uint8_t>;

Bytes bytes_of(const std::string& text);
// Deterministic bytes: `seed` picks the sequence. Text-like data compresses
// about threefold with LZO1X-1; random data does not compress.
Bytes random_bytes(size_t length, uint32_t seed);
Bytes text_like_bytes(size_t length, uint32_t seed);

enum class LzoLevel { kFast = 1, kBest = 999 };
Bytes lzo1x_compress(const Bytes& content, LzoLevel level = LzoLevel::kFast);

// One directory entry. Fields left unset are filled in by build(): offset
// where the data lands, packed_size as the data's length, unpacked_size as
// the content's length.
struct FixtureEntry {
  uint32_t crc1 = 0;
  uint32_t kind = 0;
  uint32_t crc2 = 0;
  std::optional<uint32_t> unpacked_size;
  std::optional<uint32_t> offset;
  std::optional<uint32_t> packed_size;
  Bytes data;     // the bytes laid into the pack
  Bytes content;  // what the entry expands to (for stored: `data`)
};

class PackBuilder {
 public:
  PackBuilder& lead_bytes(const Bytes& eight);
  PackBuilder& dir_crc(uint32_t value);
  // Stores the CRC-32 of the directory, as a group run would.
  PackBuilder& true_dir_crc();
  // Writes this count into the header instead of the number of entries.
  PackBuilder& entry_count(uint32_t count);

  PackBuilder& stored(const Bytes& content, uint32_t crc1 = 0);
  PackBuilder& lzo1x(const Bytes& content, LzoLevel level = LzoLevel::kFast, uint32_t crc1 = 0);
  PackBuilder& skipped(const Bytes& data = {});
  PackBuilder& add(const FixtureEntry& entry);

  const std::vector<FixtureEntry>& entries() const { return entries_; }
  FixtureEntry& last() { return entries_.back(); }
  // The directory as build() writes it, every field resolved.
  std::vector<PakEntry> directory() const;

  Bytes build() const;
  void write(const std::string& path) const;

 private:
  Bytes lead_ = Bytes(8, 0);
  uint32_t dir_crc_ = 0;
  bool true_dir_crc_ = false;
  std::optional<uint32_t> entry_count_;
  std::vector<FixtureEntry> entries_;
};

// Reading and writing whole files in tests.
Bytes read_file(const std::string& path);
void write_file(const std::string& path, const Bytes& data);
bool file_exists(const std::string& path);

}  // namespace radodaro::testing

#endif  // RADODARO_TESTS_SUPPORT_PACK_BUILDER_H_
