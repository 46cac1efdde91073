// Layout of a pack file: a 16-byte header, entry_count directory entries of
// 24 bytes each, and entry data wherever the entries point. All fields are
// unsigned 32-bit little-endian numbers.
#ifndef RADODARO_PAK_PAK_FORMAT_H_
#define RADODARO_PAK_PAK_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace radodaro {

inline uint32_t decode_fixed32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline void encode_fixed32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

inline uint64_t decode_fixed64(const uint8_t* p) {
  return static_cast<uint64_t>(decode_fixed32(p)) | static_cast<uint64_t>(decode_fixed32(p + 4))
                                                        << 32;
}

inline void encode_fixed64(uint8_t* p, uint64_t v) {
  encode_fixed32(p, static_cast<uint32_t>(v));
  encode_fixed32(p + 4, static_cast<uint32_t>(v >> 32));
}

constexpr uint64_t kHeaderSize = 16;

// Offsets and lengths in a pack stay below this, as 32-bit signed file
// positions require.
constexpr uint64_t kPackLimit = uint64_t{1} << 31;
constexpr uint64_t kEntrySize = 24;

// Field offsets within the header.
constexpr size_t kLeadBytesOffset = 0;
constexpr size_t kLeadBytesSize = 8;
constexpr size_t kEntryCountOffset = 8;
constexpr size_t kDirCrcOffset = 12;

// Field offsets within a directory entry.
constexpr size_t kCrc1Offset = 0;
constexpr size_t kKindOffset = 4;
constexpr size_t kCrc2Offset = 8;
constexpr size_t kUnpackedSizeOffset = 12;
constexpr size_t kDataOffsetOffset = 16;
constexpr size_t kPackedSizeOffset = 20;

// Values of PakEntry::kind; what each means is in pak/entry_kind.h. Any
// other value is expanded as if stored.
constexpr uint32_t kKindStored = 0;
constexpr uint32_t kKindLzo1x = 1;
constexpr uint32_t kKindSkipped = 4;

struct PakHeader {
  uint8_t lead_bytes[kLeadBytesSize] = {};
  uint32_t entry_count = 0;
  uint32_t dir_crc = 0;
};

struct PakEntry {
  uint32_t crc1 = 0;
  uint32_t kind = 0;
  uint32_t crc2 = 0;
  uint32_t unpacked_size = 0;
  uint32_t offset = 0;
  uint32_t packed_size = 0;
};

// `p` must hold kHeaderSize (decode/encode_header) or kEntrySize bytes.
PakHeader decode_header(const uint8_t* p);
void encode_header(const PakHeader& header, uint8_t* p);
PakEntry decode_entry(const uint8_t* p);
void encode_entry(const PakEntry& entry, uint8_t* p);

// Bytes taken by the header and a directory of `entry_count` entries.
// Never wraps: the largest count gives about 96 GiB.
inline uint64_t directory_end(uint32_t entry_count) {
  return kHeaderSize + kEntrySize * uint64_t{entry_count};
}

// Offset of entry `index` from the start of the file.
inline uint64_t entry_position(uint32_t index) { return directory_end(index); }

// True when [offset, offset + length) lies within a file of `file_size`
// bytes. Written so that no sum can overflow.
inline bool range_in_file(uint64_t offset, uint64_t length, uint64_t file_size) {
  return offset <= file_size && length <= file_size - offset;
}

// The index as eight lower-case hex digits and ".dat".
std::string member_name(uint32_t index);

// `folder_path` (ending with the separator) followed by member_name(index).
std::string member_path(const std::string& folder_path, uint32_t index);

}  // namespace radodaro

#endif  // RADODARO_PAK_PAK_FORMAT_H_
