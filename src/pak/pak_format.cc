#include "pak/pak_format.h"

#include <cstdio>
#include <cstring>

namespace radodaro {

PakHeader decode_header(const uint8_t* p) {
  PakHeader header;
  std::memcpy(header.lead_bytes, p + kLeadBytesOffset, kLeadBytesSize);
  header.entry_count = decode_fixed32(p + kEntryCountOffset);
  header.dir_crc = decode_fixed32(p + kDirCrcOffset);
  return header;
}

void encode_header(const PakHeader& header, uint8_t* p) {
  std::memcpy(p + kLeadBytesOffset, header.lead_bytes, kLeadBytesSize);
  encode_fixed32(p + kEntryCountOffset, header.entry_count);
  encode_fixed32(p + kDirCrcOffset, header.dir_crc);
}

PakEntry decode_entry(const uint8_t* p) {
  PakEntry entry;
  entry.crc1 = decode_fixed32(p + kCrc1Offset);
  entry.kind = decode_fixed32(p + kKindOffset);
  entry.crc2 = decode_fixed32(p + kCrc2Offset);
  entry.unpacked_size = decode_fixed32(p + kUnpackedSizeOffset);
  entry.offset = decode_fixed32(p + kDataOffsetOffset);
  entry.packed_size = decode_fixed32(p + kPackedSizeOffset);
  return entry;
}

void encode_entry(const PakEntry& entry, uint8_t* p) {
  encode_fixed32(p + kCrc1Offset, entry.crc1);
  encode_fixed32(p + kKindOffset, entry.kind);
  encode_fixed32(p + kCrc2Offset, entry.crc2);
  encode_fixed32(p + kUnpackedSizeOffset, entry.unpacked_size);
  encode_fixed32(p + kDataOffsetOffset, entry.offset);
  encode_fixed32(p + kPackedSizeOffset, entry.packed_size);
}

std::string member_name(uint32_t index) {
  char name[16];
  std::snprintf(name, sizeof name, "%08x.dat", index);
  return name;
}

std::string member_path(const std::string& folder_path, uint32_t index) {
  std::string path;
  path.reserve(folder_path.size() + 12);
  path += folder_path;
  path += member_name(index);
  return path;
}

}  // namespace radodaro
